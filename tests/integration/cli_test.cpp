// Whole sessions in real time: the plcsim program serves a pseudo-terminal,
// quarn-burn runs as a child process against it, and what each prints, its
// exit status and what reached the simulated flash are compared.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const std::string kBin = QUARN_BIN_DIR;

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An image no two blocks of which are alike.
Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256 + 3);
  return b;
}

// What the bootloader must have received: data then SUB up to the block.
Bytes Padded(Bytes data, size_t block) {
  while (data.size() % block) data.push_back(0x1A);
  return data;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quarn-cli-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

pid_t Spawn(const std::vector<std::string>& args, int in, int out, int err) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// quarn-burn as a child: stdout and stderr captured (stderr optionally on a
// pseudo-terminal), stdin /dev/null or a pipe the test writes.
class Burn {
 public:
  Burn(std::vector<std::string> args, bool stdinPipe = false, bool stderrTty = false) {
    args.insert(args.begin(), kBin + "/quarn-burn");
    int in[2] = {-1, -1}, out[2], err[2];
    if (stdinPipe) {
      EXPECT_EQ(pipe(in), 0);
    } else {
      in[0] = open("/dev/null", O_RDONLY);
    }
    EXPECT_EQ(pipe(out), 0);
    if (stderrTty) {
      err[0] = posix_openpt(O_RDWR | O_NOCTTY);
      grantpt(err[0]);
      unlockpt(err[0]);
      err[1] = open(ptsname(err[0]), O_RDWR | O_NOCTTY);
    } else {
      EXPECT_EQ(pipe(err), 0);
    }
    pid_ = Spawn(args, in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    fds_[0] = out[0];
    fds_[1] = err[0];
  }

  ~Burn() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, fds_[0], fds_[1]})
      if (fd >= 0) close(fd);
  }

  // Collects output until done() holds (true) or the time is up (false).
  bool pumpUntil(const std::function<bool()>& done, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (Clock::now() >= end) return false;
      pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
      poll(p, 2, 20);
      for (int i = 0; i < 2; ++i) {
        if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        ssize_t n = read(fds_[i], buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
        } else {
          close(fds_[i]);
          fds_[i] = -1;  // end of the pipe, or EIO once the pty's slave is gone
        }
      }
    }
    return true;
  }

  // Waits for the exit; -1 when it did not end in time.
  int wait(double seconds) {
    int status = -1;
    bool ended = pumpUntil([&] {
      if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
      return pid_ < 0 && fds_[0] < 0 && fds_[1] < 0;
    }, seconds);
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  bool running() {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
  }

  void answer(const std::string& text) {
    ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  std::string out, err;

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int fds_[2] = {-1, -1};
};

// The plcsim program; its pseudo-terminal's path is the first line it prints.
class Plcsim {
 public:
  Plcsim(std::vector<std::string> args, const std::string& dir) : dir_(dir) {
    args.insert(args.begin(), kBin + "/plcsim");
    int in = open("/dev/null", O_RDONLY);
    int out = open((dir + "/plcsim.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((dir + "/plcsim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_ = Spawn(args, in, out, err);
    close(in);
    close(out);
    close(err);
    for (int i = 0; i < 200 && pty.empty(); ++i) {
      std::string text;
      std::ifstream f(dir + "/plcsim.out");
      std::getline(f, text);
      if (!f.eof()) pty = text;  // a whole line
      else std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_FALSE(pty.empty()) << "plcsim printed no pty path: " << log();
  }
  ~Plcsim() { stop(); }

  // Ends the simulator (it writes its flash file on the way out).
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string log() const {
    Bytes b = ReadFile(dir_ + "/plcsim.err");
    return std::string(b.begin(), b.end());
  }

  std::string pty;

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// Compares the simulated flash with what must have been sent.
void ExpectFlash(const std::string& path, const Bytes& expected) {
  Bytes flash = ReadFile(path);
  ASSERT_EQ(flash.size(), expected.size());
  auto diff = std::mismatch(flash.begin(), flash.end(), expected.begin());
  EXPECT_TRUE(diff.first == flash.end()) << "first difference at byte "
                                         << (diff.first - flash.begin());
}

// The last progress line printed (stderr not a terminal: one per line).
std::string LastProgressLine(const std::string& err) {
  size_t at = err.rfind("Programming [");
  return at == std::string::npos ? "" : err.substr(at, err.find('\n', at) - at);
}

const char kSuccessUsb[] =
    "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable\n";
const char kSuccessSerial[] = "INFORMATION: Firmware update is SUCCESSFUL\n";

// Serial-attached models from application mode to success, each with its
// own reconnect step; the flash must hold the image and SUB padding.
TEST(CliSession, SerialModelsFromApplicationModeToSuccess) {
  struct Case {
    const char* model;
    size_t imageSize, block;
    const char* prompt;  // printed before the reconnect, or ""
  };
  const Case cases[] = {
      {"QN2", 1000, 128, ""},         // wait 1 s, the port stays open
      {"30MV2-AIO", 12288, 256, ""},  // AIO header, largest image it accepts
      {"MV2-CAR", 700, 128,           // power cycle: closed, prompt, reopened
       "Information: Please POWER OFF=>ON the PLC, and then press OK to continue\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    TempDir dir;
    Bytes image = Pattern(c.imageSize);
    std::string file = dir.path + "/" + c.model + "_v1.0_20240103_01.bin";
    WriteFile(file, image);
    Plcsim sim({"--model", c.model, "--flash-out", dir.path + "/flash"}, dir.path);
    // No --yes: the end of input answers the prompt.
    Burn burn({"--image", file, "--port", sim.pty});
    EXPECT_EQ(burn.wait(60), 0) << burn.err << sim.log();
    EXPECT_EQ(burn.out, std::string(c.prompt) + kSuccessSerial);
    EXPECT_EQ(burn.err.find("ERROR"), std::string::npos) << burn.err;
    // Without a terminal: whole lines, one per phase, no animation.
    EXPECT_EQ(burn.err.find('\r'), std::string::npos);
    EXPECT_NE(LastProgressLine(burn.err).find("100%"), std::string::npos) << burn.err;
    sim.stop();
    ExpectFlash(dir.path + "/flash", Padded(image, c.block));
  }
}

// The built-in image into a VN300 through the replug step; stderr is a
// terminal, so the progress line is animated in place.
TEST(CliSession, BuiltInImageIntoVn300ThroughTheReplug) {
  TempDir dir;
  Plcsim sim({"--model", "VN300", "--flash-out", dir.path + "/flash"}, dir.path);
  auto start = Clock::now();
  Burn burn({"--port", sim.pty, "--yes"}, false, true);
  EXPECT_EQ(burn.wait(90), 0) << burn.err << sim.log();
  EXPECT_GE(Clock::now() - start, std::chrono::seconds(5));  // the wait after the prompt
  EXPECT_EQ(burn.out,
            std::string("Information: Please REPLUG the USB Cable, and then press OK to "
                        "continue\n") + kSuccessUsb);
  EXPECT_EQ(burn.err.find("ERROR"), std::string::npos) << burn.err;
  EXPECT_NE(burn.err.find("\rProgramming [##############################] 100%"),
            std::string::npos);
  sim.stop();
  Bytes image = ReadFile(QUARN_IMAGE_PATH);
  ASSERT_EQ(image.size(), 2076672u);
  image.resize(image.size() - 4096);  // the last 4096 bytes are never sent
  ExpectFlash(dir.path + "/flash", image);
}

// Sessions that end with an error message, before or after the link opens.
TEST(CliSession, FailuresEndWithTheirMessage) {
  struct Case {
    const char* model;
    size_t imageSize;
    std::vector<std::string> sim;  // plcsim arguments; empty: none runs
    const char* port;              // used when no plcsim runs
    const char* error;
  };
  const Case cases[] = {
      // Application branch: a PLC that refuses the identity check, and one
      // that keeps reporting another identifier (no refusal: no response).
      {"QN2", 1000, {"--fault", "checkid:nak:all:2:2"}, "", "ERROR: PLC type is WRONG\n"},
      {"QN2", 1000, {"--app-id", "0x0014"}, "", "ERROR: NO RESPONSE @ State 2\n"},
      {"QN2", 1000, {"--mode", "boot", "--fault", "block:nok:1"}, "",  // bootloader branch
       "ERROR: Flash write error, maybe due to flash write protection. RE-POWER PLC and "
       "update FW again\n"},
      {"QN2", 493569, {}, "/dev/null",
       "ERROR: The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)\n"},
      {"TB2", 1000, {}, "/tmp/no-such-directory/ttyUSB-gone",
       "ERROR: CANNOT open /tmp/no-such-directory/ttyUSB-gone Port!!!\n"},
      {"GH", 1000, {}, "/tmp/no-such-directory/pipe", "ERROR: CANNOT open USB Port!!!\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    TempDir dir;
    std::string file = dir.path + "/" + c.model + "_x.bin";
    WriteFile(file, Pattern(c.imageSize));
    std::unique_ptr<Plcsim> sim;
    std::string port = c.port;
    if (!c.sim.empty()) {
      std::vector<std::string> args = {"--model", c.model};
      args.insert(args.end(), c.sim.begin(), c.sim.end());
      sim = std::make_unique<Plcsim>(args, dir.path);
      port = sim->pty;
    }
    Burn burn({"--image", file, "--port", port, "--yes"});
    EXPECT_EQ(burn.wait(60), 1) << burn.err;
    EXPECT_EQ(burn.out, "");
    EXPECT_NE(burn.err.find(c.error), std::string::npos) << burn.err;
    EXPECT_EQ(burn.err.find(c.error), burn.err.rfind("ERROR:")) << "one outcome only";
  }
}

// A silent first probe reply and two NAK'd blocks: the retries deliver the
// image intact and the counters show them.
TEST(CliSession, RetriesStillDeliverTheImage) {
  TempDir dir;
  Bytes image = Pattern(3000);
  std::string file = dir.path + "/TB2_retry.bin";
  WriteFile(file, image);
  Plcsim sim({"--model", "TB2", "--flash-out", dir.path + "/flash", "--fault",
              "probe:silent:1", "--fault", "block:nak:2"},
             dir.path);
  Burn burn({"--image", file, "--port", sim.pty, "--yes"});
  EXPECT_EQ(burn.wait(60), 0) << burn.err << sim.log();
  EXPECT_EQ(burn.out, kSuccessSerial);
  std::string last = LastProgressLine(burn.err);
  EXPECT_NE(last.find("100%"), std::string::npos) << burn.err;
  EXPECT_EQ(last.substr(last.rfind(' ') + 1), "0/3") << burn.err;
  sim.stop();
  ExpectFlash(dir.path + "/flash", Padded(image, 128));
}

// Without --yes the session stands still at the prompt until Enter: the
// port, closed for the power cycle, is not opened again before it.
TEST(CliSession, PromptWaitsForEnter) {
  TempDir dir;
  std::string file = dir.path + "/MV2-CAR_x.bin";
  WriteFile(file, Pattern(500));
  Plcsim sim({"--model", "MV2-CAR", "--verbose"}, dir.path);
  auto opens = [&] {
    std::string log = sim.log();
    int n = 0;
    for (size_t at = 0; (at = log.find("host opened the port", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  Burn burn({"--image", file, "--port", sim.pty}, true);
  ASSERT_TRUE(burn.pumpUntil([&] { return burn.out.find("POWER OFF") != std::string::npos; }, 30))
      << burn.err << sim.log();
  burn.pumpUntil([] { return false; }, 3);  // longer than the 2 s wait after OK
  EXPECT_TRUE(burn.running());
  EXPECT_EQ(opens(), 1) << sim.log();
  EXPECT_EQ(burn.out.find("SUCCESSFUL"), std::string::npos);
  burn.answer("\n");
  EXPECT_EQ(burn.wait(30), 0) << burn.err;
  EXPECT_NE(burn.out.find(kSuccessSerial), std::string::npos);
  EXPECT_EQ(opens(), 2) << sim.log();
}

// Command lines refused before any session: exit status 2, nothing burnt.
TEST(CliUsage, RefusedWithStatusTwo) {
  TempDir dir;
  WriteFile(dir.path + "/VN300_ok.bin", Pattern(8192));
  WriteFile(dir.path + "/VN301_x.bin", Pattern(8192));
  WriteFile(dir.path + "/vn300_x.bin", Pattern(8192));
  ASSERT_EQ(mkdir((dir.path + "/QN2_dir.bin").c_str(), 0700), 0);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--image", dir.path + "/VN301_x.bin"}, "VN301"},  // no fallback to another model
      {{"--image", dir.path + "/vn300_x.bin"}, "vn300"},
      {{"--image", dir.path + "/VN300_missing.bin"}, "cannot read"},
      {{"--image", dir.path + "/QN2_dir.bin"}, "cannot read"},
      {{"--image", dir.path + "/VN300_ok.bin", "--port", "/dev/" + std::string(200, 'p')},
       "longer than"},
      {{"--port"}, "needs a value"},
  };
  for (const Case& c : cases) {
    Burn burn(c.args);
    EXPECT_EQ(burn.wait(10), 2) << c.says;
    EXPECT_NE(burn.err.find(c.says), std::string::npos) << burn.err;
    EXPECT_EQ(burn.out, "");
  }
}

}  // namespace
