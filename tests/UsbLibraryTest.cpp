// The libusb library on the real libusb-1.0, against emulated CP210x chips
// (umockdev): the exact transfers of each operation, which devices it picks,
// its errors and retries, reset and re-enumeration, and the program's whole
// run on top of it, from the build tree and installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "CP210xUnit.h"
#include "Process.h"
#include "usbchip/EmulatedUsb.h"

#ifndef KORLINTH_PROGRAM
#error "KORLINTH_PROGRAM must name the built program"
#endif
#ifndef KORLINTH_BUILD_DIR
#error "KORLINTH_BUILD_DIR must name the build tree"
#endif

namespace {

// Every child process ends within this time, whatever the emulation does.
const std::vector<std::string> kTimeLimit = {"timeout", "-k", "5", "60"};

// --- Library calls in a child process -----------------------------------
//
// A child runs a script of library calls, one a line ("open 0", "pid h0",
// "setserial h0 ZEMTA ELECTRONIC USB DEVICE"), and writes one line for each:
// the call, its status, and what it gave. Each child starts libusb afresh
// inside the emulation of its test.

std::string Word(std::istringstream& words) {
  std::string word;
  words >> word;
  return word;
}

int RunCalls(const std::string& script) {
  std::vector<HANDLE> handles;
  std::istringstream lines(script);
  std::string line;
  auto handleOf = [&handles](const std::string& name) {
    std::size_t n = std::stoul(name.substr(1));
    return n < handles.size() ? handles[n] : reinterpret_cast<HANDLE>(~uintptr_t{0});
  };
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    const std::string op = Word(words);
    std::string shown;
    CP210x_STATUS status = 0;
    char text[256] = {};
    BYTE length = 0;
    WORD word = 0;
    BYTE byte = 0;
    char value[300] = {};
    if (op == "count") {
      DWORD count = 99;
      status = CP210x_GetNumDevices(&count);
      std::snprintf(value, sizeof value, " %u", count);
    } else if (op == "label") {
      DWORD index = std::stoul(Word(words)), option = std::stoul(Word(words));
      status = CP210x_GetProductString(index, text, option);
      std::snprintf(value, sizeof value, " \"%s\"", text);
    } else if (op == "open") {
      HANDLE handle = nullptr;
      status = CP210x_Open(std::stoul(Word(words)), &handle);
      if (status == CP210x_SUCCESS) {
        handles.push_back(handle);
        std::snprintf(value, sizeof value, " h%zu", handles.size() - 1);
      }
    } else {
      HANDLE handle = handleOf(Word(words));
      std::string rest;
      std::getline(words >> std::ws, rest);
      if (op == "close") {
        status = CP210x_Close(handle);
      } else if (op == "product" || op == "serial") {
        status = (op == "product" ? CP210x_GetDeviceProductString : CP210x_GetDeviceSerialNumber)(
            handle, text, &length, 1);
        if (status == 0) std::snprintf(value, sizeof value, " \"%s\" %u", text, length);
      } else if (op == "vid" || op == "pid" || op == "version") {
        status = (op == "vid"   ? CP210x_GetDeviceVid
                  : op == "pid" ? CP210x_GetDevicePid
                                : CP210x_GetDeviceVersion)(handle, &word);
        if (status == 0) std::snprintf(value, sizeof value, " %04X", word);
      } else if (op == "power" || op == "part") {
        status = (op == "power" ? CP210x_GetMaxPower : CP210x_GetPartNumber)(handle, &byte);
        if (status == 0) std::snprintf(value, sizeof value, " %02X", byte);
      } else if (op == "setproduct" || op == "setserial") {
        std::string copy = rest == "<empty>" ? "" : rest;
        if (copy.rfind("<x", 0) == 0) copy.assign(std::stoul(copy.substr(2)), 'x');
        status = (op == "setproduct" ? CP210x_SetProductString : CP210x_SetSerialNumber)(
            handle, copy.data(), static_cast<BYTE>(copy.size()), 1);
      } else if (op == "setpid") {
        status = CP210x_SetPid(handle, static_cast<WORD>(std::stoul(rest, nullptr, 16)));
      } else if (op == "reset") {
        status = CP210x_Reset(handle);
      } else {
        std::cerr << "unknown call: " << line << "\n";
        return 2;
      }
    }
    std::cout << line << " -> " << status << value << "\n";
  }
  return 0;
}

// --- The tests' side ------------------------------------------------------

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

struct EmulatedRun {
  ProcessResult result;
  std::string out, err;
};

// Runs `argv` inside the emulation with `input`, without LD_LIBRARY_PATH.
EmulatedRun RunEmulated(const EmulatedUsb& usb, std::vector<std::string> argv,
                        const std::string& input, std::vector<std::string> prefix = {}) {
  std::vector<std::string> command = kTimeLimit;
  command.insert(command.end(), prefix.begin(), prefix.end());
  command.insert(command.end(), argv.begin(), argv.end());
  ProcessLaunch launch = usb.UnderEmulation(command);
  launch.unset.push_back("LD_LIBRARY_PATH");
  EmulatedRun run;
  run.result = RunWithInput(launch, input, &run.out, &run.err);
  return run;
}

std::string Calls(const EmulatedUsb& usb, const std::string& script) {
  static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  EmulatedRun run = RunEmulated(usb, {self, "--calls", script}, "");
  EXPECT_EQ(run.result.exitCode, 0) << "signal " << run.result.signal << "\n" << run.err;
  return run.out;
}

EmulatedRun Program(const EmulatedUsb& usb, const std::string& input,
                    const std::string& program = KORLINTH_PROGRAM) {
  return RunEmulated(usb, {program}, input);
}

// The transfers of a chip as its log shows them.
std::string StringRead(int index) {
  char line[32];
  std::snprintf(line, sizeof line, "80 06 03%02X 0409 255", index);
  return line;
}
std::string VendorIn(uint16_t value) {
  char line[32];
  std::snprintf(line, sizeof line, "C0 FF %04X 0000 1", value);
  return line;
}
std::string StringWrite(uint16_t value, const std::string& text) {
  std::string data;
  char pair[3];
  std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(2 + 2 * text.size()));
  data = std::string(pair) + "03";
  for (char c : text) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
    data += std::string(pair) + "00";
  }
  char line[40];
  std::snprintf(line, sizeof line, "40 FF %04X 0000 %zu ", value, 2 + 2 * text.size());
  return line + data;
}
std::string SetPid(uint16_t pid) {
  char line[32];
  std::snprintf(line, sizeof line, "40 FF 3702 %04X 0", pid);
  return line;
}

const char* kNewProduct = "CP2101 USB to UART Bridge Controller";
const char* kNewSerial = "ZEMTA ELECTRONIC USB DEVICE";

// The program's output for one ZE chip, read in full, with `changes` in
// place of lines that start the same way.
std::string ZeSurvey(const std::string& label, std::map<std::string, std::string> changes = {}) {
  std::vector<std::string> lines = {"ProductString: " + label,
                                    "USB-port open.",
                                    "Reading DeviceProductString.",
                                    "DeviceProductString: ZE Service Interface",
                                    "Reading DeviceSerialNumber.",
                                    "DeviceSerialNumber: 0001",
                                    "Reading DeviceVid.",
                                    "DeviceVid: 10C4",
                                    "Reading DevicePid.",
                                    "DevicePid: 8017",
                                    "Reading DeviceVersion.",
                                    "DeviceVersionMajor: 1",
                                    "DeviceVersionMinor: 0",
                                    "Reading MaxPower.",
                                    "MaxPower: 32",
                                    "Reading PartNumber.",
                                    "PartNumber: CP2101"};
  for (std::string& line : lines)
    for (const auto& [start, replacement] : changes)
      if (line.rfind(start, 0) == 0) line = replacement;
  return Joined(lines);
}

const std::string kAsk = "ZE device found.\nUpgrade to Korlinth? (Yes/No)\n";
const std::string kRebrand =
    "Upgrading device.\nProductString written.\nSerialnumber written.\nPID written.\n"
    "Reinitialize device.\n";
const std::string kEnd = "Operation finished. Press Enter to close.\n";

const std::vector<std::string> kSurveyTransfers = {StringRead(2), StringRead(3), VendorIn(0x370B)};
const std::vector<std::string> kRebrandTransfers = {
    VendorIn(0x370A), StringWrite(0x3703, kNewProduct), StringWrite(0x3704, kNewSerial),
    SetPid(0xEA60), "RESET"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ChipConfig ZeChip(std::vector<uint8_t> ports) {
  ChipConfig chip;
  chip.ports = std::move(ports);
  return chip;
}

// --- Each operation ---------------------------------------------------------

TEST(UsbLibrary, TransfersOfEachOperation) {
  EmulatedUsb usb;
  int chip = usb.AddChip(ZeChip({2}));
  EXPECT_EQ(Calls(usb,
                  "count\n"
                  "label 0 2\n"
                  "label 0 0\n"
                  "label 0 1\n"
                  "label 0 3\n"
                  "label 1 2\n"
                  "open 0\n"
                  "product h0\n"
                  "serial h0\n"
                  "vid h0\n"
                  "pid h0\n"
                  "version h0\n"
                  "power h0\n"
                  "part h0\n"
                  "setproduct h0 CP2101 USB to UART Bridge Controller\n"
                  "setserial h0 ZEMTA ELECTRONIC USB DEVICE\n"
                  "setpid h0 EA60\n"
                  "reset h0\n"
                  "pid h0\n"
                  "close h0\n"
                  "close h0\n"),
            "count -> 0 1\n"
            "label 0 2 -> 0 \"1-2\"\n"
            "label 0 0 -> 0 \"0001\"\n"
            "label 0 1 -> 0 \"ZE Service Interface\"\n"
            "label 0 3 -> 2 \"\"\n"
            "label 1 2 -> 255 \"\"\n"
            "open 0 -> 0 h0\n"
            "product h0 -> 0 \"ZE Service Interface\" 20\n"
            "serial h0 -> 0 \"0001\" 4\n"
            "vid h0 -> 0 10C4\n"
            "pid h0 -> 0 8017\n"
            "version h0 -> 0 0100\n"
            "power h0 -> 0 32\n"
            "part h0 -> 0 01\n"
            "setproduct h0 CP2101 USB to UART Bridge Controller -> 0\n"
            "setserial h0 ZEMTA ELECTRONIC USB DEVICE -> 0\n"
            "setpid h0 EA60 -> 0\n"
            "reset h0 -> 0\n"
            "pid h0 -> 255\n"
            "close h0 -> 0\n"
            "close h0 -> 1\n");
  // The count, the labels and the descriptor reads send nothing; the open
  // reads the two strings, the part number is one request, the writes one
  // each after one lock read, and the reset is a port reset.
  EXPECT_EQ(Joined(usb.State(chip).log), Joined(Concat(kSurveyTransfers, kRebrandTransfers)));
}

// What CP210x_Reset reports: success when the device restarted, or came
// back re-enumerated with its new values; DEVICE_NOT_FOUND when it left and
// did not come back.
TEST(UsbLibrary, ResetReportsWhetherTheDeviceCameBack) {
  const struct {
    const char* name;
    bool newPid, comesBack, unplug;
    const char* expected;
  } cases[] = {
      {"unchanged: the same device goes on", false, true, false,
       "reset h0 -> 0\npid h0 -> 0 8017\nclose h0 -> 0\n"},
      {"new product id: re-enumerated", true, true, false,
       "reset h0 -> 0\npid h0 -> 255\nclose h0 -> 0\n"},
      {"does not come back", true, false, false, "reset h0 -> 255\npid h0 -> 255\nclose h0 -> 0\n"},
      {"unplugged during the reset", false, true, true,
       "reset h0 -> 255\npid h0 -> 255\nclose h0 -> 0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedUsb usb;
    ChipConfig config = ZeChip({1});
    config.comesBackAfterReset = c.comesBack;
    config.unplugAtReset = c.unplug;
    int chip = usb.AddChip(config);
    std::string out =
        Calls(usb, std::string("count\nopen 0\n") + (c.newPid ? "setpid h0 EA60\n" : "") +
                       "reset h0\npid h0\nclose h0\n");
    std::string calls = "count -> 0 1\nopen 0 -> 0 h0\n";
    if (c.newPid) calls += "setpid h0 EA60 -> 0\n";
    EXPECT_EQ(out, calls + c.expected);
    EXPECT_EQ(usb.State(chip).resets, 1);
    EXPECT_EQ(usb.Node(chip), c.newPid && c.comesBack    ? "/dev/bus/usb/001/003"
                              : c.comesBack && !c.unplug ? "/dev/bus/usb/001/002"
                                                         : "");
  }
}

TEST(UsbLibrary, RefusesBadArgumentsWithoutSending) {
  EmulatedUsb usb;
  int chip = usb.AddChip(ZeChip({1}));
  EXPECT_EQ(Calls(usb,
                  "count\n"
                  "open 0\n"
                  "setproduct h0 <empty>\n"
                  "setproduct h0 <x127\n"
                  "setserial h0 <empty>\n"
                  "setserial h0 <x64\n"
                  "pid h9\n"
                  "reset h9\n"
                  "close h9\n"
                  "open 1\n"
                  "setproduct h0 <x126\n"
                  "setserial h0 <x63\n"
                  "close h0\n"),
            "count -> 0 1\n"
            "open 0 -> 0 h0\n"
            "setproduct h0 <empty> -> 2\n"
            "setproduct h0 <x127 -> 2\n"
            "setserial h0 <empty> -> 2\n"
            "setserial h0 <x64 -> 2\n"
            "pid h9 -> 1\n"
            "reset h9 -> 1\n"
            "close h9 -> 1\n"
            "open 1 -> 255\n"
            "setproduct h0 <x126 -> 0\n"
            "setserial h0 <x63 -> 0\n"
            "close h0 -> 0\n");
  // Only the longest texts that fit were sent, after the one lock read.
  std::vector<std::string> log = usb.State(chip).log;
  ASSERT_EQ(log.size(), 5u) << Joined(log);
  EXPECT_EQ(log[2], VendorIn(0x370A));
  EXPECT_EQ(log[3], StringWrite(0x3703, std::string(126, 'x')));
  EXPECT_EQ(log[4], StringWrite(0x3704, std::string(63, 'x')));
}

// --- The program ------------------------------------------------------------

// Survey, rebrand and a second run of `program` against one ZE chip: the
// whole output, the transfers, the EEPROM, and the device as it came back.
void SurveyRebrandAndSurveyAgain(const std::string& program) {
  EmulatedUsb usb;
  int chip = usb.AddChip(ZeChip({2}));
  EXPECT_EQ(usb.Node(chip), "/dev/bus/usb/001/002");
  EmulatedRun run = Program(usb, "yes\n\n", program);
  EXPECT_EQ(run.result.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" + ZeSurvey("1-2") + kAsk +
                         kRebrand + kEnd);
  ChipState state = usb.State(chip);
  EXPECT_EQ(Joined(state.log), Joined(Concat(kSurveyTransfers, kRebrandTransfers)));
  EXPECT_EQ(state.pid, 0xEA60);
  EXPECT_TRUE(state.product == u"CP2101 USB to UART Bridge Controller");
  EXPECT_TRUE(state.serial == u"ZEMTA ELECTRONIC USB DEVICE");
  // Re-enumerated: a new address, the new ids, the kernel's serial driver.
  EXPECT_EQ(usb.Node(chip), "/dev/bus/usb/001/003");
  EXPECT_EQ(usb.Attribute(chip, "idProduct"), "ea60");
  EXPECT_EQ(usb.Attribute(chip, "devnum"), "3");
  std::cout << "transfers: survey " << kSurveyTransfers.size() << ", rebrand "
            << kRebrandTransfers.size() - 1 << " and the reset\n";

  run = Program(usb, "\n", program);
  EXPECT_EQ(
      run.out,
      "Korlinth Update V01R01\nFound 1 device(s):\n" +
          ZeSurvey("1-2",
                   {{"DeviceProductString", std::string("DeviceProductString: ") + kNewProduct},
                    {"DeviceSerialNumber", std::string("DeviceSerialNumber: ") + kNewSerial},
                    {"DevicePid", "DevicePid: EA60"}}) +
          kEnd);
  EXPECT_EQ(usb.State(chip).log.size(), kSurveyTransfers.size() + kRebrandTransfers.size() + 3);
}

TEST(UsbProgram, InstalledProgramRebrandsChipAndSeesNewIdentity) {
  TempDir prefix;
  std::string command =
      "cmake --install " KORLINTH_BUILD_DIR " --prefix " + prefix.path() + " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  SurveyRebrandAndSurveyAgain(prefix.Path("bin/korlinth-update"));
}

// The program as the Debian package installed it (KORLINTH_INSTALLED_PROGRAM).
TEST(Package, InstalledProgramRebrandsChipAndSeesNewIdentity) {
  const char* program = std::getenv("KORLINTH_INSTALLED_PROGRAM");
  if (!program) GTEST_SKIP() << "runs from check-deb-package, against the installed package";
  SurveyRebrandAndSurveyAgain(program);
}

TEST(UsbProgram, LockedChipRefusesWritesAndIsStillReset) {
  EmulatedUsb usb;
  ChipConfig config = ZeChip({1});
  config.lock = 0xF0;
  int chip = usb.AddChip(config);
  EmulatedRun run = Program(usb, "yes\n\n");
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" + ZeSurvey("1-1") + kAsk +
                         "Upgrading device.\nUnable to write ProductString.\n"
                         "Unable to write Serialnumber.\nUnable to write PID.\n"
                         "Reinitialize device.\n" +
                         kEnd);
  ChipState state = usb.State(chip);
  EXPECT_EQ(Joined(state.log), Joined(Concat(kSurveyTransfers, {VendorIn(0x370A), "RESET"})));
  EXPECT_EQ(state.pid, 0x8017);
  EXPECT_TRUE(state.serial == u"0001");
  EXPECT_EQ(usb.Node(chip), "/dev/bus/usb/001/002");  // nothing changed: no re-enumeration
}

// The chip is unplugged at each transfer of the run in turn, and at the
// reset: the run goes on to its end, and a rewrite that began is reset.
TEST(UsbProgram, UnplugAtEveryTransferEndsTheRunCleanly) {
  const std::size_t points = kSurveyTransfers.size() + kRebrandTransfers.size();
  for (std::size_t k = 1; k <= points; ++k) {
    SCOPED_TRACE("unplug at transfer " + std::to_string(k));
    EmulatedUsb usb;
    ChipConfig config = ZeChip({1});
    if (k == points)
      config.unplugAtReset = true;
    else
      config.faults[static_cast<int>(k)] = Fault::kUnplug;
    int chip = usb.AddChip(config);
    EmulatedRun run = Program(usb, "yes\n\n");
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.out.find("Error: "), std::string::npos) << run.out;
    const std::size_t end = run.out.size() - std::string(kEnd).size();
    EXPECT_EQ(run.out.substr(end), kEnd);
    const bool rewriting = run.out.find("Upgrading device.") != std::string::npos;
    // What failed shows: a read by its status line, a write by its own line.
    const char* shown = rewriting ? "Unable to write" : "Failed to open USB-port :DEVICE_NOT_FOUND";
    if (k < points) {
      EXPECT_NE(run.out.find(shown), std::string::npos) << run.out;
    }
    // A rewrite that began ends with the reset; the library sends it to a
    // device that is still there, and knows one that is gone.
    EXPECT_EQ(run.out.find("Reinitialize device.") != std::string::npos, rewriting) << run.out;
    EXPECT_EQ(usb.State(chip).resets, k == points ? 1 : 0) << run.out;
    EXPECT_EQ(usb.Node(chip), "");
  }
  std::cout << "unplug points: " << points << "\n";
}

TEST(UsbProgram, NoAccessGivesHintAndDeviceIoFailed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the program as another user";
  EmulatedUsb usb;
  usb.AddChip(ZeChip({1}));
  ChipConfig other = ZeChip({2});
  other.vid = 0x1234;
  other.pid = 0x5678;
  other.driver = "cp210x";
  usb.AddChip(other);
  usb.RestrictNode(0);
  usb.RestrictNode(1);
  const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};
  EmulatedRun probe = RunEmulated(usb, {"test", "-x", KORLINTH_PROGRAM}, "", nobody);
  if (probe.result.exitCode != 0) GTEST_SKIP() << "the build tree is not open to other users";
  EmulatedRun run = RunEmulated(usb, {KORLINTH_PROGRAM}, "\n", nobody);
  EXPECT_EQ(run.out,
            "Korlinth Update V01R01\nFound 2 device(s):\n"
            "ProductString: 1-1\nFailed to open USB-port :DEVICE_IO_FAILED\n"
            "ProductString: 1-2\nFailed to open USB-port :DEVICE_IO_FAILED\n" +
                kEnd);
  EXPECT_EQ(run.err,
            "CP210x: permission denied for /dev/bus/usb/001/002: install the udev rule "
            "70-korlinth-update.rules and replug the device (see README)\n"
            "CP210x: permission denied for /dev/bus/usb/001/003 (1234:5678, which the udev rule "
            "does not cover): add a rule for this id, or run as root (see README)\n");
}

TEST(UsbProgram, ChipsBehindAHubAreListedInPortOrder) {
  EmulatedUsb usb({1, 2});
  usb.AddChip(ZeChip({3}), 2);
  usb.AddHub({1});
  usb.AddChip(ZeChip({1, 4}));
  usb.AddChip(ZeChip({3}));
  usb.AddChip(ZeChip({1, 2}));
  EmulatedRun run = Program(usb, "no\nno\nno\nno\n\n");
  const std::string declined = kAsk + "Operation aborted.\n";
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 4 device(s):\n" + ZeSurvey("1-1.2") + declined +
                         ZeSurvey("1-1.4") + declined + ZeSurvey("1-3") + declined +
                         ZeSurvey("2-3") + declined + kEnd);
}

// Faults of single transfers, and slow answers, as the program shows them.
TEST(UsbProgram, TransferFaultsRetriesAndSlowAnswers) {
  const std::string failed = "Failed to open USB-port :DEVICE_IO_FAILED";
  const struct {
    const char* name;
    std::map<int, Fault> faults;
    std::map<int, int> slowMs;
    std::map<std::string, std::string> changes;  // to the survey's lines
    std::size_t transfers;
  } cases[] = {
      {"product string stalled once: retried", {{1, Fault::kStall}}, {}, {}, 4},
      {"serial number empty twice: retried", {{2, Fault::kEmpty}, {3, Fault::kEmpty}}, {}, {}, 5},
      {"product string stalled three times: failed",
       {{1, Fault::kStall}, {2, Fault::kStall}, {3, Fault::kStall}},
       {},
       {{"DeviceProductString", failed}},
       5},
      {"bus error on the serial number: failed, not retried",
       {{2, Fault::kBusError}},
       {},
       {{"DeviceSerialNumber", failed}},
       3},
      {"no answer to the part number", {{3, Fault::kNoAnswer}}, {}, {{"PartNumber", failed}}, 3},
      {"part number answered after 700 ms", {}, {{3, 700}}, {}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedUsb usb;
    ChipConfig config = ZeChip({1});
    config.faults = c.faults;
    config.slowMs = c.slowMs;
    int chip = usb.AddChip(config);
    EmulatedRun run = Program(usb, "no\n\n");
    const std::string ask =
        c.changes.count("DeviceSerialNumber") ? "" : kAsk + "Operation aborted.\n";
    EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" + ZeSurvey("1-1", c.changes) +
                           ask + kEnd);
    EXPECT_EQ(usb.State(chip).log.size(), c.transfers) << Joined(usb.State(chip).log);
  }
}

// A chip that takes 1.5 s to store a write, well within what the kernel
// itself waits, has its writes reported as made.
TEST(UsbProgram, SlowWriteIsWaitedFor) {
  EmulatedUsb usb;
  ChipConfig config = ZeChip({1});
  config.slowMs[7] = 1500;  // the product id
  int chip = usb.AddChip(config);
  EmulatedRun run = Program(usb, "yes\n\n");
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" + ZeSurvey("1-1") + kAsk +
                         kRebrand + kEnd);
  EXPECT_EQ(usb.State(chip).pid, 0xEA60);
}

// The interface name and the values come from the active configuration,
// which need not be the first or have the value 1.
TEST(UsbProgram, ReadsTheActiveConfiguration) {
  EmulatedUsb usb;
  ChipConfig config = ZeChip({1});
  ChipConfig::Configuration first;  // not a bridge: a CDC interface
  first.interfaceClass = 0x02;
  ChipConfig::Configuration second;
  second.value = 2;
  second.maxPower = 0x19;
  config.configurations = {first, second};
  config.active = 2;
  usb.AddChip(config);
  ChipConfig bound = config;  // another vendor's chip, bound to cp210x
  bound.ports = {2};
  bound.vid = 0x1234;
  bound.driver = "cp210x";
  usb.AddChip(bound);
  EmulatedRun run = Program(usb, "no\n\n");
  EXPECT_EQ(run.out,
            "Korlinth Update V01R01\nFound 2 device(s):\n" +
                ZeSurvey("1-1", {{"MaxPower", "MaxPower: 19"}}) + kAsk + "Operation aborted.\n" +
                ZeSurvey("1-2", {{"MaxPower", "MaxPower: 19"}, {"DeviceVid", "DeviceVid: 1234"}}) +
                kEnd);
}

// Vendor requests go only to devices that look like a CP210x bridge or are
// bound to the kernel's cp210x driver.
TEST(UsbProgram, OnlyBridgesReceiveVendorRequests) {
  EmulatedUsb usb;
  ChipConfig hid = ZeChip({1});  // a Silicon Labs HID device
  hid.configurations[0].interfaceClass = 0x03;
  hid.configurations[0].endpoints = {0x81};
  hid.configurations[0].endpointType = 3;
  ChipConfig interrupt = ZeChip({2});  // vendor class, but an interrupt endpoint
  interrupt.configurations[0].endpointType = 3;
  ChipConfig twoInterfaces = ZeChip({3});
  twoInterfaces.configurations[0].interfaces = 2;
  ChipConfig threeEndpoints = ZeChip({4});
  threeEndpoints.configurations[0].endpoints = {0x81, 0x01, 0x82};
  ChipConfig otherVendor = ZeChip({5});  // looks like a bridge, but not Silicon Labs, no driver
  otherVendor.vid = 0x1234;
  for (const ChipConfig& device : {hid, interrupt, twoInterfaces, threeEndpoints, otherVendor})
    usb.AddChip(device);
  int bridge = usb.AddChip(ZeChip({6}));
  EmulatedRun run = Program(usb, "no\n\n");
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" + ZeSurvey("1-6") + kAsk +
                         "Operation aborted.\n" + kEnd);
  for (int other = 0; other < bridge; ++other)
    EXPECT_EQ(Joined(usb.State(other).log), "") << "device " << other;
  EXPECT_EQ(usb.State(bridge).log.size(), kSurveyTransfers.size());
}

}  // namespace

int main(int argc, char** argv) {
  // This process emulates the devices, so it runs under umockdev's preload
  // library too: otherwise its uevents would not reach the programs.
  if (!UnderPreload()) {
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("cannot run under libumockdev-preload.so.0");
    return 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--calls") == 0) return RunCalls(argv[2]);
  // The emulations' folders go into a folder of this process, removed at its
  // end; folders that killed runs left behind go at the next start.
  namespace fs = std::filesystem;
  const fs::path base = fs::path(KORLINTH_BUILD_DIR) / "usb-tests";
  std::error_code ignored;
  fs::create_directories(base, ignored);
  for (const auto& entry : fs::directory_iterator(base, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("run-", 0) == 0 && kill(std::stoi(name.substr(4)), 0) != 0)
      fs::remove_all(entry.path(), ignored);
  }
  const fs::path mine = base / ("run-" + std::to_string(getpid()));
  fs::create_directories(mine, ignored);
  // Open to the user that the access test runs the program as.
  fs::permissions(base, fs::perms::all, ignored);
  fs::permissions(mine, fs::perms::all, ignored);
  setenv("TMPDIR", mine.c_str(), 1);
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  fs::remove_all(mine, ignored);
  return result;
}
