// The libusb library, unmodified, against emulated CP210x chips: which
// devices it picks, the exact transfers of each operation, its errors, and
// the program's whole rebranding on top of it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "CP210xUnit.h"
#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"
#include "Process.h"
#include "usbemu/EmulatedBus.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Transfers as the tests write them: to chip 0 unless said.
Transfer StringRead(uint8_t index) {
  return {0, 0x80, 0x06, uint16_t(0x0300 | index), 0x0409, 255, {}};
}
Transfer VendorIn(uint16_t value) { return {0, 0xC0, 0xFF, value, 0, 1, {}}; }
Transfer VendorOut(uint16_t value, uint16_t index, Bytes data) {
  return {0, 0x40, 0xFF, value, index, uint16_t(data.size()), data};
}

Bytes StringDescriptor(const std::string& text) {
  Bytes bytes{uint8_t(2 + 2 * text.size()), 3};
  for (char c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::string Describe(const std::vector<Transfer>& transfers) {
  std::ostringstream out;
  for (const Transfer& t : transfers) {
    char line[96];
    std::snprintf(line, sizeof line, "chip %zu: %02X %02X %04X %04X len %u data", t.chip,
                  t.requestType, t.request, t.value, t.index, t.length);
    out << line;
    for (uint8_t b : t.data) out << ' ' << std::hex << int(b) << std::dec;
    out << '\n';
  }
  return out.str();
}

class UsbLibrary : public testing::Test {
 protected:
  void SetUp() override {
    bus().Clear();
    setenv("CP210X_USB_SYSFS", sysfs_.path().c_str(), 1);
  }
  EmulatedBus& bus() { return EmulatedBus::Instance(); }

  // Binds the first interface of the device in `port` to a kernel driver.
  void BindDriver(const std::string& port, const std::string& driver) {
    std::filesystem::create_directories(sysfs_.Path("bus/usb/devices/" + port + ":1.0"));
    std::filesystem::create_directories(sysfs_.Path("bus/usb/drivers/" + driver));
    std::filesystem::create_directory_symlink(
        sysfs_.Path("bus/usb/drivers/" + driver),
        sysfs_.Path("bus/usb/devices/" + port + ":1.0/driver"));
  }

  std::string Label(DWORD index) {
    char buffer[256] = {};
    EXPECT_EQ(CP210x_GetProductString(index, buffer, 2), CP210x_SUCCESS);
    return buffer;
  }

  HANDLE OpenFirst() {
    DWORD count = 0;
    EXPECT_EQ(CP210x_GetNumDevices(&count), CP210x_SUCCESS);
    HANDLE handle = nullptr;
    EXPECT_EQ(CP210x_Open(0, &handle), CP210x_SUCCESS);
    return handle;
  }

  TempDir sysfs_;
};

TEST_F(UsbLibrary, PicksCp210xDevicesInBusAndPortOrder) {
  EmulatedChip mouse = EmulatedBus::ZeChip(1, {2});
  mouse.vid = 0x046D;
  mouse.interfaceClass = 3;
  EmulatedChip otherVendorBound = EmulatedBus::ZeChip(1, {4});
  otherVendorBound.vid = 0x1234;
  otherVendorBound.interfaceClass = 2;
  EmulatedChip silabsNotVendorClass = EmulatedBus::ZeChip(1, {5});
  silabsNotVendorClass.interfaceClass = 2;
  bus().chips = {mouse,
                 EmulatedBus::ZeChip(2, {1}),
                 EmulatedBus::ZeChip(1, {3, 1}),
                 otherVendorBound,
                 EmulatedBus::ZeChip(1, {3}),
                 silabsNotVendorClass};
  BindDriver("1-4", "cp210x");
  BindDriver("1-2", "usbhid");

  DWORD count = 0;
  ASSERT_EQ(CP210x_GetNumDevices(&count), CP210x_SUCCESS);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(Label(0), "1-3");
  EXPECT_EQ(Label(1), "1-3.1");
  EXPECT_EQ(Label(2), "1-4");
  EXPECT_EQ(Label(3), "2-1");
  char buffer[256];
  EXPECT_EQ(CP210x_GetProductString(4, buffer, 2), CP210x_DEVICE_NOT_FOUND);
  EXPECT_EQ(CP210x_GetProductString(0, buffer, 1), CP210x_INVALID_PARAMETER);
  EXPECT_TRUE(bus().transfers.empty()) << Describe(bus().transfers);
  EXPECT_EQ(bus().opens, 0);
}

TEST_F(UsbLibrary, SurveyReadsDescriptorsOnceAndPartNumberByVendorRequest) {
  EmulatedChip chip = EmulatedBus::ZeChip(1, {1});
  chip.product = u"Z\u00e9 \u03a9";  // above 0xFF becomes "?"
  chip.release = 0x0203;
  chip.maxPower = 0x19;
  chip.part = 2;
  bus().chips = {chip};
  HANDLE handle = OpenFirst();

  char text[256];
  BYTE length = 0;
  ASSERT_EQ(CP210x_GetDeviceProductString(handle, text, &length, 1), CP210x_SUCCESS);
  EXPECT_EQ(std::string(text), "Z\xe9 ?");
  EXPECT_EQ(length, 4);
  ASSERT_EQ(CP210x_GetDeviceSerialNumber(handle, text, &length, 1), CP210x_SUCCESS);
  EXPECT_EQ(std::string(text), "0001");
  WORD word = 0;
  ASSERT_EQ(CP210x_GetDeviceVid(handle, &word), CP210x_SUCCESS);
  EXPECT_EQ(word, 0x10C4);
  ASSERT_EQ(CP210x_GetDevicePid(handle, &word), CP210x_SUCCESS);
  EXPECT_EQ(word, 0x8017);
  ASSERT_EQ(CP210x_GetDeviceVersion(handle, &word), CP210x_SUCCESS);
  EXPECT_EQ(word, 0x0203);
  BYTE byte = 0;
  ASSERT_EQ(CP210x_GetMaxPower(handle, &byte), CP210x_SUCCESS);
  EXPECT_EQ(byte, 0x19);
  ASSERT_EQ(CP210x_GetPartNumber(handle, &byte), CP210x_SUCCESS);
  EXPECT_EQ(byte, 2);
  EXPECT_EQ(CP210x_Close(handle), CP210x_SUCCESS);

  EXPECT_EQ(bus().transfers,
            (std::vector<Transfer>{StringRead(2), StringRead(3), VendorIn(0x370B)}))
      << Describe(bus().transfers);
  EXPECT_EQ(bus().opens, 1);
  EXPECT_EQ(bus().closes, 1);
}

TEST_F(UsbLibrary, StringIndexZeroReadsAsEmptyText) {
  EmulatedChip chip = EmulatedBus::ZeChip(1, {1});
  chip.iSerialNumber = 0;
  bus().chips = {chip};
  HANDLE handle = OpenFirst();
  char text[256] = "old";
  BYTE length = 9;
  EXPECT_EQ(CP210x_GetDeviceSerialNumber(handle, text, &length, 1), CP210x_SUCCESS);
  EXPECT_EQ(std::string(text), "");
  EXPECT_EQ(length, 0);
  CP210x_Close(handle);
  EXPECT_EQ(bus().transfers, std::vector<Transfer>{StringRead(2)}) << Describe(bus().transfers);
}

TEST_F(UsbLibrary, WritesSendOneTransferEachAfterOneLockRead) {
  bus().chips = {EmulatedBus::ZeChip(1, {1})};
  HANDLE handle = OpenFirst();
  bus().transfers.clear();
  char product[] = "CP2101 USB to UART Bridge Controller";
  char serial[] = "ZEMTA ELECTRONIC USB DEVICE";
  EXPECT_EQ(CP210x_SetProductString(handle, product, 36, 1), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_SetSerialNumber(handle, serial, 27, 1), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_SetPid(handle, 0xEA60), CP210x_SUCCESS);
  EXPECT_EQ(bus().transfers,
            (std::vector<Transfer>{
                VendorIn(0x370A), VendorOut(0x3703, 0, StringDescriptor(product)),
                VendorOut(0x3704, 0, StringDescriptor(serial)), VendorOut(0x3702, 0xEA60, {})}))
      << Describe(bus().transfers);
  EXPECT_EQ(CP210x_Close(handle), CP210x_SUCCESS);
}

TEST_F(UsbLibrary, RefusesBadTextsAndLockedChipsWithoutSending) {
  EmulatedChip locked = EmulatedBus::ZeChip(1, {2});
  locked.lock = 0xF0;
  bus().chips = {EmulatedBus::ZeChip(1, {1}), locked};
  DWORD count = 0;
  ASSERT_EQ(CP210x_GetNumDevices(&count), CP210x_SUCCESS);
  HANDLE open = nullptr, closedLock = nullptr;
  ASSERT_EQ(CP210x_Open(0, &open), CP210x_SUCCESS);
  ASSERT_EQ(CP210x_Open(1, &closedLock), CP210x_SUCCESS);
  bus().transfers.clear();
  char text[256];
  std::memset(text, 'x', sizeof text);
  const struct {
    CP210x_STATUS (*write)(HANDLE, void*, BYTE, BOOL);
    BYTE length;
  } refused[] = {{CP210x_SetProductString, 0},
                 {CP210x_SetProductString, 127},
                 {CP210x_SetSerialNumber, 0},
                 {CP210x_SetSerialNumber, 64}};
  for (const auto& c : refused)
    EXPECT_EQ(c.write(open, text, c.length, 1), CP210x_INVALID_PARAMETER) << int(c.length);
  EXPECT_TRUE(bus().transfers.empty()) << Describe(bus().transfers);
  EXPECT_EQ(CP210x_SetProductString(open, text, 126, 1), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_SetSerialNumber(open, text, 63, 1), CP210x_SUCCESS);

  bus().transfers.clear();
  EXPECT_EQ(CP210x_SetSerialNumber(closedLock, text, 4, 1), CP210x_INVALID_ACCESS_TYPE);
  EXPECT_EQ(CP210x_SetPid(closedLock, 0xEA60), CP210x_INVALID_ACCESS_TYPE);
  Transfer lockRead = VendorIn(0x370A);
  lockRead.chip = 1;
  EXPECT_EQ(bus().transfers, std::vector<Transfer>{lockRead}) << Describe(bus().transfers);
  EXPECT_EQ(bus().chips[1].pid, 0x8017);
  CP210x_Close(open);
  CP210x_Close(closedLock);
}

TEST_F(UsbLibrary, ResetAfterNewPidLeavesAHandleThatStillCloses) {
  bus().chips = {EmulatedBus::ZeChip(1, {1})};
  HANDLE handle = OpenFirst();
  ASSERT_EQ(CP210x_SetPid(handle, 0xEA60), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_Reset(handle), CP210x_SUCCESS);
  WORD pid = 0;
  EXPECT_EQ(CP210x_GetDevicePid(handle, &pid), CP210x_DEVICE_NOT_FOUND);
  EXPECT_EQ(CP210x_Close(handle), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_Close(handle), CP210x_INVALID_HANDLE);

  // A new count sees the device as it came back.
  handle = OpenFirst();
  EXPECT_EQ(CP210x_GetDevicePid(handle, &pid), CP210x_SUCCESS);
  EXPECT_EQ(pid, 0xEA60);
  EXPECT_EQ(CP210x_Reset(handle), CP210x_SUCCESS);  // nothing changed: the same device
  EXPECT_EQ(CP210x_GetDevicePid(handle, &pid), CP210x_SUCCESS);
  EXPECT_EQ(CP210x_Close(handle), CP210x_SUCCESS);
  EXPECT_EQ(bus().opens, bus().closes);
}

TEST_F(UsbLibrary, TranslatesUsbErrors) {
  EmulatedChip denied = EmulatedBus::ZeChip(1, {2});
  denied.accessDenied = true;
  denied.address = 7;
  bus().chips = {EmulatedBus::ZeChip(1, {1}), denied, EmulatedBus::ZeChip(1, {3})};
  DWORD count = 0;
  ASSERT_EQ(CP210x_GetNumDevices(&count), CP210x_SUCCESS);
  HANDLE handle = nullptr;

  testing::internal::CaptureStderr();
  EXPECT_EQ(CP210x_Open(1, &handle), CP210x_DEVICE_IO_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "CP210x: permission denied for /dev/bus/usb/001/007: install the udev rule "
            "99-korlinth-cp210x.rules and replug the device (see README)\n");

  bus().chips[2].plugged = false;
  EXPECT_EQ(CP210x_Open(2, &handle), CP210x_DEVICE_NOT_FOUND);
  EXPECT_EQ(CP210x_Open(3, &handle), CP210x_DEVICE_NOT_FOUND);

  bus().timeoutAtTransfer = 3;  // the part number read
  ASSERT_EQ(CP210x_Open(0, &handle), CP210x_SUCCESS);
  BYTE part = 0;
  EXPECT_EQ(CP210x_GetPartNumber(handle, &part), CP210x_DEVICE_IO_FAILED);
  bus().chips[0].plugged = false;
  EXPECT_EQ(CP210x_GetPartNumber(handle, &part), CP210x_DEVICE_NOT_FOUND);
  EXPECT_EQ(CP210x_Close(handle), CP210x_SUCCESS);

  const HANDLE notOpen = reinterpret_cast<HANDLE>(~uintptr_t{0});
  WORD word = 0;
  EXPECT_EQ(CP210x_GetDeviceVid(notOpen, &word), CP210x_INVALID_HANDLE);
  EXPECT_EQ(CP210x_Close(notOpen), CP210x_INVALID_HANDLE);
  EXPECT_EQ(CP210x_Reset(nullptr), CP210x_INVALID_HANDLE);
  EXPECT_EQ(CP210x_GetNumDevices(nullptr), CP210x_INVALID_PARAMETER);
}

// The program's pass, in this process, with `input` as the operator's answers.
std::string RunPass(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  std::streambuf* savedIn = std::cin.rdbuf(in.rdbuf());
  std::streambuf* savedOut = std::cout.rdbuf(out.rdbuf());
  try {
    TCp210xWrapper().ProcessDevices();
  } catch (const TError& error) {
    out << "Error: " << error.what() << "\n";
  }
  std::cin.rdbuf(savedIn);
  std::cout.rdbuf(savedOut);
  return out.str();
}

TEST_F(UsbLibrary, ProgramRebrandsEmulatedChip) {
  bus().chips = {EmulatedBus::ZeChip(3, {2})};
  EXPECT_EQ(RunPass("yes\n"),
            "Found 1 device(s):\n"
            "ProductString: 3-2\n"
            "USB-port open.\n"
            "Reading DeviceProductString.\n"
            "DeviceProductString: ZE Service Interface\n"
            "Reading DeviceSerialNumber.\n"
            "DeviceSerialNumber: 0001\n"
            "Reading DeviceVid.\n"
            "DeviceVid: 10C4\n"
            "Reading DevicePid.\n"
            "DevicePid: 8017\n"
            "Reading DeviceVersion.\n"
            "DeviceVersionMajor: 1\n"
            "DeviceVersionMinor: 0\n"
            "Reading MaxPower.\n"
            "MaxPower: 32\n"
            "Reading PartNumber.\n"
            "PartNumber: CP2101\n"
            "ZE device found.\n"
            "Upgrade to Korlinth? (Yes/No)\n"
            "Upgrading device.\n"
            "ProductString written.\n"
            "Serialnumber written.\n"
            "PID written.\n"
            "Reinitialize device.\n");
  const EmulatedChip& chip = bus().chips[0];
  EXPECT_TRUE(chip.product == u"CP2101 USB to UART Bridge Controller");
  EXPECT_TRUE(chip.serial == u"ZEMTA ELECTRONIC USB DEVICE");
  EXPECT_EQ(chip.pid, 0xEA60);
  EXPECT_EQ(chip.enumeratedPid, 0xEA60);
  EXPECT_EQ(bus().resets, 1);
  EXPECT_EQ(bus().opens, 1);
  EXPECT_EQ(bus().closes, 1);
  // Survey: two string descriptors and the part number; rebrand: the lock
  // byte, one transfer per write (the reset is a port reset, not a transfer).
  EXPECT_EQ(bus().transfers.size(), 3u + 4u) << Describe(bus().transfers);
}

TEST_F(UsbLibrary, UnplugAtAnyTransferOfARebrandLeavesNothingOpen) {
  bus().chips = {EmulatedBus::ZeChip(1, {1})};
  RunPass("yes\n");
  const long transfers = static_cast<long>(bus().transfers.size());
  for (long k = 1; k <= transfers + 1; ++k) {
    bus().Clear();
    bus().chips = {EmulatedBus::ZeChip(1, {1})};
    bus().unplugAtTransfer = k;
    std::string out = RunPass("yes\n");
    EXPECT_EQ(bus().opens, 1) << "unplug at " << k;
    EXPECT_EQ(bus().closes, 1) << "unplug at " << k;
    EXPECT_EQ(out.find("Error: "), std::string::npos) << out;
    // A rebranding that began is reset, whatever the transfers gave.
    const bool rebranding = out.find("Upgrading device.") != std::string::npos;
    EXPECT_EQ(bus().resets, rebranding ? 1 : 0) << "unplug at " << k << "\n" << out;
  }
  std::cout << "unplug points tried: " << transfers + 1 << "\n";
}

}  // namespace
