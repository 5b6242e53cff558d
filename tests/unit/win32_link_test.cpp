// The Win32 link on real handles: a COM port is opened exclusively, the pipe
// shared for reading and writing; a failed opening reads and writes nothing.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "link/win32/win32_link.h"

using namespace quarn;

TEST(Win32Link, SharingOfPortAndPipe) {
  for (bool usbPipe : {false, true}) {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "qwl", 0, path);
    Win32Link link(usbPipe ? path : "");
    ASSERT_TRUE(link.open(usbPipe, path));
    link.setTimeouts(200);  // not a COM port: both calls fail and are ignored
    link.setLine(kAppLine);
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>(":007F81\r\n"), 9), 9);
    HANDLE other = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, usbPipe);
    if (other != INVALID_HANDLE_VALUE) {
      char got[16];
      DWORD n = 0;
      ReadFile(other, got, sizeof got, &n, nullptr);
      EXPECT_EQ(std::string(got, n), ":007F81\r\n");
      CloseHandle(other);
    }
    link.close();
    DeleteFileA(path);
  }
}

TEST(Win32Link, FailedOpeningCountsNothing) {
  struct Case { bool usbPipe; const char* name; const char* pipePath; };
  const Case cases[] = {{false, "", ""}, {false, "COM250", ""}, {false, nullptr, ""},
                        {true, "USB", "C:\\no such dir\\pipe\\"}};
  for (const Case& c : cases) {
    Win32Link link(c.pipePath);
    EXPECT_FALSE(link.open(c.usbPipe, c.name));
    link.setTimeouts(3000);
    link.setLine(kTransferLine);
    uint8_t buf[8] = {1, 2, 3};
    EXPECT_EQ(link.write(buf, 3), 0);
    EXPECT_EQ(link.read(buf, 8), 0);
  }
}
#endif  // _WIN32
