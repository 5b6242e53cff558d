// The umockdev testbed and the sysfs records of the devices on it: the PLC
// and the hubs it may sit behind; and the preload its clients run under.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "usb_plc_impl.h"

namespace usbplc {

// Device descriptor, then the configuration: one interface (vendor class)
// with bulk OUT 0x01 and bulk IN 0x81 of 64-byte packets.
const char kPlcDescriptors[] =
    "12010002000000405a0e0100000100000001"  // device
    "090220000101008032"                    // configuration 1, 32 bytes in all
    "0904000002ff000000"                    // interface 0, two endpoints, vendor class
    "07050102400000"                        // bulk OUT 0x01, 64 bytes
    "07058102400000";                       // bulk IN 0x81, 64 bytes

namespace {

// A hub: its device descriptor and a configuration with no endpoints.
const char kHubDescriptors[] =
    "120100020900014000000000000000000001"
    "090212000101008032"
    "090400000009000000";

std::string SysPath(const std::string& record) {
  return "/sys" + record.substr(3, record.find('\n') - 3);
}

}  // namespace

// The syspath record of one USB device at BUS-PORTS with this device number.
std::string Record(int bus, const std::string& ports, int devnum, const char* descriptors) {
  std::string dir = "/devices/usb" + std::to_string(bus);
  std::string chain = std::to_string(bus) + "-";
  for (size_t at = 0; at <= ports.size();) {
    size_t dot = std::min(ports.find('.', at), ports.size());
    chain += ports.substr(at, dot - at);
    dir += "/" + chain;
    chain += ".";
    at = dot + 1;
  }
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, devnum);
  return "P: " + dir + "\nN: " + node + "\nE: DEVNAME=/dev/" + node +
         "\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\nE: BUSNUM=" +
         std::to_string(bus) + "\nE: DEVNUM=" + std::to_string(devnum) +
         "\nA: busnum=" + std::to_string(bus) + "\\n\nA: devnum=" + std::to_string(devnum) +
         "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + descriptors + "\n";
}

void RunUnderPreload(char** argv) {
  const char* now = std::getenv("LD_PRELOAD");
  if (now != nullptr && std::strstr(now, "libumockdev-preload") != nullptr) return;
  std::string preload = USBPLC_PRELOAD;
  if (now != nullptr && *now != '\0') preload += std::string(":") + now;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("usbplc: cannot run again under the preload");
  std::exit(2);
}

int Testbed::Impl::nextDevnum(int bus) {
  int& n = devnums[bus & 0xFF];
  n = n < 1 ? 2 : n + 1;  // 1 is the root hub's
  return n;
}

std::string Testbed::Impl::add(const std::string& record) {
  GError* err = nullptr;
  if (!umockdev_testbed_add_from_string(tb, record.c_str(), &err)) {
    std::fprintf(stderr, "usbplc: cannot add a device: %s\n", err ? err->message : "?");
    g_clear_error(&err);
    return "";
  }
  return SysPath(record);
}

Testbed::Testbed() : impl_(std::make_unique<Impl>()) {
  impl_->tb = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(impl_->tb);
  impl_->root = root;
  g_free(root);
}

Testbed::~Testbed() { g_object_unref(impl_->tb); }

void Testbed::addHub(int bus, const std::string& ports) {
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->add(Record(bus, ports, impl_->nextDevnum(bus), kHubDescriptors));
}

}  // namespace usbplc
