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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CP210xUnit.h"

namespace {

constexpr unsigned kTimeoutMs = 500;
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

// The kernel driver bound to the device's first interface, from sysfs.
std::string DriverOf(libusb_device* device) {
  const char* root = std::getenv("CP210X_USB_SYSFS");
  std::string link = std::string(root && *root ? root : "/sys") + "/bus/usb/devices/" +
                     PortPath(device) + ":1.0/driver";
  char target[256];
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return "";
  std::string path(target, static_cast<std::size_t>(length));
  return path.substr(path.rfind('/') + 1);
}

// A CP210x: bound to the kernel's cp210x driver, or a Silicon Labs device
// whose first interface is vendor-specific.
bool IsCp210x(libusb_device* device) {
  if (DriverOf(device) == "cp210x") return true;
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
      descriptor.idVendor != kSiliconLabsVid)
    return false;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(device, 0, &config) != 0) return false;
  bool vendorSpecific =
      config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0 &&
      config->interface[0].altsetting[0].bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC;
  libusb_free_config_descriptor(config);
  return vendorSpecific;
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

int ControlIn(libusb_device_handle* usb, uint8_t type, uint8_t request, uint16_t value,
              uint16_t index, unsigned char* data, uint16_t length) {
  return libusb_control_transfer(usb, type, request, value, index, data, length, kTimeoutMs);
}

StringRead ReadString(libusb_device_handle* usb, uint8_t index) {
  StringRead read;
  if (index == 0) return read;  // no such string: an empty text
  unsigned char data[255];
  int length =
      ControlIn(usb, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), kLanguage, data, sizeof data);
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
    int result = ControlIn(device->usb, kVendorIn, kVendorRequest, kGetLock, 0, &lock, 1);
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
  int result = libusb_control_transfer(device->usb, kVendorOut, kVendorRequest, value, index,
                                       data.empty() ? nullptr : data.data(),
                                       static_cast<uint16_t>(data.size()), kTimeoutMs);
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
  if (options != CP210x_RETURN_FULL_PATH) return CP210x_INVALID_PARAMETER;
  // The label is the device's bus and port path, as sysfs names it: it stays
  // the same while the device stays in the same port.
  std::string path = PortPath(device);
  std::memcpy(buffer256, path.c_str(), path.size() + 1);
  return CP210x_SUCCESS;
}

CP210x_STATUS CP210X_API CP210x_Open(DWORD deviceIndex, HANDLE* handle) {
  if (!handle) return CP210x_INVALID_PARAMETER;
  libusb_device* usbDevice = DeviceAt(deviceIndex);
  if (!usbDevice) return CP210x_DEVICE_NOT_FOUND;
  auto device = std::make_unique<OpenDevice>();
  device->node = NodeOf(usbDevice);
  int result = libusb_open(usbDevice, &device->usb);
  if (result == LIBUSB_ERROR_ACCESS)
    std::fprintf(stderr,
                 "CP210x: permission denied for %s: install the udev rule "
                 "99-korlinth-cp210x.rules and replug the device (see README)\n",
                 device->node.c_str());
  if (result != 0) return StatusOf(result);
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_device_descriptor(usbDevice, &device->device) != 0 ||
      libusb_get_config_descriptor(usbDevice, 0, &config) != 0) {
    libusb_close(device->usb);
    return CP210x_DEVICE_IO_FAILED;
  }
  device->maxPower = config->MaxPower;
  libusb_free_config_descriptor(config);
  device->product = ReadString(device->usb, device->device.iProduct);
  device->serial = ReadString(device->usb, device->device.iSerialNumber);
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
  int result = ControlIn(device->usb, kVendorIn, kVendorRequest, kGetPartNumber, 0, &part, 1);
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
  if (result == LIBUSB_ERROR_NOT_FOUND) {
    // The device came back with new descriptors (a new product id) and is a
    // new device now: the reset did its work, and this handle can only close.
    device->gone = true;
    return CP210x_SUCCESS;
  }
  return StatusOf(result);
}

}  // extern "C"
