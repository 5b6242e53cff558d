// The Win32 link on real handles: a COM port is opened exclusively, the pipe
// shared for reading and writing; a failed opening reads and writes nothing.
// The line settings as the DCB carries them to a COM port.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "link/win32/usb.h"
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
// Transfers on an overlapped pipe end within their bound with what arrived:
// a read gathers until it has all it asked for, a write into a pipe that
// nobody drains gives up. The peer is a named pipe of 64-byte buffers.
TEST(Win32Link, PipeTransfersEndWithinTheirBound) {
  struct Case { const char* what; bool read; std::string ready; int n; uint32_t ms; int want; };
  const Case cases[] = {
      {"nothing arrives", true, "", 8, 150, 0},
      {"part arrives", true, "abc", 8, 150, 3},
      {"all is there", true, "abcdefgh", 8, 5000, 8},
      {"more than asked", true, "abcdefghij", 8, 5000, 8},
      {"a write nobody drains", false, "", 4096, 150, -1},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "\\\\.\\pipe\\quarn-link-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(i++);
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64,
                                     64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << c.what;
    void* h = OpenPipePath(name.c_str(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.what;
    DWORD put = 0;
    if (!c.ready.empty()) WriteFile(server, c.ready.data(), static_cast<DWORD>(c.ready.size()), &put, nullptr);
    std::string data(static_cast<size_t>(c.n), 'x');
    const ULONGLONG t0 = GetTickCount64();
    int got = PipeTransfer(h, c.read, reinterpret_cast<uint8_t*>(data.data()), c.n, c.ms);
    const ULONGLONG took = GetTickCount64() - t0;
    if (c.want >= 0) {
      EXPECT_EQ(got, c.want) << c.what;
      EXPECT_EQ(data.substr(0, static_cast<size_t>(got)), c.ready.substr(0, static_cast<size_t>(got))) << c.what;
    } else {
      EXPECT_LT(got, c.n) << c.what;
    }
    // A short transfer took its whole bound, a whole one did not wait for it.
    if (got < c.n) {
      EXPECT_GE(took + 20, c.ms) << c.what;
    }
    EXPECT_LT(took, c.ms + 1000) << c.what;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    CloseHandle(server);
  }
}
#endif  // _WIN32
