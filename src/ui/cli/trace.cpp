// The protocol trace and the link that writes it.
#include "ui/cli/trace.h"

#include <cerrno>
#include <cstring>

#include "ui/cli/cli.h"
#include "ui/cli/files.h"

namespace quarn::cli {

Trace::~Trace() { close(); }

std::string Trace::open(const std::string& path) {
  start_ = std::chrono::steady_clock::now();
  if (path.empty()) return "";
  path_ = path;
  std::string why;
  f_ = path == "-" ? stderr : OpenTraceFile(path, regular_, why);
  if (!f_) return "cannot open the trace file '" + Printable(path) + "' (" + why + ")";
  on_ = true;
  // A whole session's lines in few writes.
  if (f_ != stderr) std::setvbuf(f_, nullptr, _IOFBF, size_t{1} << 16);
  writer_ = std::thread([this] { write(); });
  return "";
}

void Trace::line(const std::string& label, const std::string& event) {
  if (!on_) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  char time[32];
  std::snprintf(time, sizeof time, "%10.3f ", ms);
  const std::string text = time + label + event + "\n";
  std::lock_guard<std::mutex> lock(lock_);
  if (closing_) return;
  if (kept_.size() + text.size() > kKept) {
    ++dropped_;
    return;
  }
  kept_ += text;
  if (kept_.size() >= size_t{1} << 16) wake_.notify_one();
}

void Trace::flush() {
  std::lock_guard<std::mutex> lock(lock_);
  asked_ = true;
  wake_.notify_one();
}

// The writer: what is kept goes out every 100 ms, when asked, or at 64 KiB,
// written and flushed without the lock held.
void Trace::write() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(100),
                   [this] { return asked_ || closing_ || kept_.size() >= size_t{1} << 16; });
    const bool last = closing_;
    std::string out;
    out.swap(kept_);
    asked_ = false;
    if (!out.empty()) {
      lock.unlock();
      errno = 0;
      const bool ok =
          std::fwrite(out.data(), 1, out.size(), f_) == out.size() && std::fflush(f_) == 0;
      const int err = errno;
      lock.lock();
      if (!ok && failure_.empty()) failure_ = err ? std::strerror(err) : "a write failed";
    }
    if (last) return;
  }
}

std::string Trace::close() {
  if (!f_) return "";
  {
    std::lock_guard<std::mutex> lock(lock_);
    closing_ = true;
    wake_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  if (f_ != stderr) {
    errno = 0;
    if (std::fclose(f_) != 0 && failure_.empty())
      failure_ = errno ? std::strerror(errno) : "close failed";
  }
  f_ = nullptr;
  std::string lost = failure_;
  if (dropped_ > 0)
    lost += (lost.empty() ? "" : "; ") + std::to_string(dropped_) +
            " lines dropped: its reader did not keep up";
  if (lost.empty()) return "";
  const std::string where = path_ == "-" ? std::string("standard error") : Printable(path_);
  return "the trace could not be written to " + where + " (" + lost + ")";
}

std::string TraceBytes(const uint8_t* data, int n, int limit) {
  const int shown = n < limit ? n : limit;
  std::string s;
  char hex[8];
  if (n > 0 && data[0] == ':') {
    // Appended piece by piece: GCC 12 (MinGW) raises -Wrestrict false
    // alarms on assigning and joining short literals here.
    s.push_back('"');
    for (int i = 0; i < shown; ++i) {
      const uint8_t c = data[i];
      if (c == '\r')
        s += "\\r";
      else if (c == '\n')
        s += "\\n";
      else if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
        s += static_cast<char>(c);
      else {
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        s += hex;
      }
    }
    s.push_back('"');
  } else {
    bool text = shown > 0;
    for (int i = 0; i < shown; ++i) {
      std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", data[i]);
      s += hex;
      text = text && data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"';
    }
    if (text) {
      s += " \"";
      s.append(data, data + shown);
      s.push_back('"');
    }
  }
  if (shown < n) {
    s += " ... (";
    s += std::to_string(n);
    s += " bytes)";
  }
  return s;
}

bool IsBlock(const uint8_t* data, int n, uint8_t& number, uint16_t& crc) {
  if ((n != 5 + 128 && n != 5 + 256) || data[0] != STX || data[2] != 255 - data[1]) return false;
  number = data[1];
  crc = static_cast<uint16_t>(data[n - 2] << 8 | data[n - 1]);
  return true;
}

TraceLink::TraceLink(Link& inner, Trace& trace, const SessionState& st, std::string label)
    : inner_(inner), trace_(trace), st_(st), label_(std::move(label)) {}

bool TraceLink::open(const Endpoint& where) {
  noteSession();
  const bool ok = inner_.open(where);
  const bool usb = where.kind == Endpoint::Kind::UsbPlc;
  serial_ = ok && !usb;
  log(std::string("open ") +
      (usb ? "the USB pipe" : "serial port " + Printable(where.name ? where.name : "")) +
      (ok ? ": opened" : ": FAILED"));
  return ok;
}

void TraceLink::close() {
  inner_.close();
  log("close");
}

// The session's stage and retries, as they changed since the last exchange.
void TraceLink::noteSession() {
  static const char* const kStages[] = {"checking", "entering the bootloader", "bootloader",
                                        "erasing", "programming"};
  const int32_t stage = st_.stage;
  if (stage != stage_ && stage >= 0 && stage < 5) log(std::string("stage: ") + kStages[stage]);
  stage_ = stage;
  // One line per request sent again, numbered through the sessions of the
  // port (one begun again after the port came back starts its count at 0):
  // the retries its record counts.
  const int32_t resent = st_.resent;
  if (resent < resent_) resent_ = 0;
  for (; resent_ < resent; ++resent_)
    log("retry " + std::to_string(++retries_) + " (errors this exchange " +
        std::to_string(st_.errCounter) + ")");
}

int TraceLink::write(const uint8_t* data, int n) {
  noteSession();
  const int done = inner_.write(data, n);
  uint8_t number = 0;
  uint16_t crc = 0;
  std::string what;
  if (data && IsBlock(data, n, number, crc)) {
    if (number != lastBlock_) ++blocks_;
    lastBlock_ = number;
    char b[96];
    std::snprintf(b, sizeof b, "block %d (no. 0x%02X, %d bytes, CRC 0x%04X)", blocks_, number,
                  n - 5, crc);
    what = b;
  } else {
    what = data ? TraceBytes(data, n) : "";
  }
  if (done != n)
    what += " (only " + std::to_string(done) + " of " + std::to_string(n) + " written)";
  log("> " + what);
  return done;
}

int TraceLink::read(uint8_t* buf, int n) {
  const auto start = std::chrono::steady_clock::now();
  const int got = inner_.read(buf, n);
  const int shown = got < 0 ? 0 : got;
  std::string what = shown > 0 ? TraceBytes(buf, shown) : "nothing";
  if (got != n) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char t[96];
    std::snprintf(t, sizeof t, " (%d of %d bytes; time-out after %.0f ms)", shown, n, ms);
    what += t;
  }
  log("< " + what);
  return got;
}

int TraceLink::drainInput(uint32_t quietMs, uint32_t timeoutMs, uint8_t* kept, int keep) {
  if (quietMs > 0) return drainUntilQuiet(quietMs, timeoutMs, kept, keep);
  // On a serial port what waits is read first, at once, to be shown; the
  // rest goes as before. A USB pipe is not read without a wait.
  if (serial_ && timeoutSet_) {
    uint8_t late[64], more[64];
    inner_.setTimeouts(0);
    int got = inner_.read(late, sizeof late), total = got > 0 ? got : 0;
    // At most 4 KiB more are counted; whatever still follows is thrown away.
    for (int k = got, i = 0; k == static_cast<int>(sizeof more) && i < 64; ++i)
      total += k = inner_.read(more, sizeof more);
    inner_.setTimeouts(timeoutMs_);
    if (total > 0)
      log("discarded " + std::to_string(total) + " bytes: " + TraceBytes(late, got, 64));
    return total + inner_.drainInput();
  }
  return inner_.drainInput();
}

void TraceLink::setTimeouts(uint32_t ms) {
  inner_.setTimeouts(ms);
  if (ms != timeoutMs_ || !timeoutSet_) log("time-out " + std::to_string(ms) + " ms");
  timeoutMs_ = ms;
  timeoutSet_ = true;
}

void TraceLink::setLine(const LineSettings& line) {
  inner_.setLine(line);
  const char parity = line.parity == 2 ? 'E' : line.parity == 1 ? 'O' : 'N';
  log("line " + std::to_string(line.baud) + " " + std::to_string(line.dataBits) + parity + "1");
}

}  // namespace quarn::cli
