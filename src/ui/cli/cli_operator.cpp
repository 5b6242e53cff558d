// The operator at a terminal.
#include "ui/cli/cli_operator.h"

#include <chrono>
#include <cstdio>

#include "link/link.h"
#include "loader/loader.h"
#include "ui/cli/record.h"
#include "ui/cli/terminal.h"

namespace quarn::cli {

CliOperator::CliOperator(SessionState& st, bool yes, Console& con, Display display,
                         std::string prefix, std::string label, size_t row)
    : st_(st),
      yes_(yes),
      stdinTty_(IsTerminal(stdin)),
      con_(con),
      display_(display),
      batch_(!prefix.empty()),
      prefix_(std::move(prefix)),
      label_(std::move(label)),
      row_(row) {}

void CliOperator::start() {
  ticker_ = std::thread([this] { tick(); });
}

void CliOperator::finish() {
  quit_ = true;
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard<std::mutex> lock(con_.lock);
  endOutput();
}

int CliOperator::seal() {
  std::lock_guard<std::mutex> lock(state_);
  sealed_ = frozen_ = true;
  return outcomeStatus_;
}

void CliOperator::endOutput() {
  std::string outcome;
  bool error = false, closingLine = false;
  {
    std::lock_guard<std::mutex> lock(state_);
    frozen_ = true;
    outcome.swap(outcomeLine_);
    error = outcomeError_;
    closingLine = closingLine_;
    closingLine_ = false;
  }
  printLog();
  if (!outcome.empty()) {
    // The outcome closes the progress display: its last state, then the message.
    if (closingLine) {
      std::lock_guard<std::mutex> lock(state_);
      std::fprintf(stderr, "%s\n",
                   LogLine(*final_, UtcTime(std::chrono::system_clock::now()), label_).c_str());
    }
    if (display_ == Display::Block) con_.setRow(row_, progress(con_.width()));
    endLiveLine();
    con_.print(error ? stderr : stdout, outcome);
  } else if (liveLine_) {
    if (st_.stopRequested)
      std::fputc('\n', stderr);
    else
      std::fprintf(stderr, "\r%s\r", std::string(lineWidth_, ' ').c_str());
    std::fflush(stderr);
    liveLine_ = false;
  }
}

void CliOperator::lastMessage(std::string& caption, std::string& text) {
  std::lock_guard<std::mutex> lock(state_);
  caption = lastCaption_;
  text = lastText_;
}

void CliOperator::retract() {
  std::lock_guard<std::mutex> lock(state_);
  if (sealed_) return;
  outcomeStatus_ = -1;
  outcomeLine_.clear();
  lastCaption_.clear();
  lastText_.clear();
  final_.reset();
  closingLine_ = false;
  frozen_ = false;
  timerRunning_ = true;
}

void CliOperator::say(const std::string& line) {
  std::lock_guard<std::mutex> lock(con_.lock);
  endLiveLine();
  printLog();
  con_.print(stderr, line);
}

void CliOperator::exchanged() {
  if (display_ != Display::Phases) return;
  std::lock_guard<std::mutex> lock(state_);
  if (!frozen_) noteLog(lock);
}

// Takes the log line the session is due, if any, with the time it was due.
void CliOperator::noteLog(const std::lock_guard<std::mutex>& stateHeld) {
  const ProgressView v = view(stateHeld);
  if (LogDue(v, logMark_) && pendingLog_.size() < kPendingLog)
    pendingLog_.push_back(LogLine(v, UtcTime(std::chrono::system_clock::now()), label_));
}

// Prints the log lines taken and not yet printed. With con_.lock held.
void CliOperator::printLog() {
  std::vector<std::string> due;
  {
    std::lock_guard<std::mutex> lock(state_);
    due.swap(pendingLog_);
  }
  for (const std::string& line : due) std::fprintf(stderr, "%s\n", line.c_str());
  if (!due.empty()) std::fflush(stderr);
}

bool CliOperator::prompt(Prompt, const char* caption, const char* text) {
  restarting_ = true;  // the reconnect prompts come as the PLC restarts
  if (display_ == Display::Phases) {
    std::lock_guard<std::mutex> lock(state_);
    noteLog(lock);
  }
  std::unique_lock<std::mutex> turn;
  if (!yes_ && batch_ && !takeTurn(turn)) return true;  // stopped: the session ends
  const std::string shown = std::string(caption) + ": " + Printable(text);
  {
    std::lock_guard<std::mutex> lock(state_);
    if (sealed_) return true;
    lastCaption_ = caption;
    lastText_ = text;
  }
  if (trace_) {
    trace_->line(prefix_, "prompt " + shown);
    if (yes_) trace_->line(prefix_, "OK (--yes)");
    trace_->flush();
  }
  {
    // A prompt may wait on the console; the session's state is not held.
    std::lock_guard<std::mutex> lock(con_.lock);
    endLiveLine();
    printLog();
    con_.print(stdout, prefix_ + shown + "\n");
  }
  if (!yes_) waitForEnter();
  return true;
}

void CliOperator::outcome(const Outcome& o) {
  // Port names reach the text raw (CANNOT open PORT Port!!!): shown escaped.
  const std::string shown = o.caption ? std::string(o.caption) + ": " + Printable(o.text) : "";
  {
    // After the stop path sealed the session no outcome is shown (its stop
    // line stands instead).
    std::lock_guard<std::mutex> lock(state_);
    timerRunning_ = false;
    if (sealed_ || o.caption == nullptr) return;
    outcomeStatus_ = o.success ? 0 : 1;
    lastCaption_ = o.caption;
    lastText_ = o.text;
    final_ = view(lock);  // what the display shows to the end
    closingLine_ = display_ == Display::Phases && st_.flashStatus != IDLE;
    frozen_ = true;
    outcomeLine_ = prefix_ + shown + "\n";
    outcomeError_ = o.icon == Icon::Error;
  }
  if (trace_) {
    trace_->line(prefix_, "message " + shown);
    trace_->flush();
  }
}

void CliOperator::sleepSeconds(unsigned seconds) {
  restarting_ = true;  // only the reconnect step waits
  exchanged();         // off a terminal: Restarting is logged
  if (trace_) trace_->line(prefix_, "wait " + std::to_string(seconds) + " s");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!st_.stopRequested && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Every 100 ms: count a second while the timer runs, and show the state.
// The count goes on whatever the console does; a console that cannot take
// a line at once (stopped with Ctrl-S, its reader behind, another line
// being printed) misses the tick.
void CliOperator::tick() {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  auto nextSecond = next + std::chrono::seconds(1);
  while (!quit_) {
    next += std::chrono::milliseconds(100);
    std::this_thread::sleep_until(next);
    {
      std::lock_guard<std::mutex> lock(state_);
      if (timerRunning_ && Clock::now() >= nextSecond) {
        st_.elapsedTime.add(1);
        nextSecond += std::chrono::seconds(1);
      }
      if (st_.stopRequested) frozen_ = true;  // keep what was shown when the stop came
    }
    std::unique_lock<std::mutex> lock(con_.lock, std::try_to_lock);
    if (!lock.owns_lock() || frozen() || !Writable(stderr)) continue;
    switch (display_) {
      case Display::Line:
        printLine();
        liveLine_ = true;
        break;
      case Display::Block: con_.setRow(row_, progress(con_.width())); break;
      case Display::Phases: {
        // A line at each stage and at each tenth of the erase and the transfer.
        {
          std::lock_guard<std::mutex> held(state_);
          noteLog(held);
        }
        printLog();
        break;
      }
    }
  }
}

bool CliOperator::frozen() {
  std::lock_guard<std::mutex> lock(state_);
  return frozen_;
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

// The session as its progress line shows it (as it ended, once it did).
ProgressView CliOperator::view() {
  std::lock_guard<std::mutex> lock(state_);
  return final_ ? *final_ : view(lock);
}

ProgressView CliOperator::view(const std::lock_guard<std::mutex>&) {
  ProgressView v;
  v.flashStatus = st_.flashStatus;
  v.stage = st_.stage;
  v.progress = st_.progress;
  v.elapsedTime = st_.elapsedTime;
  v.errCounter = st_.errCounter;
  v.totalErrCounter = st_.totalErrCounter;
  const uint8_t probe = st_.firstProbe;
  v.probed = probe != 0 && probe != (ERR | NORESPONSE);  // the PLC answered
  v.restarting = restarting_;
  const auto now = std::chrono::steady_clock::now();
  if (v.flashStatus != lastStatus_) {
    lastStatus_ = v.flashStatus;
    stageStart_ = now;
  }
  v.stageSeconds = std::chrono::duration<double>(now - stageStart_).count();
  if (imageSize_ > 0 && v.flashStatus == ERASE) {
    v.done = st_.pagesErased;
    v.total = totalPages(st_.selectedPLCIdx, imageSize_);
  } else if (imageSize_ > 0 && v.flashStatus == PROGRAM) {
    v.done = st_.blocksSent;
    v.total = totalPacket(st_.selectedPLCIdx, imageSize_);
    v.blockBytes = st_.profile().blockData;
  }
  return v;
}

std::string CliOperator::state(size_t width) { return ProgressLine(view(), width); }

// Redraws the live line on the terminal within its width, over what it
// showed before.
void CliOperator::printLine() {
  int columns = 0, rows = 0;
  const bool sized = TerminalSize(columns, rows);
  columns = TerminalColumns(sized ? columns : 0);
  const size_t width = columns > 1 ? static_cast<size_t>(columns - 1) : 79;
  const std::string line = state(width);
  const size_t pad = std::min(width, std::max(lineWidth_, line.size())) - line.size();
  std::fprintf(stderr, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
  lineWidth_ = line.size() + pad;
  std::fflush(stderr);
}

// Ends the live line on a terminal, kept with its latest state.
void CliOperator::endLiveLine() {
  if (!liveLine_) return;
  printLine();
  std::fputc('\n', stderr);
  std::fflush(stderr);
  liveLine_ = false;
}

// Enter is OK. The end of input answers nothing: it stops the session as an
// interrupt does (a script that forgot --yes must not confirm a replug unseen).
void CliOperator::waitForEnter() {
  if (stdinTty_) {
    std::lock_guard<std::mutex> lock(con_.lock);
    con_.print(stderr, prefix_ + "(press Enter for OK)\n");
  }
  if (!WaitForEnter(st_.stopRequested) && !st_.stopRequested) {
    inputEnded_ = true;
    st_.stopRequested = true;
  }
  if (trace_)
    trace_->line(prefix_, inputEnded_         ? "the input ended at the prompt"
                          : st_.stopRequested ? "stopped at the prompt"
                                              : "OK");
  if (stdinTty_ && display_ == Display::Block && !st_.stopRequested) {
    std::lock_guard<std::mutex> lock(con_.lock);
    con_.movedDown();  // the terminal echoed the Enter
    con_.print(stderr, "");
  }
}

}  // namespace quarn::cli
