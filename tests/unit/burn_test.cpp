// Whole burn sessions against the simulated PLC, on the virtual clock: the
// messages in their order, where the timer stops, the waits, the flash the
// PLC ends up with, and the reset that closes every session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "loader/loader.h"
#include "plcsim.h"
#include "reference.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

using namespace quarn;
using plcsim::Act;
using plcsim::Kind;

namespace {

// Records what the worker tells the operator, as one event list: "sleep N",
// a prompt's or the outcome's "CAPTION: text", "stop" where the session's
// time stops, and "end" where the outcome was given.
struct FakeOperator : Operator {
  SessionState& st;
  plcsim::SimLink& link;
  std::vector<std::string> events;
  struct Shown {
    int32_t progress, flashStatus, errCounter, totalErrCounter;
  };
  std::vector<Shown> shown;  // the panel's fields while each message was open
  int prompts = 0;
  int promptsWithLinkOpen = 0;  // a replug or power cycle asked for while the port is held
  std::vector<Prompt> kinds;    // each prompt's kind
  std::function<void(FakeOperator&)> onPrompt;  // what the person does at a prompt

  FakeOperator(SessionState& s, plcsim::SimLink& l) : st(s), link(l) {}
  void show(const char* caption, Icon icon, const char* text) {
    EXPECT_EQ(icon, std::string(caption) == "ERROR" ? Icon::Error : Icon::Information);
    events.push_back(std::string(caption) + ": " + text);
    shown.push_back({st.progress, st.flashStatus, st.errCounter, st.totalErrCounter});
  }
  bool prompt(Prompt kind, const char* caption, const char* text) override {
    show(caption, Icon::Information, text);
    kinds.push_back(kind);
    ++prompts;
    promptsWithLinkOpen += link.isOpen;
    if (onPrompt) onPrompt(*this);
    return true;
  }
  void outcome(const Outcome& o) override {
    if (!o.timeStopsAfterMessage) events.push_back("stop");
    if (o.caption != nullptr) show(o.caption, o.icon, o.text);
    if (o.timeStopsAfterMessage) events.push_back("stop");
    EXPECT_EQ(o.success, o.caption != nullptr && o.icon == Icon::Information);
    events.push_back("end");
  }
  void sleepSeconds(unsigned s) override {
    events.push_back("sleep " + std::to_string(s));
    link.nowMs += 1000ull * s;
  }
  std::string last(size_t fromEnd = 0) const { return events[events.size() - 1 - fromEnd]; }
};

std::vector<uint8_t> MakeImage(uint32_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 12345;
  for (auto& b : v) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  return v;
}

// What the PLC's flash must hold after a good transfer: the bytes sent (a
// 4K-page model keeps its last 4096), then SUB (0x1A) up to the end of the
// last block.
std::vector<uint8_t> ExpectedFlash(int idx, const std::vector<uint8_t>& img) {
  const std::string model = plcList[idx];
  const size_t sent = reference::k4K.count(model) ? img.size() - 4096 : img.size();
  const size_t block = reference::kBlock256.count(model) ? 256 : 128;
  std::vector<uint8_t> f(img.begin(), img.begin() + static_cast<long>(sent));
  while (f.size() % block) f.push_back(0x1A);
  return f;
}

// A PLC of the model as plcsim plays it by default: its registers and
// loader version pass the guards of its own model.
plcsim::Config GoodPlc(const std::string& model) {
  plcsim::Config c;
  c.model = model;
  return c;
}

uint32_t ImageSizeFor(int idx) {
  const Profile& p = kProfile[idx];
  if (p.fourKPage) return 3 * 4096 + 300;
  return p.maxSize < 9000 ? p.maxSize : 9000;
}

// The simulated PLC's link, which raises the session's stop request once the
// n-th write that begins with `prefix` has gone out.
struct StopLink : plcsim::SimLink {
  SessionState& st;
  std::string prefix;
  int n = 0, seen = 0;
  size_t stopAt = SIZE_MAX;  // wire events before the stop

  StopLink(plcsim::Plc& plc, SessionState& s) : SimLink(plc), st(s) {}
  int write(const uint8_t* data, int len) override {
    const int w = SimLink::write(data, len);
    if (n > 0 && len >= static_cast<int>(prefix.size()) &&
        std::equal(prefix.begin(), prefix.end(), data) && ++seen == n) {
      st.stopRequested = true;
      stopAt = wire.size();
    }
    return w;
  }
  int writesAfterStop() const {
    int k = 0;
    for (size_t i = stopAt; i < wire.size(); ++i) k += wire[i].toPlc;
    return k;
  }
};

struct Bench {
  SessionState st;
  plcsim::Plc plc;
  StopLink link;
  FakeOperator op;
  std::vector<uint8_t> image;

  Bench(const plcsim::Config& cfg, uint32_t imageSize)
      : plc(cfg), link(plc, st), op(st, link), image(MakeImage(imageSize)) {
    st.selectModel(findModel(cfg.model.c_str()));
    st.setComPort(kProfile[st.selectedPLCIdx].usb ? "USB" : "COM3");
    link.logWire = false;
  }
  void run() { StartBurn(st, link, op, image.data(), static_cast<uint32_t>(image.size())); }
  void expectReset() {
    EXPECT_EQ(st.elapsedTime, 0);
    EXPECT_EQ(st.flashStatus, IDLE);
    EXPECT_EQ(st.progress, 0);
    EXPECT_EQ(st.errCounter, 0);
    EXPECT_EQ(st.totalErrCounter, 0);
    EXPECT_FALSE(link.isOpen);
    EXPECT_EQ(op.last(), "end");
  }
};

std::vector<std::string> Tail(const std::vector<std::string>& v, size_t n) {
  return {v.end() - static_cast<long>(n), v.end()};
}

}  // namespace

// Every model, from a running application to a successful update, against
// plcsim's defaults for that model.
TEST(Burn, EveryModelUpdatesFromItsApplication) {
  for (int idx = 0; idx < kModelCount; ++idx) {
    const std::string model = plcList[idx];
    SCOPED_TRACE(model);
    Bench b(GoodPlc(model), ImageSizeFor(idx));
    b.st.elapsedTime = 42;
    b.run();

    const Profile& p = kProfile[idx];
    std::vector<std::string> want;
    switch (p.reconnect) {
      case Reconnect::Replug2s:
        want.insert(
            want.end(),
            {"Information: Please REPLUG the USB Cable, and then press OK to continue", "sleep 2"});
        break;
      case Reconnect::Replug5s:
        want.insert(
            want.end(),
            {"Information: Please REPLUG the USB Cable, and then press OK to continue", "sleep 5"});
        break;
      case Reconnect::PowerCycle2s:
        want.insert(want.end(),
                    {"Information: Please POWER OFF=>ON the PLC, and then press OK to continue",
                     "sleep 2"});
        break;
      case Reconnect::Wait1s: want.push_back("sleep 1"); break;
    }
    want.push_back("stop");
    want.push_back(p.usb
                       ? "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable"
                       : "INFORMATION: Firmware update is SUCCESSFUL");
    want.push_back("end");
    EXPECT_EQ(b.op.events, want);
    EXPECT_EQ(b.plc.flash(), ExpectedFlash(idx, b.image));
    EXPECT_TRUE(b.plc.transferClosed());
    EXPECT_EQ(b.plc.requests(Kind::ErasePage),
              totalPages(idx, static_cast<uint32_t>(b.image.size())));
    // The panel showed the finished transfer while the success message was open.
    EXPECT_EQ(b.op.shown.back().progress, 100);
    EXPECT_EQ(b.op.shown.back().flashStatus, PROGRAM);
    // The loader version is asked in both modes for the versioned-loader models.
    EXPECT_EQ(b.plc.requests(Kind::Version), p.versionedLoader ? 1 : 0);
    EXPECT_EQ(b.plc.requests(Kind::VersionB), p.versionedLoader ? 1 : 0);
    // Reconnecting models close the link before their prompt and reopen it
    // once, as the pipe or the port their model uses (the simulated link
    // opens only the kind its PLC hangs on).
    EXPECT_EQ(b.link.opens, p.reconnect == Reconnect::Wait1s ? 1 : 2);
    EXPECT_EQ(b.op.promptsWithLinkOpen, 0);
    EXPECT_EQ(b.st.firstProbe, ENQ);  // for the record: the mode found at the start
    b.expectReset();
  }
}

// One PLC updated three times in a row, for every way of reconnecting: each
// update restarts it into the application it was given, and the next one
// finds it there and takes it through its bootloader again.
TEST(Burn, UpdatesOfOnePlcFollowEachOther) {
  for (const char* model : {"TB2", "KR2-C-V4", "GH26", "VN300"}) {
    SCOPED_TRACE(model);
    const int idx = findModel(model);
    Bench b(GoodPlc(model), ImageSizeFor(idx));
    for (int round = 1; round <= 3; ++round) {
      SCOPED_TRACE(round);
      for (uint8_t& x : b.image) x = static_cast<uint8_t>(x + 1);  // new firmware each time
      b.op.events.clear();
      b.link.writesBeforeDeath = 2000;  // a PLC that never reaches its bootloader ends the run
      b.run();
      EXPECT_EQ(b.plc.requests(Kind::Erase), round);  // it was in its application
      EXPECT_EQ(b.op.prompts, kProfile[idx].reconnect == Reconnect::Wait1s ? 0 : round);
      EXPECT_EQ(b.op.events[b.op.events.size() - 2],
                kProfile[idx].usb
                    ? "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable"
                    : "INFORMATION: Firmware update is SUCCESSFUL");
      EXPECT_EQ(b.plc.flash(), ExpectedFlash(idx, b.image));
      b.expectReset();
    }
  }
}

TEST(Burn, BootloaderAlreadyRunningSkipsTheApplicationSteps) {
  auto cfg = GoodPlc("QN2");
  cfg.mode = plcsim::Mode::Boot;
  Bench b(cfg, 5000);
  b.run();
  EXPECT_EQ(b.op.events, (std::vector<std::string>{
                             "stop", "INFORMATION: Firmware update is SUCCESSFUL", "end"}));
  EXPECT_EQ(b.plc.requests(Kind::CheckId), 0);
  EXPECT_EQ(b.plc.requests(Kind::Register), 0);
  EXPECT_EQ(b.plc.requests(Kind::VersionB), 0);  // QN2 has no loader version
  EXPECT_EQ(b.plc.flash(), ExpectedFlash(3, b.image));
}

// Failures of the mode probe, the identity check and the enter-update request.
TEST(Burn, ApplicationModeFailuresAndTheirMessages) {
  struct Case {
    const char* model;
    Kind kind;
    Act act;
    uint8_t a1, a2;
    const char* text;
  };
  const Case cases[] = {
      {"TB2", Kind::Probe, Act::Nak, 0x01, 0, "PLC in RUN MODE"},
      {"TB2", Kind::Probe, Act::Nak, 0x02, 0x01, "PLC type is WRONG"},
      {"TB2", Kind::Probe, Act::Nak, 0x02, 0x02, "PLC type is WRONG"},
      {"TB2", Kind::Probe, Act::Nak, 0x02, 0x03, "PLC type is WRONG"},
      {"TB2", Kind::Probe, Act::Nak, 0x03, 0, "UNKNOWN ERROR CODE @ State 1"},
      {"TB2", Kind::Probe, Act::Silent, 0, 0, "NO RESPONSE @ State 1"},
      {"VN300", Kind::Probe, Act::Silent, 0, 0, "NO RESPONSE @ State 1"},
      {"QN2", Kind::CheckId, Act::Nak, 0x02, 0x02, "PLC type is WRONG"},
      {"QN2", Kind::CheckId, Act::Nak, 0x02, 0x03, "PLC type is WRONG"},
      {"QN2", Kind::CheckId, Act::Nak, 0x02, 0x09, "PLC type is WRONG"},
      {"QN2", Kind::CheckId, Act::Nak, 0x01, 0, "UNKNOWN ERROR CODE @ State 2"},
      {"QN2", Kind::CheckId, Act::Silent, 0, 0, "NO RESPONSE @ State 2"},
      {"DW3", Kind::Erase, Act::Nak, 0x02, 0x03, "PLC type is WRONG"},
      {"DW3", Kind::Erase, Act::Nak, 0x02, 0x04, "PLC type is WRONG"},
      {"DW3", Kind::Erase, Act::Nak, 0x02, 0x07, "PLC type is WRONG"},
      {"DW3", Kind::Erase, Act::Nak, 0x01, 0, "UNKNOWN ERROR CODE @ State 3"},
      {"DW3", Kind::Erase, Act::Silent, 0, 0, "NO RESPONSE @ State 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.text);
    Bench b(GoodPlc(c.model), 4096 * 4);
    b.plc.inject(c.kind, c.act, -1, c.a1, c.a2);
    b.run();
    EXPECT_EQ(Tail(b.op.events, 3),
              (std::vector<std::string>{"stop", std::string("ERROR: ") + c.text, "end"}));
    EXPECT_EQ(b.op.events.size(), 3u);  // stop, the message, end: no second pass
    // While the message was open the panel still showed the failed attempts.
    EXPECT_EQ(b.op.shown.back().errCounter, 6);
    EXPECT_GE(b.op.shown.back().totalErrCounter, 6);
    EXPECT_TRUE(b.plc.flash().empty());
    b.expectReset();
  }
}

TEST(Burn, WrongIdentifierEndsAtTheIdentityCheck) {
  auto cfg = GoodPlc("QN2");
  cfg.appId = 0x0014;
  Bench b(cfg, 4096);
  b.run();
  EXPECT_EQ(b.op.events[1], "ERROR: NO RESPONSE @ State 2");
  EXPECT_EQ(b.plc.requests(Kind::CheckId), 6);
}

// The guards that tell apart the variants sharing one type identifier.
TEST(Burn, TypeGuards) {
  struct Case {
    const char* model;
    uint16_t d1386, d1001, d1148;
    const char* refusal;
  };
  const Case cases[] = {
      {"KR2-C-V2", 0x4137, 0x0040, 0, "KR2-C V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
      {"KR2-C-V2", 0x4137, 0x003F, 0, nullptr},
      {"KR2-C-V4", 0x4138, 0x0030, 0, "KR2-C V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
      {"KR2-MV2-V2", 0x4138, 0x0040, 0, "Check PLC, KR2-MV2 is different than KR2-C"},
      {"KR2-MV2-V4", 0x4137, 0x0040, 0, "Check PLC, KR2-MV2 is different than KR2-C"},
      {"KR2-C-V4", 0x0000, 0x0050, 0, "KR2-MV2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
      {"KR2-C-V4", 0x0000, 0x0020, 0, "KR2-MV2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
      {"KR2-MV2-V2", 0x1234, 0x1234, 0, nullptr},  // only bits 4 to 7 count
      {"KR2-MV2-V2", 0x0000, 0x00F0, 0, "KR2-MV2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
      {"QN2", 0, 0, 7, "Check PLC, 12QN2 is different than 28QN2"},
      {"QN28", 0, 0, 0, "Check PLC, 28QN2 is different than 12QN2"},
      {"GH", 0, 0, 5, "Check PLC, 12GH is different than 26GH"},
      {"GH26", 0, 0, 0, "Check PLC, 26GH is different than 12GH"},
      {"TJ-V3", 0, 0x0040, 0, "TJ V4.xx CAN NOT downgrade to V3.xx "},
      {"TJ-V4", 0, 0x0030, 0, "TJ V3.xx CAN NOT upgrade to V4.xx "},
      {"RTF-KR2-V2", 0, 0x0040, 0, "RTF-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
      {"RTF-KR2-V4", 0, 0x0000, 0, "RTF-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + (c.refusal ? c.refusal : "accepted"));
    plcsim::Config cfg;
    cfg.model = c.model;
    cfg.d1386 = c.d1386;
    cfg.d1001 = c.d1001;
    cfg.d1148 = c.d1148;
    Bench b(cfg, 2048);
    b.run();
    if (c.refusal) {
      EXPECT_EQ(b.op.events,
                (std::vector<std::string>{"stop", std::string("ERROR: ") + c.refusal, "end"}));
      EXPECT_EQ(b.plc.requests(Kind::Erase), 0);
    } else {
      EXPECT_TRUE(b.plc.transferClosed());
    }
  }
  // A KR2-MV2 selected on a KR2-C PLC is refused without reading D1001.
  plcsim::Config cfg;
  cfg.model = "KR2-MV2-V2";
  cfg.d1386 = 0x4137;
  Bench b(cfg, 2048);
  b.run();
  EXPECT_EQ(b.plc.requests(Kind::Register), 1);
}

// AIO loaders too old for an update, refused in either mode; the timer stops
// only after the message.
TEST(Burn, LoaderVersionGuardInBothModes) {
  struct Case {
    const char* model;
    uint8_t version;
    const char* refusal;
  };
  const Case cases[] = {
      {"VN200-AIO", 0x09, "The bootloader version is V0.9, do not support AIO FW update"},
      {"VN200-AIO", 0x0F, "The bootloader version is unknown, do not support AIO FW update"},
      {"VN200-AIO", 0x10, nullptr},
      {"TJ3-AIO", 0x00, "The bootloader version is unknown, do not support AIO FW update"},
      {"MV3-AIO", 0x10, "The bootloader version is V1.0, do not support AIO FW update"},
      {"MV3-AIO", 0x11, "The bootloader version is unknown, do not support AIO FW update"},
      {"MV3-AIO", 0x12, nullptr},
      {"VN300", 0x00, nullptr},  // read, never judged
  };
  for (plcsim::Mode mode : {plcsim::Mode::App, plcsim::Mode::Boot}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.model) + (mode == plcsim::Mode::App ? " app " : " boot ") +
                   std::to_string(c.version));
      plcsim::Config cfg;
      cfg.model = c.model;
      cfg.mode = mode;
      cfg.loaderVersion = c.version;
      Bench b(cfg, 3 * 4096 + 100);
      b.run();
      if (c.refusal) {
        EXPECT_EQ(b.op.events,
                  (std::vector<std::string>{std::string("ERROR: ") + c.refusal, "stop", "end"}));
        EXPECT_EQ(b.plc.requests(Kind::ErasePage), 0);
      } else {
        EXPECT_TRUE(b.plc.transferClosed());
      }
    }
  }
}

TEST(Burn, BootloaderFailuresAndTheirMessages) {
  struct Case {
    const char* model;
    Kind kind;
    Act act;
    const char* text;
  };
  const Case cases[] = {
      {"VN300", Kind::IdB, Act::Silent, "PLC type is WRONG"},
      {"VN300", Kind::VersionB, Act::Silent, "PLC DOES NOT respond to the version read"},
      {"VN300", Kind::ErasePage, Act::Nak, "PLC DOES NOT respond to the erasing signal"},
      {"TB2", Kind::EraseEot, Act::Silent, "PLC DOES NOT respond to the erasing signal"},
      {"TB2", Kind::Update, Act::Nak, "PLC DOES NOT respond to the update signal"},
      {"TB2", Kind::Block, Act::Nok,
       "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again"},
      {"TB2", Kind::Block, Act::Silent, "Firmware update is FAILED"},
      {"GH", Kind::FwEot, Act::Nak, "Firmware update is FAILED"},
      // A NOK where the closing EOT's answer is due is a block's refusal.
      {"GH", Kind::FwEot, Act::Nok,
       "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.text);
    auto cfg = GoodPlc(c.model);
    cfg.mode = plcsim::Mode::Boot;
    Bench b(cfg, 3 * 4096 + 1);
    b.plc.inject(c.kind, c.act, -1);
    b.run();
    EXPECT_EQ(b.op.events,
              (std::vector<std::string>{"stop", std::string("ERROR: ") + c.text, "end"}));
    b.expectReset();
  }
}

TEST(Burn, WrongBootloaderIdentifier) {
  auto cfg = GoodPlc("GH-H");
  cfg.mode = plcsim::Mode::Boot;
  cfg.bootId = 0x2002;  // GH-H keeps all 16 bits of its identifier
  Bench b(cfg, 1000);
  b.run();
  EXPECT_EQ(b.op.events[1], "ERROR: PLC type is WRONG");
  EXPECT_EQ(b.plc.requests(Kind::IdB), 6);
}

// The image size limit, its boundaries, and images that cannot be sent.
TEST(Burn, ImageSizeChecksEndBeforeTheLinkOpens) {
  struct Case {
    const char* model;
    uint32_t size;
    const char* text;
  };
  const Case cases[] = {
      {"VN300", 2076672, nullptr},
      {"VN300", 2076673, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"},
      {"30MV2-AIO", 12288, nullptr},
      {"30MV2-AIO", 12289, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"},
      {"GH", 493568, nullptr},
      {"GH", 493569, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"},
      {"KR2-E", 917505, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
      {"QN28", 524289, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"},
      {"MV3-AIO", 40961, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"},
      {"KR3", 4095, "The file size is BELOW the MINIMUM size (4 * 1024)"},
      {"KR3", 4096, nullptr},
      {"TB2", 0, "CANNOT load the firmware image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.size));
    auto cfg = GoodPlc(c.model);
    cfg.mode = plcsim::Mode::Boot;
    Bench b(cfg, c.size);
    b.st.progress = 7;
    b.st.errCounter = 3;
    b.st.totalErrCounter = 9;
    b.st.elapsedTime = 5;
    b.run();
    if (c.text) {
      EXPECT_EQ(b.op.events,
                (std::vector<std::string>{"stop", std::string("ERROR: ") + c.text, "end"}));
      EXPECT_EQ(b.link.opens, 0);
      // Only elapsedTime is cleared: nothing was opened, nothing else reset.
      EXPECT_EQ(b.st.elapsedTime, 0);
      EXPECT_EQ(b.st.progress, 7);
      EXPECT_EQ(b.st.errCounter, 3);
      EXPECT_EQ(b.st.totalErrCounter, 9);
    } else {
      EXPECT_TRUE(b.plc.transferClosed());
    }
  }
}

TEST(Burn, MissingImageIsReportedNotUsed) {
  Bench b(GoodPlc("TB2"), 100);
  StartBurn(b.st, b.link, b.op, nullptr, 5000);
  EXPECT_EQ(b.op.events,
            (std::vector<std::string>{"stop", "ERROR: CANNOT load the firmware image", "end"}));
  EXPECT_EQ(b.link.opens, 0);
}

TEST(Burn, LinkThatCannotBeOpened) {
  for (const char* model : {"TB2", "VN300"}) {
    SCOPED_TRACE(model);
    Bench b(GoodPlc(model), 5000);
    b.st.setComPort(kProfile[findModel(model)].usb ? "COM1" : "COM7");  // USB ignores the list
    b.link.failOpens = 1;
    b.run();
    const std::string text = std::string(model) == "TB2" ? "ERROR: CANNOT open COM7 Port!!!"
                                                         : "ERROR: CANNOT open USB Port!!!";
    EXPECT_EQ(b.op.events, (std::vector<std::string>{"stop", text, "end"}));
  }
  Bench b(GoodPlc("TB2"), 5000);  // no serial port present: an empty name
  b.st.selectedComPort[0] = 0;
  b.link.failOpens = 1;
  b.run();
  EXPECT_EQ(b.op.events[1], "ERROR: CANNOT open  Port!!!");
}

// The identifier read of KR3: first pass only, KR3 only, 0 accepted.
TEST(Burn, Kr3IdentifierCheck) {
  struct Case {
    const char* model;
    int id67;
    bool silent;
    bool refused;
    int reads;
  };
  const Case cases[] = {
      {"KR3", 0x0020, false, false, 1},         {"KR3", 0x0021, false, true, 1},
      {"KR3", 0x0021, true, false, 2},  // no answer: 0, accepted (two tries)
      {"KR3-PACKAGE", 0x0021, false, false, 0}, {"MV3-AIO", 0x0021, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.id67));
    auto cfg = GoodPlc(c.model);
    cfg.id67 = c.id67;
    Bench b(cfg, 3 * 4096);
    if (c.silent) b.plc.inject(Kind::Id67, Act::Silent, -1);
    b.run();
    EXPECT_EQ(b.plc.requests(Kind::Id67), c.reads);  // and never in the second pass
    if (c.refused) {
      EXPECT_EQ(b.op.events, (std::vector<std::string>{"stop", "ERROR: PLC type is WRONG", "end"}));
      EXPECT_EQ(b.plc.requests(Kind::Probe), 0);
    } else {
      EXPECT_TRUE(b.plc.transferClosed());
    }
  }
}

// The reopened pipe is not checked: the next probe runs on an invalid link.
TEST(Burn, InvalidReopenedLinkEndsWithNoResponse) {
  Bench b(GoodPlc("VN300"), 3 * 4096);
  b.op.onPrompt = [](FakeOperator& op) { op.link.failOpens = 1; };
  b.run();
  EXPECT_EQ(Tail(b.op.events, 3),
            (std::vector<std::string>{"stop", "ERROR: NO RESPONSE @ State 1", "end"}));
  EXPECT_EQ(b.op.prompts, 1);
  EXPECT_EQ(b.plc.requests(Kind::Probe), 1);
}

// A PLC that keeps answering ENQ and accepting the enter-update request gets
// pass after pass; here it falls silent after five of them.
TEST(Burn, PassesRepeatWhileThePlcStaysInItsApplication) {
  auto cfg = GoodPlc("TB2");
  cfg.enterBoot = false;
  Bench b(cfg, 3000);
  int waits = 0;
  struct Op : FakeOperator {
    using FakeOperator::FakeOperator;
    int* waits;
    plcsim::Plc* plc;
    void sleepSeconds(unsigned s) override {
      FakeOperator::sleepSeconds(s);
      if (++*waits == 5) plc->inject(Kind::Probe, Act::Silent, -1);
    }
  } op(b.st, b.link);
  op.waits = &waits;
  op.plc = &b.plc;
  StartBurn(b.st, b.link, op, b.image.data(), static_cast<uint32_t>(b.image.size()));
  EXPECT_EQ(waits, 5);
  EXPECT_EQ(b.plc.requests(Kind::Erase), 5);
  EXPECT_EQ(b.plc.requests(Kind::Wake), 6 * 5);  // five wake-ups in each of six passes
  EXPECT_EQ(Tail(op.events, 3),
            (std::vector<std::string>{"stop", "ERROR: NO RESPONSE @ State 1", "end"}));
}

// A run with retries on the way still succeeds and the panel counters show
// them while the success message is open.
TEST(Burn, RetriesOnTheWayAreCountedAndSurvived) {
  Bench b(GoodPlc("TB2"), 1000);
  b.plc.inject(Kind::Probe, Act::Silent, 1);
  b.plc.inject(Kind::Block, Act::Nak, 2);
  b.run();
  EXPECT_EQ(b.op.events[b.op.events.size() - 2], "INFORMATION: Firmware update is SUCCESSFUL");
  EXPECT_EQ(b.op.shown.back().totalErrCounter, 3);
  EXPECT_EQ(b.plc.flash(), ExpectedFlash(1, b.image));
  b.expectReset();
}

// A stop request ends the session at the next exchange: nothing more reaches
// the PLC, no message is shown, the link is closed, and the session says
// where it stopped.
TEST(Burn, StopEndsTheSessionAtTheNextExchange) {
  struct Case {
    const char* model;
    plcsim::Mode mode;
    const char* write;  // the stop comes with the n-th write that begins so
    int n;              // (0: at the reconnect prompt)
    int writesAfter;    // what the exchange in flight still sends
    plcsim::Mode plcAfter;
    int pages, blocks;
    const char* line;
    Kind unanswered = Kind::Count;  // requests of this kind get no reply (Count: none)
  };
  const plcsim::Mode app = plcsim::Mode::App, boot = plcsim::Mode::Boot;
  const Case cases[] = {
      {"TB2", app, ":006401594944B5", 1, 0, app, 0, 0,
       "interrupted before the update began; nothing on the PLC was changed"},
      {"TB2", app, ":006401594944B5", 1, 0, app, 0, 0,  // no retry follows the stop
       "interrupted before the update began; nothing on the PLC was changed", Kind::CheckId},
      {"TB2", app, ":006401594552415345D2", 1, 1, boot, 0, 0,  // its confirmation follows
       "interrupted after the PLC was asked to leave its application for its bootloader; run "
       "quarn-burn again to finish the update"},
      {"VN300", app, "", 0, 0, boot, 0, 0,
       "interrupted after the PLC was asked to leave its application for its bootloader; run "
       "quarn-burn again to finish the update"},
      {"VN300", boot, "ID", 1, 0, boot, 0, 0,
       "interrupted while checking the bootloader; the PLC stays in its bootloader: run "
       "quarn-burn again to finish the update"},
      {"TB2", boot, "ERASE", 3, 0, boot, 3, 0,
       "interrupted while erasing page 4 of 5; the PLC stays in its bootloader: run quarn-burn "
       "again to finish the update"},
      {"TB2", boot, "\x04", 1, 0, boot, 5, 0,  // the EOT that closes the erase
       "interrupted after erasing the flash (5 pages); the PLC stays in its bootloader: run "
       "quarn-burn again to finish the update"},
      {"TB2", boot, "\x02", 10, 0, boot, 5, 10,
       "interrupted while programming block 11 of 71; the PLC stays in its bootloader: run "
       "quarn-burn again to finish the update"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto cfg = GoodPlc(c.model);
    cfg.mode = c.mode;
    Bench b(cfg, std::string(c.model) == "TB2" ? 9000 : 3 * 4096 + 300);
    b.link.logWire = true;
    if (c.unanswered != Kind::Count) b.plc.inject(c.unanswered, Act::Silent, -1);
    b.link.prefix = c.write;
    b.link.n = c.n;
    if (c.n == 0)
      b.op.onPrompt = [&b](FakeOperator&) {
        b.st.stopRequested = true;
        b.link.stopAt = b.link.wire.size();
      };
    b.st.resent = 2;  // a session before this one's retries are not its own
    b.run();
    ASSERT_NE(b.link.stopAt, SIZE_MAX);
    EXPECT_EQ(b.link.writesAfterStop(), c.writesAfter);
    for (const std::string& e : b.op.events)
      EXPECT_TRUE(e.rfind("ERROR", 0) != 0 && e.find("SUCCESSFUL") == std::string::npos) << e;
    b.expectReset();
    EXPECT_EQ(b.plc.mode(), c.plcAfter);
    EXPECT_EQ(b.st.pagesErased, c.pages);
    EXPECT_EQ(b.st.blocksSent, c.blocks);
    EXPECT_EQ(b.st.resent, 0);  // nothing went again after the stop
    EXPECT_EQ(b.st.firstProbe, c.mode == app ? ENQ : ACK);
    EXPECT_EQ(cli::InterruptedLine(b.st, static_cast<uint32_t>(b.image.size())), c.line);
  }
}

// A reply that comes after its read has timed out must not pass for the
// answer to a later request: each request throws away what waits. A late
// reply then costs its own retry and no more. When block 1's ACK comes late,
// block 1 is sent again and acknowledged twice; block 3 reaches the PLC
// garbled (it refuses it): the stale second ACK must not stand for block 3's
// answer.
TEST(Burn, LateReplyIsNotTakenForALaterAnswer) {
  struct LateLink : plcsim::SimLink {
    using SimLink::SimLink;
    std::string latePrefix, last;  // the request whose first reply comes late; the last write
    bool late = false, garbleBlock3 = false;
    int block3 = 0;
    int write(const uint8_t* d, int n) override {
      last.assign(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
      if (n == 133 && d[1] == 3 && ++block3 == 1 && garbleBlock3) corruptWrites = 1;
      return SimLink::write(d, n);
    }
    int read(uint8_t* b, int n) override {
      if (!late && last.rfind(latePrefix, 0) == 0) {
        late = true;
        nowMs += timeoutMs;
        return 0;
      }
      return SimLink::read(b, n);
    }
  };
  struct Case {
    const char* late;
    plcsim::Mode mode;
    const char* prefix;
    bool garble;
    int retries, block3;
    int resent;  // requests sent again: a reply taken late costs none
  };
  const Case cases[] = {
      {"block 1's ACK", plcsim::Mode::Boot, "\x02\x01\xFE", true, 2, 2, 1},
      {"the mode probe's reply", plcsim::Mode::App, ":006401590141", false, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.late);
    auto cfg = GoodPlc("TB2");
    cfg.mode = c.mode;
    SessionState st;
    st.selectModel(1);
    st.setComPort("COM3");
    plcsim::Plc plc(cfg);
    LateLink link(plc);
    link.latePrefix = c.prefix;
    link.garbleBlock3 = c.garble;
    FakeOperator op(st, link);
    const std::vector<uint8_t> image = MakeImage(300);
    StartBurn(st, link, op, image.data(), 300);
    EXPECT_EQ(op.events[op.events.size() - 2], "INFORMATION: Firmware update is SUCCESSFUL");
    EXPECT_EQ(plc.flash(), ExpectedFlash(1, image));
    EXPECT_EQ(op.shown.back().totalErrCounter, c.retries);
    EXPECT_EQ(st.resent, c.resent);
    EXPECT_EQ(link.block3, c.block3);  // sent again after its refusal
  }
}

// With a limit on the switches to the bootloader, a PLC that keeps running
// its application ends the session after that many, whatever its reconnect:
// the same port, a replug, a power cycle, and a power cycle after an
// unanswered request (silence is that model's consent).
TEST(Burn, SwitchLimitEndsAPlcThatNeverRestarts) {
  struct Case {
    const char* model;
    bool unanswered;
    int prompts;
  };
  const Case cases[] = {
      {"TB2", false, 0}, {"VN300", false, 3}, {"KR2-C-V2", false, 3}, {"KR2-C-V2", true, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + (c.unanswered ? " unanswered" : ""));
    auto cfg = GoodPlc(c.model);
    cfg.enterBoot = false;
    Bench b(cfg, 3 * 4096);
    if (c.unanswered) b.plc.inject(Kind::Erase, Act::Silent, -1);
    b.st.bootSwitchLimit = 3;
    b.run();
    EXPECT_EQ(b.plc.requests(Kind::Erase), 3);
    EXPECT_EQ(b.plc.requests(Kind::CheckId), 3);  // the fourth pass ends at its probe
    EXPECT_EQ(b.plc.requests(Kind::Probe), 4);
    EXPECT_EQ(b.op.prompts, c.prompts);
    EXPECT_EQ(Tail(b.op.events, 3),
              (std::vector<std::string>{"stop", "ERROR: PLC DID NOT restart into its bootloader",
                                        "end"}));
    b.expectReset();
  }
}

// A reply that comes once 3.2 s late, when the PLC has taken that long over a
// request, and the next request is refused once: the late answer must not
// be paired with the request after it, or the refusal passes unseen. The
// bootloader's late answer is waited for and nothing is sent twice; the
// application's request goes again (its retry waits its turn and is
// answered after it), and its retry's answer is not taken for the next.
TEST(Burn, ReplyOnceLateIsPairedWithItsRequest) {
  // retries: the requests of the late kind sent beyond a clean session's.
  struct Case {
    const char* model;
    plcsim::Mode mode;
    Kind late, refused;
    uint32_t ms;
    int retries;
  };
  const plcsim::Mode app = plcsim::Mode::App, boot = plcsim::Mode::Boot;
  const Case cases[] = {
      {"TB2", boot, Kind::ErasePage, Kind::Block, 3200, 0},
      {"VN300", boot, Kind::IdB, Kind::VersionB, 3200, 0},
      {"TB2", app, Kind::CheckId, Kind::Erase, 3200, 1},
      {"QN28", app, Kind::Register, Kind::Erase, 3200, 1},
      // Later than the late window: "ERASE" goes again, and the ACK owed to
      // the first counts as the page it erased: no more are sent in all.
      {"TB2", boot, Kind::ErasePage, Kind::Block, 6200, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(static_cast<int>(c.late)));
    auto cfg = GoodPlc(c.model);
    cfg.mode = c.mode;
    cfg.times.erasePageUs = 500000;  // a retried page takes longer than a quiet spell
    Bench clean(cfg, 3 * 4096 + 300), late(cfg, 3 * 4096 + 300);
    for (Bench* b : {&clean, &late}) {
      b->link.plcTimes = true;
      b->plc.inject(c.refused, Act::Nak, 1, 0x02, 0x03);
    }
    late.plc.lateReply(c.late, c.ms);
    clean.run();
    late.run();
    ASSERT_TRUE(clean.plc.transferClosed());
    EXPECT_EQ(late.op.events, clean.op.events);
    EXPECT_EQ(late.plc.flash(), clean.plc.flash());
    for (int k = 0; k < static_cast<int>(Kind::Count); ++k)
      EXPECT_EQ(
          late.plc.requests(static_cast<Kind>(k)),
          clean.plc.requests(static_cast<Kind>(k)) + (static_cast<Kind>(k) == c.late) * c.retries)
          << "requests of kind " << k;
    EXPECT_EQ(late.st.unansweredReads, 0);  // the retry got the register
  }
}

// A guard read without a valid reply is judged as 0, and the session keeps
// which reads those were, for the warning lines and the record.
TEST(Burn, UnansweredGuardReadsAreKept) {
  struct Case {
    const char* model;
    Kind kind;
    uint8_t reads;
    const char* outcome;
    std::string lines;
  };
  const std::string warn = "quarn-burn: warning: the PLC gave no valid reply to the ";
  const Case cases[] = {
      {"QN28", Kind::Register, GUARD_D1148, "ERROR: Check PLC, 28QN2 is different than 12QN2",
       warn + "D1148 read; the checks took it as 0\n"},
      {"KR2-C-V2", Kind::Register, GUARD_D1386 | GUARD_D1001,
       "ERROR: KR2-MV2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ",
       warn + "D1001 read; the checks took it as 0\n" + warn +
           "D1386 read; the checks took it as 0\n"},
      {"VN300", Kind::Version, GUARD_VERSION,
       "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable",
       warn + "version read; the checks took it as 0\n"},
      {"TB2", Kind::Register, 0, "INFORMATION: Firmware update is SUCCESSFUL",
       ""},  // no guard reads
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    Bench b(GoodPlc(c.model), 3 * 4096);
    b.st.unansweredReads = GUARD_D1148;  // a session before this one: forgotten
    b.plc.inject(c.kind, Act::Silent, -1);
    b.run();
    EXPECT_EQ(b.op.last(1), c.outcome);
    EXPECT_EQ(b.st.unansweredReads, c.reads);
    EXPECT_EQ(cli::UnansweredReadLines(b.st), c.lines);
  }
}
