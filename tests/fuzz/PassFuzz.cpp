// The whole device pass, in this process, against a device library whose
// every result comes from the fuzz input: count, statuses, text bytes with or
// without a NUL, ids and part codes; the operator's answers and a console
// that fails after some bytes come from it too. After each pass, the devices
// must have been left in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <streambuf>
#include <type_traits>

#include "CP210xUnit.h"
#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"

namespace {

// Standard output that fails once `room` bytes have been written.
class FailingOutput : public std::streambuf {
 public:
  explicit FailingOutput(std::size_t room) : room_(room) {}
  bool failed = false;

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (room_ == 0) {
      failed = true;
      return traits_type::eof();
    }
    --room_;
    return c;
  }

 private:
  std::size_t room_;
};

struct Handle {
  int closes = 0, resets = 0;
  bool written = false;
};

// What the fuzzed library saw of one pass.
struct Pass {
  FuzzedDataProvider* data = nullptr;
  FailingOutput* output = nullptr;
  std::map<uintptr_t, Handle> handles;  // every handle given out
  uintptr_t lastHandle = 0;
  bool ended = false;  // a label read or a close failed: the pass must stop

  CP210x_STATUS Status() {
    uint8_t choice = data->ConsumeIntegral<uint8_t>();
    if (choice < 200) return CP210x_SUCCESS;
    static const CP210x_STATUS kFailures[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 255, -1, 256, INT32_MIN};
    return kFailures[choice % (sizeof kFailures / sizeof *kFailures)];
  }
  // The state of an open handle, or a crash for any other handle.
  Handle& Open(HANDLE handle) {
    auto found = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles.end() || found->second.closes != 0 || ended) std::abort();
    return found->second;
  }
  // A number read: any value, or now and then `likely` (so that ZE ids occur).
  template <typename Value>
  CP210x_STATUS Read(HANDLE handle, Value* out,
                     std::optional<std::common_type_t<Value>> likely = std::nullopt) {
    Open(handle);
    *out = likely && data->ConsumeBool() ? *likely : data->ConsumeIntegral<Value>();
    return Status();
  }
  // A text write of the rebranding: the expected text, before any reset.
  CP210x_STATUS Write(HANDLE handle, const char* expected, const void* text, BYTE length) {
    Handle& state = Open(handle);
    if (state.resets != 0 || length != std::strlen(expected) ||
        std::memcmp(text, expected, length) != 0)
      std::abort();
    state.written = true;
    return Status();
  }
  void FillText(void* buffer) {
    std::string text;
    switch (data->ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        text = data->ConsumeBool() ? "0001" : "0003";
        break;
      case 1:
        text = std::string(256, static_cast<char>(data->ConsumeIntegral<uint8_t>()));
        break;
      default:
        text = data->ConsumeRandomLengthString(256);
    }
    std::memcpy(buffer, text.data(), text.size());
    if (text.size() < CP210x_MAX_TEXT && data->ConsumeBool())
      static_cast<char*>(buffer)[text.size()] = '\0';
  }
};

Pass* current = nullptr;

}  // namespace

extern "C" {

CP210x_STATUS CP210X_API CP210x_GetNumDevices(DWORD* numDevices) {
  CP210x_STATUS status = current->Status();
  if (status == CP210x_SUCCESS || current->data->ConsumeBool())
    *numDevices = current->data->ConsumeBool() ? current->data->ConsumeIntegralInRange<DWORD>(0, 4)
                                               : current->data->ConsumeIntegral<DWORD>();
  return status;
}

CP210x_STATUS CP210X_API CP210x_GetProductString(DWORD, void* buffer256, DWORD options) {
  if (current->ended || current->output->failed || options != 2) std::abort();
  // Out of input: the device is gone, which ends the pass.
  if (current->data->remaining_bytes() == 0) return CP210x_DEVICE_NOT_FOUND;
  CP210x_STATUS status = current->Status();
  if (status == CP210x_SUCCESS) current->FillText(buffer256);
  current->ended = status != CP210x_SUCCESS;
  return status;
}

CP210x_STATUS CP210X_API CP210x_Open(DWORD, HANDLE* handle) {
  if (current->ended || current->output->failed) std::abort();
  if (*handle != reinterpret_cast<HANDLE>(~uintptr_t{0})) std::abort();
  CP210x_STATUS status = current->Status();
  if (status == CP210x_SUCCESS) {
    *handle = reinterpret_cast<HANDLE>(++current->lastHandle);
    current->handles[current->lastHandle];
  }
  return status;
}

CP210x_STATUS CP210X_API CP210x_Close(HANDLE handle) {
  Handle& state = current->Open(handle);
  ++state.closes;
  if (state.written && state.resets != 1) std::abort();  // rewritten, not reset once
  CP210x_STATUS status = current->Status();
  current->ended = status != CP210x_SUCCESS;
  return status;
}

CP210x_STATUS CP210X_API CP210x_GetDeviceProductString(HANDLE handle, void* buffer256, BYTE* length,
                                                       BOOL) {
  current->Open(handle);
  CP210x_STATUS status = current->Status();
  if (status == CP210x_SUCCESS) current->FillText(buffer256);
  *length = current->data->ConsumeIntegral<BYTE>();
  return status;
}

CP210x_STATUS CP210X_API CP210x_GetDeviceSerialNumber(HANDLE handle, void* buffer256, BYTE* length,
                                                      BOOL convertToAscii) {
  return CP210x_GetDeviceProductString(handle, buffer256, length, convertToAscii);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVid(HANDLE handle, WORD* vid) {
  return current->Read(handle, vid, 0x10C4);
}

CP210x_STATUS CP210X_API CP210x_GetDevicePid(HANDLE handle, WORD* pid) {
  return current->Read(handle, pid, 0x8017);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVersion(HANDLE handle, WORD* version) {
  return current->Read(handle, version);
}

CP210x_STATUS CP210X_API CP210x_GetMaxPower(HANDLE handle, BYTE* maxPower) {
  return current->Read(handle, maxPower);
}

CP210x_STATUS CP210X_API CP210x_GetPartNumber(HANDLE handle, BYTE* partNumber) {
  return current->Read(handle, partNumber);
}

CP210x_STATUS CP210X_API CP210x_SetProductString(HANDLE handle, void* text, BYTE length, BOOL) {
  return current->Write(handle, "CP2101 USB to UART Bridge Controller", text, length);
}

CP210x_STATUS CP210X_API CP210x_SetSerialNumber(HANDLE handle, void* text, BYTE length, BOOL) {
  return current->Write(handle, "ZEMTA ELECTRONIC USB DEVICE", text, length);
}

CP210x_STATUS CP210X_API CP210x_SetPid(HANDLE handle, WORD pid) {
  Handle& state = current->Open(handle);
  if (state.resets != 0 || pid != 60000) std::abort();
  state.written = true;
  return current->Status();
}

CP210x_STATUS CP210X_API CP210x_Reset(HANDLE handle) {
  ++current->Open(handle).resets;
  return current->Status();
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  // Mostly confirmations, so that rewrites are reached; sometimes any text.
  std::string answerText;
  switch (data.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      for (int i = 0; i < 8; ++i) answerText += "yes\n";
      break;
    case 1:
      for (int i = 0; i < 8; ++i) answerText += "YeS\n";
      break;
    default:
      answerText = data.ConsumeRandomLengthString(64);
  }
  std::istringstream answers(answerText);
  FailingOutput output(data.ConsumeBool() ? SIZE_MAX
                                          : data.ConsumeIntegralInRange<std::size_t>(0, 4096));
  Pass pass;
  pass.data = &data;
  pass.output = &output;
  current = &pass;

  std::streambuf* savedIn = std::cin.rdbuf(answers.rdbuf());
  std::streambuf* savedOut = std::cout.rdbuf(&output);
  std::cin.clear();
  std::cout.clear();
  try {
    TCp210xWrapper().ProcessDevices();
  } catch (const TError&) {
  }
  std::cin.rdbuf(savedIn);
  std::cout.rdbuf(savedOut);
  std::cin.clear();
  std::cout.clear();
  current = nullptr;

  for (const auto& [id, handle] : pass.handles)
    if (handle.closes != 1 || (handle.written && handle.resets != 1)) std::abort();
  return 0;
}
