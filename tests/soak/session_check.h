// What every whole session against the simulated PLC must keep to, shared by
// the random-fault soak and the session fuzz target: exactly one outcome
// message, "SUCCESSFUL" only when the flash holds the bytes that must be
// sent, counters within their budgets at every exchange, no hang on the
// virtual clock, and the end-of-session reset.
#pragma once
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "burn/operator.h"
#include "catalogue/session.h"
#include "plcsim.h"

namespace sessioncheck {

// What a good transfer leaves in the flash: the bytes sent (a 4K-page
// model's last 4096 are not), filled up with SUB (0x1A) to a whole block.
inline std::vector<uint8_t> ExpectedFlash(const quarn::Profile& p,
                                          const std::vector<uint8_t>& img) {
  const size_t sent = p.fourKPage ? img.size() - 4096 : img.size();
  std::vector<uint8_t> f(img.begin(), img.begin() + static_cast<long>(sent));
  while (f.size() % p.blockData) f.push_back(0x1A);
  return f;
}

// The longest a session may take on the virtual clock: every exchange spends
// at most six 3 s read time-outs, each followed by draining the line (a few
// 50 ms reads), and one more drain and a time-out waiting for an answer owed
// after a late one (the enter-update request twice all that), the
// wake-up burst ten of 200 ms; `passes` application passes with the KR3
// identifier read, probe, identity, two register reads, version read,
// enter-update request and a reconnect wait of at most 5 s; then the
// bootloader's identity, version, pages, update, blocks and two EOTs, where
// each time-out may be followed by 3 s more for a late reply and the owed
// wait is 6 s, and the quiet spell of 6 s after the last EOT.
inline uint64_t TimeBoundMs(const quarn::Profile& p, uint32_t L, int passes) {
  const uint64_t exchange = 6 * (3000 + 200) + 200 + 3000;
  const uint64_t bootExchange = 6 * (3000 + 3000 + 200) + 200 + 6000;
  const uint64_t pass = 2000 + 2 * 3000 + 5 * exchange + 2 * exchange + 5000;
  const uint64_t pages = L / 2048 + 4, blocks = L / p.blockData + 1;
  return static_cast<uint64_t>(passes) * pass + (pages + blocks + 6) * bootExchange + 6000;
}

using Broken = std::function<void(const std::string& what)>;

// The simulated link, watched at every write, read and message: the panel's
// fields within their ranges, totalErrCounter never going back within a
// session, and the virtual clock within the session's bound. `tape`
// (optional) adds faults of the line, one byte per write or read: a write
// may come back short or reach the PLC garbled; a reply may be lost, late
// (it waits on the link after its read has timed out), cut short or garbled
// (never into an ACK: the line cannot forge the PLC's consent). The reads
// that drain the line take no byte of the tape: what they read is thrown
// away whatever it is.
struct WatchedLink : plcsim::SimLink {
  const quarn::SessionState& st;
  Broken broken;
  std::function<uint64_t()> boundMs;
  std::function<uint8_t()> tape;
  int32_t lastTotal = 0;
  bool draining = false;

  WatchedLink(plcsim::Plc& plc, const quarn::SessionState& s, Broken b)
      : SimLink(plc), st(s), broken(std::move(b)) {
    logWire = false;
  }
  void watch() {
    if (st.errCounter < 0 || st.errCounter > 6) broken("errCounter outside 0..6");
    if (st.progress < 0 || st.progress > 100) broken("progress outside 0..100");
    if (st.flashStatus < quarn::IDLE || st.flashStatus > quarn::PROGRAM)
      broken("flashStatus unknown");
    if (st.totalErrCounter < lastTotal) broken("totalErrCounter went back within a session");
    lastTotal = st.totalErrCounter;
    if (boundMs && nowMs > boundMs()) broken("the session outlasts its virtual-time bound");
  }
  int write(const uint8_t* data, int n) override {
    watch();
    const uint8_t t = tape ? tape() : 0;
    if (t >= 248)
      ++corruptWrites;
    else if (t >= 240)
      ++shortWrites;
    return SimLink::write(data, n);
  }
  int drainInput(uint32_t quietMs, uint32_t afterMs, uint8_t* kept, int keep) override {
    draining = true;
    const int n = SimLink::drainInput(quietMs, afterMs, kept, keep);
    draining = false;
    return n;
  }
  int read(uint8_t* buf, int n) override {
    watch();
    const uint8_t t = tape && !draining ? tape() : 0;
    if (t >= 208 && t < 216) {  // late: the reply comes after this read's time-out
      nowMs += timeoutMs;
      return 0;
    }
    const uint64_t before = nowMs;
    int got = SimLink::read(buf, n);
    if (t >= 192 && got > 0) {
      if (t < 224) {
        got = 0;  // lost
      } else if (t < 240) {
        got = got > (t & 15) + 1 ? got - (t & 15) - 1 : 0;  // cut short
      } else {
        uint8_t& b = buf[t % got];  // garbled, never into an ACK
        b = static_cast<uint8_t>(b ^ (t & 1 ? 0x80 : 0x01));
        if (b == quarn::ACK) b ^= 0x02;
      }
      if (got < n && nowMs == before) nowMs += timeoutMs;
    }
    return got;
  }
};

// The operator: every prompt and outcome message in order ("CAPTION: text")
// and the waits ("sleep N"). Each reconnect step ends in exactly
// one sleep, so sleeps count the passes that went on to another.
struct Watcher : quarn::Operator {
  WatchedLink& link;
  std::vector<std::string> events;
  int outcomes = 0, prompts = 0, passes = 0, ends = 0, mismatched = 0;
  bool success = false;
  std::function<void()> onPrompt;  // what the person does at a reconnect prompt
  std::function<void()> onSleep;

  explicit Watcher(WatchedLink& l) : link(l) {}
  bool prompt(quarn::Prompt, const char* caption, const char* text) override {
    link.watch();  // the panel as the prompt shows it
    events.push_back(std::string(caption) + ": " + text);
    ++prompts;
    if (onPrompt) onPrompt();
    return true;
  }
  void outcome(const quarn::Outcome& o) override {
    link.watch();  // the panel as the message shows it
    ++ends;
    if (o.caption == nullptr) return;
    events.push_back(std::string(o.caption) + ": " + o.text);
    ++outcomes;
    success = o.success;
    if (success != (std::strstr(o.text, "SUCCESSFUL") != nullptr)) success = false, ++mismatched;
  }
  void sleepSeconds(unsigned s) override {
    events.push_back("sleep " + std::to_string(s));
    link.nowMs += 1000ull * s;
    ++passes;
    if (onSleep) onSleep();
  }
};

// The session is over: one outcome, success only with the right flash and
// the transfer closed, and the state as a new session expects it.
inline void CheckEnd(const quarn::SessionState& st, const WatchedLink& link, const Watcher& op,
                     const plcsim::Plc& plc, const std::vector<uint8_t>& img,
                     const Broken& broken) {
  if (op.outcomes != 1) broken("not exactly one outcome message");
  if (op.success) {
    if (plc.flash() != ExpectedFlash(st.profile(), img)) broken("SUCCESSFUL with a wrong flash");
    if (!plc.transferClosed()) broken("SUCCESSFUL with the transfer not closed");
  }
  if (op.ends != 1) broken("not exactly one end of the session");
  if (op.mismatched != 0) broken("an outcome's success flag and its text disagree");
  if (st.elapsedTime != 0) broken("elapsedTime not reset");
  if (st.image != nullptr) broken("image not released");
  if (link.isOpen) broken("link left open");
  if (link.opens > 0 && link.closes > 0) {  // the link was opened: the full reset ran
    if (st.flashStatus != quarn::IDLE || st.progress != 0 || st.errCounter != 0 ||
        st.totalErrCounter != 0)
      broken("panel fields not reset");
  }
}

}  // namespace sessioncheck
