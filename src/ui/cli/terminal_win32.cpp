// The console on Windows: _isatty, Enter read from stdin, and the window
// size of a console that takes escape sequences.
#include <windows.h>
#include <io.h>

#include <cstdio>

#include "ui/cli/terminal.h"

namespace quarn::cli {

bool IsTerminal(FILE* f) { return _isatty(_fileno(f)) != 0; }
bool Writable(FILE*) { return true; }

bool WaitForEnter(const std::atomic<bool>& stop) {
  // A console read ends with no data on Ctrl-C; from other input a stop
  // waits here for Enter, or for a second interrupt.
  int c;
  do c = std::fgetc(stdin);
  while (c != '\n' && c != EOF);
  return c == '\n' || stop;
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
