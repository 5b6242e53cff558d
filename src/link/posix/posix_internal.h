// Pieces the POSIX link's files share: the monotonic clock and the libusb
// pipe to the PLC's USB device.
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <termios.h>

#include "link/link.h"
#include "link/portname.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace quarn {

inline int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Puts baud rate, data bits, parity and one stop bit into settings read from
// a port; everything else stays as read. A baud rate the link does not know
// leaves the speed as read.
void ApplyLine(termios& t, const LineSettings& line);

// The PLC's bulk pipe through libusb. Reads take one bulk packet at a time;
// the part of a packet that a read did not ask for waits in `rx` for the
// next read. The pipe keeps to one device across its restarts: once a device
// has opened, or a port path was given, only a device on that path opens.
class UsbPipe {
 public:
  void pin(const UsbPortPath& path) { pin_ = path; }
  const UsbPortPath& pinned() const { return pin_; }
  // The first present PLC device on the pinned path (before one is pinned:
  // on any path) that opens and can be claimed; its path is pinned.
  bool open();
  void close();
  bool isOpen() const { return dev_ != nullptr; }
  // Why the last open failed, as an errno value: EACCES a PLC was found
  // that the system would not let this user open, EBUSY one that another
  // program holds, ENODEV none; 0 after an open that succeeded.
  int openError() const { return openError_; }
  int write(const uint8_t* data, int n, uint32_t ms);
  int read(uint8_t* buf, int n, uint32_t ms);
  // The last transfer failed because the device is no longer there.
  bool gone() const { return gone_; }
  // Drops the part of a packet that a read left (what the device still
  // holds is not asked for: a bulk transfer per exchange would cost more
  // than the transfer itself).
  int discardInput();

 private:
  bool claim(libusb_device* device);
  // Another program holds a PLC (a refused access counts for more).
  void busy() {
    if (openError_ != EACCES) openError_ = EBUSY;
  }
  int takeBuffered(uint8_t* buf, int n);

  UsbPortPath pin_;
  int openError_ = 0;
  bool gone_ = false;
  libusb_context* ctx_ = nullptr;
  libusb_device_handle* dev_ = nullptr;
  int iface_ = -1;
  bool reattach_ = false;  // a kernel driver was detached from iface_
  uint8_t epIn_ = 0, epOut_ = 0;
  uint16_t inPacket_ = 64;  // wMaxPacketSize of epIn_, at most sizeof rx_
  uint8_t rx_[1024];
  size_t rxPos_ = 0, rxLen_ = 0;
};

}  // namespace quarn
