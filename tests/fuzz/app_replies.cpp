// Application-mode replies: CheckLRC on any characters, and every operation
// that reads a reply fed from a scripted link.
//
// Input: op, model row, k, k scripted write counts (0xFF: in full), then the
// replies, each led by its length; past the last one every read times out.
#include <cstring>
#include <vector>

#include "appproto/appproto.h"
#include "fuzz.h"
#include "script_link.h"

using namespace quarn;

namespace {

int Hex(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The reply decoded apart from CheckLRC: n characters, hex characters 1 ..
// n-3 in upper-case pairs summing to 0. bytes gets reply byte k at k.
bool GoodFrame(const std::string& r, size_t n, uint8_t* bytes) {
  if (r.size() < n) return false;
  uint8_t sum = 0;
  for (size_t k = 0; k < (n - 3) / 2; ++k) {
    const int hi = Hex(static_cast<uint8_t>(r[1 + 2 * k])),
              lo = Hex(static_cast<uint8_t>(r[2 + 2 * k]));
    if (hi < 0 || lo < 0) return false;
    bytes[k] = static_cast<uint8_t>(hi * 16 + lo);
    sum = static_cast<uint8_t>(sum + bytes[k]);
  }
  return sum == 0;
}

// Whether one of the replies that were read is a good frame of n characters
// that passes test.
template <class Test>
bool AnyGood(const std::vector<std::string>& read, size_t n, Test test) {
  for (const std::string& r : read) {
    uint8_t b[8] = {};
    if (GoodFrame(r, n, b) && test(b)) return true;
  }
  return false;
}

void CheckLrcAgainstItsDefinition(fuzz::Input& in) {
  const std::string s = in.take(255);
  std::vector<uint8_t> buf(s.begin(), s.end());  // exactly len bytes: ASan sees any overrun
  const uint8_t got = CheckLRC(buf.data(), static_cast<uint8_t>(buf.size()));
  uint8_t want = 0;
  for (size_t k = 0; k < s.size() / 2; ++k) {
    const int hi = Hex(static_cast<uint8_t>(s[2 * k])),
              lo = Hex(static_cast<uint8_t>(s[2 * k + 1]));
    if (hi < 0 || lo < 0) {
      want = 1;
      break;
    }
    FUZZ_CHECK(buf[k] == hi * 16 + lo);
    want = static_cast<uint8_t>(want + hi * 16 + lo);
  }
  FUZZ_CHECK(got == want);
}

}  // namespace

int fuzz::AppReplies(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int op = in.byte() % 10;
  if (op == 0) {
    CheckLrcAgainstItsDefinition(in);
    return 0;
  }
  SessionState st;
  st.selectModel(in.byte() % kModelCount);
  ScriptLink link;
  Script(in, link);
  const std::vector<std::string> replies(link.replies.begin(), link.replies.end());

  int result = 0;
  switch (op) {
    case 1: DummyComm(st, link); break;
    case 2: result = ConfirmComm(st, link); break;
    case 3: result = CheckID_A(st, link); break;
    case 4: result = READ_D1386(st, link); break;
    case 5: result = READ_D1001(st, link); break;
    case 6: result = READ_D1148(st, link); break;
    case 7: result = read_fu_version_A(st, link); break;
    case 8: result = read_0x67_PLCID(st, link); break;
    default: result = SendErase_A(st, link); break;
  }

  // The budget: at most 11 attempts per exchange (the enter-update request
  // adds its confirmations), each read into a buffer of the reply's length.
  const size_t writes = link.writes.size(), reads = link.readSizes.size();
  FUZZ_CHECK(writes <= (op == 1 ? 5u : op == 9 ? 20u : op == 8 ? 3u : 11u));
  FUZZ_CHECK(reads <= (op == 1 ? 10u : op == 9 ? 12u : 11u));
  for (int n : link.readSizes) FUZZ_CHECK(n == 11 || n == 15 || n == 19);
  FUZZ_CHECK(st.errCounter >= 0 && st.errCounter <= 6);
  FUZZ_CHECK(st.totalErrCounter >= 0 && static_cast<size_t>(st.totalErrCounter) <= writes + reads);
  if (op == 1 || op == 8) FUZZ_CHECK(st.totalErrCounter == 0);

  // A success result only from a good reply that says so.
  const std::vector<std::string> read(
      replies.begin(), replies.begin() + static_cast<long>(std::min(reads, replies.size())));
  const uint16_t id = st.selectedPLCID;
  switch (op) {
    case 2:
      FUZZ_CHECK(result == ENQ || result == ACK || result == 0x11 || result == 0x12 ||
                 (result >= 0x15 && result <= 0x18));
      if (result == ENQ || result == ACK)
        FUZZ_CHECK(AnyGood(read, 19, [&](const uint8_t* b) { return b[4] == result; }));
      break;
    case 3:
      FUZZ_CHECK(result == OK || result == 0x12 || result == 0x13 || result == 0x15 ||
                 result == 0x17 || result == 0x18);
      if (result == OK)
        FUZZ_CHECK(AnyGood(read, 19, [&](const uint8_t* b) {
          const uint16_t got = static_cast<uint16_t>(b[5] << 8 | b[6]);
          return b[4] == ACK &&
                 (got == id || (id == 0x000C && got == 0x000D) || (id == 0xA010 && got == 0x3010));
        }));
      break;
    case 4:
    case 5:
    case 6:
      if (result != 0)
        FUZZ_CHECK(
            AnyGood(read, 15, [&](const uint8_t* b) { return (b[3] << 8 | b[4]) == result; }));
      break;
    case 7:
      if (result != 0)
        FUZZ_CHECK(AnyGood(read, 19, [&](const uint8_t* b) { return b[4] == result; }));
      break;
    case 8:
      if (result != 0)
        FUZZ_CHECK(
            AnyGood(read, 19, [&](const uint8_t* b) { return (b[3] << 8 | b[4]) == result; }));
      break;
    case 9: {
      FUZZ_CHECK(result == OK || (result >= 0x13 && result <= 0x15) || result == 0x17 ||
                 result == 0x18);
      const bool silenceIsConsent =
          st.modelIs("KR2-C-V2") || st.modelIs("KR2-C-V4") || st.modelIs("MV2-CAR");
      if (result == OK && !silenceIsConsent)
        FUZZ_CHECK(AnyGood(read, 19, [](const uint8_t* b) { return b[4] == ACK; }));
      break;
    }
    default: break;
  }
  return 0;
}
