// quarn-burn --watch: the station on the system's ports, each session's
// record as a batch writes it, and the board, the event lines or JSON.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "appproto/appproto.h"
#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "link/portname.h"
#include "ui/cli/console.h"
#include "ui/cli/interrupts.h"
#include "ui/cli/files.h"
#include "ui/cli/link_failure.h"
#include "ui/cli/links.h"
#include "ui/cli/terminal.h"
#include "ui/cli/ports.h"
#include "ui/cli/record.h"
#include "ui/cli/trust.h"
#include "ui/cli/watch_show.h"

namespace quarn::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kProbeTimeoutMs = 300;  // each read of a station's probe
constexpr auto kTick = std::chrono::milliseconds(250);

// What the system shows of the ports: the USB PLCs by place (a scan of the
// bus), a serial port by one probe.
class SystemPresence : public Presence {
 public:
  std::vector<std::string> usbPlaces() override { return PresentUsbPlcs(); }
  uint8_t probe(const std::string& port, SessionState& st) override {
    std::unique_ptr<Link> link = MakeLink();
    if (!link->open({Endpoint::Kind::SerialPort, port.c_str()})) return 0;
    const uint8_t answer = ProbeOnce(st, *link, kProbeTimeoutMs);
    link->close();
    return answer;
  }
};

struct Watch {
  Watch(const Options& options, const Image& img) : o(options), image(img) {}
  const Options& o;
  const Image& image;
  int row = -1;
  RecordFile recordFile;
  Record record;  // what every session's record starts with
  Console con;
  bool json = false, board = false;
  bool recordLost = false;  // guarded by con.lock
  Clock::time_point started = Clock::now();
};

std::string ModeAtStart(uint8_t probe) {
  switch (probe) {
    case 0: return "";
    case ENQ: return "application";
    case ACK: return "bootloader";
    case ERR | NORESPONSE: return "no answer";
    default: return "refused";
  }
}

// One session on the port, and its record.
Outcome Session(Watch& w, const std::string& port, SessionState& st, Operator& op) {
  std::unique_ptr<Link> link = MakeLink();
  st.bootSwitchLimit = 3;  // a PLC that never restarts into its bootloader ends the session
  Record rec = w.record;
  rec.port = port;
  rec.start = std::chrono::system_clock::now();
  const auto t0 = Clock::now();
  const Outcome out = StartBurn(st, *link, op, w.image.data, w.image.size);
  if (w.o.record.empty()) return out;
  const bool stopped = st.stopRequested && out.caption == nullptr;
  rec.end = std::chrono::system_clock::now();
  rec.elapsedSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  rec.modeAtStart = ModeAtStart(st.firstProbe);
  rec.usbPath = link->error().usbPlace;
  if (out.caption) {
    rec.caption = out.caption;
    rec.text = out.text;
  }
  rec.exitStatus = stopped ? 130 : out.success ? 0 : 1;
  if (stopped) rec.interrupted = InterruptedLine(st, w.image.size);
  rec.retries = st.resent;
  rec.pagesErased = st.pagesErased;
  rec.blocksSent = st.blocksSent;
  rec.unansweredReads = st.unansweredReads;
  if (const char* why = st.failReason) rec.reason = why;
  RecordSession(st, w.image.size, rec.exitStatus, rec);
  if (rec.exitStatus != 0) rec.openFailure = OpenFailureWords(link->error());
  const std::string failed = w.recordFile.append(RecordLine(rec));
  if (!failed.empty()) {
    std::lock_guard<std::mutex> lock(w.con.lock);
    w.recordLost = true;
    std::string line(1, '[');  // piece by piece: see EventLine
    line.append(Printable(port)).append("] the session record could not be appended to ");
    w.con.print(stderr, line + Printable(w.o.record) + " (" + failed + ")\n");
  }
  return out;
}

void Show(Watch& w, const StationEvent& e) {
  std::lock_guard<std::mutex> lock(w.con.lock);
  if (w.json) {
    w.con.print(stdout, EventJson(e, std::chrono::system_clock::now()));
  } else if (!w.board) {
    w.con.print(stdout, EventLine(e));
  } else if (e.kind != StationEvent::Stage && e.kind != StationEvent::Progress) {
    w.con.print(stderr, EventLine(e));  // above the board, which shows the rest
  }
}

void DrawBoard(Watch& w, const Station& s, size_t& drawn) {
  std::vector<std::string> rows;
  const double seconds = std::chrono::duration<double>(Clock::now() - w.started).count();
  const size_t n = s.ports();
  rows.push_back(BoardHeader(s.passed(), s.ended() - s.passed(), seconds, n));
  for (size_t i = 0; i < n; ++i) rows.push_back(BoardRow(s, i, w.con.width()));
  std::lock_guard<std::mutex> lock(w.con.lock);
  if (rows.size() != drawn) {
    w.con.resetBlock(rows);
    drawn = rows.size();
  }
  for (size_t i = 0; i < rows.size(); ++i) w.con.setRow(i, rows[i]);
}

// The ports watched, checked before the station starts; any: every USB
// place is watched as a PLC appears there. Returns what is wrong, or "".
std::string WatchedPorts(const Options& o, int row, std::vector<std::string>& ports, bool& any) {
  const bool all = o.ports.empty() || std::count(o.ports.begin(), o.ports.end(), "all") > 0;
  if (kProfile[row].usb) {
    any = all;
    for (const std::string& p : o.ports) {
      if (p == "all") continue;
      if (!IsUsbPortPath(p))
        return "--watch watches USB places: name them as usb:BUS-PORTS (usb:1-2.3), as "
               "--list-ports lists them ('" +
               Printable(p) + "' is none)";
      if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
    }
    return "";
  }
  any = false;
  return BatchPorts(o.ports.empty() ? std::vector<std::string>{"all"} : o.ports, row,
                    {PresentSerialPorts(), {}}, ports);
}

}  // namespace

int RunWatch(const Options& o, const Image& image) {
  Watch w(o, image);
  w.row = image.row;
  std::vector<std::string> ports;
  bool any = false;
  std::string why = WatchedPorts(o, w.row, ports, any);
  if (!why.empty()) return Usage(why);
  if (!o.record.empty()) {
    why = w.recordFile.open(o.record);
    if (!why.empty())
      return Usage("cannot open the record file '" + Printable(o.record) + "' (" + why + ")");
  }
  w.record.tool = std::string("quarn-burn ") + QUARN_VERSION;
  w.record.station = HostName();
  w.record.operatorName = o.operatorName;
  w.record.model = plcList[w.row];
  w.record.imageName = BaseName(image.name);
  w.record.imageSize = image.fileSize;
  w.record.imageSha256 = image.sha256;
  w.record.imageSignature = SignatureStatus(image.signature);
  w.record.imageKeyId = SignatureKeyId(image.signature);

  int columns = 0, lines = 0;
  w.json = o.json;
  w.board = !o.json && IsTerminal(stderr) && TerminalSize(columns, lines) && columns > 20;
  if (w.board) w.con.startBlock({}, columns);
  std::string where = any ? "every USB place" : "";
  for (const std::string& p : ports) where.append(where.empty() ? "" : ", ").append(Printable(p));
  std::fprintf(stderr, "quarn-burn: watching %s for %s PLCs to write %s; Ctrl-C ends\n",
               where.c_str(), plcList[w.row], Printable(BaseName(image.name)).c_str());
  if (image.signature.status == sign::Status::Unchecked) std::fputs(kNotSignedLine, stderr);

  SystemPresence presence;
  Station::Hooks hooks;
  hooks.session = [&w](const std::string& port, SessionState& st, Operator& op) {
    return Session(w, port, st, op);
  };
  hooks.event = [&w](const StationEvent& e) { Show(w, e); };
  hooks.sleep = [](unsigned seconds, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!stop && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  Station station(w.row, ports, any, presence, hooks);
  if (!o.count.empty()) station.limit(std::stoi(o.count));

  // Ctrl-C stops the station: the sessions at their next exchange, each
  // with its record; a second one ends quarn-burn at once.
  SessionState interrupt;
  ArmStops({&interrupt}, [](const char*) { return 130; });
  size_t drawn = 0;
  const auto now = [&w] { return std::chrono::duration<double>(Clock::now() - w.started).count(); };
  for (;;) {
    if (interrupt.stopRequested) {
      station.stop();
      break;
    }
    station.poll(now());
    if (w.board) DrawBoard(w, station, drawn);
    if (!o.count.empty() && station.ended() >= std::stoi(o.count) && !station.running()) break;
    std::this_thread::sleep_for(kTick);
  }
  station.join(now());
  if (w.board) DrawBoard(w, station, drawn);
  DisarmStops();
  const int passed = station.passed(), failed = station.ended() - passed;
  std::lock_guard<std::mutex> lock(w.con.lock);
  w.con.endBlock();
  std::fprintf(stderr, "quarn-burn --watch: %d passed, %d failed\n", passed, failed);
  if (interrupt.stopRequested) return 130;
  return failed > 0 || w.recordLost ? 1 : 0;
}

}  // namespace quarn::cli
