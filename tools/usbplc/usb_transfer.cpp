// The emulated USB PLC's bulk transfers: the URBs the host submits and
// reaps, the PLC's replies handed to parked IN URBs, and the device node's
// readiness, which tells the host when a URB can be reaped.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "usb_plc_impl.h"

namespace usbplc {

void UsbPlc::Impl::submit(Node& n, UMockdevIoctlClient* client) {
  GError* err = nullptr;
  UMockdevIoctlData* urb = Arg(client, sizeof(usbdevfs_urb));
  if (urb == nullptr) return Complete(client, -1, EFAULT);
  const auto* k = reinterpret_cast<const usbdevfs_urb*>(urb->data);
  const bool in = (k->endpoint & 0x80) != 0;
  if (k->type != USBDEVFS_URB_TYPE_BULK || (k->endpoint & 0x7F) != 1 || k->buffer_length < 0) {
    g_object_unref(urb);
    return Complete(client, -1, EINVAL);
  }
  UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(urb, offsetof(usbdevfs_urb, buffer),
                                                       static_cast<size_t>(k->buffer_length), &err);
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

void UsbPlc::Impl::reap(Node& n, UMockdevIoctlClient* client) {
  ++reaps;
  const auto now = Clock::now();
  auto it = std::find_if(urbs.begin(), urbs.end(),
                         [&](const Urb& u) { return u.node == &n && u.done && u.readyAt <= now; });
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

// The transfer is over; the host may reap it once the bus has carried it.
void UsbPlc::Impl::finish(Urb& u, int status, int actual) {
  u.done = true;
  u.status = status;
  u.actual = actual;
  u.readyAt = Clock::now() + std::chrono::microseconds(o.transferUs);
  wake.notify_all();
}

// The first parked IN URB takes what the PLC has said, one packet at most.
// While the IN endpoint is halted, every IN URB ends in a stall.
void UsbPlc::Impl::deliver(Clock::time_point now) {
  for (Urb& u : urbs)
    if (halted && u.in && !u.done) finish(u, -EPIPE, 0);
  if (toHost.empty() || now < toHostAt || restarting) return;
  for (Urb& u : urbs) {
    if (!u.in || u.done || u.node != current()) continue;
    const size_t k = std::min(
        {toHost.size(), static_cast<size_t>(u.buf->data_len), static_cast<size_t>(o.packetBytes)});
    std::memcpy(u.buf->data, toHost.data(), k);
    toHost.erase(toHost.begin(), toHost.begin() + static_cast<std::ptrdiff_t>(k));
    finish(u, 0, static_cast<int>(k));
    return;
  }
}

// The node polls ready (for libusb: POLLOUT) only while a URB can be
// reaped, or when the device is gone. A FIFO of one page is full, and so
// not writable, while it holds a byte.
void UsbPlc::Impl::showReady(Node& n) {
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

}  // namespace usbplc
