// What quarn-burn needs from the operating system: the link and the ports
// present, the operator's interrupts, an append-only record file, SHA-256,
// and waiting for Enter. One implementation per platform
// (platform_posix.cpp, platform_win32.cpp).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/portname.h"
#include "sign/signature.h"

namespace quarn::cli {

// The platform's link. pipePath: where a USB-attached model's pipe is opened
// ("": the device found by its ids).
std::unique_ptr<Link> MakeLink(const std::string& pipePath);
// The serial ports present with what the system knows of them, and the USB
// PLCs by port path (usb:BUS-PORTS).
std::vector<PortInfo> PresentSerialPorts();
std::vector<std::string> PresentUsbPlcs();
// Why a USB port path cannot be given on this platform; null where it can.
const char* UsbPortRefusal();
// Of a link MakeLink made: whether a USB PLC was there that this user may
// not open, and the USB port path its pipe kept to ("" where none is known).
bool UsbAccessDenied(const Link& link);
std::string UsbPortOf(const Link& link);
// What to do about a USB PLC this user may not open: a line, or "".
const char* UsbAccessHint();
// Why the link's last open failed ("permission denied", "in use by another
// program", "no such port", "not a serial port"), or "" when it did not or
// the system did not say; and what to do about a serial port this user may
// not open ("" where nothing is known to help).
std::string OpenFailure(const Link& link);
const char* SerialAccessHint();
bool IsTerminal(FILE* f);

// From now on, SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on
// Windows) call onInterrupt(n) for the n-th of them, on a thread of its own;
// the process is not ended by them, nor by SIGPIPE (a write to a closed
// output fails instead). An interrupt the process was started to ignore
// stays ignored. Call once, before any other thread starts.
void WatchInterrupts(void (*onInterrupt)(int n));

// A file that is only ever appended to, one whole record per write.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens (creating it if need be) for appending; "" or what went wrong.
  std::string open(const std::string& path);
  // Appends line with a single write at the file's end, where no other
  // writer's record can come between its bytes, and flushes it to the disk.
  // "" or what went wrong; then whatever part of line reached the file has
  // been cut off again (or the text says it could not be).
  std::string append(const std::string& line);

 private:
  intptr_t h_ = -1;  // file descriptor, or HANDLE
};

// Where trusted public keys are kept: on Linux /usr/share/quarn-burn/keys
// (the package's) and /etc/quarn-burn/keys (the site's); on Windows the
// folder keys beside the program and %ProgramData%\Quarn\keys.
std::vector<std::string> KeyDirectories();

// SHA-256 from the platform's own library (sign/libcrypto.cpp, sign/bcrypt.cpp).
using quarn::Sha256;

// Waits until the operator presses Enter (or input ends, or stop is set).
void WaitForEnter(const std::atomic<bool>& stop);

// Whether stderr is a terminal that takes cursor movements (ANSI escape
// sequences), and its size in columns and rows.
bool TerminalSize(int& columns, int& rows);

}  // namespace quarn::cli
