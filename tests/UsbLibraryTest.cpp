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
        status = (op == "product" ? CP210x_GetDeviceProductString
                                  : CP210x_GetDeviceSerialNumber)(handle, text, &length, 1);
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

struct Run {
  ProcessResult result;
  std::string out, err;
};

// Runs `argv` inside the emulation with `input`, without LD_LIBRARY_PATH.
Run RunEmulated(const EmulatedUsb& usb, std::vector<std::string> argv, const std::string& input,
                std::vector<std::string> prefix = {}) {
  std::vector<std::string> command = kTimeLimit;
  command.insert(command.end(), prefix.begin(), prefix.end());
  command.insert(command.end(), argv.begin(), argv.end());
  ProcessLaunch launch = usb.UnderEmulation(command);
  launch.unset.push_back("LD_LIBRARY_PATH");
  Run run;
  run.result = RunWithInput(launch, input, &run.out, &run.err);
  return run;
}

std::string Calls(const EmulatedUsb& usb, const std::string& script) {
  static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> debug;
  if (std::getenv("DEBUG_GDB")) debug = {"gdb", "-batch", "-ex", "run", "-ex", "bt", "--args"};
  Run run = RunEmulated(usb, {self, "--calls", script}, "", debug);
  EXPECT_EQ(run.result.exitCode, 0) << "signal " << run.result.signal << "\n" << run.err;
  return run.out;
}

Run Program(const EmulatedUsb& usb, const std::string& input,
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

// --- The program ------------------------------------------------------------

// Survey, rebrand and a second run of `program` against one ZE chip: the
// whole output, the transfers, the EEPROM, and the device as it came back.
void SurveyRebrandAndSurveyAgain(const std::string& program) {
  EmulatedUsb usb;
  int chip = usb.AddChip(ZeChip({2}));
  EXPECT_EQ(usb.Node(chip), "/dev/bus/usb/001/002");
  Run run = Program(usb, "yes\n\n", program);
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
  EXPECT_EQ(run.out, "Korlinth Update V01R01\nFound 1 device(s):\n" +
                         ZeSurvey("1-2", {{"DeviceProductString", std::string("DeviceProductString: ") + kNewProduct},
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
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
