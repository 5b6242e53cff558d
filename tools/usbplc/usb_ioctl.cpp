// The emulated USB PLC's ioctls, on umockdev's thread: the host's opens,
// the device's capabilities, its kernel driver, the interface's claim and
// the endpoints' halts. The bulk transfers' URBs are in usb_transfer.cpp.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "usb_plc_impl.h"

namespace usbplc {

gboolean UsbPlc::Impl::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
  Node* n = static_cast<Node*>(node);
  n->dev->ioctl(*n, client);
  return TRUE;
}

void UsbPlc::Impl::OnOpen(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
  Node* n = static_cast<Node*>(node);
  std::lock_guard<std::mutex> lock(n->dev->m);
  n->clients.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
  TRACE("%03d: opened (%zu open)\n", n->devnum, n->clients.size());
}

void UsbPlc::Impl::Complete(UMockdevIoctlClient* client, long result, int err) {
  umockdev_ioctl_client_complete(client, result, err);
}

// The ioctl's argument, read from the client: `size` bytes at its pointer.
UMockdevIoctlData* UsbPlc::Impl::Arg(UMockdevIoctlClient* client, size_t size) {
  GError* err = nullptr;
  UMockdevIoctlData* d =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &err);
  g_clear_error(&err);
  return d;
}

// The ioctl's argument as one number (an interface, an endpoint).
bool UsbPlc::Impl::ArgNumber(UMockdevIoctlClient* client, unsigned& v) {
  UMockdevIoctlData* d = Arg(client, sizeof v);
  if (d == nullptr) return false;
  std::memcpy(&v, d->data, sizeof v);
  g_object_unref(d);
  return true;
}

void UsbPlc::Impl::ioctl(Node& n, UMockdevIoctlClient* client) {
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
        if (driver || (claimer != nullptr && claimer != client)) return Complete(client, -1, EBUSY);
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

}  // namespace usbplc
