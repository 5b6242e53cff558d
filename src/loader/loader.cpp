// Bootloader protocol: the system sends a bare command word, the bootloader
// answers with a short raw reply led by ACK; the image follows in numbered
// blocks, each closed by a CRC-16 and acknowledged on its own.
#include "loader/loader.h"

#include <algorithm>
#include <cstring>

#include "exchange/exchange.h"

namespace quarn {

namespace {

constexpr uint32_t kTimeoutMs = 3000;
constexpr uint8_t kBudget = 6;      // the sixth failed write or read ends an exchange
constexpr uint32_t kUnsent = 4096;  // a 4K-page model's last 4096 bytes are never erased nor sent

// A reply late by more than the read time-out (a page erase or a block
// write slower than 3 s) is waited for this much longer before the command
// goes again.
constexpr uint32_t kLateMs = 3000;
// After the closing EOT's ACK the line must stay quiet this long: a byte
// that comes means a reply was read for the wrong request. Longer when any
// read of the session failed, as a reply may then be as late as a late one.
constexpr uint32_t kQuietAfterMs = 200;

// How one command is exchanged: its reply's own test after the leading ACK,
// its budget, whether a NOK ends it, and whether its replies are bare (all
// but the first identity read, whose reply names the PLC and follows the
// application-mode probe's frames).
struct Boot {
  bool (*accept)(SessionState& st, const uint8_t* reply) = nullptr;
  uint8_t budget = kBudget;
  bool nokEnds = false;
  bool bare = true;
};

// The bootloader exchange: cmd is written until a reply of replyLen bytes led
// by ACK (and passing accept) comes back; with nokEnds a 1-byte NOK ends it
// at once with NOK. The engine pairs the replies with their commands; OK
// leaves errCounter at the failed reads, for each operation to clear as the
// protocol says. `acks` gets the number of ACKs the command got (an owed
// ERASE's late one included).
uint8_t BootExchange(SessionState& st, Link& hSerial, const void* cmd, int len, uint8_t* reply,
                     int replyLen, const Boot& how = {}, int* acks = nullptr) {
  Request req{static_cast<const uint8_t*>(cmd), len, reply, replyLen, kTimeoutMs};
  req.bare = how.bare;
  req.lateMs = kLateMs;
  req.budget = how.budget;
  const auto judge = [&](const uint8_t* r) {
    if (r[0] == ACK && (how.accept == nullptr || how.accept(st, r))) return Verdict::Good;
    if (how.nokEnds && replyLen == 1 && r[0] == NOK) return Verdict::Refusal;
    return Verdict::Bad;
  };
  const Exchanged e = Exchange(st, hSerial, req, judge);
  if (acks != nullptr) *acks = e.good;
  if (e.outcome == Outcome::Good) return OK;
  return e.outcome == Outcome::Refused ? NOK : ERR;
}

// Closes the erase or the transfer: EOT with the full budget; its ACK ends
// the phase at 100 %. Closing the transfer, a NOK can only be a block's
// refusal read late, and ends it as such.
// Closing the transfer, the line must then stay quiet: a byte that comes
// means a reply was read for the wrong request, and the update has not been
// shown to be complete.
uint8_t CloseWithEOT(SessionState& st, Link& hSerial, bool transfer) {
  uint8_t reply[1];
  const uint8_t res = BootExchange(st, hSerial, &EOT, 1, reply, 1, Boot{.nokEnds = transfer});
  if (res != OK) return res;
  st.errCounter = 0;
  if (transfer) {
    const uint32_t quiet = st.totalErrCounter > 0 ? kTimeoutMs + kLateMs : kQuietAfterMs;
    if (!QuietAfterwards(st, hSerial, quiet, kTimeoutMs)) return ERR;
  }
  st.progress = 100;
  return OK;
}

uint16_t ReplyId(const uint8_t* reply) { return static_cast<uint16_t>(reply[1] << 8 | reply[2]); }

// Every identifier the bootloader reports is kept, one the check refuses too.
bool IdReplyKept(SessionState& st, const uint8_t* reply) {
  st.report.haveId = true;
  st.report.idFromLoader = true;
  st.report.id = ReplyId(reply);
  return true;
}

bool IdReplyAccepted(SessionState& st, const uint8_t* reply) {
  return IdReplyKept(st, reply) && IdAccepted_B(st, ReplyId(reply));
}

uint32_t CeilDiv(uint32_t a, uint32_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// Erase pages before they are kept to 16 bits.
uint32_t PageCount(const Profile& p, uint32_t L) {
  switch (p.erase) {
    case EraseRule::Div2K: return L / 2048 + 1;
    case EraseRule::Div16K: return L / 16384 + 1;
    case EraseRule::Div128K: return L / 131072 + 1;
    case EraseRule::FourK: return CeilDiv(L - kUnsent, 4096);
    case EraseRule::Ceil2K: return CeilDiv(L, 2048);
    case EraseRule::Fixed4: return 4;
  }
  return 0;
}

uint32_t BytesSent(const Profile& p, uint32_t L) { return p.fourKPage ? L - kUnsent : L; }

// Image bytes from fin to the image's end; 0 when fin is not inside the image.
size_t ImageLeft(const SessionState& st) {
  if (st.image == nullptr || st.fin == nullptr) return 0;
  const uint8_t* end = st.image + st.imageSize;
  if (st.fin < st.image || st.fin > end) return 0;
  return static_cast<size_t>(end - st.fin);
}

}  // namespace

bool IdAccepted_B(const SessionState& st, uint16_t id) {
  if (st.modelIs("VN200-Z")) return id == 0x3010 || id == 0xA010;
  if (st.profile().usb) return id == st.selectedPLCID;
  if (st.selectedPLCID == 0x000C) return id == 0x000C || id == 0x000D;
  return id == (st.selectedPLCID & 0x7FFF);
}

bool imageFits(uint32_t modelIdx, uint32_t L) {
  if (modelIdx >= kModelCount) return false;
  const Profile& p = kProfile[modelIdx];
  if (p.fourKPage && L < kUnsent) return false;
  return PageCount(p, L) <= 0xFFFF;
}

uint16_t totalPages(uint32_t modelIdx, uint32_t L) {
  if (!imageFits(modelIdx, L)) return 0;
  return static_cast<uint16_t>(PageCount(kProfile[modelIdx], L));
}

uint32_t bytesSent(uint32_t modelIdx, uint32_t L) {
  return imageFits(modelIdx, L) ? BytesSent(kProfile[modelIdx], L) : 0;
}

int32_t totalPacket(uint32_t modelIdx, uint32_t L) {
  if (!imageFits(modelIdx, L)) return 0;
  const Profile& p = kProfile[modelIdx];
  return static_cast<int32_t>(CeilDiv(BytesSent(p, L), p.blockData));
}

void FileRead(SessionState& st, uint8_t* rxbuf, int32_t counter) {
  if (counter <= 0) return;
  const size_t n = std::min(static_cast<size_t>(counter), ImageLeft(st));
  if (n == 0) return;
  std::memcpy(rxbuf, st.fin, n);
  st.fin += n;
}

uint8_t CheckID_B(SessionState& st, Link& hSerial) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[3];
  if (BootExchange(st, hSerial, "ID", 2, reply, 3,
                   Boot{.accept = IdReplyAccepted, .bare = false}) != OK)
    return ERR;
  // The 0x000C serial family keeps its count of failed reads in errCounter.
  if (st.profile().usb || st.selectedPLCID != 0x000C) st.errCounter = 0;
  return OK;
}

uint8_t ReadID_B(SessionState& st, Link& hSerial, uint16_t& id) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[3];
  if (BootExchange(st, hSerial, "ID", 2, reply, 3, Boot{.accept = IdReplyKept, .bare = false}) !=
      OK)
    return ERR;
  id = ReplyId(reply);
  st.errCounter = 0;
  return OK;
}

uint8_t read_fu_version_B(SessionState& st, Link& hSerial) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[3];
  if (BootExchange(st, hSerial, "VERSION", 7, reply, 3) != OK) return ERR;
  // Low nibble of byte A: major version; high nibble of byte B: minor.
  st.VN_fu_version = static_cast<uint8_t>(reply[1] << 4 | reply[2] >> 4);
  st.report.reads |= GUARD_VERSION;
  st.report.loaderVersion = st.VN_fu_version;
  st.errCounter = 0;
  return OK;
}

uint8_t SendErase_B(SessionState& st, Link& hSerial) {
  const uint32_t L = st.fileLength;
  if (!imageFits(st.selectedPLCIdx, L)) return ERR;  // refused before anything is sent
  const uint16_t pages = totalPages(st.selectedPLCIdx, L);
  hSerial.setTimeouts(kTimeoutMs);
  st.flashStatus = ERASE;
  st.stage = STAGE_ERASING;
  st.progress = 0;
  // A 4K-page model gets one try per page: no "ERASE" is sent twice. Pages
  // are counted by the ACKs that come back, an owed one's included.
  const Boot how{.budget = st.profile().fourKPage ? uint8_t{1} : kBudget};
  uint8_t reply[1];
  for (int acked = 0; acked < pages;) {
    int acks = 0;
    if (BootExchange(st, hSerial, "ERASE", 5, reply, 1, how, &acks) != OK) return ERR;
    st.pagesErased.add(acks);
    st.errCounter = 0;
    st.progress = acked * 100 / pages;
    acked += acks;
  }
  return CloseWithEOT(st, hSerial, false);
}

uint8_t SendUpdate(SessionState& st, Link& hSerial) {
  hSerial.setTimeouts(kTimeoutMs);
  uint8_t reply[1];
  if (BootExchange(st, hSerial, "UPDATE", 6, reply, 1) != OK) return ERR;  // line left as it was
  hSerial.setLine(kTransferLine);  // everything after the ACK runs at 115200 8N1
  st.errCounter = 0;
  return OK;
}

uint8_t SendFW(SessionState& st, Link& hSerial) {
  const uint32_t L = st.fileLength;
  const Profile& p = st.profile();
  // Refused before anything is sent: an image too short for its model, or
  // one that does not hold the bytes fileLength promises.
  if (!imageFits(st.selectedPLCIdx, L) || ImageLeft(st) < BytesSent(p, L)) return ERR;
  const int32_t packets = totalPacket(st.selectedPLCIdx, L);
  const uint32_t D = p.blockData == 256 ? 256 : 128;
  uint8_t txBuf[261];
  uint8_t reply[1];
  uint8_t packetNum = 1;
  int32_t packetCounter = 0;
  hSerial.setTimeouts(kTimeoutMs);
  st.flashStatus = PROGRAM;
  st.stage = STAGE_PROGRAMMING;
  st.progress = 0;
  for (int32_t i = 0; i < packets; ++i) {
    txBuf[0] = STX;
    txBuf[1] = packetNum;
    txBuf[2] = static_cast<uint8_t>(255 - packetNum);
    // The last block carries what is left and is filled up with SUB.
    const uint32_t r = (i == packets - 1 && L % D != 0) ? L % D : D;
    FileRead(st, txBuf + 3, static_cast<int32_t>(r));
    std::memset(txBuf + 3 + r, SUB, D - r);
    const uint32_t c = CRC(txBuf + 3, D);
    txBuf[3 + D] = static_cast<uint8_t>(c >> 8);
    txBuf[4 + D] = static_cast<uint8_t>(c & 0xFF);
    st.errCounter = 0;
    const uint8_t res =
        BootExchange(st, hSerial, txBuf, static_cast<int>(5 + D), reply, 1, Boot{.nokEnds = true});
    if (res != OK) return res;  // ERR, or the bootloader's NOK passed through
    ++packetNum;                // 255 wraps to 0
    ++packetCounter;
    st.blocksSent = packetCounter;
    st.progress = static_cast<int32_t>(int64_t{packetCounter} * 100 / (packets + 1));
  }
  st.errCounter = 0;
  return CloseWithEOT(st, hSerial, true);
}

}  // namespace quarn
