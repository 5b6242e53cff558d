// quarn-burn: one burn session from the command line. Every message of the
// session is printed as "CAPTION: TEXT" (errors on stderr, the rest on
// stdout); the status panel becomes a progress line on stderr.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
#include "link/win32/win32_link.h"
using PlatformLink = quarn::Win32Link;
static std::vector<std::string> ListPorts() { return quarn::ListComPorts(); }
static std::vector<std::string> ListUsbPorts() { return {}; }
static const char* UsbPortRefusal() { return "USB port paths (usb:BUS-PORTS) are known on Linux only"; }
static void HintAfterFailure(const PlatformLink&) {}
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
static void HintAfterFailure(const PlatformLink& link) {
  if (!link.usbAccessDenied()) return;
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
    "Usage: quarn-burn [--image FILE] [--port PORT] [--yes] [--record FILE]\n"
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
    "                 to its port path across the PLC's restart)\n"
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
    "2 for a usage error, 130 after an interrupt. --identify: 0 when a PLC\n"
    "answered, 1 when none did.\n";

// The operator at a terminal: messages become lines, OK becomes Enter, the
// one-second timer and the 100 ms repaint become a ticker thread.
class CliOperator : public Operator {
 public:
  CliOperator(SessionState& st, bool yes)
      : st_(st), yes_(yes), tty_(IsTerminal(stderr)), stdinTty_(IsTerminal(stdin)) {}

  void start() { ticker_ = std::thread([this] { tick(); }); }

  void finish() {
    quit_ = true;
    if (ticker_.joinable()) ticker_.join();
    abandon();
  }

  // Ends the output at once: the live line stays as it stands (what it
  // showed when a stop came) and nothing more is printed on it.
  void abandon() {
    std::lock_guard<std::mutex> lock(out_);
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
    std::lock_guard<std::mutex> lock(out_);
    caption = lastCaption_;
    text = lastText_;
  }

  void message(const char* caption, Icon icon, const char* text) override {
    bool prompt;
    {
      std::lock_guard<std::mutex> lock(out_);
      // The reconnect prompts come while the timer runs; every outcome
      // message comes after it was stopped and closes the progress display.
      prompt = icon == Icon::Information && timerRunning_;
      if (!timerRunning_) {
        if (!tty_ && st_.flashStatus != IDLE) printLine("\n");
        frozen_ = true;
      }
      endLiveLine(true);
      FILE* f = icon == Icon::Error ? stderr : stdout;
      std::fprintf(f, "%s: %s\n", caption, text);
      std::fflush(f);
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
    std::lock_guard<std::mutex> lock(out_);
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
      std::lock_guard<std::mutex> lock(out_);
      if (timerRunning_ && Clock::now() >= nextSecond) {
        st_.elapsedTime.add(1);
        nextSecond += std::chrono::seconds(1);
      }
      if (st_.stopRequested) frozen_ = true;  // keep what was shown when the stop came
      if (frozen_) continue;
      int32_t phase = st_.flashStatus;
      if (tty_) {
        printLine("\r");
        liveLine_ = true;
      } else if (phase != lastPhase_ && phase != IDLE) {
        printLine("\n");
      }
      lastPhase_ = phase;
    }
  }

  // Writes the current state to stderr, ended by `end`.
  void printLine(const char* end) {
    char line[128];
    cli::FormatProgress(line, sizeof line, st_.flashStatus, st_.progress, st_.elapsedTime,
                   st_.errCounter, st_.totalErrCounter);
    if (end[0] == '\r')
      std::fprintf(stderr, "\r%-78s", line);
    else
      std::fprintf(stderr, "%s%s", line, end);
    std::fflush(stderr);
  }

  // Ends the live line on a terminal: kept (with its latest state) or wiped.
  void endLiveLine(bool keep) {
    if (!liveLine_) return;
    if (keep) {
      printLine("\r");
      std::fputc('\n', stderr);
    } else {
      std::fprintf(stderr, "\r%78s\r", "");
    }
    std::fflush(stderr);
    liveLine_ = false;
  }

  // Enter is OK; so is the end of input, and a stop.
  void waitForEnter() {
    if (stdinTty_) {
      std::fputs("(press Enter for OK)\n", stderr);
      std::fflush(stderr);
    }
    cli::WaitForEnter(st_.stopRequested);
  }

  SessionState& st_;
  const bool yes_, tty_, stdinTty_;
  std::thread ticker_;
  std::atomic<bool> quit_{false};
  std::mutex out_;  // guards what follows and the output streams
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

// The port of a session of catalogue row `row`, as a burn opens it: --port,
// else the PLC's USB device or the first serial port. pipePath: where a
// USB-attached model's pipe is opened ("": the device found by its ids).
// Returns what is wrong, or "".
std::string ChoosePort(const cli::Options& o, int row, SessionState& st, std::string& pipePath) {
  const bool usb = kProfile[row].usb;
  if (o.havePort) {
    if (!st.setComPort(o.port.c_str()))
      return "the port name is longer than " + std::to_string(sizeof st.selectedComPort - 1) +
             " characters";
    if (usb) pipePath = o.port;
    UsbPortPath usbPath;
    if (usb && IsUsbPortName(o.port) && (UsbPortRefusal() || !ParseUsbPort(o.port, usbPath)))
      return UsbPortRefusal() ? UsbPortRefusal()
                              : "'" + o.port + "' is no USB port path (usb:BUS-PORTS, such as usb:1-2.3)";
  } else if (usb) {
    st.setComPort("USB");
  } else if (!cli::ChooseFirstPort(st, ListPorts())) {
    std::fputs("quarn-burn: no serial port found; name one with --port\n", stderr);
  }
  return "";
}

// The port as the operator reads it.
std::string PortLabel(const SessionState& st) {
  return std::strcmp(st.selectedComPort, "USB") == 0 ? "the PLC's USB device" : st.selectedComPort;
}

// What the first interrupt stops, and what a second one does before it ends
// the process. Before a session starts an interrupt ends the process at once
// (nothing has been sent); once it has ended, the record is being written
// and an interrupt is let pass.
enum class Armed { Before, During, After };
std::mutex g_interruptLock;  // guards what follows
Armed g_armed = Armed::Before;
SessionState* g_stoppable = nullptr;
std::function<void()> g_atOnce;

void OnInterrupt(int n) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  if (g_armed == Armed::After) return;
  if (g_armed == Armed::During) {
    g_stoppable->stopRequested = true;
    if (n < 2) return;
    g_atOnce();
  } else {
    std::fputs("interrupted; nothing on the PLC was changed\n", stderr);
  }
  std::fflush(nullptr);
  std::_Exit(130);
}

void Arm(SessionState& st, std::function<void()> atOnce) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  g_armed = Armed::During;
  g_stoppable = &st;
  g_atOnce = std::move(atOnce);
}

void Disarm() {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  g_armed = Armed::After;
  g_stoppable = nullptr;
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
  std::string why = ChoosePort(o, row, st, pipePath);
  if (!why.empty()) return Usage(why);
  PlatformLink link(pipePath);
  const std::string port = PortLabel(st);
  const char* const untouched = "interrupted; nothing on the PLC was changed";
  Arm(st, [untouched] { std::fprintf(stderr, "%s\n", untouched); });
  std::fprintf(stderr, "looking at the PLC on %s, changing nothing\n", port.c_str());
  const Identity id = Identify(st, link);
  Disarm();
  if (st.stopRequested) {
    std::fprintf(stderr, "%s\n", untouched);
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
  cli::RecordFile recordFile;
  if (!o.record.empty()) {
    why = recordFile.open(o.record);
    if (!why.empty()) return Usage("cannot open the record file '" + o.record + "' (" + why + ")");
  }
  cli::Record rec;
  rec.start = std::chrono::system_clock::now();
  const auto started = std::chrono::steady_clock::now();
  cli::Sha256 hash;

  std::vector<uint8_t> fileBytes;
  const uint8_t* image = quarn_image_begin;
  uint32_t imageSize = static_cast<uint32_t>(quarn_image_end - quarn_image_begin);
  uint64_t fileSize = imageSize;
  if (!o.image.empty()) {
    // One byte past the model's limit is enough for the worker to refuse a
    // larger image; nothing beyond that is kept.
    if (!ReadImage(o.image, size_t{kProfile[row].maxSize} + 1, fileBytes,
                   o.record.empty() ? nullptr : &hash, fileSize))
      return Usage("cannot read the image file '" + o.image + "'");
    static const uint8_t kNone = 0;
    image = fileBytes.empty() ? &kNone : fileBytes.data();
    imageSize = static_cast<uint32_t>(fileBytes.size());
  } else if (!o.record.empty()) {
    hash.update(image, imageSize);
  }

  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  std::string pipePath;
  why = ChoosePort(o, row, st, pipePath);
  if (!why.empty()) return Usage(why);

  PlatformLink link(pipePath);
  CliOperator op(st, o.yes);
  rec.tool = std::string("quarn-burn ") + kVersion;
  rec.port = st.selectedComPort;
  rec.model = plcList[row];
  rec.imageName = cli::BaseName(name);
  rec.imageSize = fileSize;
  if (!o.record.empty()) rec.imageSha256 = hash.hex();
  // Fills in how the session went and appends the record.
  const auto writeRecord = [&](int status, const std::string& interrupted) {
    if (o.record.empty()) return;
    rec.end = std::chrono::system_clock::now();
    rec.elapsedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rec.modeAtStart = ModeAtStart(st.firstProbe);
    rec.usbPath = UsbPortOf(link);
    op.lastMessage(rec.caption, rec.text);
    rec.exitStatus = status;
    rec.interrupted = interrupted;
    rec.retries = std::max<int32_t>(st.sessionRetries, st.totalErrCounter);
    rec.pagesErased = st.pagesErased;
    rec.blocksSent = st.blocksSent;
    std::string failed = recordFile.append(cli::RecordLine(rec));
    if (!failed.empty())
      std::fprintf(stderr, "the session record could not be appended to %s (%s)\n",
                   o.record.c_str(), failed.c_str());
  };
  Arm(st, [&] {
    op.abandon();
    const std::string line =
        cli::InterruptedLine(st, imageSize) + " (a second interrupt ended quarn-burn at once)";
    std::fprintf(stderr, "%s\n", line.c_str());
    writeRecord(130, line);
  });

  op.start();
  StartBurn(st, link, op, image, imageSize);
  op.finish();
  Disarm();

  int status = op.exitStatus();
  if (status != 0) HintAfterFailure(link);
  std::string interrupted;
  if (st.stopRequested && !op.outcomeShown()) {
    interrupted = cli::InterruptedLine(st, imageSize);
    std::fprintf(stderr, "%s\n", interrupted.c_str());
    status = 130;
  }
  writeRecord(status, interrupted);
  return status;
}
