// The operator at a terminal: messages become lines, OK becomes Enter, the
// one-second timer and the 100 ms repaint become a ticker thread. In a batch
// every line starts with the session's port, and the prompts that wait for
// Enter take turns.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "ui/cli/console.h"

namespace quarn::cli {

class CliOperator : public Operator {
 public:
  // prefix: "" alone, "[PORT] " in a batch; label: what starts its progress
  // lines; row: its row of the block.
  CliOperator(SessionState& st, bool yes, Console& con, Display display, std::string prefix = "",
              std::string label = "", size_t row = 0);

  void start();
  void finish();
  // Ends the output at once: the live line stays as it stands (what it
  // showed when a stop came) and nothing more is printed on it.
  void abandon();

  // 0 when the session's last message was information (the success
  // message), 1 when it was an error or nothing was shown.
  int exitStatus() const { return shown_ && lastIcon_ == Icon::Information ? 0 : 1; }
  // Whether the session ended with its outcome message (not a stop).
  bool outcomeShown() const { return outcome_; }
  void lastMessage(std::string& caption, std::string& text);
  // The session's progress line as its row of the block shows it.
  std::string progress() const { return label_ + state(); }

  void message(const char* caption, Icon icon, const char* text) override;
  void enableStart(bool) override {}
  void stopTimer() override;
  // Cut short by a stop: the session ends before its next exchange anyway.
  void sleepSeconds(unsigned seconds) override;

 private:
  void tick();
  bool timerRunning();
  bool takeTurn(std::unique_lock<std::mutex>& turn);
  std::string state() const;
  void printLine(const char* end);
  void endLiveLine();
  void waitForEnter();

  SessionState& st_;
  const bool yes_, stdinTty_;
  Console& con_;
  const Display display_;
  const bool batch_;
  const std::string prefix_, label_;
  const size_t row_;
  std::thread ticker_;
  std::atomic<bool> quit_{false};
  // Guarded by con_.lock:
  bool timerRunning_ = true;
  bool frozen_ = false;
  bool liveLine_ = false;
  int32_t lastPhase_ = IDLE;
  bool shown_ = false;
  bool outcome_ = false;
  Icon lastIcon_ = Icon::Error;
  std::string lastCaption_, lastText_;
};

}  // namespace quarn::cli
