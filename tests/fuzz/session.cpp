// Whole sessions, StartBurn from the image checks to the outcome message,
// against the simulated PLC over a line the input makes faulty.
//
// Input: model row; flags; the PLC's registers, loader version and
// identifiers (used when the flags say so); image length (2 bytes, taken
// below 16384); up to 7 faults of the PLC (kind, act, times, two arguments);
// then the line's tape, one byte per write or read (see WatchedLink).
#include <vector>

#include "burn/burn.h"
#include "fuzz.h"
#include "session_check.h"

using namespace quarn;

namespace {

constexpr int kMaxPasses = 4;  // then the cable is pulled: the session must end

}  // namespace

int fuzz::Session(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint32_t row = in.byte() % kModelCount;
  const uint8_t flags = in.byte();
  plcsim::Config cfg;
  cfg.model = plcList[row];
  cfg.mode = flags & 1 ? plcsim::Mode::Boot : plcsim::Mode::App;
  const uint16_t d1386 = in.word(), d1001 = in.word(), d1148 = in.word();
  const uint8_t version = in.byte();
  const uint16_t appId = in.word(), bootId = in.word(), id67 = in.word();
  if (flags & 2) {
    cfg.d1386 = d1386;
    cfg.d1001 = d1001;
    cfg.d1148 = d1148;
    cfg.loaderVersion = version;
  }  // else plcsim's defaults, which pass the model's guards
  if (flags & 4) {
    cfg.appId = appId;
    cfg.bootId = bootId;
    cfg.id67 = id67;
  }
  const uint16_t L = in.word() % 16384;  // up to 128 blocks of 128 bytes
  std::vector<uint8_t> img(L);
  for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 37 + (i >> 9));

  plcsim::Plc plc(cfg);
  for (int k = in.byte() % 8; k > 0; --k) {
    const auto kind = static_cast<plcsim::Kind>(in.byte() % static_cast<int>(plcsim::Kind::Count));
    const auto act = static_cast<plcsim::Act>(in.byte() % 6);
    const int times = static_cast<int8_t>(in.byte());
    const uint8_t a1 = in.byte(), a2 = in.byte();
    plc.inject(kind, act, times, a1, a2);
  }

  SessionState st;
  st.selectModel(row);
  st.setComPort(kProfile[row].usb ? "USB" : "COM3");
  const sessioncheck::Broken broken = [](const std::string& what) {
    fuzz::Broken(what.c_str(), __FILE__, __LINE__);
  };
  sessioncheck::WatchedLink link(plc, st, broken);
  sessioncheck::Watcher op(link);
  link.tape = [&in] { return in.byte(); };
  link.boundMs = [&] { return sessioncheck::TimeBoundMs(st.profile(), L, op.passes + 1); };
  if (flags & 8) op.onPrompt = [&link] { link.failOpens = 1; };  // the reopen fails
  op.onSleep = [&] {
    if (op.passes >= kMaxPasses) link.writesBeforeDeath = 0;
  };

  StartBurn(st, link, op, img.data(), L);
  sessioncheck::CheckEnd(st, link, op, plc, img, broken);
  return 0;
}
