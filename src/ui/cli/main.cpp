// quarn-burn: one burn session from the command line. Every message of the
// session is printed as "CAPTION: TEXT" (errors on stderr, the rest on
// stdout); the status panel becomes a progress line on stderr.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn.h"
#include "burn/identify.h"
#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "link/portname.h"
#include "ui/cli/cli.h"
#include "ui/cli/embedded_image.h"
#include "ui/cli/platform.h"
#include "ui/cli/record.h"

#ifdef _WIN32
#include <io.h>
#include "link/win32/usb.h"
#include "link/win32/win32_link.h"
using PlatformLink = quarn::Win32Link;
static std::vector<std::string> ListPorts() { return quarn::ListComPorts(); }
static std::vector<std::string> ListUsbPorts() { return quarn::ListUsbPlcs(); }
static const char* UsbPortRefusal() { return nullptr; }
static bool UsbAccessDenied(const PlatformLink&) { return false; }
static void PrintUsbAccessHint() {}
static std::string UsbPortOf(const PlatformLink&) { return ""; }
static bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }
#else
#include <unistd.h>
#include "link/posix/posix_link.h"
using PlatformLink = quarn::PosixLink;
static std::vector<std::string> ListPorts() { return quarn::ListSerialPorts(); }
static std::vector<std::string> ListUsbPorts() { return quarn::ListUsbPlcs(); }
static const char* UsbPortRefusal() { return nullptr; }
static std::string UsbPortOf(const PlatformLink& link) { return link.usbPort(); }
// The USB PLC was there but the system would not let this user open it.
static bool UsbAccessDenied(const PlatformLink& link) { return link.usbAccessDenied(); }
static void PrintUsbAccessHint() {
  std::fputs("quarn-burn: this user may not open the USB PLC; install the udev rule "
             "60-quarn-plc.rules (packaging/linux/ in the sources) with 'sudo install -m 644 "
             "60-quarn-plc.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
             "sudo udevadm trigger', then plug the PLC in again\n",
             stderr);
}
static bool IsTerminal(FILE* f) { return isatty(fileno(f)) != 0; }
#endif

namespace {

using namespace quarn;

constexpr const char* kVersion = QUARN_VERSION;  // the project's version, from the build

const char* const kUsage =
    "Usage: quarn-burn [--image FILE] [--port PORT]... [--yes] [--record FILE]\n"
    "       quarn-burn --identify [--port PORT] [--image FILE]\n"
    "       quarn-burn --list-ports | --list-models | --version | --help\n"
    "\n"
    "Writes a firmware image into a PLC. The image's file name fixes the model:\n"
    "the part before its first '_' (VN300_v1.14.10_20240103_01.bin is for VN300).\n"
    "\n"
    "  --image FILE   write FILE instead of the image built into this program\n"
    "  --port PORT    serial models: the serial port (default: the first one found);\n"
    "                 USB models: usb:BUS-PORTS, the USB PLC on that port path\n"
    "                 (usb:1-2.3), or a device opened as the PLC's pipe (default:\n"
    "                 the first PLC found by vendor and product; the session keeps\n"
    "                 to its port path across the PLC's restart); on Windows\n"
    "                 usb:HUB-PORT, from the location Port_#PORT.Hub_#HUB that\n"
    "                 Windows gives the device (Port_#0002.Hub_#0001: usb:1-2)\n"
    "                 Given more than once, or as 'all' (every port --list-ports\n"
    "                 lists that fits the model's link): one session on each port\n"
    "                 at once, every line starting with its port, then a summary\n"
    "  --yes          answer the reconnect prompts at once (the waits still happen)\n"
    "  --record FILE  append one line of JSON about the session to FILE\n"
    "  --identify     show what the PLC on the port reports about itself and which\n"
    "                 models fit it, changing nothing; the port is opened as a burn\n"
    "                 of the image's model would open it (the file is not read)\n"
    "  --list-ports   list the serial ports present, then the USB PLCs (usb:BUS-PORTS)\n"
    "  --list-models  list the models with link, image size limit and block size\n"
    "  --version      show the version and the built-in image\n"
    "  --help         show this text\n"
    "\n"
    "Ctrl-C stops a session at the next exchange with the PLC and says where;\n"
    "a second Ctrl-C ends quarn-burn at once.\n"
    "\n"
    "Exit status: 0 after the success message, 1 after an error message,\n"
    "2 for a usage error, 130 after an interrupt. Several ports: 0 when every\n"
    "session succeeded, 1 when any failed. --identify: 0 when a PLC answered,\n"
    "1 when none did.\n";

// Where the sessions of a run print: stdout and stderr, shared by all. With
// several sessions on a terminal, stderr ends with a block of live lines,
// one per session, redrawn in place; whatever else is printed goes above it.
class Console {
 public:
  std::mutex lock;        // guards the output streams and the block
  std::mutex promptTurn;  // held by the session whose prompt waits for Enter

  // Draws the block on a terminal of `columns`; each row is cut to fit.
  void startBlock(const std::vector<std::string>& rows, int columns) {
    width_ = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    rows_.clear();
    for (const std::string& r : rows) rows_.push_back(r.substr(0, width_));
    drawBlock();
  }
  // The block stays as it stands; what follows prints below it.
  void endBlock() {
    rows_.clear();
    below_ = 0;
  }

  // Shows text in row i of the block. With `lock` held.
  void setRow(size_t i, const std::string& text) {
    std::string row = text.substr(0, width_);
    if (i >= rows_.size() || rows_[i] == row) return;
    rows_[i] = row;
    const int up = static_cast<int>(rows_.size() - i) + below_;
    std::fprintf(stderr, "\x1b[%dA\r%s\x1b[K\x1b[%dB\r", up, row.c_str(), up);
    std::fflush(stderr);
  }

  // Prints text on f, above the block. With `lock` held.
  void print(FILE* f, const std::string& text) {
    if (!rows_.empty()) {
      std::fprintf(stderr, "\x1b[%dA\r\x1b[J", static_cast<int>(rows_.size()) + below_);
      std::fflush(stderr);
      below_ = 0;
    }
    std::fputs(text.c_str(), f);
    std::fflush(f);
    if (!rows_.empty()) drawBlock();
  }

  // The terminal echoed an Enter: the cursor stands a line further down.
  void movedDown() {
    if (!rows_.empty()) ++below_;
  }

 private:
  void drawBlock() {
    for (const std::string& r : rows_) std::fprintf(stderr, "%s\x1b[K\n", r.c_str());
    std::fflush(stderr);
  }

  std::vector<std::string> rows_;
  size_t width_ = 79;
  int below_ = 0;  // lines between the block's end and the cursor
};

// How a session's progress shows on stderr: one live line redrawn with \r
// (a session alone on a terminal), its row of the block (several on a
// terminal), or a line at each phase change (not a terminal).
enum class Display { Line, Block, Phases };

// The operator at a terminal: messages become lines, OK becomes Enter, the
// one-second timer and the 100 ms repaint become a ticker thread. In a batch
// every line starts with the session's port, and the prompts that wait for
// Enter take turns.
class CliOperator : public Operator {
 public:
  // prefix: "" alone, "[PORT] " in a batch; label: what starts its progress
  // lines; row: its row of the block.
  CliOperator(SessionState& st, bool yes, Console& con, Display display,
              std::string prefix = "", std::string label = "", size_t row = 0)
      : st_(st), yes_(yes), stdinTty_(IsTerminal(stdin)), con_(con), display_(display),
        batch_(!prefix.empty()), prefix_(std::move(prefix)), label_(std::move(label)), row_(row) {}

  void start() { ticker_ = std::thread([this] { tick(); }); }

  void finish() {
    quit_ = true;
    if (ticker_.joinable()) ticker_.join();
    abandon();
  }

  // Ends the output at once: the live line stays as it stands (what it
  // showed when a stop came) and nothing more is printed on it.
  void abandon() {
    std::lock_guard<std::mutex> lock(con_.lock);
    frozen_ = true;
    if (liveLine_) {
      if (st_.stopRequested) std::fputc('\n', stderr);
      else std::fprintf(stderr, "\r%78s\r", "");
      std::fflush(stderr);
      liveLine_ = false;
    }
  }

  // 0 when the session's last message was information (the success
  // message), 1 when it was an error or nothing was shown.
  int exitStatus() const { return shown_ && lastIcon_ == Icon::Information ? 0 : 1; }
  // Whether the session ended with its outcome message (not a stop).
  bool outcomeShown() const { return outcome_; }
  void lastMessage(std::string& caption, std::string& text) {
    std::lock_guard<std::mutex> lock(con_.lock);
    caption = lastCaption_;
    text = lastText_;
  }
  // The session's progress line as its row of the block shows it.
  std::string progress() const { return label_ + state(); }

  void message(const char* caption, Icon icon, const char* text) override {
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
      con_.print(icon == Icon::Error ? stderr : stdout,
                 prefix_ + caption + ": " + text + "\n");
      shown_ = true;
      outcome_ = !prompt;
      lastIcon_ = icon;
      lastCaption_ = caption;
      lastText_ = text;
    }
    if (prompt && !yes_) waitForEnter();
  }

  void enableStart(bool) override {}

  void stopTimer() override {
    std::lock_guard<std::mutex> lock(con_.lock);
    timerRunning_ = false;
  }

  // Cut short by a stop: the session ends before its next exchange anyway.
  void sleepSeconds(unsigned seconds) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!st_.stopRequested && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

 private:
  // Every 100 ms: count a second while the timer runs, and show the state.
  void tick() {
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

  bool timerRunning() {
    std::lock_guard<std::mutex> lock(con_.lock);
    return timerRunning_;
  }

  // Waits until no other session's prompt waits for Enter; false when the
  // session was asked to stop meanwhile.
  bool takeTurn(std::unique_lock<std::mutex>& turn) {
    turn = std::unique_lock<std::mutex>(con_.promptTurn, std::try_to_lock);
    while (!turn.owns_lock()) {
      if (st_.stopRequested) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      turn.try_lock();
    }
    return true;
  }

  // The session's phase, progress, time and counters, as one line shows them.
  std::string state() const {
    char line[128];
    cli::FormatProgress(line, sizeof line, st_.flashStatus, st_.progress, st_.elapsedTime,
                        st_.errCounter, st_.totalErrCounter);
    return line;
  }

  // Writes the current state to stderr, ended by `end`.
  void printLine(const char* end) {
    if (end[0] == '\r')
      std::fprintf(stderr, "\r%-78s", state().c_str());
    else
      std::fprintf(stderr, "%s%s", progress().c_str(), end);
    std::fflush(stderr);
  }

  // Ends the live line on a terminal, kept with its latest state.
  void endLiveLine() {
    if (!liveLine_) return;
    printLine("\r");
    std::fputc('\n', stderr);
    std::fflush(stderr);
    liveLine_ = false;
  }

  // Enter is OK; so is the end of input, and a stop.
  void waitForEnter() {
    if (stdinTty_) {
      std::lock_guard<std::mutex> lock(con_.lock);
      con_.print(stderr, prefix_ + "(press Enter for OK)\n");
    }
    cli::WaitForEnter(st_.stopRequested);
    if (stdinTty_ && display_ == Display::Block && !st_.stopRequested) {
      std::lock_guard<std::mutex> lock(con_.lock);
      con_.movedDown();  // the terminal echoed the Enter
      con_.print(stderr, "");
    }
  }

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

// Reads at most limit bytes of path into bytes; with hash, reads on to the
// file's end to hash it all. size: the bytes the file holds (as far as read).
// false when it cannot be read.
bool ReadImage(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
               cli::Sha256* hash, uint64_t& size) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes.clear();
  size = 0;
  std::vector<uint8_t> chunk(size_t{1} << 16);
  size_t n;
  while ((hash || bytes.size() < limit) && (n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + std::min(n, limit - bytes.size()));
    if (hash) hash->update(chunk.data(), n);
    size += n;
  }
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

int ListModels() {
  std::printf("%-15s %-6s %10s %6s\n", "MODEL", "LINK", "MAX BYTES", "BLOCK");
  for (int i = 0; i < kModelCount; ++i) {
    const Profile& p = kProfile[i];
    std::printf("%-15s %-6s %10u %6u\n", plcList[i], p.usb ? "USB" : "serial",
                static_cast<unsigned>(p.maxSize), static_cast<unsigned>(p.blockData));
  }
  return 0;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "quarn-burn: %s\nTry 'quarn-burn --help'.\n", why.c_str());
  return 2;
}

// The port of a session of catalogue row `row`, as a burn opens it: the
// port given, else the PLC's USB device or the first serial port. pipePath:
// where a USB-attached model's pipe is opened ("": the device found by its
// ids). Returns what is wrong, or "".
std::string ChoosePort(bool havePort, const std::string& port, int row, SessionState& st,
                       std::string& pipePath) {
  const bool usb = kProfile[row].usb;
  if (havePort) {
    if (!st.setComPort(port.c_str()))
      return "the port name is longer than " + std::to_string(sizeof st.selectedComPort - 1) +
             " characters";
    if (usb) pipePath = port;
    if (usb && IsUsbPortName(port)) {
      if (const char* refusal = UsbPortRefusal()) return refusal;
      UsbPortPath usbPath;
      if (!ParseUsbPort(port, usbPath))
        return "'" + port + "' is no USB port path (usb:BUS-PORTS, such as usb:1-2.3)";
    }
  } else if (usb) {
    st.setComPort("USB");
  } else if (!cli::ChooseFirstPort(st, ListPorts())) {
    std::fputs("quarn-burn: no serial port found; name one with --port\n", stderr);
  }
  return "";
}

// The ports of a batch: every --port in order, "all" standing for every
// port --list-ports lists that fits the model's link; each port once.
// Returns what is wrong, or "".
std::string BatchPorts(const cli::Options& o, int row, std::vector<std::string>& ports) {
  const bool usb = kProfile[row].usb;
  const auto add = [&](const std::string& p) {
    if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
  };
  for (const std::string& p : o.ports) {
    if (p == "all") {
      for (const std::string& q : usb ? ListUsbPorts() : ListPorts()) add(q);
    } else if (!usb && IsUsbPortName(p)) {
      return "'" + p + "' is a USB port path; " + plcList[row] + " is a serial model";
    } else {
      add(p);
    }
  }
  if (ports.empty())
    return std::string("--port all found no ") + (usb ? "USB PLC" : "serial port");
  return "";
}

// The port as the operator reads it.
std::string PortLabel(const SessionState& st) {
  return std::strcmp(st.selectedComPort, "USB") == 0 ? "the PLC's USB device" : st.selectedComPort;
}

// What an interrupt before the enter-update request leaves behind.
const char* const kUntouched = "interrupted; nothing on the PLC was changed";

// What the first interrupt stops, and what a second one does before it ends
// the process. Before the sessions start an interrupt ends the process at
// once (nothing has been sent); once they have ended, the records are being
// written and an interrupt is let pass.
enum class Armed { Before, During, After };
std::mutex g_interruptLock;  // guards what follows, and the end of each session of a batch
Armed g_armed = Armed::Before;
std::vector<SessionState*> g_stoppable;
std::function<void()> g_atOnce;

void OnInterrupt(int n) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  if (g_armed == Armed::After) return;
  if (g_armed == Armed::During) {
    for (SessionState* st : g_stoppable) st->stopRequested = true;
    if (n < 2) return;
    g_atOnce();
  } else {
    std::fprintf(stderr, "%s\n", kUntouched);
  }
  std::fflush(nullptr);
  std::_Exit(130);
}

void Arm(std::vector<SessionState*> sessions, std::function<void()> atOnce) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  g_armed = Armed::During;
  g_stoppable = std::move(sessions);
  g_atOnce = std::move(atOnce);
}

void Disarm() {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  g_armed = Armed::After;
  g_stoppable.clear();
  g_atOnce = nullptr;
}

// The mode the first probe found, for the record.
std::string ModeAtStart(uint8_t probe) {
  switch (probe) {
    case 0: return "";
    case ENQ: return "application";
    case ACK: return "bootloader";
    case ERR | NORESPONSE: return "no answer";
    default: return "refused";
  }
}

int RunIdentify(const cli::Options& o, int row) {
  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  std::string pipePath;
  std::string why = ChoosePort(o.havePort, o.port, row, st, pipePath);
  if (!why.empty()) return Usage(why);
  PlatformLink link(pipePath);
  const std::string port = PortLabel(st);
  Arm({&st}, [] { std::fprintf(stderr, "%s\n", kUntouched); });
  std::fprintf(stderr, "looking at the PLC on %s, changing nothing\n", port.c_str());
  const Identity id = Identify(st, link);
  Disarm();
  if (st.stopRequested) {
    std::fprintf(stderr, "%s\n", kUntouched);
    return 130;
  }
  if (!id.opened) {
    std::fprintf(stderr, "cannot open %s\n", port.c_str());
    return 1;
  }
  if (id.mode == Identity::NONE) {
    std::fprintf(stderr, "no PLC answered on %s\n", port.c_str());
    return 1;
  }
  std::fputs(cli::DescribeIdentity(id, port).c_str(), stdout);
  return 0;
}

// What every session of a run shares: the image and the record file.
struct Job {
  Job(const cli::Options& options, int model) : o(options), row(model) {}
  const cli::Options& o;
  int row;
  const uint8_t* image = nullptr;
  uint32_t imageSize = 0;
  cli::RecordFile recordFile;
  cli::Record record;  // what every session's record starts with
};

// One session: its own state, link, operator and record.
struct Session {
  SessionState st;
  std::string pipePath;
  std::unique_ptr<PlatformLink> link;
  std::unique_ptr<CliOperator> op;
  std::string prefix;  // "[PORT] " in a batch
  cli::Record rec;
  std::chrono::steady_clock::time_point started;
  // How it ended; in a batch guarded by g_interruptLock.
  bool ended = false;
  int status = 1;
  std::string interrupted;
  double seconds = 0;
};

int32_t Retries(const SessionState& st) {
  return std::max<int32_t>(st.sessionRetries, st.totalErrCounter);
}

// How a session ended: its exit status, and when a stop cut it short before
// its outcome message, the line that says where (else "").
int Ended(const Job& job, const Session& s, std::string& interrupted) {
  if (s.st.stopRequested && !s.op->outcomeShown()) {
    interrupted = cli::InterruptedLine(s.st, job.imageSize);
    return 130;
  }
  return s.op->exitStatus();
}

// The line of a session that a second interrupt ended where it stood.
std::string EndedAtOnce(const Job& job, const Session& s) {
  return cli::InterruptedLine(s.st, job.imageSize) + " (a second interrupt ended quarn-burn at once)";
}

// Fills in how the session went and appends its record; returns the line
// that says it failed, or "".
std::string WriteRecord(Job& job, Session& s, int status, const std::string& interrupted) {
  if (job.o.record.empty()) return "";
  cli::Record& rec = s.rec;
  rec.end = std::chrono::system_clock::now();
  rec.elapsedSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
  rec.modeAtStart = ModeAtStart(s.st.firstProbe);
  rec.usbPath = UsbPortOf(*s.link);
  s.op->lastMessage(rec.caption, rec.text);
  rec.exitStatus = status;
  rec.interrupted = interrupted;
  rec.retries = Retries(s.st);
  rec.pagesErased = s.st.pagesErased;
  rec.blocksSent = s.st.blocksSent;
  const std::string failed = job.recordFile.append(cli::RecordLine(rec));
  if (failed.empty()) return "";
  return "the session record could not be appended to " + job.o.record + " (" + failed + ")\n";
}

// One session alone, as quarn-burn has always run it.
int RunOne(Job& job, std::chrono::steady_clock::time_point started) {
  const cli::Options& o = job.o;
  Session s;
  s.started = started;
  s.st.selectModel(static_cast<uint32_t>(job.row));
  std::string why = ChoosePort(o.havePort, o.port, job.row, s.st, s.pipePath);
  if (!why.empty()) return Usage(why);

  s.link = std::make_unique<PlatformLink>(s.pipePath);
  Console con;
  s.op = std::make_unique<CliOperator>(s.st, o.yes, con,
                                       IsTerminal(stderr) ? Display::Line : Display::Phases);
  s.rec = job.record;
  s.rec.port = s.st.selectedComPort;
  Arm({&s.st}, [&] {
    s.op->abandon();
    const std::string line = EndedAtOnce(job, s);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fputs(WriteRecord(job, s, 130, line).c_str(), stderr);
  });

  s.op->start();
  StartBurn(s.st, *s.link, *s.op, job.image, job.imageSize);
  s.op->finish();
  Disarm();

  std::string interrupted;
  const int status = Ended(job, s, interrupted);
  if (s.op->exitStatus() != 0 && UsbAccessDenied(*s.link)) PrintUsbAccessHint();
  if (!interrupted.empty()) std::fprintf(stderr, "%s\n", interrupted.c_str());
  std::fputs(WriteRecord(job, s, status, interrupted).c_str(), stderr);
  return status;
}

// Ends a session of a batch: its status, the line that says where a stop
// left it, its record. With g_interruptLock held.
void EndBatchSession(Job& job, Session& s, Console& con, int status, const std::string& interrupted) {
  s.ended = true;
  s.status = status;
  s.interrupted = interrupted;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
  if (!interrupted.empty()) {
    std::lock_guard<std::mutex> lock(con.lock);
    con.print(stderr, s.prefix + interrupted + "\n");
  }
  const std::string failed = WriteRecord(job, s, status, interrupted);
  if (!failed.empty()) {
    std::lock_guard<std::mutex> lock(con.lock);
    con.print(stderr, s.prefix + failed);
  }
}

// The summary table of a batch on stdout.
void PrintSummary(Job& job, std::vector<std::unique_ptr<Session>>& sessions, Console& con) {
  std::vector<cli::SummaryRow> rows;
  for (auto& s : sessions) {
    cli::SummaryRow r;
    r.port = s->st.selectedComPort;
    r.model = plcList[job.row];
    std::string caption;
    s->op->lastMessage(caption, r.outcome);
    if (!s->interrupted.empty()) r.outcome = s->interrupted.substr(0, s->interrupted.find(';'));
    if (r.outcome.empty()) r.outcome = "no outcome";
    r.seconds = s->seconds;
    r.retries = Retries(s->st);
    r.passed = s->status == 0;
    rows.push_back(r);
  }
  std::lock_guard<std::mutex> lock(con.lock);
  con.endBlock();
  con.print(stdout, "\n" + cli::SummaryTable(rows));
}

// One session on each port, all at once, then the summary. Exit status: 0
// when every session succeeded, 130 after an interrupt, 1 otherwise.
int RunBatch(Job& job, const std::vector<std::string>& ports) {
  const cli::Options& o = job.o;
  // Every port is checked before any is opened.
  std::vector<std::unique_ptr<Session>> sessions;
  size_t width = 0;
  for (const std::string& port : ports) {
    auto s = std::make_unique<Session>();
    s->st.selectModel(static_cast<uint32_t>(job.row));
    std::string why = ChoosePort(true, port, job.row, s->st, s->pipePath);
    if (!why.empty()) return Usage(why);
    // Built piece by piece: GCC 12 raises a -Wrestrict false alarm on
    // "[" + name (MinGW) and on assigning "[" (Release builds).
    s->prefix.push_back('[');
    s->prefix += cli::Printable(port);
    s->prefix += "] ";
    width = std::max(width, s->prefix.size());
    sessions.push_back(std::move(s));
  }

  Console con;
  int columns = 0, lines = 0;
  const bool block = IsTerminal(stderr) && cli::TerminalSize(columns, lines) &&
                     sessions.size() < static_cast<size_t>(lines);
  std::vector<SessionState*> states;
  std::vector<std::string> rows;
  for (size_t i = 0; i < sessions.size(); ++i) {
    Session& s = *sessions[i];
    s.link = std::make_unique<PlatformLink>(s.pipePath);
    const std::string label = block ? s.prefix + std::string(width - s.prefix.size(), ' ') : s.prefix;
    s.op = std::make_unique<CliOperator>(s.st, o.yes, con, block ? Display::Block : Display::Phases,
                                         s.prefix, label, i);
    s.rec = job.record;
    s.rec.port = s.st.selectedComPort;
    states.push_back(&s.st);
    rows.push_back(s.op->progress());
  }
  if (block) con.startBlock(rows, columns);

  // A second interrupt ends every session still running where it stands.
  Arm(states, [&] {
    for (auto& s : sessions) {
      if (s->ended) continue;
      s->op->abandon();
      EndBatchSession(job, *s, con, 130, EndedAtOnce(job, *s));
    }
    PrintSummary(job, sessions, con);
  });
  std::vector<std::thread> threads;
  for (auto& session : sessions) {
    threads.emplace_back([&job, &con, &s = *session] {
      s.started = std::chrono::steady_clock::now();
      s.rec.start = std::chrono::system_clock::now();
      s.op->start();
      StartBurn(s.st, *s.link, *s.op, job.image, job.imageSize);
      s.op->finish();
      std::string interrupted;
      const int status = Ended(job, s, interrupted);
      std::lock_guard<std::mutex> lock(g_interruptLock);
      EndBatchSession(job, s, con, status, interrupted);
    });
  }
  for (std::thread& t : threads) t.join();
  Disarm();

  int status = 0;
  bool denied = false;
  for (auto& s : sessions) {
    if (s->status != 0) status = status == 130 || s->status == 130 ? 130 : 1;
    denied = denied || (s->status != 0 && UsbAccessDenied(*s->link));
  }
  if (denied) {
    std::lock_guard<std::mutex> lock(con.lock);
    con.endBlock();
    PrintUsbAccessHint();
  }
  PrintSummary(job, sessions, con);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Options o;
  std::string why = cli::ParseOptions(argc, argv, o);
  if (!why.empty()) return Usage(why);
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (o.version) {
    int row = cli::ModelFromImageName(quarn_image_name);
    if (quarn_image_name[0] == '\0')
      std::printf("quarn-burn %s\nbuilt-in image: none (name one with --image)\n", kVersion);
    else
      std::printf("quarn-burn %s\nbuilt-in image: %s (model %s)\n", kVersion, quarn_image_name,
                  row < 0 ? "unknown" : plcList[row]);
    return 0;
  }
  if (o.listModels) return ListModels();
  if (o.listPorts) {
    for (const std::string& p : ListPorts()) std::printf("%s\n", p.c_str());
    for (const std::string& p : ListUsbPorts()) std::printf("%s\n", p.c_str());
    return 0;
  }

  // The image and, from its name, the model. No fallback to another model:
  // flashing the wrong model is the worst outcome.
  if (o.image.empty() && quarn_image_name[0] == '\0')
    return Usage("this quarn-burn has no built-in image; name one with --image FILE");
  const std::string name = o.image.empty() ? std::string(quarn_image_name) : o.image;
  int row = cli::ModelFromImageName(name);
  if (row < 0) {
    return Usage("the image name '" + name + "' names no known model ('" +
                 cli::ImageModelPart(name) +
                 "' is not in the catalogue; see --list-models)");
  }
  cli::WatchInterrupts(OnInterrupt);
  if (o.identify) return RunIdentify(o, row);

  // The record file is opened before anything else happens, so a session
  // never runs without the record it was asked for.
  Job job(o, row);
  if (!o.record.empty()) {
    why = job.recordFile.open(o.record);
    if (!why.empty()) return Usage("cannot open the record file '" + o.record + "' (" + why + ")");
  }
  job.record.start = std::chrono::system_clock::now();
  const auto started = std::chrono::steady_clock::now();
  cli::Sha256 hash;

  std::vector<uint8_t> fileBytes;
  job.image = quarn_image_begin;
  job.imageSize = static_cast<uint32_t>(quarn_image_end - quarn_image_begin);
  uint64_t fileSize = job.imageSize;
  if (!o.image.empty()) {
    // One byte past the model's limit is enough for the worker to refuse a
    // larger image; nothing beyond that is kept.
    if (!ReadImage(o.image, size_t{kProfile[row].maxSize} + 1, fileBytes,
                   o.record.empty() ? nullptr : &hash, fileSize))
      return Usage("cannot read the image file '" + o.image + "'");
    static const uint8_t kNone = 0;
    job.image = fileBytes.empty() ? &kNone : fileBytes.data();
    job.imageSize = static_cast<uint32_t>(fileBytes.size());
  } else if (!o.record.empty()) {
    hash.update(job.image, job.imageSize);
  }
  job.record.tool = std::string("quarn-burn ") + kVersion;
  job.record.model = plcList[row];
  job.record.imageName = cli::BaseName(name);
  job.record.imageSize = fileSize;
  if (!o.record.empty()) job.record.imageSha256 = hash.hex();

  // Several ports, or "all": one session on each, side by side.
  if (o.ports.size() > 1 || (o.havePort && o.port == "all")) {
    std::vector<std::string> ports;
    why = BatchPorts(o, row, ports);
    if (!why.empty()) return Usage(why);
    return RunBatch(job, ports);
  }
  return RunOne(job, started);
}
