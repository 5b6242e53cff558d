// The emulated USB PLC on the bus: its enumerations (a device number, a
// node and a handler each), its serving thread, its restart into the
// bootloader, the cable plugged and pulled, and what the tests see.
#include "usb_plc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "usb_plc_impl.h"

namespace usbplc {

// The host's closes of the node: each descriptor is one client of
// umockdev, connected from its open to its close.
void UsbPlc::Impl::dropClosed(Node& n) {
  std::erase_if(n.clients, [&](UMockdevIoctlClient* c) {
    if (umockdev_ioctl_client_get_connected(c)) return false;
    g_object_unref(c);
    TRACE("%03d: closed (%zu open)\n", n.devnum, n.clients.size() - 1);
    return true;
  });
}

void UsbPlc::Impl::serve() {
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

// The PLC restarts into its bootloader: off the bus, then back under a new
// number, unless the cable was pulled meanwhile (it comes back when plugged).
void UsbPlc::Impl::reenumerate() {
  TRACE("re-enumerating\n");
  remove();
  // The PLC's reset and its bootloader's start (plc.times when paced).
  std::this_thread::sleep_for(
      std::chrono::microseconds(o.transferUs ? o.plc.times.restartUs : 200000));
  {
    std::lock_guard<std::mutex> lock(m);
    if (!restarting) return;  // plugged back meanwhile: that was its restart
    powerUp();
    ++restarts;
    if (cableOut) return;
  }
  add();
}

// The PLC starts again: what was on the wire is gone.
void UsbPlc::Impl::powerUp() {
  restarting = false;
  toHost.clear();
  plc.reconnected();
  driver = o.kernelDriver;
}

void UsbPlc::Impl::add() {
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

void UsbPlc::Impl::remove() {
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

std::string UsbPlc::path() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return std::to_string(impl_->o.bus) + "-" + impl_->o.ports;
}

int UsbPlc::devnum() const {
  std::lock_guard<std::mutex> lock(impl_->m);
  return impl_->nodes.back()->devnum;
}

void UsbPlc::unplug() {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->cableOut = true;
  }
  impl_->remove();
}

void UsbPlc::plug(const std::string& ports) {
  {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->cableOut) return;
    impl_->cableOut = false;
    if (!ports.empty()) impl_->o.ports = ports;
    impl_->powerUp();
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
