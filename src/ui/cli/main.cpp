// quarn-burn: one burn session from the command line. Every message of the
// session is printed as "CAPTION: TEXT" (errors on stderr, the rest on
// stdout); the status panel becomes a progress line on stderr.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "catalogue/session.h"
#include "ui/cli/cli.h"
#include "ui/cli/embedded_image.h"

#ifdef _WIN32
#include <io.h>
#include "link/win32/win32_link.h"
using PlatformLink = quarn::Win32Link;
static std::vector<std::string> ListPorts() { return quarn::ListComPorts(); }
static bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }
#else
#include <unistd.h>
#include "link/posix/posix_link.h"
using PlatformLink = quarn::PosixLink;
static std::vector<std::string> ListPorts() { return quarn::ListSerialPorts(); }
static bool IsTerminal(FILE* f) { return isatty(fileno(f)) != 0; }
#endif

namespace {

using namespace quarn;

constexpr const char* kVersion = QUARN_VERSION;  // the project's version, from the build

const char* const kUsage =
    "Usage: quarn-burn [--image FILE] [--port PORT] [--yes]\n"
    "       quarn-burn --list-ports | --list-models | --version | --help\n"
    "\n"
    "Writes a firmware image into a PLC. The image's file name fixes the model:\n"
    "the part before its first '_' (VN300_v1.14.10_20240103_01.bin is for VN300).\n"
    "\n"
    "  --image FILE   write FILE instead of the image built into this program\n"
    "  --port PORT    serial models: the serial port (default: the first one found);\n"
    "                 USB models: a device opened as the PLC's pipe (default: the\n"
    "                 PLC's USB device, found by vendor and product)\n"
    "  --yes          answer the reconnect prompts at once (the waits still happen)\n"
    "  --list-ports   list the serial ports present\n"
    "  --list-models  list the models with link, image size limit and block size\n"
    "  --version      show the version and the built-in image\n"
    "  --help         show this text\n"
    "\n"
    "Exit status: 0 after the success message, 1 after an error message,\n"
    "2 for a usage error.\n";

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
    std::lock_guard<std::mutex> lock(out_);
    endLiveLine(false);
  }

  // 0 when the session's last message was information (the success
  // message), 1 when it was an error or nothing was shown.
  int exitStatus() const { return shown_ && lastIcon_ == Icon::Information ? 0 : 1; }

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
      lastIcon_ = icon;
    }
    if (prompt && !yes_) waitForEnter();
  }

  void enableStart(bool) override {}

  void stopTimer() override {
    std::lock_guard<std::mutex> lock(out_);
    timerRunning_ = false;
  }

  void sleepSeconds(unsigned seconds) override {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
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

  // Enter is OK; so is the end of input.
  void waitForEnter() {
    if (stdinTty_) {
      std::fputs("(press Enter for OK)\n", stderr);
      std::fflush(stderr);
    }
    int c;
    do c = std::fgetc(stdin);
    while (c != '\n' && c != EOF);
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
  Icon lastIcon_ = Icon::Error;
};

// Reads at most limit bytes of path into bytes; false when it cannot be read.
bool ReadImage(const std::string& path, size_t limit, std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes.resize(limit);
  size_t n = std::fread(bytes.data(), 1, limit, f);
  bool ok = !std::ferror(f);
  std::fclose(f);
  bytes.resize(n);
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
  std::vector<uint8_t> fileBytes;
  const uint8_t* image = quarn_image_begin;
  uint32_t imageSize = static_cast<uint32_t>(quarn_image_end - quarn_image_begin);
  if (!o.image.empty()) {
    // One byte past the model's limit is enough for the worker to refuse a
    // larger image; nothing beyond that is read.
    if (!ReadImage(o.image, size_t{kProfile[row].maxSize} + 1, fileBytes))
      return Usage("cannot read the image file '" + o.image + "'");
    static const uint8_t kNone = 0;
    image = fileBytes.empty() ? &kNone : fileBytes.data();
    imageSize = static_cast<uint32_t>(fileBytes.size());
  }

  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  const bool usb = kProfile[row].usb;
  std::string pipePath;
  if (o.havePort) {
    if (!st.setComPort(o.port.c_str()))
      return Usage("the port name is longer than " +
                   std::to_string(sizeof st.selectedComPort - 1) + " characters");
    if (usb) pipePath = o.port;
  } else if (usb) {
    st.setComPort("USB");
  } else {
    for (const std::string& p : ListPorts())
      if (st.setComPort(p.c_str())) break;
    if (st.selectedComPort[0] == '\0')
      std::fputs("quarn-burn: no serial port found; name one with --port\n", stderr);
  }

  PlatformLink link(pipePath);
  CliOperator op(st, o.yes);
  op.start();
  StartBurn(st, link, op, image, imageSize);
  op.finish();
  return op.exitStatus();
}
