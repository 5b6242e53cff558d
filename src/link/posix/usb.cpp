// The PLC's USB pipe through libusb: the first present device with the PLC's
// vendor and product ids that opens, on the port path the session keeps to;
// its first interface with a bulk IN and a bulk OUT endpoint; transfers
// bounded by the link time-out.
#include <libusb.h>

#include <algorithm>
#include <string>
#include <cstring>
#include <vector>

#include "link/posix/posix_internal.h"
#include "link/posix/posix_link.h"

namespace quarn {

int FirstPlcDevice(const std::vector<UsbIds>& devices, const UsbPortPath& pin,
                   const std::function<bool(size_t)>& tryOpen) {
  for (size_t i = 0; i < devices.size(); ++i) {
    const UsbIds& d = devices[i];
    if (d.vendor == kPlcVendor && d.product == kPlcProduct && (pin.depth == 0 || d.path == pin) &&
        tryOpen(i))
      return static_cast<int>(i);
  }
  return -1;
}

namespace {

UsbPortPath PathOf(libusb_device* device) {
  uint8_t ports[kMaxUsbPorts] = {};
  int n = libusb_get_port_numbers(device, ports, static_cast<int>(kMaxUsbPorts));
  if (n <= 0 || n > static_cast<int>(kMaxUsbPorts)) return UsbPortPath{};
  // libusb fills the array from its end and moves the numbers to the front,
  // leaving the tail as it was: only the first n count.
  UsbPortPath p;
  p.bus = libusb_get_bus_number(device);
  p.depth = static_cast<uint8_t>(n);
  std::copy(ports, ports + n, p.ports);
  return p;
}

// The present devices, each with its ids and port path; false when libusb
// cannot list them.
bool Devices(libusb_context* ctx, libusb_device**& list, std::vector<UsbIds>& ids) {
  ssize_t count = libusb_get_device_list(ctx, &list);
  if (count < 0) return false;
  ids.assign(static_cast<size_t>(count), UsbIds{0, 0});
  for (size_t i = 0; i < ids.size(); ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) == 0)
      ids[i] = {d.idVendor, d.idProduct, PathOf(list[i])};
  }
  return true;
}

}  // namespace

bool UsbPipe::open() {
  close();
  openError_ = 0;
  if (libusb_init(&ctx_) != 0) {
    ctx_ = nullptr;
    openError_ = ENODEV;
    return false;
  }
  libusb_device** list = nullptr;
  std::vector<UsbIds> ids;
  if (Devices(ctx_, list, ids)) {
    int i = FirstPlcDevice(ids, pin_, [&](size_t k) { return claim(list[k]); });
    // From now on the session keeps to this device's path. A device whose
    // path libusb cannot tell (no sysfs) leaves the search as it was.
    if (i >= 0 && pin_.depth == 0) pin_ = ids[static_cast<size_t>(i)].path;
    libusb_free_device_list(list, 1);
  }
  if (dev_ == nullptr) close();
  if (dev_ != nullptr)
    openError_ = 0;
  else if (openError_ == 0)
    openError_ = ENODEV;
  return dev_ != nullptr;
}

std::vector<std::string> ListUsbPlcs() {
  std::vector<UsbPortPath> paths;
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return {};
  libusb_device** list = nullptr;
  std::vector<UsbIds> ids;
  if (Devices(ctx, list, ids)) {
    for (const UsbIds& d : ids)
      if (d.vendor == kPlcVendor && d.product == kPlcProduct && d.path.depth > 0)
        paths.push_back(d.path);
    libusb_free_device_list(list, 1);
  }
  libusb_exit(ctx);
  std::sort(paths.begin(), paths.end(), [](const UsbPortPath& a, const UsbPortPath& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    return std::lexicographical_compare(a.ports, a.ports + a.depth, b.ports, b.ports + b.depth);
  });
  std::vector<std::string> names;
  for (const UsbPortPath& p : paths) names.push_back(FormatUsbPort(p));
  return names;
}

// Opens one device and claims its first interface setting that has a bulk
// endpoint each way.
bool UsbPipe::claim(libusb_device* device) {
  libusb_device_handle* h = nullptr;
  int rc = libusb_open(device, &h);
  if (rc == LIBUSB_ERROR_ACCESS) openError_ = EACCES;
  if (rc == LIBUSB_ERROR_BUSY) busy();
  if (rc != 0) return false;
  libusb_config_descriptor* cfg = nullptr;
  if (libusb_get_active_config_descriptor(device, &cfg) != 0) {
    libusb_close(h);
    return false;
  }
  int iface = -1, alt = 0;
  uint8_t in = 0, out = 0;
  uint16_t inPacket = 0;
  for (int i = 0; iface < 0 && i < cfg->bNumInterfaces; ++i) {
    const libusb_interface& itf = cfg->interface[i];
    for (int a = 0; iface < 0 && a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& s = itf.altsetting[a];
      in = out = 0;
      for (int e = 0; e < s.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = s.endpoint[e];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
          if (in == 0) {
            in = ep.bEndpointAddress;
            inPacket = ep.wMaxPacketSize & 0x7FF;
          }
        } else if (out == 0) {
          out = ep.bEndpointAddress;
        }
      }
      if (in != 0 && out != 0) {
        iface = s.bInterfaceNumber;
        alt = s.bAlternateSetting;
      }
    }
  }
  libusb_free_config_descriptor(cfg);
  bool detached = false;
  bool ok = iface >= 0;
  if (ok && libusb_kernel_driver_active(h, iface) == 1) {
    ok = libusb_detach_kernel_driver(h, iface) == 0;
    detached = ok;
  }
  rc = ok ? libusb_claim_interface(h, iface) : LIBUSB_ERROR_NOT_FOUND;
  if (rc == LIBUSB_ERROR_BUSY) busy();
  bool claimed = rc == 0;
  ok = claimed && (alt == 0 || libusb_set_interface_alt_setting(h, iface, alt) == 0);
  if (!ok) {
    if (claimed) libusb_release_interface(h, iface);
    if (detached) libusb_attach_kernel_driver(h, iface);
    libusb_close(h);
    return false;
  }
  dev_ = h;
  iface_ = iface;
  reattach_ = detached;
  epIn_ = in;
  epOut_ = out;
  inPacket_ = static_cast<uint16_t>(std::clamp<int>(inPacket == 0 ? 64 : inPacket, 1, sizeof rx_));
  rxPos_ = rxLen_ = 0;
  return true;
}

void UsbPipe::close() {
  if (dev_ != nullptr) {
    libusb_release_interface(dev_, iface_);
    if (reattach_) libusb_attach_kernel_driver(dev_, iface_);
    libusb_close(dev_);
    dev_ = nullptr;
  }
  if (ctx_ != nullptr) {
    libusb_exit(ctx_);
    ctx_ = nullptr;
  }
  iface_ = -1;
  gone_ = false;
  reattach_ = false;
  rxPos_ = rxLen_ = 0;
}

int UsbPipe::write(const uint8_t* data, int n, uint32_t ms) {
  if (dev_ == nullptr) return 0;
  // libusb splits the transfer into packets; a time-out of 0 would mean "no
  // limit" to it.
  int done = 0;
  int rc = libusb_bulk_transfer(dev_, epOut_, const_cast<uint8_t*>(data), n, &done,
                                std::max<uint32_t>(ms, 1));
  // A halted endpoint fails every transfer until the host clears it: cleared
  // once here, the exchange's retry gets through.
  if (rc == LIBUSB_ERROR_PIPE) libusb_clear_halt(dev_, epOut_);
  gone_ = rc == LIBUSB_ERROR_NO_DEVICE;
  return std::clamp(done, 0, n);
}

int UsbPipe::takeBuffered(uint8_t* buf, int n) {
  size_t k = std::min(static_cast<size_t>(n), rxLen_ - rxPos_);
  std::memcpy(buf, rx_ + rxPos_, k);
  rxPos_ += k;
  return static_cast<int>(k);
}

int UsbPipe::read(uint8_t* buf, int n, uint32_t ms) {
  if (dev_ == nullptr) return 0;
  int got = takeBuffered(buf, n);
  int64_t deadline = NowMs() + ms;
  gone_ = false;
  while (got < n) {
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    // One packet per transfer, so that a read ends as soon as its bytes are in.
    int len = 0;
    int rc = libusb_bulk_transfer(dev_, epIn_, rx_, inPacket_, &len,
                                  static_cast<unsigned>(std::min<int64_t>(left, 0x7FFFFFFF)));
    rxPos_ = 0;
    rxLen_ = static_cast<size_t>(std::clamp<int>(len, 0, inPacket_));
    got += takeBuffered(buf + got, n - got);
    if (rc == LIBUSB_ERROR_PIPE) libusb_clear_halt(dev_, epIn_);  // as in write
    gone_ = rc == LIBUSB_ERROR_NO_DEVICE;
    if (rc != 0) break;  // time-out or a fault: what arrived is the answer
  }
  return got;
}

int UsbPipe::discardInput() {
  const int waiting = static_cast<int>(rxLen_ - rxPos_);
  rxPos_ = rxLen_ = 0;
  return waiting;
}

}  // namespace quarn
