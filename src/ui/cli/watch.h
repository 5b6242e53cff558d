// The hands-free station's rules: for each watched port, when a PLC has
// arrived, when the replug or power cycle its session asks for has been
// seen, and when the PLC has left. A port runs one session at a time and,
// after it, is done until its PLC leaves: a PLC left plugged in is never
// updated twice. What the station sees comes from a Presence; its time from
// whoever calls poll(), so that tests run it on a virtual clock.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

namespace quarn::cli {

// What the station can see of its ports.
class Presence {
 public:
  virtual ~Presence() = default;
  // The places that hold a USB PLC now (usb:BUS-PORTS).
  virtual std::vector<std::string> usbPlaces() = 0;
  // One look at the serial port with the session's own wake-up and mode
  // probe (st selects the model): ENQ, ACK, or 0 when nothing answered.
  virtual uint8_t probe(const std::string& port, SessionState& st) = 0;
};

// The station's times, in seconds.
constexpr double kProbeEvery = 1.0;      // a serial port is probed at most this often
constexpr double kUsbScanEvery = 0.25;   // the USB places are looked at this often
constexpr int kSilentProbesGone = 5;     // a serial PLC silent this many probes in a row has left
constexpr double kReconnectBound = 120;  // a replug or power cycle not seen by then is not coming

enum class PortState {
  Waiting,    // no PLC there
  InSession,  // a session runs
  Reconnect,  // the session waits for the replug or power cycle it asked for
  Done,       // the session has ended; the PLC is still there
};

struct StationEvent {
  enum Kind { Arrival, Stage, Progress, Prompt, Reconnect, Outcome, Departure };
  StationEvent(Kind k, std::string p, double t, std::string s = "", int pc = 0)
      : kind(k), port(std::move(p)), at(t), text(std::move(s)), percent(pc) {}
  Kind kind;
  std::string port;
  double at = 0;     // seconds since the station started
  std::string text;  // Stage: the stage word; Prompt and Outcome: "CAPTION: TEXT"
  int percent = 0;   // Progress: in tens
  bool passed = false;
};
const char* EventName(StationEvent::Kind k);

class Station {
 public:
  // Runs one whole session on the port with its state and operator (on a
  // thread of the station's), writes its record, and returns its outcome.
  using Session = std::function<Outcome(const std::string& port, SessionState& st, Operator& op)>;
  struct Hooks {
    Session session;
    std::function<void(const StationEvent&)> event;  // called with no lock of the station held
    std::function<void(unsigned seconds, const std::atomic<bool>& stop)>
        sleep;  // the session's waits
  };

  // ports: the ports watched; anyUsbPlace: every USB place that holds a PLC
  // is watched too, as it appears.
  Station(int row, const std::vector<std::string>& ports, bool anyUsbPlace, Presence& presence,
          Hooks hooks);
  ~Station();  // stops and joins the sessions still running
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // One look at the ports at `now` (seconds since the start, never
  // decreasing): arrivals start sessions; replugs, power cycles and the
  // reconnect bound answer the sessions waiting; ended sessions make their
  // ports done; departures free them. Stage and progress events too.
  void poll(double now);
  // No more than n sessions start (0: no limit).
  void limit(int n) { limit_ = n; }
  // Every session running is asked to stop (at its next exchange); those
  // waiting for a reconnect stop waiting. No session starts from now on.
  void stop();
  // Waits until every session waits for a reconnect or has ended (tests).
  void settle();
  // Waits for the sessions still running to end, then takes their ends in.
  void join(double now);

  size_t ports() const;
  std::string portName(size_t i) const;
  PortState state(size_t i) const;
  // The port's session's state as the board shows it (valid while it runs).
  ProgressView view(size_t i) const;
  std::string lastOutcome(size_t i) const;
  std::string promptText(size_t i) const;  // "CAPTION: TEXT" of the prompt it waits on  //
                                           // "CAPTION: TEXT" of its last session, or ""
  int ended() const;
  int passed() const;
  bool running() const;  // a session is running

  // The session's side (called from its thread).
  bool awaitReconnect(const std::string& port, Prompt kind, const char* caption, const char* text);
  void sleep(unsigned seconds);

 private:
  struct Port;
  Port* find(const std::string& name);
  void look(double now, std::vector<StationEvent>& out);
  void start(Port& p, double now, std::vector<StationEvent>& out);
  void launch(Port& p);
  void progress(Port& p, double now, std::vector<StationEvent>& out);
  void reap(double now, std::vector<StationEvent>& out);

  const int row_;
  const bool anyUsb_;
  Presence& presence_;
  Hooks hooks_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::atomic<bool> stopping_{false};
  double now_ = 0, lastUsbScan_ = -1e9;
  int ended_ = 0, passed_ = 0, started_ = 0, limit_ = 0;
};

}  // namespace quarn::cli
