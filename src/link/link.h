// The link seam: the one way the core reaches a PLC. A serial port, the USB
// pipe, a pseudo-terminal or the in-process simulated PLC stand behind it.
#pragma once
#include <cstdint>
#include <string>

namespace quarn {

struct LineSettings {
  uint32_t baud;
  uint8_t dataBits;
  uint8_t parity;  // 0 none, 2 even (the Win32 DCB values)
  // Always one stop bit, DTR and RTS held inactive; everything else stays as
  // the port had it.
};

constexpr LineSettings kAppLine{9600, 7, 2};         // application mode: 9600 7E1
constexpr LineSettings kTransferLine{115200, 8, 0};  // after "UPDATE": 115200 8N1

// How long the line must stay quiet before a retry goes out after a failed
// read. Inside a reply the PLC leaves no pause: a character takes about 1 ms
// at 9600 baud (0.1 ms at 115200), a USB transfer 1 ms, and a busy PC adds
// some milliseconds of its own; 50 ms is well past all of them. Against the
// 3 s read time-out it is short: a failing exchange's six attempts grow by
// a few tenths of a second at most.
constexpr uint32_t kQuietMs = 50;

// Where a link reaches the PLC.
struct Endpoint {
  enum class Kind : uint8_t { SerialPort, UsbPlc };
  Kind kind;
  // SerialPort: the port's name (COM3, /dev/ttyUSB0). UsbPlc: where the PLC
  // is: "" the first found by its vendor and product ids; "usb:..." the one
  // at that place (usb:BUS-PORTS on Linux, usb: and a location path on
  // Windows); any other name a path opened as the PLC's pipe (a
  // pseudo-terminal or a USB-serial bridge standing in for it). Null is "".
  const char* name;
};

// Why the last open or transfer of a link failed, as the platform said it.
// An open sets it (kind None when it succeeds); a transfer only when the
// device went away. A time-out is no failure.
struct LinkError {
  enum class Kind : uint8_t { None, NoSuchPort, Permission, Busy, NotSerial, Gone, Other };
  Kind kind = Kind::None;
  // As quarn-burn says it: "no such port", "permission denied", "in use by
  // another program", "not a serial port", the system's words for any other
  // reason, or "" when the platform did not say.
  std::string words;
  int code = 0;  // the errno or GetLastError value; 0 when there was none
  // The place of the USB PLC the pipe keeps to ("usb:..."); "" before one
  // has opened whose place the system tells, and for a serial port.
  std::string usbPlace;
};

class Link {
 public:
  virtual ~Link() = default;
  // Opens the link to the endpoint. false leaves the link invalid: writes
  // and reads then count 0, and error() says why.
  virtual bool open(const Endpoint& where) = 0;
  virtual void close() = 0;
  // Returns the count written (0 on failure).
  virtual int write(const uint8_t* data, int n) = 0;
  // Returns as soon as n bytes have arrived, or when the read time-out has
  // run out, with what arrived by then (0 to n).
  virtual int read(uint8_t* buf, int n) = 0;
  // Throws input away and returns how many bytes that was (as far as the
  // link can tell: at least 1 when anything was waiting).
  // With quietMs 0, what has arrived and not been read goes, at once, and
  // the time-out stays as it was: a byte waiting before a request goes out
  // answers nothing the host can pair with a request.
  // Otherwise whatever the line brings is read and thrown away until it has
  // been quiet for quietMs, then the read time-out is set to timeoutMs; the
  // first `keep` bytes are copied to `kept` for the caller to look at. A
  // line that never falls quiet is given up on after 32 reads (about 2 KiB
  // or 32 quiet periods).
  virtual int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                         int keep = 0) = 0;
  // Read and write time-outs, in milliseconds.
  virtual void setTimeouts(uint32_t ms) = 0;
  // Line settings; a no-op on a USB pipe.
  virtual void setLine(const LineSettings& line) = 0;
  // Why the last open or transfer failed.
  virtual const LinkError& error() const = 0;

 protected:
  // drainInput's wait for a quiet line, through setTimeouts and read.
  int drainUntilQuiet(uint32_t quietMs, uint32_t timeoutMs, uint8_t* kept, int keep) {
    uint8_t scrap[64];
    int total = 0;
    setTimeouts(quietMs);
    for (int i = 0; i < 32; ++i) {
      const int n = read(scrap, sizeof scrap);
      if (n <= 0) break;
      for (int k = 0; k < n && total + k < keep; ++k) kept[total + k] = scrap[k];
      total += n;
    }
    setTimeouts(timeoutMs);
    return total;
  }
};

}  // namespace quarn
