// The emulated USB PLC's state, shared by its parts: the testbed and the
// devices' sysfs records (usb_testbed.cpp), the control ioctls and the
// interface's claim (usb_ioctl.cpp), the bulk transfers (usb_transfer.cpp)
// and the device's life on the bus with its serving thread (usb_plc.cpp).
//
// Three threads meet here: umockdev's own thread runs the ioctl handlers
// (they never block and complete every ioctl), each device's serving thread
// hands replies to parked IN URBs, drives the device node's readiness and
// re-enumerates a restarting PLC, and the test thread plugs, unplugs and
// looks. One mutex per device guards its state; none is held while the
// testbed is called.
#pragma once
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_plc.h"

namespace usbplc {

using Clock = std::chrono::steady_clock;

// USBPLC_TRACE=1 in the environment: every ioctl and event on stderr.
inline const bool kTrace = std::getenv("USBPLC_TRACE") != nullptr;
#define TRACE(...) (kTrace ? (void)std::fprintf(stderr, "usbplc: " __VA_ARGS__) : (void)0)

// The PLC's descriptors: one interface with a bulk OUT and a bulk IN endpoint.
extern const char kPlcDescriptors[];
// The syspath record of one USB device at BUS-PORTS with this device number.
std::string Record(int bus, const std::string& ports, int devnum, const char* descriptors);

struct Testbed::Impl {
  UMockdevTestbed* tb = nullptr;
  std::string root;
  std::mutex m;  // guards the testbed's calls and devnums
  int devnums[256] = {};

  int nextDevnum(int bus);
  // Adds the device of this record; returns its syspath ("" when it failed).
  std::string add(const std::string& record);
};

struct Node;

struct Urb {
  Node* node;
  UMockdevIoctlData* urb;  // the client's usbdevfs_urb
  UMockdevIoctlData* buf;  // its buffer
  unsigned long addr;      // the URB's address in the client
  bool in;
  bool done = false;
  int status = 0, actual = 0;
  Clock::time_point readyAt{};  // the host may reap it from then on
};

// One enumeration of the device: a device number, its node and its handler.
struct Node {
  UsbPlc::Impl* dev;
  int devnum;
  std::string syspath, devnode;
  UMockdevIoctlBase* handler = nullptr;
  int fifo = -1;  // our end of the node, when it is a FIFO
  bool present = true;
  bool ready = true;                          // what the node's readiness shows now
  std::vector<UMockdevIoctlClient*> clients;  // the host's open descriptors (held)
};

struct UsbPlc::Impl {
  Testbed::Impl& tb;
  Options o;
  plcsim::Plc plc;

  mutable std::mutex m;
  std::condition_variable wake;
  std::thread server;
  bool quit = false;

  std::vector<std::unique_ptr<Node>> nodes;  // the current one last
  std::deque<Urb> urbs;                      // in the order submitted
  std::vector<uint8_t> toHost;               // the PLC's replies not yet read
  Clock::time_point toHostAt{};              // readable from then on
  UMockdevIoctlClient* claimer = nullptr;    // the client that claimed the interface (held)
  bool driver = false;
  int detaches = 0;
  bool restarting = false;  // the PLC has left its application: it ignores the pipe
  bool cableOut = false;    // unplugged: off the bus until plugged, restart or not
  int restarts = 0;
  long reaps = 0;
  bool halted = false;  // the IN endpoint stalls every transfer
  int haltsCleared = 0;

  Impl(Testbed::Impl& t, const Options& opt)
      : tb(t), o(opt), plc(opt.plc), driver(opt.kernelDriver) {}

  Node* current() { return nodes.empty() ? nullptr : nodes.back().get(); }

  // The claim is the claimer's descriptor's, as in the kernel: it ends when
  // that descriptor releases it or is closed (by the client or at its exit),
  // whatever the node's other descriptors do.
  void unclaim() {
    if (claimer != nullptr) g_object_unref(claimer);
    claimer = nullptr;
    wake.notify_all();
  }
  void unclaimIfClosed() {
    if (claimer != nullptr && !umockdev_ioctl_client_get_connected(claimer)) unclaim();
  }

  // --- umockdev's thread (usb_ioctl.cpp, usb_transfer.cpp) ---------------------
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node);
  static void OnOpen(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node);
  static void Complete(UMockdevIoctlClient* client, long result, int err);
  static UMockdevIoctlData* Arg(UMockdevIoctlClient* client, size_t size);
  static bool ArgNumber(UMockdevIoctlClient* client, unsigned& v);
  void ioctl(Node& n, UMockdevIoctlClient* client);
  void submit(Node& n, UMockdevIoctlClient* client);
  void reap(Node& n, UMockdevIoctlClient* client);

  // --- any thread, under the lock (usb_transfer.cpp) ---------------------------
  void finish(Urb& u, int status, int actual);
  void deliver(Clock::time_point now);
  void showReady(Node& n);

  // --- the serving thread (usb_plc.cpp) ----------------------------------------
  void dropClosed(Node& n);
  void serve();
  void reenumerate();
  void powerUp();  // under the lock

  // --- without the lock: the testbed (usb_plc.cpp) ------------------------------
  void add();
  void remove();
};

}  // namespace usbplc
