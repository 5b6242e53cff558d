// The operator at a terminal: messages become lines, OK becomes Enter, the
// one-second timer and the 100 ms repaint become a ticker thread. In a batch
// every line starts with the session's port, and the prompts that wait for
// Enter take turns.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "link/link.h"
#include "ui/cli/cli.h"
#include "ui/cli/console.h"
#include "ui/cli/report.h"
#include "ui/cli/trace.h"

namespace quarn::cli {

class CliOperator : public Operator {
 public:
  // prefix: "" alone, "[PORT] " in a batch; label: what starts its progress
  // lines; row: its row of the block.
  CliOperator(SessionState& st, bool yes, Console& con, Display display, std::string prefix = "",
              std::string label = "", size_t row = 0);

  // Its messages, prompts, answers and waits go to trace too.
  void traceTo(Trace* trace) { trace_ = trace; }
  // The size of the image the session writes: the pages and blocks it takes.
  void setImageSize(uint32_t size) { imageSize_ = size; }

  void start();
  // Stops the ticker and ends the live line (this may wait on the console).
  void finish();
  // The stop path's end of the session, which prints nothing and waits on
  // nothing: from now on no message is shown. Returns the exit status of
  // the outcome the session came to before (0 for a success, 1 for a
  // failure), or -1 when it came to none.
  int seal();
  // Ends the output: the outcome message the session came to, after the
  // display's last state; with none, the live line stays where it stands
  // (on a stop, what it showed when the stop came). Nothing more is
  // printed after it. With con_.lock held.
  void endOutput();

  // The session goes on after its outcome (its port came back): the outcome
  // is withdrawn, unshown, and the display and the timer go on.
  void retract();
  // Prints a line of quarn-burn's own on stderr, below the live line.
  void say(const std::string& line);
  // A prompt met the end of input, which stopped the session.
  bool inputEnded() const { return inputEnded_; }
  // The last message shown, a prompt's or the outcome's ("" when none).
  void lastMessage(std::string& caption, std::string& text);
  // The session's progress line as its row of the block shows it, within
  // columns. With con_.lock held, or before start().
  std::string progress(size_t columns = 80) {
    return label_ + state(columns - std::min(columns, label_.size()));
  }

  // The session is about to exchange bytes with the PLC: off a terminal, a
  // stage it has come to is logged, however short it is.
  void exchanged();

  bool prompt(Prompt kind, const char* caption, const char* text) override;
  // Taken into the session's state at once; shown by endOutput(), after the
  // record is written: a console that holds it up holds up nothing else.
  void outcome(const Outcome& o) override;
  // Cut short by a stop: the session ends before its next exchange anyway.
  void sleepSeconds(unsigned seconds) override;

 private:
  void tick();
  bool frozen();
  bool takeTurn(std::unique_lock<std::mutex>& turn);
  ProgressView view();
  ProgressView view(const std::lock_guard<std::mutex>& stateHeld);
  std::string state(size_t width);
  void printLine();
  void noteLog(const std::lock_guard<std::mutex>& stateHeld);
  void printLog();
  void endLiveLine();
  void waitForEnter();

  SessionState& st_;
  const bool yes_, stdinTty_;
  Console& con_;
  const Display display_;
  const bool batch_;
  const std::string prefix_, label_;
  const size_t row_;
  Trace* trace_ = nullptr;
  uint32_t imageSize_ = 0;
  std::atomic<bool> restarting_{false};  // the reconnect wait has begun
  std::atomic<bool> inputEnded_{false};  // a prompt met the end of input
  std::thread ticker_;
  std::atomic<bool> quit_{false};
  // The session's state, guarded by state_, which is never held while
  // anything is printed: the record and the stop path read it whatever the
  // console does.
  std::mutex state_;
  bool timerRunning_ = true;
  bool frozen_ = false;     // the progress display shows no more changes
  bool sealed_ = false;     // the stop path ended the session: nothing more is shown
  int outcomeStatus_ = -1;  // 0 success, 1 failure, -1 no outcome (yet)
  std::string lastCaption_, lastText_;
  std::string outcomeLine_;            // the outcome's line, until endOutput() prints it
  bool outcomeError_ = false;          // ... on stderr
  bool closingLine_ = false;           // ... after a last progress line (off a terminal)
  std::optional<ProgressView> final_;  // the display's state when the outcome came
  int32_t lastStatus_ = IDLE;          // flashStatus when stageStart_ was taken
  std::chrono::steady_clock::time_point stageStart_;
  LogMark logMark_;                      // off a terminal: what the log has been given
  std::vector<std::string> pendingLog_;  // ... and not yet printed (at most kPendingLog)
  static constexpr size_t kPendingLog = 64;
  // What the console shows, guarded by con_.lock:
  bool liveLine_ = false;
  size_t lineWidth_ = 0;  // the live line's width as last drawn
};

// A session's link that tells its operator of each request before it goes
// out; everything else passes as it is.
class WatchedLink : public Link {
 public:
  WatchedLink(Link& inner, CliOperator& op) : inner_(inner), op_(op) {}
  bool open(const Endpoint& where) override { return inner_.open(where); }
  void close() override { inner_.close(); }
  int write(const uint8_t* data, int n) override {
    op_.exchanged();
    return inner_.write(data, n);
  }
  int read(uint8_t* buf, int n) override { return inner_.read(buf, n); }
  int drainInput(uint32_t quietMs = 0, uint32_t timeoutMs = 0, uint8_t* kept = nullptr,
                 int keep = 0) override {
    return inner_.drainInput(quietMs, timeoutMs, kept, keep);
  }
  void setTimeouts(uint32_t ms) override { inner_.setTimeouts(ms); }
  void setLine(const LineSettings& line) override { inner_.setLine(line); }
  const LinkError& error() const override { return inner_.error(); }

 private:
  Link& inner_;
  CliOperator& op_;
};

}  // namespace quarn::cli
