// The emulated USB PLC plugged and unplugged, as libusb sees it: the device
// leaves the bus and comes back under a new device number, at its place or
// at another; and the same driven by usbplc-run's timed events.
#include <libusb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "usb_plc.h"

namespace {

using Clock = std::chrono::steady_clock;

// The PLCs libusb finds on the bus, as "PORTS@DEVNUM" ("2.3@5").
std::vector<std::string> PlcsOnTheBus(libusb_context* ctx) {
  std::vector<std::string> found;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != 0x0E5A) continue;
    uint8_t ports[7];
    const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
    std::string s;
    for (int k = 0; k < depth; ++k) s += (k ? "." : "") + std::to_string(ports[k]);
    found.push_back(s + "@" + std::to_string(libusb_get_device_address(list[i])));
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return found;
}

int OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event event, void* seen) {
  *static_cast<std::string*>(seen) += event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "+" : "-";
  return 0;
}

TEST(UsbPlcPlug, LibusbSeesTheDeviceGoAndComeBack) {
  struct Case {
    const char* ports;  // where it is plugged back ("": its place)
    const char* back;   // where libusb finds it then
  };
  const Case cases[] = {{"", "1"}, {"3", "3"}, {"2.4", "2.4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.back);
    usbplc::Testbed testbed;
    testbed.addHub(1, "2");
    usbplc::Options o;
    o.plc.model = "VN300";
    usbplc::UsbPlc plc(testbed, o);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    std::string seen;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                  LIBUSB_HOTPLUG_NO_FLAGS, 0x0E5A, 0x0001, LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug,
                  &seen, nullptr),
              0);
    // libusb's own thread takes the uevents; its callbacks run here.
    const auto events = [&](size_t count) {
      for (auto t0 = Clock::now();
           seen.size() < count && Clock::now() - t0 < std::chrono::seconds(3);) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
      }
    };
    EXPECT_EQ(PlcsOnTheBus(ctx), std::vector<std::string>{"1@" + std::to_string(plc.devnum())});
    plc.unplug();
    events(1);
    EXPECT_EQ(PlcsOnTheBus(ctx), std::vector<std::string>{});
    const int before = plc.devnum();
    plc.plug(c.ports);
    events(2);
    EXPECT_EQ(seen, "-+");
    EXPECT_GT(plc.devnum(), before);
    EXPECT_EQ(plc.path(), std::string("1-") + c.back);
    EXPECT_EQ(PlcsOnTheBus(ctx),
              std::vector<std::string>{std::string(c.back) + "@" + std::to_string(plc.devnum())});
    libusb_exit(ctx);
  }
}

// usbplc-run's --at events, seen by the program it runs: quarn-burn's port
// list before the unplug, while unplugged, and after the plug at another place.
// The program ends with exit 0: under the sanitizer's build, tr run beside
// umockdev's preload after a replug exits 1 though it wrote its output.
TEST(UsbPlcPlug, TheRunnerPlaysTimedEvents) {
  const std::string bin = QUARN_BIN_DIR;
  const std::string list =
      bin + "/quarn-burn --list-ports 2>&1 | cut -d\" \" -f1 | tr \"\\n\" \" \"";
  const std::string cmd =
      bin + "/usbplc-run --model GH26 --at 1:unplug --at 2.5:plug:2.3 -- sh -c '" + list +
      "; sleep 1.7; " + list + "; sleep 1.5; " + list + "; exit 0' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[512] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(std::string(buf, n), "usb:1-1 quarn-burn: usb:1-2.3 ");
}

}  // namespace
