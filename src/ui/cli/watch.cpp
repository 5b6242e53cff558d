// The station's rules, port by port: waiting, in session, waiting for the
// reconnect, done until the PLC leaves.
#include "ui/cli/watch.h"

#include <algorithm>

#include "catalogue/catalogue.h"

namespace quarn::cli {

const char* EventName(StationEvent::Kind k) {
  switch (k) {
    case StationEvent::Arrival: return "arrival";
    case StationEvent::Stage: return "stage";
    case StationEvent::Progress: return "progress";
    case StationEvent::Prompt: return "prompt";
    case StationEvent::Reconnect: return "reconnect";
    case StationEvent::Outcome: return "outcome";
    case StationEvent::Departure: return "departure";
  }
  return "";
}

namespace {

// A session's operator at the station: the prompts are answered by what the
// station sees, never by a key.
class StationOperator : public Operator {
 public:
  StationOperator(Station& s, std::string port) : s_(s), port_(std::move(port)) {}
  bool prompt(Prompt kind, const char* caption, const char* text) override {
    return s_.awaitReconnect(port_, kind, caption, text);
  }
  void outcome(const Outcome&) override {}  // the station takes StartBurn's
  void sleepSeconds(unsigned seconds) override { s_.sleep(seconds); }

 private:
  Station& s_;
  const std::string port_;
};

}  // namespace

struct Station::Port {
  std::string name;
  PortState state = PortState::Waiting;
  bool present = false;  // USB: a PLC at the place at the last look
  double nextProbe = 0;  // serial: not probed again before
  int silent = 0;        // serial: probes unanswered in a row
  // The reconnect asked for: when, whether the PLC was seen gone, the answer
  // (1 seen, -1 not in time, 0 not yet).
  double promptAt = 0;
  bool sawGone = false, prompted = false;
  int answer = 0;
  bool waiting = false;  // the session waits in awaitReconnect
  // Decided by a look, done once its events are told: a session to start,
  // a reconnect's answer to give. Its port's events then come in order.
  bool launch = false;
  int answerDue = 0;
  bool finished = false;  // the session's thread has returned
  std::unique_ptr<SessionState> st;
  std::unique_ptr<Operator> op;
  std::thread thread;
  Outcome outcome;
  std::string last;   // the last session's "CAPTION: TEXT"
  std::string asked;  // the prompt's "CAPTION: TEXT"
  std::string word;   // the stage word last told
  int tenth = 0;      // the tenth of the stage last told
};

Station::Station(int row, const std::vector<std::string>& ports, bool anyUsbPlace,
                 Presence& presence, Hooks hooks)
    : row_(row), anyUsb_(anyUsbPlace), presence_(presence), hooks_(std::move(hooks)) {
  for (const std::string& name : ports) {
    ports_.push_back(std::make_unique<Port>());
    ports_.back()->name = name;
  }
}

Station::~Station() {
  stop();
  join(now_);
}

Station::Port* Station::find(const std::string& name) {
  for (auto& p : ports_)
    if (p->name == name) return p.get();
  return nullptr;
}

void Station::poll(double now) {
  std::vector<StationEvent> out;
  const bool usb = kProfile[row_].usb;
  std::vector<std::string> places, probed;
  bool scanned = false;
  {
    std::lock_guard<std::mutex> lock(m_);
    now_ = now;
    reap(now, out);
    if (!usb)
      for (auto& p : ports_)
        if (p->state != PortState::InSession && now >= p->nextProbe) probed.push_back(p->name);
  }
  // The looks take time (a silent serial port its time-outs): taken with
  // no lock held, the serial ports side by side.
  if (usb && now - lastUsbScan_ >= kUsbScanEvery - 1e-9) {
    places = presence_.usbPlaces();
    lastUsbScan_ = now;
    scanned = true;
  }
  std::vector<uint8_t> answers(probed.size());
  const auto probeOne = [&](size_t k) {
    SessionState st;
    st.selectModel(static_cast<uint32_t>(row_));
    answers[k] = presence_.probe(probed[k], st);
  };
  if (probed.size() == 1) probeOne(0);
  std::vector<std::thread> probes;
  for (size_t k = 0; probed.size() > 1 && k < probed.size(); ++k) probes.emplace_back(probeOne, k);
  for (std::thread& t : probes) t.join();

  {
    std::lock_guard<std::mutex> lock(m_);
    if (scanned && anyUsb_)
      for (const std::string& place : places)
        if (!find(place)) {
          ports_.push_back(std::make_unique<Port>());
          ports_.back()->name = place;
        }
    for (auto& pp : ports_) {
      Port& p = *pp;
      bool present = p.present, looked = scanned;
      if (usb && scanned) present = std::find(places.begin(), places.end(), p.name) != places.end();
      const auto k = std::find(probed.begin(), probed.end(), p.name);
      uint8_t answer = 0;
      if (!usb && k != probed.end()) {
        answer = answers[static_cast<size_t>(k - probed.begin())];
        present = answer != 0;
        p.silent = present ? 0 : p.silent + 1;
        p.nextProbe = now + kProbeEvery;
        looked = true;
      }
      p.present = present;
      if (!looked) {
        if (p.state == PortState::InSession) progress(p, now, out);
        continue;
      }
      switch (p.state) {
        case PortState::Waiting:
          if (present && !stopping_ && (limit_ == 0 || started_ < limit_)) start(p, now, out);
          break;
        case PortState::Done:
          if (usb ? !present : p.silent >= kSilentProbesGone) {
            p.state = PortState::Waiting;
            out.push_back({StationEvent::Departure, p.name, now});
          }
          break;
        case PortState::Reconnect:
          if (!present) p.sawGone = true;
          if (p.answer == 0 && p.answerDue == 0 && p.sawGone && present) {
            p.answerDue = 1;
            out.push_back({StationEvent::Reconnect, p.name, now});
          }
          break;
        case PortState::InSession: progress(p, now, out); break;
      }
    }
    for (auto& p : ports_)
      if (p->state == PortState::Reconnect && p->answer == 0 && p->answerDue == 0 &&
          now - p->promptAt >= kReconnectBound)
        p->answerDue = -1;
  }
  // What this look saw is told before any session it starts or answers can
  // tell what comes next (its prompt).
  for (const StationEvent& e : out) hooks_.event(e);
  {
    std::lock_guard<std::mutex> lock(m_);
    for (auto& pp : ports_) {
      Port& p = *pp;
      if (p.launch) launch(p);
      // An answered session runs again: settle() waits for it from now on.
      if (p.answerDue != 0 && p.state == PortState::Reconnect) {
        p.answer = p.answerDue;
        p.state = PortState::InSession;
        p.waiting = false;
      }
      p.answerDue = 0;
    }
  }
  cv_.notify_all();
}

void Station::start(Port& p, double now, std::vector<StationEvent>& out) {
  out.push_back({StationEvent::Arrival, p.name, now});
  ++started_;
  p.state = PortState::InSession;
  p.finished = p.waiting = p.prompted = false;
  p.word.clear();
  p.tenth = 0;
  p.st = std::make_unique<SessionState>();
  p.st->selectModel(static_cast<uint32_t>(row_));
  p.st->setComPort(p.name.c_str());
  if (kProfile[row_].usb) p.st->setUsbPlace(p.name.c_str());  // the session keeps to its place
  p.op = std::make_unique<StationOperator>(*this, p.name);
  p.launch = true;
  progress(p, now, out);
}

// Starts the session start() set up. With m_ held.
void Station::launch(Port& p) {
  p.launch = false;
  p.thread = std::thread([this, &p, name = p.name, &st = *p.st, &op = *p.op] {
    const Outcome o = hooks_.session(name, st, op);
    std::lock_guard<std::mutex> lock(m_);
    p.outcome = o;
    p.finished = true;
    cv_.notify_all();
  });
}

ProgressView Station::view(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  ProgressView v;
  const Port& p = *ports_[i];
  if (!p.st) return v;
  const SessionState& st = *p.st;
  v.flashStatus = st.flashStatus;
  v.stage = st.stage;
  v.progress = st.progress;
  v.errCounter = st.errCounter;
  v.totalErrCounter = st.totalErrCounter;
  const uint8_t probe = st.firstProbe;
  v.probed = probe != 0 && probe != (ERR | NORESPONSE);
  v.restarting = p.prompted;
  return v;
}

void Station::progress(Port& p, double now, std::vector<StationEvent>& out) {
  if (!p.st || p.finished) return;
  ProgressView v;
  v.flashStatus = p.st->flashStatus;
  v.stage = p.st->stage;
  const uint8_t probe = p.st->firstProbe;
  v.probed = probe != 0 && probe != (ERR | NORESPONSE);
  v.restarting = p.prompted;
  const std::string word = StageWord(v);
  if (word != p.word) {
    p.word = word;
    p.tenth = 0;
    out.push_back({StationEvent::Stage, p.name, now, word});
  }
  const bool counting = v.flashStatus == ERASE || v.flashStatus == PROGRAM;
  const int tenth = std::clamp<int32_t>(p.st->progress, 0, 100) / 10;
  if (counting && tenth > p.tenth) {
    p.tenth = tenth;
    out.push_back({StationEvent::Progress, p.name, now, word, tenth * 10});
  }
}

// Takes in the sessions that have ended. With m_ held.
void Station::reap(double now, std::vector<StationEvent>& out) {
  for (auto& pp : ports_) {
    Port& p = *pp;
    if (!p.thread.joinable() || !p.finished) continue;
    p.thread.join();
    ++ended_;
    passed_ += p.outcome.success;
    p.last = p.outcome.caption ? std::string(p.outcome.caption) + ": " + p.outcome.text : "";
    StationEvent e{StationEvent::Outcome, p.name, now, p.last};
    e.passed = p.outcome.success;
    out.push_back(e);
    p.state = PortState::Done;
    p.silent = 0;
  }
}

void Station::stop() {
  std::lock_guard<std::mutex> lock(m_);
  stopping_ = true;
  for (auto& p : ports_)
    if (p->st && !p->finished) {
      p->st->stopRequested = true;
      p->waiting = false;
    }
  cv_.notify_all();
}

void Station::settle() {
  std::unique_lock<std::mutex> lock(m_);
  cv_.wait(lock, [&] {
    for (auto& p : ports_)
      if (p->thread.joinable() && !p->finished && !p->waiting) return false;
    return true;
  });
}

void Station::join(double now) {
  std::vector<StationEvent> out;
  {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] {
      for (auto& p : ports_)
        if (p->thread.joinable() && !p->finished) return false;
      return true;
    });
    reap(now, out);
  }
  for (const StationEvent& e : out) hooks_.event(e);
}

bool Station::awaitReconnect(const std::string& port, Prompt, const char* caption,
                             const char* text) {
  std::unique_lock<std::mutex> lock(m_);
  Port* p = find(port);
  if (!p || stopping_) return false;
  p->state = PortState::Reconnect;
  p->promptAt = now_;
  p->sawGone = false;
  p->prompted = true;
  p->answer = 0;
  p->nextProbe = now_;  // a power cycle is looked for from the next poll on
  p->asked = std::string(caption) + ": " + text;
  StationEvent e{StationEvent::Prompt, port, now_, p->asked};
  lock.unlock();
  hooks_.event(e);
  lock.lock();
  p->waiting = true;
  cv_.notify_all();
  cv_.wait(lock, [&] { return p->answer != 0 || stopping_; });
  p->state = PortState::InSession;
  return p->answer > 0 && !stopping_;
}

void Station::sleep(unsigned seconds) { hooks_.sleep(seconds, stopping_); }

size_t Station::ports() const {
  std::lock_guard<std::mutex> lock(m_);
  return ports_.size();
}
std::string Station::portName(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return ports_[i]->name;
}
PortState Station::state(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return ports_[i]->state;
}
std::string Station::lastOutcome(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return ports_[i]->last;
}
std::string Station::promptText(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return ports_[i]->asked;
}
int Station::ended() const {
  std::lock_guard<std::mutex> lock(m_);
  return ended_;
}
int Station::passed() const {
  std::lock_guard<std::mutex> lock(m_);
  return passed_;
}
bool Station::running() const {
  std::lock_guard<std::mutex> lock(m_);
  for (auto& p : ports_)
    if (p->thread.joinable() && !p->finished) return true;
  return false;
}

}  // namespace quarn::cli
