// The POSIX link against a real pseudo-terminal, the test playing the PLC on
// the master side; the port listing over a made-up /dev and sysfs; the choice
// of the PLC among the USB devices.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/posix/posix_internal.h"
#include "link/posix/posix_link.h"

namespace fs = std::filesystem;
using namespace std::string_literals;
using quarn::Endpoint;
using quarn::LinkError;
using quarn::PosixLink;

namespace {

// What the program asks of modem lines, as its ioctl calls pass through
// __wrap_ioctl (linked with --wrap=ioctl) on their way to the system.
struct ModemRequest {
  unsigned long request;  // TIOCMBIS, TIOCMBIC or TIOCMSET
  int lines;
};
std::vector<ModemRequest> gModemRequests;
// A port that takes low-latency mode, as a USB-serial adapter does: while
// gSerialFlags >= 0, TIOCGSERIAL reports these flags and TIOCSSERIAL keeps
// what it is given. Otherwise both reach the system (a pseudo-terminal
// refuses them).
int gSerialFlags = -1;

}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);  // every request here takes one pointer, or none
  va_end(ap);
  if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET)
    gModemRequests.push_back({request, *static_cast<const int*>(arg)});
  if (gSerialFlags >= 0 && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
    auto* s = static_cast<serial_struct*>(arg);
    if (request == TIOCGSERIAL) {
      *s = serial_struct{};
      s->flags = gSerialFlags;
    } else {
      gSerialFlags = s->flags;
    }
    return 0;
  }
  return __real_ioctl(fd, request, arg);
}

namespace {

Endpoint Serial(const std::string& name) { return {Endpoint::Kind::SerialPort, name.c_str()}; }

int64_t MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0)
      .count();
}

// `master` is the PLC's end, `slave` the port's name, `watch` a descriptor of
// the port opened before the link, through which the test sees its settings.
struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK), watch = -1;
  std::string slave;
  Pty() {
    char name[128] = {};
    if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, name, sizeof name))
      return;
    slave = name;
    watch = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~Pty() {
    ::close(watch);
    ::close(master);
  }
  std::string drain(size_t n) {
    std::string got;
    char b[4096];
    for (auto t0 = std::chrono::steady_clock::now(); got.size() < n && MsSince(t0) < 2000;) {
      ssize_t k = ::read(master, b, sizeof b);
      if (k > 0)
        got.append(b, static_cast<size_t>(k));
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
  }
};

class PtyLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pty.watch, 0) << "no pseudo-terminal";
    ASSERT_TRUE(link.open(Serial(pty.slave)));
  }
  Pty pty;
  PosixLink link;
};

TEST_F(PtyLink, ReadEndsWhenAllBytesArriveOrAtTheTimeOut) {
  struct Case {
    const char* name;
    int delayMs;        // the PLC answers after this long
    std::string reply;  // what the PLC sends
    int ask;            // bytes the read asks for
    uint32_t timeoutMs;
    int expect, minMs, maxMs;
  } cases[] = {
      {"complete reply", 0, "\x06\x30\x00"s, 3, 2000, 3, 0, 500},
      {"late but complete", 60, "\x06\x30\x00"s, 3, 2000, 3, 40, 1000},
      {"one byte short", 0, "\x06\x30", 3, 150, 2, 130, 1000},
      {"silent PLC", 0, "", 1, 1000, 0, 950, 1700},  // not twice the time-out
      {"longer than asked", 0, ":00030200017A\r\n", 5, 2000, 5, 0, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link.setTimeouts(c.timeoutMs);
    std::thread plc([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
      EXPECT_EQ(::write(pty.master, c.reply.data(), c.reply.size()),
                static_cast<ssize_t>(c.reply.size()));
    });
    if (c.delayMs == 0) plc.join();
    uint8_t buf[64] = {};
    auto t0 = std::chrono::steady_clock::now();
    int n = link.read(buf, c.ask);
    int64_t ms = MsSince(t0);
    if (plc.joinable()) plc.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), c.reply.substr(0, c.expect));
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
    int rest = static_cast<int>(c.reply.size()) - n;  // stays for the next read
    if (rest > 0) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), link.read(buf, rest)), c.reply.substr(n));
    }
  }
}

// Late answers waiting in the port are thrown away; what comes after is read.
TEST_F(PtyLink, DiscardedInputIsNotReadLater) {
  link.setTimeouts(1000);
  ASSERT_EQ(::write(pty.master, "\x06\x06", 2), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  link.drainInput();
  ASSERT_EQ(::write(pty.master, "\x15", 1), 1);
  uint8_t buf[2] = {};
  EXPECT_EQ(link.read(buf, 2), 1);
  EXPECT_EQ(buf[0], 0x15);
}

// A time-out is no failure; a transfer on a port whose other end went away
// (the pseudo-terminal's master closed, as a USB adapter unplugged) is "gone".
TEST(PosixLinkGone, ATransferOnAPortThatWentAwaySaysSo) {
  for (bool writing : {false, true}) {
    SCOPED_TRACE(writing ? "write" : "read");
    Pty pty;
    ASSERT_GE(pty.watch, 0);
    PosixLink link;
    ASSERT_TRUE(link.open(Serial(pty.slave)));
    link.setTimeouts(100);
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(link.read(buf, 4), 0);
    EXPECT_EQ(link.error().kind, LinkError::Kind::None);
    ::close(pty.master);
    pty.master = -1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(writing ? link.write(buf, 4) : link.read(buf, 4), 0);
    EXPECT_LT(MsSince(t0), 90);  // at once, not at the time-out
    EXPECT_EQ(link.error().kind, LinkError::Kind::Gone);
  }
}

TEST_F(PtyLink, WritesCountWhatReachedThePlc) {
  link.setTimeouts(1000);
  for (int n : {1, 6, 133, 261}) {
    std::string frame(n, '\0');
    for (int i = 0; i < n; ++i) frame[i] = static_cast<char>(i * 7 + n);
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(frame.data()), n), n);
    EXPECT_EQ(pty.drain(n), frame);
  }
  // A PLC that takes nothing: the write gives up at its time-out, short.
  link.setTimeouts(100);
  std::vector<uint8_t> big(1 << 20, 0x55);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_LT(link.write(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
  EXPECT_GE(MsSince(t0), 90);
  EXPECT_LE(MsSince(t0), 1500);
}

// A pseudo-terminal keeps the speed but forces 8 data bits without parity,
// so the character format is checked on the settings themselves below. It
// has no modem lines either: that DTR and RTS are held inactive is seen in
// what the link asks of them.
TEST_F(PtyLink, LineSettingsReachThePort) {
  termios t{};
  ASSERT_EQ(tcgetattr(pty.watch, &t), 0);
  t.c_cflag |= CRTSCTS;  // flow control as the port had it stays
  ASSERT_EQ(tcsetattr(pty.watch, TCSANOW, &t), 0);
  for (auto [line, speed] : {std::pair{quarn::kAppLine, speed_t{B9600}},
                             std::pair{quarn::kTransferLine, speed_t{B115200}}}) {
    gModemRequests.clear();
    link.setLine(line);
    ASSERT_EQ(gModemRequests.size(), 1u);
    EXPECT_EQ(gModemRequests[0].request, static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(gModemRequests[0].lines, TIOCM_DTR | TIOCM_RTS);
    ASSERT_EQ(tcgetattr(pty.watch, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed);
    EXPECT_EQ(cfgetispeed(&t), speed);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CRTSCTS), CLOCAL | CREAD | CRTSCTS);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  }
  // The same port opened as a pipe path takes no line settings.
  link.close();
  PosixLink pipe;
  ASSERT_TRUE(pipe.open({Endpoint::Kind::UsbPlc, pty.slave.c_str()}));
  gModemRequests.clear();
  pipe.setLine(quarn::kAppLine);
  ASSERT_EQ(tcgetattr(pty.watch, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});
  EXPECT_TRUE(gModemRequests.empty());
}

TEST(LineSettings, OnlyFormatAndSpeedChange) {
  termios read{};
  cfsetispeed(&read, B38400);
  cfsetospeed(&read, B38400);
  read.c_cflag |= CS6 | PARODD | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD;
  read.c_iflag = IXON;
  struct Case {
    quarn::LineSettings line;
    speed_t speed;
    tcflag_t format;  // CSIZE, PARENB, PARODD and CSTOPB after the change
  } cases[] = {
      {quarn::kAppLine, B9600, CS7 | PARENB},
      {quarn::kTransferLine, B115200, CS8},
      {{57600, 8, 1}, B57600, CS8 | PARENB | PARODD},
      {{12345, 7, 0}, B38400, CS7},  // not a rate of ours: the speed stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.baud);
    termios t = read;
    quarn::ApplyLine(t, c.line);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.format);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL | CLOCAL | CREAD), CRTSCTS | HUPCL | CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag, tcflag_t{IXON});
  }
}

// A port that another program left with flow control on: the link clears
// it at open, so that an exchange with the flow-control characters in it
// goes through both ways; a port that takes low-latency mode is put in it,
// its other flags kept.
TEST(PosixLinkOpen, FlowControlLeftOnIsClearedAndLowLatencyAsked) {
  struct Case {
    const char* stty;  // what the other program left
    int serialFlags;   // the port's serial flags; -1: it refuses them (a pseudo-terminal)
    int flagsOpen;     // its serial flags while the link has it
  } cases[] = {
      {"crtscts ixoff ixany", -1, -1},
      {"crtscts ixon ixoff ixany -clocal", ASYNC_SKIP_TEST, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stty);
    Pty pty;
    ASSERT_GE(pty.watch, 0);
    ASSERT_EQ(std::system(("stty -F " + pty.slave + " " + c.stty).c_str()), 0);
    gSerialFlags = c.serialFlags;
    PosixLink link;
    ASSERT_TRUE(link.open(Serial(pty.slave)));
    EXPECT_EQ(gSerialFlags, c.flagsOpen);
    gSerialFlags = -1;
    termios t{};
    ASSERT_EQ(tcgetattr(pty.watch, &t), 0);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    link.setTimeouts(1000);
    const std::string request = "\x02\x13\x11\x13", reply = "\x13\x06\x11";
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(request.data()), 4), 4);
    EXPECT_EQ(pty.drain(request.size()), request);
    ASSERT_EQ(::write(pty.master, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    uint8_t buf[8] = {};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), link.read(buf, 3)), reply);
  }
}

TEST(PosixLinkOpen, APortHeldElsewhereDoesNotOpen) {
  enum Holder { kLink, kLock, kExclusive };
  for (Holder h : {kLink, kLock, kExclusive}) {
    SCOPED_TRACE(h);
    Pty pty;
    ASSERT_GE(pty.watch, 0);
    PosixLink holder, second;
    // Another link, another program's lock, another program's exclusive mode.
    int held = h == kLink   ? !holder.open(Serial(pty.slave))
               : h == kLock ? flock(pty.watch, LOCK_EX | LOCK_NB)
                            : ioctl(pty.watch, TIOCEXCL);
    ASSERT_EQ(held, 0);
    EXPECT_FALSE(second.open(Serial(pty.slave)));
    EXPECT_EQ(second.error().words, "in use by another program");
    EXPECT_EQ(second.error().kind, LinkError::Kind::Busy);
    holder.close();
    flock(pty.watch, LOCK_UN);
    ioctl(pty.watch, TIOCNXCL);
    EXPECT_TRUE(second.open(Serial(pty.slave)));
    EXPECT_EQ(second.error().kind, LinkError::Kind::None);
  }
}

TEST(PosixLinkOpen, AFailedOpenLeavesAnInertLink) {
  fs::path dir = fs::temp_directory_path() / ("posix_link_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "file") << "not a port";
  std::string longName = "/dev/" + std::string(5000, 'x'), file = (dir / "file").string();
  const std::string noSuch = "no such port", notSerial = "not a serial port";
  constexpr auto kNoSuch = LinkError::Kind::NoSuchPort, kNotSerial = LinkError::Kind::NotSerial;
  const struct {
    const char* name;
    std::string why;
    LinkError::Kind kind;
  } names[] = {
      {"", noSuch, kNoSuch},
      {nullptr, noSuch, kNoSuch},
      {"/dev/does-not-exist", noSuch, kNoSuch},
      {"/dev/null", notSerial, kNotSerial},
      {longName.c_str(), noSuch, kNoSuch},
      {file.c_str(), notSerial, kNotSerial},
      {dir.c_str(), notSerial, kNotSerial},
  };
  for (auto [name, why, kind] : names) {
    SCOPED_TRACE(name ? name : "(null)");
    PosixLink link;
    EXPECT_FALSE(link.open({Endpoint::Kind::SerialPort, name}));
    EXPECT_EQ(link.error().words, why);
    EXPECT_EQ(link.error().kind, kind);
    EXPECT_NE(link.error().code, 0);
    link.setTimeouts(1000);
    link.setLine(quarn::kAppLine);
    uint8_t buf[8] = {1, 2, 3};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link.write(buf, 3), 0);
    EXPECT_EQ(link.read(buf, 8), 0);
    EXPECT_LT(MsSince(t0), 50);
    link.close();
  }
  fs::remove_all(dir);
  PosixLink usb;  // no pipe path: the USB search, which finds no PLC here
  if (usb.open({Endpoint::Kind::UsbPlc, ""})) GTEST_SKIP() << "a PLC is attached to this machine";
  uint8_t buf[4] = {};
  EXPECT_EQ(usb.write(buf, 4) + usb.read(buf, 4), 0);
}

TEST(UsbSearch, TheFirstPlcThatOpensOnThePinnedPathIsUsed) {
  const quarn::UsbPortPath any{}, p1{1, 1, {1}}, p23{1, 2, {2, 3}}, p2{1, 1, {2}},
      bus2{2, 2, {2, 3}};
  const quarn::UsbIds plc{0x0e5a, 0x0001, p1}, plc23{0x0e5a, 0x0001, p23}, hub{0x1d6b, 0x0002, p2},
      sibling{0x0e5a, 0x0002, p23}, lookalike{0x0e5b, 0x0001, p1};
  struct Case {
    const char* name;
    std::vector<quarn::UsbIds> devices;
    quarn::UsbPortPath pin;
    std::vector<bool> opens;
    int expect;
    std::vector<size_t> tried;  // devices the search tried to open, in order
  } cases[] = {
      {"no devices", {}, any, {}, -1, {}},
      {"no PLC", {hub, sibling, lookalike}, any, {true, true, true}, -1, {}},
      {"PLC after a hub", {hub, plc}, any, {true, true}, 1, {1}},
      {"two PLCs: the lower index", {plc, hub, plc23}, any, {true, true, true}, 0, {0}},
      {"first PLC held by another program", {plc, hub, plc23}, any, {false, true, true}, 2, {0, 2}},
      {"the only PLC does not open", {hub, plc}, any, {true, false}, -1, {1}},
      {"pinned: the PLC on that path", {plc, hub, plc23}, p23, {true, true, true}, 2, {2}},
      {"pinned: another PLC is never tried", {plc, hub}, p23, {true, true}, -1, {}},
      {"pinned: same ports on another bus", {plc23}, bus2, {true}, -1, {}},
      {"pinned: a sibling on that path is no PLC", {sibling, plc23}, p23, {true, true}, 1, {1}},
      {"pinned: held elsewhere, no fallback", {plc23, plc}, p23, {false, true}, -1, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<size_t> tried;
    auto tryOpen = [&](size_t i) {
      tried.push_back(i);
      return static_cast<bool>(c.opens[i]);
    };
    EXPECT_EQ(quarn::FirstPlcDevice(c.devices, c.pin, tryOpen), c.expect);
    EXPECT_EQ(tried, c.tried);
  }
}

// A made-up /dev and /sys/class/tty; character devices are links to /dev/null.
TEST(SerialPorts, ListsPortsThatArePresent) {
  fs::path root = fs::temp_directory_path() / ("ports_" + std::to_string(getpid()));
  fs::path dev = root / "dev", sys = root / "sys";
  fs::create_directories(dev);
  struct Node {
    std::string name;
    bool charDevice;
    const char* uartType;  // sysfs port type; "" a device without one; nullptr no device
  } nodes[] = {
      {"ttyUSB0", true, nullptr},
      {"ttyUSB1", false, nullptr},
      {"ttyACM10", true, nullptr},
      {"ttyS0", true, "4\n"},
      {"ttyS1", true, "0\n"},
      {"ttyS2", true, nullptr},
      {"ttyS3", true, ""},
      {"ttyAMA0", true, nullptr},
      {"rfcomm0", true, nullptr},
      {"ttyStuff", true, nullptr},
      {"ttyUSB", true, nullptr},
      {"tty0", true, nullptr},
      {"ttyUSB" + std::string(40, '7'), true, nullptr},
  };
  for (const Node& n : nodes) {
    if (n.charDevice)
      fs::create_symlink("/dev/null", dev / n.name);
    else
      std::ofstream(dev / n.name) << "";
    if (n.uartType != nullptr) {
      fs::create_directories(sys / n.name / "device");
      if (*n.uartType) std::ofstream(sys / n.name / "type") << n.uartType;
    }
  }
  std::vector<std::string> want;
  for (const char* n : {"rfcomm0", "ttyACM10", "ttyAMA0", "ttyS0", "ttyUSB0"})
    want.push_back((dev / n).string());
  EXPECT_EQ(quarn::ListSerialPorts(dev.string(), sys.string()), want);
  // An active system console is marked, to be taken only when named.
  std::ofstream(sys / "ttyS0" / "console") << "Y\n";
  for (const quarn::PortInfo& p : quarn::DescribeSerialPorts(dev.string(), sys.string()))
    EXPECT_EQ(p.console, p.name == (dev / "ttyS0").string()) << p.name;
  EXPECT_TRUE(quarn::ListSerialPorts((root / "absent").string(), sys.string()).empty());
  fs::remove_all(root);
}

}  // namespace
