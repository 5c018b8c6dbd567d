// An emulated USB bus with CP210x chips (and other devices) behind a
// test-only stand-in for the part of libusb-1.0 that the USB library uses.
// Tests set up the bus, run the library unmodified, and read the transfers.
#ifndef KORLINTH_TESTS_EMULATEDBUS_H
#define KORLINTH_TESTS_EMULATEDBUS_H

#include <cstdint>
#include <string>
#include <vector>

struct EmulatedChip {
  uint8_t bus = 1;
  std::vector<uint8_t> ports = {1};
  uint8_t address = 2;
  uint16_t vid = 0x10C4;
  uint16_t pid = 0x8017;  // in the EEPROM; the descriptor shows it after enumeration
  uint16_t release = 0x0100;
  uint8_t maxPower = 0x32;
  uint8_t part = 1;
  uint8_t lock = 0xFF;  // 0xFF unlocked, 0xF0 locked
  uint8_t interfaceClass = 0xFF;
  uint8_t iProduct = 2, iSerialNumber = 3;
  std::u16string product = u"ZE Service Interface";
  std::u16string serial = u"0001";
  bool accessDenied = false;
  // What the host sees: set at enumeration.
  uint16_t enumeratedPid = 0x8017;
  int generation = 0;  // grows with each re-enumeration
  bool plugged = true;
};

struct Transfer {
  std::size_t chip;
  uint8_t requestType, request;
  uint16_t value, index, length;
  std::vector<uint8_t> data;  // host-to-device data
  bool operator==(const Transfer& other) const {
    return chip == other.chip && requestType == other.requestType && request == other.request &&
           value == other.value && index == other.index && length == other.length &&
           data == other.data;
  }
};

struct EmulatedBus {
  std::vector<EmulatedChip> chips;
  std::vector<Transfer> transfers;
  long unplugAtTransfer = 0;   // the n-th transfer (from 1) finds the chip gone
  long timeoutAtTransfer = 0;  // the n-th transfer times out
  int opens = 0, closes = 0, resets = 0;
  int liveDevices = 0;  // libusb_device objects not yet unreferenced

  // The one bus of the test process; Clear() makes it empty again.
  static EmulatedBus& Instance();
  void Clear() { *this = EmulatedBus(); }
  // A chip as it leaves the factory, in the given port.
  static EmulatedChip ZeChip(uint8_t bus, std::vector<uint8_t> ports);
};

#endif  // KORLINTH_TESTS_EMULATEDBUS_H
