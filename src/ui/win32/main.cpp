// quarn-fwupdate.exe: the operator window. WinMain builds the window, fixes
// the model from the embedded image's name, checks the image against the
// release's signature, fills the port list and runs the message loop;
// WindowProcedure paints the panel, counts the seconds and starts the burn
// worker on its own thread.
#include <windows.h>
#include <commdlg.h>
#include <process.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "catalogue/catalogue.h"
#include "link/win32/win32_link.h"
#include "sign/signature.h"
#include "ui/win32/window.h"

namespace {

const char szClassName[] = "WindowsApp";
const char kTitle[] = "Quarn PLC Firmware Update Program";
// The embedded image's file name; its part before the first '_' is the model.
const char kImageName[] = QUARN_IMAGE_NAME;
constexpr size_t kPortNameMax = 9;

quarn::SessionState st;
ParamStruct paramStruct;
// The port the operator has picked, kept by the window. A session copies it
// into st.selectedComPort as it starts, so a change of the list while a
// session runs (the list is greyed out then; only a message from outside can
// make one) reaches the next session, never the running one's reopening.
char chosenPort[kPortNameMax + 1];
HWND hComPortList, hPlcList, hStartBurn;
HWND hwndFilePath;  // this layout has no path label: the text goes nowhere
OPENFILENAMEA ofn;
HANDLE hf;
// The embedded image does not match the signature its release built in:
// Start Burn says so and starts nothing.
bool imageRefused = false;

// Copies entry idx of a list into dst; false (dst untouched) when it does not fit.
bool GetListText(HWND list, LRESULT idx, char* dst, size_t size) {
  LRESULT len = SendMessageA(list, CB_GETLBTEXTLEN, idx, 0);
  if (len < 0 || static_cast<size_t>(len) >= size) return false;
  return SendMessageA(list, CB_GETLBTEXT, idx, reinterpret_cast<LPARAM>(dst)) != CB_ERR;
}

// The list knows its length only through totalComPort.
void ClearPortList(HWND list) {
  for (int i = 0; i < st.totalComPort; ++i) SendMessageA(list, CB_DELETESTRING, 0, 0);
  st.totalComPort = 0;
}

void AddPort(HWND list, const char* name) {
  LRESULT r = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  if (r != CB_ERR && r != CB_ERRSPACE) st.totalComPort += 1;
}

void EnumComPort(HWND list) {
  std::vector<std::string> ports = quarn::ListComPorts();
  ClearPortList(list);
  for (const std::string& port : ports)
    if (!port.empty() && port.size() <= kPortNameMax) AddPort(list, port.c_str());
}

void EnumUSBPort(HWND list) {
  ClearPortList(list);
  AddPort(list, "USB");
  SendMessageA(list, CB_SETCURSEL, 0, 0);
}

void FillPortList() {
  if (st.profile().usb)
    EnumUSBPort(hComPortList);
  else
    EnumComPort(hComPortList);
}

// Selects the model list entry idx and the catalogue row of the same name.
void SelectModelEntry(LRESULT idx) {
  SendMessageA(hPlcList, CB_SETCURSEL, idx, 0);
  if (!GetListText(hPlcList, idx, st.selectedPLC, sizeof st.selectedPLC)) return;
  int row = quarn::findModel(st.selectedPLC);
  if (row >= 0) st.selectModel(static_cast<uint32_t>(row));
}

// The model is the image name's part before its first '_'; a name that is no
// catalogue name falls back to the first entry of the sorted list.
void SelectModelFromImageName() {
  char model[quarn::kModelNameSize] = {};
  const char* cut = std::strchr(kImageName, '_');
  size_t n = cut ? static_cast<size_t>(cut - kImageName) : 0;
  if (n < sizeof model) std::memcpy(model, kImageName, n);
  LRESULT idx = SendMessageA(hPlcList, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(model));
  SelectModelEntry(idx == CB_ERR ? 0 : idx);
}

// Resource 8 of a type as bytes; empty when the program has none.
std::string Resource(const char* type) {
  HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(8), type);
  HGLOBAL h = res ? LoadResource(nullptr, res) : nullptr;
  const char* data = h ? static_cast<const char*>(LockResource(h)) : nullptr;
  return data ? std::string(data, SizeofResource(nullptr, res)) : std::string();
}

// A release built with its public key (resource QKEY) carries the signed
// manifest of its image (QSIG) too: the image (BIN) must be the one it names,
// byte for byte. A program built without a key is checked by nothing, as before.
void CheckEmbeddedImage() {
  const std::string pem = Resource("QKEY");
  if (pem.empty()) return;
  const std::string manifest = Resource("QSIG"), image = Resource("BIN");
  quarn::sign::PublicKey key;
  quarn::Sha256 hash;
  hash.update(reinterpret_cast<const uint8_t*>(image.data()), image.size());
  const std::string name = kImageName;
  const quarn::sign::ImageFacts facts{name, name.substr(0, name.find('_')), image.size(),
                                      hash.hex()};
  imageRefused = !quarn::sign::ParsePublicKey(pem, key).empty() ||
                 quarn::sign::Check(facts, manifest.empty() ? nullptr : &manifest, {key}).status !=
                     quarn::sign::Status::Signed;
}

void DrawPanel(HDC hdc, bool withLogo) {
  DisplayElapsedTime(hdc, st);
  DisplayProgressBar(hdc, st);
  DisplayStatus(hdc, st);
  DisplayErrCounter(hdc, st);
  DisplayDate(hdc);
  if (withLogo) DisplayLogo(hdc);
}

void StartBurnCommand(HWND hwnd) {
  // One session at a time, whatever sent the command (a click, a key, a
  // message from outside while the button is disabled).
  if (paramStruct.running) return;
  if (imageRefused) {
    MessageBoxA(hwnd, quarn::kBuiltInImageRefused, "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  if (paramStruct.running.exchange(true)) return;
  st.isFileChosed = 1;
  st.setComPort(chosenPort);
  paramStruct.hwnd = hwnd;
  paramStruct.lParam = hStartBurn;
  paramStruct.portList = hComPortList;
  paramStruct.st = &st;
  EnableWindow(hStartBurn, FALSE);
  EnableWindow(hComPortList, FALSE);
  SetTimer(hwnd, ONESECONDTIMER, 1000, nullptr);
  if (_beginthread(StartBurnThread, 0, &paramStruct) == static_cast<uintptr_t>(-1)) {
    KillTimer(hwnd, ONESECONDTIMER);
    EnableWindow(hStartBurn, TRUE);
    EnableWindow(hComPortList, TRUE);
    paramStruct.running = false;
  }
}

void OpenFileCommand(HWND hwnd) {
  // The worker reads fileLength while a session runs.
  if (paramStruct.running) return;
  char kept[sizeof st.szFile] = {};
  if (st.isFileChosed) std::memcpy(kept, st.szFile, sizeof kept);
  ZeroMemory(&ofn, sizeof ofn);
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd;
  st.szFile[0] = '\0';
  ofn.lpstrFile = st.szFile;
  ofn.nMaxFile = sizeof st.szFile;
  ofn.lpstrFilter = "Binary File (*.bin)\0*.bin\0All (*.*)\0*.*\0";
  ofn.nFilterIndex = 1;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (GetOpenFileNameA(&ofn) != TRUE) {
    std::memcpy(st.szFile, kept, sizeof kept);
    return;
  }
  st.szFile[sizeof st.szFile - 1] = '\0';
  char path[270];
  std::snprintf(path, sizeof path, "Path: %s", st.szFile);
  SetWindowTextA(hwndFilePath, path);
  hf = CreateFileA(st.szFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                   nullptr);
  if (hf != INVALID_HANDLE_VALUE) {
    st.fileLength = GetFileSize(hf, nullptr);
    CloseHandle(hf);
  }
  st.isFileChosed = 1;
}

void PortListChanged() {
  LRESULT idx = SendMessageA(hComPortList, CB_GETCURSEL, 0, 0);
  if (idx == CB_ERR) return;
  st.ComSelidx = static_cast<int32_t>(idx);
  GetListText(hComPortList, idx, chosenPort, sizeof chosenPort);
}

// Reached only where the model list is enabled; never while a session runs,
// since the worker reads the model throughout.
void ModelListChanged() {
  if (paramStruct.running) return;
  LRESULT idx = SendMessageA(hPlcList, CB_GETCURSEL, 0, 0);
  if (idx == CB_ERR) return;
  SelectModelEntry(idx);
  FillPortList();
  if (!st.profile().usb) SendMessageA(hComPortList, CB_SETCURSEL, st.ComSelidx, 0);
  PortListChanged();
}

}  // namespace

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      DrawPanel(hdc, false);
      EndPaint(hwnd, &ps);
      break;
    }
    case WM_TIMER:
      if (wParam == ONESECONDTIMER) {
        st.elapsedTime.add(1);
      } else if (wParam == ONEHUNDREDMSTIMER) {
        HDC hdc = GetDC(hwnd);
        DrawPanel(hdc, true);
        ReleaseDC(hwnd, hdc);
      }
      break;
    case WM_COMMAND:
      if (HIWORD(wParam) == CBN_SELCHANGE) {
        if (LOWORD(wParam) == COMPORTLIST) PortListChanged();
        if (LOWORD(wParam) == PLCLIST) ModelListChanged();
      } else if (HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == STARTBURN) StartBurnCommand(hwnd);
        if (LOWORD(wParam) == OPENFILE) OpenFileCommand(hwnd);
      }
      break;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
  }
  return 0;
}

int WINAPI WinMain(HINSTANCE hThisInstance, HINSTANCE, LPSTR, int nFunsterStil) {
  WNDCLASSEXA wincl{};
  wincl.cbSize = sizeof wincl;
  wincl.hInstance = hThisInstance;
  wincl.lpszClassName = szClassName;
  wincl.lpfnWndProc = WindowProcedure;
  wincl.style = CS_DBLCLKS;
  wincl.hIcon = LoadIconA(hThisInstance, MAKEINTRESOURCEA(1));
  wincl.hIconSm = LoadIconA(hThisInstance, MAKEINTRESOURCEA(1));
  wincl.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wincl.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  if (!RegisterClassExA(&wincl)) return 0;

  HWND hwnd = CreateWindowExA(0, szClassName, kTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                              CW_USEDEFAULT, CW_USEDEFAULT, 544, 205, HWND_DESKTOP, nullptr,
                              hThisInstance, nullptr);
  hStartBurn = CreateWindowExA(
      0, "BUTTON", "Start Burn", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 10, 60, 100,
      30, hwnd, reinterpret_cast<HMENU>(STARTBURN), hThisInstance, nullptr);
  const DWORD listStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST |
                          CBS_SORT | CBS_HASSTRINGS;
  hPlcList = CreateWindowExA(0, "COMBOBOX", "", listStyle | CBS_AUTOHSCROLL, 10, 20, 120, 200, hwnd,
                             reinterpret_cast<HMENU>(PLCLIST), hThisInstance, nullptr);
  for (int i = 0; i < quarn::kModelCount; ++i)
    SendMessageA(hPlcList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(quarn::plcList[i]));
  SelectModelFromImageName();
  EnableWindow(hPlcList, FALSE);
  CheckEmbeddedImage();

  hComPortList = CreateWindowExA(0, "COMBOBOX", "", listStyle, 160, 20, 100, 200, hwnd,
                                 reinterpret_cast<HMENU>(COMPORTLIST), hThisInstance, nullptr);
  FillPortList();
  SendMessageA(hComPortList, CB_SETCURSEL, 0, 0);
  LRESULT port = SendMessageA(hComPortList, CB_GETCURSEL, 0, 0);
  if (port != CB_ERR) GetListText(hComPortList, port, chosenPort, sizeof chosenPort);

  SetTimer(hwnd, ONEHUNDREDMSTIMER, 100, nullptr);
  ShowWindow(hwnd, nFunsterStil);

  // Esc bypasses the dialog keyboard handling: it would turn the key into
  // command 2 (IDCANCEL), which is STARTBURN here. The focused control still
  // gets the key (an open drop-down list closes).
  MSG messages;
  while (GetMessageA(&messages, nullptr, 0, 0) > 0) {
    bool esc = messages.message == WM_KEYDOWN && messages.wParam == VK_ESCAPE;
    if (!esc && IsDialogMessageA(hwnd, &messages)) continue;
    TranslateMessage(&messages);
    DispatchMessageA(&messages);
  }
  return static_cast<int>(messages.wParam);
}
