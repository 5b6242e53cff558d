// quarn-burn's command line, the model an image name fixes, and the
// progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.h"
#include "ui/cli/cli.h"
#include "ui/cli/platform.h"
#include "ui/cli/ports.h"
#include "ui/cli/record.h"

using quarn::cli::Options;

namespace {

std::string Parse(std::vector<const char*> args, Options& o) {
  args.insert(args.begin(), "quarn-burn");
  return quarn::cli::ParseOptions(static_cast<int>(args.size()), args.data(), o);
}

TEST(CliOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<const char*> args;
    std::string image, port;
    bool havePort, yes, listPorts;
    std::string record = "";
    bool identify = false;
  };
  const Case cases[] = {
      {{}, "", "", false, false, false},
      {{"--image", "a/QN2_1.bin", "--port", "/dev/ttyUSB0", "--yes"}, "a/QN2_1.bin",
       "/dev/ttyUSB0", true, true, false},
      {{"--image=QN2_1.bin", "--port=COM3"}, "QN2_1.bin", "COM3", true, false, false},
      {{"--port=--odd"}, "", "--odd", true, false, false},
      {{"--list-ports"}, "", "", false, false, true},
      {{"--record", "runs.jsonl", "--yes"}, "", "", false, true, false, "runs.jsonl"},
      {{"--identify", "--port", "COM4"}, "", "COM4", true, false, false, "", true},
      {{"--port", "COM4", "--port=all"}, "", "COM4", true, false, false},  // a batch
  };
  for (const Case& c : cases) {
    Options o;
    EXPECT_EQ(Parse(c.args, o), "") << c.args.size();
    EXPECT_EQ(o.image, c.image);
    EXPECT_EQ(o.port, c.port);
    EXPECT_EQ(o.havePort, c.havePort);
    EXPECT_EQ(o.yes, c.yes);
    EXPECT_EQ(o.listPorts, c.listPorts);
    EXPECT_EQ(o.record, c.record);
    EXPECT_EQ(o.identify, c.identify);
  }
}

TEST(CliOptions, RefusedCommandLines) {
  const std::vector<std::vector<const char*>> cases = {
      {"--image"},         {"--port"},          {"--image="},  {"--port", ""},
      {"--yes=1"},         {"VN300_x.bin"},     {"-y"},        {"--imagefile", "x"},
      {"--yes", "--what"}, {"--port", "--yes"}, {"--record"},    {"--identify=1"},
      {"--identify", "--record", "r.jsonl"},
      {"--identify", "--port", "a", "--port", "b"}, {"--identify", "--port", "all"},
  };
  for (const auto& args : cases) {
    Options o;
    EXPECT_NE(Parse(args, o), "") << args[0];
  }
}

// Without --port a serial model's session opens the first port listed whose
// name fits.
TEST(CliPorts, FirstListedPortThatFits) {
  const std::string tooLong = "/dev/" + std::string(130, 'x');
  struct Case {
    std::vector<std::string> ports;
    const char* chosen;  // "": none
  };
  const Case cases[] = {
      {{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}, "/dev/ttyS0"},
      {{tooLong, "/dev/ttyUSB1", "/dev/ttyUSB2"}, "/dev/ttyUSB1"},
      {{tooLong}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    quarn::SessionState st;
    st.setComPort("COM9");
    EXPECT_EQ(quarn::cli::ChooseFirstPort(st, c.ports), *c.chosen != '\0') << c.chosen;
    EXPECT_STREQ(st.selectedComPort, c.chosen);
  }
}

// The ports a run's sessions take, from the ports the system listed: the
// port given, the model's own USB device, "all" by link, refusals.
TEST(CliPorts, ChosenFromTheListedPorts) {
  const quarn::cli::PresentPorts present{{"/dev/ttyS0", "/dev/ttyUSB0"}, {"usb:1-2", "usb:1-3"}};
  struct Case {
    const char* model;
    std::vector<std::string> given;  // empty: no --port
    std::vector<std::string> ports;  // what the sessions take
    const char* wrong;               // start of the usage error; "" none
  };
  const Case cases[] = {
      {"TB2", {}, {"/dev/ttyS0"}, ""},
      {"VN300", {}, {"USB"}, ""},
      {"TB2", {"/dev/ttyUSB0"}, {"/dev/ttyUSB0"}, ""},
      {"VN300", {"usb:1-3"}, {"usb:1-3"}, ""},
      {"VN300", {"usb:x"}, {}, "'usb:x' is no USB port path"},
      {"TB2", {"all"}, {"/dev/ttyS0", "/dev/ttyUSB0"}, ""},
      {"VN300", {"usb:1-3", "all"}, {"usb:1-3", "usb:1-2"}, ""},
      {"TB2", {"/dev/ttyUSB0", "all"}, {"/dev/ttyUSB0", "/dev/ttyS0"}, ""},
      {"TB2", {"usb:1-2", "all"}, {}, "'usb:1-2' is a USB port path; TB2"},
      {"TB2", {std::string(130, 'x')}, {}, "the port name is longer than"},
  };
  for (const Case& c : cases) {
    const int row = quarn::cli::ModelFromImageName(std::string(c.model) + "_v1.bin");
    std::vector<std::string> ports, taken;
    std::string why;
    if (c.given.size() > 1 || (c.given.size() == 1 && c.given[0] == "all")) {
      why = quarn::cli::BatchPorts(c.given, row, present, ports);
    } else {
      if (!c.given.empty()) ports = c.given;
      else ports.push_back("");
    }
    for (const std::string& p : why.empty() ? ports : std::vector<std::string>{}) {
      quarn::SessionState st;
      st.selectModel(static_cast<uint32_t>(row));
      std::string pipe, warning;
      why = quarn::cli::ChoosePort(p.empty() ? nullptr : &p, row, present.serial, nullptr, st,
                                   pipe, warning);
      if (!why.empty()) break;
      taken.push_back(st.selectedComPort);
      EXPECT_EQ(pipe, quarn::kProfile[row].usb && !p.empty() ? p : "") << c.model;
    }
    EXPECT_EQ(why.substr(0, std::strlen(c.wrong)), c.wrong) << c.model << " " << why;
    if (!*c.wrong) {
      EXPECT_EQ(taken, c.ports) << c.model;
    }
  }
}

TEST(CliImageName, ModelIsThePartBeforeTheFirstUnderscore) {
  struct Case {
    const char* path;
    const char* model;  // nullptr: refused
  };
  const Case cases[] = {
      {"VN300_v1.14.10_20240103_01.bin", "VN300"},
      {"/tmp/build_dir/QN2_fw.bin", "QN2"},            // directories do not count
      {"VN200-TO-VN300_x.bin", "VN200-TO-VN300"},      // 14 characters
      {"KR2-C-V4_2.bin", "KR2-C-V4"},
      {"vn300_v1.bin", nullptr},                       // exact case
      {"VN300.bin", nullptr},                          // no model part
      {"VN3000_v1.bin", nullptr},
      {"VN200-TO-VN300X_x.bin", nullptr},              // longer than any name
      {"_VN300.bin", nullptr},
      {"/tmp/VN300_dir/", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    int row = quarn::cli::ModelFromImageName(c.path);
    if (c.model) {
      ASSERT_GE(row, 0) << c.path;
      EXPECT_STREQ(quarn::plcList[row], c.model) << c.path;
    } else {
      EXPECT_EQ(row, -1) << c.path;
    }
  }
}

TEST(CliProgress, BarFollowsThePercentageAndStaysInItsBuffer) {
  struct Case {
    int32_t status, progress;
    const char* word;
    int hashes;
  };
  const Case cases[] = {
      {0, 0, "Idle ", 0},           {1, 50, "Erasing ", 15},    {2, 99, "Programming ", 29},
      {2, 100, "Programming ", 30}, {2, 250, "Programming ", 30}, {2, -7, "Programming ", 0},
      {9, 10, "            [", 3},
  };
  for (const Case& c : cases) {
    char buf[128];
    quarn::cli::FormatProgress(buf, sizeof buf, c.status, c.progress, 7, 2, 1234567);
    std::string line = buf;
    EXPECT_EQ(line.rfind(c.word, 0), 0u) << line;
    size_t open = line.find('['), close = line.find(']');
    ASSERT_EQ(close - open, 31u) << line;
    EXPECT_EQ(std::count(line.begin() + open, line.begin() + close, '#'), c.hashes) << line;
    char percent[16];
    std::snprintf(percent, sizeof percent, " %d%%", static_cast<int>(c.progress));
    EXPECT_NE(line.find(percent), std::string::npos) << line;
    EXPECT_NE(line.find("   7 s"), std::string::npos) << line;
    EXPECT_NE(line.find("2/1234567"), std::string::npos) << line;
  }
  char small[12];
  std::memset(small, 'x', sizeof small);
  quarn::cli::FormatProgress(small, 8, 2, 100, 2147483647, -2147483647 - 1, 2147483647);
  EXPECT_EQ(std::string(small), "Program");
  EXPECT_EQ(small[8], 'x');
}

// One record is one line of JSON, whatever bytes the names hold.
TEST(CliRecord, OneLineOfJsonWithEveryField) {
  using namespace std::chrono;
  quarn::cli::Record r;
  r.start = sys_days{year{2024} / 1 / 3} + hours{12} + minutes{34} + seconds{56} + milliseconds{789};
  r.end = r.start + milliseconds{61500};
  r.tool = "quarn-burn 1.0.0";
  r.port = "/dev/tty\"odd\n\xff";  // a quote, a newline and a byte that is not UTF-8
  r.model = "VN300";
  r.imageName = "VN300_v1.bin";
  r.imageSize = 2076672;
  r.imageSha256 = std::string(64, 'a');
  r.modeAtStart = "bootloader";
  r.exitStatus = 130;
  r.interrupted = "interrupted while programming block 12 of 8096; ...";
  r.elapsedSeconds = 61.5004;
  r.retries = 3;
  r.pagesErased = 507;
  r.blocksSent = 11;
  const std::string line = quarn::cli::RecordLine(r);
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["start"], "2024-01-03T12:34:56.789Z");
  EXPECT_EQ(j["end"], "2024-01-03T12:35:58.289Z");
  EXPECT_EQ(j["port"], "/dev/tty\"odd\n\xEF\xBF\xBD");  // U+FFFD for the bad byte
  EXPECT_TRUE(j["usb_path"].is_null());
  EXPECT_EQ(j["image"]["size"], 2076672);
  EXPECT_EQ(j["image"]["sha256"], std::string(64, 'a'));
  EXPECT_EQ(j["mode_at_start"], "bootloader");
  EXPECT_TRUE(j["outcome"]["caption"].is_null());
  EXPECT_EQ(j["outcome"]["exit_status"], 130);
  EXPECT_EQ(j["outcome"]["interrupted"], r.interrupted);
  EXPECT_EQ(j["elapsed_seconds"], 61.5);
  EXPECT_EQ(j["retries"], 3);
  EXPECT_EQ(j["pages_erased"], 507);
  EXPECT_EQ(j["blocks_sent"], 11);
}

// The platform's SHA-256 (libcrypto or BCrypt) and its append-only file.
TEST(CliPlatform, Sha256AndAppendOnlyRecordFile) {
  const struct {
    std::string data;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    quarn::cli::Sha256 h;
    // In two pieces: the digest is of the whole.
    h.update(reinterpret_cast<const uint8_t*>(v.data.data()), v.data.size() / 3);
    h.update(reinterpret_cast<const uint8_t*>(v.data.data()) + v.data.size() / 3,
             v.data.size() - v.data.size() / 3);
    EXPECT_EQ(h.hex(), v.digest);
  }

  const std::string path = testing::TempDir() + "quarn-record-test.jsonl";
  std::remove(path.c_str());
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("{\"old\":1}\n", f);
    std::fclose(f);
  }
  for (const char* line : {"{\"a\":1}\n", "{\"b\":2}\n"}) {
    quarn::cli::RecordFile rf;
    ASSERT_EQ(rf.open(path), "");
    EXPECT_EQ(rf.append(line), "");
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[64] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  std::remove(path.c_str());
  EXPECT_EQ(std::string(buf, n), "{\"old\":1}\n{\"a\":1}\n{\"b\":2}\n");
  quarn::cli::RecordFile bad;
  EXPECT_NE(bad.open(testing::TempDir() + "no-such-dir/x/r.jsonl"), "");
}

}  // namespace
