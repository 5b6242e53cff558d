// Every schedule of up to two faulted replies, from the application through
// the transfer, for one model of each kind, on the virtual clock: each reply
// of the session (by its place among the replies the PLC gives) may be late
// by just over one read time-out or by two, lost, doubled, garbled, or a
// NAK or NOK instead of its answer; and the PLC's page erase or block write
// may itself be slower than the time-out. Every session is checked as the
// soak checks it (session_check.h): above all, SUCCESSFUL only with the
// image's bytes in the flash, every page it needs erased and the transfer
// closed. The table printed gives, per model and kind of fault, how many
// schedules ended in success and how many in failure.
//   schedules [--quick]      (--quick: one fault at a time)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "loader/loader.h"
#include "session_check.h"

using namespace quarn;
using plcsim::Act;

namespace {

struct Model {
  const char* kind;
  const char* name;
  uint32_t L;
};
const Model kModels[] = {
    {"2 KiB pages, 128-byte blocks", "TB2", 2100},
    {"128 KiB pages", "QN28", 1000},
    {"4 KiB pages, 256-byte blocks", "VN300", 8192 + 300},
    {"AIO", "30MV2-AIO", 700},
};

struct FaultKind {
  const char* name;
  Act act;  // Act::Count: the reply itself is as it should be
  uint32_t lateMs;
};
const FaultKind kFaults[] = {
    {"late 3.1 s", Act::Count, 3100},
    {"late 6.1 s", Act::Count, 6100},
    {"lost", Act::Silent, 0},
    {"doubled", Act::Double, 0},
    {"garbled", Act::BadLrc, 0},
    {"NAK", Act::Nak, 0},
    {"NOK", Act::Nok, 0},
};
constexpr int kFaultKinds = static_cast<int>(std::size(kFaults));

struct Speed {
  const char* name;
  uint32_t erasePageUs, writeBlockUs;
};
const Speed kSpeeds[] = {
    {"", 20000, 3000}, {"erase 3.5 s, ", 3500000, 3000}, {"write 3.5 s, ", 20000, 3500000}};

std::vector<uint8_t> Image(uint32_t L) {
  std::vector<uint8_t> img(L);
  for (uint32_t i = 0; i < L; ++i) img[i] = static_cast<uint8_t>(i * 7 + i / 256 + 3);
  return img;
}

struct Aim {
  int reply;
  int fault;
};

// One whole session with the faults aimed at; true when it ended SUCCESSFUL.
// Throws when an invariant breaks.
bool Run(const Model& m, const Speed& speed, const std::vector<Aim>& aims, int* replies,
         std::string* outcome = nullptr) {
  const sessioncheck::Broken broken = [](const std::string& what) {
    throw std::runtime_error(what);
  };
  plcsim::Config cfg;
  cfg.model = m.name;
  cfg.times.erasePageUs = speed.erasePageUs;
  cfg.times.writeBlockUs = speed.writeBlockUs;
  plcsim::Plc plc(cfg);
  for (const Aim& a : aims) plc.atReply(a.reply, kFaults[a.fault].act, kFaults[a.fault].lateMs);
  SessionState st;
  st.selectModel(static_cast<uint32_t>(findModel(m.name)));
  st.setComPort(st.profile().usb ? "USB" : "/dev/ttyUSB0");
  sessioncheck::WatchedLink link(plc, st, broken);
  link.plcTimes = true;
  sessioncheck::Watcher op(link);
  link.boundMs = [&] { return sessioncheck::TimeBoundMs(st.profile(), m.L, op.passes + 1); };
  op.onSleep = [&] {
    if (op.passes > 3) broken("more passes than two faults can cause");
  };
  const std::vector<uint8_t> img = Image(m.L);
  StartBurn(st, link, op, img.data(), m.L);
  sessioncheck::CheckEnd(st, link, op, plc, img, broken);
  if (op.success && plc.erasedPages() < totalPages(st.selectedPLCIdx, m.L))
    broken("SUCCESSFUL with pages not erased");
  if (replies) *replies = plc.replies();
  if (outcome && op.outcomes == 1) {
    for (const std::string& e : op.events)
      if (e.find(": ") != std::string::npos && e.find("Please") == std::string::npos) *outcome = e;
    if (st.failReason) *outcome += std::string(" (") + st.failReason.load() + ")";
  }
  return op.success;
}

std::string Describe(const Speed& speed, const std::vector<Aim>& aims) {
  std::string s = speed.name;
  for (const Aim& a : aims)
    s += std::string(s.empty() || s.back() == ' ' ? "" : " + ") + kFaults[a.fault].name;
  return s.empty() ? "no fault" : s;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const bool why = argc > 2 && std::strcmp(argv[2], "--why") == 0;
  long total = 0, broken = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const Model& m : kModels) {
    const auto modelStart = std::chrono::steady_clock::now();
    // class of schedule -> {successes, failures}
    std::map<std::string, std::pair<long, long>> classes;
    long schedules = 0;
    const auto one = [&](const Speed& speed, const std::vector<Aim>& aims) {
      ++schedules;
      try {
        std::string outcome;
        const bool ok = Run(m, speed, aims, nullptr, &outcome);
        if (why && !ok && aims.size() == 1)
          std::printf("  %s reply %d %s%s: %s\n", m.name, aims[0].reply, speed.name,
                      kFaults[aims[0].fault].name, outcome.c_str());
        auto& c = classes[Describe(speed, aims)];
        (ok ? c.first : c.second) += 1;
        // One reply late by just over a time-out costs no success: it is
        // waited for and taken as its own request's answer.
        if (!ok && aims.size() == 1 && kFaults[aims[0].fault].lateMs == 3100 &&
            speed.erasePageUs == kSpeeds[0].erasePageUs) {
          ++broken;
          std::fprintf(stderr, "schedules: %s: one reply 3.1 s late (reply %d) ended in failure\n",
                       m.name, aims[0].reply);
        }
      } catch (const std::exception& e) {
        ++broken;
        std::string where;
        for (const Aim& a : aims)
          where += " reply " + std::to_string(a.reply) + " " + kFaults[a.fault].name;
        std::fprintf(stderr, "schedules: %s %s%s: %s\n", m.name, speed.name, where.c_str(),
                     e.what());
      }
    };
    for (const Speed& speed : kSpeeds) {
      int replies = 0;
      Run(m, speed, {}, &replies);
      // Faults change how many replies follow: a few places past the clean
      // session's last are aimed at too.
      const int places = replies + 4;
      one(speed, {});
      for (int i = 0; i < places; ++i)
        for (int f = 0; f < kFaultKinds; ++f) {
          one(speed, {{i, f}});
          if (quick) continue;
          for (int j = i + 1; j < places; ++j)
            for (int g = 0; g < kFaultKinds; ++g) one(speed, {{i, f}, {j, g}});
        }
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - modelStart).count();
    std::printf("%s (%s, %u-byte image): %ld schedules in %.1f s\n", m.name, m.kind, m.L, schedules,
                secs);
    for (const auto& [what, n] : classes)
      std::printf("  %-36s %7ld succeeded %7ld failed\n", what.c_str(), n.first, n.second);
    total += schedules;
  }
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("schedules: %ld in %.1f s, %ld broke an invariant\n", total, secs, broken);
  std::printf("%ld passed, %ld failed\n", total - broken, broken);
  return broken == 0 ? 0 : 1;
}
