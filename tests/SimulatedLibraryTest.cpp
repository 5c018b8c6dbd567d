// The simulated library keeps what a run wrote, so a second run sees it.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "Harness.h"

namespace {

TEST(SimulatedLibrary, SecondRunShowsTheNewIdentity) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  TempDir dir;
  const std::string devices = dir.Path("devices.json");
  WriteFile(devices, R"({"devices": [{"label": "COM3", "pid": "8017", "serial": "0003"}]})");
  std::string out;
  ProcessSpec spec = program.Spec(devices, dir.Path("journal"));
  ASSERT_EQ(RunWithInput(spec, "yes\n\n", &out, nullptr).exitCode, 0);
  ASSERT_NE(out.find("PID written."), std::string::npos) << out;
  // Nothing is left beside the file but the journal.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"devices.json", "journal"}));

  ASSERT_EQ(RunWithInput(spec, "\n", &out, nullptr).exitCode, 0);
  const std::string nl = program.lineEnd;
  EXPECT_NE(
      out.find("DeviceProductString: CP2101 USB to UART Bridge Controller" + nl +
               "Reading DeviceSerialNumber." + nl +
               "DeviceSerialNumber: ZEMTA ELECTRONIC USB DEVICE" + nl + "Reading DeviceVid." + nl +
               "DeviceVid: 10C4" + nl + "Reading DevicePid." + nl + "DevicePid: EA60" + nl),
      std::string::npos)
      << out;
  EXPECT_EQ(out.find("ZE device found."), std::string::npos) << out;
}

}  // namespace

namespace {

// Without LD_LIBRARY_PATH the program loads the library installed beside it
// (the real one), never the simulated one.
TEST(SimulatedLibrary, NeverChosenByDefault) {
  ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  if (program.command.size() != 1) GTEST_SKIP() << "needs the native program";
  TempDir dir;
  WriteFile(dir.Path("devices.json"), R"({"devices": [{"label": "SIMULATED"}]})");
  ProcessSpec spec = program.Spec(dir.Path("devices.json"), dir.Path("journal"));
  spec.env["LD_LIBRARY_PATH"] = "";
  std::string out;
  ProcessResult result = RunWithInput(spec, "\n", &out, nullptr);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(out.find("SIMULATED"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir.Path("journal")), "");
}

}  // namespace
