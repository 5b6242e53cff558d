// Port names cut from friendly names, the PLC's key in USB device paths, the
// pipe path bound and the first-match search over a fake interface list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/portname.h"

using namespace quarn;

TEST(PortName, CutFromFriendlyNames) {
  struct Case { std::string name; const char* port; };  // nullptr: skipped
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

TEST(PortName, KeyAndPipePath) {
  EXPECT_TRUE(HasUsbHardwareKey(R"(\\?\usb#vid_0e5a&pid_0001#5&1a2b&0&2#{a5dcbf10})"));
  EXPECT_FALSE(HasUsbHardwareKey(R"(\\?\USB#VID_0E5A&PID_0001#5&1a2b&0&2#{a5dcbf10})"));
  EXPECT_FALSE(HasUsbHardwareKey(R"(\\?\usb#vid_0e5a&pid_0002#1)"));

  struct Case { size_t pathLen; std::string pipe; bool fits; };
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

TEST(PortName, FirstMatchSearch) {
  struct Iface { UsbEnum step; std::string path; bool opens; };
  const std::string plcA = R"(\\?\usb#vid_0e5a&pid_0001#A)";
  const std::string plcB = R"(\\?\usb#vid_0e5a&pid_0001#B)";
  const std::string mouse = R"(\\?\usb#vid_046d&pid_c077#1)";
  const std::string caps = R"(\\?\USB#VID_0E5A&PID_0001#C)";
  const std::string longPlc = "vid_0e5a&pid_0001" + std::string(300, 'L');
  constexpr UsbEnum Ok = UsbEnum::Ok, End = UsbEnum::NoMoreItems, Err = UsbEnum::OtherError;
  struct Case {
    const char* what;
    bool setObtained;
    std::vector<Iface> list;
    std::vector<std::string> opened;  // the paths the search tried to open, in order
    bool found;
  };
  const Case cases[] = {
      {"two PLCs: the lower index", true, {{Ok, mouse, true}, {Ok, plcA, true}, {Ok, plcB, true}},
       {plcA}, true},
      {"a held PLC is skipped", true, {{Ok, plcA, false}, {Ok, plcB, true}}, {plcA, plcB}, true},
      {"the only PLC is held", true, {{Ok, plcA, false}, {Ok, mouse, true}}, {plcA}, false},
      {"key in capitals", true, {{Ok, caps, true}}, {}, false},
      {"an error skips one index", true, {{Err, "", true}, {Ok, "", true}, {Ok, plcB, true}},
       {plcB}, true},
      {"a path past MAXPATH", true, {{Ok, longPlc, true}}, {}, false},
      {"the end of the list", true, {{End, "", true}, {Ok, plcA, true}}, {}, false},
      {"no device set: nothing walked", false, {{Err, "", true}, {Ok, plcA, true}}, {}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> opened;
    uint32_t asked = 0;
    char devName[MAXPATH] = {};
    bool found = FindUsbDevice(
        c.setObtained,
        [&](uint32_t i, std::string& path) {
          asked = i + 1;
          if (i >= c.list.size()) return End;
          if (c.list[i].step == Ok) path = c.list[i].path;
          return c.list[i].step;
        },
        [&](const char* path) {
          opened.push_back(path);
          for (const Iface& f : c.list)
            if (f.path == path) return f.opens;
          return false;
        },
        devName);
    EXPECT_EQ(found, c.found) << c.what;
    EXPECT_EQ(opened, c.opened) << c.what;
    if (found) {
      EXPECT_EQ(std::string(devName), opened.back()) << c.what;
    }
    EXPECT_EQ(asked == 0, !c.setObtained) << c.what;
  }
}
