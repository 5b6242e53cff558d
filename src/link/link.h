// The link seam: the one way the core reaches a PLC. A serial port, the USB
// pipe, a pseudo-terminal or the in-process simulated PLC stand behind it.
#pragma once
#include <cstdint>

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

class Link {
 public:
  virtual ~Link() = default;
  // Opens the USB pipe of the PLC (usbPipe) or the serial port named
  // portName. false leaves the link invalid: writes and reads then count 0.
  virtual bool open(bool usbPipe, const char* portName) = 0;
  virtual void close() = 0;
  // Returns the count written (0 on failure).
  virtual int write(const uint8_t* data, int n) = 0;
  // Returns as soon as n bytes have arrived, or when the read time-out has
  // run out, with what arrived by then (0 to n).
  virtual int read(uint8_t* buf, int n) = 0;
  // Throws away what has arrived and not been read, and returns how many
  // bytes that was (as far as the link can tell: at least 1 when anything
  // was waiting). A byte waiting before a request goes out answers nothing
  // the host can pair with a request.
  virtual int discardInput() = 0;
  // Reads and throws away whatever the line brings until it has been quiet
  // for quietMs, then sets the read time-out to timeoutMs. Returns how many
  // bytes came; the first `keep` of them are copied to `kept` for the caller
  // to look at. A line that never falls quiet is given up on after 32 reads
  // (about 2 KiB or 32 quiet periods).
  virtual int drainInput(uint32_t quietMs, uint32_t timeoutMs, uint8_t* kept, int keep) {
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
  // Read and write time-outs, in milliseconds.
  virtual void setTimeouts(uint32_t ms) = 0;
  // Line settings; a no-op on a USB pipe.
  virtual void setLine(const LineSettings& line) = 0;
};

}  // namespace quarn
