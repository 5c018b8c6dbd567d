#include "EmulatedUsb.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

void Put16(Bytes& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

Bytes StringDescriptor(const std::u16string& text) {
  Bytes bytes{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char16_t c : text) Put16(bytes, static_cast<uint16_t>(c));
  return bytes;
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Bytes DeviceDescriptor(uint8_t deviceClass, uint16_t vid, uint16_t pid, uint16_t release,
                       uint8_t configurations) {
  Bytes d{18, 1};
  Put16(d, 0x0200);
  d.insert(d.end(), {deviceClass, 0, 0, 64});
  Put16(d, vid);
  Put16(d, pid);
  Put16(d, release);
  d.insert(d.end(), {1, 2, 3, configurations});
  return d;
}

Bytes ConfigurationDescriptor(const ChipConfig::Configuration& c) {
  Bytes body;
  for (int i = 0; i < c.interfaces; ++i) {
    body.insert(body.end(), {9, 4, static_cast<uint8_t>(i), 0,
                             static_cast<uint8_t>(c.endpoints.size()), c.interfaceClass, 0, 0, 2});
    for (uint8_t address : c.endpoints) {
      body.insert(body.end(), {7, 5, address, c.endpointType});
      Put16(body, 64);
      body.push_back(c.endpointType == 3 ? 1 : 0);
    }
  }
  Bytes d{9, 2};
  Put16(d, static_cast<uint16_t>(9 + body.size()));
  d.insert(d.end(), {static_cast<uint8_t>(c.interfaces), c.value, 0, 0x80, c.maxPower});
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

ChipConfig::Configuration HubConfiguration() {
  ChipConfig::Configuration hub;
  hub.interfaceClass = 9;
  hub.endpoints = {0x81};
  hub.endpointType = 3;
  hub.maxPower = 0;
  return hub;
}

std::string PortName(uint8_t bus, const std::vector<uint8_t>& ports) {
  std::string name = std::to_string(bus) + "-";
  for (std::size_t i = 0; i < ports.size(); ++i) name += (i ? "." : "") + std::to_string(ports[i]);
  return name;
}

std::string NodeName(uint8_t bus, int address) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03d", bus, address);
  return node;
}

// The kernel's cp210x driver takes these ids (of those the tests use).
bool InCp210xTable(uint16_t vid, uint16_t pid) { return vid == 0x10C4 && pid == 0xEA60; }

}  // namespace

struct EmulatedUsb::Bed {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  mutable std::mutex mutex;  // the ioctl handler runs on umockdev's thread
  std::map<uint8_t, int> nextAddress;
  std::vector<std::unique_ptr<Chip>> chips;

  std::string Syspath(uint8_t bus, const std::vector<uint8_t>& ports) const {
    std::string path = "/sys/devices/usb" + std::to_string(bus);
    for (std::size_t depth = 1; depth <= ports.size(); ++depth)
      path += "/" + PortName(bus, {ports.begin(), ports.begin() + static_cast<long>(depth)});
    return path;
  }

  // Adds a USB device and its first interface, as the kernel shows them.
  void AddDevice(uint8_t bus, const std::vector<uint8_t>& ports, int address, const Bytes& device,
                 const std::vector<Bytes>& configurations, uint8_t active,
                 const std::map<std::string, std::string>& strings, const std::string& driver) {
    const std::string syspath = Syspath(bus, ports);
    // A root hub's interfaces are named after port 0.
    const std::string name = ports.empty() ? std::to_string(bus) + "-0" : PortName(bus, ports);
    const std::string node = NodeName(bus, address);
    Bytes all = device;
    for (const Bytes& c : configurations) all.insert(all.end(), c.begin(), c.end());
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n",
                  device[8] | device[9] << 8, device[10] | device[11] << 8,
                  device[12] | device[13] << 8);
    std::string record =
        "P: " + syspath.substr(4) + "\nN: " + node.substr(5) +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node +
        "\nE: BUSNUM=" + node.substr(13, 3) + "\nE: DEVNUM=" + node.substr(17) +
        "\nA: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) +
        "\nA: dev=189:" + std::to_string((bus - 1) * 128 + address - 1) +
        "\nA: bConfigurationValue=" + std::to_string(active) + "\nA: speed=12\n" + ids;
    for (const auto& [key, value] : strings) record += "A: " + key + "=" + value + "\n";
    record += "H: descriptors=" + Hex(all) + "\n";
    Add(record);
    // The first interface of the active configuration: <device>:<config>.0
    std::string interface = syspath + "/" + name + ":" + std::to_string(active) + ".0";
    std::string ifRecord = "P: " + interface.substr(4) +
                           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n";
    if (!driver.empty()) {
      std::string up;
      for (char c : interface.substr(5))
        if (c == '/') up += "../";
      std::filesystem::create_directories(root + "/sys/bus/usb/drivers/" + driver);
      ifRecord += "L: driver=../" + up + "bus/usb/drivers/" + driver + "\n";
    }
    Add(ifRecord);
  }

  void Add(const std::string& record) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
      std::string message = error ? error->message : "?";
      if (error) g_error_free(error);
      throw std::runtime_error("umockdev cannot add:\n" + record + message);
    }
  }

  void Remove(uint8_t bus, const std::vector<uint8_t>& ports, uint8_t active) {
    const std::string syspath = Syspath(bus, ports);
    umockdev_testbed_remove_device(
        testbed,
        (syspath + "/" + PortName(bus, ports) + ":" + std::to_string(active) + ".0").c_str());
    umockdev_testbed_remove_device(testbed, syspath.c_str());
  }
};

struct EmulatedUsb::Chip {
  Bed* bed;
  ChipConfig config;
  uint8_t bus;
  ChipState state;
  UMockdevIoctlBase* handler = nullptr;
  std::string node;  // "" while unplugged
  // What the kernel read at enumeration.
  uint16_t enumeratedPid = 0;
  std::u16string enumeratedSerial;

  struct Urb {
    UMockdevIoctlData* data;
    Clock::time_point ready;
    bool answered;  // false: waits for a discard
  };
  std::vector<Urb> urbs;

  Bytes Device() const {
    return DeviceDescriptor(0, config.vid, state.pid, config.release,
                            static_cast<uint8_t>(config.configurations.size()));
  }

  std::string Driver() const {
    if (config.driver != "(by id)") return config.driver;
    return InCp210xTable(config.vid, state.pid) ? "cp210x" : "";
  }

  void Enumerate(int address) {
    state.address = address;
    node = NodeName(bus, address);
    enumeratedPid = state.pid;
    enumeratedSerial = state.serial;
    std::vector<Bytes> configurations;
    for (const auto& c : config.configurations)
      configurations.push_back(ConfigurationDescriptor(c));
    bed->AddDevice(bus, config.ports, address, Device(), configurations, config.active,
                   {{"product", Utf8(state.product)},
                    {"serial", Utf8(state.serial)},
                    {"manufacturer", Utf8(config.manufacturer)}},
                   Driver());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed->testbed, node.c_str(), handler, &error)) {
      std::string message = error ? error->message : "?";
      if (error) g_error_free(error);
      throw std::runtime_error("umockdev cannot attach to " + node + ": " + message);
    }
  }

  // The device leaves the bus: in-flight transfers end, the node goes.
  void Disconnect() {
    if (node.empty()) return;
    for (Urb& urb : urbs) {
      if (urb.answered && urb.ready <= Clock::now()) continue;
      Finish(urb, -ESHUTDOWN, 0);
    }
    bed->Remove(bus, config.ports, config.active);
    node.clear();
    state.address = 0;
  }

  static usbdevfs_urb* UrbOf(const Urb& urb) {
    return reinterpret_cast<usbdevfs_urb*>(urb.data->data);
  }
  void Finish(Urb& urb, int status, int length) {
    UrbOf(urb)->status = status;
    UrbOf(urb)->actual_length = length;
    urb.answered = true;
    urb.ready = Clock::now();
  }

  // The chip's answer to a control request: the IN data, or a stall.
  bool Answer(const uint8_t* setup, const Bytes& out, Bytes* in) {
    const uint8_t type = setup[0], request = setup[1];
    const uint16_t value = setup[2] | setup[3] << 8, index = setup[4] | setup[5] << 8;
    if (type == 0x80 && request == 0x06) {  // GET_DESCRIPTOR
      const uint8_t kind = value >> 8, which = value & 0xFF;
      if (kind == 1) {
        *in = Device();
      } else if (kind == 2 && which < config.configurations.size()) {
        *in = ConfigurationDescriptor(config.configurations[which]);
      } else if (kind == 3 && which == 0) {
        *in = {4, 3, 0x09, 0x04};  // the language table: English (United States)
      } else if (kind == 3 && index == 0x0409 && which >= 1 && which <= 3) {
        *in = StringDescriptor(which == 1   ? config.manufacturer
                               : which == 2 ? state.product
                                            : state.serial);
      } else {
        return false;
      }
      return true;
    }
    if (type == 0xC0 && request == 0xFF && value == 0x370B) return *in = {config.part}, true;
    if (type == 0xC0 && request == 0xFF && value == 0x370A) return *in = {config.lock}, true;
    if (type == 0x40 && request == 0xFF && config.lock == 0xFF) {
      auto text = [&out]() {
        std::u16string text;
        for (std::size_t i = 2; i + 1 < out.size() && i + 1 < out[0]; i += 2)
          text.push_back(static_cast<char16_t>(out[i] | out[i + 1] << 8));
        return text;
      };
      if (value == 0x3702 && out.empty()) return state.pid = index, true;
      if (value == 0x3703 && out.size() >= 2 && out[1] == 3) return state.product = text(), true;
      if (value == 0x3704 && out.size() >= 2 && out[1] == 3) return state.serial = text(), true;
    }
    return false;
  }

  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    usbdevfs_urb* urb = data ? reinterpret_cast<usbdevfs_urb*>(data->data) : nullptr;
    if (!urb || urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
      if (error) g_error_free(error);
      return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &error);
    if (!buffer) {
      if (error) g_error_free(error);
      return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    const uint8_t* setup = buffer->data;
    const uint16_t length = setup[6] | setup[7] << 8;
    const bool toHost = setup[0] & 0x80;
    Bytes out;
    if (!toHost) out.assign(setup + 8, setup + 8 + std::min<int>(length, urb->buffer_length - 8));
    const int number = ++state.transfers;
    char line[64];
    std::snprintf(line, sizeof line, "%02X %02X %04X %04X %u", setup[0], setup[1],
                  setup[2] | setup[3] << 8, setup[4] | setup[5] << 8, length);
    state.log.push_back(line + (out.empty() ? "" : " " + Hex(out)));

    auto slow = config.slowMs.find(number);
    Urb pending{
        umockdev_ioctl_data_ref(data),
        Clock::now() + std::chrono::milliseconds(slow == config.slowMs.end() ? 0 : slow->second),
        true};
    auto fault = config.faults.find(number);
    const Fault kind = fault == config.faults.end() ? Fault::kStall : fault->second;
    const bool faulty = fault != config.faults.end();
    urbs.push_back(pending);
    Urb& queued = urbs.back();
    Bytes in;
    if (faulty && kind == Fault::kNoAnswer) {
      queued.answered = false;
    } else if (faulty && kind == Fault::kUnplug) {
      Disconnect();
      Finish(queued, -ESHUTDOWN, 0);
    } else if (faulty && kind == Fault::kBusError) {
      UrbOf(queued)->status = -EPROTO;
      UrbOf(queued)->actual_length = 0;
    } else if ((faulty && kind == Fault::kEmpty) ||
               (!(faulty && kind == Fault::kStall) && Answer(setup, out, &in))) {
      std::size_t n = toHost ? std::min<std::size_t>(in.size(), length) : out.size();
      if (faulty) n = 0;
      if (toHost && n > 0) std::memcpy(buffer->data + 8, in.data(), n);
      UrbOf(queued)->status = 0;
      UrbOf(queued)->actual_length = static_cast<int>(n);
    } else {
      UrbOf(queued)->status = -EPIPE;
      UrbOf(queued)->actual_length = 0;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    for (auto urb = urbs.begin(); urb != urbs.end(); ++urb) {
      if (!urb->answered || urb->ready > Clock::now()) continue;
      // The argument points to the caller's slot for the address of its URB.
      GError* error = nullptr;
      UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
      if (!slot) {
        if (error) g_error_free(error);
        return umockdev_ioctl_client_complete(client, -1, EFAULT);
      }
      umockdev_ioctl_data_set_ptr(slot, 0, urb->data);
      umockdev_ioctl_data_unref(urb->data);
      urbs.erase(urb);
      return umockdev_ioctl_client_complete(client, 0, 0);
    }
    umockdev_ioctl_client_complete(client, -1, node.empty() && urbs.empty() ? ENODEV : EAGAIN);
  }

  void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, arg->data_len));
    for (Urb& urb : urbs) {
      if (urb.data->client_addr != address || (urb.answered && urb.ready <= Clock::now())) continue;
      Finish(urb, -ENOENT, 0);
      return umockdev_ioctl_client_complete(client, 0, 0);
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  }

  // A port reset, as the kernel does it: the device is asked for its
  // descriptors again, and one whose device descriptor or serial number
  // changed is disconnected and enumerated anew at a new address.
  void Reset(UMockdevIoctlClient* client, bool gone) {
    ++state.resets;
    state.log.push_back("RESET");
    if (gone) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    const bool changed = state.pid != enumeratedPid || state.serial != enumeratedSerial;
    if (config.unplugAtReset || !config.comesBackAfterReset || changed) {
      Disconnect();
      if (!config.unplugAtReset && config.comesBackAfterReset) Enumerate(bed->nextAddress[bus]++);
      return umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  gboolean Ioctl(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(bed->mutex);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // A node of this chip that is gone answers as the kernel does for a
    // disconnected device.
    const bool gone = node.empty() || node != umockdev_ioctl_client_get_devnode(client);
    if (request == USBDEVFS_RESET) {
      Reset(client, gone);
    } else if (request == USBDEVFS_REAPURBNDELAY) {
      Reap(client, arg);
    } else if (request == USBDEVFS_DISCARDURB) {
      Discard(client, arg);
    } else if (gone) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
      GError* error = nullptr;
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
      if (!caps) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
      }
      uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_SUBMITURB) {
      Submit(client, arg);
    } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE ||
               request == USBDEVFS_DISCONNECT_CLAIM || request == USBDEVFS_IOCTL) {
      umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_GETDRIVER) {
      umockdev_ioctl_client_complete(client, -1, ENODATA);
    } else {
      return FALSE;  // not a request of this emulation: ENOTTY
    }
    return TRUE;
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer chip) {
    return static_cast<Chip*>(chip)->Ioctl(client);
  }
};

bool UnderPreload() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload");
}

EmulatedUsb::EmulatedUsb(std::vector<uint8_t> buses) : bed_(std::make_unique<Bed>()) {
  bed_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(bed_->testbed);
  bed_->root = root;
  g_free(root);
  for (uint8_t bus : buses) {
    bed_->nextAddress[bus] = 2;
    std::vector<Bytes> config{ConfigurationDescriptor(HubConfiguration())};
    bed_->AddDevice(bus, {}, 1, DeviceDescriptor(9, 0x1D6B, 0x0002, 0x0601, 1), config, 1, {},
                    "hub");
  }
}

EmulatedUsb::~EmulatedUsb() {
  {
    std::lock_guard<std::mutex> lock(bed_->mutex);
    for (auto& chip : bed_->chips)
      for (auto& urb : chip->urbs) umockdev_ioctl_data_unref(urb.data);
  }
  // Removes the testbed's folder with everything in it.
  g_object_unref(bed_->testbed);
  for (auto& chip : bed_->chips) g_object_unref(chip->handler);
}

void EmulatedUsb::AddHub(std::vector<uint8_t> ports, uint8_t bus) {
  std::lock_guard<std::mutex> lock(bed_->mutex);
  std::vector<Bytes> config{ConfigurationDescriptor(HubConfiguration())};
  bed_->AddDevice(bus, ports, bed_->nextAddress[bus]++,
                  DeviceDescriptor(9, 0x05E3, 0x0608, 0x6060, 1), config, 1, {}, "hub");
}

int EmulatedUsb::AddChip(const ChipConfig& config, uint8_t bus) {
  std::lock_guard<std::mutex> lock(bed_->mutex);
  auto chip = std::make_unique<Chip>();
  chip->bed = bed_.get();
  chip->config = config;
  chip->bus = bus;
  chip->state.pid = config.pid;
  chip->state.product = config.product;
  chip->state.serial = config.serial;
  chip->handler = umockdev_ioctl_base_new();
  g_signal_connect(chip->handler, "handle-ioctl", G_CALLBACK(Chip::OnIoctl), chip.get());
  chip->Enumerate(bed_->nextAddress[bus]++);
  bed_->chips.push_back(std::move(chip));
  return static_cast<int>(bed_->chips.size() - 1);
}

ChipState EmulatedUsb::State(int chip) const {
  std::lock_guard<std::mutex> lock(bed_->mutex);
  return bed_->chips.at(static_cast<std::size_t>(chip))->state;
}

std::string EmulatedUsb::Node(int chip) const {
  std::lock_guard<std::mutex> lock(bed_->mutex);
  return bed_->chips.at(static_cast<std::size_t>(chip))->node;
}

std::string EmulatedUsb::Attribute(int chip, const std::string& name) const {
  std::lock_guard<std::mutex> lock(bed_->mutex);
  const Chip& c = *bed_->chips.at(static_cast<std::size_t>(chip));
  std::string text = ReadFile(bed_->root + bed_->Syspath(c.bus, c.config.ports) + "/" + name);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void EmulatedUsb::RestrictNode(int chip) {
  const std::string node = bed_->root + Node(chip);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(bed_->root)) {
    if (entry.is_directory() || entry.is_socket())
      std::filesystem::permissions(entry.path(), std::filesystem::perms::all);
  }
  std::filesystem::permissions(bed_->root, std::filesystem::perms::all);
  if (chmod(node.c_str(), 0664) != 0 || chown(node.c_str(), 0, 0) != 0)
    throw std::runtime_error("cannot restrict " + node);
}

ProcessLaunch EmulatedUsb::UnderEmulation(std::vector<std::string> argv) const {
  ProcessLaunch launch;
  launch.argv = std::move(argv);
  launch.env["LD_PRELOAD"] = "libumockdev-preload.so.0";
  launch.env["UMOCKDEV_DIR"] = bed_->root;
  return launch;
}
