// The operator at a terminal.
#include "ui/cli/cli_operator.h"

#include <chrono>
#include <cstdio>

#include "ui/cli/cli.h"
#include "ui/cli/platform.h"

namespace quarn::cli {

CliOperator::CliOperator(SessionState& st, bool yes, Console& con, Display display,
                         std::string prefix, std::string label, size_t row)
    : st_(st), yes_(yes), stdinTty_(IsTerminal(stdin)), con_(con), display_(display),
      batch_(!prefix.empty()), prefix_(std::move(prefix)), label_(std::move(label)), row_(row) {}

void CliOperator::start() { ticker_ = std::thread([this] { tick(); }); }

void CliOperator::finish() {
  quit_ = true;
  if (ticker_.joinable()) ticker_.join();
  abandon();
}

void CliOperator::abandon() {
  std::lock_guard<std::mutex> lock(con_.lock);
  frozen_ = true;
  if (liveLine_) {
    if (st_.stopRequested) std::fputc('\n', stderr);
    else std::fprintf(stderr, "\r%78s\r", "");
    std::fflush(stderr);
    liveLine_ = false;
  }
}

void CliOperator::lastMessage(std::string& caption, std::string& text) {
  std::lock_guard<std::mutex> lock(con_.lock);
  caption = lastCaption_;
  text = lastText_;
}

void CliOperator::message(const char* caption, Icon icon, const char* text) {
  // The reconnect prompts come while the timer runs; every outcome
  // message comes after it was stopped and closes the progress display.
  const bool prompt = icon == Icon::Information && timerRunning();
  std::unique_lock<std::mutex> turn;
  if (prompt && !yes_ && batch_ && !takeTurn(turn)) return;  // stopped while waiting
  {
    std::lock_guard<std::mutex> lock(con_.lock);
    if (!timerRunning_) {
      if (display_ == Display::Phases && st_.flashStatus != IDLE) printLine("\n");
      if (display_ == Display::Block) con_.setRow(row_, progress());
      frozen_ = true;
    }
    endLiveLine();
    con_.print(icon == Icon::Error ? stderr : stdout, prefix_ + caption + ": " + text + "\n");
    shown_ = true;
    outcome_ = !prompt;
    lastIcon_ = icon;
    lastCaption_ = caption;
    lastText_ = text;
  }
  if (prompt && !yes_) waitForEnter();
}

void CliOperator::stopTimer() {
  std::lock_guard<std::mutex> lock(con_.lock);
  timerRunning_ = false;
}

void CliOperator::sleepSeconds(unsigned seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!st_.stopRequested && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Every 100 ms: count a second while the timer runs, and show the state.
void CliOperator::tick() {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  auto nextSecond = next + std::chrono::seconds(1);
  while (!quit_) {
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
    std::lock_guard<std::mutex> lock(con_.lock);
    if (timerRunning_ && Clock::now() >= nextSecond) {
      st_.elapsedTime.add(1);
      nextSecond += std::chrono::seconds(1);
    }
    if (st_.stopRequested) frozen_ = true;  // keep what was shown when the stop came
    if (frozen_) continue;
    int32_t phase = st_.flashStatus;
    switch (display_) {
      case Display::Line:
        printLine("\r");
        liveLine_ = true;
        break;
      case Display::Block:
        con_.setRow(row_, progress());
        break;
      case Display::Phases:
        if (phase != lastPhase_ && phase != IDLE) printLine("\n");
        break;
    }
    lastPhase_ = phase;
  }
}

bool CliOperator::timerRunning() {
  std::lock_guard<std::mutex> lock(con_.lock);
  return timerRunning_;
}

// Waits until no other session's prompt waits for Enter; false when the
// session was asked to stop meanwhile.
bool CliOperator::takeTurn(std::unique_lock<std::mutex>& turn) {
  turn = std::unique_lock<std::mutex>(con_.promptTurn, std::try_to_lock);
  while (!turn.owns_lock()) {
    if (st_.stopRequested) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    turn.try_lock();
  }
  return true;
}

// The session's phase, progress, time and counters, as one line shows them.
std::string CliOperator::state() const {
  char line[128];
  FormatProgress(line, sizeof line, st_.flashStatus, st_.progress, st_.elapsedTime,
                 st_.errCounter, st_.totalErrCounter);
  return line;
}

// Writes the current state to stderr, ended by `end`.
void CliOperator::printLine(const char* end) {
  if (end[0] == '\r')
    std::fprintf(stderr, "\r%-78s", state().c_str());
  else
    std::fprintf(stderr, "%s%s", progress().c_str(), end);
  std::fflush(stderr);
}

// Ends the live line on a terminal, kept with its latest state.
void CliOperator::endLiveLine() {
  if (!liveLine_) return;
  printLine("\r");
  std::fputc('\n', stderr);
  std::fflush(stderr);
  liveLine_ = false;
}

// Enter is OK; so is the end of input, and a stop.
void CliOperator::waitForEnter() {
  if (stdinTty_) {
    std::lock_guard<std::mutex> lock(con_.lock);
    con_.print(stderr, prefix_ + "(press Enter for OK)\n");
  }
  WaitForEnter(st_.stopRequested);
  if (stdinTty_ && display_ == Display::Block && !st_.stopRequested) {
    std::lock_guard<std::mutex> lock(con_.lock);
    con_.movedDown();  // the terminal echoed the Enter
    con_.print(stderr, "");
  }
}

}  // namespace quarn::cli
