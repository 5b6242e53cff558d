// --identify: a read-only look at the PLC on one port, with a live line on a
// terminal, and what it found (or why it found nothing) in words or JSON.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "burn/burn.h"
#include "burn/identify.h"
#include "catalogue/catalogue.h"
#include "link/portname.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/link_failure.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"
#include "ui/cli/report.h"
#include "ui/cli/reported.h"
#include "ui/cli/run.h"
#include "ui/cli/terminal.h"
#include "ui/cli/trace.h"

namespace quarn::cli {
namespace {

const char* StepWords(IdentifyStep s) {
  switch (s) {
    case IdentifyStep::Opening: return "opening the port";
    case IdentifyStep::Waking: return "waking the PLC";
    case IdentifyStep::Probe: return "the mode probe, command header 0x01 0x59";
    case IdentifyStep::ProbeAio: return "the mode probe, command header 0x01 0x5B";
    case IdentifyStep::LoaderId: return "the bootloader's identity";
    case IdentifyStep::LoaderVersion: return "the loader version";
    case IdentifyStep::Identity: return "the identity request";
    case IdentifyStep::Registers: return "the registers D1386, D1001, D1148";
    case IdentifyStep::Id67: return "the identifier by function 0x67";
  }
  return "";
}

// The line on a terminal that says what is being asked, redrawn in place
// until the look ends.
class LiveLine {
 public:
  LiveLine(const SessionState& st, const std::string& port, std::atomic<IdentifyStep>& step)
      : st_(st), port_(port), step_(step) {
    int columns = 0, rows = 0;
    width_ = TerminalSize(columns, rows) && columns > 1 ? static_cast<size_t>(columns - 1) : 79;
    thread_ = std::thread([this] { Run(); });
  }
  ~LiveLine() {
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(stderr);
  }

 private:
  void Run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) {
      const char* step = StepWords(step_);
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
              .count();
      std::string line = "looking at " + port_ + ": " + step + ", retries " +
                         std::to_string(st_.totalErrCounter) + ", " + std::to_string(seconds) +
                         " s";
      line.resize(std::max(line.size(), width_), ' ');
      std::fprintf(stderr, "\r%s", line.substr(0, width_).c_str());
      std::fflush(stderr);
    }
  }

  const SessionState& st_;
  const std::string port_;
  std::atomic<IdentifyStep>& step_;
  size_t width_ = 79;
  std::mutex m_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

// The catalogue row whose link opens the port: the image's, or with none the
// first plain (non-AIO) model of the link the port's name says.
int LinkRow(const Options& o, const Image* image) {
  if (image) return image->row;
  const bool usbPort = o.havePort && (IsUsbPortName(o.port) || o.port == "USB");
  for (int r = 0; r < kModelCount; ++r)
    if (kProfile[r].usb == usbPort && !kProfile[r].aio) return r;
  return 0;
}

// What failed, as a JSON object on stdout.
void JsonError(const std::string& port, const char* error, const std::string& reason) {
  nlohmann::ordered_json j;
  j["port"] = port;
  j["error"] = error;
  j["reason"] = reason.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(reason);
  std::fputs(j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str(),
             stdout);
  std::fputc('\n', stdout);
}

}  // namespace

int RunIdentify(const Options& o, const Image* image) {
  const int row = LinkRow(o, image);
  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  std::string note;
  const std::vector<PortInfo> serial = o.havePort ? std::vector<PortInfo>{} : PresentSerialPorts();
  std::string why = ChoosePort(o.havePort ? &o.port : nullptr, row, serial, st, note);
  if (!why.empty()) return Usage(why);
  std::fputs(note.c_str(), stderr);
  std::unique_ptr<Link> link = MakeLink();
  Trace trace;
  std::unique_ptr<TraceLink> traced;
  why = trace.open(o.trace);
  if (!why.empty()) return Usage(why);
  if (!o.trace.empty()) traced = std::make_unique<TraceLink>(*link, trace, st, "");
  const std::string port = PortLabel(st);
  // A burn of the image would refuse it for its size or its signature.
  const char* refusal =
      image ? ImageRefusal(static_cast<uint32_t>(image->row), image->size) : nullptr;
  if (image && refusal == nullptr && !image->signature.accepted())
    refusal = "its signature is not accepted here";
  ArmStops({&st}, [](const char*) {
    if (Writable(stderr)) std::fprintf(stderr, "\n%s\n", kUntouched);
    return 130;
  });
  std::fprintf(stderr, "looking at the PLC on %s, changing nothing\n", Printable(port).c_str());
  std::atomic<IdentifyStep> step{IdentifyStep::Opening};
  Identity id;
  {
    // A trace on stderr gets whole lines: no live line is drawn between them.
    std::unique_ptr<LiveLine> live;
    if (IsTerminal(stderr) && o.trace != "-")
      live = std::make_unique<LiveLine>(st, Printable(port), step);
    id = Identify(st, traced ? static_cast<Link&>(*traced) : *link, &step);
  }
  DisarmStops();
  int status = 1;
  if (st.stopRequested) {
    std::fprintf(stderr, "%s\n", kUntouched);
    if (o.json) JsonError(port, "interrupted", "");
    status = 130;
  } else if (!id.opened) {
    // The same reasons as a burn gives.
    const LinkError& failure = link->error();
    // A burn's message says what did not open; here this line says it alone.
    const std::string line = CannotOpenLine(st, failure, "");
    if (UsbAccessDenied(st, failure))
      std::fputs(UsbAccessHint(), stderr);
    else
      std::fputs(line.empty() ? ("quarn-burn: cannot open " + Printable(port) + "\n").c_str()
                              : line.c_str(),
                 stderr);
    if (o.json) JsonError(port, "cannot open", OpenFailureWords(failure));
  } else if (id.mode == Identity::NONE) {
    std::fprintf(stderr, "no PLC answered on %s\n", Printable(port).c_str());
    if (st.modbusException) std::fputs(ModbusLine(st).c_str(), stderr);
    if (o.json)
      JsonError(port, "no PLC answered",
                st.modbusException ? "a Modbus device answered, but not as a Quarn PLC" : "");
  } else {
    const int imageRow = image ? image->row : -1;
    const sign::Verdict* signature = image ? &image->signature : nullptr;
    const std::string text =
        o.json ? IdentityJson(id, port, imageRow, signature, refusal)
               : DescribeIdentity(id, Printable(port), imageRow, signature, refusal);
    std::fputs(text.c_str(), stdout);
    status = 0;
  }
  const std::string lost = trace.close();
  if (lost.empty()) return status;
  std::fprintf(stderr, "%s\n", lost.c_str());
  return status == 0 ? 1 : status;
}

}  // namespace quarn::cli
