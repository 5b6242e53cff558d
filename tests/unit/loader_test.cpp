// The bootloader protocol on the wire, against a scripted bootloader. Counts
// and frames are recomputed here from the rules as the product defines them,
// by name, with a CRC of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "loader/loader.h"
#include "reference.h"
#include "script_link.h"

using namespace quarn;
using namespace std::string_literals;

namespace {
using Names = std::set<std::string>;
const Names kDiv128K = {"KR2-C-V2", "KR2-C-V4", "MV2-CAR", "QN28", "KR2-E", "GH26"};
const Names kCeil2K = {"VN200-AIO", "MV3-AIO", "TJ3-AIO"};
using reference::k4K;
using reference::kBlock256;

const std::vector<uint8_t>& Image() {
  static const std::vector<uint8_t> img = [] {
    std::vector<uint8_t> v(2076672);
    std::mt19937 rng(7);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }();
  return img;
}

// Records the session state each write finds.
struct Watch : ScriptLink {
  const SessionState* st = nullptr;
  std::vector<int> progressAt;
  std::vector<size_t> linesAt;
  int write(const uint8_t* d, int n) override {
    progressAt.push_back(st->progress);
    linesAt.push_back(lines.size());
    return ScriptLink::write(d, n);
  }
};

struct Boot {
  SessionState st;
  Watch link;
  Boot(const char* model, uint32_t L = 0, uint32_t size = ~0u) {
    st.selectModel(static_cast<uint32_t>(findModel(model)));
    st.image = st.fin = Image().data();
    st.imageSize =
        std::min<uint32_t>(size == ~0u ? L : size, static_cast<uint32_t>(Image().size()));
    st.fileLength = L;
    link.st = &st;
  }
  // One char per attempt: G good reply, N reply led by NAK, S reply a byte
  // short, T time-out, K NOK, w short write.
  void script(const std::string& pattern, const std::string& good) {
    for (char c : pattern) {
      link.writeCounts.push_back(c == 'w' ? 0 : -1);
      if (c == 'w') continue;
      std::string bad = good;
      bad[0] = NAK;
      link.replies.push_back(c == 'G'   ? good
                             : c == 'N' ? bad
                             : c == 'S' ? good.substr(0, good.size() - 1)
                             : c == 'K' ? std::string(1, NOK)
                                        : "");
    }
  }
};

std::string Frame(uint8_t n, const uint8_t* data, uint32_t len, uint32_t D) {
  std::string f = {char(STX), char(n), char(255 - n)};
  f.append(reinterpret_cast<const char*>(data), len).append(D - len, '\x1A');
  const uint16_t c = reference::Crc16(reinterpret_cast<const uint8_t*>(f.data() + 3), D);
  return f + char(c >> 8) + char(c & 0xFF);
}
}  // namespace

TEST(Loader, CheckIdAcceptance) {
  const struct {
    const char* model;
    uint16_t id;
    bool ok;
  } rows[] = {
      {"VN200-Z", 0x3010, true},     {"VN200-Z", 0xA010, true},    {"VN200", 0x3010, true},
      {"VN200", 0xA010, false},      {"KR2-C-V2", 0x000D, true},   {"KR2-C-V2", 0x000C, true},
      {"30MV2-AIO", 0x000D, true},   {"30MV2-AIO", 0x000C, false}, {"RTF-KR2-V2", 0x2001, true},
      {"RTF-KR2-V2", 0xA001, false}, {"GH-H", 0xA002, true},       {"GH-H", 0x2002, false},
      {"MV2-CAR", 0x2006, true},     {"GH26", 0x0015, true},       {"KR2-MV2-V4", 0x0013, false}};
  for (const auto& r : rows) {
    Boot run(r.model);
    run.st.totalErrCounter = 3;
    run.link.replies.assign(6, std::string{char(ACK), char(r.id >> 8), char(r.id & 0xFF)});
    EXPECT_EQ(CheckID_B(run.st, run.link), r.ok ? OK : ERR) << r.model << " " << r.id;
    EXPECT_EQ(run.link.writes, std::vector<std::string>(r.ok ? 1 : 6, "ID")) << r.model;
    EXPECT_EQ(run.st.errCounter, r.ok ? 0 : 6) << r.model;
    EXPECT_EQ(run.st.totalErrCounter, r.ok ? 3 : 9) << r.model;
    EXPECT_EQ(run.link.timeouts, std::vector<uint32_t>{3000});
  }
}

TEST(Loader, VersionNibbles) {
  const struct {
    uint8_t a, b, v;
  } rows[] = {{0x01, 0x00, 0x10}, {0x01, 0x1F, 0x11}, {0x12, 0x34, 0x23}, {0xF1, 0x0F, 0x10}};
  for (const auto& r : rows) {
    Boot run("VN300");
    run.link.replies.push_back({char(ACK), char(r.a), char(r.b)});
    EXPECT_EQ(read_fu_version_B(run.st, run.link), OK);
    EXPECT_EQ(run.st.VN_fu_version, r.v) << int(r.a) << " " << int(r.b);
    EXPECT_EQ(run.link.writes, std::vector<std::string>{"VERSION"});
  }
}

// Every exchange against a table of reply patterns: the attempts made (the
// script is consumed exactly), result, counters, and resends unchanged.
TEST(Loader, RetryBudgets) {
  using Op = uint8_t (*)(SessionState&, Link&);
  const struct {
    Op op;
    const char* model;
    uint32_t L;
    const char* pattern;
    uint8_t result;
    int err, progress;
  } rows[] = {{CheckID_B, "GH", 0, "G", OK, 0, 0},
              {CheckID_B, "GH", 0, "TSNG", OK, 0, 0},
              {CheckID_B, "GH", 0, "wwwwww", ERR, 6, 0},
              {CheckID_B, "GH", 0, "wwwwwNNNNNG", OK, 0, 0},
              {CheckID_B, "GH", 0, "wwwwwTSNTSN", ERR, 6, 0},
              {CheckID_B, "KR2-C-V2", 0, "TNG", OK, 2, 0},
              {CheckID_B, "TB2", 0, "TNG", OK, 0, 0},
              {CheckID_B, "KR2-C-V2", 0, "wwG", OK, 0, 0},
              {read_fu_version_B, "VN300", 0, "STG", OK, 0, 0},
              {read_fu_version_B, "VN300", 0, "NNNNNN", ERR, 6, 0},
              {SendUpdate, "TB2", 0, "TNG", OK, 0, 0},
              {SendUpdate, "TB2", 0, "NNNNNN", ERR, 6, 0},
              {SendUpdate, "TB2", 0, "wwwwww", ERR, 6, 0},
              // 4K-page models: one try per page; the closing EOT keeps the full budget.
              {SendErase_B, "VN300", 8193, "N", ERR, 1, 0},
              {SendErase_B, "VN300", 8193, "w", ERR, 1, 0},
              {SendErase_B, "VN300", 8193, "GT", ERR, 1, 0},
              {SendErase_B, "VN300", 8193, "GGTTTTTG", OK, 0, 100},
              {SendErase_B, "TB2", 2048, "TTGGG", OK, 0, 100},
              {SendErase_B, "TB2", 2048, "NNNNNN", ERR, 6, 0},
              {SendErase_B, "TB2", 2048, "wwwwwNNNNNGGG", OK, 0, 100},
              {SendErase_B, "30MV2-AIO", 12288, "GGGGTTTTTT", ERR, 6, 75},
              {SendFW, "TB2", 1000, "GNNGGGGGGGG", OK, 0, 100},
              {SendFW, "TB2", 1000, "GGGGK", NOK, 0, 44},
              {SendFW, "TB2", 1000, "TTTTTT", ERR, 6, 0},
              {SendFW, "TB2", 1000, "wwwwww", ERR, 6, 0},
              // Closing the transfer, a NOK is the refusal of a block read late.
              {SendFW, "TB2", 1000, "GGGGGGGGK", NOK, 0, 88},
              {SendFW, "TB2", 1000, "GGGGGGGGNG", OK, 0, 100}};
  for (const auto& r : rows) {
    Boot run(r.model, r.L);
    run.st.totalErrCounter = 10;
    run.st.VN_fu_version = 0x77;
    const uint16_t id = plcID[run.st.selectedPLCIdx];
    run.script(r.pattern, r.op == CheckID_B ? std::string{char(ACK), char(id >> 8), char(id & 0xFF)}
                          : r.op == read_fu_version_B ? "\x06\x01\x00"s
                                                      : std::string(1, char(ACK)));
    const std::string p = r.pattern;
    const std::string what = std::string(r.model) + " " + p;
    EXPECT_EQ(r.op(run.st, run.link), r.result) << what;
    EXPECT_EQ(run.link.writes.size(), p.size()) << what;
    EXPECT_TRUE(run.link.replies.empty()) << what;
    EXPECT_EQ(run.st.errCounter, r.err) << what;
    // Every attempt but an ACK is a failure, except the NOK that ends a transfer.
    const int failed = int(std::count_if(p.begin(), p.end(), [](char c) { return c != 'G'; }));
    EXPECT_EQ(run.st.totalErrCounter, 10 + failed - (r.result == NOK ? 1 : 0)) << what;
    EXPECT_EQ(run.st.progress, r.progress) << what;
    for (size_t i = 1; i < run.link.writes.size(); ++i) {
      if (p[i - 1] != 'G') {
        EXPECT_EQ(run.link.writes[i], run.link.writes[i - 1]) << what << i;
      }
    }
    if (r.op == read_fu_version_B) {
      EXPECT_EQ(run.st.VN_fu_version, r.result == OK ? 0x10 : 0x77);
    }
    if (r.op == SendUpdate) {  // the line changes only after the ACK
      EXPECT_EQ(run.link.lines.size(), r.result == OK ? 1u : 0u) << what;
      EXPECT_EQ(size_t(std::count(run.link.linesAt.begin(), run.link.linesAt.end(), 0u)), p.size());
      if (r.result == OK) {
        EXPECT_EQ(run.link.lines[0].baud, kTransferLine.baud);
      }
    }
  }
}

TEST(Loader, ProgressSteps) {
  const struct {
    const char* model;
    uint32_t L;
    std::vector<int> atWrites;
  } rows[] = {{"30MV2-AIO", 100, {0, 0, 25, 50, 75}}, {"VN300", 4096, {0}}};
  for (const auto& r : rows) {
    Boot run(r.model, r.L);
    run.st.progress = 42;
    run.link.replies.assign(r.atWrites.size(), std::string(1, char(ACK)));
    EXPECT_EQ(SendErase_B(run.st, run.link), OK);
    EXPECT_EQ(run.link.progressAt, r.atWrites) << r.model;
    EXPECT_EQ(run.st.progress, 100);
    EXPECT_EQ(run.st.flashStatus, ERASE);
  }
}

// Every model erased and sent in full against a bootloader that ACKs all;
// the listed boundary lengths also carry their counts as literals.
TEST(Loader, EveryModelOnTheWire) {
  const struct {
    const char* model;
    uint32_t L;
    int pages = -1, blocks = -1;
  } rows[] = {{"KR2-MV2-V2", 2048},
              {"TB2", 2048, 2, 16},
              {"TB2", 2047, 1, 16},
              {"TJ2", 0},
              {"QN2", 12345},
              {"KR2-C-V2", 131072},
              {"KR2-C-V2", 131071},
              {"GH", 16384},
              {"GH", 16383},
              {"DW3", 493568},
              {"30MV2-AIO", 1000, 4, 4},
              {"30MV2-AIO", 12288},
              {"TJ-V3", 1000, 1, 8},
              {"RTF-KR2-V2", 129},
              {"GH-H", 512, 1, 2},
              {"GH-H", 300},
              {"QN2-H", 128},
              {"VN300", 2076672, 506, 8096},
              {"VN300", 4096, 0, 0},
              {"VN300", 8192, 1, 16},
              {"VN300", 8193, 2, 17},
              {"KR-MV-DW2", 1},
              {"MV2-CAR", 524288},
              {"QN28", 262145},
              {"KR2-E", 131072, 2, 1024},
              {"KR2-E", 131071, 1, 1024},
              {"VN200", 8193},
              {"VN200-AIO", 2048, 1, 8},
              {"VN200-AIO", 2049, 2, 9},
              {"VN200-AIO", 0, 0, 0},
              {"GH26", 917504},
              {"GH26", 129},
              {"KR3", 4396, 1, 2},
              {"HPT-J", 4097},
              {"VN100", 12288},
              {"MV3-AIO", 0},
              {"MV3-AIO", 40960},
              {"KR2-MV2-V4", 4095},
              {"TJ-V4", 255},
              {"RTF-KR2-V4", 256},
              {"KR3-PACKAGE", 1048576},
              {"KR2-C-V4", 262144},
              {"WZ3TJ3", 5000},
              {"TJ3-AIO", 2047},
              {"VN200-TO-VN300", 4352},
              {"VN200-Z", 100000}};
  std::set<std::string> seen;
  for (const auto& r : rows) {
    const std::string m = r.model, what = m + " " + std::to_string(r.L);
    seen.insert(m);
    const uint32_t L = r.L, D = kBlock256.count(m) ? 256 : 128, sent = k4K.count(m) ? L - 4096 : L;
    const uint32_t pages = kDiv128K.count(m)            ? L / 131072 + 1
                           : (m == "GH" || m == "GH-H") ? L / 16384 + 1
                           : k4K.count(m)               ? (sent + 4095) / 4096
                           : kCeil2K.count(m)           ? (L + 2047) / 2048
                           : m == "30MV2-AIO"           ? 4
                                                        : L / 2048 + 1;
    const uint32_t blocks = (sent + D - 1) / D;
    EXPECT_TRUE(r.pages < 0 || pages == uint32_t(r.pages)) << what << " pages " << pages;
    EXPECT_TRUE(r.blocks < 0 || blocks == uint32_t(r.blocks)) << what << " blocks " << blocks;
    Boot erase(r.model, L);
    EXPECT_EQ(totalPages(erase.st.selectedPLCIdx, L), pages) << what;
    EXPECT_EQ(totalPacket(erase.st.selectedPLCIdx, L), int32_t(blocks)) << what;
    erase.link.replies.assign(pages + 1, std::string(1, char(ACK)));
    EXPECT_EQ(SendErase_B(erase.st, erase.link), OK) << what;
    std::vector<std::string> want(pages, "ERASE");
    want.push_back("\x04");
    EXPECT_EQ(erase.link.writes, want) << what;

    // Frames carry the bytes sent in order, SUB-padded, numbered 1..255, 0, 1...
    Boot fw(r.model, L);
    fw.link.replies.assign(blocks + 1, std::string(1, char(ACK)));
    ASSERT_EQ(SendFW(fw.st, fw.link), OK) << what;
    ASSERT_EQ(fw.link.writes.size(), blocks + 1) << what;
    for (uint32_t k = 0; k < blocks; ++k) {
      const std::string frame =
          Frame(uint8_t(k + 1), Image().data() + k * D, std::min(D, sent - k * D), D);
      ASSERT_EQ(fw.link.writes[k], frame) << what << " block " << k;
    }
    EXPECT_EQ(fw.link.writes.back(), "\x04");
    EXPECT_EQ(fw.link.progressAt.back(), int(blocks * 100 / (blocks + 1))) << what;
    EXPECT_EQ(fw.st.progress, 100);
    EXPECT_EQ(fw.st.fin, Image().data() + sent) << what;
  }
  EXPECT_EQ(seen.size(), size_t(kModelCount));
}

// Images that cannot be erased or sent are refused before a byte goes out.
TEST(Loader, RefusedImages) {
  const struct {
    const char* model;
    uint32_t L, size;
    bool fits;
  } rows[] = {{"VN300", 4095, 4095, false},  {"VN200-Z", 0, 0, false}, {"KR3", 100, 100, false},
              {"TB2", 0xFFFFFFFF, 0, false}, {"TB2", 1000, 999, true}, {"VN300", 8192, 4000, true}};
  for (const auto& r : rows) {
    Boot run(r.model, r.L, r.size);
    const uint32_t idx = run.st.selectedPLCIdx;
    EXPECT_EQ(imageFits(idx, r.L), r.fits) << r.model << " " << r.L;
    if (!r.fits) {
      EXPECT_EQ(totalPages(idx, r.L), 0);
      EXPECT_EQ(totalPacket(idx, r.L), 0);
      EXPECT_EQ(SendErase_B(run.st, run.link), ERR);
    }
    EXPECT_EQ(SendFW(run.st, run.link), ERR) << r.model << " " << r.L;
    EXPECT_TRUE(run.link.writes.empty()) << r.model << " " << r.L;
    EXPECT_EQ(run.st.flashStatus, IDLE);
  }
}

TEST(Loader, FileReadStopsAtTheImageEnd) {
  Boot run("TB2", 10);
  run.st.fin = run.st.image + 6;
  uint8_t buf[16];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  for (int32_t n : {0, -3}) FileRead(run.st, buf, n);  // nothing to copy
  EXPECT_EQ(run.st.fin, run.st.image + 6);
  EXPECT_EQ(buf[0], 0xEE);
  FileRead(run.st, buf, 10);
  EXPECT_TRUE(std::equal(buf, buf + 4, Image().data() + 6));
  EXPECT_EQ(buf[4], 0xEE);
  EXPECT_EQ(run.st.fin, run.st.image + 10);
  for (int32_t n : {5, 0, -3}) FileRead(run.st, buf, n);
  EXPECT_EQ(run.st.fin, run.st.image + 10);
  EXPECT_EQ(buf[0], Image()[6]);
}
