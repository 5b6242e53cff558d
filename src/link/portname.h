// Port names and the PLC's USB device path: the text handling of port
// discovery and pipe resolution, kept free of any platform header. Every
// name handled here comes from the operating system and is treated as
// untrusted: nothing is copied past its buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quarn {

constexpr size_t kPortNameSize = 10;        // "COM" and a number: 9 characters and the terminator
constexpr size_t kFriendlyNameSize = 1024;  // a device's friendly name as read
constexpr size_t MAXPATH = 300;             // the USB device path with "\" and the pipe name

// The PLC's USB interface carries this in its device path (exact case).
constexpr char kUsbHardwareKey[] = "vid_0e5a&pid_0001";

// A serial port present and what the system knows of it. Every text comes
// from the system (untrusted), each at most kMaxAttribute bytes.
constexpr size_t kMaxAttribute = 256;
struct PortInfo {
  std::string name;               // as the operator types it: /dev/ttyUSB0, COM3
  bool usbAdapter = false;        // a USB serial adapter or modem (ttyUSB, ttyACM; a USB device)
  int vendor = -1, product = -1;  // its USB ids; -1 unknown
  std::string manufacturer, productName, serial;
  std::string byId;      // Linux: its /dev/serial/by-id name
  std::string friendly;  // Windows: its friendly name
  bool console = false;  // Linux: an active system console (taken only when named)
};

// Cuts the port name out of a device's friendly name: it starts after the "("
// of the first "(COM" and ends before the ")" that closes it, so
// "USB Serial Port (COM12)" gives "COM12". A name without "(COM", without a
// ")" after it, or whose port part would not fit in `port` with its
// terminator, is refused (false) and `port` is left as an empty string.
bool CutPortName(std::string_view friendlyName, char (&port)[kPortNameSize]);

// Copies one interface's device path into sDevNameBuf (every interface,
// matching or not) and tells whether it is the PLC's: its path contains
// kUsbHardwareKey. A path that does not fit in MAXPATH with its terminator is
// refused rather than cut: sDevNameBuf is left empty and the result is false.
bool TakeDevicePath(std::string_view devicePath, char (&sDevNameBuf)[MAXPATH]);

// out = devicePath + "\" + pipeName, refused (false, out empty) when it
// does not fit in MAXPATH with its terminator.
bool ComposePipePath(std::string_view devicePath, std::string_view pipeName, char (&out)[MAXPATH]);

// Linux: the port family of a device node's name ("ttyUSB" for "ttyUSB0"):
// one of ttyUSB, ttyACM, ttyAMA, ttyS, rfcomm followed by decimal digits
// only, the whole name at most kMaxDeviceName characters. Empty when the name
// is not a serial port's.
constexpr size_t kMaxDeviceName = 32;
std::string_view SerialPortFamily(std::string_view deviceName);

// Linux: a small sysfs attribute's text ("4\n", "0x10") as a number, as
// strtol reads it with base 0; -1 when it starts with no number or is longer
// than an attribute of ours can be.
long SysfsNumber(std::string_view text);

// What trying the USB device interface at one index gave.
enum class UsbStep { NoMoreItems, OtherError, NoMatch, Opened };

// The first-match search over the present USB device interfaces: step(i) for
// i = 0, 1, ... below nGuessCount until one reports Opened (true) or
// NoMoreItems (false, as is running out of indices); OtherError and NoMatch go
// on with the next index. When the device set could not be obtained
// (setObtained false) nothing is walked.
bool WalkUsbInterfaces(bool setObtained, const std::function<UsbStep(uint32_t iDevIndex)>& step);

// A USB device's physical place: its bus and the chain of hub port numbers
// from the root hub down, written "usb:1-2.3" (bus 1, port 2 of the root hub,
// port 3 of the hub there). It survives the device's re-enumeration; a
// device number does not.
constexpr size_t kMaxUsbPorts = 7;  // USB has at most 7 tiers
struct UsbPortPath {
  uint8_t bus = 0;
  uint8_t depth = 0;  // ports in use; 0: no path known
  uint8_t ports[kMaxUsbPorts] = {};
  bool operator==(const UsbPortPath&) const = default;
};

// True when text starts with "usb:", the prefix of a USB port path.
bool IsUsbPortName(std::string_view text);
// Reads "usb:BUS-P1.P2...": decimal numbers 1 to 255 without leading zeros,
// 1 to kMaxUsbPorts ports, nothing else. false (out unchanged) otherwise.
bool ParseUsbPort(std::string_view text, UsbPortPath& out);
// "usb:BUS-P1.P2..."; "" for a path with no ports.
std::string FormatUsbPort(const UsbPortPath& path);

// Windows: a USB device's name, from its place as the device set-up interface
// tells it. The first of its SPDRP_LOCATION_PATHS,
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)" (the host controller's place,
// its root hub, the hub ports down to the device), is kept whole:
// "usb:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", so that PLCs at the same
// port numbers of two controllers have two names. It is refused ("") unless it
// is made of NAME(ARG) parts (letters, digits and "_") joined by "#", with at
// least one part before USBROOT(R) and 1 to kMaxUsbPorts USB(P) parts after
// it and nothing else, R and P numbers up to 255 (P from 1), and its name has
// at most kMaxUsbPortName characters. Where there is no location path,
// SPDRP_LOCATION_INFORMATION's "Port_#0003.Hub_#0002" gives "usb:2-3" (hub 2,
// port 3); numbers above 255 and any other text are refused ("").
constexpr size_t kMaxUsbPortName = 127;  // a session's port name with its terminator fits 128
std::string UsbNameFromLocationPaths(std::string_view text);
std::string UsbNameFromLocationInfo(std::string_view text);

// Whether text is a USB port name in one of the forms above: "usb:BUS-PORTS"
// (ParseUsbPort), or "usb:" and a location path.
bool IsUsbPortPath(std::string_view text);

}  // namespace quarn
