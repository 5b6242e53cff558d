// e2e_driver.exe: drives quarn-fwupdate.exe from another process, as an
// operator would, and writes what it sees to a results file (one
// "key=value" line each; Wine programs' standard output is unreliable).
//
//   e2e_driver.exe RESULTS window SECONDS    wait for the window; its title,
//                                            client origin, lists and button
//   e2e_driver.exe RESULTS select-port NAME  pick a port as a click would
//   e2e_driver.exe RESULTS click             press "Start Burn"
//   e2e_driver.exe RESULTS post-start        send command 2 (STARTBURN) to the window
//   e2e_driver.exe RESULTS escape            press Esc on the button
//   e2e_driver.exe RESULTS tick N            N ticks of the one-second timer
//   e2e_driver.exe RESULTS wait-start SECONDS 0|1   wait for "Start Burn" disabled/enabled
//   e2e_driver.exe RESULTS boxes SECONDS TEXT       read and close each message
//                                            box until one whose text holds TEXT
//   e2e_driver.exe RESULTS quiet SECONDS     report (and close) any message box
//   e2e_driver.exe RESULTS close             close the window
//   e2e_driver.exe RESULTS ctrl-c SECONDS OUT COMMAND   run COMMAND on this
//                                            console, its output into OUT;
//                                            Ctrl-C to the console after
//                                            SECONDS; its exit code
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

const wchar_t kTitle[] = L"Quarn PLC Firmware Update Program";
constexpr int STARTBURN = 2, COMPORTLIST = 7, PLCLIST = 8;
constexpr UINT_PTR ONESECONDTIMER = 5;
constexpr int kMsgBoxText = 0xFFFF;

FILE* out;

std::string Utf8(const wchar_t* w) {
  char buf[1024];
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
  return n > 0 ? std::string(buf) : std::string();
}

void Put(const char* key, const std::string& value) {
  std::fprintf(out, "%s=%s\n", key, value.c_str());
  std::fflush(out);
}

std::string WindowText(HWND h) {
  wchar_t buf[512] = {};
  GetWindowTextW(h, buf, 512);
  return Utf8(buf);
}

HWND FindMain(int seconds) {
  for (int t = 0; t < seconds * 20; ++t) {
    HWND h = FindWindowW(L"WindowsApp", kTitle);
    if (h && IsWindowVisible(h)) return h;
    Sleep(50);
  }
  return nullptr;
}

// Entry i of a list, read with the wide message (the ANSI one returns one
// character across processes under Wine).
std::string ListEntry(HWND list, int i) {
  LRESULT len = SendMessageW(list, CB_GETLBTEXTLEN, i, 0);
  wchar_t buf[256] = {};
  if (len < 0 || len >= 256) return "?";
  SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
  return Utf8(buf);
}

void ReportList(const char* name, HWND list) {
  int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
  std::string all;
  for (int i = 0; i < count; ++i) {
    if (i) all += ',';
    all += ListEntry(list, i);
  }
  int sel = static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
  Put((std::string(name) + "Count").c_str(), std::to_string(count));
  Put((std::string(name) + "s").c_str(), all);
  Put(name, sel >= 0 ? ListEntry(list, sel) : "");
  Put((std::string(name) + "Enabled").c_str(), IsWindowEnabled(list) ? "1" : "0");
}

struct BoxSearch {
  HWND owner;
  HWND box;
};

BOOL CALLBACK FindBoxProc(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<BoxSearch*>(lp);
  wchar_t cls[32] = {};
  GetClassNameW(h, cls, 32);
  if (std::wcscmp(cls, L"#32770") == 0 && GetWindow(h, GW_OWNER) == s->owner &&
      IsWindowVisible(h)) {
    s->box = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindBox(HWND owner) {
  BoxSearch s{owner, nullptr};
  EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&s));
  return s.box;
}

// Reports a message box as "box=CAPTION|TEXT", presses OK and waits until it
// has gone; returns its text.
std::string AnswerBox(HWND box) {
  std::string text = WindowText(GetDlgItem(box, kMsgBoxText));
  Put("box", WindowText(box) + "|" + text);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  for (int t = 0; t < 100 && IsWindow(box); ++t) Sleep(50);
  return text;
}

// A console program stopped with Ctrl-C, as an operator would stop it.
int CtrlC(int seconds, const char* outPath, const char* command) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outFile =
      CreateFileA(outPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = si.hStdError = outFile;
  PROCESS_INFORMATION pi{};
  std::string line = command;
  if (outFile == INVALID_HANDLE_VALUE || !CreateProcessA(nullptr, line.data(), nullptr, nullptr,
                                                         TRUE, 0, nullptr, nullptr, &si, &pi)) {
    Put("error", "cannot start " + line);
    return 1;
  }
  Sleep(static_cast<DWORD>(seconds) * 1000);
  SetConsoleCtrlHandler(nullptr, TRUE);  // this program itself ignores it
  Put("sent", GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? "1" : std::to_string(GetLastError()));
  DWORD code = 0;
  if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  Put("exit",
      WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 ? std::to_string(code) : "running");
  TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(outFile);
  return 0;
}

int Run(int argc, char** argv) {
  std::string cmd = argv[2];
  const char* arg = argc > 3 ? argv[3] : "";
  if (cmd == "ctrl-c") return argc > 5 ? CtrlC(std::atoi(arg), argv[4], argv[5]) : 2;
  HWND win = FindMain(cmd == "window" ? std::atoi(arg) : 5);
  if (!win) {
    Put("error", "no window titled \"Quarn PLC Firmware Update Program\"");
    return 1;
  }
  HWND start = GetDlgItem(win, STARTBURN);
  if (cmd == "window") {
    Put("title", WindowText(win));
    wchar_t cls[64] = {};
    GetClassNameW(win, cls, 64);
    Put("class", Utf8(cls));
    POINT origin{0, 0};
    ClientToScreen(win, &origin);
    RECT outer{};
    GetWindowRect(win, &outer);
    Put("client", std::to_string(origin.x) + "," + std::to_string(origin.y));
    Put("outer",
        std::to_string(outer.right - outer.left) + "x" + std::to_string(outer.bottom - outer.top));
    Put("button", WindowText(start));
    Put("start", IsWindowEnabled(start) ? "1" : "0");
    ReportList("model", GetDlgItem(win, PLCLIST));
    ReportList("port", GetDlgItem(win, COMPORTLIST));
  } else if (cmd == "select-port") {
    HWND list = GetDlgItem(win, COMPORTLIST);
    int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      if (ListEntry(list, i) != arg) continue;
      SendMessageW(list, CB_SETCURSEL, i, 0);
      SendMessageW(win, WM_COMMAND, MAKEWPARAM(COMPORTLIST, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(list));
      Put("selected", arg);
      return 0;
    }
    Put("selected", "");
    return 1;
  } else if (cmd == "click") {
    PostMessageW(start, BM_CLICK, 0, 0);
  } else if (cmd == "post-start") {
    PostMessageW(win, WM_COMMAND, MAKEWPARAM(STARTBURN, BN_CLICKED),
                 reinterpret_cast<LPARAM>(start));
  } else if (cmd == "escape") {
    PostMessageW(start, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(start, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  } else if (cmd == "tick") {
    for (int i = std::atoi(arg); i > 0; --i) PostMessageW(win, WM_TIMER, ONESECONDTIMER, 0);
  } else if (cmd == "wait-start") {
    bool want = argc > 4 && argv[4][0] == '1';
    for (int t = 0; t < std::atoi(arg) * 20 && (IsWindowEnabled(start) != 0) != want; ++t)
      Sleep(50);
    Put("start", IsWindowEnabled(start) ? "1" : "0");
  } else if (cmd == "boxes") {
    const char* until = argc > 4 ? argv[4] : "";
    for (int t = 0; t < std::atoi(arg) * 20; ++t) {
      HWND box = FindBox(win);
      if (!box) {
        Sleep(50);
        continue;
      }
      if (AnswerBox(box).find(until) != std::string::npos) {
        Put("boxes", "done");
        return 0;
      }
    }
    Put("boxes", "timeout");
    return 1;
  } else if (cmd == "quiet") {
    int boxes = 0;
    for (int t = 0; t < std::atoi(arg) * 20; ++t) {
      HWND box = FindBox(win);
      if (box) {
        AnswerBox(box);
        ++boxes;
      }
      Sleep(50);
    }
    Put("quiet", boxes == 0 ? "1" : "0");
    Put("start", IsWindowEnabled(start) ? "1" : "0");
  } else if (cmd == "close") {
    PostMessageW(win, WM_CLOSE, 0, 0);
  } else {
    Put("error", "unknown command " + cmd);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: e2e_driver RESULTS COMMAND [ARGS]\n");
    return 2;
  }
  out = std::fopen(argv[1], "ab");
  if (!out) return 2;
  int rc = Run(argc, argv);
  std::fclose(out);
  return rc;
}
