// The application-mode protocol on the wire: exact request lines, the retry
// budget and its counters, and what each operation makes of the replies.
// Expected frames are built here from their bytes with a local encoder, so
// the LRC is computed independently of CheckLRC.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "appproto/appproto.h"
#include "script_link.h"

using namespace quarn;

namespace {

// ":" + two upper-case hex digits per byte + LRC + CR LF.
std::string reply(const std::vector<int>& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = ":";
  uint8_t sum = 0;
  auto put = [&](uint8_t b) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  };
  for (int b : bytes) {
    put(static_cast<uint8_t>(b));
    sum = static_cast<uint8_t>(sum + b);
  }
  put(static_cast<uint8_t>(-sum));
  return s + "\r\n";
}

// Long replies of the function-0x64 commands: status in byte 4, then two bytes.
std::string cmd(int status, int b5 = 0, int b6 = 0) {
  return reply({0x00, 0x64, 0x01, 0x59, status, b5, b6});
}
std::string reg(uint16_t v) { return reply({0x00, 0x03, 0x02, v >> 8, v & 0xFF}); }
std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(c));
  return s;
}
std::string badLrc(std::string s) {
  s[s.size() - 3] = s[s.size() - 3] == '0' ? '1' : '0';
  return s;
}

// A scripted link that also notes, in order, what the operation did to it
// and what errCounter showed at each write and read.
struct TracedLink : ScriptLink {
  explicit TracedLink(const SessionState& s) : st(s) {}
  const SessionState& st;
  std::vector<std::string> events;
  std::vector<int> errAtRead, errAtWrite;
  int write(const uint8_t* d, int n) override {
    events.push_back("write");
    errAtWrite.push_back(st.errCounter);
    return ScriptLink::write(d, n);
  }
  int read(uint8_t* b, int n) override {
    events.push_back("read");
    errAtRead.push_back(st.errCounter);
    return ScriptLink::read(b, n);
  }
  void setTimeouts(uint32_t ms) override {
    events.push_back("timeouts " + std::to_string(ms));
    ScriptLink::setTimeouts(ms);
  }
  void setLine(const LineSettings& l) override {
    events.push_back("line");
    ScriptLink::setLine(l);
  }
};

uint32_t row(const char* model) { return static_cast<uint32_t>(findModel(model)); }

using Op = int (*)(SessionState&, Link&);
int confirm(SessionState& s, Link& l) { return ConfirmComm(s, l); }
int checkId(SessionState& s, Link& l) { return CheckID_A(s, l); }
int d1386(SessionState& s, Link& l) { return READ_D1386(s, l); }
int d1001(SessionState& s, Link& l) { return READ_D1001(s, l); }
int d1148(SessionState& s, Link& l) { return READ_D1148(s, l); }
int version(SessionState& s, Link& l) { return read_fu_version_A(s, l); }
int id67(SessionState& s, Link& l) { return read_0x67_PLCID(s, l); }
int erase(SessionState& s, Link& l) { return SendErase_A(s, l); }

}  // namespace

TEST(AppProto, RequestsCharacterForCharacter) {
  struct Row {
    const char* what;
    Op op;
    const char* model;
    std::string good;
    std::string line;
    std::vector<int> bytes;
  };  // address, function and data: the LRC is computed
  const Row rows[] = {
      {"probe", confirm, "VN300", cmd(ENQ), ":006401590141\r\n", {0x00, 0x64, 0x01, 0x59, 0x01}},
      {"probe AIO",
       confirm,
       "MV3-AIO",
       cmd(ENQ),
       ":0064015B013F\r\n",
       {0x00, 0x64, 0x01, 0x5B, 0x01}},
      {"id",
       checkId,
       "VN300",
       cmd(ACK, 0x30, 0x00),
       ":006401594944B5\r\n",
       {0x00, 0x64, 0x01, 0x59, 0x49, 0x44}},
      {"id AIO",
       checkId,
       "30MV2-AIO",
       cmd(ACK, 0x00, 0x0D),
       ":0064015B4944B3\r\n",
       {0x00, 0x64, 0x01, 0x5B, 0x49, 0x44}},
      {"D1386",
       d1386,
       "KR2-C-V2",
       reg(1),
       ":0003156A00017D\r\n",
       {0x00, 0x03, 0x15, 0x6A, 0x00, 0x01}},
      {"D1001",
       d1001,
       "TJ-V4",
       reg(1),
       ":000313E9000100\r\n",
       {0x00, 0x03, 0x13, 0xE9, 0x00, 0x01}},
      {"D1148", d1148, "QN2", reg(1), ":0003147C00016C\r\n", {0x00, 0x03, 0x14, 0x7C, 0x00, 0x01}},
      {"version", version, "VN300", cmd(0x20), ":00640159053D\r\n", {0x00, 0x64, 0x01, 0x59, 0x05}},
      {"version AIO",
       version,
       "TJ3-AIO",
       cmd(0x20),
       ":00640159053D\r\n",
       {0x00, 0x64, 0x01, 0x59, 0x05}},
      {"0x67", id67, "KR3", cmd(0x20), ":00670013000284\r\n", {0x00, 0x67, 0x00, 0x13, 0x00, 0x02}},
      {"erase",
       erase,
       "KR2-E",
       cmd(ACK),
       ":006401594552415345D2\r\n",
       {0x00, 0x64, 0x01, 0x59, 0x45, 0x52, 0x41, 0x53, 0x45}},
      {"erase AIO",
       erase,
       "VN200-AIO",
       cmd(ACK),
       ":0064015B4552415345D0\r\n",
       {0x00, 0x64, 0x01, 0x5B, 0x45, 0x52, 0x41, 0x53, 0x45}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(reply(r.bytes), r.line) << r.what;  // the line agrees with its bytes and LRC
    SessionState st;
    st.selectModel(row(r.model));
    ScriptLink link;
    link.replies = {r.good};
    r.op(st, link);
    ASSERT_GE(link.writes.size(), 1u) << r.what;
    EXPECT_EQ(link.writes[0], r.line) << r.what;
    EXPECT_EQ(link.timeouts, std::vector<uint32_t>{3000}) << r.what;
  }
  // The erase request is followed by the confirmation frame.
  for (auto [model, confirmation] :
       {std::pair{"KR2-E", ":00640159063C\r\n"}, {"VN200-AIO", ":0064015B063A\r\n"}}) {
    SessionState st;
    st.selectModel(row(model));
    ScriptLink link;
    link.replies = {cmd(ACK)};
    EXPECT_EQ(SendErase_A(st, link), OK);
    ASSERT_EQ(link.writes.size(), 2u);
    EXPECT_EQ(link.writes[1], confirmation);
  }
}

TEST(AppProto, WakeUpBurstDrainsAndCountsNothing) {
  for (auto [model, serial] : {std::pair{"KR2-E", true}, {"VN300", false}}) {
    SessionState st;
    st.selectModel(row(model));
    st.errCounter = 3;
    st.totalErrCounter = 4;
    TracedLink link(st);
    link.writeCounts = {0, 0, 0, 0, 0};
    DummyComm(st, link);
    EXPECT_EQ(link.writes, std::vector<std::string>(5, ":007F81\r\n"));
    EXPECT_EQ(link.readSizes, std::vector<int>(10, 11));
    EXPECT_EQ(link.nowMs, 2000u);  // ten reads of 200 ms on a silent PLC
    EXPECT_EQ(link.events[0], serial ? "line" : "timeouts 200") << model;
    EXPECT_EQ(link.lines.size(), serial ? 1u : 0u);
    EXPECT_EQ(st.errCounter, 3);
    EXPECT_EQ(st.totalErrCounter, 4);
  }
}

TEST(AppProto, ProbeAppliesTheLineOnSerialModelsOnly) {
  for (auto [model, serial] : {std::pair{"MV2-CAR", true}, {"30MV2-AIO", true}, {"GH", false}}) {
    SessionState st;
    st.selectModel(row(model));
    TracedLink link(st);
    link.replies = {cmd(ACK)};
    EXPECT_EQ(ConfirmComm(st, link), ACK);
    std::vector<std::string> start = {"timeouts 3000", "write"};
    if (serial) start.insert(start.begin(), "line");
    EXPECT_EQ(std::vector<std::string>(link.events.begin(), link.events.begin() + start.size()),
              start)
        << model;
    if (serial) {
      ASSERT_EQ(link.lines.size(), 1u);
      EXPECT_EQ(link.lines[0].baud, 9600u);
      EXPECT_EQ(link.lines[0].dataBits, 7);
      EXPECT_EQ(link.lines[0].parity, 2);
    }
  }
}

TEST(AppProto, FiveFailedWritesThenSixFailedReads) {
  SessionState st;
  st.selectModel(row("VN300"));
  st.totalErrCounter = 7;
  ScriptLink link;
  link.writeCounts = {0, 0, 0, 0, 0};
  EXPECT_EQ(ConfirmComm(st, link), ERR | NORESPONSE);
  EXPECT_EQ(link.writes.size(), 11u);
  EXPECT_EQ(link.readSizes, std::vector<int>(6, 19));
  EXPECT_EQ(st.totalErrCounter, 7 + 11);
  EXPECT_EQ(st.errCounter, 6);
  EXPECT_EQ(link.nowMs, 6 * 3000u);
}

TEST(AppProto, ReadShowsTheReadCountAgainAfterAFailedWrite) {
  SessionState st;
  st.selectModel(row("VN300"));
  TracedLink link(st);
  // read fails, read fails, write fails, then a good reply
  link.writeCounts = {-1, -1, 5};
  link.replies = {"", cmd(ENQ).substr(1), cmd(ACK, 0x30, 0x00)};
  EXPECT_EQ(CheckID_A(st, link), OK);
  EXPECT_EQ(link.errAtWrite, (std::vector<int>{0, 1, 2, 1}));  // the failed write shows 1
  // The read shows 2 again, and so does the wait for the replies still owed.
  EXPECT_EQ(link.errAtRead, (std::vector<int>{0, 1, 2, 2}));
  EXPECT_EQ(link.writes.size(), 4u);
  EXPECT_EQ(st.errCounter, 2);  // left at the failed reads before the good one
  EXPECT_EQ(st.totalErrCounter, 3);
}

TEST(AppProto, CountersOnSuccessAfterFailuresAndOnSilence) {
  struct Row {
    Op op;
    const char* model;
    std::string good;
    int value;
    int errAfter;
    int failed;
  };
  const Row rows[] = {
      {confirm, "VN300", cmd(ENQ), ENQ, 0, 0x18},  // the mode probe clears errCounter
      {checkId, "VN300", cmd(ACK, 0x30, 0x00), OK, 2, 0x18},
      {d1386, "VN300", reg(0x1234), 0x1234, 2, 0},
      {d1001, "VN300", reg(0x0045), 0x0045, 2, 0},
      {d1148, "VN300", reg(0xBEEF), 0xBEEF, 2, 0},
      {version, "VN300", cmd(0x11), 0x11, 2, 0},
      {erase, "VN300", cmd(ACK), OK, 0, 0x18},  // so does the enter-update request
  };
  for (const Row& r : rows) {
    SessionState st;
    st.selectModel(row(r.model));
    ScriptLink ok;
    ok.replies = {"", badLrc(r.good), r.good};
    EXPECT_EQ(r.op(st, ok), r.value) << r.good;
    EXPECT_EQ(st.errCounter, r.errAfter) << r.good;
    EXPECT_EQ(st.totalErrCounter, 2) << r.good;

    SessionState quiet;
    quiet.selectModel(row(r.model));
    ScriptLink silent;
    EXPECT_EQ(r.op(quiet, silent), r.failed) << r.good;
    EXPECT_EQ(silent.readSizes.size(), 6u);
    EXPECT_EQ(silent.nowMs, 6 * 3000u);
    EXPECT_EQ(quiet.errCounter, 6);
    EXPECT_EQ(quiet.totalErrCounter, 6);

    SessionState dead;
    dead.selectModel(row(r.model));
    ScriptLink noWrite;
    noWrite.writeCounts = std::deque<int>(6, 0);
    noWrite.replies = {r.good};  // would be accepted, but is never read
    EXPECT_EQ(r.op(dead, noWrite), r.failed) << r.good;
    EXPECT_TRUE(noWrite.readSizes.empty());
    EXPECT_EQ(noWrite.writes.size(), 6u);
    EXPECT_EQ(dead.errCounter, 6);
    EXPECT_EQ(dead.totalErrCounter, 6);
  }
}

TEST(AppProto, IdentifierReadHasASmallBudgetAndNoCounters) {
  SessionState st;
  st.selectModel(row("KR3"));
  st.errCounter = 4;
  ScriptLink silent;
  EXPECT_EQ(read_0x67_PLCID(st, silent), 0);
  EXPECT_EQ(silent.readSizes, (std::vector<int>{19, 19}));
  EXPECT_EQ(silent.nowMs, 6000u);

  ScriptLink noWrite;
  noWrite.writeCounts = {0, 0};
  EXPECT_EQ(read_0x67_PLCID(st, noWrite), 0);
  EXPECT_EQ(noWrite.writes.size(), 2u);
  EXPECT_TRUE(noWrite.readSizes.empty());

  ScriptLink late;
  late.replies = {badLrc(reply({0x00, 0x67, 0x04, 0x00, 0x20, 0, 0})),
                  reply({0x00, 0x67, 0x04, 0x00, 0x20, 0, 0})};
  EXPECT_EQ(read_0x67_PLCID(st, late), 0x0020);
  EXPECT_EQ(st.errCounter, 4);
  EXPECT_EQ(st.totalErrCounter, 0);
}

// Each reply is given on every attempt; the result is what the operation makes of it.
TEST(AppProto, RepliesAndTheirResults) {
  const std::string enq = cmd(ENQ);
  std::string framing = enq;
  framing[0] = 'X';
  framing.replace(17, 2, "..");
  // exception: the session notes a Modbus exception reply (function code with bit 7 set).
  struct Row {
    Op op;
    const char* model;
    std::string reply;
    int result;
    bool exception = false;
  };
  const Row rows[] = {
      {confirm, "VN300", enq, ENQ},
      {confirm, "VN300", cmd(ACK), ACK},
      {confirm, "VN300", reply({0x7E, 0x10, 0x00, 0x00, ENQ, 0, 0}),
       ENQ},                             // address, function not compared
      {confirm, "VN300", framing, ENQ},  // neither ':' nor CR LF is looked at
      {confirm, "VN300", cmd(NAK, 0x01, 0x09), 0x16},
      {confirm, "VN300", cmd(NAK, 0x02, 0x01), 0x11},
      {confirm, "VN300", cmd(NAK, 0x02, 0x02), 0x12},
      {confirm, "VN300", cmd(NAK, 0x02, 0x03), 0x15},
      {confirm, "VN300", cmd(NAK, 0x03), 0x17},
      {confirm, "VN300", cmd(0x07), 0x18},
      {confirm, "VN300", badLrc(cmd(ACK)), 0x18},              // retried, never accepted
      {confirm, "VN300", badLrc(cmd(NAK, 0x02, 0x01)), 0x11},  // decoded before the sum failed
      {confirm, "VN300", lower(enq), 0x18},
      {confirm, "VN300", enq.substr(0, 18), 0x18},
      {confirm, "VN300", enq.substr(1), 0x18},  // a whole frame, one character short
      {confirm, "VN300", cmd(NAK, 0x02, 0x01).substr(0, 18), 0x18},  // never decoded
      {checkId, "VN300", cmd(ACK, 0x30, 0x00), OK},
      {checkId, "VN300", cmd(ACK, 0x30, 0x01), 0x18},
      {checkId, "VN300", cmd(NAK, 0x02, 0x01), 0x15},
      {checkId, "VN300", cmd(NAK, 0x02, 0x02), 0x12},
      {checkId, "VN300", cmd(NAK, 0x02, 0x03), 0x13},
      {checkId, "VN300", cmd(NAK, 0x02, 0x04), 0x15},
      {checkId, "VN300", cmd(NAK, 0x01), 0x17},  // no run-mode result here
      {erase, "VN300", cmd(ACK), OK},
      {erase, "VN300", cmd(NAK, 0x02, 0x02), 0x15},
      {erase, "VN300", cmd(NAK, 0x02, 0x03), 0x13},
      {erase, "VN300", cmd(NAK, 0x02, 0x04), 0x14},
      {erase, "VN300", cmd(NAK, 0x01), 0x17},
      {erase, "VN300", cmd(ENQ), 0x18},
      {d1001, "VN300", reg(0x0045), 0x0045},
      {d1001, "VN300", reply({0x00, 0x83, 0x02}), 0, true},  // Modbus exception: 11 characters
      {confirm, "VN300", reply({0x01, 0xE4, 0x01}), 0x18, true},
      {confirm, "VN300", badLrc(reply({0x01, 0xE4, 0x01})), 0x18},
      {confirm, "VN300", reply({0x01, 0x64, 0x01}), 0x18},  // bit 7 clear: no exception
      {checkId, "VN300", reply({0x00, 0xE4, 0x02}) + "\r\n", 0x18, true},
      {d1001, "VN300", lower(reg(0x00AB)), 0},
      {d1001, "VN300", reg(0x0045).substr(0, 14), 0},
      {version, "VN300", cmd(0x10), 0x10},
      {version, "VN300", lower(cmd(0x1A)), 0},
      {id67, "KR3", reply({0x00, 0x67, 0x04, 0x00, 0x20, 0, 0}), 0x0020},
      {id67, "KR3", reply({0x00, 0x67, 0x04, 0x00, 0x20, 0, 0}).substr(0, 18), 0},
  };
  for (const Row& r : rows) {
    SessionState st;
    st.selectModel(row(r.model));
    ScriptLink link;
    link.replies = std::deque<std::string>(6, r.reply);
    EXPECT_EQ(r.op(st, link), r.result) << r.reply;
    EXPECT_EQ(st.modbusException, r.exception) << r.reply;
  }
}

TEST(AppProto, IdentityRule) {
  struct Row {
    const char* model;
    uint16_t reported;
    bool accepted;
  };
  const Row rows[] = {
      {"KR2-C-V4", 0x000D, true},  {"KR2-MV2-V2", 0x000C, true}, {"30MV2-AIO", 0x000C, false},
      {"30MV2-AIO", 0x000D, true}, {"VN200-Z", 0x3010, true},    {"VN200-Z", 0xA010, true},
      {"VN200", 0xA010, false},    {"VN200", 0x3010, true},      {"QN28", 0x0013, true},
      {"QN28", 0x0014, false},
  };
  for (const Row& r : rows) {
    SessionState st;
    st.selectModel(row(r.model));
    ScriptLink link;
    link.replies = std::deque<std::string>(6, cmd(ACK, r.reported >> 8, r.reported & 0xFF));
    EXPECT_EQ(CheckID_A(st, link), r.accepted ? OK : ERR | NORESPONSE)
        << r.model << " " << r.reported;
    EXPECT_EQ(link.writes.size(), r.accepted ? 1u : 6u) << r.model;
  }
}

TEST(AppProto, EraseSilenceIsConsentForThreeModels) {
  struct Row {
    const char* model;
    std::deque<std::string> replies;
    uint8_t result;
    size_t writes;
    int total;
  };
  const Row rows[] = {
      {"KR2-C-V2", {""}, OK, 1, 0},
      {"KR2-C-V4", {cmd(ACK).substr(0, 10)}, OK, 1, 0},
      {"MV2-CAR", {badLrc(cmd(ACK)), ""}, OK, 2, 1},
      {"KR2-C-V2", {cmd(NAK, 0x02, 0x03), ""}, OK, 2, 1},  // a full-length refusal is a failed read
      {"KR2-MV2-V2", {}, ERR | NORESPONSE, 6, 6},
  };
  for (const Row& r : rows) {
    SessionState st;
    st.selectModel(row(r.model));
    st.errCounter = 5;
    ScriptLink link;
    link.replies = r.replies;
    EXPECT_EQ(SendErase_A(st, link), r.result) << r.model;
    EXPECT_EQ(link.writes, std::vector<std::string>(r.writes, ":006401594552415345D2\r\n"))
        << r.model;
    EXPECT_EQ(st.errCounter, r.result == OK ? 0 : 6) << r.model;
    EXPECT_EQ(st.totalErrCounter, r.total) << r.model;
  }
}

TEST(AppProto, ShortConfirmationSendsANewEraseRequest) {
  SessionState st;
  st.selectModel(row("TB2"));
  ScriptLink link;
  link.replies = {cmd(ACK), cmd(ACK)};
  link.writeCounts = {-1, 14};
  EXPECT_EQ(SendErase_A(st, link), OK);
  const std::string req = ":006401594552415345D2\r\n", conf = ":00640159063C\r\n";
  EXPECT_EQ(link.writes, (std::vector<std::string>{req, conf, req, conf}));
  EXPECT_EQ(st.errCounter, 0);
  EXPECT_EQ(st.totalErrCounter, 1);
}

TEST(AppProto, CheckLrcAgreesWithTheEncoder) {
  // The two sums given for the product: wake-up 00 7F -> 81, D1001 -> 00.
  EXPECT_EQ(reply({0x00, 0x7F}), ":007F81\r\n");
  EXPECT_EQ(reply({0x00, 0x03, 0x13, 0xE9, 0x00, 0x01}), ":000313E9000100\r\n");
  std::mt19937 rng(7);
  for (int i = 0; i < 500; ++i) {
    std::vector<int> bytes(1 + rng() % 9);
    for (int& b : bytes) b = static_cast<int>(rng() % 256);
    const std::string f = reply(bytes);
    std::vector<uint8_t> hex(f.begin() + 1, f.end() - 2);  // exactly the hex part
    ASSERT_EQ(CheckLRC(hex.data(), static_cast<uint8_t>(hex.size())), 0) << f;
    for (size_t k = 0; k < bytes.size(); ++k) EXPECT_EQ(hex[k], bytes[k]);
    // Any other valid digit in any place breaks the sum.
    std::vector<uint8_t> bad(f.begin() + 1, f.end() - 2);
    const size_t at = rng() % bad.size();
    bad[at] = "0123456789ABCDEF"[(std::string("0123456789ABCDEF").find(static_cast<char>(bad[at])) +
                                  1 + rng() % 15) %
                                 16];
    EXPECT_NE(CheckLRC(bad.data(), static_cast<uint8_t>(bad.size())), 0) << f;
  }
}

TEST(AppProto, CheckLrcStaysInsideItsBuffer) {
  // An odd length decodes whole pairs only: the "8" of "81" is not paired
  // with the "1" beyond the length.
  uint8_t odd[] = {'0', '0', '7', 'F', '8', '1'};
  EXPECT_EQ(CheckLRC(odd, 5), 0x7F);
  EXPECT_EQ(odd[4], '8');
  EXPECT_EQ(odd[5], '1');
  EXPECT_EQ(CheckLRC(odd, 0), 0);
  EXPECT_EQ(CheckLRC(odd, 1), 0);

  // Random bytes of every length, each in a buffer of exactly that size: the
  // second half is never written, and nothing outside is touched (the
  // sanitizer build checks the reads).
  std::mt19937 rng(11);
  const char alphabet[] = "0123456789ABCDEFabcdef:\r\n\x00\xff";
  for (int len = 0; len <= 255; ++len) {
    for (int round = 0; round < 8; ++round) {
      auto buf = std::make_unique<uint8_t[]>(static_cast<size_t>(len));
      for (int i = 0; i < len; ++i)
        buf[i] = round < 4 ? static_cast<uint8_t>(alphabet[rng() % (sizeof alphabet - 1)])
                           : static_cast<uint8_t>(rng());
      const std::vector<uint8_t> before(buf.get(), buf.get() + len);
      CheckLRC(buf.get(), static_cast<uint8_t>(len));
      for (int i = len / 2; i < len; ++i) ASSERT_EQ(buf[i], before[i]) << len;
    }
  }
}
