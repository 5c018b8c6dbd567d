// Simulated CP210x manufacturing library.
//
// Devices come from a JSON device file named by CP210X_SIM_DEVICES; every call
// is appended to the journal named by CP210X_SIM_JOURNAL (if set). Writes and
// resets change the devices and are saved back to the file, atomically. The
// file format is described in the README.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CP210xUnit.h"

namespace {

using nlohmann::json;

constexpr const char* kOperations[] = {"GetNumDevices",
                                       "GetProductString",
                                       "Open",
                                       "Close",
                                       "GetDeviceProductString",
                                       "GetDeviceSerialNumber",
                                       "GetDeviceVid",
                                       "GetDevicePid",
                                       "GetDeviceVersion",
                                       "GetMaxPower",
                                       "GetPartNumber",
                                       "SetProductString",
                                       "SetSerialNumber",
                                       "SetPid",
                                       "Reset"};

constexpr std::size_t kMaxProductString = 126;
constexpr std::size_t kMaxSerialNumber = 63;

struct LoadError {
  std::string message;
};

struct Text {
  std::string bytes;
  bool nul = true;  // whether the library ends the text with a NUL
};

struct Device {
  Text label, product, serial;
  WORD vid = 0x10C4, pid = 0xEA60, version = 0x0100;
  BYTE maxPower = 0x32, part = CP210x_CP2102;
  std::map<std::string, CP210x_STATUS> fail;  // operation -> status it returns
  std::map<std::string, long> delay;          // operation -> milliseconds it takes
};

struct FaultRule {
  uint64_t first, last;  // call numbers, counted from 1
  CP210x_STATUS status;
};

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string Quoted(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      out += escape;
    }
  }
  return out + "\"";
}

Text ParseText(const json& value, const std::string& where) {
  if (value.is_string()) return Text{value.get<std::string>(), true};
  if (!value.is_object()) throw LoadError{where + " must be a string or an object"};
  Text text;
  std::string unit;
  for (auto& [key, item] : value.items()) {
    if (key == "text" && item.is_string()) {
      unit = item.get<std::string>();
    } else if (key == "hex" && item.is_string()) {
      std::string digits;
      for (char c : item.get<std::string>())
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
      if (digits.size() % 2 != 0 ||
          digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw LoadError{where + ".hex must be pairs of hex digits"};
      for (std::size_t i = 0; i < digits.size(); i += 2)
        unit += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    } else if (key == "nul" && item.is_boolean()) {
      text.nul = item.get<bool>();
    } else if (key != "repeat") {
      throw LoadError{where + ": unknown or mistyped key '" + key + "'"};
    }
  }
  long repeat = 1;
  if (value.contains("repeat")) {
    if (!value["repeat"].is_number_unsigned() || value["repeat"].get<long>() > 4096)
      throw LoadError{where + ".repeat must be 0 to 4096"};
    repeat = value["repeat"].get<long>();
  }
  for (long i = 0; i < repeat; ++i) text.bytes += unit;
  return text;
}

json TextToJson(const std::string& bytes) {
  for (unsigned char b : bytes)
    if (b < 0x20 || b >= 0x7F) return json{{"hex", Hex(bytes)}};
  return bytes;
}

uint64_t ParseNumber(const json& value, const std::string& where, uint64_t max) {
  uint64_t number = 0;
  if (value.is_number_unsigned()) {
    number = value.get<uint64_t>();
  } else if (value.is_string()) {
    const std::string text = value.get<std::string>();
    char* end = nullptr;
    number = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || text.find_first_of("+- x") != std::string::npos)
      throw LoadError{where + " must be a number or a hex text such as \"10C4\""};
  } else {
    throw LoadError{where + " must be a number or a hex text such as \"10C4\""};
  }
  if (number > max) throw LoadError{where + " is out of range"};
  return number;
}

CP210x_STATUS ParseStatus(const json& value, const std::string& where) {
  if (!value.is_number_integer() || value.get<long long>() < INT32_MIN ||
      value.get<long long>() > INT32_MAX)
    throw LoadError{where + " must be a 32-bit integer status"};
  return static_cast<CP210x_STATUS>(value.get<long long>());
}

bool IsOperation(const std::string& name) {
  for (const char* operation : kOperations)
    if (name == operation) return true;
  return false;
}

Device ParseDevice(const json& value, std::size_t index) {
  const std::string where = "devices[" + std::to_string(index) + "]";
  if (!value.is_object()) throw LoadError{where + " must be an object"};
  Device device;
  device.label.bytes = "sim-" + std::to_string(index);
  device.product.bytes = "CP2102 USB to UART Bridge Controller";
  device.serial.bytes = "0001";
  for (auto& [key, item] : value.items()) {
    const std::string field = where + "." + key;
    if (key == "label")
      device.label = ParseText(item, field);
    else if (key == "product")
      device.product = ParseText(item, field);
    else if (key == "serial")
      device.serial = ParseText(item, field);
    else if (key == "vid")
      device.vid = static_cast<WORD>(ParseNumber(item, field, 0xFFFF));
    else if (key == "pid")
      device.pid = static_cast<WORD>(ParseNumber(item, field, 0xFFFF));
    else if (key == "version")
      device.version = static_cast<WORD>(ParseNumber(item, field, 0xFFFF));
    else if (key == "maxPower")
      device.maxPower = static_cast<BYTE>(ParseNumber(item, field, 0xFF));
    else if (key == "part")
      device.part = static_cast<BYTE>(ParseNumber(item, field, 0xFF));
    else if (key == "resets")
      ParseNumber(item, field, UINT64_MAX);
    else if (key == "fail") {
      if (!item.is_object()) throw LoadError{field + " must be an object"};
      for (auto& [operation, status] : item.items()) {
        if (!IsOperation(operation) || operation == "GetNumDevices")
          throw LoadError{field + ": unknown operation '" + operation + "'"};
        device.fail[operation] = ParseStatus(status, field + "." + operation);
      }
    } else if (key == "delay") {
      if (!item.is_object()) throw LoadError{field + " must be an object"};
      for (auto& [operation, milliseconds] : item.items()) {
        if (!IsOperation(operation) || operation == "GetNumDevices" ||
            operation == "GetProductString" || operation == "Open")
          throw LoadError{field + ": '" + operation + "' is not an operation on an open device"};
        if (!milliseconds.is_number_unsigned() || milliseconds.get<uint64_t>() > 60000)
          throw LoadError{field + "." + operation + " must be 0 to 60000 milliseconds"};
        device.delay[operation] = milliseconds.get<long>();
      }
    } else {
      throw LoadError{where + ": unknown key '" + key + "'"};
    }
  }
  return device;
}

// The whole simulated world of one process.
class Simulation {
 public:
  static Simulation& Instance() {
    static Simulation simulation;
    return simulation;
  }

  // Reads the device file again: the snapshot that index-based calls use.
  bool Load() {
    loaded_ = true;
    devices_.clear();
    faults_.clear();
    document_ = json();
    countOverride_.reset();
    countStatus_ = CP210x_SUCCESS;
    const char* path = std::getenv("CP210X_SIM_DEVICES");
    path_ = path ? path : "";
    try {
      if (path_.empty()) throw LoadError{"CP210X_SIM_DEVICES does not name a device file"};
      std::ifstream in(path_, std::ios::binary);
      if (!in) throw LoadError{"cannot read device file '" + path_ + "': " + std::strerror(errno)};
      try {
        document_ = json::parse(in);
      } catch (const json::parse_error& error) {
        std::string what = error.what();
        std::size_t start = what.find("] ");
        throw LoadError{"device file '" + path_ +
                        "': " + (start == std::string::npos ? what : what.substr(start + 2))};
      }
      ParseDocument();
      valid_ = true;
    } catch (const LoadError& error) {
      valid_ = false;
      devices_.clear();
      std::fprintf(stderr, "CP210x simulation: %s\n", error.message.c_str());
    }
    return valid_;
  }

  void EnsureLoaded() {
    if (!loaded_) Load();
  }

  // The status that a fault of the device file or of the call numbering
  // imposes on this call, if any. Counts the call.
  std::optional<CP210x_STATUS> Injected(const char* operation, const Device* device) {
    ++calls_;
    for (const auto& fault : faults_)
      if (calls_ >= fault.first && calls_ <= fault.last) return fault.status;
    if (device) {
      auto found = device->fail.find(operation);
      if (found != device->fail.end()) return found->second;
    }
    return std::nullopt;
  }

  CP210x_STATUS Log(CP210x_STATUS status, const std::string& line) {
    const char* path = std::getenv("CP210X_SIM_JOURNAL");
    if (!journal_ && path && *path) journal_ = std::fopen(path, "ab");
    if (journal_) {
      std::fprintf(journal_, "%s -> %d%s\n", line.c_str(), static_cast<int>(status),
                   pending_.c_str());
      std::fflush(journal_);
    }
    pending_.clear();
    return status;
  }
  // Extra words for the journal line of the current call, after its status.
  void Note(const std::string& words) { pending_ += " " + words; }

  Device* DeviceAt(DWORD index) { return index < devices_.size() ? &devices_[index] : nullptr; }

  HANDLE OpenHandle(DWORD index) {
    uintptr_t id = ++lastHandle_;
    handles_[id] = index;
    return reinterpret_cast<HANDLE>(id);
  }
  // The index of the device behind an open handle.
  std::optional<DWORD> IndexOf(HANDLE handle) const {
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) return std::nullopt;
    return found->second;
  }
  void CloseHandle(HANDLE handle) { handles_.erase(reinterpret_cast<uintptr_t>(handle)); }

  bool valid() const { return valid_; }
  std::size_t deviceCount() const { return devices_.size(); }
  std::optional<uint64_t> countOverride() const { return countOverride_; }
  CP210x_STATUS countStatus() const { return countStatus_; }

  // Stores a changed device field in the document and saves the file.
  bool Save(DWORD index, const char* key, const json& value) {
    document_["devices"][index][key] = value;
    // Written beside the file and renamed over it: a reader, or a run that is
    // killed meanwhile, sees the old file or the new one, never a torn one.
    const std::string temporary = path_ + ".saving";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << document_.dump(2) << '\n';
      out.flush();
      if (!out) {
        std::fprintf(stderr, "CP210x simulation: cannot write '%s'\n", temporary.c_str());
        std::remove(temporary.c_str());
        return false;
      }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path_, error);
    if (error) {
      std::fprintf(stderr, "CP210x simulation: cannot replace '%s': %s\n", path_.c_str(),
                   error.message().c_str());
      std::remove(temporary.c_str());
      return false;
    }
    return true;
  }

  const json& document() const { return document_; }

 private:
  Simulation() = default;
  ~Simulation() {
    if (journal_) std::fclose(journal_);
  }

  void ParseDocument() {
    if (!document_.is_object()) throw LoadError{"device file '" + path_ + "' must hold an object"};
    for (auto& [key, item] : document_.items()) {
      if (key == "devices") {
        if (!item.is_array()) throw LoadError{"devices must be an array"};
        for (std::size_t i = 0; i < item.size(); ++i) devices_.push_back(ParseDevice(item[i], i));
      } else if (key == "count") {
        if (!item.is_object()) throw LoadError{"count must be an object"};
        for (auto& [name, value] : item.items()) {
          if (name == "status")
            countStatus_ = ParseStatus(value, "count.status");
          else if (name == "value")
            countOverride_ = ParseNumber(value, "count.value", 0xFFFFFFFF);
          else
            throw LoadError{"count: unknown key '" + name + "'"};
        }
      } else if (key == "faults") {
        if (!item.is_array()) throw LoadError{"faults must be an array"};
        for (const json& entry : item) ParseFault(entry);
      } else if (key != "comment") {
        throw LoadError{"device file '" + path_ + "': unknown key '" + key + "'"};
      }
    }
  }

  // {"call": k, "status": s} fails call k; {"from": k, "status": s} fails
  // call k and every call after it.
  void ParseFault(const json& entry) {
    if (!entry.is_object() || !entry.contains("status") ||
        entry.contains("call") == entry.contains("from"))
      throw LoadError{"faults: each entry has a status and either call or from"};
    CP210x_STATUS status = ParseStatus(entry["status"], "faults.status");
    if (entry.contains("call")) {
      uint64_t call = ParseNumber(entry["call"], "faults.call", UINT64_MAX);
      faults_.push_back({call, call, status});
    } else {
      faults_.push_back(
          {ParseNumber(entry["from"], "faults.from", UINT64_MAX), UINT64_MAX, status});
    }
  }

  json document_;
  std::string path_;
  bool loaded_ = false;
  bool valid_ = false;
  std::vector<Device> devices_;
  std::vector<FaultRule> faults_;
  std::optional<uint64_t> countOverride_;
  CP210x_STATUS countStatus_ = CP210x_SUCCESS;
  std::map<uintptr_t, DWORD> handles_;
  uintptr_t lastHandle_ = 0;
  uint64_t calls_ = 0;
  std::FILE* journal_ = nullptr;
  std::string pending_;
};

std::string HandleName(HANDLE handle) {
  return "h" + std::to_string(reinterpret_cast<uintptr_t>(handle));
}

// Copies a device text into a caller's 256-byte buffer, as the device holds it.
void CopyText(const Text& text, void* buffer) {
  std::size_t length = std::min<std::size_t>(text.bytes.size(), CP210x_MAX_TEXT);
  std::memcpy(buffer, text.bytes.data(), length);
  if (text.nul && length < CP210x_MAX_TEXT) static_cast<char*>(buffer)[length] = '\0';
}

// Runs one handle-based operation: looks up the device, applies faults, logs.
template <typename Body>
CP210x_STATUS WithDevice(const char* operation, HANDLE handle, const std::string& arguments,
                         Body body) {
  Simulation& sim = Simulation::Instance();
  sim.EnsureLoaded();
  std::optional<DWORD> index = sim.IndexOf(handle);
  Device* device = index ? sim.DeviceAt(*index) : nullptr;
  std::string line = std::string(operation) + " " + HandleName(handle) + arguments;
  if (std::optional<CP210x_STATUS> fault = sim.Injected(operation, device))
    return sim.Log(*fault, line);
  if (!device) return sim.Log(CP210x_INVALID_HANDLE, line);
  auto delay = device->delay.find(operation);
  if (delay != device->delay.end())
    std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
  return sim.Log(body(*device, *index), line);
}

CP210x_STATUS SetText(const char* operation, const char* key, Text Device::*field,
                      std::size_t maxLength, HANDLE handle, void* text, BYTE length, BOOL convert) {
  std::string bytes = text ? std::string(static_cast<const char*>(text), length) : std::string();
  std::string arguments = " " + Quoted(bytes) + " length=" + std::to_string(length) +
                          " unicode=" + std::to_string(convert);
  return WithDevice(operation, handle, arguments, [&](Device& device, DWORD index) {
    if (!text || length == 0 || length > maxLength) return CP210x_INVALID_PARAMETER;
    device.*field = Text{bytes, true};
    return Simulation::Instance().Save(index, key, TextToJson(bytes)) ? CP210x_SUCCESS
                                                                      : CP210x_DEVICE_IO_FAILED;
  });
}

template <typename Value>
CP210x_STATUS GetValue(const char* operation, HANDLE handle, Value* out, Value Device::*field) {
  return WithDevice(operation, handle, "", [&](Device& device, DWORD) {
    if (!out) return CP210x_INVALID_PARAMETER;
    *out = device.*field;
    return CP210x_SUCCESS;
  });
}

CP210x_STATUS GetText(const char* operation, HANDLE handle, void* buffer, BYTE* length,
                      BOOL convert, Text Device::*field) {
  return WithDevice(operation, handle, " ascii=" + std::to_string(convert),
                    [&](Device& device, DWORD) {
                      if (!buffer || !length) return CP210x_INVALID_PARAMETER;
                      const Text& text = device.*field;
                      CopyText(text, buffer);
                      *length = static_cast<BYTE>(std::min<std::size_t>(text.bytes.size(), 255));
                      return CP210x_SUCCESS;
                    });
}

}  // namespace

extern "C" {

CP210x_STATUS CP210X_API CP210x_GetNumDevices(DWORD* numDevices) {
  Simulation& sim = Simulation::Instance();
  bool valid = sim.Load();
  std::string line = "GetNumDevices";
  std::optional<CP210x_STATUS> fault = sim.Injected("GetNumDevices", nullptr);
  if (!numDevices) return sim.Log(CP210x_INVALID_PARAMETER, line);
  if (!valid) {
    sim.Note("count=" + std::to_string(*numDevices));
    return sim.Log(CP210x_FILE_ERROR, line);
  }
  CP210x_STATUS status = fault ? *fault : sim.countStatus();
  if (status == CP210x_SUCCESS || sim.countOverride())
    *numDevices = static_cast<DWORD>(sim.countOverride().value_or(sim.deviceCount()));
  sim.Note("count=" + std::to_string(*numDevices));
  return sim.Log(status, line);
}

CP210x_STATUS CP210X_API CP210x_GetProductString(DWORD deviceIndex, void* buffer256,
                                                 DWORD options) {
  Simulation& sim = Simulation::Instance();
  sim.EnsureLoaded();
  Device* device = sim.DeviceAt(deviceIndex);
  std::string line =
      "GetProductString " + std::to_string(deviceIndex) + " option=" + std::to_string(options);
  if (std::optional<CP210x_STATUS> fault = sim.Injected("GetProductString", device))
    return sim.Log(*fault, line);
  if (!device) return sim.Log(CP210x_DEVICE_NOT_FOUND, line);
  if (!buffer256) return sim.Log(CP210x_INVALID_PARAMETER, line);
  CopyText(device->label, buffer256);
  return sim.Log(CP210x_SUCCESS, line);
}

CP210x_STATUS CP210X_API CP210x_Open(DWORD deviceIndex, HANDLE* handle) {
  Simulation& sim = Simulation::Instance();
  sim.EnsureLoaded();
  Device* device = sim.DeviceAt(deviceIndex);
  std::string line = "Open " + std::to_string(deviceIndex);
  if (std::optional<CP210x_STATUS> fault = sim.Injected("Open", device))
    return sim.Log(*fault, line);
  if (!device) return sim.Log(CP210x_DEVICE_NOT_FOUND, line);
  if (!handle) return sim.Log(CP210x_INVALID_PARAMETER, line);
  *handle = sim.OpenHandle(deviceIndex);
  sim.Note(HandleName(*handle));
  return sim.Log(CP210x_SUCCESS, line);
}

CP210x_STATUS CP210X_API CP210x_Close(HANDLE handle) {
  return WithDevice("Close", handle, "", [&](Device&, DWORD) {
    Simulation::Instance().CloseHandle(handle);
    return CP210x_SUCCESS;
  });
}

CP210x_STATUS CP210X_API CP210x_GetDeviceProductString(HANDLE handle, void* buffer256, BYTE* length,
                                                       BOOL convertToAscii) {
  return GetText("GetDeviceProductString", handle, buffer256, length, convertToAscii,
                 &Device::product);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceSerialNumber(HANDLE handle, void* buffer256, BYTE* length,
                                                      BOOL convertToAscii) {
  return GetText("GetDeviceSerialNumber", handle, buffer256, length, convertToAscii,
                 &Device::serial);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVid(HANDLE handle, WORD* vid) {
  return GetValue("GetDeviceVid", handle, vid, &Device::vid);
}

CP210x_STATUS CP210X_API CP210x_GetDevicePid(HANDLE handle, WORD* pid) {
  return GetValue("GetDevicePid", handle, pid, &Device::pid);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVersion(HANDLE handle, WORD* version) {
  return GetValue("GetDeviceVersion", handle, version, &Device::version);
}

CP210x_STATUS CP210X_API CP210x_GetMaxPower(HANDLE handle, BYTE* maxPower) {
  return GetValue("GetMaxPower", handle, maxPower, &Device::maxPower);
}

CP210x_STATUS CP210X_API CP210x_GetPartNumber(HANDLE handle, BYTE* partNumber) {
  return GetValue("GetPartNumber", handle, partNumber, &Device::part);
}

CP210x_STATUS CP210X_API CP210x_SetProductString(HANDLE handle, void* text, BYTE length,
                                                 BOOL convertToUnicode) {
  return SetText("SetProductString", "product", &Device::product, kMaxProductString, handle, text,
                 length, convertToUnicode);
}

CP210x_STATUS CP210X_API CP210x_SetSerialNumber(HANDLE handle, void* text, BYTE length,
                                                BOOL convertToUnicode) {
  return SetText("SetSerialNumber", "serial", &Device::serial, kMaxSerialNumber, handle, text,
                 length, convertToUnicode);
}

CP210x_STATUS CP210X_API CP210x_SetPid(HANDLE handle, WORD pid) {
  return WithDevice("SetPid", handle, " " + std::to_string(pid), [&](Device& device, DWORD index) {
    device.pid = pid;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", pid);
    return Simulation::Instance().Save(index, "pid", hex) ? CP210x_SUCCESS
                                                          : CP210x_DEVICE_IO_FAILED;
  });
}

CP210x_STATUS CP210X_API CP210x_Reset(HANDLE handle) {
  return WithDevice("Reset", handle, "", [&](Device&, DWORD index) {
    Simulation& sim = Simulation::Instance();
    uint64_t resets = sim.document()["devices"][index].value("resets", uint64_t{0});
    return sim.Save(index, "resets", resets + 1) ? CP210x_SUCCESS : CP210x_DEVICE_IO_FAILED;
  });
}

}  // extern "C"
