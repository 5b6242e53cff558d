// The simulated PLC is the peer of every protocol test: check the replies the
// other tests rely on, its faults, its flash and its virtual-clock link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "crc16.h"
#include "plcsim.h"

using plcsim::Act;
using plcsim::Config;
using plcsim::Kind;
using plcsim::Mode;
using plcsim::Plc;
using plcsim::SimLink;

namespace {

const quarn::Endpoint kUsb{quarn::Endpoint::Kind::UsbPlc, ""};

Config cfg(const char* model, Mode mode = Mode::App) {
  Config c;
  c.model = model;
  c.mode = mode;
  return c;
}

std::string talk(Plc& plc, const std::string& s) {
  std::vector<uint8_t> out;
  plc.receive(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out);
  return std::string(out.begin(), out.end());
}

std::string block(uint8_t n, const std::vector<uint8_t>& data) {
  std::string f{char(0x02), char(n), char(255 - n)};
  f.append(data.begin(), data.end());
  const uint16_t c = reference::Crc16(data.data(), data.size());
  f += char(c >> 8);
  f += char(c & 0xFF);
  return f;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 7);
  return d;
}

const std::string EOTs(1, char(0x04));
}  // namespace

TEST(PlcsimApp, AnswersTheExactRequestsOfItsModel) {
  struct Case {
    const char* model;
    const char* request;
    const char* reply;
  };
  const Case cases[] = {
      {"VN300", ":007F81\r\n", ":007F0081\r\n"},
      {"VN300", ":006401590141\r\n", ":006401590500003D\r\n"},
      {"VN300", ":0064015B013F\r\n", ""},  // AIO probe: not this model's
      {"VN200-AIO", ":0064015B013F\r\n", ":0064015B0500003B\r\n"},
      {"VN200-AIO", ":006401590141\r\n", ""},
      {"VN200-AIO", ":00640159053D\r\n", ":0064015920000022\r\n"},  // version: 0x59 header
      {"VN300", ":006401594944B5\r\n", ":006401590630000C\r\n"},
      {"KR2-E", ":000313E9000100\r\n", ":0003020045B6\r\n"},
      {"KR3", ":00670013000284\r\n", ":0067020020000077\r\n"},
      {"VN300", ":006401594552415345D2\r\n", ":006401590600003C\r\n"},
      {"VN300", ":006401590141", ""},                     // no LF yet
      {"VN300", ":006401590141\n", ""},                   // no CR
      {"VN300", ":006401594944b5\r\n", ""},               // lower-case digits
      {"VN300", "junk\x01:007F81\r\n", ":007F0081\r\n"},  // garbage before ':' dropped
  };
  for (const Case& c : cases) {
    Config k = cfg(c.model);
    k.d1001 = 0x0045;
    Plc plc(k);
    EXPECT_EQ(talk(plc, c.request), c.reply) << c.model << " " << c.request;
  }
}

TEST(PlcsimBoot, AnswersCommandsByPrefix) {
  struct Case {
    const char* model;
    uint8_t version;
    std::vector<std::string> in;
    std::string reply;
  };
  const Case cases[] = {
      {"VN300", 0x20, {"ID"}, std::string("\x06\x30\x00", 3)},
      {"VN200-Z", 0x20, {"ID"}, "\x06\xA0\x10"},
      {"MV2-CAR", 0x20, {"ID"}, std::string("\x06\x20\x06")},  // serial: bit 15 cleared
      {"KR2-C-V2", 0x20, {"ID"}, std::string("\x06\x00\x0C", 3)},
      {"VN300", 0x23, {"VERSION"}, std::string("\x06\x02\x30")},
      {"VN300", 0x11, {"VERS", "ION"}, std::string("\x06\x01\x10")},  // split command
      {"VN300", 0x20, {"xyID"}, std::string("\x06\x30\x00", 3)},      // dropped one at a time
      {"VN300", 0x20, {"ERASE", "ERASE"}, "\x06\x06"},
      {"VN300", 0x20, {EOTs}, "\x06"},
      {"VN300", 0x20, {":006401590141\r\n"}, ":006401590600003C\r\n"},  // probe: ACK
      {"VN300", 0x20, {":007F81\r\n"}, ""},
      {"VN300",
       0x20,
       {std::string(1, '\x02') + "ID"},
       std::string("\x06\x30\x00", 3)},  // no blocks yet
  };
  for (const Case& c : cases) {
    Config k = cfg(c.model, Mode::Boot);
    k.loaderVersion = c.version;
    k.checkLine = false;
    Plc plc(k);
    std::string got;
    for (const std::string& s : c.in) got += talk(plc, s);
    EXPECT_EQ(got, c.reply) << c.model << " " << c.in[0];
  }
}

TEST(PlcsimFaults, ShapeTheNextReplies) {
  const std::string probe = ":006401590141\r\n";
  struct Case {
    Kind kind;
    Act act;
    uint8_t a1, a2;
    Mode mode;
    std::string req, first;
  };
  const Case cases[] = {
      {Kind::Probe, Act::Silent, 0, 0, Mode::App, probe, ""},
      {Kind::Probe, Act::Nak, 1, 0, Mode::App, probe, ":006401591501002C\r\n"},
      {Kind::Probe, Act::Nak, 2, 3, Mode::App, probe, ":0064015915020328\r\n"},
      {Kind::Probe, Act::Short, 0, 0, Mode::App, probe, ":006401590500003D\r"},
      {Kind::Probe, Act::Short, 9, 0, Mode::App, probe, ":006401590"},
      {Kind::Probe, Act::BadLrc, 0, 0, Mode::App, probe, ":0064015905000030\r\n"},
      {Kind::Probe, Act::LowerCase, 0, 0, Mode::App, probe, ":006401590500003d\r\n"},
      {Kind::Register, Act::Nak, 0, 0, Mode::App, ":000313E9000100\r\n", ":0083027B\r\n"},
      {Kind::Probe, Act::Nak, 0, 0, Mode::Boot, probe, ":006401591500002D\r\n"},
      {Kind::IdB, Act::Nak, 0, 0, Mode::Boot, "ID", "\x15"},
      {Kind::IdB, Act::BadLrc, 0, 0, Mode::Boot, "ID", std::string("\x06\x30\xFF", 3)},
      {Kind::ErasePage, Act::Nok, 0, 0, Mode::Boot, "ERASE", "\x16"},
  };
  for (const Case& c : cases) {
    Config k = cfg("VN300", c.mode);
    Plc plc(k);
    plc.inject(c.kind, c.act, 2, c.a1, c.a2);
    SCOPED_TRACE(c.req + " act " + std::to_string(int(c.act)));
    EXPECT_EQ(talk(plc, c.req), c.first);
    EXPECT_EQ(talk(plc, c.req), c.first);  // times = 2
    EXPECT_NE(talk(plc, c.req), c.first);  // then a plain reply
    EXPECT_EQ(plc.requests(c.kind), 3);
  }
  Plc all(cfg("VN300"));
  all.inject(Kind::Wake, Act::Silent, -1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(talk(all, ":007F81\r\n"), "");
  // Noise: random bytes before the reply, none an ACK or a NOK.
  Plc noisy(cfg("VN300", Mode::Boot));
  noisy.inject(Kind::IdB, Act::Noise, 1, 3);
  const std::string r = talk(noisy, "ID");
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r.substr(3), std::string("\x06\x30\x00", 3));
  EXPECT_EQ(r.find_first_of(std::string("\x06\x16")), 3u);
}

TEST(PlcsimApp, EnterUpdateMovesToTheBootloader) {
  const std::string erase = ":006401594552415345D2\r\n", confirm = ":00640159063C\r\n";
  const std::string probe = ":006401590141\r\n", bootAck = ":006401590600003C\r\n";
  struct Case {
    const char* what;
    bool enterBoot;
    bool fault;
    Act act;
    std::string after, reply;
    bool replug;
    Mode mode;
  };
  const Case cases[] = {
      {"confirmed", true, false, Act::Silent, confirm, "", false, Mode::Boot},
      {"not confirmed yet", true, false, Act::Silent, "", "", false, Mode::App},
      {"reply lost, replug", true, true, Act::Silent, "", "", true, Mode::Boot},
      // The next pass's probe finds the bootloader, which answers it.
      {"reply lost, next pass", true, true, Act::Silent, probe, bootAck, false, Mode::Boot},
      {"refused", true, true, Act::Nak, confirm, "", true, Mode::App},
      {"application stays", false, false, Act::Silent, confirm, "", true, Mode::App},
  };
  for (const Case& c : cases) {
    Config k = cfg("VN300");
    k.enterBoot = c.enterBoot;
    Plc plc(k);
    if (c.fault) plc.inject(Kind::Erase, c.act);
    talk(plc, erase);
    EXPECT_EQ(plc.mode(), Mode::App) << c.what;
    EXPECT_EQ(talk(plc, c.after), c.reply) << c.what;
    if (c.replug) plc.reconnected();
    EXPECT_EQ(plc.mode(), c.mode) << c.what;
  }
}

TEST(PlcsimBoot, TransferAcceptsGoodBlocksOnce) {
  Config k = cfg("TB2", Mode::Boot);  // 128-byte blocks
  k.checkLine = false;
  Plc plc(k);
  const auto d1 = pattern(128, 1), d2 = pattern(128, 2), d3 = pattern(128, 3);
  std::string bad = block(2, d2);
  bad[10] ^= 1;
  std::string badNot = block(2, d2);
  badNot[2] = 0;
  struct Step {
    std::string in;
    std::string reply;
  };
  const Step steps[] = {
      {"ERASE", "\x06"},
      {EOTs, "\x06"},
      {"UPDATE", "\x06"},
      {block(1, d1), "\x06"},
      {block(1, d1), "\x06"},             // its ACK was lost: acknowledged, not written again
      {bad, "\x15"},                      // CRC
      {badNot, "\x15"},                   // complement
      {block(3, d3), "\x15"},             // out of sequence
      {block(2, d2).substr(0, 100), ""},  // waits for the rest
      {block(2, d2).substr(100), "\x06"},
      {EOTs, "\x06"},
  };
  for (const Step& s : steps) EXPECT_EQ(talk(plc, s.in), s.reply);
  std::vector<uint8_t> want = d1;
  want.insert(want.end(), d2.begin(), d2.end());
  EXPECT_EQ(plc.flash(), want);
  EXPECT_TRUE(plc.transferClosed());
  EXPECT_EQ(plc.erasedPages(), 1);
  EXPECT_EQ(plc.requests(Kind::Block), 6);
  EXPECT_EQ(plc.requests(Kind::FwEot), 1);
  EXPECT_EQ(plc.requests(Kind::EraseEot), 1);
  plc.reconnected();  // a replug after a finished transfer: the new application runs
  EXPECT_EQ(plc.mode(), Mode::App);

  Plc refusing(k);
  refusing.inject(Kind::Block, Act::Nok);
  talk(refusing, "UPDATE");
  EXPECT_EQ(talk(refusing, block(1, d1)), "\x16");
  EXPECT_TRUE(refusing.flash().empty());
  refusing.reconnected();  // an unfinished transfer: the bootloader starts again
  EXPECT_EQ(refusing.mode(), Mode::Boot);
}

TEST(PlcsimLine, BytesAtTheWrongSettingsAreGarbage) {
  const quarn::LineSettings slow = quarn::kAppLine, fast = quarn::kTransferLine;
  struct Case {
    const char* model;
    bool checkLine;
    quarn::LineSettings probeLine, blockLine;
    bool probeOk, blockOk;
  };
  const Case cases[] = {
      {"TB2", true, slow, fast, true, true},
      {"TB2", true, fast, fast, false, true},
      {"TB2", true, slow, slow, true, false},
      {"TB2", true, {9600, 8, 0}, fast, false, true},           // right baud, wrong framing
      {"TB2", true, {9600, 7, 0}, fast, false, true},           // right size, no parity
      {"TB2", true, {9600, 0, 0}, {115200, 0, 0}, true, true},  // a pty: baud only
      {"TB2", true, {115200, 0, 0}, {9600, 0, 0}, false, false},
      {"TB2", false, fast, slow, true, true},
      {"VN300", true, {19200, 8, 0}, slow, true, true},  // USB ignores line settings
  };
  for (const Case& c : cases) {
    Config k = cfg(c.model, Mode::Boot);
    k.checkLine = c.checkLine;
    Plc plc(k);
    const size_t d = quarn::kProfile[quarn::findModel(c.model)].blockData;
    plc.hostLine(c.probeLine);
    EXPECT_EQ(!talk(plc, ":006401590141\r\n").empty(), c.probeOk) << c.model;
    plc.hostLine(slow);
    EXPECT_EQ(talk(plc, "UPDATE"), "\x06");
    plc.hostLine(c.blockLine);
    EXPECT_EQ(talk(plc, block(1, pattern(d, 9))) == "\x06", c.blockOk) << c.model;
  }
}

TEST(PlcsimLink, VirtualClockWritesAndReopens) {
  Plc plc(cfg("VN300"));
  SimLink link(plc);
  uint8_t buf[32];
  const std::string probe = ":006401590141\r\n";
  const auto* p = reinterpret_cast<const uint8_t*>(probe.data());
  EXPECT_EQ(link.write(p, 15), 0);  // not open
  link.failOpens = 1;
  EXPECT_FALSE(link.open(kUsb));
  EXPECT_EQ(link.error().kind, quarn::LinkError::Kind::NoSuchPort);
  ASSERT_TRUE(link.open(kUsb));
  EXPECT_EQ(link.error().kind, quarn::LinkError::Kind::None);
  link.setTimeouts(3000);
  EXPECT_EQ(link.write(p, 15), 15);
  EXPECT_EQ(link.read(buf, 10), 10);
  EXPECT_EQ(link.nowMs, 0u);
  EXPECT_EQ(link.read(buf, 19), 9);  // the rest, then the time-out
  EXPECT_EQ(link.nowMs, 3000u);
  link.shortWrites = 1;
  EXPECT_EQ(link.write(p, 15), 14);
  EXPECT_EQ(plc.requests(Kind::Probe), 1);  // nothing reached the PLC
  EXPECT_EQ(link.read(buf, 19), 0);
  EXPECT_EQ(link.nowMs, 6000u);
  EXPECT_EQ(link.sent().size(), 45u);
  EXPECT_TRUE(link.wire[link.wire.size() - 2].lost);

  // Discarding drops the reply that has arrived, not one still on its way.
  EXPECT_EQ(link.write(p, 15), 15);
  EXPECT_EQ(link.drainInput(0, 0, nullptr, 0), 19);
  EXPECT_EQ(link.read(buf, 19), 0);
  plc.lateReply(Kind::Probe, 100);
  EXPECT_EQ(link.write(p, 15), 15);
  EXPECT_EQ(link.drainInput(0, 0, nullptr, 0), 0);
  EXPECT_EQ(link.read(buf, 19), 19);

  const std::string erase = ":006401594552415345D2\r\n";
  link.write(reinterpret_cast<const uint8_t*>(erase.data()), 23);
  link.close();
  EXPECT_EQ(link.read(buf, 19), 0);  // the unread reply went with the link
  EXPECT_TRUE(link.open(kUsb));      // a replug after the accepted request
  EXPECT_EQ(plc.mode(), Mode::Boot);
  EXPECT_EQ(link.opens, 3);
  EXPECT_EQ(link.closes, 1);
}

// The largest image, block by block, all on the virtual clock (how fast it
// goes is for the benchmarks to hold).
TEST(PlcsimLink, FullSizeTransferOnTheVirtualClock) {
  Plc plc(cfg("VN300", Mode::Boot));
  SimLink link(plc);
  link.logWire = false;
  ASSERT_TRUE(link.open(kUsb));
  const size_t blocks = 8096;
  const std::vector<uint8_t> image = pattern(blocks * 256, 5);
  std::vector<std::string> frames;
  for (size_t i = 0; i < blocks; ++i) {
    std::vector<uint8_t> d(image.begin() + i * 256, image.begin() + (i + 1) * 256);
    frames.push_back(block(static_cast<uint8_t>(i + 1), d));
  }
  uint8_t r = 0;
  link.write(reinterpret_cast<const uint8_t*>("UPDATE"), 6);
  ASSERT_EQ(link.read(&r, 1), 1);
  int acks = 0;
  for (const std::string& f : frames) {
    link.write(reinterpret_cast<const uint8_t*>(f.data()), static_cast<int>(f.size()));
    acks += link.read(&r, 1) == 1 && r == 0x06;
  }
  EXPECT_EQ(acks, 8096);
  EXPECT_EQ(plc.flash(), image);
  EXPECT_EQ(link.nowMs, 0u);
}

// Paced: every reply reaches the host exactly when the wire and the PLC's own
// times allow, the reply byte by byte on a serial line, in one transfer on USB.
TEST(PlcsimPace, RepliesTakeTheWireAndThePlcTimes) {
  using plcsim::Pacer;
  const uint64_t c96 = Pacer::charNs(9600), c115 = Pacer::charNs(115200), ms = 1000000;
  EXPECT_EQ(c96, 1041667u);
  EXPECT_EQ(c115, 86806u);
  const Pacer::Line slow{c96, 0}, fast{c115, 0}, usb{0, ms};
  const std::string erase = ":006401594552415345D2\r\n", confirm = ":00640159063C\r\n",
                    probe = ":006401590141\r\n";
  struct Step {
    std::string in;
    Pacer::Line line;
    uint64_t gapNs;  // after the previous step's last reply byte
    size_t replyLen;
    uint64_t firstNs, lastNs;  // the reply's first and last byte, from the write
  };
  struct Case {
    const char* model;
    Mode mode;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"TB2",
       Mode::Boot,
       {{"ID", slow, 0, 3, 3 * c96, 5 * c96},
        {"ERASE", slow, 0, 1, 6 * c96 + 20 * ms, 6 * c96 + 20 * ms},
        {EOTs, slow, 0, 1, 2 * c96, 2 * c96},
        {"UPDATE", slow, 0, 1, 7 * c96, 7 * c96},
        {block(1, pattern(128, 1)), fast, 0, 1, 134 * c115 + 3 * ms, 134 * c115 + 3 * ms}}},
      {"VN300",
       Mode::Boot,
       {{"ID", usb, 0, 3, 2 * ms, 2 * ms},
        {"ERASE", usb, 0, 1, 22 * ms, 22 * ms},
        {EOTs, usb, 0, 1, 2 * ms, 2 * ms},
        {"UPDATE", usb, 0, 1, 2 * ms, 2 * ms},
        {block(1, pattern(256, 1)), usb, 0, 1, 5 * ms, 5 * ms}}},
      {"TB2",
       Mode::App,
       {// the restart: a probe that comes too soon is lost
        {erase, slow, 0, 19, 24 * c96, 42 * c96},
        {confirm, slow, 0, 0, 0, 0},
        {probe, slow, 150 * ms, 0, 0, 0},  // the restart takes 200 ms
        {probe, slow, 50 * ms, 19, 16 * c96, 34 * c96}}},
  };
  for (const Case& c : cases) {
    Config k = cfg(c.model, c.mode);
    k.checkLine = false;
    Plc plc(k);
    Pacer pacer(plc);
    uint64_t now = 1000 * ms;
    for (const Step& s : c.steps) {
      SCOPED_TRACE(std::string(c.model) + " " + s.in.substr(0, 8));
      now += s.gapNs;
      const uint64_t at = now;
      pacer.fromHost(reinterpret_cast<const uint8_t*>(s.in.data()), s.in.size(), at, s.line);
      std::vector<uint8_t> out;
      uint64_t first = 0;
      for (uint64_t t = pacer.next(); t != UINT64_MAX; t = pacer.next()) {
        ASSERT_GE(t, now);
        now = t;
        const size_t had = out.size();
        pacer.run(now, out);
        if (had == 0 && !out.empty()) first = now - at;
      }
      EXPECT_EQ(out.size(), s.replyLen);
      if (s.replyLen == 0) continue;
      EXPECT_EQ(first, s.firstNs);
      EXPECT_EQ(now - at, s.lastNs);
    }
  }
}

TEST(PlcsimCrc, TestHelperIsXmodem) {
  EXPECT_EQ(reference::Crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
}

// Unplugged, the PLC takes nothing and answers nothing; back in, it answers
// as it was, unless it was switched off meanwhile: then an accepted
// enter-update request has taken it into its bootloader. A reopening of the
// host's link counts as that restart unless the PLC is told otherwise.
TEST(PlcsimPlug, SilentWhileUnpluggedAndRestartedOnlyBySwitchOff) {
  const std::string erase = ":006401594552415345D2\r\n", probe = ":006401590141\r\n";
  enum class Back { Plug, Reopen, ReopenWhileOut };
  struct Case {
    const char* what;
    bool off, reopenRestarts;
    Back back;
    Mode mode;
  };
  const Case cases[] = {
      {"cable pulled and put back", false, true, Back::Plug, Mode::App},
      {"switched off and on", true, true, Back::Plug, Mode::Boot},
      {"the host reopens", false, true, Back::Reopen, Mode::Boot},
      {"the host reopens, reopening restarts nothing", false, false, Back::Reopen, Mode::App},
      {"the host reopens while the cable is out", false, true, Back::ReopenWhileOut, Mode::App},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Config k = cfg("VN300");
    k.reopenRestarts = c.reopenRestarts;
    Plc plc(k);
    ASSERT_NE(talk(plc, erase), "");  // accepted, not confirmed: waits for the restart
    if (c.back != Back::Reopen) {
      plc.unplug(c.off);
      EXPECT_FALSE(plc.plugged());
      EXPECT_EQ(talk(plc, probe), "");
      EXPECT_EQ(plc.requests(Kind::Probe), 0);
      if (c.back == Back::ReopenWhileOut) plc.hostReopened();
      plc.plug();
    } else {
      plc.hostReopened();
    }
    EXPECT_EQ(plc.mode(), c.mode);
    EXPECT_NE(talk(plc, probe), "");
  }

  // On the link: what the PLC had said goes with the cable, and each read
  // waits out its time-out.
  Plc plc(cfg("VN300"));
  SimLink link(plc);
  ASSERT_TRUE(link.open({quarn::Endpoint::Kind::UsbPlc, ""}));
  link.setTimeouts(500);
  uint8_t buf[32];
  EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(probe.data()), 15), 15);
  plc.unplug();
  EXPECT_EQ(link.read(buf, 19), 0);
  EXPECT_EQ(link.nowMs, 500u);
  plc.plug();
  EXPECT_EQ(link.read(buf, 19), 0);
  EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(probe.data()), 15), 15);
  EXPECT_EQ(link.read(buf, 19), 19);
}
