// The Windows side of the end-to-end test, one program with several modes:
//
//   target LOG      a window with an edit control that has the focus; every
//                   character it receives is appended to LOG ("C <code>", or
//                   "N Tab", "N Return"... for control characters), and so is
//                   every change of activation ("A 1"/"A 0") and of the edit's
//                   focus ("F 1"/"F 0"). "R" once it is shown.
//   main            the main window's title and client size, "WxH", on two
//                   lines; fails when it is hidden or missing.
//   texts           the texts of the main window's controls, one a line.
//   where TEXT      the screen centre "X Y" of a visible control captioned
//                   TEXT (mnemonic '&' left out) in any visible window, for a
//                   click where a user would click.
//   foreground      the class and title of the foreground window.
//   menu            the screen rectangle "left top right bottom" of a shown
//                   popup menu, else fails (its items are the owner's to know).
//   box             the topmost shown message box: its handle, caption, text and
//                   the screen centre "X Y" of its OK button, one a line; fails
//                   when there is none.
//
// The queries read windows of another process through calls that need no
// cooperation from it (window texts of controls are kept by the system).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ui/win32/WindowNames.h"

namespace {

using lumbra::ui::win32::kMainWindowClass;

constexpr wchar_t kTargetClass[] = L"LumbraBadgeTarget";

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring Text(HWND w) {
  wchar_t buf[1024] = {};
  GetWindowTextW(w, buf, 1024);
  return buf;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[256] = {};
  GetClassNameW(w, buf, 256);
  return buf;
}

// A caption as read: without the '&' that marks the mnemonic ("&&" is one '&').
std::wstring Plain(const std::wstring& caption) {
  std::wstring out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == L'&' && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return out;
}

void PrintLine(const std::wstring& w) {
  std::string s = Utf8(w);
  for (char& c : s)
    if (c == '\n' || c == '\r') c = '|';
  std::printf("%s\n", s.c_str());
}

// --- target -----------------------------------------------------------------

FILE* gLog = nullptr;
WNDPROC gEditProc = nullptr;

void Log(const char* line) {
  std::fprintf(gLog, "%s\n", line);
  std::fflush(gLog);
}

LRESULT CALLBACK EditProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CHAR: {
      const auto c = static_cast<unsigned>(wp);
      const char* name = c == 9    ? "Tab"
                         : c == 13 ? "Return"
                         : c == 8  ? "BackSpace"
                         : c == 27 ? "Escape"
                                   : nullptr;
      Log((name != nullptr ? "N " + std::string(name) : "C " + std::to_string(c)).c_str());
      break;
    }
    case WM_SETFOCUS:
      Log("F 1");
      break;
    case WM_KILLFOCUS:
      Log("F 0");
      break;
    case WM_GETDLGCODE:
      // Tab and Return are text here, as in an editor.
      return DLGC_WANTALLKEYS | CallWindowProcW(gEditProc, w, msg, wp, lp);
  }
  return CallWindowProcW(gEditProc, w, msg, wp, lp);
}

LRESULT CALLBACK TargetProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  static HWND edit = nullptr;
  switch (msg) {
    case WM_CREATE:
      edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                             WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL,
                             0, 0, 0, 0, w, nullptr, GetModuleHandleW(nullptr), nullptr);
      gEditProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
      return 0;
    case WM_SIZE:
      MoveWindow(edit, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
      return 0;
    case WM_ACTIVATE:
      Log(LOWORD(wp) != WA_INACTIVE ? "A 1" : "A 0");
      // The edit takes the keys whenever the window is active.
      if (LOWORD(wp) != WA_INACTIVE) SetFocus(edit);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

int RunTarget(const std::wstring& log) {
  gLog = _wfopen(log.c_str(), L"ab");
  if (gLog == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", Utf8(log).c_str());
    return 2;
  }
  WNDCLASSW wc{};
  wc.lpfnWndProc = TargetProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kTargetClass;
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, kTargetClass, L"badge-target", WS_OVERLAPPEDWINDOW, 40, 420, 420, 200,
                           nullptr, nullptr, wc.hInstance, nullptr);
  if (w == nullptr) return 2;
  ShowWindow(w, SW_SHOWNORMAL);
  UpdateWindow(w);
  SetForegroundWindow(w);
  Log("R");
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  std::fclose(gLog);
  return 0;
}

// --- queries ----------------------------------------------------------------

HWND MainWindow() {
  return FindWindowW(kMainWindowClass, nullptr);
}

int PrintMain() {
  HWND main = MainWindow();
  if (main == nullptr || !IsWindowVisible(main)) return 1;
  RECT r{};
  GetClientRect(main, &r);
  PrintLine(Text(main));
  std::printf("%ldx%ld\n", r.right - r.left, r.bottom - r.top);
  return 0;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(
      parent,
      [](HWND w, LPARAM p) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

int PrintTexts() {
  HWND main = MainWindow();
  if (main == nullptr) return 1;
  // Hidden ones too: the status lines are kept while the window is hidden.
  for (HWND c : Children(main))
    if (std::wstring t = Text(c); !t.empty()) PrintLine(Plain(t));
  return 0;
}

int PrintWhere(const std::wstring& caption) {
  std::vector<HWND> tops;
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        if (IsWindowVisible(w)) reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tops));
  for (HWND top : tops)
    for (HWND c : Children(top)) {
      if (!IsWindowVisible(c) || Plain(Text(c)) != caption) continue;
      RECT r{};
      GetWindowRect(c, &r);
      std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
      return 0;
    }
  return 1;
}

int PrintForeground() {
  HWND w = GetForegroundWindow();
  if (w == nullptr) return 1;
  PrintLine(ClassOf(w));
  PrintLine(Text(w));
  return 0;
}

int PrintMenu() {
  HWND menu = FindWindowW(L"#32768", nullptr);
  if (menu == nullptr || !IsWindowVisible(menu)) return 1;
  RECT r{};
  GetWindowRect(menu, &r);
  std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
  return 0;
}

int PrintBox() {
  for (HWND w = FindWindowW(L"#32770", nullptr); w != nullptr;
       w = FindWindowExW(nullptr, w, L"#32770", nullptr)) {
    HWND text = GetDlgItem(w, 0xFFFF);  // a message box's text
    if (!IsWindowVisible(w) || text == nullptr) continue;
    std::printf("%p\n", static_cast<void*>(w));
    PrintLine(Text(w));
    PrintLine(Text(text));
    RECT ok{};
    GetWindowRect(GetDlgItem(w, IDOK), &ok);
    std::printf("%ld %ld\n", (ok.left + ok.right) / 2, (ok.top + ok.bottom) / 2);
    return 0;
  }
  return 1;
}

}  // namespace

int main() {
  // Lines as the shell reads them, without carriage returns.
  _setmode(_fileno(stdout), _O_BINARY);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  const std::wstring arg = argc > 2 ? argv[2] : L"";
  int rc = 2;
  if (mode == L"target" && argc == 3)
    rc = RunTarget(arg);
  else if (mode == L"main")
    rc = PrintMain();
  else if (mode == L"texts")
    rc = PrintTexts();
  else if (mode == L"where" && argc == 3)
    rc = PrintWhere(arg);
  else if (mode == L"foreground")
    rc = PrintForeground();
  else if (mode == L"menu")
    rc = PrintMenu();
  else if (mode == L"box")
    rc = PrintBox();
  else
    std::fprintf(stderr,
                 "usage: lumbra_wintarget target LOG | main | texts | where TEXT | foreground | "
                 "menu | box\n");
  std::fflush(stdout);
  LocalFree(argv);
  return rc;
}
