// quarn-burn's command line, the model an image name fixes, and the
// progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "catalogue/catalogue.h"
#include "ui/cli/cli.h"
#include "ui/cli/files.h"
#include "ui/cli/link_failure.h"
#include "ui/cli/links.h"
#include "ui/cli/ports.h"
#include "ui/cli/record.h"
#include "ui/cli/report.h"

using quarn::cli::Options;

namespace {

// A small file's text in place of what it held; its text, and it is gone.
void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}
std::string TakeText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  std::remove(path.c_str());
  return text;
}

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
      {{"--image", "a/QN2_1.bin", "--port", "/dev/ttyUSB0", "--yes"},
       "a/QN2_1.bin",
       "/dev/ttyUSB0",
       true,
       true,
       false},
      {{"--image=QN2_1.bin", "--port=COM3"}, "QN2_1.bin", "COM3", true, false, false},
      {{"--port=--odd"}, "", "--odd", true, false, false},
      {{"--list-ports"}, "", "", false, false, true},
      {{"--record", "runs.jsonl", "--yes"}, "", "", false, true, false, "runs.jsonl"},
      {{"--identify", "--port", "COM4"}, "", "COM4", true, false, false, "", true},
      {{"--port", "COM4", "--port=all"}, "", "COM4", true, false, false},  // a batch
      {{"--watch", "--json", "--count", "16", "--record", "r"}, "", "", false, false, false, "r"},
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
      {"--image"},
      {"--port"},
      {"--image="},
      {"--port", ""},
      {"--yes=1"},
      {"VN300_x.bin"},
      {"-y"},
      {"--imagefile", "x"},
      {"--yes", "--what"},
      {"--port", "--yes"},
      {"--operator", "a\tb"},
      {"--operator", "0123456789012345678901234567890123456789012345678901234567890123X"},
      {"--identify", "--operator", "Ana"},
      {"--record"},
      {"--identify=1"},
      {"--identify", "--record", "r.jsonl"},
      {"--identify", "--port", "a", "--port", "b"},
      {"--identify", "--port", "all"},
      {"--count", "3"},
      {"--watch", "--count", "0"},
      {"--watch", "--count", "2x"},
      {"--watch", "--yes"},
      {"--watch", "--identify"},
      {"--watch", "--trace", "-"},
  };
  for (const auto& args : cases) {
    Options o;
    EXPECT_NE(Parse(args, o), "") << args[0];
  }
}

// Without --port a serial model's session takes the one USB serial adapter
// present and says which; none or several is a usage error that lists the
// ports.
TEST(CliPorts, DefaultIsTheOnlyUsbAdapter) {
  const auto port = [](const char* name, bool usb) {
    quarn::PortInfo p;
    p.name = name;
    p.usbAdapter = usb;
    return p;
  };
  const quarn::PortInfo uart = port("/dev/ttyS0", false), usb0 = port("/dev/ttyUSB0", true),
                        acm0 = port("/dev/ttyACM0", true);
  struct Case {
    std::vector<quarn::PortInfo> ports;
    const char* chosen;                  // "": refused
    std::vector<std::string> mentioned;  // in the note, or in the refusal
  };
  const Case cases[] = {
      {{uart, usb0}, "/dev/ttyUSB0", {"using /dev/ttyUSB0, the only USB serial adapter"}},
      {{acm0, uart}, "/dev/ttyACM0", {"/dev/ttyACM0"}},
      {{uart, usb0, acm0},
       "",
       {"several USB serial adapters", "\n  /dev/ttyS0  serial port",
        "\n  /dev/ttyUSB0  USB serial adapter", "\n  /dev/ttyACM0  "}},
      {{uart}, "", {"no USB serial adapter found", "\n  /dev/ttyS0  serial port"}},
      {{}, "", {"no serial port found"}},
  };
  for (const Case& c : cases) {
    quarn::SessionState st;
    std::string note;
    const std::string why = quarn::cli::ChooseDefaultPort(st, c.ports, note);
    EXPECT_EQ(why.empty(), *c.chosen != '\0') << why;
    EXPECT_STREQ(st.selectedComPort, c.chosen);
    for (const std::string& m : c.mentioned)
      EXPECT_NE((why.empty() ? note : why).find(m), std::string::npos) << m << "\n" << why << note;
  }
}

// The ports a run's sessions take, from the ports the system listed: the
// port given, the model's own USB device, "all" by link, refusals.
TEST(CliPorts, ChosenFromTheListedPorts) {
  quarn::cli::PresentPorts present{{{}, {}, {}}, {"usb:1-2", "usb:1-3"}};
  present.serial[0].name = "/dev/ttyS0";
  present.serial[0].console = true;  // taken only when named
  present.serial[1].name = "/dev/ttyS1";
  present.serial[2].name = "/dev/ttyUSB0";
  present.serial[2].usbAdapter = true;
  struct Case {
    const char* model;
    std::vector<std::string> given;  // empty: no --port
    std::vector<std::string> ports;  // what the sessions take
    const char* wrong;               // start of the usage error; "" none
  };
  const Case cases[] = {
      {"TB2", {}, {"/dev/ttyUSB0"}, ""},
      {"VN300", {}, {"USB"}, ""},
      {"TB2", {"/dev/ttyUSB0"}, {"/dev/ttyUSB0"}, ""},
      {"VN300", {"usb:1-3"}, {"usb:1-3"}, ""},
      {"VN300", {"usb:x"}, {}, "'usb:x' is no USB port path"},
      {"VN300",
       {"usb:PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)"},
       {"usb:PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)"},
       ""},
      {"TB2", {"all"}, {"/dev/ttyS1", "/dev/ttyUSB0"}, ""},
      {"TB2", {"/dev/ttyS0", "all"}, {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}, ""},
      {"VN300", {"usb:1-3", "all"}, {"usb:1-3", "usb:1-2"}, ""},
      {"TB2", {"/dev/ttyUSB0", "all"}, {"/dev/ttyUSB0", "/dev/ttyS1"}, ""},
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
      if (!c.given.empty())
        ports = c.given;
      else
        ports.push_back("");
    }
    for (const std::string& p : why.empty() ? ports : std::vector<std::string>{}) {
      quarn::SessionState st;
      st.selectModel(static_cast<uint32_t>(row));
      std::string warning;
      why = quarn::cli::ChoosePort(p.empty() ? nullptr : &p, row, present.serial, st, warning);
      if (!why.empty()) break;
      taken.push_back(st.selectedComPort);
      EXPECT_EQ(st.usbPlace, quarn::kProfile[row].usb && !p.empty() ? p : "") << c.model;
    }
    EXPECT_EQ(why.substr(0, std::strlen(c.wrong)), c.wrong) << c.model << " " << why;
    if (!*c.wrong) {
      EXPECT_EQ(taken, c.ports) << c.model;
    }
  }
  // Two PLCs the system puts at one place: a batch that would take that
  // name is refused, not run on one of them.
  present.usb = {"usb:1-2", "usb:1-3", "usb:1-3"};
  const int vn300 = quarn::cli::ModelFromImageName("VN300_v1.bin");
  const std::pair<std::vector<std::string>, bool> batches[] = {
      {{"all"}, true}, {{"usb:1-2", "usb:1-3"}, true}, {{"usb:1-2", "usb:1-4"}, false}};
  for (const auto& [given, refused] : batches) {
    std::vector<std::string> ports;
    EXPECT_EQ(quarn::cli::BatchPorts(given, vn300, present, ports),
              refused ? quarn::cli::SharedUsbNameLine("usb:1-3") : "");
  }
  EXPECT_EQ(quarn::cli::SharedUsbNames({"a", "b", "a", "c", "a"}), std::vector<std::string>{"a"});
}

// What a link's error makes quarn-burn say and do: the cannot-open line with
// its hint, the refused USB PLC left to the hint at the run's end, a port
// gone waited for only where it is no USB PLC searched for.
TEST(CliLinkFailure, WhatAnErrorIsTakenFor) {
  using K = quarn::LinkError::Kind;
  const bool hint = quarn::cli::UsbAccessHint() != nullptr;
  const std::string serialHint = quarn::cli::SerialAccessHint();
  struct Case {
    const char *model, *port, *usbPlace;
    K kind;
    const char* words;
    std::string line;  // after "[P] quarn-burn: cannot open ", "" for none
    bool gone;
  } cases[] = {
      {"TB2", "/dev/ttyUSB9", "", K::NoSuchPort, "no such port", "/dev/ttyUSB9: no such port",
       false},
      {"TB2", "COM3", "", K::Permission, "permission denied",
       "COM3: permission denied" + serialHint, false},
      {"TB2", "COM3", "", K::Busy, "in use by another program", "COM3: in use by another program",
       false},
      {"TB2", "COM3", "", K::Other, "", "", false},  // the system did not say
      {"TB2", "/dev/ttyUSB0", "", K::Gone, "the device went away", "", quarn::cli::PortsComeBack()},
      {"TB2", "/dev/ttyUSB0", "", K::None, "", "", false},
      {"GH26", "USB", "", K::Permission, "permission denied",
       hint ? "" : "the PLC's USB device: permission denied", false},
      {"GH26", "usb:1-2", "usb:1-2", K::Gone, "the device went away", "", false},
      {"GH26", "/dev/pts/4", "/dev/pts/4", K::Permission, "permission denied",
       "/dev/pts/4: permission denied", false},
      {"GH26", "/dev/pts/4", "/dev/pts/4", K::Gone, "the device went away", "",
       quarn::cli::PortsComeBack()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.port + " " + c.words);
    quarn::SessionState st;
    st.selectModel(static_cast<uint32_t>(quarn::findModel(c.model)));
    st.setComPort(c.port);
    st.setUsbPlace(c.usbPlace);
    quarn::LinkError e;
    e.kind = c.kind;
    e.words = c.words;
    EXPECT_EQ(quarn::cli::CannotOpenLine(st, e, "[P] "),
              c.line.empty() ? "" : "[P] quarn-burn: cannot open " + c.line + "\n");
    EXPECT_EQ(quarn::cli::PortGone(st, e), c.gone);
  }
}

TEST(CliImageName, ModelIsThePartBeforeTheFirstUnderscore) {
  struct Case {
    const char* path;
    const char* model;  // nullptr: refused
  };
  const Case cases[] = {
      {"VN300_v1.14.10_20240103_01.bin", "VN300"},
      {"/tmp/build_dir/QN2_fw.bin", "QN2"},        // directories do not count
      {"VN200-TO-VN300_x.bin", "VN200-TO-VN300"},  // 14 characters
      {"KR2-C-V4_2.bin", "KR2-C-V4"},
      {"vn300_v1.bin", nullptr},  // exact case
      {"VN300.bin", nullptr},     // no model part
      {"VN3000_v1.bin", nullptr},
      {"VN200-TO-VN300X_x.bin", nullptr},  // longer than any name
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

// The progress line as a function of the session and the width: the stage
// in words, a bar that follows the percentage, and as many of the counts as
// fit, never wider than the width.
TEST(CliProgress, LineShowsTheStageAndFitsTheWidth) {
  using quarn::cli::ProgressView;
  const auto view = [](int32_t status, int32_t stage, int32_t progress, bool probed = true,
                       bool restarting = false) {
    ProgressView v;
    v.flashStatus = status;
    v.stage = stage;
    v.progress = progress;
    v.probed = probed;
    v.restarting = restarting;
    v.elapsedTime = 12;
    v.errCounter = 1;
    v.totalErrCounter = 3;
    return v;
  };
  ProgressView erasing = view(quarn::ERASE, quarn::STAGE_ERASING, 5);
  erasing.done = 12;
  erasing.total = 242;
  erasing.stageSeconds = 3;
  // 1000 of 3856 blocks of 128 bytes in 10 s: 12.8 kB/s, 28.56 s left.
  ProgressView programming = view(quarn::PROGRAM, quarn::STAGE_PROGRAMMING, 25);
  programming.done = 1000;
  programming.total = 3856;
  programming.blockBytes = 128;
  programming.stageSeconds = 10;
  ProgressView overflowing = programming;
  overflowing.progress = 250;
  ProgressView clean = programming;  // no retries: they give way to the rate and the time
  clean.errCounter = clean.totalErrCounter = 0;
  struct Case {
    ProgressView v;
    size_t width;
    const char* word;
    std::vector<const char*> shown, hidden;
  };
  const Case cases[] = {
      {view(quarn::IDLE, quarn::STAGE_CHECKING, 0, false),
       80,
       "Connecting",
       {"   0%", "  retries 1 (in all 3)", "  12 s"},
       {"blocks", "left"}},
      {view(quarn::IDLE, quarn::STAGE_CHECKING, 0), 80, "Checking", {}, {}},
      {view(quarn::IDLE, quarn::STAGE_ENTERING, 0), 80, "Switching", {}, {}},
      {view(quarn::IDLE, quarn::STAGE_ENTERING, 0, true, true), 80, "Restarting", {}, {}},
      {view(quarn::IDLE, quarn::STAGE_BOOTLOADER, 0), 80, "Checking", {}, {}},
      {erasing, 100, "Erasing", {"  12/242 pages", "  0:58 left", "  12 s"}, {"kB/s"}},
      {programming,
       120,
       "Programming",
       {"  25%", "  1000/3856 blocks", "  12.8 kB/s", "  0:29 left", "  retries 1 (in all 3)",
        "  12 s"},
       {}},
      {programming,
       60,
       "Programming",
       {"  25%", "  1000/3856 blocks", "  0:29 left"},
       {"kB/s", "retries", "12 s"}},
      {programming, 80, "Programming", {"  0:29 left", "  retries 1 (in all 3)"}, {"kB/s", "12 s"}},
      {clean, 80, "Programming", {"  0:29 left", "  12.8 kB/s", "  12 s"}, {"retries"}},
      {overflowing, 29, "Programming", {" 100%"}, {"blocks"}},
      {programming, 12, "Programming", {}, {"["}},
  };
  for (const Case& c : cases) {
    const std::string line = quarn::cli::ProgressLine(c.v, c.width);
    SCOPED_TRACE(line);
    EXPECT_LE(line.size(), c.width);
    EXPECT_EQ(line.rfind(c.word, 0), 0u);
    for (const char* part : c.shown) EXPECT_NE(line.find(part), std::string::npos) << part;
    for (const char* part : c.hidden) EXPECT_EQ(line.find(part), std::string::npos) << part;
    const size_t open = line.find('['), close = line.find(']');
    if (open == std::string::npos) continue;
    // The bar takes at least 10 columns and as much of 30 as the line has room for.
    const size_t bar = close - open - 1;
    EXPECT_GE(bar, 10u);
    EXPECT_LE(bar, 30u);
    EXPECT_TRUE(bar == 30 || line.size() == c.width) << bar;
    const int32_t percent = std::clamp<int32_t>(c.v.progress, 0, 100);
    EXPECT_EQ(static_cast<size_t>(std::count(line.begin() + open, line.begin() + close, '#')),
              percent * bar / 100);
  }
}

// Off a terminal: a line at each change of stage word and at each tenth of
// the erase and the transfer, led by its stamp and label, with a bar of 20
// columns and every part kept, however long the line.
TEST(CliLog, LineAtEachStageAndTenthWithEveryPart) {
  using quarn::cli::ProgressView;
  const auto view = [](int32_t status, int32_t stage, int32_t progress, int32_t done = 0) {
    ProgressView v;
    v.flashStatus = status;
    v.stage = stage;
    v.progress = progress;
    v.probed = true;
    v.elapsedTime = 7;
    v.totalErrCounter = 2;
    v.done = done;
    v.total = status == quarn::IDLE ? 0 : 200;
    v.blockBytes = status == quarn::PROGRAM ? 128 : 0;
    v.stageSeconds = 10;
    return v;
  };
  ProgressView connecting = view(quarn::IDLE, quarn::STAGE_CHECKING, 0);
  connecting.probed = false;
  struct Step {
    ProgressView v;
    bool due;
    std::vector<const char*> shown;
  };
  const Step steps[] = {
      {connecting, true, {"Connecting  [....................]   0%  7 s  retries 0 (in all 2)"}},
      {connecting, false, {}},
      {view(quarn::IDLE, quarn::STAGE_CHECKING, 0), true, {"Checking    ["}},
      {view(quarn::IDLE, quarn::STAGE_BOOTLOADER, 0), false, {}},  // still Checking
      {view(quarn::ERASE, quarn::STAGE_ERASING, 5, 10), true, {"Erasing", "  10/200 pages"}},
      {view(quarn::ERASE, quarn::STAGE_ERASING, 12, 24), true, {"[##..................]  12%"}},
      {view(quarn::ERASE, quarn::STAGE_ERASING, 19, 38), false, {}},
      {view(quarn::PROGRAM, quarn::STAGE_PROGRAMMING, 19, 38), true, {"Programming [###"}},
      {view(quarn::PROGRAM, quarn::STAGE_PROGRAMMING, 100, 200),
       true,
       {"[####################] 100%  200/200 blocks  2.6 kB/s  7 s  retries 0 (in all 2)"}},
  };
  quarn::cli::LogMark mark;
  for (const Step& s : steps) {
    const std::string line = quarn::cli::LogLine(s.v, "2026-12-09T10:00:00.000Z", "[COM3] ");
    SCOPED_TRACE(line);
    EXPECT_EQ(quarn::cli::LogDue(s.v, mark), s.due);
    EXPECT_EQ(line.rfind("2026-12-09T10:00:00.000Z [COM3] ", 0), 0u);
    for (const char* part : s.shown) EXPECT_NE(line.find(part), std::string::npos) << part;
    EXPECT_EQ(line.find(']', 32) - line.find('[', 32), 21u);  // the bar is always 20 columns
  }
}

// One record is one line of JSON, whatever bytes the names hold.
TEST(CliRecord, OneLineOfJsonWithEveryField) {
  using namespace std::chrono;
  quarn::cli::Record r;
  r.start =
      sys_days{year{2024} / 1 / 3} + hours{12} + minutes{34} + seconds{56} + milliseconds{789};
  r.end = r.start + milliseconds{61500};
  r.tool = "quarn-burn 1.0.0";
  r.port = "/dev/tty\"odd\n\xff";  // a quote, a newline and a byte that is not UTF-8
  r.model = "VN300";
  r.imageName = "VN300_v1.bin";
  r.imageSize = 2076672;
  r.imageSha256 = std::string(64, 'a');
  r.imageSignature = "signed";
  r.imageKeyId = "0123456789abcdef";
  r.modeAtStart = "bootloader";
  r.exitStatus = 130;
  r.interrupted = "interrupted while programming block 12 of 8096; ...";
  r.elapsedSeconds = 61.5004;
  r.retries = 3;
  r.pagesErased = 507;
  r.blocksSent = 11;
  r.unansweredReads = quarn::GUARD_D1148 | quarn::GUARD_VERSION;
  const std::string line = quarn::cli::RecordLine(r);
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["start"], "2024-01-03T12:34:56.789Z");
  EXPECT_EQ(j["end"], "2024-01-03T12:35:58.289Z");
  EXPECT_EQ(j["port"], "/dev/tty\"odd\n\xEF\xBF\xBD");  // U+FFFD for the bad byte
  EXPECT_TRUE(j["usb_path"].is_null());
  EXPECT_EQ(j["image"]["size"], 2076672);
  EXPECT_EQ(j["image"]["sha256"], std::string(64, 'a'));
  EXPECT_EQ(j["image"]["signature"], "signed");
  EXPECT_EQ(j["image"]["key_id"], "0123456789abcdef");
  EXPECT_EQ(j["mode_at_start"], "bootloader");
  EXPECT_TRUE(j["outcome"]["caption"].is_null());
  EXPECT_EQ(j["outcome"]["exit_status"], 130);
  EXPECT_EQ(j["outcome"]["interrupted"], r.interrupted);
  EXPECT_EQ(j["elapsed_seconds"], 61.5);
  EXPECT_EQ(j["retries"], 3);
  EXPECT_EQ(j["pages_erased"], 507);
  EXPECT_EQ(j["blocks_sent"], 11);
  EXPECT_EQ(j["unanswered_reads"], nlohmann::json::array({"D1148", "version"}));
}

// The platform's SHA-256 (libcrypto or BCrypt) and its append-only file.
TEST(CliPlatform, Sha256AndAppendOnlyRecordFile) {
  const struct {
    std::string data;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    quarn::Sha256 h;
    // In two pieces: the digest is of the whole.
    h.update(reinterpret_cast<const uint8_t*>(v.data.data()), v.data.size() / 3);
    h.update(reinterpret_cast<const uint8_t*>(v.data.data()) + v.data.size() / 3,
             v.data.size() - v.data.size() / 3);
    EXPECT_EQ(h.hex(), v.digest);
  }

  const std::string path = testing::TempDir() + "quarn-record-test.jsonl";
  WriteText(path, "{\"old\":1}\n");
  for (const char* line : {"{\"a\":1}\n", "{\"b\":2}\n"}) {
    quarn::cli::RecordFile rf;
    ASSERT_EQ(rf.open(path), "");
    EXPECT_EQ(rf.append(line), "");
  }
  EXPECT_EQ(TakeText(path), "{\"old\":1}\n{\"a\":1}\n{\"b\":2}\n");
  quarn::cli::RecordFile bad;
  EXPECT_NE(bad.open(testing::TempDir() + "no-such-dir/x/r.jsonl"), "");
}

#ifndef _WIN32
// A record the file cannot take whole leaves the file as it was: a file size
// limit cuts the write short, /dev/full refuses it at once.
TEST(CliPlatform, FailedRecordLeavesNoPartialLine) {
  const std::string file = testing::TempDir() + "quarn-rollback.jsonl";
  const std::string old = "{\"old\":1}\n", line = "{\"new\":\"" + std::string(100, 'x') + "\"}\n";
  const struct {
    std::string path;
    rlim_t room;  // bytes the file may grow by; RLIM_INFINITY: no limit
    std::string says;
  } cases[] = {
      {file, 20, "only 20 of " + std::to_string(line.size()) + " bytes written"},
      {"/dev/full", RLIM_INFINITY, "No space left on device"},
  };
  std::signal(SIGXFSZ, SIG_IGN);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const bool regular = c.path == file;
    if (regular) WriteText(file, old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    if (c.room != RLIM_INFINITY) limit.rlim_cur = old.size() + c.room;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string failed;
    {
      quarn::cli::RecordFile rf;
      ASSERT_EQ(rf.open(c.path), "");
      failed = rf.append(line);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(failed, c.says);
    if (regular) {
      EXPECT_EQ(TakeText(file), old);
    }
  }
  std::signal(SIGXFSZ, SIG_DFL);
}
#endif

}  // namespace
