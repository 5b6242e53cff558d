// The terminal quarn-burn talks to: whether a stream is one, whether it
// takes a write now, its size, and waiting for Enter (terminal_posix.cpp,
// terminal_win32.cpp).
#pragma once
#include <atomic>
#include <cstdio>

namespace quarn::cli {

bool IsTerminal(FILE* f);
// Whether f takes a write now: false for a terminal stopped with Ctrl-S, or
// a pipe whose reader is behind (always true where the system cannot tell).
bool Writable(FILE* f);

// Waits until the operator presses Enter, or stop is set; false when the
// input ended (or cannot be read) first.
bool WaitForEnter(const std::atomic<bool>& stop);

// Whether stderr is a terminal that takes cursor movements (ANSI escape
// sequences), and its size in columns and rows.
bool TerminalSize(int& columns, int& rows);

}  // namespace quarn::cli
