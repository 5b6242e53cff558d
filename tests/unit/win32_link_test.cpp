// The Win32 link on real handles: a COM port is opened exclusively, the pipe
// shared for reading and writing; a failed opening reads and writes nothing.
// The line settings as the DCB carries them to a COM port.
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

// A DCB as a port might report it, with every field the settings touch set
// otherwise: speed, size and parity follow the settings, one stop bit, DTR
// and RTS held inactive, flow control and the rest as they were.
TEST(Win32Link, LineSettingsInTheDcb) {
  struct Case { LineSettings line; DWORD baud; BYTE size, parity; };
  const Case cases[] = {{kAppLine, 9600, 7, EVENPARITY}, {kTransferLine, 115200, 8, NOPARITY}};
  for (const Case& c : cases) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.ByteSize = 6;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.XonChar = 0x11;
    ApplyLine(dcb, c.line);
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.ByteSize, c.size);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fOutxCtsFlow, static_cast<DWORD>(TRUE));
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
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
