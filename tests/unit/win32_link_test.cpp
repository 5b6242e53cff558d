// The Win32 link on a real handle: a COM port is opened exclusively, the pipe
// shared for reading and writing; a failed opening reads and writes nothing;
// the port list holds only names that fit the port-name buffer.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "link/portname.h"
#include "link/win32/win32_link.h"

using namespace quarn;

namespace {

std::string TempFile() {
  char dir[MAX_PATH], path[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  GetTempFileNameA(dir, "qwl", 0, path);  // creates the file
  return path;
}

}  // namespace

TEST(Win32Link, SharingOfPortAndPipe) {
  struct Case { bool usbPipe; bool othersMayOpen; };
  const Case cases[] = {{false, false}, {true, true}};
  for (const Case& c : cases) {
    std::string path = TempFile();
    Win32Link link(c.usbPipe ? path : "");
    ASSERT_TRUE(link.open(c.usbPipe, path.c_str())) << c.usbPipe;
    link.setTimeouts(200);  // not a COM port: ignored
    link.setLine(kAppLine);
    const uint8_t frame[] = ":007F81\r\n";
    EXPECT_EQ(link.write(frame, 9), 9);
    HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, c.othersMayOpen) << c.usbPipe;
    if (other != INVALID_HANDLE_VALUE) {
      char got[16] = {};
      DWORD n = 0;
      ReadFile(other, got, sizeof got, &n, nullptr);
      EXPECT_EQ(std::string(got, n), ":007F81\r\n");
      CloseHandle(other);
    }
    link.close();
    DeleteFileA(path.c_str());
  }
}

TEST(Win32Link, FailedOpeningCountsNothing) {
  struct Case { bool usbPipe; const char* name; const char* pipePath; };
  const Case cases[] = {
      {false, "", ""},  // no port selected
      {false, "COM250", ""},
      {false, nullptr, ""},
      {true, "USB", "C:\\no such dir\\pipe\\"},
  };
  for (const Case& c : cases) {
    Win32Link link(c.pipePath);
    EXPECT_FALSE(link.open(c.usbPipe, c.name)) << (c.name ? c.name : "null");
    link.setTimeouts(3000);
    link.setLine(kTransferLine);
    uint8_t buf[8] = {1, 2, 3};
    EXPECT_EQ(link.write(buf, 3), 0);
    EXPECT_EQ(link.read(buf, 8), 0);
  }
}

TEST(Win32Link, PortListNamesFitTheBuffer) {
  std::vector<std::string> ports = ListComPorts();
  for (const std::string& p : ports) {
    EXPECT_FALSE(p.empty());
    EXPECT_LT(p.size(), kPortNameSize) << p;
    EXPECT_EQ(std::count(ports.begin(), ports.end(), p), 1) << p;
  }
}

#endif  // _WIN32
