// The session runner: every port's burn has its own state, link, operator
// and record; they share the image, the console and the record file.
#include "ui/cli/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "burn/burn.h"
#include "burn/identify.h"
#include "catalogue/catalogue.h"
#include "ui/cli/cli_operator.h"
#include "ui/cli/console.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/platform.h"
#include "ui/cli/ports.h"
#include "ui/cli/record.h"

namespace quarn::cli {
namespace {

// One port's burn. Its record's start and elapsed_seconds count from the
// moment the burn starts on its port to the session's end.
struct PortBurn {
  SessionState st;
  std::string pipePath;
  std::unique_ptr<Link> link;
  std::unique_ptr<CliOperator> op;
  std::string prefix;  // "[PORT] " in a batch, "" alone
  Record rec;
  std::chrono::steady_clock::time_point started;
  // How it ended; guarded by StopLock().
  bool ended = false;
  int status = 1;
  std::string interrupted;
  double seconds = 0;
};

// What every burn of a run shares.
struct Run {
  Run(const Options& options, const Image& img) : o(options), image(img) {}
  const Options& o;
  const Image& image;
  int row = -1;
  bool batch = false;
  Console con;
  RecordFile recordFile;
  Record record;  // what every burn's record starts with
  std::vector<std::unique_ptr<PortBurn>> burns;
};

int32_t Retries(const SessionState& st) {
  return std::max<int32_t>(st.sessionRetries, st.totalErrCounter);
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

// Fills in how the burn went and appends its record; returns the line that
// says it failed, or "".
std::string WriteRecord(Run& run, PortBurn& b) {
  if (run.o.record.empty()) return "";
  Record& rec = b.rec;
  rec.end = std::chrono::system_clock::now();
  rec.elapsedSeconds = b.seconds;
  rec.modeAtStart = ModeAtStart(b.st.firstProbe);
  rec.usbPath = UsbPortOf(*b.link);
  b.op->lastMessage(rec.caption, rec.text);
  rec.exitStatus = b.status;
  rec.interrupted = b.interrupted;
  rec.retries = Retries(b.st);
  rec.pagesErased = b.st.pagesErased;
  rec.blocksSent = b.st.blocksSent;
  const std::string failed = run.recordFile.append(RecordLine(rec));
  if (failed.empty()) return "";
  return "the session record could not be appended to " + run.o.record + " (" + failed + ")\n";
}

// Ends a burn: its status, its record, then the line that says where a
// stop left it (the record first: an output that is gone, or a terminal
// that hung up, must not cost the record). With StopLock() held.
void Finish(Run& run, PortBurn& b, int status, const std::string& interrupted) {
  b.ended = true;
  b.status = status;
  b.interrupted = interrupted;
  b.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - b.started).count();
  const std::string failed = WriteRecord(run, b);
  if (!interrupted.empty()) {
    std::lock_guard<std::mutex> lock(run.con.lock);
    run.con.print(stderr, b.prefix + interrupted + "\n");
  }
  if (!failed.empty()) {
    std::lock_guard<std::mutex> lock(run.con.lock);
    run.con.print(stderr, b.prefix + failed);
  }
}

// Runs one burn to its end. A stop that cut it short before its outcome
// message ends it with 130 and the line that says where.
void Burn(Run& run, PortBurn& b) {
  b.started = std::chrono::steady_clock::now();
  b.rec.start = std::chrono::system_clock::now();
  b.op->start();
  StartBurn(b.st, *b.link, *b.op, run.image.data, run.image.size);
  b.op->finish();
  const bool stopped = b.st.stopRequested && !b.op->outcomeShown();
  std::lock_guard<std::mutex> lock(StopLock());
  Finish(run, b, stopped ? 130 : b.op->exitStatus(),
         stopped ? InterruptedLine(b.st, run.image.size) : "");
}

// The summary table of a batch on stdout.
void PrintSummary(Run& run) {
  std::vector<SummaryRow> rows;
  for (auto& b : run.burns) {
    SummaryRow r;
    r.port = b->st.selectedComPort;
    r.model = plcList[run.row];
    std::string caption;
    b->op->lastMessage(caption, r.outcome);
    if (!b->interrupted.empty()) r.outcome = b->interrupted.substr(0, b->interrupted.find(';'));
    if (r.outcome.empty()) r.outcome = "no outcome";
    r.seconds = b->seconds;
    r.retries = Retries(b->st);
    r.passed = b->status == 0;
    rows.push_back(r);
  }
  // Built piece by piece: GCC 12 raises a -Wrestrict false alarm on "\n" + text.
  std::string text(1, '\n');
  text += SummaryTable(rows);
  std::lock_guard<std::mutex> lock(run.con.lock);
  run.con.endBlock();
  run.con.print(stdout, text);
}

// Every port is checked before any is opened. Returns what is wrong, or "".
std::string ChoosePorts(Run& run, const std::vector<std::string>* ports) {
  const Options& o = run.o;
  const std::vector<std::string> serial = ports || o.havePort ? std::vector<std::string>{}
                                                              : PresentSerialPorts();
  const size_t count = ports ? ports->size() : 1;
  for (size_t i = 0; i < count; ++i) {
    auto b = std::make_unique<PortBurn>();
    b->st.selectModel(static_cast<uint32_t>(run.row));
    const std::string* port = ports ? &(*ports)[i] : o.havePort ? &o.port : nullptr;
    std::string warning;
    std::string why = ChoosePort(port, run.row, serial, UsbPortRefusal(), b->st, b->pipePath, warning);
    if (!why.empty()) return why;
    std::fputs(warning.c_str(), stderr);
    if (run.batch) {
      // Built piece by piece: GCC 12 raises a -Wrestrict false alarm on
      // "[" + name (MinGW) and on assigning "[" (Release builds).
      b->prefix.push_back('[');
      b->prefix += Printable(*port);
      b->prefix += "] ";
    }
    run.burns.push_back(std::move(b));
  }
  return "";
}

}  // namespace

int RunBurns(const Options& o, const Image& image, const std::vector<std::string>* ports) {
  Run run(o, image);
  run.row = image.row;
  run.batch = ports != nullptr;
  std::string why = ChoosePorts(run, ports);
  if (!why.empty()) return Usage(why);

  // The record file is opened before any port, so a burn never runs
  // without the record it was asked for.
  if (!o.record.empty()) {
    why = run.recordFile.open(o.record);
    if (!why.empty()) return Usage("cannot open the record file '" + o.record + "' (" + why + ")");
  }
  run.record.tool = std::string("quarn-burn ") + QUARN_VERSION;
  run.record.model = plcList[run.row];
  run.record.imageName = BaseName(image.name);
  run.record.imageSize = image.fileSize;
  run.record.imageSha256 = image.sha256;

  int columns = 0, lines = 0;
  const bool terminal = IsTerminal(stderr);
  const bool block = run.batch && terminal && TerminalSize(columns, lines) &&
                     run.burns.size() < static_cast<size_t>(lines);
  const Display display = !run.batch && terminal ? Display::Line
                          : block                ? Display::Block
                                                 : Display::Phases;
  size_t width = 0;
  for (auto& b : run.burns) width = std::max(width, b->prefix.size());
  std::vector<SessionState*> states;
  std::vector<std::string> rows;
  for (size_t i = 0; i < run.burns.size(); ++i) {
    PortBurn& b = *run.burns[i];
    b.link = MakeLink(b.pipePath);
    const std::string label = block ? b.prefix + std::string(width - b.prefix.size(), ' ') : b.prefix;
    b.op = std::make_unique<CliOperator>(b.st, o.yes, run.con, display, b.prefix, label, i);
    b.rec = run.record;
    b.rec.port = b.st.selectedComPort;
    states.push_back(&b.st);
    rows.push_back(b.op->progress());
  }
  if (block) run.con.startBlock(rows, columns);

  // A second interrupt ends every burn still running where it stands.
  ArmStops(states, [&run] {
    for (auto& b : run.burns) {
      if (b->ended) continue;
      b->op->abandon();
      Finish(run, *b, 130,
             InterruptedLine(b->st, run.image.size) +
                 " (a second interrupt ended quarn-burn at once)");
    }
    if (run.batch) PrintSummary(run);
  });
  std::vector<std::thread> threads;
  for (auto& b : run.burns) threads.emplace_back([&run, &b = *b] { Burn(run, b); });
  for (std::thread& t : threads) t.join();
  DisarmStops();

  int status = 0;
  bool denied = false;
  for (auto& b : run.burns) {
    if (b->status != 0) status = status == 130 || b->status == 130 ? 130 : 1;
    denied = denied || (b->status != 0 && UsbAccessDenied(*b->link));
  }
  if (denied) {
    std::lock_guard<std::mutex> lock(run.con.lock);
    run.con.endBlock();
    std::fputs(UsbAccessHint(), stderr);
  }
  if (run.batch) PrintSummary(run);
  return status;
}

int RunIdentify(const Options& o, int row) {
  SessionState st;
  st.selectModel(static_cast<uint32_t>(row));
  std::string pipePath, warning;
  const std::vector<std::string> serial = o.havePort ? std::vector<std::string>{}
                                                     : PresentSerialPorts();
  std::string why = ChoosePort(o.havePort ? &o.port : nullptr, row, serial, UsbPortRefusal(), st,
                               pipePath, warning);
  if (!why.empty()) return Usage(why);
  std::fputs(warning.c_str(), stderr);
  std::unique_ptr<Link> link = MakeLink(pipePath);
  const std::string port = PortLabel(st);
  ArmStops({&st}, [] { std::fprintf(stderr, "%s\n", kUntouched); });
  std::fprintf(stderr, "looking at the PLC on %s, changing nothing\n", port.c_str());
  const Identity id = Identify(st, *link);
  DisarmStops();
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
  std::fputs(DescribeIdentity(id, port).c_str(), stdout);
  return 0;
}

}  // namespace quarn::cli
