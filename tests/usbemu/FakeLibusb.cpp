// The libusb-1.0 functions that the USB library calls, answered by the
// emulated bus. Built only into tests, in place of the real libusb.
#include <libusb.h>

#include <algorithm>
#include <cstring>

#include "EmulatedBus.h"

struct libusb_context {
  int unused = 0;
};
struct libusb_device {
  std::size_t chip;
  int generation;
  int references;
};
struct libusb_device_handle {
  libusb_device* device;
  std::size_t chip;
  int generation;
};

EmulatedBus& EmulatedBus::Instance() {
  static EmulatedBus bus;
  return bus;
}

EmulatedChip EmulatedBus::ZeChip(uint8_t bus, std::vector<uint8_t> ports) {
  EmulatedChip chip;
  chip.bus = bus;
  chip.ports = std::move(ports);
  chip.address = static_cast<uint8_t>(10 + chip.ports.back());
  return chip;
}

namespace {

EmulatedBus& Bus() { return EmulatedBus::Instance(); }

// Whether the handle still reaches its chip as enumerated when it was opened.
bool Reachable(const libusb_device_handle* handle) {
  const EmulatedChip& chip = Bus().chips.at(handle->chip);
  return chip.plugged && chip.generation == handle->generation;
}

int StringDescriptor(const std::u16string& text, unsigned char* data, uint16_t length) {
  std::vector<unsigned char> descriptor{static_cast<unsigned char>(2 + 2 * text.size()), 3};
  for (char16_t c : text) {
    descriptor.push_back(static_cast<unsigned char>(c & 0xFF));
    descriptor.push_back(static_cast<unsigned char>(c >> 8));
  }
  std::size_t n = std::min<std::size_t>(descriptor.size(), length);
  std::memcpy(data, descriptor.data(), n);
  return static_cast<int>(n);
}

bool DecodeString(const Transfer& transfer, std::u16string* text) {
  const std::vector<uint8_t>& d = transfer.data;
  if (d.size() < 2 || d[0] != d.size() || d[1] != 3 || d.size() % 2 != 0) return false;
  text->clear();
  for (std::size_t i = 2; i < d.size(); i += 2)
    text->push_back(static_cast<char16_t>(d[i] | d[i + 1] << 8));
  return true;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
  *context = new libusb_context;
  return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) { delete context; }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
  std::vector<libusb_device*> devices;
  for (std::size_t i = 0; i < Bus().chips.size(); ++i) {
    if (!Bus().chips[i].plugged) continue;
    devices.push_back(new libusb_device{i, Bus().chips[i].generation, 1});
    ++Bus().liveDevices;
  }
  *list = new libusb_device*[devices.size() + 1];
  std::copy(devices.begin(), devices.end(), *list);
  (*list)[devices.size()] = nullptr;
  return static_cast<ssize_t>(devices.size());
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
  ++device->references;
  return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
  if (--device->references == 0) {
    --Bus().liveDevices;
    delete device;
  }
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unreference) {
  if (unreference)
    for (libusb_device** device = list; *device; ++device) libusb_unref_device(*device);
  delete[] list;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
  const EmulatedChip& chip = Bus().chips.at(device->chip);
  *descriptor = libusb_device_descriptor{};
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->bcdUSB = 0x0110;
  descriptor->bMaxPacketSize0 = 64;
  descriptor->idVendor = chip.vid;
  descriptor->idProduct = chip.enumeratedPid;
  descriptor->bcdDevice = chip.release;
  descriptor->iManufacturer = 1;
  descriptor->iProduct = chip.iProduct;
  descriptor->iSerialNumber = chip.iSerialNumber;
  descriptor->bNumConfigurations = 1;
  return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             libusb_config_descriptor** config) {
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  const EmulatedChip& chip = Bus().chips.at(device->chip);
  auto* setting = new libusb_interface_descriptor{};
  setting->bLength = LIBUSB_DT_INTERFACE_SIZE;
  setting->bDescriptorType = LIBUSB_DT_INTERFACE;
  setting->bInterfaceClass = chip.interfaceClass;
  auto* interface = new libusb_interface{setting, 1};
  *config = new libusb_config_descriptor{};
  (*config)->bLength = LIBUSB_DT_CONFIG_SIZE;
  (*config)->bDescriptorType = LIBUSB_DT_CONFIG;
  (*config)->bNumInterfaces = 1;
  (*config)->bConfigurationValue = 1;
  (*config)->MaxPower = chip.maxPower;
  (*config)->interface = interface;
  return 0;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
  if (!config) return;
  delete config->interface[0].altsetting;
  delete config->interface;
  delete config;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
  return Bus().chips.at(device->chip).bus;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
  return Bus().chips.at(device->chip).address;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
  const std::vector<uint8_t>& path = Bus().chips.at(device->chip).ports;
  if (static_cast<int>(path.size()) > length) return LIBUSB_ERROR_OVERFLOW;
  std::copy(path.begin(), path.end(), ports);
  return static_cast<int>(path.size());
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
  const EmulatedChip& chip = Bus().chips.at(device->chip);
  if (!chip.plugged || chip.generation != device->generation) return LIBUSB_ERROR_NO_DEVICE;
  if (chip.accessDenied) return LIBUSB_ERROR_ACCESS;
  *handle = new libusb_device_handle{libusb_ref_device(device), device->chip, chip.generation};
  ++Bus().opens;
  return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  ++Bus().closes;
  libusb_unref_device(handle->device);
  delete handle;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
  EmulatedBus& bus = Bus();
  Transfer transfer{handle->chip, requestType, request, value, index, length, {}};
  if (!(requestType & LIBUSB_ENDPOINT_IN) && data) transfer.data.assign(data, data + length);
  bus.transfers.push_back(transfer);
  const long number = static_cast<long>(bus.transfers.size());
  EmulatedChip& chip = bus.chips.at(handle->chip);
  if (number == bus.unplugAtTransfer) chip.plugged = false;
  if (!Reachable(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (number == bus.timeoutAtTransfer) return LIBUSB_ERROR_TIMEOUT;

  if (requestType == 0x80 && request == LIBUSB_REQUEST_GET_DESCRIPTOR && value >> 8 == 3) {
    const uint8_t which = value & 0xFF;
    if (which == 0) return StringDescriptor(u"\u0409", data, length);
    if (index != 0x0409) return LIBUSB_ERROR_PIPE;
    if (which == chip.iProduct) return StringDescriptor(chip.product, data, length);
    if (which == chip.iSerialNumber) return StringDescriptor(chip.serial, data, length);
    return LIBUSB_ERROR_PIPE;
  }
  if (request != 0xFF || chip.vid != 0x10C4) return LIBUSB_ERROR_PIPE;
  if (requestType == 0xC0 && length >= 1) {
    switch (value) {
      case 0x370B:
        data[0] = chip.part;
        return 1;
      case 0x370A:
        data[0] = chip.lock;
        return 1;
      // Like some real chips, take a vendor read of the ids as a write.
      case 0x3701:
        chip.vid = 0;
        return LIBUSB_ERROR_PIPE;
      case 0x3702:
        chip.pid = 0;
        return LIBUSB_ERROR_PIPE;
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }
  if (requestType == 0x40) {
    if (chip.lock != 0xFF) return LIBUSB_ERROR_PIPE;
    switch (value) {
      case 0x3702:
        chip.pid = index;
        return 0;
      case 0x3703:
        return DecodeString(transfer, &chip.product) ? int{length} : int{LIBUSB_ERROR_PIPE};
      case 0x3704:
        return DecodeString(transfer, &chip.serial) ? int{length} : int{LIBUSB_ERROR_PIPE};
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }
  return LIBUSB_ERROR_PIPE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
  ++Bus().resets;
  if (!Reachable(handle)) return LIBUSB_ERROR_NO_DEVICE;
  EmulatedChip& chip = Bus().chips.at(handle->chip);
  if (chip.pid == chip.enumeratedPid) return 0;
  // New descriptors: the chip comes back as another device.
  chip.enumeratedPid = chip.pid;
  ++chip.generation;
  ++chip.address;
  return LIBUSB_ERROR_NOT_FOUND;
}

}  // extern "C"
