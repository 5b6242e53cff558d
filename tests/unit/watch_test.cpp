// The station's rules on the virtual clock: simulated PLCs plugged into
// places and unplugged by a scripted person, whole sessions in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "appproto/appproto.h"
#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "plcsim.h"
#include "ui/cli/watch.h"

using namespace quarn;
using quarn::cli::Station;
using quarn::cli::StationEvent;

namespace {

// The places and what is plugged into each; the station looks at it as it
// would at the system.
struct World : cli::Presence {
  std::mutex m;
  std::map<std::string, plcsim::Plc*> at;
  bool usb = true;

  std::vector<std::string> usbPlaces() override {
    std::lock_guard<std::mutex> lock(m);
    std::vector<std::string> v;
    for (auto& [place, plc] : at)
      if (plc) v.push_back(place);
    return v;
  }
  uint8_t probe(const std::string& port, SessionState& st) override {
    plcsim::Plc* plc = plugged(port);
    if (!plc) return 0;
    plcsim::SimLink link(*plc);
    if (!link.open({Endpoint::Kind::SerialPort, port.c_str()})) return 0;
    return ProbeOnce(st, link, 200);
  }
  plcsim::Plc* plugged(const std::string& place) {
    std::lock_guard<std::mutex> lock(m);
    auto i = at.find(place);
    return i == at.end() ? nullptr : i->second;
  }
  void plug(const std::string& place, plcsim::Plc* plc) {
    std::lock_guard<std::mutex> lock(m);
    at[place] = plc;
    if (plc) plc->reconnected();  // it starts afresh: a power cycle, or a cable plugged
  }
};

// The session's link: the PLC plugged at its place when it began, reached
// only while it is plugged there.
struct PlaceLink : plcsim::SimLink {
  World& world;
  std::string place;
  plcsim::Plc& plc;
  PlaceLink(World& w, const std::string& p, plcsim::Plc& c)
      : SimLink(c), world(w), place(p), plc(c) {}
  bool open(const Endpoint& where) override {
    if (world.plugged(place) != &plc) {
      isOpen = false;
      return false;
    }
    return SimLink::open(where);
  }
};

struct Plug {
  std::string place, model;
  double at;
};

struct Row {
  const char* name;
  const char* image;  // the image's model
  std::vector<Plug> plugs;
  double unplugAfterPrompt;  // < 0: never
  double backAfterPrompt;    // < 0: never back
  double leaveAfterOutcome;  // < 0: left plugged in
  double backAfterOutcome;   // < 0: not plugged back
  double stopAt;             // < 0: no Ctrl-C
  double until;
  std::vector<std::string> events;  // per port, in order, without stages and progress
  int passed, ended;
};

TEST(Station, RulesOnTheVirtualClock) {
  const char* ok = "outcome+";
  const char* noRestart = "outcome ERROR: PLC DID NOT restart into its bootloader";
  const Row rows[] = {
      {"arrival, replug seen, done until gone",
       "VN300",
       {{"usb:1-1", "VN300", 2}},
       1,
       3,
       4,
       -1,
       -1,
       60,
       {"usb:1-1 arrival", "usb:1-1 prompt", "usb:1-1 reconnect", ok, "usb:1-1 departure"},
       1,
       1},
      {"left plugged in after success",
       "VN300",
       {{"usb:1-1", "VN300", 0}},
       1,
       2,
       -1,
       -1,
       -1,
       600,
       {"usb:1-1 arrival", "usb:1-1 prompt", "usb:1-1 reconnect", ok},
       1,
       1},
      {"never comes back",
       "VN300",
       {{"usb:1-1", "VN300", 0}},
       1,
       -1,
       -1,
       -1,
       -1,
       200,
       {"usb:1-1 arrival", "usb:1-1 prompt", noRestart, "usb:1-1 departure"},
       0,
       1},
      {"never unplugged",
       "GH",
       {{"usb:1-1", "GH", 0}},
       -1,
       -1,
       -1,
       -1,
       -1,
       200,
       {"usb:1-1 arrival", "usb:1-1 prompt", noRestart},
       0,
       1},
      {"wrong model plugged in",
       "VN300",
       {{"usb:1-1", "VN100", 0}},
       1,
       2,
       -1,
       -1,
       -1,
       100,
       {"usb:1-1 arrival", "outcome ERROR: NO RESPONSE @ State 2"},
       0,
       1},
      {"two ports at once",
       "VN300",
       {{"usb:1-1", "VN300", 1}, {"usb:2-4", "VN300", 1.5}},
       1,
       2,
       3,
       -1,
       -1,
       60,
       {"usb:1-1 arrival", "usb:1-1 prompt", "usb:1-1 reconnect", ok, "usb:1-1 departure",
        "usb:2-4 arrival", "usb:2-4 prompt", "usb:2-4 reconnect", ok, "usb:2-4 departure"},
       2,
       2},
      {"Ctrl-C with sessions running",
       "VN300",
       {{"usb:1-1", "VN300", 0}, {"usb:1-2", "VN300", 0}},
       30,
       31,
       -1,
       -1,
       10,
       20,
       {"usb:1-1 arrival", "usb:1-1 prompt", "outcome", "usb:1-2 arrival", "usb:1-2 prompt",
        "outcome"},
       0,
       2},
      {"a power cycle seen by probing",
       "KR2-C-V2",
       {{"/dev/ttyS7", "KR2-C-V2", 3}},
       1,
       4,
       2,
       -1,
       -1,
       60,
       {"/dev/ttyS7 arrival", "/dev/ttyS7 prompt", "/dev/ttyS7 reconnect", ok,
        "/dev/ttyS7 departure"},
       1,
       1},
      {"a serial PLC silent a moment after its success",
       "QN2",
       {{"/dev/ttyS3", "QN2", 1}},
       -1,
       -1,
       1,
       4,
       -1,
       60,
       {"/dev/ttyS3 arrival", ok},
       1,
       1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const int row = findModel(r.image);
    ASSERT_GE(row, 0);
    std::vector<uint8_t> image(9000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
    World world;
    std::vector<std::unique_ptr<plcsim::Plc>> plcs;
    std::map<plcsim::Plc*, int> sessions;  // sessions each PLC saw
    std::mutex m;
    std::vector<StationEvent> events;
    std::vector<std::string> ports;
    for (const Plug& p : r.plugs) {
      plcsim::Config c;
      c.model = p.model;
      plcs.push_back(std::make_unique<plcsim::Plc>(c));
      if (p.place.rfind("usb:", 0) != 0) ports.push_back(p.place);
    }
    Station::Hooks hooks;
    hooks.session = [&](const std::string& port, SessionState& st, Operator& op) {
      plcsim::Plc* plc = world.plugged(port);
      if (!plc) return Outcome{};
      {
        std::lock_guard<std::mutex> lock(m);
        ++sessions[plc];
      }
      PlaceLink link(world, port, *plc);
      return StartBurn(st, link, op, image.data(), static_cast<uint32_t>(image.size()));
    };
    hooks.event = [&](const StationEvent& e) {
      std::lock_guard<std::mutex> lock(m);
      events.push_back(e);
    };
    hooks.sleep = [](unsigned, const std::atomic<bool>&) {};
    Station station(row, ports, ports.empty(), world, hooks);
    // The person's moves, by time: plugs, and the replugs and leavings they
    // make once the station shows a prompt or an outcome.
    std::multimap<double, std::pair<std::string, plcsim::Plc*>> moves;
    for (size_t i = 0; i < r.plugs.size(); ++i)
      moves.insert({r.plugs[i].at, {r.plugs[i].place, plcs[i].get()}});
    size_t seen = 0;
    for (double t = 0; t <= r.until; t += 0.25) {
      while (!moves.empty() && moves.begin()->first <= t) {
        world.plug(moves.begin()->second.first, moves.begin()->second.second);
        moves.erase(moves.begin());
      }
      if (r.stopAt >= 0 && t >= r.stopAt) {
        station.stop();
        station.join(t);
        break;
      }
      station.poll(t);
      station.settle();
      std::lock_guard<std::mutex> lock(m);
      for (; seen < events.size(); ++seen) {
        const StationEvent& e = events[seen];
        plcsim::Plc* plc = world.plugged(e.port);
        if (e.kind == StationEvent::Prompt && r.unplugAfterPrompt >= 0) {
          moves.insert({t + r.unplugAfterPrompt, {e.port, nullptr}});
          if (r.backAfterPrompt >= 0) moves.insert({t + r.backAfterPrompt, {e.port, plc}});
        }
        if (e.kind == StationEvent::Outcome && r.leaveAfterOutcome >= 0)
          moves.insert({t + r.leaveAfterOutcome, {e.port, nullptr}});
        if (e.kind == StationEvent::Outcome && r.backAfterOutcome >= 0)
          moves.insert({t + r.backAfterOutcome, {e.port, plc}});
      }
    }
    station.stop();  // a session still waiting at the end is a fault, not a hang
    station.join(r.until);
    std::vector<std::string> got;
    std::map<std::string, std::vector<std::string>> byPort;
    double promptAt = -1;
    for (const StationEvent& e : events) {
      if (e.kind == StationEvent::Prompt) promptAt = e.at;
      // A reconnect not seen is given up on after the bound, not before.
      if (e.kind == StationEvent::Outcome && e.text.find("DID NOT restart") != std::string::npos) {
        EXPECT_NEAR(e.at - promptAt, cli::kReconnectBound, 0.5);
      }
      if (e.kind == StationEvent::Stage || e.kind == StationEvent::Progress) continue;
      std::string s = e.port + " " + cli::EventName(e.kind);
      if (e.kind == StationEvent::Outcome) s = e.passed ? "outcome+" : "outcome " + e.text;
      if (s == "outcome ") s = "outcome";
      byPort[e.port].push_back(s);
    }
    for (auto& [port, list] : byPort) got.insert(got.end(), list.begin(), list.end());
    EXPECT_EQ(got, r.events);
    EXPECT_EQ(station.passed(), r.passed);
    EXPECT_EQ(station.ended(), r.ended);
    // Never twice: each PLC saw one session, and each that passed holds the image.
    for (auto& plc : plcs) {
      EXPECT_LE(sessions[plc.get()], 1);
      if (r.passed == r.ended && r.passed > 0) {
        ASSERT_GE(plc->flash().size(), 4096u);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4096, plc->flash().begin()));
      }
    }
  }
}

}  // namespace
