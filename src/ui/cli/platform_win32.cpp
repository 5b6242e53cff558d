// quarn-burn's platform services on Windows: the console's Ctrl-C and
// Ctrl-Break, a record file opened for appending only (FILE_APPEND_DATA) and
// flushed with FlushFileBuffers, and Enter on stdin.
#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "link/win32/usb.h"
#include "link/win32/win32_link.h"
#include "ui/cli/platform.h"

namespace quarn::cli {

std::unique_ptr<Link> MakeLink(const std::string& pipePath) {
  return std::make_unique<Win32Link>(pipePath);
}
std::vector<PortInfo> PresentSerialPorts() { return DescribeComPorts(); }
std::vector<std::string> PresentUsbPlcs() { return ListUsbPlcs(); }
const char* UsbPortRefusal() { return nullptr; }
bool UsbAccessDenied(const Link&) { return false; }
std::string UsbPortOf(const Link& link) { return static_cast<const Win32Link&>(link).usbPort(); }
const char* UsbAccessHint() { return ""; }
std::string OpenFailure(const Link& link) {
  return static_cast<const Win32Link&>(link).openFailure();
}
const char* SerialAccessHint() { return ""; }
bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }

std::vector<std::string> KeyDirectories() {
  std::vector<std::string> dirs;
  char exe[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n > 0 && n < sizeof exe) {
    std::string dir(exe, n);
    dir.resize(dir.find_last_of("\\/") + 1);
    dirs.push_back(dir + "keys");
  }
  char data[MAX_PATH];
  const DWORD m = GetEnvironmentVariableA("ProgramData", data, sizeof data);
  dirs.push_back((m > 0 && m < sizeof data ? std::string(data, m) : "C:\\ProgramData") +
                 "\\Quarn\\keys");
  return dirs;
}

namespace {

void (*g_onInterrupt)(int) = nullptr;
std::atomic<int> g_interrupts{0};

// Runs on a thread the console starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;  // closing: as before
  g_onInterrupt(++g_interrupts);
  return TRUE;
}

std::string LastError(const char* what) {
  return std::string(what) + " failed (Windows error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

void WatchInterrupts(void (*onInterrupt)(int n)) {
  g_onInterrupt = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

RecordFile::~RecordFile() {
  if (h_ != -1) CloseHandle(reinterpret_cast<HANDLE>(h_));
}

std::string RecordFile::open(const std::string& path) {
  // Every write goes to the end of the file as it is then, whoever else
  // appends (see append); write access lets a failed record be cut off.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError("CreateFile");
  h_ = reinterpret_cast<intptr_t>(h);
  return "";
}

std::string RecordFile::append(const std::string& line) {
  if (h_ == -1) return "not open";
  HANDLE h = reinterpret_cast<HANDLE>(h_);
  // Offset all ones: written at the file's end in one piece.
  OVERLAPPED at{};
  at.Offset = at.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  std::string failed;
  if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, &at))
    failed = LastError("WriteFile");
  else if (written != line.size())
    failed = "only " + std::to_string(written) + " of " + std::to_string(line.size()) +
             " bytes written";
  else if (!FlushFileBuffers(h))
    failed = LastError("FlushFileBuffers");
  if (failed.empty() || written == 0) return failed;
  // What went out of a failed record is cut off again: the file goes back to
  // the length it had before, unless another writer appended since.
  LARGE_INTEGER zero{}, end{}, size{}, start{};
  start.QuadPart = 0;
  if (SetFilePointerEx(h, zero, &end, FILE_CURRENT) && GetFileSizeEx(h, &size) &&
      size.QuadPart == end.QuadPart && end.QuadPart >= written) {
    start.QuadPart = end.QuadPart - written;
    if (SetFilePointerEx(h, start, nullptr, FILE_BEGIN) && SetEndOfFile(h)) return failed;
  }
  return failed + "; the partial record could not be removed";
}

void WaitForEnter(const std::atomic<bool>&) {
  // A console read ends with no data on Ctrl-C; from other input a stop
  // waits here for Enter, or for a second interrupt.
  int c;
  do c = std::fgetc(stdin);
  while (c != '\n' && c != EOF);
}

bool TerminalSize(int& columns, int& rows) {
  // A console of Windows 10 or later takes the escape sequences once asked to.
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode) ||
      !SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
      !GetConsoleScreenBufferInfo(h, &info))
    return false;
  columns = info.srWindow.Right - info.srWindow.Left + 1;
  rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return columns > 0 && rows > 0;
}

}  // namespace quarn::cli
