// quarn-burn's platform services on Windows: the console's Ctrl-C and
// Ctrl-Break, a record file opened for appending only (FILE_APPEND_DATA) and
// flushed with FlushFileBuffers, SHA-256 from BCrypt, and Enter on stdin.
#include <windows.h>
#include <bcrypt.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "link/win32/win32_link.h"
#include "ui/cli/platform.h"

namespace quarn::cli {

std::unique_ptr<Link> MakeLink(const std::string& pipePath) {
  return std::make_unique<Win32Link>(pipePath);
}
std::vector<std::string> PresentSerialPorts() { return ListComPorts(); }
std::vector<std::string> PresentUsbPlcs() { return {}; }
const char* UsbPortRefusal() { return "USB port paths (usb:BUS-PORTS) are known on Linux only"; }
bool UsbAccessDenied(const Link&) { return false; }
std::string UsbPortOf(const Link&) { return ""; }
const char* UsbAccessHint() { return ""; }
bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }

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

struct Hash {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

}  // namespace

void WatchInterrupts(void (*onInterrupt)(int n)) {
  g_onInterrupt = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

RecordFile::~RecordFile() {
  if (h_ != -1) CloseHandle(reinterpret_cast<HANDLE>(h_));
}

std::string RecordFile::open(const std::string& path) {
  // Append access alone: every write goes to the end of the file as it is
  // then, whoever else appends.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError("CreateFile");
  h_ = reinterpret_cast<intptr_t>(h);
  return "";
}

std::string RecordFile::append(const std::string& line) {
  if (h_ == -1) return "not open";
  HANDLE h = reinterpret_cast<HANDLE>(h_);
  DWORD written = 0;
  if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
    return LastError("WriteFile");
  if (written != line.size())
    return "only " + std::to_string(written) + " of " + std::to_string(line.size()) +
           " bytes written";
  if (!FlushFileBuffers(h)) return LastError("FlushFileBuffers");
  return "";
}

Sha256::Sha256() : impl_(new Hash) {
  Hash& s = *static_cast<Hash*>(impl_);
  s.failed = BCryptOpenAlgorithmProvider(&s.alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
             BCryptCreateHash(s.alg, &s.hash, nullptr, 0, nullptr, 0, 0) != 0;
}

Sha256::~Sha256() {
  Hash* s = static_cast<Hash*>(impl_);
  if (s->hash) BCryptDestroyHash(s->hash);
  if (s->alg) BCryptCloseAlgorithmProvider(s->alg, 0);
  delete s;
}

void Sha256::update(const uint8_t* data, size_t n) {
  Hash& s = *static_cast<Hash*>(impl_);
  while (!s.failed && n > 0) {
    const ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
    s.failed = BCryptHashData(s.hash, const_cast<PUCHAR>(data), chunk, 0) != 0;
    data += chunk;
    n -= chunk;
  }
}

bool Sha256::finish(uint8_t (&digest)[32]) {
  Hash& s = *static_cast<Hash*>(impl_);
  if (s.failed || BCryptFinishHash(s.hash, digest, sizeof digest, 0) != 0) return false;
  s.failed = true;  // a finished hash takes no more data
  return true;
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
