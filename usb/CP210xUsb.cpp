// CP210x manufacturing library on libusb-1.0, for real devices on Linux.
//
// Every request is a control transfer on endpoint 0 to the device (no
// interface is claimed and no kernel driver detached). Identity reads come
// from the descriptors, read once when a device is opened; the chip's own
// items (part number, lock byte) and the writes are vendor requests.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CP210xUnit.h"

namespace {

// Reads ask the chip for what it holds; libusb gives its own string reads
// 1000 ms. A write waits for the chip to store its EEPROM: the kernel's own
// control timeout (5000 ms), so that a slow chip is not reported as failing
// a write it made.
constexpr unsigned kReadTimeoutMs = 1000;
constexpr unsigned kWriteTimeoutMs = 5000;
// The kernel tries a string read 3 times when the device stalls it or gives
// an empty answer.
constexpr int kStringReadTries = 3;
// How long a reset device may take to come back at its port, re-enumerated.
constexpr auto kComeBackTime = std::chrono::milliseconds(3000);
constexpr auto kComeBackPoll = std::chrono::milliseconds(20);
constexpr uint8_t kVendorRequest = 0xFF;
constexpr uint8_t kVendorIn = 0xC0;   // device-to-host, vendor, device
constexpr uint8_t kVendorOut = 0x40;  // host-to-device, vendor, device
constexpr uint16_t kSetPid = 0x3702;
constexpr uint16_t kSetProductString = 0x3703;
constexpr uint16_t kSetSerialNumber = 0x3704;
constexpr uint16_t kGetLock = 0x370A;
constexpr uint16_t kGetPartNumber = 0x370B;
constexpr uint8_t kUnlocked = 0xFF;
constexpr uint16_t kLanguage = 0x0409;  // English (United States)
constexpr std::size_t kMaxProductString = 126;
constexpr std::size_t kMaxSerialNumber = 63;
constexpr uint16_t kSiliconLabsVid = 0x10C4;
// The ids that the udev rule installed with this library gives access to.
constexpr uint16_t kRulePids[] = {0x8017, 0xEA60};

// A string descriptor as it was read at open: its UTF-16LE characters, or
// the status of the failed read.
struct StringRead {
  CP210x_STATUS status = CP210x_SUCCESS;
  std::u16string text;
};

struct OpenDevice {
  libusb_device_handle* usb = nullptr;
  libusb_device_descriptor device{};
  uint8_t maxPower = 0;
  StringRead product, serial;
  int lock = -1;      // the lock byte, once read
  bool gone = false;  // re-enumerated after a reset: only Close remains
  std::string node;
  std::string port;  // bus-port path, as sysfs names it
  uint8_t address = 0;
};

struct Context {
  libusb_context* usb = nullptr;
  std::vector<libusb_device*> snapshot;  // referenced; in bus and port order
  std::set<OpenDevice*> open;

  // At process end: handles the caller left open are closed, and libusb is
  // left as found.
  ~Context() {
    for (OpenDevice* device : open) {
      libusb_close(device->usb);
      delete device;
    }
    for (libusb_device* device : snapshot) libusb_unref_device(device);
    if (usb) libusb_exit(usb);
  }
};

// The library's state: one libusb context, the device snapshot, the handles.
Context& State() {
  static Context context;
  return context;
}

CP210x_STATUS StatusOf(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return CP210x_SUCCESS;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return CP210x_DEVICE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM:
      return CP210x_INVALID_PARAMETER;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return CP210x_FUNCTION_NOT_SUPPORTED;
    default:
      return CP210x_DEVICE_IO_FAILED;  // timeouts, stalls, I/O and access errors
  }
}

std::string PortPath(libusb_device* device) {
  uint8_t ports[8];
  int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < depth; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
  return path;
}

std::string NodeOf(libusb_device* device) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                libusb_get_device_address(device));
  return node;
}

// The device's folder in sysfs, where the kernel shows what it read at
// enumeration.
std::string SysfsPath(const std::string& port) { return "/sys/bus/usb/devices/" + port; }

// One sysfs attribute of the device at `port`, without its line end.
std::optional<std::string> SysfsAttribute(const std::string& port, const std::string& name) {
  std::ifstream in(SysfsPath(port) + "/" + name, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The kernel driver bound to the first interface of the active
// configuration: <device>:<configuration value>.0 in sysfs.
std::string DriverOf(const std::string& port, uint8_t configurationValue) {
  std::string link =
      SysfsPath(port) + "/" + port + ":" + std::to_string(configurationValue) + ".0/driver";
  char target[256];
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  std::string path(target, static_cast<std::size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

// What a CP210x bridge looks like in its descriptors: one interface, of the
// vendor-specific class, with one bulk IN and one bulk OUT endpoint.
bool LooksLikeBridge(const libusb_config_descriptor& config) {
  if (config.bNumInterfaces != 1 || config.interface[0].num_altsetting < 1) return false;
  const libusb_interface_descriptor& interface = config.interface[0].altsetting[0];
  if (interface.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC || interface.bNumEndpoints != 2)
    return false;
  int in = 0, out = 0;
  for (int i = 0; i < interface.bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& endpoint = interface.endpoint[i];
    if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
      return false;
    ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) ? in : out) += 1;
  }
  return in == 1 && out == 1;
}

// A CP210x: its first interface is bound to the kernel's cp210x driver
// (whatever the vendor id), or it is a Silicon Labs device that looks like a
// bridge. Nothing is sent to the device to decide.
bool IsCp210x(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
  bool bridge = DriverOf(PortPath(device), config->bConfigurationValue) == "cp210x";
  libusb_device_descriptor descriptor{};
  if (!bridge && libusb_get_device_descriptor(device, &descriptor) == 0)
    bridge = descriptor.idVendor == kSiliconLabsVid && LooksLikeBridge(*config);
  libusb_free_config_descriptor(config);
  return bridge;
}

bool CoveredByRule(const libusb_device_descriptor& descriptor) {
  return descriptor.idVendor == kSiliconLabsVid &&
         std::find(std::begin(kRulePids), std::end(kRulePids), descriptor.idProduct) !=
             std::end(kRulePids);
}

// Turns the kernel's UTF-8 text into 8-bit characters; a character above
// 0xFF becomes "?".
std::string EightBit(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    unsigned long code = extra ? lead & (0x3F >> extra) : lead;
    std::size_t next = i + 1;
    for (int k = 0; k < extra && next < utf8.size(); ++k, ++next)
      code = code << 6 | (static_cast<unsigned char>(utf8[next]) & 0x3F);
    out += code > 0xFF ? '?' : static_cast<char>(code);
    i = next;
  }
  return out;
}

bool InPortOrder(libusb_device* a, libusb_device* b) {
  uint8_t portsA[8], portsB[8];
  int depthA = libusb_get_port_numbers(a, portsA, sizeof portsA);
  int depthB = libusb_get_port_numbers(b, portsB, sizeof portsB);
  if (libusb_get_bus_number(a) != libusb_get_bus_number(b))
    return libusb_get_bus_number(a) < libusb_get_bus_number(b);
  return std::lexicographical_compare(portsA, portsA + std::max(depthA, 0), portsB,
                                      portsB + std::max(depthB, 0));
}

libusb_device* DeviceAt(DWORD index) {
  Context& state = State();
  return index < state.snapshot.size() ? state.snapshot[index] : nullptr;
}

OpenDevice* Lookup(HANDLE handle) {
  OpenDevice* device = static_cast<OpenDevice*>(handle);
  return State().open.count(device) ? device : nullptr;
}

// One control transfer. A device found unplugged stays gone for the handle:
// later calls report it at once, without a transfer.
int Control(OpenDevice& device, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
            unsigned char* data, uint16_t length, unsigned timeoutMs) {
  int result =
      libusb_control_transfer(device.usb, type, request, value, index, data, length, timeoutMs);
  if (result == LIBUSB_ERROR_NO_DEVICE) device.gone = true;
  return result;
}

int ControlIn(OpenDevice& device, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
              unsigned char* data, uint16_t length) {
  return Control(device, type, request, value, index, data, length, kReadTimeoutMs);
}

StringRead ReadString(OpenDevice& device, uint8_t index) {
  StringRead read;
  if (index == 0) return read;  // no such string: an empty text
  unsigned char data[255];
  int length = 0;
  for (int tries = 0; tries < kStringReadTries; ++tries) {
    length = ControlIn(device, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), kLanguage, data,
                       sizeof data);
    if (length != LIBUSB_ERROR_PIPE && length != 0) break;
  }
  if (length < 0) {
    read.status = StatusOf(length);
  } else if (length < 2 || data[1] != LIBUSB_DT_STRING) {
    read.status = CP210x_DEVICE_IO_FAILED;
  } else {
    int end = std::min<int>(length, data[0]);
    for (int i = 2; i + 1 < end; i += 2)
      read.text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  return read;
}

// Fills the caller's 256-byte buffer with a string read at open.
CP210x_STATUS CopyString(const OpenDevice* device, const StringRead& read, void* buffer,
                         BYTE* length, BOOL convertToAscii) {
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  if (!buffer || !length) return CP210x_INVALID_PARAMETER;
  if (read.status != CP210x_SUCCESS) return read.status;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  if (convertToAscii) {
    std::size_t n = std::min<std::size_t>(read.text.size(), CP210x_MAX_TEXT - 1);
    for (std::size_t i = 0; i < n; ++i)
      out[i] = read.text[i] > 0xFF ? '?' : static_cast<unsigned char>(read.text[i]);
    out[n] = 0;
    *length = static_cast<BYTE>(n);
  } else {
    std::size_t n = std::min<std::size_t>(read.text.size(), CP210x_MAX_TEXT / 2);
    for (std::size_t i = 0; i < n; ++i) {
      out[2 * i] = static_cast<unsigned char>(read.text[i] & 0xFF);
      out[2 * i + 1] = static_cast<unsigned char>(read.text[i] >> 8);
    }
    *length = static_cast<BYTE>(std::min<std::size_t>(2 * n, 255));
  }
  return CP210x_SUCCESS;
}

// Gives a value read at open through an out-parameter.
template <typename Value, typename Read>
CP210x_STATUS FromDescriptor(HANDLE handle, Value* out, Read read) {
  const OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  if (!out) return CP210x_INVALID_PARAMETER;
  *out = read(*device);
  return CP210x_SUCCESS;
}

// Refuses writes to a chip whose configuration is locked: the lock byte is
// read once per handle, before the first write.
CP210x_STATUS CheckUnlocked(OpenDevice* device) {
  if (device->lock < 0) {
    unsigned char lock = 0;
    int result = ControlIn(*device, kVendorIn, kVendorRequest, kGetLock, 0, &lock, 1);
    if (result < 0) return StatusOf(result);
    if (result != 1) return CP210x_DEVICE_IO_FAILED;
    device->lock = lock;
  }
  return device->lock == kUnlocked ? CP210x_SUCCESS : CP210x_INVALID_ACCESS_TYPE;
}

CP210x_STATUS VendorWrite(OpenDevice* device, uint16_t value, uint16_t index,
                          std::vector<unsigned char> data) {
  CP210x_STATUS status = CheckUnlocked(device);
  if (status != CP210x_SUCCESS) return status;
  int result = Control(*device, kVendorOut, kVendorRequest, value, index,
                       data.empty() ? nullptr : data.data(), static_cast<uint16_t>(data.size()),
                       kWriteTimeoutMs);
  if (result < 0) return StatusOf(result);
  return static_cast<std::size_t>(result) == data.size() ? CP210x_SUCCESS : CP210x_DEVICE_IO_FAILED;
}

// Stores a text as a USB string descriptor (length, type 3, UTF-16LE).
CP210x_STATUS WriteString(HANDLE handle, uint16_t item, std::size_t maxLength, const void* text,
                          BYTE length, BOOL convertToUnicode) {
  OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  if (!text || length == 0 || length > maxLength) return CP210x_INVALID_PARAMETER;
  const unsigned char* bytes = static_cast<const unsigned char*>(text);
  std::vector<unsigned char> descriptor{static_cast<unsigned char>(2 + 2 * length),
                                        LIBUSB_DT_STRING};
  for (std::size_t i = 0; i < length; ++i) {
    if (convertToUnicode) {
      descriptor.push_back(bytes[i]);
      descriptor.push_back(0);
    } else {
      descriptor.push_back(bytes[2 * i]);
      descriptor.push_back(bytes[2 * i + 1]);
    }
  }
  return VendorWrite(device, item, 0, descriptor);
}

}  // namespace

extern "C" {

CP210x_STATUS CP210X_API CP210x_GetNumDevices(DWORD* numDevices) {
  if (!numDevices) return CP210x_INVALID_PARAMETER;
  Context& state = State();
  if (!state.usb) {
    int result = libusb_init(&state.usb);
    if (result != 0) {
      state.usb = nullptr;
      return StatusOf(result);
    }
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(state.usb, &list);
  if (count < 0) return StatusOf(static_cast<int>(count));
  for (libusb_device* device : state.snapshot) libusb_unref_device(device);
  state.snapshot.clear();
  for (ssize_t i = 0; i < count; ++i)
    if (IsCp210x(list[i])) state.snapshot.push_back(libusb_ref_device(list[i]));
  libusb_free_device_list(list, 1);
  std::sort(state.snapshot.begin(), state.snapshot.end(), InPortOrder);
  *numDevices = static_cast<DWORD>(state.snapshot.size());
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_GetProductString(DWORD deviceIndex, void* buffer256,
                                                 DWORD options) {
  libusb_device* device = DeviceAt(deviceIndex);
  if (!device) return CP210x_DEVICE_NOT_FOUND;
  if (!buffer256) return CP210x_INVALID_PARAMETER;
  // The path is the device's bus and port path, as sysfs names it: it stays
  // the same while the device stays in the same port. The serial number and
  // description are what the kernel read at enumeration.
  const std::string port = PortPath(device);
  std::string text;
  if (options == CP210x_RETURN_FULL_PATH) {
    text = port;
  } else if (options == CP210x_RETURN_SERIAL_NUMBER || options == CP210x_RETURN_DESCRIPTION) {
    std::optional<std::string> address = SysfsAttribute(port, "devnum");
    if (!address || *address != std::to_string(libusb_get_device_address(device)))
      return CP210x_DEVICE_NOT_FOUND;  // gone, or another device in its port now
    text =
        EightBit(SysfsAttribute(port, options == CP210x_RETURN_SERIAL_NUMBER ? "serial" : "product")
                     .value_or(""));
  } else {
    return CP210x_INVALID_PARAMETER;
  }
  text.resize(std::min<std::size_t>(text.size(), CP210x_MAX_TEXT - 1));
  std::memcpy(buffer256, text.c_str(), text.size() + 1);
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_Open(DWORD deviceIndex, HANDLE* handle) {
  if (!handle) return CP210x_INVALID_PARAMETER;
  libusb_device* usbDevice = DeviceAt(deviceIndex);
  if (!usbDevice) return CP210x_DEVICE_NOT_FOUND;
  auto device = std::make_unique<OpenDevice>();
  device->node = NodeOf(usbDevice);
  device->port = PortPath(usbDevice);
  device->address = libusb_get_device_address(usbDevice);
  if (libusb_get_device_descriptor(usbDevice, &device->device) != 0) return CP210x_DEVICE_IO_FAILED;
  int result = libusb_open(usbDevice, &device->usb);
  if (result == LIBUSB_ERROR_ACCESS && CoveredByRule(device->device))
    std::fprintf(stderr,
                 "CP210x: permission denied for %s: install the udev rule "
                 "70-korlinth-update.rules and replug the device (see README)\n",
                 device->node.c_str());
  else if (result == LIBUSB_ERROR_ACCESS)
    std::fprintf(stderr,
                 "CP210x: permission denied for %s (%04X:%04X, which the udev rule does not "
                 "cover): add a rule for this id, or run as root (see README)\n",
                 device->node.c_str(), device->device.idVendor, device->device.idProduct);
  if (result != 0) return StatusOf(result);
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(usbDevice, &config) != 0) {
    libusb_close(device->usb);
    return CP210x_DEVICE_IO_FAILED;
  }
  device->maxPower = config->MaxPower;
  libusb_free_config_descriptor(config);
  device->product = ReadString(*device, device->device.iProduct);
  device->serial = ReadString(*device, device->device.iSerialNumber);
  *handle = device.get();
  State().open.insert(device.release());
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_Close(HANDLE handle) {
  OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  State().open.erase(device);
  libusb_close(device->usb);  // also after a re-enumeration: it frees the handle
  delete device;
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_GetDeviceProductString(HANDLE handle, void* buffer256, BYTE* length,
                                                       BOOL convertToAscii) {
  const OpenDevice* device = Lookup(handle);
  return CopyString(device, device ? device->product : StringRead{}, buffer256, length,
                    convertToAscii);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceSerialNumber(HANDLE handle, void* buffer256, BYTE* length,
                                                      BOOL convertToAscii) {
  const OpenDevice* device = Lookup(handle);
  return CopyString(device, device ? device->serial : StringRead{}, buffer256, length,
                    convertToAscii);
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVid(HANDLE handle, WORD* vid) {
  return FromDescriptor(handle, vid, [](const OpenDevice& d) { return d.device.idVendor; });
}

CP210x_STATUS CP210X_API CP210x_GetDevicePid(HANDLE handle, WORD* pid) {
  return FromDescriptor(handle, pid, [](const OpenDevice& d) { return d.device.idProduct; });
}

CP210x_STATUS CP210X_API CP210x_GetDeviceVersion(HANDLE handle, WORD* version) {
  return FromDescriptor(handle, version, [](const OpenDevice& d) { return d.device.bcdDevice; });
}

CP210x_STATUS CP210X_API CP210x_GetMaxPower(HANDLE handle, BYTE* maxPower) {
  return FromDescriptor(handle, maxPower, [](const OpenDevice& d) { return d.maxPower; });
}

CP210x_STATUS CP210X_API CP210x_GetPartNumber(HANDLE handle, BYTE* partNumber) {
  OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  if (!partNumber) return CP210x_INVALID_PARAMETER;
  unsigned char part = 0;
  int result = ControlIn(*device, kVendorIn, kVendorRequest, kGetPartNumber, 0, &part, 1);
  if (result < 0) return StatusOf(result);
  if (result != 1) return CP210x_DEVICE_IO_FAILED;
  *partNumber = part;
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_SetProductString(HANDLE handle, void* text, BYTE length,
                                                 BOOL convertToUnicode) {
  return WriteString(handle, kSetProductString, kMaxProductString, text, length, convertToUnicode);
}

CP210x_STATUS CP210X_API CP210x_SetSerialNumber(HANDLE handle, void* text, BYTE length,
                                                BOOL convertToUnicode) {
  return WriteString(handle, kSetSerialNumber, kMaxSerialNumber, text, length, convertToUnicode);
}

CP210x_STATUS CP210X_API CP210x_SetPid(HANDLE handle, WORD pid) {
  OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  return VendorWrite(device, kSetPid, pid, {});
}

CP210x_STATUS CP210X_API CP210x_Reset(HANDLE handle) {
  OpenDevice* device = Lookup(handle);
  if (!device) return CP210x_INVALID_HANDLE;
  if (device->gone) return CP210x_DEVICE_NOT_FOUND;
  int result = libusb_reset_device(device->usb);
  if (result != LIBUSB_ERROR_NOT_FOUND && result != LIBUSB_ERROR_NO_DEVICE) return StatusOf(result);
  // The device left the bus. The kernel does that when the reset shows new
  // descriptors (a new product id or serial number): it then enumerates the
  // device anew, at a new address in the same port. A device that was
  // unplugged, or does not come back, leaves the port empty.
  device->gone = true;
  const auto deadline = std::chrono::steady_clock::now() + kComeBackTime;
  do {
    std::optional<std::string> address = SysfsAttribute(device->port, "devnum");
    if (address && *address != std::to_string(device->address)) return CP210x_SUCCESS;
    std::this_thread::sleep_for(kComeBackPoll);
  } while (std::chrono::steady_clock::now() < deadline);
  return CP210x_DEVICE_NOT_FOUND;
}

}  // extern "C"
