// winusbplc.exe: installs the emulated USB PLC bus (winusbplc.sys with
// plcdev.dll) into the running Wine prefix and controls its devices.
//
//   winusbplc install                 the bus, from the folder of this program
//   winusbplc plug N MODEL [boot] [dNNNN=V]...   a new PLC of MODEL on port
//                                     N (1 to 8), in its application (or its
//                                     bootloader), with register values
//                                     (d1386, d1001, d1148; by default those of the model)
//   winusbplc unplug N                the cable pulled
//   winusbplc replug N [M]            the cable back in: the PLC powers up again,
//                                     at port N, or at port M (free: no PLC
//                                     there), where it then is device M
//   winusbplc fault N KIND:ACT[:TIMES[:ARG1[:ARG2]]]   a fault, as plcsim --fault
//   winusbplc drop N KIND:COUNT       the cable is pulled as the COUNT-th
//                                     request of KIND (as plcsim --fault) arrives
//   winusbplc hang N [KIND:COUNT|off] reads on the device never complete
//                                     (from the COUNT-th request of KIND on)
//   winusbplc flash N FILE            the PLC's flash into FILE
//   winusbplc log N FILE              the requests it took, by kind, into FILE
//   winusbplc status                  the devices, one line each
//   winusbplc keep                    stays until killed: Wine ends the driver,
//                                     and the devices with it, when the last
//                                     program of the prefix has ended
//   winusbplc --help                  these commands
//
// Prints the bus's answer; exits 0 when it is not an error.
#include <windows.h>
// after windows.h
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "plcdev.h"

namespace {

const char kHardwareId[] = "ROOT\\WINUSBPLC\0";

const char kInf[] =
    "[Version]\n"
    "Signature=\"$Chicago$\"\n"
    "Class=System\n"
    "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\n"
    "[Manufacturer]\n"
    "Quarn=models,NTamd64\n"
    "[models.NTamd64]\n"
    "Emulated USB PLC bus=bus_install,ROOT\\WINUSBPLC\n"
    "[bus_install.NTamd64]\n"
    "CopyFiles=driver_files,dll_files\n"
    "[bus_install.NTamd64.Services]\n"
    "AddService=winusbplc,0x2,bus_service\n"
    "[driver_files]\n"
    "winusbplc.sys\n"
    "[dll_files]\n"
    "plcdev.dll\n"
    "[SourceDisksNames]\n"
    "1=,winusbplc.sys\n"
    "[SourceDisksFiles]\n"
    "winusbplc.sys=1\n"
    "plcdev.dll=1\n"
    "[DestinationDirs]\n"
    "driver_files=12\n"
    "dll_files=11\n"
    "[bus_service]\n"
    "ServiceBinary=%12%\\winusbplc.sys\n"
    "ServiceType=1\n"
    "StartType=3\n"
    "ErrorControl=1\n";

const char kUsage[] =
    "usage: winusbplc COMMAND   (the emulated USB PLC bus in the running Wine prefix)\n"
    "  install                        the bus, from the folder of this program\n"
    "  plug N MODEL [boot] [dNNNN=V]  a new PLC of MODEL on port N (1 to 8), in its\n"
    "                                 application (or bootloader), with register values\n"
    "  unplug N                       the cable pulled: the device leaves the bus\n"
    "  replug N [M]                   the cable back in: the PLC powers up again, at\n"
    "                                 port N, or at port M (no PLC there), as device M\n"
    "  fault N KIND:ACT[:TIMES[:ARG1[:ARG2]]]   a fault, as plcsim --fault\n"
    "  drop N KIND:COUNT              the cable is pulled as the COUNT-th request of KIND arrives\n"
    "  hang N [KIND:COUNT|off]        reads never complete (from that request on)\n"
    "  flash N FILE | log N FILE      the PLC's flash, or the requests it took, into FILE\n"
    "  status                         the devices, one line each\n"
    "  keep                           stays until killed, holding the prefix (and the bus) up\n";

int Fail(const char* what) {
  std::fprintf(stderr, "winusbplc: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

int Install() {
  char dir[MAX_PATH];
  DWORD len = GetModuleFileNameA(nullptr, dir, MAX_PATH);
  if (len == 0 || len >= MAX_PATH) return Fail("GetModuleFileName");
  char* slash = std::strrchr(dir, '\\');
  if (!slash) return Fail("finding this program's folder");
  *slash = '\0';
  std::string inf = std::string(dir) + "\\winusbplc.inf";
  FILE* f = std::fopen(inf.c_str(), "wb");
  if (!f || std::fwrite(kInf, 1, sizeof kInf - 1, f) != sizeof kInf - 1 || std::fclose(f) != 0)
    return Fail("writing winusbplc.inf");

  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  const GUID system = {
      0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  bool ok =
      SetupDiCreateDeviceInfoA(set, "ROOT\\WINUSBPLC\\0000", &system, nullptr, nullptr, 0, &dev) &&
      SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID,
                                        reinterpret_cast<const BYTE*>(kHardwareId),
                                        sizeof kHardwareId) &&
      SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev);
  SetupDiDestroyDeviceInfoList(set);
  if (!ok && GetLastError() != ERROR_DEVINST_ALREADY_EXISTS)
    return Fail("registering the bus device");
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, "ROOT\\WINUSBPLC", inf.c_str(),
                                          INSTALLFLAG_FORCE, &reboot))
    return Fail("UpdateDriverForPlugAndPlayDevices");
  std::printf("ok\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "install") == 0) return Install();
  if (std::strcmp(argv[1], "keep") == 0) {
    for (;;) Sleep(INFINITE);
  }

  std::string command;
  for (int i = 1; i < argc; ++i) command += std::string(i > 1 ? " " : "") + argv[i];
  if (command.size() >= PLCDEV_TEXT) {
    std::fprintf(stderr, "winusbplc: command too long\n");
    return 2;
  }
  HANDLE bus = CreateFileW(L"\\\\.\\" PLCDEV_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) return Fail("opening the bus (is it installed?)");
  char answer[PLCDEV_TEXT] = {};
  DWORD got = 0;
  BOOL ok = DeviceIoControl(bus, PLCDEV_IOCTL_COMMAND, command.data(),
                            static_cast<DWORD>(command.size() + 1), answer, sizeof answer - 1, &got,
                            nullptr);
  CloseHandle(bus);
  if (!ok) return Fail("the command");
  std::printf("%s\n", answer);
  return std::strncmp(answer, "error", 5) == 0 ? 1 : 0;
}
