// Application-mode protocol. Every request is a fixed Modbus ASCII line; every
// reply is read into a buffer of exactly its length, checked with CheckLRC in
// place and then read byte by byte (reply byte k at position k + 1).
#include "appproto/appproto.h"

#include <cstring>
#include <string_view>

#include "exchange/exchange.h"

namespace quarn {
namespace {

constexpr uint32_t kWakeTimeoutMs = 200;
constexpr uint32_t kTimeoutMs = 3000;

constexpr int kWakeReply = 11;      // never examined
constexpr int kRegisterReply = 15;  // address, 0x03, byte count, value high, value low, LRC
constexpr int kLongReply = 19;      // address, function, five payload bytes, LRC

// The requests as they go on the wire. Header 0x01 0x59, or 0x01 0x5B for the
// AIO models where a request has two versions.
constexpr std::string_view kWakeUp = ":007F81\r\n";
constexpr std::string_view kProbe = ":006401590141\r\n";
constexpr std::string_view kProbeAio = ":0064015B013F\r\n";
constexpr std::string_view kCheckId = ":006401594944B5\r\n";
constexpr std::string_view kCheckIdAio = ":0064015B4944B3\r\n";
constexpr std::string_view kReadD1386 = ":0003156A00017D\r\n";
constexpr std::string_view kReadD1001 = ":000313E9000100\r\n";
constexpr std::string_view kReadD1148 = ":0003147C00016C\r\n";
constexpr std::string_view kReadLoaderVersion = ":00640159053D\r\n";  // 0x59 for every model
constexpr std::string_view kRead67 = ":00670013000284\r\n";
constexpr std::string_view kErase = ":006401594552415345D2\r\n";
constexpr std::string_view kEraseAio = ":0064015B4552415345D0\r\n";
constexpr std::string_view kConfirm = ":00640159063C\r\n";
constexpr std::string_view kConfirmAio = ":0064015B063A\r\n";

// Reply byte k once CheckLRC has decoded the reply in place.
uint8_t Byte(const uint8_t* reply, int k) { return reply[k + 1]; }
uint16_t Word(const uint8_t* reply, int k) {
  return static_cast<uint16_t>(Byte(reply, k) << 8 | Byte(reply, k + 1));
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case included: replies carry upper-case digits only
}

bool Send(Link& link, std::string_view frame) {
  const int n = static_cast<int>(frame.size());
  return link.write(reinterpret_cast<const uint8_t*>(frame.data()), n) == n;
}

// The retry budget of one operation: the exchange ends at the limit-th
// failed write or the limit-th failed read; unless `counts` is off, every
// failure is shown in errCounter and added to totalErrCounter.
struct Budget {
  uint8_t limit = 6;
  bool counts = true;
  Attempts attempts;
};

void FailedWrite(SessionState& st, Budget& b) {
  ++b.attempts.werrCounter;
  if (!b.counts) return;
  st.errCounter = b.attempts.werrCounter;
  st.totalErrCounter.add(1);
}

enum class AppReply { Spent, Replied, Unanswered };

// A Modbus exception reply, ":AAFFEELL\r\n" with bit 7 of the function code
// set, at the start of the n characters read.
bool IsException(const uint8_t* reply, int n) {
  if (n < 11 || reply[0] != ':' || reply[9] != '\r' || reply[10] != '\n') return false;
  uint8_t bytes[8];
  std::memcpy(bytes, reply + 1, sizeof bytes);
  return CheckLRC(bytes, sizeof bytes) == 0 && (bytes[1] & 0x80) != 0;
}

void NoteException(SessionState& st, const uint8_t* reply, int n) {
  if (IsException(reply, n)) st.modbusException = true;
}

// Writes the request and reads a reply of N characters until one arrives in
// full, passes CheckLRC and the operation's test `good`, or the budget is
// spent; the engine pairs replies with requests (a late reply to an earlier
// attempt of the same request is waited for once an answer passes). With
// `silenceIsConsent`, a reply that falls short ends the exchange
// (Unanswered) instead of counting as a failed read. The reply buffer keeps
// what the last read left in it.
template <int N, class Good>
AppReply AppExchange(SessionState& st, Link& link, std::string_view request, uint8_t (&reply)[N],
                     Budget& b, Good good, bool silenceIsConsent = false) {
  Request req{reinterpret_cast<const uint8_t*>(request.data()), static_cast<int>(request.size()),
              reply, N, kTimeoutMs};
  req.budget = b.limit;
  req.counts = b.counts;
  req.silenceEnds = silenceIsConsent;
  req.clearReply = true;
  req.seen = NoteException;
  req.attempts = &b.attempts;
  // The hex part: everything between ':' and CR LF, the LRC last. CheckLRC
  // decodes in place, as the operations then read the reply.
  const auto judge = [&](uint8_t* r) {
    return CheckLRC(r + 1, N - 3) == 0 && good(static_cast<const uint8_t*>(r)) ? Verdict::Good
                                                                               : Verdict::Bad;
  };
  const Exchanged e = Exchange(st, link, req, judge);
  if (e.outcome == Outcome::Good) return AppReply::Replied;
  return e.outcome == Outcome::Unanswered ? AppReply::Unanswered : AppReply::Spent;
}

bool AnyReply(const uint8_t*) { return true; }

// The refusal in a long reply, once the budget is spent: byte 4 NAK, byte 5
// the reason (0x01 run mode, 0x02 flow error), byte 6 the flow state. Each
// operation knows the flow states first..last; only the mode probe knows run
// mode. Anything but NAK in byte 4, zeros included, means no answer.
// The refusal's reason and state are kept in the session's report.
uint8_t Refusal(SessionState& st, const uint8_t (&reply)[kLongReply], uint8_t first, uint8_t last,
                bool knowsRunMode) {
  const uint8_t status = Byte(reply, 4), reason = Byte(reply, 5), state = Byte(reply, 6);
  if (status != NAK) return ERR | NORESPONSE;
  st.report.refusal = true;
  st.report.reason = reason;
  st.report.flowState = state;
  if (reason == 0x01 && knowsRunMode) return ERR | RUNMODE;
  if (reason != 0x02) return ERR | UNKNOWN_ERROR_CODE;
  if (state >= first && state <= last) return ERR | state;
  return ERR | FLOWERROR_STATE_UNKNOWN;
}

// 9600 7E1 for the serial-attached models; the USB pipe takes no line set-up.
void AppLine(SessionState& st, Link& link) {
  if (!st.profile().usb) link.setLine(kAppLine);
}

// A guard's register: 0 when no valid reply came, and then the read is
// marked in unansweredReads.
uint16_t ReadRegister(SessionState& st, Link& link, std::string_view request, GuardRead which) {
  uint8_t reply[kRegisterReply] = {};
  Budget b;
  link.setTimeouts(kTimeoutMs);
  if (AppExchange(st, link, request, reply, b, AnyReply) != AppReply::Replied) {
    st.unansweredReads |= which;
    return 0;
  }
  const uint16_t value = Word(reply, 3);
  st.report.reads |= which;
  (which == GUARD_D1386   ? st.report.D1386
   : which == GUARD_D1001 ? st.report.D1001
                          : st.report.D1148) = value;
  return value;
}

// The identity request in the header form given: a reply with ACK whose
// identifier passes `accepted` ends it with OK and the identifier in id; else
// the refusal once the budget is spent.
template <class Accepted>
uint8_t IdentityRequest(SessionState& st, Link& link, bool aio, uint16_t& id, Accepted accepted) {
  link.setTimeouts(kTimeoutMs);
  uint8_t reply[kLongReply] = {};
  Budget b;
  // Every identifier the PLC reports is kept, one the check refuses too.
  const auto fits = [&](const uint8_t* r) {
    if (Byte(r, 4) != ACK) return false;
    st.report.haveId = true;
    st.report.idFromLoader = false;
    st.report.id = Word(r, 5);
    return accepted(Word(r, 5));
  };
  if (AppExchange(st, link, aio ? kCheckIdAio : kCheckId, reply, b, fits) != AppReply::Replied)
    return Refusal(st, reply, FLOWERROR_STATE2, FLOWERROR_STATE3, false);
  id = Word(reply, 5);
  return OK;
}

}  // namespace

uint8_t CheckLRC(uint8_t* buf, uint8_t len) {
  // Whole pairs only: an odd last character is never read, so neither the
  // read nor the write position leaves buf[0 .. len-1].
  uint8_t sum = 0;
  for (int k = 0; k < len / 2; ++k) {
    const int hi = HexDigit(buf[2 * k]), lo = HexDigit(buf[2 * k + 1]);
    if (hi < 0 || lo < 0) return 1;
    buf[k] = static_cast<uint8_t>(hi * 16 + lo);
    sum = static_cast<uint8_t>(sum + buf[k]);
  }
  return sum;
}

void DummyComm(SessionState& st, Link& hSerial) {
  AppLine(st, hSerial);
  hSerial.setTimeouts(kWakeTimeoutMs);
  uint8_t drain[kWakeReply];
  for (int i = 0; i < 5 && !st.stopRequested; ++i) {
    Send(hSerial, kWakeUp);
    hSerial.read(drain, kWakeReply);
  }
  for (int i = 0; i < 5 && !st.stopRequested; ++i) hSerial.read(drain, kWakeReply);
}

uint8_t ProbeOnce(SessionState& st, Link& hSerial, uint32_t ms) {
  AppLine(st, hSerial);
  hSerial.setTimeouts(ms);
  uint8_t reply[kLongReply] = {};
  hSerial.drainInput();  // what waits answers nothing of this probe
  if (!Send(hSerial, kWakeUp)) return 0;
  hSerial.read(reply, kWakeReply);  // never examined
  hSerial.drainInput(kQuietMs, ms, nullptr, 0);
  if (!Send(hSerial, st.profile().aio ? kProbeAio : kProbe)) return 0;
  if (hSerial.read(reply, kLongReply) != kLongReply || reply[0] != ':' ||
      CheckLRC(reply + 1, kLongReply - 3) != 0)
    return 0;
  const uint8_t status = Byte(reply, 4);
  return status == ENQ || status == ACK ? status : 0;
}

uint8_t ConfirmComm(SessionState& st, Link& hSerial) {
  return ConfirmComm(st, hSerial, st.profile().aio);
}

uint8_t ConfirmComm(SessionState& st, Link& hSerial, bool aio) {
  AppLine(st, hSerial);
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[kLongReply] = {};
  Budget b;
  const auto running = [&st](const uint8_t* r) {
    st.report.probeAnswered = true;
    return Byte(r, 4) == ENQ || Byte(r, 4) == ACK;
  };
  if (AppExchange(st, hSerial, aio ? kProbeAio : kProbe, reply, b, running) == AppReply::Replied) {
    st.errCounter = 0;
    st.report.mode = Byte(reply, 4);
    return Byte(reply, 4);
  }
  return Refusal(st, reply, FLOWERROR_STATE1, FLOWERROR_STATE2, true);
}

bool IdAccepted_A(uint16_t selectedPLCID, uint16_t id) {
  // The KR2 rows (0x000C) also take a PLC that reports 0x000D; VN200-Z
  // (0xA010) also takes one that reports 0x3010.
  if (selectedPLCID == 0x000C) return id == 0x000C || id == 0x000D;
  if (selectedPLCID == 0xA010) return id == 0x3010 || id == 0xA010;
  return id == selectedPLCID;
}

uint8_t CheckID_A(SessionState& st, Link& hSerial) {
  uint16_t id = 0;
  return IdentityRequest(
      st, hSerial, st.profile().aio, id,
      [want = st.selectedPLCID](uint16_t got) { return IdAccepted_A(want, got); });
}

uint8_t ReadID_A(SessionState& st, Link& hSerial, bool aio, uint16_t& id) {
  return IdentityRequest(st, hSerial, aio, id, [](uint16_t) { return true; });
}

uint16_t READ_D1386(SessionState& st, Link& hSerial) {
  return ReadRegister(st, hSerial, kReadD1386, GUARD_D1386);
}
uint16_t READ_D1001(SessionState& st, Link& hSerial) {
  return ReadRegister(st, hSerial, kReadD1001, GUARD_D1001);
}
uint16_t READ_D1148(SessionState& st, Link& hSerial) {
  return ReadRegister(st, hSerial, kReadD1148, GUARD_D1148);
}

uint8_t read_fu_version_A(SessionState& st, Link& hSerial) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[kLongReply] = {};
  Budget b;
  if (AppExchange(st, hSerial, kReadLoaderVersion, reply, b, AnyReply) != AppReply::Replied) {
    st.unansweredReads |= GUARD_VERSION;
    return 0;
  }
  st.report.reads |= GUARD_VERSION;
  st.report.loaderVersion = Byte(reply, 4);
  return Byte(reply, 4);
}

uint16_t read_0x67_PLCID(SessionState& st, Link& hSerial) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[kLongReply] = {};
  Budget b{.limit = 2, .counts = false, .attempts = {}};
  if (AppExchange(st, hSerial, kRead67, reply, b, AnyReply) != AppReply::Replied) return 0;
  st.report.haveId67 = true;
  st.report.id67 = Word(reply, 3);
  return Word(reply, 3);
}

uint8_t SendErase_A(SessionState& st, Link& hSerial) {
  const bool aio = st.profile().aio;
  // These PLCs may leave their application before they answer: a missing or
  // short reply is their consent.
  const bool silenceIsConsent =
      st.modelIs("KR2-C-V2") || st.modelIs("KR2-C-V4") || st.modelIs("MV2-CAR");
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[kLongReply] = {};
  Budget b;
  const auto acknowledged = [](const uint8_t* r) { return Byte(r, 4) == ACK; };
  for (;;) {
    const AppReply got = AppExchange(st, hSerial, aio ? kEraseAio : kErase, reply, b, acknowledged,
                                     silenceIsConsent);
    if (got == AppReply::Spent)
      return Refusal(st, reply, FLOWERROR_STATE3, FLOWERROR_STATE4, false);
    st.errCounter = 0;
    if (got == AppReply::Unanswered) return OK;
    // The PLC has acknowledged: confirm, expecting no answer. A confirmation
    // that does not go out in full costs a write and a new erase request.
    if (Send(hSerial, aio ? kConfirmAio : kConfirm)) return OK;
    FailedWrite(st, b);
  }
}

}  // namespace quarn
