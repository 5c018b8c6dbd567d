#include "CP210xWrapperUnit.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "ConsoleUnit.h"

namespace {

using TextBuffer = std::array<char, CP210x_MAX_TEXT>;

// What identifies a ZE device, and what it becomes.
constexpr std::string_view kZeVid = "10C4";
constexpr std::string_view kZePid = "8017";
constexpr std::string_view kZeSerials[] = {"0001", "0003"};
constexpr std::string_view kConfirmation = "yes";
constexpr std::string_view kNewProductString = "CP2101 USB to UART Bridge Controller";
constexpr std::string_view kNewSerialNumber = "ZEMTA ELECTRONIC USB DEVICE";
constexpr std::string_view kNewPid = "EA60";

// Bytes of an answer line worth keeping: more than the confirmation word, so
// that a longer line never compares equal to it.
constexpr std::size_t kAnswerBytes = 16;

// The text of a buffer: its bytes up to the first NUL, or all of them.
std::string TextOf(const TextBuffer& buffer) {
  const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
  std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data()) : buffer.size();
  return std::string(buffer.data(), length);
}

// A device text as the console may show it: control characters become "?",
// so a device cannot send terminal control sequences to the operator's
// screen. Those are C0 (01-1F), DEL (7F) and C1 (80-9F): a terminal that
// takes 8-bit controls reads 9B as CSI, and a UTF-8 terminal reads the pair
// C2 9B as CSI too, which this rule breaks by showing C2 "?".
std::string Shown(std::string text) {
  for (char& c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 0x01 && byte <= 0x1F) || (byte >= 0x7F && byte <= 0x9F)) c = '?';
  }
  return text;
}

std::string HexText(unsigned value, int width) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%0*X", width, value);
  return digits;
}

std::string_view StatusName(CP210x_STATUS status) {
  switch (status) {
    case CP210x_INVALID_HANDLE:
      return "INVALID_HANDLE";
    case CP210x_INVALID_PARAMETER:
      return "INVALID_PARAMETER";
    case CP210x_DEVICE_IO_FAILED:
      return "DEVICE_IO_FAILED";
    case CP210x_FUNCTION_NOT_SUPPORTED:
      return "FUNCTION_NOT_SUPPORTED";
    case CP210x_GLOBAL_DATA_ERROR:
      return "GLOBAL_DATA_ERROR";
    case CP210x_FILE_ERROR:
      return "FILE_ERROR";
    case CP210x_COMMAND_FAILED:
      return "COMMAND_FAILED";
    case CP210x_INVALID_ACCESS_TYPE:
      return "INVALID_ACCESS_TYPE";
    case CP210x_DEVICE_NOT_FOUND:
      return "DEVICE_NOT_FOUND";
    default:
      return "Unknown Error";
  }
}

std::string_view PartName(BYTE part) {
  switch (part) {
    case CP210x_CP2101:
      return "CP2101";
    case CP210x_CP2102:
      return "CP2102";
    case CP210x_CP2103:
      return "CP2103";
    default:
      return "unknown";
  }
}

std::string Lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Calls a library text writer with a copy of `text` that it may use as it likes.
template <typename Writer>
bool WriteText(Writer writer, std::string_view text, HANDLE handle) {
  if (text.size() > 255) return false;  // the length does not fit its byte
  std::string copy(text);
  return writer(handle, copy.data(), static_cast<BYTE>(copy.size()), 1) == CP210x_SUCCESS;
}

}  // namespace

int HexDigitValue(std::string_view digit) {
  static constexpr std::string_view kLetters = "ABCDEF";
  if (digit.size() == 1) {
    std::size_t letter = kLetters.find(digit[0]);
    if (letter != std::string_view::npos) return 10 + static_cast<int>(letter);
    if (digit[0] >= '0' && digit[0] <= '9') return digit[0] - '0';
  }
  throw TError("'" + std::string(digit) + "' is not a valid integer value");
}

int32_t TCp210xWrapper::HexTextToInt(std::string_view text) {
  // The digits have room for four characters: a longer text is refused
  // instead of being read past that room.
  std::array<std::string, 4> digits;
  if (text.size() > digits.size())
    throw TError("'" + std::string(text) + "' is longer than 4 hex digits");
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) digits[i] = std::string(1, text[i]);
  int32_t result = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double weight = std::pow(16.0, static_cast<double>(n - 1 - i));
    result += static_cast<int32_t>(std::lround(HexDigitValue(digits[i]) * weight));
  }
  return result;
}

void TCp210xWrapper::ReportStatus(CP210x_STATUS status) {
  WriteLine("Failed to open USB-port :" + std::string(StatusName(status)));
}

bool TCp210xWrapper::WriteProductString(std::string_view text, HANDLE handle) {
  return WriteText(CP210x_SetProductString, text, handle);
}

bool TCp210xWrapper::WriteSerialNumber(std::string_view text, HANDLE handle) {
  return WriteText(CP210x_SetSerialNumber, text, handle);
}

bool TCp210xWrapper::WritePid(std::string_view hexText, HANDLE handle) {
  WORD pid = static_cast<WORD>(HexTextToInt(hexText));
  return CP210x_SetPid(handle, pid) == CP210x_SUCCESS;
}

void TCp210xWrapper::ProcessDevices() {
  DWORD count = 0;  // the library writes 32 bits; the pass counts in 16
  CP210x_STATUS status = CP210x_GetNumDevices(&count);
  const uint16_t deviceCount = static_cast<uint16_t>(count);
  if (status != CP210x_SUCCESS)
    ReportStatus(status);
  else
    WriteLine("Found " + std::to_string(deviceCount) + " device(s):");
  if (deviceCount == 0) {
    WriteLine("No device found. Program will be closed.");
    return;
  }
  for (uint16_t index = 0; index < deviceCount; ++index) SurveyDevice(index);
}

void TCp210xWrapper::SurveyDevice(uint16_t index) {
  TextBuffer label{};
  if (CP210x_GetProductString(index, label.data(), CP210x_RETURN_FULL_PATH) != CP210x_SUCCESS)
    throw TError("Error: Could not read ProductString.");
  WriteLine("ProductString: " + Shown(TextOf(label)));

  HANDLE handle = reinterpret_cast<HANDLE>(~uintptr_t{0});
  CP210x_STATUS status = CP210x_Open(index, &handle);
  if (status != CP210x_SUCCESS) {
    ReportStatus(status);
    return;
  }
  // The device is open: it is closed on every way out, and a close error
  // takes the place of an error already leaving.
  std::exception_ptr failure;
  try {
    CheckRebranding(handle, ReadIdentity(handle));
  } catch (...) {
    failure = std::current_exception();
  }
  const CP210x_STATUS closed = CP210x_Close(handle);
  // A rewrite holds interrupts until its device is reset and closed; one that
  // came meanwhile ends the program here.
  ReleaseInterrupts();
  if (closed != CP210x_SUCCESS) throw TError("Failed to close USB-port");
  if (failure) std::rethrow_exception(failure);
}

TCp210xWrapper::TMatchTexts TCp210xWrapper::ReadIdentity(HANDLE handle) {
  WriteLine("USB-port open.");
  TMatchTexts match;
  // Each buffer is cleared before its read: a library that writes a shorter
  // text without a NUL must not show the tail of an earlier text.
  TextBuffer text{};
  BYTE length = 0;
  CP210x_STATUS status;

  WriteLine("Reading DeviceProductString.");
  status = CP210x_GetDeviceProductString(handle, text.data(), &length, 1);
  if (status == CP210x_SUCCESS)
    WriteLine("DeviceProductString: " + Shown(TextOf(text)));
  else
    ReportStatus(status);

  WriteLine("Reading DeviceSerialNumber.");
  text.fill('\0');
  status = CP210x_GetDeviceSerialNumber(handle, text.data(), &length, 1);
  if (status == CP210x_SUCCESS) {
    match.serial = TextOf(text);
    WriteLine("DeviceSerialNumber: " + Shown(match.serial));
  } else {
    ReportStatus(status);
  }

  WORD word = 0;
  WriteLine("Reading DeviceVid.");
  status = CP210x_GetDeviceVid(handle, &word);
  if (status == CP210x_SUCCESS) {
    match.vid = HexText(word, 4);
    WriteLine("DeviceVid: " + match.vid);
  } else {
    ReportStatus(status);
  }

  WriteLine("Reading DevicePid.");
  status = CP210x_GetDevicePid(handle, &word);
  if (status == CP210x_SUCCESS) {
    match.pid = HexText(word, 4);
    WriteLine("DevicePid: " + match.pid);
  } else {
    ReportStatus(status);
  }

  WriteLine("Reading DeviceVersion.");
  status = CP210x_GetDeviceVersion(handle, &word);
  if (status == CP210x_SUCCESS) {
    WriteLine("DeviceVersionMajor: " + std::to_string(word >> 8));
    WriteLine("DeviceVersionMinor: " + std::to_string(word & 0xFF));
  } else {
    ReportStatus(status);
  }

  BYTE byte = 0;
  WriteLine("Reading MaxPower.");
  status = CP210x_GetMaxPower(handle, &byte);
  if (status == CP210x_SUCCESS)
    WriteLine("MaxPower: " + HexText(byte, 2));
  else
    ReportStatus(status);

  WriteLine("Reading PartNumber.");
  status = CP210x_GetPartNumber(handle, &byte);
  if (status == CP210x_SUCCESS)
    WriteLine("PartNumber: " + std::string(PartName(byte)));
  else
    ReportStatus(status);
  return match;
}

void TCp210xWrapper::CheckRebranding(HANDLE handle, const TMatchTexts& texts) {
  bool serialMatches = false;
  for (std::string_view zeSerial : kZeSerials)
    serialMatches = serialMatches || texts.serial == zeSerial;
  if (texts.vid != kZeVid || texts.pid != kZePid || !serialMatches) return;

  WriteLine("ZE device found.");
  WriteLine("Upgrade to Korlinth? (Yes/No)");
  if (Lowered(ReadLine(kAnswerBytes)) != kConfirmation) {
    WriteLine("Operation aborted.");
    return;
  }
  Rebrand(handle);
}

void TCp210xWrapper::Rebrand(HANDLE handle) {
  // Once the writes begin, the device is reset on every way out; the first
  // error seen is the one that leaves. Interrupts wait until the device is
  // reset and closed: a device left half rewritten may no longer be found.
  HoldInterrupts();
  std::exception_ptr failure;
  try {
    WriteLine("Upgrading device.");
    WriteLine(WriteProductString(kNewProductString, handle) ? "ProductString written."
                                                            : "Unable to write ProductString.");
    WriteLine(WriteSerialNumber(kNewSerialNumber, handle) ? "Serialnumber written."
                                                          : "Unable to write Serialnumber.");
    WriteLine(WritePid(kNewPid, handle) ? "PID written." : "Unable to write PID.");
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    WriteLine("Reinitialize device.");
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  CP210x_Reset(handle);  // its status tells nothing the operator can act on
  if (failure) std::rethrow_exception(failure);
}
