// The Win32 link on real handles: a COM port is opened exclusively, the pipe
// shared for reading and writing; what is no serial port is refused; a failed
// opening reads and writes nothing and says why. The names ports open by, and
// the line settings as the DCB carries them to a COM port.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/win32/usb.h"
#include "link/win32/win32_link.h"

using namespace quarn;

TEST(Win32Link, SharingOfPortAndPipe) {
  for (bool usbPipe : {false, true}) {
    char dir[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "qwl", 0, path);
    Win32Link link;
    if (!usbPipe) {
      // A file named as a port opens but is no serial port: refused, not held.
      EXPECT_FALSE(link.open({Endpoint::Kind::SerialPort, path}));
      EXPECT_EQ(link.error().words, "not a serial port");
      EXPECT_EQ(link.error().kind, LinkError::Kind::NotSerial);
      EXPECT_TRUE(DeleteFileA(path));
      continue;
    }
    ASSERT_TRUE(link.open({Endpoint::Kind::UsbPlc, path}));
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

// A DCB as another program may leave a port, once with every switch the
// settings touch set otherwise and once with all of them on: speed, size and
// parity follow the settings, parity checked only with a parity, one stop
// bit, binary, DTR and RTS held inactive, no flow control, no replaced
// characters, no abort on a line error; the special characters as they were.
TEST(Win32Link, LineSettingsInTheDcb) {
  struct Case {
    LineSettings line;
    bool allOn;
    DWORD baud;
    BYTE size, parity;
    DWORD checked;
  };
  const Case cases[] = {{kAppLine, false, 9600, 7, EVENPARITY, TRUE},
                        {kTransferLine, false, 115200, 8, NOPARITY, FALSE},
                        {kAppLine, true, 9600, 7, EVENPARITY, TRUE},
                        {kTransferLine, true, 115200, 8, NOPARITY, FALSE}};
  for (const Case& c : cases) {
    DCB dcb{};
    if (c.allOn) std::memset(&dcb, 0xFF, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 38400;
    dcb.ByteSize = 6;
    dcb.Parity = ODDPARITY;
    dcb.fParity = !c.checked;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.XonChar = 0x11;
    ApplyLine(dcb, c.line);
    SCOPED_TRACE(c.allOn ? "all on" : "some set");
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.ByteSize, c.size);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.fParity, c.checked);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, static_cast<DWORD>(TRUE));
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    const DWORD off[] = {dcb.fOutxCtsFlow, dcb.fOutxDsrFlow, dcb.fDsrSensitivity,
                         dcb.fOutX,        dcb.fInX,         dcb.fErrorChar,
                         dcb.fNull,        dcb.fAbortOnError};
    for (DWORD flag : off) EXPECT_EQ(flag, static_cast<DWORD>(FALSE));
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, c.allOn ? '\xFF' : 0);
    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
  }
}

// COMn opens in the device namespace whatever its number, as Windows takes
// the letters in either case; the message keeps the name as given.
TEST(Win32Link, PortDevicePath) {
  struct Case {
    const char* name;
    const char* path;
  };
  const Case cases[] = {{"COM3", "\\\\.\\COM3"},
                        {"COM12", "\\\\.\\COM12"},
                        {"com256", "\\\\.\\com256"},
                        {"Com7", "\\\\.\\Com7"},
                        {"COM", "COM"},
                        {"COM1:", "COM1:"},
                        {"COMX1", "COMX1"},
                        {"\\\\.\\COM12", "\\\\.\\COM12"},
                        {"USB", "USB"},
                        {"", ""},
                        {"C:\\tmp\\COM3", "C:\\tmp\\COM3"}};
  for (const Case& c : cases) EXPECT_EQ(PortDevicePath(c.name), c.path) << c.name;
}

TEST(Win32Link, OpenFailureReason) {
  struct Case {
    DWORD error;
    const char* reason;
  };
  const Case cases[] = {{ERROR_FILE_NOT_FOUND, "no such port"},
                        {ERROR_PATH_NOT_FOUND, "no such port"},
                        {ERROR_ACCESS_DENIED, "in use by another program"},
                        {ERROR_SHARING_VIOLATION, "in use by another program"},
                        {ERROR_PRIVILEGE_NOT_HELD, "permission denied"},
                        {ERROR_SUCCESS, ""},
                        {ERROR_GEN_FAILURE, ""}};
  for (const Case& c : cases) EXPECT_STREQ(OpenFailureReason(c.error), c.reason) << c.error;
}

TEST(Win32Link, FailedOpeningCountsNothing) {
  struct Case {
    Endpoint::Kind kind;
    const char* name;
    const char* reason;
  };
  constexpr auto kSerial = Endpoint::Kind::SerialPort;
  const Case cases[] = {{kSerial, "", "no such port"},
                        {kSerial, "COM250", "no such port"},
                        {kSerial, nullptr, "no such port"},
                        {Endpoint::Kind::UsbPlc, "C:\\no such dir\\pipe\\", "no such port"}};
  for (const Case& c : cases) {
    Win32Link link;
    EXPECT_FALSE(link.open({c.kind, c.name}));
    EXPECT_EQ(link.error().words, c.reason) << (c.name ? c.name : "(null)");
    EXPECT_EQ(link.error().kind, LinkError::Kind::NoSuchPort);
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
  struct Case {
    const char* what;
    bool read;
    std::string ready;
    int n;
    uint32_t ms;
    int want;
  };
  const Case cases[] = {
      {"nothing arrives", true, "", 8, 150, 0},
      {"part arrives", true, "abc", 8, 150, 3},
      {"all is there", true, "abcdefgh", 8, 5000, 8},
      {"more than asked", true, "abcdefghij", 8, 5000, 8},
      {"a write nobody drains", false, "", 4096, 150, -1},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "\\\\.\\pipe\\quarn-link-" + std::to_string(GetCurrentProcessId()) +
                             "-" + std::to_string(i++);
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                     1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << c.what;
    void* h = OpenPipePath(name.c_str(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.what;
    DWORD put = 0;
    if (!c.ready.empty())
      WriteFile(server, c.ready.data(), static_cast<DWORD>(c.ready.size()), &put, nullptr);
    std::string data(static_cast<size_t>(c.n), 'x');
    const ULONGLONG t0 = GetTickCount64();
    uint32_t lastError = 1;
    int got =
        PipeTransfer(h, c.read, reinterpret_cast<uint8_t*>(data.data()), c.n, c.ms, lastError);
    EXPECT_EQ(lastError, 0u) << c.what;  // a time-out is no failure
    const ULONGLONG took = GetTickCount64() - t0;
    if (c.want >= 0) {
      EXPECT_EQ(got, c.want) << c.what;
      EXPECT_EQ(data.substr(0, static_cast<size_t>(got)),
                c.ready.substr(0, static_cast<size_t>(got)))
          << c.what;
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

// A pipe whose far end has closed: the transfer fails at once, and the
// link says the device went away.
TEST(Win32Link, ATransferAfterThePeerWentAwaySaysGone) {
  for (bool writing : {false, true}) {
    const std::string name = "\\\\.\\pipe\\quarn-gone-" + std::to_string(GetCurrentProcessId()) +
                             (writing ? "-w" : "-r");
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                     1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Win32Link link;
    ASSERT_TRUE(link.open({Endpoint::Kind::UsbPlc, name.c_str()}));
    EXPECT_EQ(link.error().kind, LinkError::Kind::None);
    CloseHandle(server);
    uint8_t buf[4] = {1, 2, 3, 4};
    link.setTimeouts(2000);
    const ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(writing ? link.write(buf, 4) : link.read(buf, 4), 0);
    EXPECT_LT(GetTickCount64() - t0, 1000u);
    EXPECT_EQ(link.error().kind, LinkError::Kind::Gone)
        << (writing ? "write: " : "read: ") << link.error().code;
  }
}
#endif  // _WIN32
