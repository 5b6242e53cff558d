// The status panel: elapsed seconds, progress bar, status word, retry
// counters, date and logo, painted from the session state on every tick.
#include <cstdio>

#include "catalogue/catalogue.h"
#include "ui/win32/window.h"

using quarn::SessionState;

namespace {

void Erase(HDC hdc, int left, int top, int right, int bottom) {
  RECT r{left, top, right, bottom};
  FillRect(hdc, &r, GetSysColorBrush(COLOR_SCROLLBAR));
}

// Formats a number right-aligned in at least 3 places; returns its length.
int FormatNumber(char (&buf)[16], int value) {
  return std::snprintf(buf, sizeof buf, "%3d", value);
}

// Draws a number whose last three characters stand at x: the label leaves
// room for three digits, and longer numbers grow to the left.
void DrawNumber(HDC hdc, int x, int y, const char* text, int n) {
  if (n > 3) {
    SIZE extra{};
    GetTextExtentPoint32A(hdc, text, n - 3, &extra);
    x -= extra.cx;
  }
  TextOutA(hdc, x, y, text, n);
}

}  // namespace

void DisplayElapsedTime(HDC hdc, const SessionState& st) {
  static const char label[] = "Elapsed Time:              sec";
  SetBkMode(hdc, TRANSPARENT);
  Erase(hdc, 160, 70, 335, 90);
  char num[16];
  int n = FormatNumber(num, st.elapsedTime);
  TextOutA(hdc, 160, 70, label, sizeof label - 1);
  DrawNumber(hdc, 270, 70, num, n);
}

void DisplayProgressBar(HDC hdc, const SessionState& st) {
  static const char label[] = "Progress:            %";
  int progress = st.progress;
  int shown = progress < 0 ? 0 : progress > 100 ? 100 : progress;
  SetBkMode(hdc, TRANSPARENT);
  HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
  RECT bar{10, 105, 520, 125};
  FillRect(hdc, &bar, white);
  bar.right = 10 + (510 * shown) / 100;
  FillRect(hdc, &bar, red);
  Erase(hdc, 10, 140, 130, 160);
  char num[16];
  int n = FormatNumber(num, progress);
  TextOutA(hdc, 10, 140, label, sizeof label - 1);
  DrawNumber(hdc, 85, 140, num, n);
  DeleteObject(white);
  DeleteObject(red);
}

void DisplayStatus(HDC hdc, const SessionState& st) {
  static const char label[] = "Status: ";
  SetBkMode(hdc, TRANSPARENT);
  Erase(hdc, 160, 140, 300, 160);
  TextOutA(hdc, 160, 140, label, sizeof label - 1);
  switch (st.flashStatus) {
    case quarn::IDLE: TextOutA(hdc, 209, 140, "Idle", 4); break;
    case quarn::ERASE: TextOutA(hdc, 209, 140, "Erasing", 7); break;
    case quarn::PROGRAM: TextOutA(hdc, 209, 140, "Programming", 11); break;
    default: break;
  }
}

void DisplayErrCounter(HDC hdc, const SessionState& st) {
  SetBkMode(hdc, TRANSPARENT);
  Erase(hdc, 320, 140, 540, 160);
  char text[50];  // any two 32-bit values fit
  int n = std::snprintf(text, sizeof text, "# of Error/Total Error: %d/%d",
                        static_cast<int>(st.errCounter), static_cast<int>(st.totalErrCounter));
  TextOutA(hdc, 320, 140, text, n);
}

// The release date of the embedded image, from its name.
void DisplayDate(HDC hdc) {
  char date[11];
  quarn::imageDate(QUARN_IMAGE_NAME, date);
  char text[20];
  int n = std::snprintf(text, sizeof text, "Date: %s", date);
  SetBkMode(hdc, TRANSPARENT);
  TextOutA(hdc, 300, 25, text, n);
}

void DisplayLogo(HDC hdc) {
  HBITMAP logo = static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(12),
                                                 IMAGE_BITMAP, 87, 28, LR_DEFAULTCOLOR));
  if (!logo) return;
  HDC mem = CreateCompatibleDC(hdc);
  HGDIOBJ old = SelectObject(mem, logo);
  BITMAP bm{};
  GetObjectA(logo, sizeof bm, &bm);
  BitBlt(hdc, 435, 15, bm.bmWidth, bm.bmHeight, mem, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteDC(mem);
  DeleteObject(logo);
}
