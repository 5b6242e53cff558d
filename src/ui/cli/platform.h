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

// The platform's link.
std::unique_ptr<Link> MakeLink();
// The serial ports present with what the system knows of them, and the USB
// PLCs by port path (usb:BUS-PORTS).
std::vector<PortInfo> PresentSerialPorts();
std::vector<std::string> PresentUsbPlcs();
// What to do about a USB PLC this user may not open: a line, or null where
// nothing is known to help (then the refusal is said as any other).
const char* UsbAccessHint();
// What to do about a serial port this user may not open ("" where nothing
// is known to help).
const char* SerialAccessHint();
bool IsTerminal(FILE* f);
// Whether f takes a write now: false for a terminal stopped with Ctrl-S, or
// a pipe whose reader is behind (always true where the system cannot tell).
bool Writable(FILE* f);

// Reads the regular file at path, at most limit bytes of it, into bytes:
// a directory, a device or a FIFO is refused without being opened (nor
// waited on). size: what the file holds as the system says it. Returns why
// it cannot be read, or "".
std::string ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
                            uint64_t& size);
// Whether two names reach one file, through links too; a name of no file
// yet is the file it would be created as. Devices (a terminal, /dev/null)
// are never one file with anything: nothing the tool reads is clobbered there.
bool SameFile(const std::string& a, const std::string& b);
// Opens path to write the trace, created or emptied; a FIFO is opened
// without waiting for a reader (and refused when it has none). regular:
// whether it is a regular file. Null with why when it does not open.
FILE* OpenTraceFile(const std::string& path, bool& regular, std::string& why);

// From now on, SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on
// Windows) call onInterrupt(n) for the n-th of them, on a thread of its own;
// the process is not ended by them, nor by SIGPIPE (a write to a closed
// output fails instead) or SIGXFSZ (a write past the file-size limit fails
// with EFBIG). An interrupt the process was started to ignore stays
// ignored. On Windows, the console window's closing, a logoff and a
// shutdown, after which Windows ends the process within seconds, call
// onEnd(ms, why) on a thread of their own: the process may go on for ms
// more, why says what ends it, and it ends when onEnd returns. Call once,
// before any other thread starts.
void WatchInterrupts(void (*onInterrupt)(int n), void (*onEnd)(uint32_t ms, const char* why));

// A file that is only ever appended to, one whole record per write.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens (creating it if need be) for appending; "" or what went wrong. A
  // FIFO is refused; a terminal takes the record only if it can at once.
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
