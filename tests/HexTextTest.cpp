#include <gtest/gtest.h>

#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"

namespace {

TEST(HexTextToInt, ReadsUppercaseHexTexts) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {{"EA60", 60000}, {"FFFF", 65535}, {"0001", 1},     {"A", 10}, {"00A", 10},
               {"", 0},         {"10C4", 4292},  {"8017", 32791}, {"0", 0},  {"F0", 240}};
  TCp210xWrapper wrapper;
  for (const auto& c : cases) EXPECT_EQ(wrapper.HexTextToInt(c.text), c.value) << c.text;
}

TEST(HexTextToInt, RaisesErrorNamingTheText) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"ea60", "'e' is not a valid integer value"},
      {"12G4", "'G' is not a valid integer value"},
      {" 1", "' ' is not a valid integer value"},
      {"-1", "'-' is not a valid integer value"},
      {"EA600", "'EA600' is longer than 4 hex digits"},
  };
  TCp210xWrapper wrapper;
  for (const auto& c : cases) {
    try {
      wrapper.HexTextToInt(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const TError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(HexDigitValue, GivesDigitValuesAndRefusesTheRest) {
  const char* digits = "0123456789ABCDEF";
  for (int value = 0; value < 16; ++value)
    EXPECT_EQ(HexDigitValue(std::string(1, digits[value])), value) << digits[value];
  for (const char* text : {"a", "f", "G", "", "12", "+", "\xff", "0x"}) {
    try {
      HexDigitValue(text);
      ADD_FAILURE() << "no error for '" << text << "'";
    } catch (const TError& error) {
      EXPECT_EQ(error.what(), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
}

}  // namespace
