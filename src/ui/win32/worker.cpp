// The burn worker's thread in the window program: the operator seam on
// message boxes and the one-second timer, around one session; Start and the
// port list are greyed out while it runs.
#include <cstdint>

#include "burn/burn.h"
#include "link/win32/win32_link.h"
#include "ui/win32/window.h"

namespace {

class WindowOperator final : public quarn::Operator {
 public:
  explicit WindowOperator(const ParamStruct& p) : p_(p) {}

  bool prompt(quarn::Prompt, const char* caption, const char* text) override {
    box(caption, quarn::Icon::Information, text);
    return true;
  }
  // The one-second timer stops as the outcome is decided (for a loader
  // version refusal once its box has closed); a stopped session shows none.
  void outcome(const quarn::Outcome& o) override {
    if (!o.timeStopsAfterMessage) KillTimer(p_.hwnd, ONESECONDTIMER);
    if (o.caption != nullptr) box(o.caption, o.icon, o.text);
    KillTimer(p_.hwnd, ONESECONDTIMER);
  }
  void sleepSeconds(unsigned seconds) override { Sleep(seconds * 1000); }

 private:
  void box(const char* caption, quarn::Icon icon, const char* text) {
    UINT kind = icon == quarn::Icon::Error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxA(p_.hwnd, text, caption, MB_OK | kind);
  }
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
  // Start and the port list come back once the session has ended.
  EnableWindow(p.lParam, TRUE);
  EnableWindow(p.portList, TRUE);
  if (hGLOBAL) FreeResource(hGLOBAL);
  p.running = false;
}
