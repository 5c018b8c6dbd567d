// The device pass: survey every attached CP210x device and rebrand ZE devices.
#ifndef KORLINTH_CP210XWRAPPERUNIT_H
#define KORLINTH_CP210XWRAPPERUNIT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "CP210xUnit.h"

// Value of one hex digit: "A" to "F" give 10 to 15, "0" to "9" their value.
// Raises TError naming the text for anything else, lower-case letters included.
int HexDigitValue(std::string_view digit);

class TCp210xWrapper {
 public:
  // Lists every device with its stored identity and offers ZE devices an
  // upgrade. Raises TError when the pass must end early; every device it
  // opened is closed, and a rebranding under way is reset, before that.
  void ProcessDevices();

  // Writes the one line that reports a failed library status.
  void ReportStatus(CP210x_STATUS status);

  // Each returns true exactly when the library stored the value.
  bool WriteProductString(std::string_view text, HANDLE handle);
  bool WriteSerialNumber(std::string_view text, HANDLE handle);
  bool WritePid(std::string_view hexText, HANDLE handle);

  // Reads 0 to 4 uppercase hex digits; "" gives 0. Raises TError for a longer
  // text or a character that is not a hex digit.
  int32_t HexTextToInt(std::string_view text);

 private:
  // What the rebranding check compares: the texts as read, each empty where
  // its read failed.
  struct TMatchTexts {
    std::string vid, pid, serial;
  };

  void SurveyDevice(uint16_t index);
  TMatchTexts ReadIdentity(HANDLE handle);
  void CheckRebranding(HANDLE handle, const TMatchTexts& texts);
  void Rebrand(HANDLE handle);
};

#endif  // KORLINTH_CP210XWRAPPERUNIT_H
