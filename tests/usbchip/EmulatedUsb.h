// Emulated CP210x chips on an emulated Linux USB stack (umockdev): the sysfs
// tree, the /dev/bus/usb nodes, and an ioctl handler that answers the usbfs
// requests as the kernel and the chip would. The real libusb-1.0 runs
// unmodified against it, in any process started with UnderEmulation().
#ifndef KORLINTH_TESTS_EMULATEDUSB_H
#define KORLINTH_TESTS_EMULATEDUSB_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Process.h"

// What goes wrong with one transfer of a chip.
enum class Fault {
  kStall,     // the chip stalls the request (EPIPE)
  kEmpty,     // a string read answers with no bytes
  kNoAnswer,  // the chip never answers; the host times out
  kBusError,  // a CRC or bit-stuffing error on the bus (EPROTO)
  kUnplug,    // the chip is unplugged while the transfer is in flight
};

struct ChipConfig {
  std::vector<uint8_t> ports = {1};  // from the root hub; the bus is the hub's
  uint16_t vid = 0x10C4, pid = 0x8017, release = 0x0100;
  uint8_t part = 1;
  uint8_t lock = 0xFF;  // 0xFF unlocked; anything else locked
  std::u16string product = u"ZE Service Interface";
  std::u16string serial = u"0001";
  std::u16string manufacturer = u"Silicon Labs";
  // Configurations in descriptor order; `active` is the bConfigurationValue
  // in use. Each has one interface of `interfaceClass` with `endpoints`.
  struct Configuration {
    uint8_t value = 1, maxPower = 0x32, interfaceClass = 0xFF;
    std::vector<uint8_t> endpoints = {0x81, 0x01};  // addresses; all bulk
    uint8_t endpointType = 2;                       // 2 bulk, 3 interrupt
    int interfaces = 1;
  };
  std::vector<Configuration> configurations = {Configuration{}};
  uint8_t active = 1;
  // The kernel driver bound to the first interface; "" for none. By default
  // the cp210x driver takes 10C4:EA60, as the kernel's id table says.
  std::string driver = "(by id)";
  std::map<int, Fault> faults;  // by the chip's transfer number, from 1
  std::map<int, int> slowMs;    // transfers answered this late, by number
  bool comesBackAfterReset = true;
  bool unplugAtReset = false;
};

// One chip as the emulation left it.
struct ChipState {
  uint16_t pid = 0;  // in the EEPROM
  std::u16string product, serial;
  int address = 0;               // current USB address; 0 when gone
  int resets = 0;                // port resets asked for
  int transfers = 0;             // control transfers seen
  std::vector<std::string> log;  // every transfer and reset, in order
};

class EmulatedUsb {
 public:
  // A testbed with one root hub per bus given.
  explicit EmulatedUsb(std::vector<uint8_t> buses = {1});
  ~EmulatedUsb();
  EmulatedUsb(const EmulatedUsb&) = delete;
  EmulatedUsb& operator=(const EmulatedUsb&) = delete;

  // Adds an external hub in `ports` of bus 1 (or of `bus`).
  void AddHub(std::vector<uint8_t> ports, uint8_t bus = 1);
  // Adds a chip; gives its number for State().
  int AddChip(const ChipConfig& config, uint8_t bus = 1);
  ChipState State(int chip) const;
  // The device node of a chip, as the host names it.
  std::string Node(int chip) const;
  // The sysfs attribute `name` of a chip as the emulated kernel shows it.
  std::string Attribute(int chip, const std::string& name) const;
  // Makes the chip's node root-owned 0664, as udev leaves a device without a
  // rule, and lets other users reach the emulation's sockets.
  void RestrictNode(int chip);

  // A launch of `argv` inside this emulation (preload library and testbed).
  ProcessLaunch UnderEmulation(std::vector<std::string> argv) const;

  struct Chip;  // the emulated chip and its kernel-side state

 private:
  struct Bed;
  std::unique_ptr<Bed> bed_;
};

// Whether this process runs under umockdev's preload library; a process
// that emulates devices must, so that its uevents reach the programs.
bool UnderPreload();

#endif  // KORLINTH_TESTS_EMULATEDUSB_H
