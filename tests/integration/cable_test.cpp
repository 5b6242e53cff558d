// quarn-burn against the faults of a real cable, in real time over the
// pseudo-terminal of the plcsim program: a peer that goes away in the middle
// of the transfer and comes back at the same path, a line garbled for a
// while, replies that come just inside the time-out. Each session must end
// with its one message and exit status within what the retry budgets allow,
// and a second run must finish an update the first one left in the
// bootloader. Also the model list quarn-burn prints.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "child.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Bytes;
using testsupport::Pattern;
using testsupport::TempDir;

const std::string kBin = QUARN_BIN_DIR;

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Starts a program with stdin /dev/null and stdout, stderr into files.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  const int fds[3] = {open("/dev/null", O_RDONLY),
                      open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                      open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
  const pid_t pid = testsupport::Spawn(args, fds[0], fds[1], fds[2]);
  for (int fd : fds) close(fd);
  return pid;
}

struct Ended {
  int status = -1;  // -1: still running at the limit (then killed)
  double seconds = 0;
  std::string out, err;
};

// quarn-burn to its end, or to `limit` seconds.
Ended Burn(const std::vector<std::string>& args, const std::string& dir, double limit = 60) {
  std::vector<std::string> all = {kBin + "/quarn-burn"};
  all.insert(all.end(), args.begin(), args.end());
  const auto t0 = Clock::now();
  const pid_t pid = Spawn(all, dir + "/burn.out", dir + "/burn.err");
  Ended r;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() - t0 > std::chrono::duration<double>(limit)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (status != -1) r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadText(dir + "/burn.out");
  r.err = ReadText(dir + "/burn.err");
  return r;
}

// The plcsim program; it prints the path of each pseudo-terminal it serves.
class Plcsim {
 public:
  Plcsim(std::vector<std::string> args, const std::string& dir) : dir_(dir) {
    args.insert(args.begin(), kBin + "/plcsim");
    pid_ = Spawn(args, dir + "/sim.out", dir + "/sim.err");
  }
  ~Plcsim() { stop(); }
  // The n-th pseudo-terminal's path (1: the first), once it is printed.
  std::string pty(size_t n) const {
    for (int i = 0; i < 400; ++i) {
      const std::string text = ReadText(dir_ + "/sim.out");
      size_t at = 0, end = 0;
      for (size_t k = 1; (end = text.find('\n', at)) != std::string::npos; ++k, at = end + 1)
        if (k == n) return text.substr(at, end - at);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return "";
  }
  // Ends the simulator; what it was writing is written then.
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// What a 128-byte-block bootloader's flash holds after an image: the image,
// then SUB (0x1A) to a block.
std::string Flashed(const Bytes& image) {
  std::string f(image.begin(), image.end());
  f.append((128 - f.size() % 128) % 128, '\x1A');
  return f;
}

const char kSuccess[] = "INFORMATION: Firmware update is SUCCESSFUL\n";

// Each case: a TB2 on a line with one fault. A session that meets a failing
// exchange ends within what it needs without faults (a few seconds here)
// and that exchange's budget (six 3 s read time-outs): kBound.
TEST(CableFaults, EachEndsInTimeAndASecondRunFinishesTheUpdate) {
  constexpr double kBound = 6 + 6 * 3;
  struct Case {
    const char* name;
    std::vector<std::string> sim;  // plcsim arguments beyond model, link and flash file
    size_t imageSize;
    int status;                     // the first run's
    const char* says;               // its one outcome message
    int retries;                    // requests sent again, as its record counts them
    double minSeconds, maxSeconds;  // how long it takes
  };
  const Case cases[] = {
      // The line goes at block 20 of 79: the port went away, which is said
      // and waited for. 1.5 s later a new pseudo-terminal is at the same
      // path, the PLC still in its bootloader with a partly written flash,
      // and the session goes on from there as a new run would.
      {"the peer goes away mid-transfer and comes back at the same path",
       {"--drop", "block:20:1500"},
       10000,
       0,
       kSuccess,
       6,
       1.5,
       12},
      {"garbled for a while: the retries carry the update through",
       {"--fault", "checkid:noise:3:4", "--fault", "erasepage:noise:2", "--fault",
        "block:noise:5:2"},
       3000,
       0,
       kSuccess,
       10,
       0,
       kBound},
      {"garbled for longer than one exchange's budget",
       {"--mode", "boot", "--fault", "block:noise:6"},
       3000,
       1,
       "ERROR: Firmware update is FAILED\n",
       5,
       0,
       kBound},
      // One page and one block, each taking the PLC 2.7 s of the 3 s.
      {"replies just inside the time-out",
       {"--mode", "boot", "--pace", "--erase-us", "2700000", "--write-us", "2700000"},
       100,
       0,
       kSuccess,
       0,
       5.4,
       kBound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const Bytes image = Pattern(c.imageSize);
    const std::string file = dir.path + "/TB2_v2.0.bin", port = dir.path + "/port",
                      flash = dir.path + "/flash", record = dir.path + "/runs.jsonl";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    std::vector<std::string> args = {"--model", "TB2", "--link", port, "--flash-out", flash};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Plcsim sim(args, dir.path);
    ASSERT_NE(sim.pty(1), "");
    const std::vector<std::string> burnArgs = {"--image", file,       "--port", port,
                                               "--yes",   "--record", record};

    const Ended first = Burn(burnArgs, dir.path);
    std::printf("  %s: the first run ends after %.1f s\n", c.name, first.seconds);
    EXPECT_EQ(first.status, c.status) << first.err;
    EXPECT_GE(first.seconds, c.minSeconds);
    EXPECT_LE(first.seconds, c.maxSeconds);
    if (c.sim[0] == "--drop") {
      EXPECT_NE(first.err.find("\nquarn-burn: " + port +
                               " went away; waiting up to 10 s for it\n"
                               "quarn-burn: " +
                               port + " is back; the session goes on as a new run"),
                std::string::npos)
          << first.err;
      EXPECT_NE(ReadText(record).find("\"mode_at_start\":\"application\""), std::string::npos);
    }
    if (c.status == 0) {
      EXPECT_EQ(first.out, c.says);
      EXPECT_EQ(first.err.find("ERROR"), std::string::npos) << first.err;
    } else {
      EXPECT_EQ(first.out, "");
      EXPECT_NE(first.err.find(c.says), std::string::npos) << first.err;
      EXPECT_EQ(first.err.find("ERROR:"), first.err.rfind("ERROR:")) << "one outcome message";
    }
    EXPECT_NE(ReadText(record).find("\"retries\":" + std::to_string(c.retries) + ","),
              std::string::npos)
        << ReadText(record);

    if (c.status != 0) {
      // The operator runs quarn-burn again once the port is back: it finds
      // the bootloader and finishes the update.
      const Ended second = Burn(burnArgs, dir.path);
      EXPECT_EQ(second.status, 0) << second.err;
      EXPECT_EQ(second.out, kSuccess);
      const std::string records = ReadText(record);
      EXPECT_NE(records.find("\"mode_at_start\":\"bootloader\"", records.find('\n')),
                std::string::npos)
          << records;
    }
    sim.stop();
    EXPECT_TRUE(ReadText(flash) == Flashed(image))
        << ReadText(flash).size() << " bytes in the flash";
  }
}

// How many requests of a kind plcsim's log shows (one line per request it
// took, with --verbose).
int Requests(const std::string& log, const std::string& kind) {
  int n = 0;
  for (size_t at = 0; (at = log.find("plcsim: " + kind + " ", at)) != std::string::npos; ++at) ++n;
  return n;
}

// A reply that comes once 3.2 s late, past the 3 s time-out, because the PLC
// took that long over the request (what the host sends meanwhile waits its
// turn), and a later request refused once: the update ends byte-exact. The
// bootloader's late ACK is waited for and taken as its command's (no
// "ERASE" sent twice); the application's request goes again, one request
// more than a clean session with that refusal sends. Were the late answer
// or the retry's taken for the next request's, the refusal would pass unseen.
TEST(CableFaults, ReplyOnceLateIsPairedWithItsRequest) {
  struct Case {
    const char* kind;
    const char* mode;
    const char* refused;
    int retries;
  };
  const Case cases[] = {{"erasepage", "boot", "block:nak", 0},
                        {"checkid", "app", "erase:nak:1:2:3", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    TempDir dir;
    const Bytes image = Pattern(3000);
    const std::string file = dir.path + "/TB2_v2.0.bin", port = dir.path + "/port",
                      flash = dir.path + "/flash";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    int requests[2] = {};
    for (int late = 0; late < 2; ++late) {
      std::vector<std::string> args = {"--model", "TB2",         "--mode",  c.mode,   "--link",
                                       port,      "--flash-out", flash,     "--pace", "--erase-us",
                                       "500000",  "--verbose",   "--fault", c.refused};
      if (late) args.insert(args.end(), {"--late-reply", std::string(c.kind) + ":3200"});
      Plcsim sim(args, dir.path);
      ASSERT_NE(sim.pty(1), "");
      const Ended r = Burn({"--image", file, "--port", port, "--yes"}, dir.path);
      std::printf("  %s %s: %.1f s\n", c.kind, late ? "once 3.2 s late" : "on time", r.seconds);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, kSuccess);
      sim.stop();
      EXPECT_TRUE(ReadText(flash) == Flashed(image));
      requests[late] = Requests(ReadText(dir.path + "/sim.err"), c.kind);
      if (late) {
        EXPECT_GE(r.seconds, 3.2);
      }
    }
    EXPECT_GT(requests[0], 0);
    EXPECT_EQ(requests[1], requests[0] + c.retries);
  }
}

// --list-models: each model's link, image size limit and block size, as the
// catalogue fixes them (written out here, not taken from it).
TEST(CliList, ModelsWithTheirLinkLimitAndBlock) {
  TempDir dir;
  const Ended r = Burn({"--list-models"}, dir.path, 10);
  EXPECT_EQ(r.status, 0);
  for (const char* row : {"\nVN300           USB       2076672    256  replug, then 5 s\n",
                          "\nTB2             serial     493568    128  none, 1 s pause\n",
                          "\nGH26            USB        917504    128  replug, then 2 s\n",
                          "\n30MV2-AIO       serial      12288    256  none, 1 s pause\n",
                          "\nMV2-CAR         serial     524288    128  power cycle, then 2 s\n"})
    EXPECT_NE(r.out.find(row), std::string::npos) << row << r.out;
  // The heading, then the 33 models by name, as the guide's model table has them.
  std::vector<std::string> names;
  for (size_t at = r.out.find('\n') + 1; at < r.out.size(); at = r.out.find('\n', at) + 1)
    names.push_back(r.out.substr(at, r.out.find(' ', at) - at));
  EXPECT_EQ(names.size(), 33u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << r.out;
}

}  // namespace
