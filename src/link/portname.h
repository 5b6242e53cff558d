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

// Cuts the port name out of a device's friendly name: it starts after the "("
// of the first "(COM" and ends before the ")" that closes it, so
// "USB Serial Port (COM12)" gives "COM12". A name without "(COM", without a
// ")" after it, or whose port part would not fit in `port` with its
// terminator, is refused (false) and `port` is left as an empty string.
bool CutPortName(std::string_view friendlyName, char (&port)[kPortNameSize]);

// Whether a device path is the PLC's: it contains kUsbHardwareKey.
bool HasUsbHardwareKey(std::string_view devicePath);

// out = devicePath + "\" + pipeName, refused (false, out empty) when it
// does not fit in MAXPATH with its terminator.
bool ComposePipePath(std::string_view devicePath, std::string_view pipeName,
                     char (&out)[MAXPATH]);

// What enumerating the device interface at one index gave.
enum class UsbEnum { Ok, NoMoreItems, OtherError };

// The first-match search over the present USB device interfaces.
// enumerate(i, path) reports the interface at index i and, on Ok, its device
// path ("" when its path could not be read). open(path) tries to open a
// matching interface and keeps what it opened. The search walks i = 0, 1, ...
// until an interface with the key opens (true; devName holds its path), the
// enumeration reports NoMoreItems or the index bound is reached (false). When
// the device set could not be obtained (setObtained false) nothing is walked.
using UsbEnumerate = std::function<UsbEnum(uint32_t index, std::string& path)>;
using UsbOpen = std::function<bool(const char* path)>;
bool FindUsbDevice(bool setObtained, const UsbEnumerate& enumerate, const UsbOpen& open,
                   char (&devName)[MAXPATH]);

}  // namespace quarn
