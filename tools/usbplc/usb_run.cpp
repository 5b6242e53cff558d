// usbplc-run: one emulated USB PLC, and a program (quarn-burn) run against it
// as a child under umockdev's preload, so a person can watch an update go
// through libusb. Tells on stderr what the device does.
//
//   usbplc-run --model NAME [--pace] [--flash-out FILE] [--port PORTS]
//              [--at SECONDS:EVENT]... [--control FIFO] -- PROGRAM [ARGS...]
//   usbplc-run --help
//
// --pace: every transfer takes a full-speed frame (1 ms) and the PLC its own
// times to erase, program and restart, as a real one does.
// --port PORTS: the PLC's place on bus 1, a chain of port numbers ("1",
// "2.3"; the hubs on the way are made); default 1.
// --at SECONDS:EVENT: the event that many seconds (decimals allowed) after
// the start (repeatable). EVENT is "unplug" (the cable pulled: the device
// leaves the bus), "plug" (the cable back in at its place: the PLC powers up
// again under a new device number) or "plug:PORTS" (back in at that place).
// --control FIFO: the same events, one a line, from FIFO (made when it does
// not exist), while the program runs.
//
// Exits with the program's status (2 for a usage error here).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usb_plc.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: usbplc-run --model NAME [--pace] [--flash-out FILE] [--port PORTS]\n"
    "                  [--at SECONDS:EVENT]... [--control FIFO] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM against one emulated USB PLC on bus 1 and tells what the device does.\n"
    "  --model NAME         the PLC's catalogue model\n"
    "  --pace               every transfer takes a full-speed frame, the PLC its own times\n"
    "  --flash-out FILE     the PLC's flash into FILE when PROGRAM has ended\n"
    "  --port PORTS         its place, port numbers from the root hub (\"1\", \"2.3\"; hubs\n"
    "                       on the way are made); default 1\n"
    "  --at SECONDS:EVENT   EVENT that many seconds after the start (repeatable):\n"
    "                       unplug       the cable pulled: the device leaves the bus\n"
    "                       plug         the cable back in at its place: the PLC powers\n"
    "                                    up again under a new device number\n"
    "                       plug:PORTS   the cable back in at another place\n"
    "  --control FIFO       the same events, one a line, from FIFO (made when it does not\n"
    "                       exist) while PROGRAM runs\n"
    "Exits with PROGRAM's status.\n";

// A chain of 1 to 6 port numbers from 1 to 15, dot-separated.
bool ValidPorts(const std::string& ports) {
  int count = 0;
  for (size_t at = 0; at <= ports.size(); ++count) {
    const size_t dot = std::min(ports.find('.', at), ports.size());
    const std::string n = ports.substr(at, dot - at);
    if (n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(n) < 1 || std::stoi(n) > 15)
      return false;
    at = dot + 1;
  }
  return count <= 6;
}

struct Event {
  double at = 0;      // seconds from the start (--at)
  bool plug = false;  // else unplug
  std::string ports;  // where it is plugged in; "": where it was
};

// "unplug", "plug" or "plug:PORTS" (a blank serves as the colon).
bool ParseEvent(std::string text, Event& e) {
  std::replace(text.begin(), text.end(), ' ', ':');
  const size_t colon = text.find(':');
  const std::string word = text.substr(0, colon);
  e.plug = word == "plug";
  e.ports = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (word == "unplug") return colon == std::string::npos;
  return e.plug && (e.ports.empty() ? colon == std::string::npos : ValidPorts(e.ports));
}

bool ParseTimed(const std::string& text, Event& e) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  char* end = nullptr;
  const std::string seconds = text.substr(0, colon);
  e.at = std::strtod(seconds.c_str(), &end);
  return !seconds.empty() && *end == '\0' && e.at >= 0 && e.at <= 86400 &&
         ParseEvent(text.substr(colon + 1), e);
}

// The emulated PLC and the hubs made for the places it goes to.
struct Station {
  usbplc::Testbed testbed;
  std::set<std::string> hubs;
  std::unique_ptr<usbplc::UsbPlc> plc;

  // The hubs on the way to PORTS ("2" and "2.3" for "2.3.1").
  void hubsFor(const std::string& ports) {
    for (size_t dot = ports.find('.'); dot != std::string::npos; dot = ports.find('.', dot + 1))
      if (hubs.insert(ports.substr(0, dot)).second) testbed.addHub(1, ports.substr(0, dot));
  }

  void apply(const Event& e) {
    if (!e.plug) {
      plc->unplug();
      std::fprintf(stderr, "usbplc-run: the PLC is unplugged from USB port %s\n",
                   plc->path().c_str());
      return;
    }
    hubsFor(e.ports);
    plc->plug(e.ports);
    std::fprintf(stderr, "usbplc-run: the PLC is plugged in: USB port %s, bus 001 device %03d\n",
                 plc->path().c_str(), plc->devnum());
  }
};

// --control: a FIFO made (or found) at path and opened without blocking; -1
// when it cannot be.
int OpenControl(const std::string& path) {
  struct stat st {};
  if (mkfifo(path.c_str(), 0600) != 0 &&
      (errno != EEXIST || stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)))
    return -1;
  return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// The events that have come on the FIFO, line by line; a line longer than
// any event is dropped whole.
void ReadControl(int fd, std::string& line, Station& station) {
  char buf[256];
  const ssize_t n = fd < 0 ? 0 : read(fd, buf, sizeof buf);
  for (ssize_t i = 0; i < n; ++i) {
    if (buf[i] != '\n') {
      if (line.size() <= 32) line += buf[i];
      continue;
    }
    Event e;
    if (ParseEvent(line, e))
      station.apply(e);
    else
      std::fprintf(stderr, "usbplc-run: no such event \"%.32s\" (%s)\n", line.c_str(),
                   "unplug, plug or plug:PORTS");
    line.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  usbplc::RunUnderPreload(argv);
  usbplc::Options o;
  std::string flashOut, controlPath;
  std::vector<Event> events;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    Event e;
    if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
      o.plc.model = argv[++i];
    } else if (std::strcmp(argv[i], "--pace") == 0) {
      o.transferUs = 1000;
    } else if (std::strcmp(argv[i], "--flash-out") == 0 && i + 1 < argc) {
      flashOut = argv[++i];
    } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc && ValidPorts(argv[i + 1])) {
      o.ports = argv[++i];
    } else if (std::strcmp(argv[i], "--at") == 0 && i + 1 < argc && ParseTimed(argv[i + 1], e)) {
      events.push_back(e);
      ++i;
    } else if (std::strcmp(argv[i], "--control") == 0 && i + 1 < argc) {
      controlPath = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usbplc-run: no program to run\n");
    return 2;
  }
  char** program = argv + i + 1;
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.at < b.at; });
  const int control = controlPath.empty() ? -1 : OpenControl(controlPath);
  if (!controlPath.empty() && control < 0) {
    std::fprintf(stderr, "usbplc-run: cannot make the FIFO %s: %s\n", controlPath.c_str(),
                 std::strerror(errno));
    return 2;
  }

  Station station;
  station.hubsFor(o.ports);
  station.plc = std::make_unique<usbplc::UsbPlc>(station.testbed, o);
  usbplc::UsbPlc& plc = *station.plc;
  std::fprintf(
      stderr,
      "usbplc-run: emulated %s PLC on USB port %s, bus %03d device %03d, in its application\n",
      o.plc.model.c_str(), plc.path().c_str(), o.bus, plc.devnum());

  // The child inherits the preload and the testbed's environment.
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(program[0], program);
    std::perror("usbplc-run: exec");
    _exit(127);
  }
  signal(SIGINT, SIG_IGN);  // Ctrl-C ends the child; the testbed is cleaned up after it
  int status = 0, restarts = 0;
  size_t done = 0;  // events taken
  std::string line;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double now = std::chrono::duration<double>(Clock::now() - t0).count();
    for (; done < events.size() && events[done].at <= now; ++done) station.apply(events[done]);
    ReadControl(control, line, station);
    if (plc.restarts() != restarts) {
      restarts = plc.restarts();
      std::fprintf(
          stderr,
          "usbplc-run: the PLC restarted: USB port %s, bus %03d device %03d, in its bootloader\n",
          plc.path().c_str(), o.bus, plc.devnum());
    }
  }
  if (control >= 0) close(control);
  const std::vector<uint8_t> flash = plc.flash();
  std::fprintf(stderr, "usbplc-run: %zu bytes in the PLC's flash\n", flash.size());
  if (!flashOut.empty()) {
    std::ofstream f(flashOut, std::ios::binary);
    f.write(reinterpret_cast<const char*>(flash.data()),
            static_cast<std::streamsize>(flash.size()));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
