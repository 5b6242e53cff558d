// Port names cut from friendly names, the PLC's key in USB device paths, the
// pipe path bound, the first-match walk over a fake interface list and USB
// port paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/portname.h"

using namespace quarn;

TEST(PortName, CutFromFriendlyNames) {
  struct Case {
    std::string name;
    const char* port;
  };  // nullptr: skipped
  const Case cases[] = {
      {"Communications Port (COM1)", "COM1"},
      {"USB Serial Port (COM12)", "COM12"},
      {"Port (COM123456)", "COM123456"},  // 9 characters and the terminator fill the buffer
      {"Port (COM1234567)", nullptr},     // one more is refused, not cut
      {"Port (COM3) (extra)", "COM3"},    // closed by the first ")" after "(COM"
      {"Modem (2) (COM4)", "COM4"},       // a ")" before "(COM" does not count
      {"A (COM7) and (COM8)", "COM7"},
      {"Port (COM5", nullptr},
      {"Port (com5)", nullptr},
      {"Port (COM" + std::string(1000, '9') + ")", nullptr},
  };
  for (const Case& c : cases) {
    char port[kPortNameSize];
    std::memset(port, 'x', sizeof port);
    EXPECT_EQ(CutPortName(c.name, port), c.port != nullptr) << c.name;
    EXPECT_STREQ(port, c.port ? c.port : "") << c.name;
  }
}

TEST(PortName, DevicePathCopyAndKey) {
  const std::string plc = R"(\\?\usb#vid_0e5a&pid_0001#5&1a2b&0&2#{a5dcbf10})";
  const std::string key = "vid_0e5a&pid_0001";
  struct Case {
    std::string path;
    bool copied;
    bool isPlc;
  };
  const Case cases[] = {
      {plc, true, true},
      {R"(\\?\USB#VID_0E5A&PID_0001#5&1a2b&0&2#{a5dcbf10})", true, false},  // key in capitals
      {R"(\\?\usb#vid_0e5a&pid_0002#1)", true, false},
      {R"(\\?\usb#vid_046d&pid_c077#1)", true, false},         // not the PLC, yet its path is left
      {key + std::string(299 - key.size(), 'L'), true, true},  // 299 characters fill the buffer
      {key + std::string(300 - key.size(), 'L'), false, false},  // one more is refused, not cut
  };
  for (const Case& c : cases) {
    char buf[MAXPATH];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(TakeDevicePath(c.path, buf), c.isPlc) << c.path;
    EXPECT_EQ(std::string(buf), c.copied ? c.path : "") << c.path;
  }
}

TEST(PortName, PipePath) {
  struct Case {
    size_t pathLen;
    std::string pipe;
    bool fits;
  };
  const Case cases[] = {
      {298, "", true}, {299, "", false}, {294, "PIPE", true}, {295, "PIPE", false}};
  for (const Case& c : cases) {
    std::string dev(c.pathLen, 'd');
    char out[MAXPATH];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ComposePipePath(dev, c.pipe, out), c.fits) << c.pathLen;
    EXPECT_EQ(std::string(out), c.fits ? dev + "\\" + c.pipe : "") << c.pathLen;
  }
}

TEST(PortName, FirstMatchWalk) {
  // One entry per index: what enumerating and trying that interface gave.
  // NoMatch stands for a path without the key as well as for a PLC that
  // another program holds; past the list the enumeration reports NoMoreItems.
  constexpr UsbStep End = UsbStep::NoMoreItems, Err = UsbStep::OtherError, No = UsbStep::NoMatch,
                    Open = UsbStep::Opened;
  struct Case {
    const char* what;
    bool setObtained;
    std::vector<UsbStep> list;
    bool found;
    std::vector<uint32_t> asked;  // the indices tried, in order
  };
  const Case cases[] = {
      {"two PLCs: the lower index", true, {No, Open, Open}, true, {0, 1}},
      {"a held PLC is skipped", true, {No, Open}, true, {0, 1}},
      {"the only PLC is held", true, {No, No}, false, {0, 1, 2}},
      {"other errors skip one index", true, {Err, Err, No, Open}, true, {0, 1, 2, 3}},
      {"the end of the list ends the walk", true, {No, End, Open}, false, {0, 1}},
      {"no device set: nothing walked", false, {Err, Open}, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> asked;
    bool found = WalkUsbInterfaces(c.setObtained, [&](uint32_t i) {
      asked.push_back(i);
      return i < c.list.size() ? c.list[i] : End;
    });
    EXPECT_EQ(found, c.found) << c.what;
    EXPECT_EQ(asked, c.asked) << c.what;
  }
}

TEST(UsbPortPath, ParsedAndWrittenBack) {
  struct Case {
    std::string text;
    bool ok;
    uint8_t bus;
    std::vector<uint8_t> ports;
  };
  const Case cases[] = {
      {"usb:1-2", true, 1, {2}},
      {"usb:1-2.3", true, 1, {2, 3}},
      {"usb:255-1.2.3.4.5.6.7", true, 255, {1, 2, 3, 4, 5, 6, 7}},  // seven tiers at most
      {"usb:1-1.2.3.4.5.6.7.8", false, 0, {}},
      {"usb:3-10.255", true, 3, {10, 255}},
      {"usb:1-256", false, 0, {}},
      {"usb:1000-1", false, 0, {}},
      {"usb:0-1", false, 0, {}},
      {"usb:1-0", false, 0, {}},
      {"usb:01-2", false, 0, {}},  // one spelling per path
      {"usb:1", false, 0, {}},
      {"usb:1-", false, 0, {}},
      {"usb:1-2.", false, 0, {}},
      {"usb:1-2..3", false, 0, {}},
      {"usb:1-2.3 ", false, 0, {}},
      {"usb:-2", false, 0, {}},
      {"USB:1-2", false, 0, {}},
      {"/dev/bus/usb/001/002", false, 0, {}},
      {"usb:1-2" + std::string(1000, '9'), false, 0, {}},
  };
  for (const Case& c : cases) {
    UsbPortPath p{9, 1, {9}};
    EXPECT_EQ(ParseUsbPort(c.text, p), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(p, (UsbPortPath{9, 1, {9}})) << c.text;
      continue;
    }
    EXPECT_EQ(p.bus, c.bus);
    EXPECT_EQ(std::vector<uint8_t>(p.ports, p.ports + p.depth), c.ports) << c.text;
    EXPECT_EQ(FormatUsbPort(p), c.text);
  }
  EXPECT_EQ(FormatUsbPort(UsbPortPath{}), "");
}

// What Windows tells of a USB device's place, as the name of its port: the
// location path where the system has one, whole, else "Port_#P.Hub_#H".
// Every name given is taken back as a USB port path.
TEST(UsbPortPath, FromWindowsLocation) {
  struct Case {
    bool paths;
    std::string text;
    std::string port;
  };
  const std::string path = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
  const Case cases[] = {
      {false, "Port_#0001.Hub_#0001", "usb:1-1"},
      {false, "Port_#0003.Hub_#0012", "usb:12-3"},
      {false, "Port_#0000.Hub_#0001", ""},
      {false, "Port_#0256.Hub_#0001", ""},
      {false, "Port_#00001.Hub_#0001", ""},
      {false, "Port_#0001.Hub_#0001 ", ""},
      {false, "Port_#.Hub_#0001", ""},
      {false, "port_#0001.hub_#0001", ""},
      {false, "", ""},
      {true, path + "#USB(3)", "usb:" + path + "#USB(3)"},
      // Port 2 of the root hubs of two controllers: two names.
      {true, path, "usb:" + path},
      {true, "PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)",
       "usb:PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(2)"},
      {true, "PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(1)#USB(255)",
       "usb:PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(1)#USB(255)"},
      {true, "PCIROOT(0)#PCI(1400)#USBROOT(0)", ""},
      {true, path + "#USBMI(0)", ""},
      {true, path + "#USB(0)", ""},
      {true, path + "#", ""},
      {true, "PCIROOT(0)#USBROOT(0)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)",
       "usb:PCIROOT(0)#USBROOT(0)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)"},
      {true, "PCIROOT(0)#USBROOT(0)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)#USB(1)", ""},
      {true, "PCIROOT(0)#USBROOT(256)#USB(1)", ""},
      {true, "USBROOT(0)#USB(2)", ""},  // no controller
      {true, "PCIROOT(0) #PCI(1400)#USBROOT(0)#USB(2)", ""},
      {true, "PCIROOT()#USBROOT(0)#USB(2)", ""},
      {true, "PCIROOT(0)#PCI(14-00)#USBROOT(0)#USB(2)", ""},
      {true, std::string(110, 'P') + "(0)#USBROOT(0)#USB(2)", ""},  // longer than a port name
      {true, "ACPI(_SB_)#ACPI(PCI0)", ""},
  };
  for (const Case& c : cases) {
    const std::string name =
        c.paths ? UsbNameFromLocationPaths(c.text) : UsbNameFromLocationInfo(c.text);
    EXPECT_EQ(name, c.port) << c.text;
    EXPECT_EQ(IsUsbPortPath(name), !name.empty()) << name;
    EXPECT_FALSE(IsUsbPortPath(c.text)) << c.text;  // without "usb:"
  }
  EXPECT_FALSE(IsUsbPortPath("usb:" + path + "#USBMI(0)"));
}
