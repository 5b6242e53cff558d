// usbplc-run: one emulated USB PLC, and a program (quarn-burn) run against it
// as a child under umockdev's preload, so a person can watch an update go
// through libusb. Tells on stderr what the device does.
//
//   usbplc-run --model NAME [--pace] [--flash-out FILE] -- PROGRAM [ARGS...]
//
// --pace: every transfer takes a full-speed frame (1 ms) and the PLC its own
// times to erase, program and restart, as a real one does.
//
// Exits with the program's status (2 for a usage error here).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "usb_plc.h"

int main(int argc, char** argv) {
  usbplc::RunUnderPreload(argv);
  usbplc::Options o;
  std::string flashOut;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
      o.plc.model = argv[++i];
    } else if (std::strcmp(argv[i], "--pace") == 0) {
      o.transferUs = 1000;
    } else if (std::strcmp(argv[i], "--flash-out") == 0 && i + 1 < argc) {
      flashOut = argv[++i];
    } else {
      std::fprintf(
          stderr,
          "usage: usbplc-run --model NAME [--pace] [--flash-out FILE] -- PROGRAM [ARGS...]\n");
      return 2;
    }
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usbplc-run: no program to run\n");
    return 2;
  }
  char** program = argv + i + 1;

  usbplc::Testbed testbed;
  usbplc::UsbPlc plc(testbed, o);
  std::fprintf(
      stderr,
      "usbplc-run: emulated %s PLC on USB port %s, bus %03d device %03d, in its application\n",
      o.plc.model.c_str(), plc.path().c_str(), o.bus, plc.devnum());

  // The child inherits the preload and the testbed's environment.
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(program[0], program);
    std::perror("usbplc-run: exec");
    _exit(127);
  }
  signal(SIGINT, SIG_IGN);  // Ctrl-C ends the child; the testbed is cleaned up after it
  int status = 0, restarts = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (plc.restarts() != restarts) {
      restarts = plc.restarts();
      std::fprintf(
          stderr,
          "usbplc-run: the PLC restarted: USB port %s, bus %03d device %03d, in its bootloader\n",
          plc.path().c_str(), o.bus, plc.devnum());
    }
  }
  const std::vector<uint8_t> flash = plc.flash();
  std::fprintf(stderr, "usbplc-run: %zu bytes in the PLC's flash\n", flash.size());
  if (!flashOut.empty()) {
    std::ofstream f(flashOut, std::ios::binary);
    f.write(reinterpret_cast<const char*>(flash.data()),
            static_cast<std::streamsize>(flash.size()));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
