// HexTextToInt and HexDigitValue on any text: a result or the error, never a
// crash, and the result is the text's hexadecimal value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"

namespace {

bool IsUpperHex(const std::string& text) {
  return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TCp210xWrapper wrapper;
  try {
    int32_t value = wrapper.HexTextToInt(text);
    if (text.size() > 4 || !IsUpperHex(text)) std::abort();  // accepted a bad text
    if (value != (text.empty() ? 0 : std::strtol(text.c_str(), nullptr, 16))) std::abort();
  } catch (const TError&) {
    if (text.size() <= 4 && IsUpperHex(text)) std::abort();  // refused a good text
  }
  try {
    int value = HexDigitValue(text);
    if (text.size() != 1 || !IsUpperHex(text) || value != std::strtol(text.c_str(), nullptr, 16))
      std::abort();
  } catch (const TError&) {
    if (text.size() == 1 && IsUpperHex(text)) std::abort();
  }
  return 0;
}
