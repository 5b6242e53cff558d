// plcsim --pace on its pseudo-terminal: a reply never comes before the wire
// and the PLC allow, and not much later. plcsim's PLC unplugged and plugged
// again, on its schedule and on command: silent while it is out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "crc16.h"

namespace {

using Clock = std::chrono::steady_clock;

uint16_t Crc(const std::string& d) { return reference::Crc16(d.data(), d.size()); }

std::string Block(uint8_t n, size_t size) {
  std::string data(size, 'x');
  std::string f{char(0x02), char(n), char(255 - n)};
  f += data;
  f += char(Crc(data) >> 8);
  f += char(Crc(data) & 0xFF);
  return f;
}

// The plcsim program with these arguments; the slave is opened raw.
class PacedSim {
 public:
  explicit PacedSim(const std::vector<std::string>& args) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    std::vector<std::string> all = {std::string(QUARN_BIN_DIR) + "/plcsim"};
    all.insert(all.end(), args.begin(), args.end());
    pid_ = testsupport::Spawn(all, STDIN_FILENO, out[1], STDERR_FILENO);
    close(out[1]);
    std::string path;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path += c;
    close(out[0]);
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << path;
    setBaud(B9600);
  }
  ~PacedSim() {
    if (fd >= 0) close(fd);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  void setBaud(speed_t s) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, s);
    tcsetattr(fd, TCSANOW, &t);
  }
  // Writes the request and reads `len` reply bytes: microseconds from the
  // write to the last of them, or -1 when they do not come within waitMs.
  int64_t exchange(const std::string& request, size_t len, int waitMs = 2000) {
    const auto t0 = Clock::now();
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string got;
    while (got.size() < len) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, waitMs) != 1) return -1;
      char buf[64];
      const ssize_t n = read(fd, buf, std::min(sizeof buf, len - got.size()));
      if (n <= 0) return -1;
      got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got[0], '\x06');
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  }
  int fd = -1;

 private:
  pid_t pid_ = -1;
};

TEST(PlcsimPaced, RepliesComeAtTheTimeOfTheWireAndThePlc) {
  const double c96 = 1e7 / 9600, c115 = 1e7 / 115200;  // microseconds a character
  struct Step {
    std::string request;
    speed_t baud;  // set on the host's side before the request
    size_t replyLen;
    double us;  // the wire and the PLC
  };
  struct Case {
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {{"--model", "TB2", "--mode", "boot", "--pace", "--erase-us", "30000", "--write-us", "5000"},
       {{"ID", B9600, 3, 5 * c96},
        {"ERASE", B9600, 1, 6 * c96 + 30000},
        {"\x04", B9600, 1, 2 * c96},
        {"UPDATE", B9600, 1, 7 * c96},
        {Block(1, 128), B115200, 1, 134 * c115 + 5000}}},
      {{"--model", "VN300", "--mode", "boot", "--pace", "--latency-us", "2000", "--erase-us",
        "30000"},
       {{"ID", B9600, 3, 4000}, {"ERASE", B9600, 1, 34000}}},
  };
  for (const Case& c : cases) {
    PacedSim sim(c.args);
    for (const Step& s : c.steps) {
      SCOPED_TRACE(c.args[1] + " " + s.request.substr(0, 6));
      sim.setBaud(s.baud);
      const int64_t us = sim.exchange(s.request, s.replyLen);
      EXPECT_GE(us, static_cast<int64_t>(s.us));
      EXPECT_LT(us, static_cast<int64_t>(s.us) + 50000);  // a loaded machine's wake-ups
    }
  }
}

// The bootloader's "ID" answered or not, as --unplug's schedule and the
// lines of --control have the cable: out, then back, then out and back
// again. A silent PLC's reply is waited for 300 ms.
TEST(PlcsimPlug, SilentWhileTheCableIsOut) {
  testsupport::TempDir dir;
  const std::string fifo = dir.path + "/control";
  struct Step {
    int atMs;             // after plcsim started (0: at once)
    const char* command;  // to --control before the request; nullptr: none
    bool answered;
  };
  struct Case {
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {{"--unplug", "600:1000"},
       {{0, nullptr, true}, {800, nullptr, false}, {2000, nullptr, true}}},
      {{"--control", fifo},
       {{0, nullptr, true},
        {0, "unplug", false},
        {0, "plug", true},
        {0, "off", false},
        {0, "plug", true}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--model", "TB2", "--mode", "boot"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto t0 = Clock::now();
    PacedSim sim(args);
    for (const Step& s : c.steps) {
      SCOPED_TRACE(c.args[0] + " " + std::to_string(s.atMs) + " " + (s.command ? s.command : ""));
      std::this_thread::sleep_until(t0 + std::chrono::milliseconds(s.atMs));
      if (s.command != nullptr) {
        const int f = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(f, 0);
        const std::string line = std::string(s.command) + "\n";
        EXPECT_EQ(write(f, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // plcsim reads it
      }
      EXPECT_EQ(sim.exchange("ID", 3, 300) >= 0, s.answered);
    }
  }
}

}  // namespace
