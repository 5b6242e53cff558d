// The exchange and its pairing rule. Replies come in the order of their
// requests, and a bare ACK does not say which request it answers, so the
// engine never lets a reply stand for a request it cannot have answered:
// - before a request goes out, nothing may be waiting: every reply so far is
//   accounted for (the bootloader's bare replies; the application's framed
//   ones are thrown away as before);
// - a reply that has not come within the read time-out is still owed: with
//   a late window it is waited for before the request goes again, and taken
//   as that attempt's answer when it comes;
// - once an answer passes after attempts whose replies never came, those
//   replies may still be on their way: each is given its due (judged, an
//   ERASE's ACK counted as the page it erased) before the exchange ends.
#include "exchange/exchange.h"

#include <cstring>

namespace quarn {
namespace {

const char* const kOutOfStep = "replies out of step";

void Failed(SessionState& st, const Request& req, uint8_t& counter) {
  ++counter;
  if (!req.counts) return;
  st.errCounter = counter;
  st.totalErrCounter.add(1);
}

bool IsBareReply(uint8_t b) { return b == ACK || b == NAK || b == NOK; }

// Drains the line until it is quiet. Returns how many of the bytes were
// bare replies (more than 64 bytes count as two: no single reply is that long).
int Drain(Link& link, const Request& req) {
  uint8_t kept[64];
  const int n = link.drainInput(kQuietMs, req.timeoutMs, kept, sizeof kept);
  if (n > static_cast<int>(sizeof kept)) return 2;
  int replies = 0;
  for (int k = 0; k < n; ++k) replies += IsBareReply(kept[k]);
  return replies;
}

// One attempt of a 1-byte bare exchange got `replies` bare replies (ACK,
// NAK, NOK) in its reply and the drain after it: more than one means some
// reply is not the answer to the request it came after.
bool TwoAnswers(const Request& req, int replies) {
  return req.bare && req.replyLen == 1 && replies > 1;
}

Exchanged OutOfStep(SessionState& st) {
  st.failReason = kOutOfStep;
  return {Outcome::OutOfStep, 0};
}

// The request has its answer. Replies owed by earlier attempts of the same
// request are waited for, one attempt's time each, and judged: a refusal
// among them ends the exchange as the refusal it is. Then the line is
// drained until quiet, and a bare reply there is one too many.
Exchanged Answered(SessionState& st, Link& link, const Request& req, Judge judge, bool readFailed,
                   int owed) {
  Exchanged done{Outcome::Good, 1};
  if (!readFailed) return done;
  uint8_t scrap[kMaxReply];
  link.setTimeouts(req.timeoutMs + req.lateMs);
  for (; owed > 0; --owed) {
    if (link.read(scrap, req.replyLen) < req.replyLen) break;  // lost after all
    const Verdict v = judge(scrap);
    if (v == Verdict::Good) ++done.good;
    if (v == Verdict::Refusal && req.bare) done.outcome = Outcome::Refused;
  }
  link.setTimeouts(req.timeoutMs);
  if (TwoAnswers(req, 1 + Drain(link, req))) return OutOfStep(st);
  return done;
}

}  // namespace

Exchanged Exchange(SessionState& st, Link& link, const Request& req, Judge judge) {
  if (req.replyLen <= 0 || req.replyLen > kMaxReply) return {Outcome::Spent, 0};
  Attempts local;
  Attempts& a = req.attempts ? *req.attempts : local;
  int owed = 0;  // attempts whose reply did not come in its time
  bool readFailed = false;
  while (a.werrCounter < req.budget && a.rerrCounter < req.budget) {
    if (st.stopRequested) return {Outcome::Stopped, 0};
    if (link.drainInput() > 0 && req.bare) return OutOfStep(st);
    if (req.counts && a.werrCounter + a.rerrCounter > 0) st.resent.add(1);  // it goes again
    if (link.write(req.bytes, req.len) != req.len) {
      Failed(st, req, a.werrCounter);
      continue;
    }
    if (req.clearReply) std::memset(req.reply, 0, static_cast<size_t>(req.replyLen));
    if (req.counts) st.errCounter = a.rerrCounter;
    int n = link.read(req.reply, req.replyLen);
    if (req.seen) req.seen(st, req.reply, n);
    if (n < req.replyLen && req.silenceEnds) return {Outcome::Unanswered, 0};
    const bool timedOut = n < req.replyLen;
    if (timedOut) {
      Failed(st, req, a.rerrCounter);
      readFailed = true;
      if (req.lateMs > 0 && !st.stopRequested) {
        link.setTimeouts(req.lateMs);
        n += link.read(req.reply + n, req.replyLen - n);
        link.setTimeouts(req.timeoutMs);
      }
      if (n < req.replyLen) {
        // Presumed lost; one bare reply just after is its late answer, gone
        // with the drain.
        ++owed;
        if (TwoAnswers(req, Drain(link, req))) return OutOfStep(st);
        continue;
      }
    }
    const Verdict v = judge(req.reply);
    if (v == Verdict::Good) return Answered(st, link, req, judge, readFailed, owed);
    if (v == Verdict::Refusal) return {Outcome::Refused, 0};
    if (!timedOut) Failed(st, req, a.rerrCounter);  // a late bad reply is counted already
    readFailed = true;
    // The rest of a garbled reply, or noise, goes with the drain; another
    // answer after a NAK does not.
    if (TwoAnswers(req, IsBareReply(req.reply[0]) + Drain(link, req))) return OutOfStep(st);
  }
  return {Outcome::Spent, 0};
}

bool QuietAfterwards(SessionState& st, Link& link, uint32_t quietMs, uint32_t timeoutMs) {
  uint8_t scrap[1];
  link.setTimeouts(quietMs);
  const int n = link.read(scrap, 1);
  link.setTimeouts(timeoutMs);
  if (n > 0 || link.drainInput() > 0) {
    st.failReason = kOutOfStep;
    return false;
  }
  return true;
}

}  // namespace quarn
