// The simulated library keeps what a run wrote, so a second run sees it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "Harness.h"

namespace {

TEST(SimulatedLibrary, SecondRunShowsTheNewIdentity) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  TempDir dir;
  const std::string devices = dir.Path("devices.json");
  WriteFile(devices, R"({"devices": [{"label": "COM3", "pid": "8017", "serial": "0003"}]})");
  std::string out;
  ProcessLaunch launch = program.Launch(devices, dir.Path("journal"));
  ASSERT_EQ(RunWithInput(launch, "yes\n\n", &out, nullptr).exitCode, 0);
  ASSERT_NE(out.find("PID written."), std::string::npos) << out;
  // Nothing is left beside the file but the journal.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"devices.json", "journal"}));

  ASSERT_EQ(RunWithInput(launch, "\n", &out, nullptr).exitCode, 0);
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
  ProcessLaunch launch = program.Launch(dir.Path("devices.json"), dir.Path("journal"));
  launch.env["LD_LIBRARY_PATH"] = "";
  std::string out;
  ProcessResult result = RunWithInput(launch, "\n", &out, nullptr);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(out.find("SIMULATED"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir.Path("journal")), "");
}

}  // namespace

namespace {

// A run killed at a random moment, saves included, leaves the device file
// whole: the old one or one of the versions the run saved.
TEST(SimulatedLibrary, KilledDuringSaveLeavesWholeFile) {
  const ProgramUnderTest program = ProgramUnderTest::FromEnvironment();
  if (program.command.size() != 1) GTEST_SKIP() << "needs the native program";
  // A ZE device first, then enough others that each save takes a while.
  nlohmann::json devices = {{"devices", nlohmann::json::array()}};
  devices["devices"].push_back({{"label", "COM3"}, {"pid", "8017"}, {"serial", "0001"}});
  for (int i = 0; i < 3000; ++i)
    devices["devices"].push_back({{"label", "COM" + std::to_string(i)}});
  const std::string original = devices.dump();

  std::mt19937 random(20261211);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int runs = 0;
  std::map<std::string, int> seen;
  while (runs < 60 && std::chrono::steady_clock::now() < deadline) {
    TempDir dir;
    WriteFile(dir.Path("devices.json"), original);
    ProcessLaunch launch = program.Launch(dir.Path("devices.json"), "");
    WriteFile(dir.Path("stdin"), "yes\n\n");
    launch.stdinFd = open(dir.Path("stdin").c_str(), O_RDONLY | O_CLOEXEC);
    int pid = Start(launch);
    close(launch.stdinFd);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    kill(pid, SIGKILL);
    Wait(pid);
    ++runs;

    nlohmann::json after;
    ASSERT_NO_THROW(after = nlohmann::json::parse(ReadFile(dir.Path("devices.json"))))
        << "torn file after run " << runs;
    ASSERT_EQ(after["devices"].size(), 3001u);
    const nlohmann::json& ze = after["devices"][0];
    // The writes come in order, each saved whole.
    const std::string state =
        std::string(ze.value("product", "") == "CP2101 USB to UART Bridge Controller" ? "P" : "-") +
        (ze.value("serial", "") == "ZEMTA ELECTRONIC USB DEVICE" ? "S" : "-") +
        (ze.value("pid", "") == "EA60" ? "I" : "-") + (ze.contains("resets") ? "R" : "-");
    EXPECT_TRUE(state == "----" || state == "P---" || state == "PS--" || state == "PSI-" ||
                state == "PSIR")
        << state;
    ++seen[state];
  }
  std::cout << "kills: " << runs << ", file states seen:";
  for (const auto& [state, count] : seen) std::cout << " " << state << "=" << count;
  std::cout << "\n";
}

}  // namespace
