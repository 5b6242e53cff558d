// The operator window of quarn-fwupdate.exe: identifiers shared by the window
// procedure, the status panel and the burn worker's thread.
#pragma once
#include <windows.h>

#include <atomic>

#include "catalogue/session.h"

// Command identifiers (1 and 2 are also the dialog manager's IDOK and IDCANCEL).
constexpr int OPENFILE = 1, STARTBURN = 2, COMPORTLIST = 7, PLCLIST = 8;
constexpr UINT_PTR ONESECONDTIMER = 5, ONEHUNDREDMSTIMER = 6;

// What the window hands the burn worker's thread.
struct ParamStruct {
  HWND hwnd = nullptr;      // main window: owner of the messages, owner of ONESECONDTIMER
  HWND lParam = nullptr;    // the "Start Burn" button
  HWND portList = nullptr;  // the port list, greyed out with the button while a session runs
  quarn::SessionState* st = nullptr;
  std::atomic<bool> running{false};  // a session runs; cleared by the thread as it ends
};

// The thread procedure: loads the embedded image, runs one session, releases it.
void __cdecl StartBurnThread(void* pParam);

// The status panel: each draws one item completely from the session state.
void DisplayElapsedTime(HDC hdc, const quarn::SessionState& st);
void DisplayProgressBar(HDC hdc, const quarn::SessionState& st);
void DisplayStatus(HDC hdc, const quarn::SessionState& st);
void DisplayErrCounter(HDC hdc, const quarn::SessionState& st);
void DisplayDate(HDC hdc);
void DisplayLogo(HDC hdc);
