// The USB path in real time: Debian's libusb, the product's UsbPipe and the
// real quarn-burn against emulated USB PLCs (umockdev), whole sessions
// through the PLC's restart, reads and time-outs, unplugging, several PLCs.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <umockdev.h>

#include "child.h"
#include "link/posix/posix_link.h"
#include "usb_plc.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace testsupport;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Writes an image file named NAME in dir; returns its path.
std::string WriteImage(const std::string& dir, const std::string& name, const Bytes& image) {
  const std::string file = dir + "/" + name;
  WriteFile(file, image);
  return file;
}

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// quarn-burn as a child, under the preload this process runs under; stdin
// /dev/null or a pipe the test writes, stdout and stderr into files.
class Burn {
 public:
  explicit Burn(std::vector<std::string> args, const std::vector<std::string>& prefix = {},
                bool stdinPipe = false) {
    args.insert(args.begin(), std::string(QUARN_BIN_DIR) + "/quarn-burn");
    args.insert(args.begin(), prefix.begin(), prefix.end());
    out_ = dir_.path + "/out";
    err_ = dir_.path + "/err";
    int pipeFds[2] = {-1, -1};
    if (stdinPipe && pipe(pipeFds) != 0) ADD_FAILURE() << "no pipe";
    const int in = stdinPipe ? pipeFds[0] : open("/dev/null", O_RDONLY);
    const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_ = Spawn(args, in, out, err);
    for (int fd : {in, out, err}) close(fd);
    if (stdinPipe) stdin_ = pipeFds[1];
  }
  ~Burn() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
  }

  // Presses Enter on the child's stdin.
  void enter() { EXPECT_EQ(write(stdin_, "\n", 1), 1); }

  // Waits until the child ends (its exit status) or `seconds` pass (-1).
  // `meanwhile` runs every 5 ms while it waits.
  int wait(double seconds, const std::function<void()>& meanwhile = {}) {
    auto t0 = Clock::now();
    while (pid_ > 0) {
      int status = 0;
      if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (SecondsSince(t0) > seconds) return -1;
      if (meanwhile) meanwhile();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  // CPU the running child has used so far, from /proc.
  double cpuNow() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return 0;
    unsigned long utime = 0, stime = 0;
    // After the name: state and 10 more fields, then utime and stime.
    std::sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  std::string out() const { return Text(out_); }
  std::string err() const { return Text(err_); }
  double cpu() const { return CpuSeconds(usage); }

  rusage usage{};

 private:
  static std::string Text(const std::string& path) {
    Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
  }
  TempDir dir_;
  std::string out_, err_;
  pid_t pid_ = -1;
  int stdin_ = -1;
};

usbplc::Options Plc(const char* model, std::string ports = "1") {
  usbplc::Options o;
  o.plc.model = model;
  o.ports = std::move(ports);
  if (o.plc.model == "GH26") o.plc.d1148 = 1;  // what tells a GH26 from a GH
  return o;
}

const char kReplug[] = "Information: Please REPLUG the USB Cable, and then press OK to continue\n";
const char kSuccess[] =
    "Information: Firmware update is SUCCESSFUL!, please REPLUG the USB cable\n";

// USB models from application mode to success without --port: the replug
// prompt, the PLC back under a new device number in its bootloader, the
// pipe reopened on it, the flash byte for byte.
TEST(UsbSession, FromApplicationModeThroughTheRestartToSuccess) {
  struct Case {
    const char* model;
    size_t imageSize;  // 0: the built-in image
    size_t block;
    bool kernelDriver;  // bound to the interface: detached for each session, attached after
  };
  const Case cases[] = {
      {"VN300", 0, 256, false},
      {"GH26", 20000, 128, true},
      {"VN200-AIO", 12000, 256, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    TempDir dir;
    const std::string record = dir.path + "/sessions.jsonl";
    std::vector<std::string> args = {"--yes", "--record", record};
    Bytes image, expected;
    if (c.imageSize == 0) {
      image = ReadFile(QUARN_IMAGE_PATH);
      ASSERT_EQ(image.size(), 2076672u);
      expected.assign(image.begin(), image.end() - 4096);  // the last 4096 bytes are never sent
    } else {
      image = Pattern(c.imageSize);
      expected = Padded(image, c.block);
      args.insert(args.end(),
                  {"--image", WriteImage(dir.path, std::string(c.model) + "_v1.0.bin", image)});
    }
    usbplc::Testbed testbed;
    usbplc::Options o = Plc(c.model);
    o.kernelDriver = c.kernelDriver;
    usbplc::UsbPlc plc(testbed, o);
    const int firstDevnum = plc.devnum();
    auto t0 = Clock::now();
    Burn burn(args);
    EXPECT_EQ(burn.wait(120), 0) << burn.err();
    const double wall = SecondsSince(t0);
    std::printf("  %s session: %.1f s wall, %.1f s CPU in quarn-burn\n", c.model, wall, burn.cpu());
    EXPECT_EQ(burn.out(), std::string(kReplug) + kSuccess);
    EXPECT_EQ(burn.err().find("ERROR"), std::string::npos) << burn.err();
    EXPECT_EQ(plc.restarts(), 1);
    EXPECT_GT(plc.devnum(), firstDevnum);
    EXPECT_EQ(plc.mode(), plcsim::Mode::Boot);
    EXPECT_TRUE(plc.flash() == expected) << plc.flash().size() << " bytes in the flash";
    EXPECT_EQ(plc.driverDetaches(), c.kernelDriver ? 2 : 0);  // before and after the restart
    EXPECT_EQ(plc.driverBound(), c.kernelDriver);
    EXPECT_FALSE(plc.claimed());
    // The record names the device the session kept to.
    const Bytes line = ReadFile(record);
    EXPECT_NE(std::string(line.begin(), line.end()).find("\"usb_path\":\"usb:1-1\""),
              std::string::npos);
  }
}

// UsbPipe in this process: replies cut into short packets or coming late
// are read whole; what a read leaves of a packet is the next read's, unless
// discarded; a read with nothing to read ends at its time-out, without
// spinning a core while it waits. The pipe keeps to the port path of the
// device it opened.
TEST(UsbPipeRead, WholeRepliesAndTimeOuts) {
  const std::string wake = ":007F81\r\n";  // the application answers it
  struct Case {
    const char* name;
    std::string request;
    unsigned packetBytes, replyDelayMs;
    uint32_t timeoutMs;
    int minMs, maxMs;
    bool fifoNode;
    double maxCpuShare;    // of the wait; < 0: only shown
    int split = 0;         // a first read of this many bytes, then one for the rest
    bool discard = false;  // the rest thrown away between the two
  };
  const Case cases[] = {
      {"reply in 4-byte packets", wake, 4, 0, 3000, 0, 500, true, -1},
      {"late reply", wake, 64, 1000, 3000, 950, 1500, true, -1},
      {"nothing to read, 3 s", "", 64, 0, 3000, 2950, 3050, true, 0.05},
      {"nothing to read, 200 ms", "", 64, 0, 200, 150, 250, true, 0.05},
      {"nothing to read, node a regular file", "", 64, 0, 1000, 950, 1050, false, -1},
      {"reply read in two parts", wake, 64, 0, 3000, 0, 500, true, -1, 5},
      {"the rest of the packet discarded", wake, 64, 0, 200, 150, 250, true, -1, 5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    usbplc::Testbed testbed;
    usbplc::Options o = Plc("VN300");
    o.packetBytes = c.packetBytes;
    o.replyDelayMs = c.replyDelayMs;
    o.fifoNode = c.fifoNode;
    usbplc::UsbPlc plc(testbed, o);
    std::vector<uint8_t> expected;
    plcsim::Plc reference(o.plc);
    reference.receive(reinterpret_cast<const uint8_t*>(c.request.data()), c.request.size(),
                      expected);
    ASSERT_EQ(expected.empty(), c.request.empty());

    quarn::PosixLink link;
    ASSERT_TRUE(link.open({quarn::Endpoint::Kind::UsbPlc, ""}));
    EXPECT_EQ(link.error().usbPlace, "usb:1-1");
    link.setTimeouts(c.timeoutMs);
    const int n = static_cast<int>(c.request.size());
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(c.request.data()), n), n);
    const int ask = c.request.empty() ? 1 : static_cast<int>(expected.size());
    std::vector<uint8_t> got(static_cast<size_t>(ask));
    const int first = c.split;  // its wait is not measured
    if (first > 0) {
      ASSERT_EQ(link.read(got.data(), first), first);
      if (c.discard) {
        link.drainInput();
        expected.resize(static_cast<size_t>(first));
      }
    }
    rusage r0{}, r1{};
    getrusage(RUSAGE_SELF, &r0);  // this process: the read and the device's side
    auto t0 = Clock::now();
    got.resize(
        static_cast<size_t>(first + std::max(0, link.read(got.data() + first, ask - first))));
    const double ms = SecondsSince(t0) * 1000;
    getrusage(RUSAGE_SELF, &r1);
    const double share = (CpuSeconds(r1) - CpuSeconds(r0)) / (ms / 1000);
    std::printf("  %s: %.0f ms, CPU %.1f%% of the wait, %ld reaps\n", c.name, ms, share * 100,
                plc.reaps());
    EXPECT_EQ(got, expected);
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    if (c.maxCpuShare >= 0) {
      EXPECT_LE(share, c.maxCpuShare);
    }
    link.close();
  }
}

// The cable pulled in the middle of the transfer: the session fails at
// once with its message, without spinning; plugged back, the PLC is still in
// its bootloader and a second session finishes the update.
TEST(UsbSession, UnpluggedMidTransferThenFinishedBySecondRun) {
  TempDir dir;
  const Bytes image = Pattern(60000, 11);
  const std::string file = WriteImage(dir.path, "GH26_v2.0.bin", image);
  usbplc::Testbed testbed;
  usbplc::UsbPlc plc(testbed, Plc("GH26"));
  Clock::time_point unplugged{};
  double cpuAtUnplug = 0;
  {
    Burn burn({"--image", file, "--yes"});
    const int status = burn.wait(60, [&] {
      if (unplugged == Clock::time_point{} && plc.flash().size() >= 10000) {
        cpuAtUnplug = burn.cpuNow();
        plc.unplug();
        unplugged = Clock::now();
      }
    });
    ASSERT_NE(unplugged, Clock::time_point{}) << "never reached the transfer: " << burn.err();
    const double ended = SecondsSince(unplugged);
    const double cpuAfter = burn.cpu() - cpuAtUnplug;
    std::printf("  ended %.2f s after the unplug, using %.2f s CPU meanwhile\n", ended, cpuAfter);
    EXPECT_EQ(status, 1) << burn.err();
    EXPECT_LT(ended, 20);
    EXPECT_EQ(burn.out(), kReplug);
    EXPECT_NE(burn.err().find("ERROR: Firmware update is FAILED\n"), std::string::npos)
        << burn.err();
    EXPECT_LT(cpuAfter, 0.25 * ended + 0.1);  // no core spun
    EXPECT_LT(plc.flash().size(), image.size());
  }
  plc.plug();
  EXPECT_EQ(plc.mode(), plcsim::Mode::Boot);
  Burn again({"--image", file, "--yes"});
  EXPECT_EQ(again.wait(60), 0) << again.err();
  EXPECT_EQ(again.out(), kSuccess);  // straight into the bootloader branch: no replug
  EXPECT_TRUE(plc.flash() == Padded(image, 128));
}

// Two PLCs, both restarting: each session comes back to its own device.
// The first session finds its PLC while the other is held by another
// program; the other is free again when the first one reopens after its
// restart, and stands first in the search order.
TEST(UsbSession, TwoPlcsEachSessionKeepsToItsOwnDevice) {
  TempDir dir;
  usbplc::Testbed testbed;
  testbed.addHub(1, "2");
  usbplc::UsbPlc a(testbed, Plc("GH26", "1")), b(testbed, Plc("GH26", "2.3"));

  Burn list({"--list-ports"});
  ASSERT_EQ(list.wait(10), 0);
  // After the serial ports.
  EXPECT_TRUE(
      std::regex_search(list.out(), std::regex("\nusb:1-1 +USB PLC\nusb:1-2\\.3 +USB PLC\n$")) ||
      std::regex_search(list.out(), std::regex("^usb:1-1 +USB PLC\nusb:1-2\\.3 +USB PLC\n$")))
      << list.out();

  const Bytes imageX = Pattern(30000, 5), imageY = Pattern(30000, 77);
  const std::string fileX = WriteImage(dir.path, "GH26_x.bin", imageX);
  const std::string fileY = WriteImage(dir.path, "GH26_y.bin", imageY);

  // Another program holds the PLC that comes first in the search.
  auto holder = std::make_unique<quarn::PosixLink>();
  ASSERT_TRUE(holder->open({quarn::Endpoint::Kind::UsbPlc, ""}));
  ASSERT_NE(a.claimed(), b.claimed());
  usbplc::UsbPlc& first = a.claimed() ? a : b;
  usbplc::UsbPlc& second = a.claimed() ? b : a;

  Burn x({"--image", fileX, "--yes"});  // no --port: the PLC that opens
  bool released = false;
  std::unique_ptr<Burn> y;
  const int sx = x.wait(90, [&] {
    if (!released && second.restarts() == 1) {
      holder.reset();  // free before x reopens
      released = true;
    }
    if (released && !y && second.claimed())  // x is back on its PLC: y takes the other by its path
      y = std::make_unique<Burn>(
          std::vector<std::string>{"--image", fileY, "--port", "usb:" + first.path(), "--yes"});
  });
  EXPECT_EQ(sx, 0) << x.err();
  ASSERT_TRUE(y);
  EXPECT_EQ(y->wait(90), 0) << y->err();
  EXPECT_EQ(x.out(), std::string(kReplug) + kSuccess);
  EXPECT_EQ(y->out(), std::string(kReplug) + kSuccess);
  EXPECT_EQ(first.restarts(), 1);
  EXPECT_EQ(second.restarts(), 1);
  EXPECT_TRUE(second.flash() == Padded(imageX, 128))
      << second.flash().size() << " bytes at " << second.path();
  EXPECT_TRUE(first.flash() == Padded(imageY, 128))
      << first.flash().size() << " bytes at " << first.path();
}

// Four PLCs at once with --port all, all restarting into their bootloaders:
// each session comes back to its own device and writes its image there.
// Without --yes the replug prompts wait for Enter one at a time.
TEST(UsbBatch, FourPlcsEachBackOnItsOwnDevice) {
  TempDir dir;
  const Bytes image = Pattern(20000, 9);
  const std::string file = WriteImage(dir.path, "GH26_batch.bin", image);
  const std::string record = dir.path + "/sessions.jsonl";
  usbplc::Testbed testbed;
  std::vector<std::unique_ptr<usbplc::UsbPlc>> plcs;
  std::vector<int> devnums;
  for (const char* port : {"1", "2", "3", "4"}) {
    plcs.push_back(std::make_unique<usbplc::UsbPlc>(testbed, Plc("GH26", port)));
    devnums.push_back(plcs.back()->devnum());
  }
  const std::string prompt =
      "] Information: Please REPLUG the USB Cable, and then press OK to continue\n";
  const auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
  };
  Burn burn({"--image", file, "--port", "all", "--record", record}, {}, true);
  int answered = 0, most = 0;
  auto shown = Clock::now();
  const int status = burn.wait(120, [&] {
    const int prompts = count(burn.out(), prompt);
    most = std::max(most, prompts - answered);
    if (prompts == answered) {
      shown = Clock::now();
    } else if (SecondsSince(shown) > 0.3) {  // long enough for another prompt to show, were it let
      burn.enter();
      ++answered;
      shown = Clock::now();
    }
  });
  EXPECT_EQ(status, 0) << burn.out() << burn.err();
  EXPECT_EQ(answered, 4) << burn.out();
  EXPECT_EQ(most, 1) << "one prompt at a time\n" << burn.out();
  const Bytes recordBytes = ReadFile(record);
  const std::string out = burn.out(), records(recordBytes.begin(), recordBytes.end());
  for (size_t i = 0; i < plcs.size(); ++i) {
    const std::string port = "usb:" + plcs[i]->path();
    SCOPED_TRACE(port);
    EXPECT_EQ(plcs[i]->restarts(), 1);
    EXPECT_GT(plcs[i]->devnum(), devnums[i]);
    EXPECT_TRUE(plcs[i]->flash() == Padded(image, 128)) << plcs[i]->flash().size() << " bytes";
    EXPECT_EQ(count(out, "[" + port + prompt), 1) << out;
    EXPECT_EQ(count(out, "[" + port + "] " + kSuccess), 1) << out;
    EXPECT_EQ(count(records, "\"port\":\"" + port + "\",\"usb_path\":\"" + port + "\""), 1)
        << records;
  }
  EXPECT_EQ(out.substr(out.size() - 19), "4 passed, 0 failed\n") << out;
}

// The station: three PLCs plugged one after another, each replugged when
// its prompt shows; the first is left plugged in after its success while
// the others come and go. Three records, each PLC updated once, byte for
// byte, without a key pressed.
TEST(UsbWatch, ThreePlcsOneAfterAnotherEachUpdatedOnce) {
  TempDir dir;
  const Bytes image = Pattern(20000, 3);
  const std::string file = WriteImage(dir.path, "GH26_station.bin", image);
  const std::string record = dir.path + "/station.jsonl";
  usbplc::Testbed testbed;
  std::vector<std::unique_ptr<usbplc::UsbPlc>> plcs;
  plcs.push_back(std::make_unique<usbplc::UsbPlc>(testbed, Plc("GH26", "1")));
  Burn burn({"--watch", "--image", file, "--record", record, "--count", "3", "--json"});
  const auto seen = [&](const std::string& event, size_t i) {
    return burn.out().find("\"event\":\"" + event + "\",\"port\":\"usb:1-" + std::to_string(i + 1) +
                           "\"") != std::string::npos;
  };
  std::vector<Clock::time_point> unplugged(3), plugged(3, Clock::now());
  std::vector<bool> replugged(3, false), arrived(3, false), reconnected(3, false);
  std::vector<double> arrival, reconnect;  // seconds from the plug to the event
  const auto t0 = Clock::now();
  const int status = burn.wait(60, [&] {
    const size_t i = plcs.size() - 1;
    if (!arrived[i] && seen("arrival", i)) {
      arrived[i] = true;
      arrival.push_back(SecondsSince(plugged[i]));
    }
    if (replugged[i] && !reconnected[i] && seen("reconnect", i)) {
      reconnected[i] = true;
      reconnect.push_back(SecondsSince(plugged[i]));
    }
    if (!replugged[i] && unplugged[i] == Clock::time_point{} && seen("prompt", i)) {
      plcs[i]->unplug();
      unplugged[i] = Clock::now();
    } else if (!replugged[i] && unplugged[i] != Clock::time_point{} &&
               SecondsSince(unplugged[i]) > 0.5) {
      plcs[i]->plug();
      plugged[i] = Clock::now();
      replugged[i] = true;
    } else if (seen("outcome", i) && plcs.size() < 3) {
      if (i > 0) plcs[i]->unplug();  // the first one is left plugged in
      plcs.push_back(
          std::make_unique<usbplc::UsbPlc>(testbed, Plc("GH26", std::to_string(plcs.size() + 1))));
      plugged[i + 1] = Clock::now();
    }
  });
  for (size_t i = 0; i < arrival.size() && i < reconnect.size(); ++i)
    std::printf("  PLC %zu: its arrival seen %.3f s after its plug, its replug %.3f s after it\n",
                i + 1, arrival[i], reconnect[i]);
  const double wall = SecondsSince(t0);
  std::printf("  three PLCs in %.1f s wall, %.2f s CPU in quarn-burn\n", wall, burn.cpu());
  EXPECT_EQ(status, 0) << burn.out() << burn.err();
  ASSERT_EQ(plcs.size(), 3u) << burn.out() << burn.err();
  const Bytes recordBytes = ReadFile(record);
  const std::string records(recordBytes.begin(), recordBytes.end());
  EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 3) << records;
  for (size_t i = 0; i < plcs.size(); ++i) {
    const std::string port = "usb:1-" + std::to_string(i + 1);
    SCOPED_TRACE(port);
    EXPECT_TRUE(plcs[i]->flash() == Padded(image, 128)) << plcs[i]->flash().size() << " bytes";
    EXPECT_EQ(plcs[i]->requests(plcsim::Kind::Erase), 1);  // sent to its bootloader once
    EXPECT_NE(records.find("\"port\":\"" + port + "\",\"usb_path\":\"" + port + "\""),
              std::string::npos)
        << records;
  }
}

// An endpoint that stalled a reply stays halted until the host clears it:
// the pipe clears it once, the exchange's retry gets its answer, and the
// session finishes byte for byte.
TEST(UsbSession, AStalledReplyIsClearedAndTheSessionFinishes) {
  const struct {
    const char* name;
    plcsim::Kind kind;
    int at;
  } cases[] = {
      {"identity check in the application", plcsim::Kind::CheckId, 1},
      {"the third block", plcsim::Kind::Block, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const Bytes image = Pattern(20000, 3);
    usbplc::Testbed testbed;
    usbplc::Options o = Plc("GH26");
    o.stallKind = c.kind;
    o.stallAt = c.at;
    usbplc::UsbPlc plc(testbed, o);
    Burn burn({"--image", WriteImage(dir.path, "GH26_v1.0.bin", image), "--yes"});
    EXPECT_EQ(burn.wait(60), 0) << burn.err();
    EXPECT_EQ(burn.out(), std::string(kReplug) + kSuccess);
    EXPECT_EQ(plc.haltsCleared(), 1);
    EXPECT_TRUE(plc.flash() == Padded(image, 128)) << plc.flash().size() << " bytes in the flash";
  }
}

// Sessions that cannot open the PLC: at once, with the hint when the system
// refused access; the link tells why (seen in this process, where the
// system refuses nothing).
TEST(UsbSession, CannotOpen) {
  const std::string hint =
      "quarn-burn: this user may not open the USB PLC; install the udev rule 60-quarn-plc.rules";
  struct Case {
    const char* name;
    bool plcPresent, foreignNode, held;
    std::vector<std::string> args, prefix;
    bool hinted;
    const char* why;  // PosixLink::error's words in this process; nullptr: not looked at
  };
  const Case cases[] = {
      {"no PLC", false, false, false, {}, {}, false, "no such port"},
      {"a PLC on another path",
       true,
       false,
       false,
       {"--port", "usb:1-4"},
       {},
       false,
       "no such port"},
      {"held by another program", true, false, true, {}, {}, false, "in use by another program"},
      {"access refused",
       true,
       true,
       false,
       {},
       {"setpriv", "--bounding-set=-dac_override,-dac_read_search"},
       true,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    usbplc::Testbed testbed;
    std::unique_ptr<usbplc::UsbPlc> plc;
    if (c.plcPresent) {
      usbplc::Options o = Plc("VN300");
      o.foreignNode = c.foreignNode;
      plc = std::make_unique<usbplc::UsbPlc>(testbed, o);
    }
    quarn::PosixLink holder;
    ASSERT_EQ(c.held, c.held && holder.open({quarn::Endpoint::Kind::UsbPlc, ""}));
    std::vector<std::string> args = c.args;
    args.push_back("--yes");
    auto t0 = Clock::now();
    Burn burn(args, c.prefix);
    EXPECT_EQ(burn.wait(20), 1) << burn.err();
    EXPECT_LT(SecondsSince(t0), 2.0);
    EXPECT_EQ(burn.out(), "");
    EXPECT_NE(burn.err().find("ERROR: CANNOT open USB Port!!!\n"), std::string::npos) << burn.err();
    EXPECT_EQ(burn.err().find(hint) != std::string::npos, c.hinted) << burn.err();
    if (plc) {
      EXPECT_EQ(plc->requests(plcsim::Kind::Wake), 0);
    }
    // Why this process cannot open it, asked while the holder still holds it.
    if (c.why != nullptr) {
      quarn::PosixLink link;
      EXPECT_FALSE(
          link.open({quarn::Endpoint::Kind::UsbPlc, c.args.empty() ? "" : c.args[1].c_str()}));
      EXPECT_EQ(link.error().words, c.why);
    }
  }
}

// The serial ports as sysfs describes them: a USB adapter (ttyUSB0 behind
// its interface, with a /dev/serial/by-id name), a USB modem (ttyACM0), an
// on-board UART (ttyS0) and a UART the kernel only could have (ttyS1).
// --list-ports describes each, as text and as JSON; a serial model without
// --port refuses to guess between the two adapters and lists the ports.
TEST(UsbPorts, DescribedFromSysfs) {
  UMockdevTestbed* tb = umockdev_testbed_new();
  {
    Burn none({"--list-ports"});
    EXPECT_EQ(none.wait(10), 0);
    EXPECT_EQ(none.out() + none.err(), "quarn-burn: no port found\n");
  }
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb2";
  const std::string records[] = {
      "P: " + usb +
          "/2-1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=0403\\n\n"
          "A: idProduct=6001\\n\nA: manufacturer=FTDI\\n\nA: product=FT232R USB UART\\n\n"
          "A: serial=A10K3XYZ\\n\n",
      "P: " + usb + "/2-1/2-1:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n",
      "P: " + usb + "/2-1/2-1:1.0/ttyUSB0\nE: SUBSYSTEM=usb-serial\n",
      "P: " + usb +
          "/2-1/2-1:1.0/ttyUSB0/tty/ttyUSB0\nN: ttyUSB0\n"
          "S: serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0\nE: SUBSYSTEM=tty\n"
          "E: MAJOR=188\nE: MINOR=0\nA: dev=188:0\\n\nL: device=../../../ttyUSB0\n",
      "P: " + usb +
          "/2-2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=2341\\n\n"
          "A: idProduct=0043\\n\nA: manufacturer=Arduino\\n\n",
      "P: " + usb + "/2-2/2-2:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n",
      "P: " + usb +
          "/2-2/2-2:1.0/tty/ttyACM0\nN: ttyACM0\nE: SUBSYSTEM=tty\nE: MAJOR=166\n"
          "E: MINOR=0\nA: dev=166:0\\n\nL: device=../../../2-2:1.0\n",
      "P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\n",
      "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: MAJOR=4\n"
      "E: MINOR=64\nA: dev=4:64\\n\nA: type=4\\n\nL: device=../../../serial8250\n",
      "P: /devices/platform/serial8250/tty/ttyS1\nN: ttyS1\nE: SUBSYSTEM=tty\nE: MAJOR=4\n"
      "E: MINOR=65\nA: dev=4:65\\n\nA: type=0\\n\nL: device=../../../serial8250\n",
  };
  for (const std::string& r : records) {
    GError* err = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(tb, r.c_str(), &err)) << (err ? err->message : r);
  }
  TempDir dir;
  const std::string image = WriteImage(dir.path, "TB2_x.bin", Pattern(8192));
  const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string shown;  // all of stdout (status 0), or of stderr
  };
  const Case cases[] = {
      {{"--list-ports"},
       0,
       "/dev/ttyACM0  USB serial adapter 2341:0043 Arduino\n"
       "/dev/ttyS0    serial port\n"
       "/dev/ttyUSB0  USB serial adapter 0403:6001 FTDI FT232R USB UART, serial A10K3XYZ, " +
           byId + "\n"},
      {{"--image", image, "--yes"},
       2,
       "quarn-burn: no --port given and several USB serial adapters found; name one with --port:\n"
       "  /dev/ttyACM0  USB serial adapter 2341:0043 Arduino\n"
       "  /dev/ttyS0  serial port\n"
       "  /dev/ttyUSB0  USB serial adapter 0403:6001 FTDI FT232R USB UART, serial A10K3XYZ, " +
           byId +
           "\n"
           "Try 'quarn-burn --help'.\n"},
  };
  for (const Case& c : cases) {
    Burn burn(c.args);
    EXPECT_EQ(burn.wait(10), c.status) << burn.err();
    EXPECT_EQ(c.status == 0 ? burn.out() : burn.err(), c.shown);
  }
  Burn json({"--list-ports", "--json"});
  ASSERT_EQ(json.wait(10), 0) << json.err();
  const std::string j = json.out();
  for (const char* field :
       {"\"name\": \"/dev/ttyUSB0\"", "\"usb_adapter\": true", "\"vendor_id\": \"0403\"",
        "\"product_id\": \"6001\"", "\"serial\": \"A10K3XYZ\"", "\"usb_plcs\": []"})
    EXPECT_NE(j.find(field), std::string::npos) << field << "\n" << j;
  EXPECT_NE(j.find("\"by_id\": \"" + byId + "\""), std::string::npos) << j;
  g_object_unref(tb);
}

}  // namespace

int main(int argc, char** argv) {
  usbplc::RunUnderPreload(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
