// The operating system's interrupts as quarn-burn takes them: signals on
// Linux, console events on Windows (signals_posix.cpp, signals_win32.cpp).
#pragma once
#include <cstdint>

namespace quarn::cli {

// From now on, SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on
// Windows) call onInterrupt(n) for the n-th of them, on a thread of its own;
// the process is not ended by them, nor by SIGPIPE (a write to a closed
// output fails instead) or SIGXFSZ (a write past the file-size limit fails
// with EFBIG). An interrupt the process was started to ignore stays
// ignored. On Windows, the console window's closing, a logoff and a
// shutdown, after which Windows ends the process within seconds, call
// onEnd(ms, why) on a thread of their own: the process may go on for ms
// more, why says what ends it, and it ends when onEnd returns. Call once,
// before any other thread starts.
void WatchInterrupts(void (*onInterrupt)(int n), void (*onEnd)(uint32_t ms, const char* why));

}  // namespace quarn::cli
