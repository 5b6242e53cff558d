// The read-only identify against the simulated PLC, on the virtual clock:
// what it finds in either mode, which models it lets fit, and that nothing
// that changes the PLC ever reaches it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "burn/identify.h"
#include "plcsim.h"
#include "ui/cli/cli.h"
#include "ui/cli/report.h"

using namespace quarn;
using plcsim::Act;
using plcsim::Kind;

namespace {

int Count(const std::vector<uint8_t>& sent, const std::string& frame) {
  int n = 0;
  auto it = sent.begin();
  while ((it = std::search(it, sent.end(), frame.begin(), frame.end())) != sent.end()) ++n, ++it;
  return n;
}

TEST(Identify, FindsModeIdentityAndFittingModelsWithoutChangingThePlc) {
  struct Case {
    const char* plc;  // the simulated PLC's model
    plcsim::Mode mode;
    const char* asked;  // the model the caller selects (the link it opens, the first header form)
    void (*config)(plcsim::Config&);
    int probeFault;  // -1 none, else the Act every mode probe reply gets (reason 0x01)
    Identity::Mode found;
    bool aio;
    uint16_t id;
    std::vector<std::string> fits;
    bool readsUnanswered = false;  // no register or version read gets an answer
  };
  using C = plcsim::Config;
  const int none = -1, silent = static_cast<int>(Act::Silent), nak = static_cast<int>(Act::Nak);
  const Case cases[] = {
      {"QN28",
       plcsim::Mode::App,
       "QN2",
       [](C& c) { c.d1148 = 1; },
       none,
       Identity::APPLICATION,
       false,
       0x0013,
       {"QN28"}},
      {"KR2-C-V4",
       plcsim::Mode::App,
       "TB2",
       [](C& c) {
         c.d1386 = 0x4138;
         c.d1001 = 0x0045;
       },
       none,
       Identity::APPLICATION,
       false,
       0x000C,
       {"KR2-C-V4"}},
      {"KR2-MV2-V2",
       plcsim::Mode::App,
       "TB2",
       [](C& c) {
         c.appId = 0x000D;
         c.d1001 = 0x31;
       },
       none,
       Identity::APPLICATION,
       false,
       0x000D,
       {"KR2-MV2-V2"}},
      {"QN2",
       plcsim::Mode::App,
       "QN2",
       [](C& c) { c.loaderVersion = 0; },
       none,  // none reported
       Identity::APPLICATION,
       false,
       0x0013,
       {"QN2"}},
      // The AIO header answers only after the other form went unanswered.
      {"MV3-AIO",
       plcsim::Mode::App,
       "VN300",
       [](C& c) { c.loaderVersion = 0x12; },
       none,
       Identity::APPLICATION,
       true,
       0x0020,
       {"MV3-AIO"}},
      {"MV3-AIO",
       plcsim::Mode::App,
       "VN300",
       [](C& c) { c.loaderVersion = 0x10; },
       none,
       Identity::APPLICATION,
       true,
       0x0020,
       {}},  // its loader refuses an update
      {"KR3",
       plcsim::Mode::App,
       "VN300",
       [](C& c) { c.id67 = 0x0021; },
       none,
       Identity::APPLICATION,
       false,
       0x0020,
       {"KR3-PACKAGE"}},  // KR3's 0x67 check refuses
      {"TB2",
       plcsim::Mode::App,
       "TB2",
       nullptr,
       nak,
       Identity::APPLICATION,
       false,
       0x000E,
       {"TB2"}},  // in run mode: it still answers
      {"VN200",
       plcsim::Mode::Boot,
       "VN300",
       nullptr,
       none,
       Identity::BOOTLOADER,
       false,
       0x3010,
       {"VN200", "VN200-TO-VN300", "VN200-Z"}},
      {"RTF-KR2-V4",
       plcsim::Mode::Boot,
       "TB2",
       nullptr,
       none,
       Identity::BOOTLOADER,
       false,
       0x2001,
       {"RTF-KR2-V2", "RTF-KR2-V4"}},
      {"TJ3-AIO",
       plcsim::Mode::Boot,
       "VN300",
       [](C& c) { c.loaderVersion = 0x10; },
       none,
       Identity::BOOTLOADER,
       true,
       0x0022,
       {"TJ3-AIO"}},
      {"TB2", plcsim::Mode::App, "QN2", nullptr, silent, Identity::NONE, false, 0, {}},
      // Unanswered reads are judged as 0, as a burn judges them: a 28QN2
      // whose D1148 goes unanswered fits the QN2 image.
      {"QN28",
       plcsim::Mode::App,
       "QN2",
       [](C& c) { c.d1148 = 1; },
       none,
       Identity::APPLICATION,
       false,
       0x0013,
       {"QN2"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.plc) + (c.mode == plcsim::Mode::App ? " app" : " boot"));
    plcsim::Config cfg;
    cfg.model = c.plc;
    cfg.mode = c.mode;
    if (c.config) c.config(cfg);
    plcsim::Plc plc(cfg);
    if (c.probeFault != none) plc.inject(Kind::Probe, static_cast<Act>(c.probeFault), -1, 0x01);
    if (c.readsUnanswered) {
      plc.inject(Kind::Register, Act::Silent, -1);
      plc.inject(Kind::Version, Act::Silent, -1);
    }
    plcsim::SimLink link(plc);
    SessionState st;
    st.selectModel(findModel(c.asked));
    st.setComPort("/dev/ttyS0");

    const Identity id = Identify(st, link);
    EXPECT_TRUE(id.opened);
    EXPECT_EQ(id.mode, c.found);
    std::vector<std::string> fits;
    for (int i = 0; i < id.fitCount; ++i) fits.push_back(plcList[id.fits[i]]);
    EXPECT_EQ(fits, c.fits);
    if (c.found != Identity::NONE) {
      EXPECT_EQ(id.aio, c.aio);
      EXPECT_TRUE(id.haveId);
      EXPECT_EQ(id.id, c.id);
      // A bootloader reports its version; an application's 0 means none.
      EXPECT_EQ(id.haveLoaderVersion,
                c.found == Identity::BOOTLOADER || (cfg.loaderVersion != 0 && !c.readsUnanswered));
      EXPECT_EQ(id.loaderVersion, c.readsUnanswered ? 0 : cfg.loaderVersion);
      // What went unanswered is shown as such, not as the 0 it was judged as.
      EXPECT_EQ(id.unanswered,
                c.readsUnanswered ? GUARD_D1001 | GUARD_D1148 | GUARD_D1386 | GUARD_VERSION : 0);
      const std::string shown = cli::DescribeIdentity(id, "/dev/ttyS0");
      EXPECT_EQ(shown.find("D1148 no answer") != std::string::npos, c.readsUnanswered) << shown;
      EXPECT_EQ(shown.find("loader version     no answer") != std::string::npos, c.readsUnanswered)
          << shown;
    } else {
      // Both header forms were tried, each with its whole budget.
      EXPECT_EQ(Count(link.sent(), ":006401590141\r\n"), 6);
      EXPECT_EQ(Count(link.sent(), ":0064015B013F\r\n"), 6);
    }
    // Nothing that changes the PLC was sent, and it runs what it ran.
    for (Kind k :
         {Kind::Erase, Kind::ErasePage, Kind::EraseEot, Kind::Update, Kind::Block, Kind::FwEot})
      EXPECT_EQ(plc.requests(k), 0) << static_cast<int>(k);
    const std::vector<uint8_t> sent = link.sent();
    EXPECT_EQ(Count(sent, "ERASE"), 0);
    EXPECT_EQ(Count(sent, "UPDATE"), 0);
    EXPECT_EQ(plc.mode(), c.mode);
    EXPECT_FALSE(link.isOpen);
  }
}

}  // namespace
