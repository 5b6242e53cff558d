// The protocol trace (--trace FILE): one line per event, led by the
// milliseconds since the run started, so that the PLC's turn and the tool's
// own can be told apart. A TraceLink stands between a session and its link
// and writes what passes; the operator adds its prompts and messages.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "catalogue/session.h"
#include "link/link.h"

namespace quarn::cli {

class Trace {
 public:
  Trace() = default;
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Opens path for writing ("-": stderr; "": no trace); "" or the line
  // that says what went wrong. The run's clock starts here.
  std::string open(const std::string& path);
  // One line: the time, the label ("" alone, "[PORT] " in a batch), the
  // event. Safe from any thread, and never waits on the file: the lines are
  // kept (up to kKept bytes; past that they are dropped and counted) and a
  // thread of the trace's own writes them within 100 ms. A stopped terminal
  // or a pager that stopped reading holds no session up.
  void line(const std::string& label, const std::string& event);
  // Asks for what is kept to be written now (before a prompt waits).
  void flush();
  // Writes what is kept, waiting as long as that takes, and closes the
  // file: "" or the line that says what of the trace was lost.
  std::string close();
  // Whether the trace goes to a regular file (its close never waits on a reader).
  bool regular() const { return regular_; }

  static constexpr size_t kKept = size_t{16} << 20;

 private:
  void write();

  std::mutex lock_;  // guards what follows
  std::condition_variable wake_;
  std::string kept_;
  bool asked_ = false, closing_ = false;
  uint64_t dropped_ = 0;  // lines that did not fit
  std::string failure_;   // the first write that failed
  bool on_ = false;       // opened: set before any other thread starts
  FILE* f_ = nullptr;
  std::string path_;
  bool regular_ = false;
  std::thread writer_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Bytes as a trace shows them: a frame of the application's protocol
// (led by ':') as its characters with \r, \n and other control bytes
// escaped; anything else as hex, with its text in quotes when it is all
// printable. At most `limit` bytes are shown.
std::string TraceBytes(const uint8_t* data, int n, int limit = 64);

// A firmware block of the transfer (STX, number, its complement, 128 or 256
// bytes, CRC-16): its number and CRC; false for anything else.
bool IsBlock(const uint8_t* data, int n, uint8_t& number, uint16_t& crc);

class TraceLink : public Link {
 public:
  // label: as Trace::line takes it; st: the session's state, whose counters
  // and stage the trace reports as they change.
  TraceLink(Link& inner, Trace& trace, const SessionState& st, std::string label);

  bool open(const Endpoint& where) override;
  void close() override;
  int write(const uint8_t* data, int n) override;
  int read(uint8_t* buf, int n) override;
  // A wait for quiet is traced as its reads and time-outs.
  int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                 int keep = 0) override;
  void setTimeouts(uint32_t ms) override;
  void setLine(const LineSettings& line) override;
  const LinkError& error() const override { return inner_.error(); }

 private:
  void log(const std::string& event) { trace_.line(label_, event); }
  void noteSession();

  Link& inner_;
  Trace& trace_;
  const SessionState& st_;
  const std::string label_;
  bool serial_ = false;  // opened as a serial port: what a discard throws away is shown
  uint32_t timeoutMs_ = 0;
  bool timeoutSet_ = false;
  int32_t resent_ = 0;   // the session's requests sent again, as last seen
  int32_t retries_ = 0;  // retry lines written
  int32_t stage_ = -1;
  int blocks_ = 0;      // blocks sent, a repeated block counted once
  int lastBlock_ = -1;  // the number of the last block written
};

}  // namespace quarn::cli
