// An emulated USB PLC for the Linux tests: umockdev shows libusb a device
// 0e5a:0001 (one configuration, one interface, a bulk OUT and a bulk IN
// endpoint of 64-byte packets) whose URBs the simulated PLC serves. Clients
// run under libumockdev-preload.so.0 with the testbed's environment; their
// ioctls reach the handlers in the process that owns the testbed.
//
// The PLC restarts as a real one does: once it has taken the enter-update
// request it ignores the pipe; when the host has released and closed the
// device, the device leaves the bus and comes back under a new device number,
// in its bootloader.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plcsim.h"

namespace usbplc {

// Runs this program again under umockdev's preload (after the sanitizer
// runtime, when there is one) unless it already runs under it. Call it first
// thing in main: the testbed's own udev events need the preload, and so do
// libusb in this process and every child it starts.
void RunUnderPreload(char** argv);

// One umockdev testbed. Create it before the first libusb_init of the
// process that uses it, and end every libusb context before it goes.
class Testbed {
 public:
  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  // Puts a hub at sysfs name BUS-PORTS ("1-2"), for devices behind it.
  void addHub(int bus, const std::string& ports);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend class UsbPlc;
};

struct Options {
  plcsim::Config plc;
  int bus = 1;
  std::string ports = "1";    // chain of port numbers: "1", "2.3" (its hub must exist)
  bool fifoNode = true;       // the node polls ready only while a URB can be reaped
  bool kernelDriver = false;  // a kernel driver binds to the interface at each enumeration
  bool foreignNode = false;   // the node is another user's (mode 0600): only a process
                              // that may override file permissions opens it
  unsigned packetBytes = 64;  // the most bytes one IN transfer carries
  unsigned replyDelayMs = 0;  // the PLC's replies become readable this long after the request
  // The PLC's reply to its stallAt-th request of kind stallKind (from 1) is
  // lost: the IN endpoint halts instead, and every IN transfer ends in a
  // stall until the host clears the halt. 0: never.
  int stallAt = 0;
  plcsim::Kind stallKind = plcsim::Kind::Block;
  // Paced like a real PLC on a full-speed bus: every transfer takes this
  // long (one frame, 1000 us), and the PLC takes its own times (plc.times)
  // to erase, program and restart. 0: at memory speed.
  unsigned transferUs = 0;
};

class UsbPlc {
 public:
  UsbPlc(Testbed& testbed, const Options& options);
  ~UsbPlc();
  UsbPlc(const UsbPlc&) = delete;
  UsbPlc& operator=(const UsbPlc&) = delete;

  std::string path() const;  // "1-2.3": where it is plugged, or was last
  int devnum() const;        // the current device number

  // The cable pulled: the device leaves the bus (a udev "remove"), parked
  // URBs end with ESHUTDOWN, later ioctls with ENODEV. A PLC restarting into
  // its bootloader stays off the bus. No effect while unplugged.
  void unplug();
  // The cable plugged back in, at the same place or (ports given, as in
  // Options; its hub must exist) at another: the PLC powers up again (a
  // PLC that had taken the enter-update request is in its bootloader) and
  // the device comes back under a new device number (a udev "add"). No
  // effect unless unplugged.
  void plug(const std::string& ports = "");

  // Snapshots, taken under the device's lock.
  std::vector<uint8_t> flash() const;
  plcsim::Mode mode() const;
  int requests(plcsim::Kind kind) const;
  int restarts() const;  // re-enumerations after the enter-update request
  bool claimed() const;
  bool driverBound() const;
  int driverDetaches() const;
  long reaps() const;        // REAPURBNDELAY calls served
  int haltsCleared() const;  // CLEAR_HALT requests for the IN endpoint

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace usbplc
