// The emulated USB PLC. Three threads meet here: umockdev's own thread runs
// the ioctl handlers (they never block and complete every ioctl), each
// device's serving thread hands replies to parked IN URBs, drives the device
// node's readiness and re-enumerates a restarting PLC, and the test thread
// plugs, unplugs and looks. One mutex per device guards its state; none is
// held while the testbed is called.
#include "usb_plc.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "catalogue/catalogue.h"

namespace usbplc {

namespace {

using Clock = std::chrono::steady_clock;

// Device descriptor, then the configuration: one interface (vendor class)
// with bulk OUT 0x01 and bulk IN 0x81 of 64-byte packets.
const char kPlcDescriptors[] =
    "12010002000000405a0e0100000100000001"  // device
    "090220000101008032"                    // configuration 1, 32 bytes in all
    "0904000002ff000000"                    // interface 0, two endpoints, vendor class
    "07050102400000"                        // bulk OUT 0x01, 64 bytes
    "07058102400000";                       // bulk IN 0x81, 64 bytes
// A hub: its device descriptor and a configuration with no endpoints.
const char kHubDescriptors[] =
    "120100020900014000000000000000000001"
    "090212000101008032"
    "090400000009000000";

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

// USBPLC_TRACE=1 in the environment: every ioctl and event on stderr.
const bool kTrace = std::getenv("USBPLC_TRACE") != nullptr;
#define TRACE(...) (kTrace ? (void)std::fprintf(stderr, "usbplc: " __VA_ARGS__) : (void)0)

std::string SysPath(const std::string& record) {
  return "/sys" + record.substr(3, record.find('\n') - 3);
}

}  // namespace

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

struct Testbed::Impl {
  UMockdevTestbed* tb = nullptr;
  std::string root;
  std::mutex m;  // guards the testbed's calls and devnums
  int devnums[256] = {};

  int nextDevnum(int bus) {
    int& n = devnums[bus & 0xFF];
    n = n < 1 ? 2 : n + 1;  // 1 is the root hub's
    return n;
  }

  std::string add(const std::string& record) {
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(tb, record.c_str(), &err)) {
      std::fprintf(stderr, "usbplc: cannot add a device: %s\n", err ? err->message : "?");
      g_clear_error(&err);
      return "";
    }
    return SysPath(record);
  }
};

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

// ---------------------------------------------------------------------------

namespace {

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

}  // namespace

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

  // --- umockdev's thread -----------------------------------------------------

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    Node* n = static_cast<Node*>(node);
    n->dev->ioctl(*n, client);
    return TRUE;
  }
  static void OnOpen(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    Node* n = static_cast<Node*>(node);
    std::lock_guard<std::mutex> lock(n->dev->m);
    n->clients.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
    TRACE("%03d: opened (%zu open)\n", n->devnum, n->clients.size());
  }
  static void Complete(UMockdevIoctlClient* client, long result, int err) {
    umockdev_ioctl_client_complete(client, result, err);
  }

  // The ioctl's argument, read from the client: `size` bytes at its pointer.
  static UMockdevIoctlData* Arg(UMockdevIoctlClient* client, size_t size) {
    GError* err = nullptr;
    UMockdevIoctlData* d =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &err);
    g_clear_error(&err);
    return d;
  }

  // The ioctl's argument as one number (an interface, an endpoint).
  static bool ArgNumber(UMockdevIoctlClient* client, unsigned& v) {
    UMockdevIoctlData* d = Arg(client, sizeof v);
    if (d == nullptr) return false;
    std::memcpy(&v, d->data, sizeof v);
    g_object_unref(d);
    return true;
  }

  void ioctl(Node& n, UMockdevIoctlClient* client) {
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> lock(m);
    if (req != USBDEVFS_REAPURBNDELAY) TRACE("%03d: ioctl 0x%lx\n", n.devnum, req);
    if (req == USBDEVFS_REAPURBNDELAY) return reap(n, client);
    if (!n.present || &n != current()) return Complete(client, -1, ENODEV);
    switch (req) {
      case USBDEVFS_GET_CAPABILITIES: {
        // One transfer is one URB, whatever its length.
        UMockdevIoctlData* d = Arg(client, sizeof(uint32_t));
        if (d == nullptr) return Complete(client, -1, EFAULT);
        const uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(d->data, &caps, sizeof caps);
        Complete(client, 0, 0);
        g_object_unref(d);
        return;
      }
      case USBDEVFS_GETDRIVER: {
        if (!driver) return Complete(client, -1, ENODATA);
        UMockdevIoctlData* d = Arg(client, sizeof(usbdevfs_getdriver));
        if (d == nullptr) return Complete(client, -1, EFAULT);
        auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
        std::snprintf(g->driver, sizeof g->driver, "plc_driver");
        Complete(client, 0, 0);
        g_object_unref(d);
        return;
      }
      case USBDEVFS_IOCTL: {  // detach (DISCONNECT) and attach (CONNECT) the kernel driver
        UMockdevIoctlData* d = Arg(client, sizeof(usbdevfs_ioctl));
        if (d == nullptr) return Complete(client, -1, EFAULT);
        const auto* c = reinterpret_cast<const usbdevfs_ioctl*>(d->data);
        const int code = c->ioctl_code, ifno = c->ifno;
        g_object_unref(d);
        if (ifno != 0) return Complete(client, -1, EINVAL);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
          if (!driver) return Complete(client, -1, ENODATA);
          driver = false;
          ++detaches;
          return Complete(client, 0, 0);
        }
        if (code == static_cast<int>(USBDEVFS_CONNECT)) {
          if (claimer != nullptr) return Complete(client, -1, EBUSY);
          driver = true;
          return Complete(client, 0, 0);
        }
        return Complete(client, -1, ENOTTY);
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        unsigned ifno = 0;
        if (!ArgNumber(client, ifno)) return Complete(client, -1, EFAULT);
        if (ifno != 0) return Complete(client, -1, EINVAL);
        unclaimIfClosed();
        if (req == USBDEVFS_CLAIMINTERFACE) {
          if (driver || (claimer != nullptr && claimer != client))
            return Complete(client, -1, EBUSY);
          if (claimer == nullptr) claimer = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        } else {
          if (claimer != client) return Complete(client, -1, EINVAL);
          unclaim();
        }
        return Complete(client, 0, 0);
      }
      case USBDEVFS_SUBMITURB: return submit(n, client);
      case USBDEVFS_DISCARDURB: {
        unsigned long addr = 0;
        std::memcpy(&addr, umockdev_ioctl_client_get_arg(client)->data, sizeof addr);
        for (Urb& u : urbs) {
          if (u.node != &n || u.addr != addr || u.done) continue;
          finish(u, -ENOENT, 0);
          showReady(n);
          return Complete(client, 0, 0);
        }
        return Complete(client, -1, EINVAL);
      }
      case USBDEVFS_CLEAR_HALT: {
        unsigned ep = 0;
        if (!ArgNumber(client, ep)) return Complete(client, -1, EFAULT);
        if (ep == 0x81) {
          halted = false;
          ++haltsCleared;
        }
        return Complete(client, 0, 0);
      }
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_RESETEP: return Complete(client, 0, 0);
      default:
        std::fprintf(stderr, "usbplc: ioctl 0x%lx not emulated\n", req);
        return Complete(client, -1, ENOTTY);
    }
  }

  void submit(Node& n, UMockdevIoctlClient* client) {
    GError* err = nullptr;
    UMockdevIoctlData* urb = Arg(client, sizeof(usbdevfs_urb));
    if (urb == nullptr) return Complete(client, -1, EFAULT);
    const auto* k = reinterpret_cast<const usbdevfs_urb*>(urb->data);
    const bool in = (k->endpoint & 0x80) != 0;
    if (k->type != USBDEVFS_URB_TYPE_BULK || (k->endpoint & 0x7F) != 1 || k->buffer_length < 0) {
      g_object_unref(urb);
      return Complete(client, -1, EINVAL);
    }
    UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
        urb, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(k->buffer_length), &err);
    g_clear_error(&err);
    if (buf == nullptr) {
      g_object_unref(urb);
      return Complete(client, -1, EFAULT);
    }
    Urb u{&n, urb, buf, urb->client_addr, in};
    urbs.push_back(u);
    Urb& mine = urbs.back();
    if (!in) {
      // The PLC takes the bytes at once; a restarting PLC lets them fall.
      if (!restarting) {
        const plcsim::Mode before = plc.mode();
        const int asked = plc.requests(o.stallKind);
        std::vector<uint8_t> out;
        plc.receive(buf->data, static_cast<size_t>(buf->data_len), out);
        if (before == plcsim::Mode::App && plc.mode() == plcsim::Mode::Boot) {
          restarting = true;  // gone into its bootloader: nothing more on this pipe
          TRACE("%03d: restarting into the bootloader\n", n.devnum);
        } else if (asked < o.stallAt && plc.requests(o.stallKind) >= o.stallAt) {
          halted = true;  // the reply is lost
          o.stallAt = 0;
          TRACE("%03d: IN endpoint halted\n", n.devnum);
        } else if (!out.empty()) {
          // A paced PLC answers once the request is across the bus and the
          // PLC has done its work (an erased page, a programmed block).
          const auto work = o.transferUs == 0
                                ? std::chrono::microseconds(0)
                                : std::chrono::microseconds(o.transferUs + plc.busy().us);
          if (toHost.empty())
            toHostAt = Clock::now() + std::chrono::milliseconds(o.replyDelayMs) + work;
          toHost.insert(toHost.end(), out.begin(), out.end());
        }
      }
      finish(mine, 0, buf->data_len);
    }
    deliver(Clock::now());
    showReady(n);
    Complete(client, 0, 0);
  }

  void reap(Node& n, UMockdevIoctlClient* client) {
    ++reaps;
    const auto now = Clock::now();
    auto it = std::find_if(urbs.begin(), urbs.end(), [&](const Urb& u) {
      return u.node == &n && u.done && u.readyAt <= now;
    });
    if (it == urbs.end()) {
      showReady(n);
      return Complete(client, -1, n.present ? EAGAIN : ENODEV);
    }
    UMockdevIoctlData* slot = Arg(client, sizeof(void*));
    if (slot == nullptr) return Complete(client, -1, EFAULT);
    auto* k = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
    k->status = it->status;
    k->actual_length = it->actual;
    umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
    Complete(client, 0, 0);
    g_object_unref(slot);
    g_object_unref(it->buf);
    g_object_unref(it->urb);
    urbs.erase(it);
    showReady(n);
  }

  // --- any thread, under the lock ---------------------------------------------

  // The transfer is over; the host may reap it once the bus has carried it.
  void finish(Urb& u, int status, int actual) {
    u.done = true;
    u.status = status;
    u.actual = actual;
    u.readyAt = Clock::now() + std::chrono::microseconds(o.transferUs);
    wake.notify_all();
  }

  // The first parked IN URB takes what the PLC has said, one packet at most.
  // While the IN endpoint is halted, every IN URB ends in a stall.
  void deliver(Clock::time_point now) {
    for (Urb& u : urbs)
      if (halted && u.in && !u.done) finish(u, -EPIPE, 0);
    if (toHost.empty() || now < toHostAt || restarting) return;
    for (Urb& u : urbs) {
      if (!u.in || u.done || u.node != current()) continue;
      const size_t k = std::min({toHost.size(), static_cast<size_t>(u.buf->data_len),
                                 static_cast<size_t>(o.packetBytes)});
      std::memcpy(u.buf->data, toHost.data(), k);
      toHost.erase(toHost.begin(), toHost.begin() + static_cast<std::ptrdiff_t>(k));
      finish(u, 0, static_cast<int>(k));
      return;
    }
  }

  // The node polls ready (for libusb: POLLOUT) only while a URB can be
  // reaped, or when the device is gone. A FIFO of one page is full, and so
  // not writable, while it holds a byte.
  void showReady(Node& n) {
    if (n.fifo < 0) return;
    const auto now = Clock::now();
    bool ready = !n.present || std::any_of(urbs.begin(), urbs.end(), [&](const Urb& u) {
      return u.node == &n && u.done && u.readyAt <= now;
    });
    if (ready == n.ready) return;
    uint8_t b = 0;
    ssize_t r = ready ? ::read(n.fifo, &b, 1) : ::write(n.fifo, &b, 1);
    (void)r;
    n.ready = ready;
  }

  // --- the serving thread --------------------------------------------------------

  // The host's closes of the node: each descriptor is one client of
  // umockdev, connected from its open to its close.
  void dropClosed(Node& n) {
    std::erase_if(n.clients, [&](UMockdevIoctlClient* c) {
      if (umockdev_ioctl_client_get_connected(c)) return false;
      g_object_unref(c);
      TRACE("%03d: closed (%zu open)\n", n.devnum, n.clients.size() - 1);
      return true;
    });
  }

  void serve() {
    std::unique_lock<std::mutex> lock(m);
    while (!quit) {
      const auto now = Clock::now();
      for (auto& n : nodes) dropClosed(*n);
      unclaimIfClosed();
      deliver(now);
      for (auto& n : nodes) showReady(*n);
      Node* cur = current();
      if (restarting && cur && cur->present && claimer == nullptr && cur->clients.empty()) {
        lock.unlock();
        reenumerate();
        lock.lock();
        continue;
      }
      // The node's closes are looked at every 20 ms.
      auto next = now + std::chrono::milliseconds(20);
      if (!toHost.empty() && toHostAt > now) next = std::min(next, toHostAt);
      for (const Urb& u : urbs)
        if (u.done && u.readyAt > now) next = std::min(next, u.readyAt);
      wake.wait_until(lock, next);
    }
  }

  // The PLC restarts into its bootloader: off the bus, then back under a new number.
  void reenumerate() {
    TRACE("re-enumerating\n");
    remove();
    // The PLC's reset and its bootloader's start (plc.times when paced).
    std::this_thread::sleep_for(
        std::chrono::microseconds(o.transferUs ? o.plc.times.restartUs : 200000));
    {
      std::lock_guard<std::mutex> lock(m);
      restarting = false;
      toHost.clear();
      plc.reconnected();
      driver = o.kernelDriver;
      ++restarts;
    }
    add();
  }

  // --- without the lock: the testbed ----------------------------------------------

  void add() {
    auto n = std::make_unique<Node>();
    n->dev = this;
    std::string record;
    {
      std::lock_guard<std::mutex> lock(tb.m);
      n->devnum = tb.nextDevnum(o.bus);
      char node[32];
      std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", o.bus, n->devnum);
      n->devnode = node;
      n->handler = umockdev_ioctl_base_new();
      g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(OnIoctl), n.get());
      g_signal_connect(n->handler, "client-connected", G_CALLBACK(OnOpen), n.get());
      GError* err = nullptr;
      if (!umockdev_testbed_attach_ioctl(tb.tb, node, n->handler, &err)) {
        std::fprintf(stderr, "usbplc: cannot attach to %s: %s\n", node, err ? err->message : "?");
        g_clear_error(&err);
      }
      n->syspath = tb.add(Record(o.bus, o.ports, n->devnum, kPlcDescriptors));
      if (o.fifoNode) {
        const std::string file = tb.root + n->devnode;
        unlink(file.c_str());
        if (mkfifo(file.c_str(), 0666) == 0)
          n->fifo = ::open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (n->fifo >= 0) fcntl(n->fifo, F_SETPIPE_SZ, 4096);
      }
      if (o.foreignNode) {
        const std::string file = tb.root + n->devnode;
        if (chown(file.c_str(), 65534, 65534) != 0 || chmod(file.c_str(), 0600) != 0)
          std::perror("usbplc: foreign node");
      }
    }
    std::lock_guard<std::mutex> lock(m);
    nodes.push_back(std::move(n));
    showReady(*nodes.back());
    wake.notify_all();
  }

  void remove() {
    Node* n;
    {
      std::lock_guard<std::mutex> lock(m);
      n = current();
      if (n == nullptr || !n->present) return;
      n->present = false;
      unclaim();
      for (Urb& u : urbs)
        if (u.node == n && !u.done) finish(u, -ESHUTDOWN, 0);
      showReady(*n);
    }
    std::lock_guard<std::mutex> lock(tb.m);
    umockdev_testbed_uevent(tb.tb, n->syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb.tb, n->syspath.c_str());
    unlink((tb.root + n->devnode).c_str());  // the node goes with the device
  }
};

UsbPlc::UsbPlc(Testbed& testbed, const Options& options)
    : impl_(std::make_unique<Impl>(*testbed.impl_, options)) {
  impl_->add();
  impl_->server = std::thread([this] { impl_->serve(); });
}

UsbPlc::~UsbPlc() {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->quit = true;
    impl_->wake.notify_all();
  }
  impl_->server.join();
  impl_->remove();
  std::lock_guard<std::mutex> tbLock(impl_->tb.m);
  std::lock_guard<std::mutex> lock(impl_->m);
  impl_->unclaim();
  for (Urb& u : impl_->urbs) {
    g_object_unref(u.buf);
    g_object_unref(u.urb);
  }
  impl_->urbs.clear();
  for (auto& n : impl_->nodes) {
    umockdev_testbed_detach_ioctl(impl_->tb.tb, n->devnode.c_str(), nullptr);
    g_object_unref(n->handler);
    if (n->fifo >= 0) ::close(n->fifo);
    for (UMockdevIoctlClient* c : n->clients) g_object_unref(c);
  }
}

std::string UsbPlc::path() const { return std::to_string(impl_->o.bus) + "-" + impl_->o.ports; }

int UsbPlc::devnum() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->nodes.back()->devnum;
}

void UsbPlc::unplug() { impl_->remove(); }

void UsbPlc::plug() {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (impl_->current()->present) return;
    impl_->restarting = false;
    impl_->toHost.clear();
    impl_->plc.reconnected();
    impl_->driver = impl_->o.kernelDriver;
  }
  impl_->add();
}

std::vector<uint8_t> UsbPlc::flash() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->plc.flash();
}
plcsim::Mode UsbPlc::mode() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->plc.mode();
}
int UsbPlc::requests(plcsim::Kind kind) const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->plc.requests(kind);
}
int UsbPlc::restarts() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->restarts;
}
bool UsbPlc::claimed() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->claimer != nullptr;
}
bool UsbPlc::driverBound() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->driver;
}
int UsbPlc::driverDetaches() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->detaches;
}
long UsbPlc::reaps() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->reaps;
}
int UsbPlc::haltsCleared() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->haltsCleared;
}

}  // namespace usbplc
