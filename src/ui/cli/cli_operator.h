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
#include <string>
#include <thread>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "ui/cli/cli.h"
#include "ui/cli/console.h"
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
  void finish();
  // Ends the output at once: the live line stays as it stands (what it
  // showed when a stop came) and nothing more is printed on it.
  void abandon();

  // The last message shown, a prompt's or the outcome's ("" when none).
  void lastMessage(std::string& caption, std::string& text);
  // The session's progress line as its row of the block shows it, within
  // columns. With con_.lock held, or before start().
  std::string progress(size_t columns = 80) { return label_ + state(columns - std::min(columns, label_.size())); }

  void prompt(Prompt kind, const char* caption, const char* text) override;
  void outcome(const Outcome& o) override;
  // Cut short by a stop: the session ends before its next exchange anyway.
  void sleepSeconds(unsigned seconds) override;

 private:
  void tick();
  void show(const char* caption, Icon icon, const char* text, bool prompt);
  bool takeTurn(std::unique_lock<std::mutex>& turn);
  ProgressView view();
  std::string state(size_t width);
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
  Trace* trace_ = nullptr;
  uint32_t imageSize_ = 0;
  std::atomic<bool> restarting_{false};  // the reconnect wait has begun
  std::thread ticker_;
  std::atomic<bool> quit_{false};
  // Guarded by con_.lock:
  bool timerRunning_ = true;
  bool frozen_ = false;
  bool liveLine_ = false;
  std::string lastWord_;       // the stage word last shown off a terminal
  int32_t lastTenth_ = 0;      // the tenth of the transfer last shown off a terminal
  int32_t lastStatus_ = IDLE;  // flashStatus when stageStart_ was taken
  std::chrono::steady_clock::time_point stageStart_;
  size_t lineWidth_ = 0;       // the live line's width as last drawn
  std::string lastCaption_, lastText_;
};

}  // namespace quarn::cli
