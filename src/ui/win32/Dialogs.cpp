#include "ui/win32/Dialogs.h"
// after windows.h
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "app/About.h"
#include "base/Text.h"
#include "platform/win32/Win32Text.h"
#include "ui/win32/Dpi.h"
#include "ui/win32/StatusIcons.h"
#include "ui/win32/VersionInfo.h"

namespace lumbra::ui::win32 {

using platform::win32::Utf8;
using platform::win32::Wide;

namespace {

bool gModalWindowsEnded = false;

// The messages' light blue and the About window's.
constexpr COLORREF kMessageColour = RGB(162, 199, 219);
constexpr COLORREF kAboutColour = RGB(221, 238, 255);

// An empty dialog in memory; the controls are made in WM_INITDIALOG, sized in pixels.
std::vector<WORD> DialogTemplate(DWORD style, const std::wstring& title) {
  std::vector<WORD> t;
  auto dword = [&t](DWORD v) {
    t.push_back(LOWORD(v));
    t.push_back(HIWORD(v));
  };
  auto text = [&t](std::wstring_view s) {
    t.insert(t.end(), s.begin(), s.end());
    t.push_back(0);
  };
  dword(style | DS_SETFONT);
  dword(0);                                          // extended style
  for (WORD w : {0, 0, 0, 100, 50}) t.push_back(w);  // no items; x, y, cx, cy
  t.push_back(0);                                    // no menu
  t.push_back(0);                                    // the dialog class
  text(title);
  t.push_back(8);  // points
  text(L"Tahoma");
  return t;
}

// Gives the window a client area of w by h 96-dpi units at its dpi, centred
// on the work area.
void SizeAndCentre(HWND hwnd, int w, int h) {
  const UINT dpi = WindowDpi(hwnd);
  RECT r{0, 0, Scaled(w, dpi), Scaled(h, dpi)};
  AdjustWindowRectForDpi(r, static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE)),
                         static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)), dpi);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int ww = r.right - r.left, wh = r.bottom - r.top;
  SetWindowPos(hwnd, nullptr, work.left + (work.right - work.left - ww) / 2,
               work.top + (work.bottom - work.top - wh) / 2, ww, wh, SWP_NOZORDER);
}

// A control placed in 96-dpi units; the dialog's font has the dialog's dpi.
HWND Child(HWND parent, const wchar_t* cls, const std::string& text, DWORD style, int x, int y,
           int w, int h, int id, DWORD exStyle = 0) {
  const UINT dpi = WindowDpi(parent);
  HWND hwnd = CreateWindowExW(exStyle, cls, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                              Scaled(x, dpi), Scaled(y, dpi), Scaled(w, dpi), Scaled(h, dpi), parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), nullptr);
  SendMessageW(hwnd, WM_SETFONT, SendMessageW(parent, WM_GETFONT, 0, 0), FALSE);
  return hwnd;
}

// --- Message box ------------------------------------------------------------

thread_local bool tColourNextBox = false;
thread_local HBRUSH tMessageBrush = nullptr;

LRESULT CALLBACK MessageBoxColours(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR) {
  switch (msg) {
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      SetBkColor(reinterpret_cast<HDC>(wParam), kMessageColour);
      return reinterpret_cast<LRESULT>(tMessageBrush);
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, tMessageBrush);
      return 1;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, MessageBoxColours, 1);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

// Colours the first dialog this thread makes after the box was asked for: the box.
LRESULT CALLBACK WatchForTheBox(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && tColourNextBox) {
    HWND hwnd = reinterpret_cast<HWND>(wParam);
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (std::wstring_view(cls) == L"#32770") {
      tColourNextBox = false;
      SetWindowSubclass(hwnd, MessageBoxColours, 1, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// --- Password dialog ----------------------------------------------------------

constexpr int kPasswordEntry = 100;

INT_PTR CALLBACK PasswordProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* dlg = reinterpret_cast<app::TTkETPwdDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG: {
      dlg = reinterpret_cast<app::TTkETPwdDlg*>(lParam);
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      SizeAndCentre(hwnd, 233, 111);
      Child(hwnd, L"STATIC", dlg->Prompt().Caption(), SS_LEFT, 8, 8, 202, 24, -1);
      HWND entry =
          Child(hwnd, L"EDIT", dlg->Entry().Text(), WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 8,
                38, 217, 21, kPasswordEntry, WS_EX_CLIENTEDGE);
      SendMessageW(entry, EM_SETPASSWORDCHAR, L'*', 0);
      Child(hwnd, L"BUTTON", dlg->Controls["XiButton3"].Caption(), WS_TABSTOP | BS_DEFPUSHBUTTON,
            68, 76, 75, 25, IDOK);
      Child(hwnd, L"BUTTON", dlg->Controls["XiButton1"].Caption(), WS_TABSTOP | BS_PUSHBUTTON, 150,
            76, 75, 25, IDCANCEL);
      SetForegroundWindow(hwnd);
      SetFocus(entry);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        int n = GetWindowTextLengthW(GetDlgItem(hwnd, kPasswordEntry));
        std::wstring text(static_cast<size_t>(n) + 1, L'\0');
        GetDlgItemTextW(hwnd, kPasswordEntry, text.data(), n + 1);
        text.resize(static_cast<size_t>(n));
        dlg->Entry().SetText(Utf8(text));
        EndDialog(hwnd, LOWORD(wParam) == IDOK ? 1 : 0);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

// --- About window ---------------------------------------------------------------

struct AboutContext {
  explicit AboutContext(std::function<void(const std::string&)> open) : model(std::move(open)) {}
  app::TfmAbout model;
  HBRUSH background = CreateSolidBrush(kAboutColour);
  HFONT bold = nullptr, link = nullptr, linkBold = nullptr, hot = nullptr, hotBold = nullptr;
  HICON icon = nullptr;
  HWND tips = nullptr;
  ~AboutContext() {
    DeleteObject(background);
    for (HFONT f : {bold, link, linkBold, hot, hotBold})
      if (f != nullptr) DeleteObject(f);
    if (icon != nullptr) DestroyIcon(icon);
  }
};

struct LinkState {
  AboutContext* about;
  bool bold;
  bool hot = false;
};

constexpr int kAboutLabel3 = 203, kAboutLabel6 = 206;

// The maker's links: a hand under the mouse, underlined while it is over them.
LRESULT CALLBACK LinkProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                          DWORD_PTR data) {
  auto* state = reinterpret_cast<LinkState*>(data);
  switch (msg) {
    case WM_SETCURSOR:
      SetCursor(LoadCursorW(nullptr, IDC_HAND));
      return TRUE;
    case WM_MOUSEMOVE:
      if (!state->hot) {
        state->hot = true;
        TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&t);
        SendMessageW(
            hwnd, WM_SETFONT,
            reinterpret_cast<WPARAM>(state->bold ? state->about->hotBold : state->about->hot),
            TRUE);
      }
      break;
    case WM_MOUSELEAVE:
      state->hot = false;
      SendMessageW(
          hwnd, WM_SETFONT,
          reinterpret_cast<WPARAM>(state->bold ? state->about->linkBold : state->about->link),
          TRUE);
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, LinkProc, 1);
      delete state;
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

HFONT DerivedFont(HWND dlg, bool bold, bool underline) {
  LOGFONTW lf{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
  lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  lf.lfUnderline = underline ? TRUE : FALSE;
  return CreateFontIndirectW(&lf);
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* about = reinterpret_cast<AboutContext*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG: {
      about = reinterpret_cast<AboutContext*>(lParam);
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      SizeAndCentre(hwnd, 328, 218);
      about->bold = DerivedFont(hwnd, true, false);
      about->link = DerivedFont(hwnd, false, false);
      about->linkBold = DerivedFont(hwnd, true, false);
      about->hot = DerivedFont(hwnd, false, true);
      about->hotBold = DerivedFont(hwnd, true, true);
      app::TControlSet& c = about->model.Controls;
      Child(hwnd, L"STATIC", "", SS_ETCHEDFRAME, 8, 8, 312, 168, -1);
      HWND image = Child(hwnd, L"STATIC", "", SS_ICON | SS_REALSIZEIMAGE, 20, 18, 32, 32, 200);
      about->icon = ProgramIcon(Scaled(32, WindowDpi(hwnd)));
      SendMessageW(image, STM_SETICON, reinterpret_cast<WPARAM>(about->icon), 0);
      auto label = [&](const char* name, int id, int x, int y, int w, HFONT font = nullptr) {
        HWND l = Child(hwnd, L"STATIC", c[name].Caption(), SS_LEFT | SS_NOPREFIX | SS_NOTIFY, x, y,
                       w, 15, id);
        if (font != nullptr) SendMessageW(l, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return l;
      };
      label("Label4", 201, 64, 18, 240, about->bold);
      label("Label7", 202, 64, 36, 12);
      label("lbVer", 207, 78, 36, 120);
      label("lbBuild", 208, 64, 53, 240);
      label("Label5", 209, 20, 76, 290);
      label("Label8", 210, 20, 92, 290);
      label("Label1", 211, 20, 110, 290);
      HWND site = label("Label3", kAboutLabel3, 20, 126, 290, about->linkBold);
      label("Label2", 212, 20, 142, 290);
      HWND mail = label("Label6", kAboutLabel6, 20, 158, 290, about->link);
      SetWindowSubclass(site, LinkProc, 1, reinterpret_cast<DWORD_PTR>(new LinkState{about, true}));
      SetWindowSubclass(mail, LinkProc, 1,
                        reinterpret_cast<DWORD_PTR>(new LinkState{about, false}));
      Child(hwnd, L"BUTTON", c["XiButton4"].Caption(), WS_TABSTOP | BS_DEFPUSHBUTTON, 245, 186, 75,
            25, IDOK);
      about->tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                    WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, 0, 0, 0, 0, hwnd,
                                    nullptr, GetModuleHandleW(nullptr), nullptr);
      for (auto [name, l] : {std::pair{"Label3", site}, std::pair{"Label6", mail}}) {
        std::wstring tip = Wide(c[name].Hint());
        TOOLINFOW ti{};
        ti.cbSize = TTTOOLINFOW_V2_SIZE;
        ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        ti.hwnd = hwnd;
        ti.uId = reinterpret_cast<UINT_PTR>(l);
        ti.lpszText = tip.data();
        SendMessageW(about->tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
      }
      return TRUE;
    }
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, kAboutColour);
      int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
      if (msg == WM_CTLCOLORSTATIC && (id == kAboutLabel3 || id == kAboutLabel6))
        SetTextColor(dc, RGB(0, 0, 128));  // navy
      return reinterpret_cast<INT_PTR>(about->background);
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          about->model.Controls["XiButton4"].UserClick();
          EndDialog(hwnd, IDOK);
          return TRUE;
        case IDCANCEL:  // Escape
          about->model.FormKeyPress(27);
          if (about->model.ModalResult() == app::TModalResult::Ok) EndDialog(hwnd, IDOK);
          return TRUE;
        case kAboutLabel3:
          if (HIWORD(wParam) == STN_CLICKED) about->model.Controls["Label3"].UserClick();
          return TRUE;
        case kAboutLabel6:
          if (HIWORD(wParam) == STN_CLICKED) about->model.Controls["Label6"].UserClick();
          return TRUE;
        default:
          break;
      }
      break;
    case WM_DESTROY:
      if (about != nullptr && about->tips != nullptr) DestroyWindow(about->tips);
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

void EndModalWindows() {
  gModalWindowsEnded = true;
}

bool ModalWindowsEnded() {
  return gModalWindowsEnded;
}

void TopMessageBox::Show(const std::string& text, const std::string& caption,
                         platform::MessageKind kind) {
  if (gModalWindowsEnded) {
    OutputDebugStringW(Wide(caption + ": " + text + "\n").c_str());
    return;
  }
  UINT icon = kind == platform::MessageKind::Error     ? MB_ICONERROR
              : kind == platform::MessageKind::Warning ? MB_ICONWARNING
                                                       : 0;
  // The thread that has the foreground lets this one take it only while the
  // two share their input.
  HWND front = GetForegroundWindow();
  DWORD process = 0;
  DWORD theirs = front != nullptr ? GetWindowThreadProcessId(front, &process) : 0;
  DWORD mine = GetCurrentThreadId();
  bool attached = theirs != 0 && process != GetCurrentProcessId() &&
                  AttachThreadInput(mine, theirs, TRUE) != FALSE;
  if (tMessageBrush == nullptr) tMessageBrush = CreateSolidBrush(kMessageColour);
  HHOOK hook = SetWindowsHookExW(WH_CBT, WatchForTheBox, nullptr, mine);
  tColourNextBox = true;
  // Modal to the whole program, as its other windows wait for the answer.
  MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(),
              MB_OK | icon | MB_TOPMOST | MB_SETFOREGROUND | MB_TASKMODAL);
  tColourNextBox = false;
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  if (attached) AttachThreadInput(mine, theirs, FALSE);
}

HICON ProgramIcon(int size) {
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
  if (icon != nullptr) return icon;
  // No icon resource (a test program): the reader picture at that size.
  auto px = StatusPixels(1, size);
  return IconFromPixels(px.data(), size);
}

bool RunPasswordDialog(app::TTkETPwdDlg& dlg, HWND owner) {
  if (gModalWindowsEnded) return false;
  auto t = DialogTemplate(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFOREGROUND,
                          Wide(dlg.Form().Caption()));
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                 reinterpret_cast<LPCDLGTEMPLATEW>(t.data()), owner, PasswordProc,
                                 reinterpret_cast<LPARAM>(&dlg)) == 1;
}

void RunAboutDialog(HWND owner) {
  if (gModalWindowsEnded) return;
  AboutContext about([](const std::string& address) {
    ShellExecuteW(nullptr, L"open", Wide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  });
  about.model.FormCreate();
  about.model.FormShow();
  // What the program's own file says, as the About window has always read it.
  about.model.Controls["lbVer"].SetCaption(ProgramVersionString("ProductVersion"));
  about.model.Controls["lbBuild"].SetCaption("Build (" + Trim(ProgramVersionString("FileVersion")) +
                                             ")");
  auto t = DialogTemplate(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFOREGROUND,
                          Wide(about.model.Form().Caption()));
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(t.data()),
                          owner, AboutProc, reinterpret_cast<LPARAM>(&about));
}

bool BrowseFile(HWND owner, const std::string& title, const std::string& filter,
                std::string& fileName) {
  if (gModalWindowsEnded) return false;
  std::wstring filters = Wide(filter);
  for (wchar_t& ch : filters)
    if (ch == L'|') ch = L'\0';
  filters.append(2, L'\0');
  std::wstring name = Wide(fileName);
  name.resize(std::max<size_t>(name.size() + 1, 32768), L'\0');
  std::wstring caption = Wide(title);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filters.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = name.data();
  ofn.nMaxFile = static_cast<DWORD>(name.size());
  ofn.lpstrTitle = caption.empty() ? nullptr : caption.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
              OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return false;
  fileName = Utf8(name.c_str());
  return true;
}

}  // namespace lumbra::ui::win32
