// The burn worker's thread in the window program: the operator seam on
// message boxes, the button and the one-second timer, around one session.
#include <cstdint>

#include "burn/burn.h"
#include "link/win32/win32_link.h"
#include "ui/win32/window.h"

namespace {

class WindowOperator final : public quarn::Operator {
 public:
  explicit WindowOperator(const ParamStruct& p) : p_(p) {}

  void message(const char* caption, quarn::Icon icon, const char* text) override {
    UINT kind = icon == quarn::Icon::Error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxA(p_.hwnd, text, caption, MB_OK | kind);
  }
  void enableStart(bool enabled) override {
    EnableWindow(p_.lParam, enabled);
    EnableWindow(p_.portList, enabled);
  }
  void stopTimer() override { KillTimer(p_.hwnd, ONESECONDTIMER); }
  void sleepSeconds(unsigned seconds) override { Sleep(seconds * 1000); }

 private:
  const ParamStruct& p_;
};

}  // namespace

void __cdecl StartBurnThread(void* pParam) {
  ParamStruct& p = *static_cast<ParamStruct*>(pParam);
  // The image travels in the program: resource "BIN" 8. A program without it
  // hands the worker nothing, and the worker says so.
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(8), "BIN");
  HGLOBAL hGLOBAL = res ? LoadResource(nullptr, res) : nullptr;
  const void* data = hGLOBAL ? LockResource(hGLOBAL) : nullptr;
  uint32_t size = data ? SizeofResource(nullptr, res) : 0;
  {
    quarn::Win32Link link;
    WindowOperator op(p);
    quarn::StartBurn(*p.st, link, op, static_cast<const uint8_t*>(data), size);
  }
  if (hGLOBAL) FreeResource(hGLOBAL);
  p.running = false;
}
