// Interrupts on Windows: the console's Ctrl-C and Ctrl-Break, its closing
// and the end of the user's session.
#include <windows.h>

#include <atomic>
#include <thread>

#include "ui/cli/signals.h"

namespace quarn::cli {

namespace {

void (*g_onInterrupt)(int) = nullptr;
void (*g_onEnd)(uint32_t, const char*) = nullptr;
std::atomic<int> g_interrupts{0};

// How long the sessions may take to stop once Windows is ending the
// process: it ends a process about 5 s after its console window closed, and
// a logoff or a shutdown waits about as long before it offers to end a
// program that holds it up.
constexpr uint32_t kEndMs = 3000;

// Runs on a thread the console starts for each event. The process ends when
// it returns from a closing, a logoff or a shutdown.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: g_onInterrupt(++g_interrupts); return TRUE;
    case CTRL_CLOSE_EVENT:
      g_onEnd(kEndMs, "the console window's closing ended quarn-burn at once");
      return TRUE;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_onEnd(kEndMs, "the end of the user's session ended quarn-burn at once");
      return TRUE;
    default: return FALSE;
  }
}

// A process that has loaded user32 (setupapi does) is not sent
// CTRL_LOGOFF_EVENT or CTRL_SHUTDOWN_EVENT: Windows asks its top-level
// windows instead, and ends it once they have answered WM_ENDSESSION. This
// hidden one answers only that.
LRESULT CALLBACK OnWindowMessage(HWND window, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_ENDSESSION && wp) {
    g_onEnd(kEndMs, "the end of the user's session ended quarn-burn at once");
    return 0;
  }
  return DefWindowProcW(window, message, wp, lp);
}

void WatchSessionEnd() {
  std::thread([] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = OnWindowMessage;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"quarn-burn session end";
    if (!RegisterClassW(&wc) || !CreateWindowExW(0, wc.lpszClassName, L"quarn-burn", 0, 0, 0, 0, 0,
                                                 nullptr, nullptr, wc.hInstance, nullptr))
      return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  }).detach();
}

}  // namespace

void WatchInterrupts(void (*onInterrupt)(int n), void (*onEnd)(uint32_t ms, const char* why)) {
  g_onInterrupt = onInterrupt;
  g_onEnd = onEnd;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  WatchSessionEnd();
}

}  // namespace quarn::cli
