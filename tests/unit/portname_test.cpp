// Port names cut from friendly names, the PLC's key in USB device paths, the
// pipe path bound and the first-match search over a fake interface list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/portname.h"

using namespace quarn;

TEST(PortName, CutFromFriendlyNames) {
  struct Case { std::string name; const char* port; };  // port nullptr: skipped
  const Case cases[] = {
      {"Communications Port (COM1)", "COM1"},
      {"USB Serial Port (COM12)", "COM12"},
      {"(COM3)", "COM3"},
      {"Prolific USB-to-Serial Comm Port (COM256)", "COM256"},
      {"Port (COM123456)", "COM123456"},      // 9 characters: fits with its terminator
      {"Port (COM1234567)", nullptr},         // 10 characters: refused, not cut
      {"Port (COM3) (extra)", "COM3"},        // closed by the first ")" after "(COM"
      {"Port (COM3)(x)", "COM3"},
      {"Modem (2) (COM4)", "COM4"},           // a ")" before "(COM" does not count
      {"Port (COM5", nullptr},                // no ")" after "(COM"
      {"Port) (COM5", nullptr},
      {"Port (com5)", nullptr},               // "(COM" is case-sensitive
      {"Port COM5", nullptr},
      {"", nullptr},
      {"A (COM7) and (COM8)", "COM7"},        // the first "(COM"
      {std::string("Port (COM9)\0(COM1)", 19), "COM9"},
      {"Port (COM" + std::string(1000, '9') + ")", nullptr},  // long name, bounded copy
  };
  for (const Case& c : cases) {
    char port[kPortNameSize];
    std::memset(port, 'x', sizeof port);
    bool ok = CutPortName(c.name, port);
    EXPECT_EQ(ok, c.port != nullptr) << c.name;
    EXPECT_STREQ(port, c.port ? c.port : "") << c.name;
  }
}

TEST(PortName, UsbHardwareKey) {
  struct Case { const char* path; bool plc; };
  const Case cases[] = {
      {R"(\\?\usb#vid_0e5a&pid_0001#5&1a2b3c&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", true},
      {R"(\\?\USB#VID_0E5A&PID_0001#5&1a2b3c&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})", false},
      {R"(\\?\usb#vid_0e5a&pid_0002#1)", false},
      {R"(\\?\usb#vid_0e5b&pid_0001#1)", false},
      {"vid_0e5a&pid_000", false},
      {"vid_0e5a&pid_0001", true},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HasUsbHardwareKey(c.path), c.plc) << c.path;
}

TEST(PortName, PipePathBound) {
  struct Case { size_t pathLen; std::string pipe; bool fits; };
  const Case cases[] = {
      {298, "", true},     // 298 + "\" + terminator = 300
      {299, "", false},
      {296, "PIPE", false},
      {294, "PIPE", true},
      {0, "", true},
      {100000, "", false},
  };
  for (const Case& c : cases) {
    std::string dev(c.pathLen, 'd');
    char out[MAXPATH];
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(ComposePipePath(dev, c.pipe, out), c.fits) << c.pathLen << " " << c.pipe;
    EXPECT_EQ(std::string(out), c.fits ? dev + "\\" + c.pipe : "") << c.pathLen;
  }
  char out[MAXPATH];
  ASSERT_TRUE(ComposePipePath(R"(\\?\usb#vid_0e5a&pid_0001#7)", "", out));
  EXPECT_STREQ(out, R"(\\?\usb#vid_0e5a&pid_0001#7\)");  // the empty pipe name: one trailing "\"
}

namespace {

// One entry of a fake interface list: how enumerating its index ends, its
// device path and whether opening it succeeds.
struct FakeInterface {
  UsbEnum step;
  std::string path;
  bool opens;
};

struct SearchResult {
  bool found;
  std::string devName;
  std::vector<std::string> opened;  // every path the search tried to open
  uint32_t enumerated;              // indices asked for
};

SearchResult Search(const std::vector<FakeInterface>& list, bool setObtained = true) {
  SearchResult r{};
  char devName[MAXPATH] = {};
  r.found = FindUsbDevice(
      setObtained,
      [&](uint32_t i, std::string& path) {
        ++r.enumerated;
        if (i >= list.size()) return UsbEnum::NoMoreItems;
        if (list[i].step == UsbEnum::Ok) path = list[i].path;
        return list[i].step;
      },
      [&](const char* path) {
        r.opened.push_back(path);
        for (const FakeInterface& f : list)
          if (f.path == path) return f.opens;
        return false;
      },
      devName);
  r.devName = devName;
  return r;
}

const std::string kPlcA = R"(\\?\usb#vid_0e5a&pid_0001#A#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const std::string kPlcB = R"(\\?\usb#vid_0e5a&pid_0001#B#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
const std::string kMouse = R"(\\?\usb#vid_046d&pid_c077#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";

}  // namespace

TEST(PortName, FirstMatchSearch) {
  const std::string kCapsPlc = R"(\\?\USB#VID_0E5A&PID_0001#C)";
  const std::string kLongPlc = "vid_0e5a&pid_0001" + std::string(300, 'L');
  struct Case {
    const char* what;
    std::vector<FakeInterface> list;
    bool found;
    std::string devName;
    std::vector<std::string> opened;
  };
  const Case cases[] = {
      {"two PLCs: the lower index", {{UsbEnum::Ok, kMouse, true}, {UsbEnum::Ok, kPlcA, true},
                                     {UsbEnum::Ok, kPlcB, true}},
       true, kPlcA, {kPlcA}},
      {"a held PLC is skipped", {{UsbEnum::Ok, kPlcA, false}, {UsbEnum::Ok, kPlcB, true}},
       true, kPlcB, {kPlcA, kPlcB}},
      {"the only PLC is held", {{UsbEnum::Ok, kPlcA, false}, {UsbEnum::Ok, kMouse, true}},
       false, kMouse, {kPlcA}},
      {"key in capitals", {{UsbEnum::Ok, kCapsPlc, true}}, false, kCapsPlc, {}},
      {"an enumeration error skips the index",
       {{UsbEnum::OtherError, "", true}, {UsbEnum::Ok, kPlcB, true}}, true, kPlcB, {kPlcB}},
      {"a path that cannot be read", {{UsbEnum::Ok, "", true}, {UsbEnum::Ok, kPlcA, true}},
       true, kPlcA, {kPlcA}},
      {"a path past MAXPATH is not copied", {{UsbEnum::Ok, kLongPlc, true}}, false, "", {}},
      {"the end of the list ends the search",
       {{UsbEnum::Ok, kMouse, true}, {UsbEnum::NoMoreItems, "", true}, {UsbEnum::Ok, kPlcA, true}},
       false, kMouse, {}},
      {"no interfaces", {}, false, "", {}},
  };
  for (const Case& c : cases) {
    SearchResult r = Search(c.list);
    EXPECT_EQ(r.found, c.found) << c.what;
    EXPECT_EQ(r.devName, c.devName) << c.what;
    EXPECT_EQ(r.opened, c.opened) << c.what;
  }
}

TEST(PortName, SearchWithoutDeviceSetEndsAtOnce) {
  SearchResult r = Search({{UsbEnum::OtherError, "", true}}, false);
  EXPECT_FALSE(r.found);
  EXPECT_EQ(r.enumerated, 0u);
  EXPECT_TRUE(r.opened.empty());
}
