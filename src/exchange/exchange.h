// The one exchange of both PLC protocols: a request written, its reply read
// and judged, retried within a budget. The engine decides which reply belongs
// to which request; each operation gives its own request, reply length,
// time-outs and test of a reply.
#pragma once
#include <cstdint>

#include "catalogue/session.h"
#include "link/link.h"

namespace quarn {

// Failed writes and reads of one operation so far.
struct Attempts {
  uint8_t werrCounter = 0;
  uint8_t rerrCounter = 0;
};

// What an operation makes of a reply that arrived in full.
enum class Verdict {
  Good,     // the answer the operation waits for
  Refusal,  // a refusal that ends the exchange at once (the bootloader's NOK)
  Bad,      // a failed read: the request goes again
};

// A reference to an operation's test of a reply, without allocation.
class Judge {
 public:
  template <class F>
  Judge(const F& f)  // NOLINT: implicit, so that a lambda can be passed as it is
      : obj_(&f), call_([](const void* o, uint8_t* r) { return (*static_cast<const F*>(o))(r); }) {}
  Verdict operator()(uint8_t* reply) const { return call_(obj_, reply); }

 private:
  const void* obj_;
  Verdict (*call_)(const void*, uint8_t*);
};

struct Request {
  const uint8_t* bytes;
  int len;
  uint8_t* reply;  // exactly one reply long, at most kMaxReply bytes
  int replyLen;
  uint32_t timeoutMs;  // the read time-out the operation has set
  // The bootloader's replies are bare bytes that say nothing of their
  // request: bytes waiting before a request goes out answer nothing the
  // engine can pair, and end the exchange out of step. The application's
  // framed replies are thrown away then, as noise of the line.
  bool bare = false;
  // After a time-out the reply is still owed: it is waited for this much
  // longer before the request goes again (a slow flash erase), so that the
  // late answer is taken as its own request's and nothing is sent twice for it.
  uint32_t lateMs = 0;
  uint8_t budget = 6;        // the budget-th failed write or read ends the exchange
  bool counts = true;        // failures shown in errCounter and added to totalErrCounter
  bool silenceEnds = false;  // a reply that falls short ends the exchange (Unanswered)
  bool clearReply = false;   // the reply buffer is set to 0x00 before every read
  // An operation of several exchanges keeps its counts here (else each
  // exchange starts from 0).
  Attempts* attempts = nullptr;
  // Sees every read as it came (n bytes, a short one too).
  void (*seen)(SessionState& st, const uint8_t* reply, int n) = nullptr;
};

constexpr int kMaxReply = 64;

enum class Outcome { Good, Refused, Spent, Unanswered, OutOfStep, Stopped };

struct Exchanged {
  Outcome outcome;
  int good;  // replies judged Good: the request's own, and owed ones of its earlier attempts
};

Exchanged Exchange(SessionState& st, Link& link, const Request& req, Judge judge);

// After the last answer of a session: the line must stay quiet for quietMs.
// A byte that comes means some reply was paired with the wrong request.
bool QuietAfterwards(SessionState& st, Link& link, uint32_t quietMs, uint32_t timeoutMs);

}  // namespace quarn
