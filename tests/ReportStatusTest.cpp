#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "CP210xWrapperUnit.h"

namespace {

// Standard output goes to a string for the life of the capture.
class CapturedOutput {
 public:
  CapturedOutput() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
  ~CapturedOutput() { std::cout.rdbuf(saved_); }
  std::string str() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* saved_;
};

TEST(ReportStatus, NamesEveryStatus) {
  const struct {
    CP210x_STATUS status;
    const char* line;
  } cases[] = {
      {1, "Failed to open USB-port :INVALID_HANDLE\n"},
      {2, "Failed to open USB-port :INVALID_PARAMETER\n"},
      {3, "Failed to open USB-port :DEVICE_IO_FAILED\n"},
      {4, "Failed to open USB-port :FUNCTION_NOT_SUPPORTED\n"},
      {5, "Failed to open USB-port :GLOBAL_DATA_ERROR\n"},
      {6, "Failed to open USB-port :FILE_ERROR\n"},
      {7, "Failed to open USB-port :Unknown Error\n"},
      {8, "Failed to open USB-port :COMMAND_FAILED\n"},
      {9, "Failed to open USB-port :INVALID_ACCESS_TYPE\n"},
      {255, "Failed to open USB-port :DEVICE_NOT_FOUND\n"},
      {0, "Failed to open USB-port :Unknown Error\n"},
      {-1, "Failed to open USB-port :Unknown Error\n"},
      {256, "Failed to open USB-port :Unknown Error\n"},
      {-255, "Failed to open USB-port :Unknown Error\n"},
      {INT32_MIN, "Failed to open USB-port :Unknown Error\n"},
  };
  TCp210xWrapper wrapper;
  for (const auto& c : cases) {
    CapturedOutput output;
    wrapper.ReportStatus(c.status);
    EXPECT_EQ(output.str(), c.line) << c.status;
  }
}

}  // namespace
