// The burn runner: every port's burn has its own state, link, operator and
// record; they share the image, the console and the record file.
#include "ui/cli/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "ui/cli/cli_operator.h"
#include "ui/cli/console.h"
#include "ui/cli/files.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/link_failure.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"
#include "ui/cli/record.h"
#include "ui/cli/report.h"
#include "ui/cli/reported.h"
#include "ui/cli/terminal.h"
#include "ui/cli/trace.h"
#include "ui/cli/trust.h"

namespace quarn::cli {

namespace {

// One port's burn. Its record's start and elapsed_seconds count from the
// moment the burn starts on its port to the session's end.
struct PortBurn {
  SessionState st;
  std::unique_ptr<Link> link;
  std::unique_ptr<TraceLink> traced;  // between the session and link, with --trace
  std::unique_ptr<CliOperator> op;
  std::unique_ptr<WatchedLink> watched;  // between the session and the rest, off a terminal
  int32_t earlierRetries = 0;            // of the passes before its port went away
  std::string prefix;                    // "[PORT] " in a batch, "" alone
  std::string label;                     // what leads its progress lines
  std::string tag;                       // "[n]" where ports are numbered, else ""
  Record rec;
  std::chrono::steady_clock::time_point started;
  // How it ended; guarded by StopLock().
  bool ended = false;
  int status = 1;
  bool recordLost = false;  // a record was asked for and could not be appended
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
  Trace trace;
  Record record;  // what every burn's record starts with
  std::vector<std::unique_ptr<PortBurn>> burns;
};

// How long a port that went away is waited for.
constexpr uint32_t kPortBackMs = 10000;

int32_t Retries(const SessionState& st) { return st.resent; }

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

// The line that says what is about to be written where, before the first
// exchange: the image's file, size, the start of its SHA-256 and who signed
// it, the model, the port.
std::string Banner(const Run& run, const PortBurn& b, const std::string& tag) {
  const std::string port = Printable(*b.st.usbPlace ? b.st.usbPlace : PortLabel(b.st));
  std::string hash;
  if (!run.image.sha256.empty()) hash = ", sha256 " + run.image.sha256.substr(0, 8) + "...";
  const sign::Verdict& v = run.image.signature;
  const std::string signer =
      v.status == sign::Status::Signed ? ", signed by " + sign::ShortId(v.keyId) : ", not signed";
  return "quarn-burn: " + tag + "writing " + Printable(BaseName(run.image.name)) + " (" +
         Grouped(run.image.fileSize) + " bytes" + hash + signer + ") to a " + plcList[run.row] +
         " on " + port + "\n";
}

// Fills in how the burn went and appends its record; returns the line that
// says it failed, or "".
std::string WriteRecord(Run& run, PortBurn& b) {
  if (run.o.record.empty()) return "";
  Record& rec = b.rec;
  rec.end = std::chrono::system_clock::now();
  rec.elapsedSeconds = b.seconds;
  rec.modeAtStart = ModeAtStart(b.st.firstProbe);
  rec.usbPath = b.link->error().usbPlace;
  b.op->lastMessage(rec.caption, rec.text);
  rec.exitStatus = b.status;
  rec.interrupted = b.interrupted;
  rec.retries = Retries(b.st) + b.earlierRetries;
  rec.pagesErased = b.st.pagesErased;
  rec.blocksSent = b.st.blocksSent;
  rec.unansweredReads = b.st.unansweredReads;
  if (const char* why = b.st.failReason) rec.reason = why;
  RecordSession(b.st, run.image.size, b.status, rec);
  if (b.status != 0) rec.openFailure = OpenFailureWords(b.link->error());
  const std::string failed = run.recordFile.append(RecordLine(rec));
  if (failed.empty()) return "";
  return "the session record could not be appended to " + Printable(run.o.record) + " (" + failed +
         ")\n";
}

// Ends a burn: its status and its record, written before anything is
// printed (an output that is gone, a terminal that hung up or was stopped,
// must not cost or delay the record). With StopLock() held. Returns what is
// to be said after it: where a stop left it, a record that failed.
std::string Finish(Run& run, PortBurn& b, int status, const std::string& interrupted) {
  b.ended = true;
  b.status = status;
  b.interrupted = interrupted;
  b.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - b.started).count();
  const std::string failed = WriteRecord(run, b);
  b.recordLost = !failed.empty();
  std::string said;
  if (!interrupted.empty()) said += b.prefix + interrupted + "\n";
  if (!failed.empty()) said += b.prefix + failed;
  return said;
}

// The run's exit status from its sessions' ends.
int RunStatus(const Run& run) {
  int status = 0;
  for (auto& b : run.burns) {
    if (b->ended && b->status != 0) status = status == 130 || b->status == 130 ? 130 : 1;
    // A record that was asked for and is missing fails the run; the
    // session's own message stays as it was.
    if (b->recordLost && status == 0) status = 1;
  }
  return status;
}

// Runs one burn to its end. A stop that cut it short before its outcome
// message ends it with 130 and the line that says where.
void Burn(Run& run, PortBurn& b) {
  b.started = std::chrono::steady_clock::now();
  b.rec.start = std::chrono::system_clock::now();
  b.op->start();
  b.st.bootSwitchLimit = 3;  // a PLC that never restarts into its bootloader ends the burn
  Link& link = b.watched  ? static_cast<Link&>(*b.watched)
               : b.traced ? static_cast<Link&>(*b.traced)
                          : *b.link;
  const bool serial = !kProfile[run.row].usb;
  const std::string adapter = serial ? AdapterName(b.st.selectedComPort) : "";
  Outcome out = StartBurn(b.st, link, *b.op, run.image.data, run.image.size);
  const uint8_t firstProbe = b.st.firstProbe;  // the mode found at the start, for the record
  // A port that went away (an adapter pulled) is waited for; once the same
  // adapter is back the session goes on as a new run would.
  for (int again = 0;
       !out.success && again < 3 && PortGone(b.st, b.link->error()) && !b.st.stopRequested;
       ++again) {
    const std::string port = Printable(PortLabel(b.st));
    b.op->say(b.prefix + "quarn-burn: " + port + " went away; waiting up to 10 s for it\n");
    const std::string back =
        WaitForPortBack(b.st.selectedComPort, adapter, kPortBackMs, b.st.stopRequested);
    if (back.empty() ||
        (back != b.st.selectedComPort && (!serial || !b.st.setComPort(back.c_str())))) {
      b.op->say(b.prefix + "quarn-burn: " + port + " did not come back\n");
      break;
    }
    b.op->say(b.prefix + "quarn-burn: " + Printable(back) +
              " is back; the session goes on as a new run would\n");
    b.op->retract();
    b.earlierRetries += Retries(b.st);
    out = StartBurn(b.st, link, *b.op, run.image.data, run.image.size);
    b.st.firstProbe = firstProbe;
  }
  const int status = out.success ? 0 : 1;
  // What follows the session's message: said once the record is written.
  std::string lines;
  // Beside a refusal: what the PLC reported, or the image's size and the limit.
  // A Modbus device's answers are said by a line of their own below.
  const std::string reported = status != 0 && out.caption != nullptr && !b.st.modbusException
                                   ? ReportedLine(b.st, run.image.fileSize)
                                   : "";
  if (!reported.empty()) lines += b.prefix + reported;
  const std::string guessed = UnansweredReadLines(b.st);
  // A guard judged an unanswered read as 0: say so on every line's port.
  for (size_t at = 0, nl; (nl = guessed.find('\n', at)) != std::string::npos; at = nl + 1)
    lines += b.prefix + guessed.substr(at, nl - at + 1);
  // "CANNOT open ... Port!!!" says what; this line says why.
  if (status != 0) lines += CannotOpenLine(b.st, b.link->error(), b.prefix);
  const bool stopped = b.st.stopRequested && out.caption == nullptr;
  if (stopped && b.op->inputEnded())
    lines +=
        b.prefix + "quarn-burn: the input ended at the prompt; give --yes to answer it unseen\n";
  if (b.st.modbusException && !stopped && status != 0) lines += b.prefix + ModbusLine(b.st);
  {
    std::lock_guard<std::mutex> lock(StopLock());
    lines += Finish(run, b, stopped ? 130 : status,
                    stopped ? InterruptedLine(b.st, run.image.size) : "");
  }
  b.op->finish();
  run.trace.flush();
  if (lines.empty()) return;
  std::lock_guard<std::mutex> lock(run.con.lock);
  run.con.print(stderr, lines);
}

// The summary table of a batch on stdout. With run.con.lock held.
void PrintSummary(Run& run) {
  std::vector<SummaryRow> rows;
  for (auto& b : run.burns) {
    SummaryRow r;
    r.port = b->tag.empty() ? std::string(b->st.selectedComPort) : b->tag;
    r.model = plcList[run.row];
    std::string caption;
    b->op->lastMessage(caption, r.outcome);
    if (!b->interrupted.empty()) r.outcome = b->interrupted.substr(0, b->interrupted.find(';'));
    if (r.outcome.empty()) r.outcome = "no outcome";
    r.seconds = b->seconds;
    r.retries = Retries(b->st) + b->earlierRetries;
    r.passed = b->status == 0;
    rows.push_back(r);
  }
  // Built piece by piece: GCC 12 raises a -Wrestrict false alarm on "\n" + text.
  std::string text(1, '\n');
  text += SummaryTable(rows);
  run.con.endBlock();
  run.con.print(stdout, text);
}

// Every port is checked before any is opened. Returns what is wrong, or "".
std::string ChoosePorts(Run& run, const std::vector<std::string>* ports) {
  const Options& o = run.o;
  const std::vector<PortInfo> serial =
      ports || o.havePort ? std::vector<PortInfo>{} : PresentSerialPorts();
  const size_t count = ports ? ports->size() : 1;
  for (size_t i = 0; i < count; ++i) {
    auto b = std::make_unique<PortBurn>();
    b->st.selectModel(static_cast<uint32_t>(run.row));
    const std::string* port = ports ? &(*ports)[i] : o.havePort ? &o.port : nullptr;
    std::string note;
    std::string why = ChoosePort(port, run.row, serial, b->st, note);
    if (!why.empty()) return why;
    std::fputs(note.c_str(), stderr);
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

  // The record file is opened after every usage check and before any port,
  // so a refused command line leaves no file behind and a burn never runs
  // without the record it was asked for.
  if (!o.record.empty()) {
    why = run.recordFile.open(o.record);
    if (!why.empty())
      return Usage("cannot open the record file '" + Printable(o.record) + "' (" + why + ")");
  }
  why = run.trace.open(o.trace);
  if (!why.empty()) return Usage(why);
  run.record.tool = std::string("quarn-burn ") + QUARN_VERSION;
  run.record.station = HostName();
  run.record.operatorName = o.operatorName;
  run.record.model = plcList[run.row];
  run.record.imageName = BaseName(image.name);
  run.record.imageSize = image.fileSize;
  run.record.imageSha256 = image.sha256;
  run.record.imageSignature = SignatureStatus(image.signature);
  run.record.imageKeyId = SignatureKeyId(image.signature);

  int columns = 0, lines = 0;
  // A trace on stderr gets whole lines: no live line is drawn between them.
  const bool terminal = IsTerminal(stderr) && o.trace != "-";
  const bool block = run.batch && terminal && TerminalSize(columns, lines) &&
                     run.burns.size() < static_cast<size_t>(lines);
  columns = TerminalColumns(columns);
  const Display display = !run.batch && terminal ? Display::Line
                          : block                ? Display::Block
                                                 : Display::Phases;
  // Progress lines lead with the port; ports with long names, such as
  // /dev/serial/by-id/..., are numbered instead ("[2] "), and the banner
  // says which is which, so that the bar and the percentage always show.
  constexpr size_t kLongestLabel = 23;  // "[" a name of 20 "] "
  size_t width = 0;
  for (auto& b : run.burns) width = std::max(width, b->prefix.size());
  const bool numbered = width > kLongestLabel;
  if (numbered) width = std::to_string(run.burns.size()).size() + 3;
  std::vector<SessionState*> states;
  std::vector<std::string> rows;
  for (size_t i = 0; i < run.burns.size(); ++i) {
    PortBurn& b = *run.burns[i];
    b.link = MakeLink();
    if (!o.trace.empty())
      b.traced = std::make_unique<TraceLink>(*b.link, run.trace, b.st, b.prefix);
    if (numbered) b.tag = "[" + std::to_string(i + 1) + "]";
    b.label = numbered ? b.tag + " " : b.prefix;
    if (block) b.label.resize(width, ' ');
    b.op = std::make_unique<CliOperator>(b.st, o.yes, run.con, display, b.prefix, b.label, i);
    b.op->setImageSize(image.size);
    if (!o.trace.empty()) b.op->traceTo(&run.trace);
    if (display == Display::Phases)
      b.watched =
          std::make_unique<WatchedLink>(b.traced ? static_cast<Link&>(*b.traced) : *b.link, *b.op);
    b.rec = run.record;
    b.rec.port = b.st.selectedComPort;
    states.push_back(&b.st);
    rows.push_back(b.op->progress(columns > 1 ? columns - 1 : 1));
  }
  for (auto& b : run.burns)
    std::fputs(Banner(run, *b, b->tag.empty() ? "" : b->tag + " ").c_str(), stderr);
  if (image.signature.status == sign::Status::Unchecked) std::fputs(kNotSignedLine, stderr);
  if (block) run.con.startBlock(rows, columns);

  // A second interrupt, or the end of the process from outside, ends every
  // burn still running where it stands: as its outcome if it came to one,
  // else where it stopped. Its record is written first; the lines are said
  // only if the console takes them at once.
  ArmStops(states, [&run](const char* ended) {
    std::string said;
    bool endedHere = false;
    for (auto& b : run.burns) {
      if (b->ended) continue;
      endedHere = true;
      const int outcome = b->op->seal();
      said += outcome >= 0 ? Finish(run, *b, outcome, "")
                           : Finish(run, *b, 130,
                                    InterruptedLine(b->st, run.image.size) + " (" + ended + ")");
    }
    int status = RunStatus(run);
    if (!endedHere) return status;  // the sessions had ended: the rest is the run's own
    if (run.trace.regular() && !run.trace.close().empty() && status == 0) status = 1;
    std::unique_lock<std::mutex> lock(run.con.lock, std::try_to_lock);
    if (lock.owns_lock() && Writable(stderr)) {
      for (auto& b : run.burns) b->op->endOutput();
      run.con.print(stderr, said);
      if (run.batch && Writable(stdout)) PrintSummary(run);
    }
    return status;
  });
  std::vector<std::thread> threads;
  for (auto& b : run.burns) threads.emplace_back([&run, &b = *b] { Burn(run, b); });
  for (std::thread& t : threads) t.join();

  int status = RunStatus(run);
  bool denied = false;
  for (auto& b : run.burns)
    denied = denied || (b->status != 0 && UsbAccessDenied(b->st, b->link->error()));
  // The trace is written out (this waits for a reader that is behind).
  const std::string lost = run.trace.close();
  std::lock_guard<std::mutex> lock(run.con.lock);
  if (!lost.empty()) {
    run.con.print(stderr, lost + "\n");
    if (status == 0) status = 1;
  }
  if (denied) {
    run.con.endBlock();
    std::fputs(UsbAccessHint(), stderr);
  }
  if (run.batch) PrintSummary(run);
  DisarmStops();
  return status;
}

}  // namespace quarn::cli
