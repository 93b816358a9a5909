#include "ui/win32/MainWindow.h"

#include <charconv>
#include <climits>
#include <cstring>

#include "base/AppException.h"
#include "platform/win32/Win32Text.h"
#include "ui/win32/Dialogs.h"
#include "ui/win32/Dpi.h"
// after windows.h
#include <commctrl.h>
#include <shellapi.h>

namespace lumbra::ui::win32 {

using app::ControlKind;
using app::TControl;
using platform::win32::Utf8;
using platform::win32::Wide;

namespace {

constexpr wchar_t kPanelClass[] = L"LumbraPanel";
constexpr int kFirstId = 1000;

// Where each control lies in its parent, in 96-dpi units (pixels at 96 dpi,
// scaled to the window's dpi). The tab sheets fill the page control's display
// area, which depends on how many rows its tabs take.
struct Place {
  const char* name;
  int x, y, w, h;
};
constexpr Place kPlaces[] = {
    // Status panel.
    {"PanMain", 0, 0, app::kClientWidth, app::kStatusPanelHeight},
    {"PanImgTes", 9, 6, 24, 24},
    {"ImgTes", 3, 3, 16, 16},
    {"BadgeReader", 13, 35, 16, 16},
    {"lbStatusReader", 42, 10, 228, 15},
    {"lbStatusTes", 42, 33, 228, 15},
    {"XiButton1", 278, 4, 82, 24},
    {"XiButton3", 278, 30, 82, 24},
    // Settings panel.
    {"PanOpt", 0, app::kStatusPanelHeight, app::kClientWidth, app::kSettingsPanelHeight},
    {"JvPageControl1", 4, 2, app::kClientWidth - 8, app::kSettingsPanelHeight - 6},
    // "Avanzate".
    {"lbModel", 8, 12, 130, 15},
    {"cbModel", 140, 8, 160, 220},
    {"lbCom", 8, 39, 130, 15},
    {"cbCom", 140, 35, 160, 220},
    {"ckAvvioAutomatico", 8, 62, 330, 20},
    {"lbLingua", 8, 91, 130, 15},
    {"cbLingua", 140, 87, 160, 120},
    {"XiButton2", 8, 118, 124, 25},
    {"XiButton4", 140, 118, 80, 25},
    // "Azione a lettura tessera".
    {"lbPreChar", 8, 9, 110, 15},
    {"cbPreChar", 120, 5, 140, 220},
    {"lbDa", 96, 30, 50, 15},
    {"lbNCarat", 150, 30, 54, 15},
    {"lbSeguito", 208, 30, 80, 15},
    {"lbAllineam", 292, 30, 54, 15},
    {"CheckBox1", 8, 46, 86, 20},
    {"SpinEdit1", 96, 45, 50, 21},
    {"SpinEdit2", 150, 45, 54, 21},
    {"ComboBox1", 208, 45, 80, 220},
    {"eAll1", 292, 45, 50, 21},
    {"CheckBox2", 8, 70, 86, 20},
    {"SpinEdit3", 96, 69, 50, 21},
    {"SpinEdit4", 150, 69, 54, 21},
    {"ComboBox2", 208, 69, 80, 220},
    {"eAll2", 292, 69, 50, 21},
    {"CheckBox3", 8, 94, 86, 20},
    {"SpinEdit5", 96, 93, 50, 21},
    {"SpinEdit6", 150, 93, 54, 21},
    {"ComboBox3", 208, 93, 80, 220},
    {"eAll3", 292, 93, 50, 21},
    {"ckSoundTes", 8, 125, 118, 20},
    {"PanSoundTes", 128, 120, 218, 48},
    {"rbBeeptes", 0, 2, 120, 20},
    {"SpeedButton3", 150, 0, 64, 23},
    {"rbSoundTes", 0, 26, 84, 20},
    {"eSoundTes", 84, 25, 104, 21},
    {"btSoundTes", 190, 25, 24, 21},
};

// The three tabs of the sound slots share one arrangement.
struct SlotNames {
  const char *check, *panel, *beep, *file, *name, *browse, *test, *message;
};
constexpr SlotNames kSlotTabs[] = {
    {"ckSoundErrTes", "panSoundErrtes", "rbBeepErrTes", "rbSoundErrTes", "eSoundErrTes",
     "btSoundErrTes", "SpeedButton1", "ckMsgErrTes"},
    {"ckSoundErrReader", "panSoundErrReader", "rbBeepErrReader", "rbSoundErrReader",
     "eSoundErrReader", "btSoundErrReader", "SpeedButton2", "ckMsgErrReader"},
    {"ckSoundExitTes", "PanSoundExitTes", "rbBeepExitTes", "rbSoundExittes", "eSoundExitTes",
     "btSoundExitTes", "SpeedButton4", nullptr},
};

bool FindPlace(const std::string& name, RECT& r) {
  for (const Place& p : kPlaces)
    if (name == p.name) {
      r = {p.x, p.y, p.x + p.w, p.y + p.h};
      return true;
    }
  for (const SlotNames& s : kSlotTabs) {
    const std::pair<const char*, RECT> places[] = {
        {s.check, {8, 8, 338, 28}},     {s.panel, {8, 30, 346, 84}},   {s.beep, {16, 3, 200, 23}},
        {s.test, {254, 0, 334, 25}},    {s.file, {16, 30, 104, 50}},   {s.name, {106, 29, 300, 50}},
        {s.browse, {304, 29, 332, 50}}, {s.message, {8, 92, 346, 112}}};
    for (const auto& [n, rect] : places)
      if (n != nullptr && name == n) {
        r = rect;
        return true;
      }
  }
  return false;
}

std::wstring WindowText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, s.data(), n + 1);
  s.resize(static_cast<size_t>(n));
  return s;
}

void SetText(HWND hwnd, const std::string& text) {
  std::wstring w = Wide(text);
  if (WindowText(hwnd) != w) SetWindowTextW(hwnd, w.c_str());
}

// Panels hand their children's notices to the main window.
LRESULT CALLBACK PanelProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
      return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wParam, lParam);
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

// The main window's procedure is the view's, set once the view is bound to it.
void RegisterClass(const wchar_t* name, WNDPROC proc, UINT style) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(instance, name, &wc)) return;
  wc = {};
  wc.cbSize = sizeof(wc);
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  RegisterClassExW(&wc);
}

constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kMainExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

}  // namespace

MainWindow::MainWindow(app::TTkEmuTasMain& model, const wchar_t* windowClass) : fModel(model) {
  INITCOMMONCONTROLSEX icc{
      sizeof(icc), ICC_TAB_CLASSES | ICC_UPDOWN_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  RegisterClass(kPanelClass, PanelProcedure, 0);
  RegisterClass(windowClass, DefWindowProcW, CS_DBLCLKS);
  fTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

  // Made first at the system's scale: its dpi is that of the monitor it then lies on.
  fDpi = SystemDpi();
  SIZE size = FrameSize();
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  fHwnd = CreateWindowExW(kMainExStyle, windowClass,
                          Wide(fModel.C("TkEmuTasMain").Caption()).c_str(), kMainStyle,
                          work.left + (work.right - work.left - size.cx) / 2,
                          work.top + (work.bottom - work.top - size.cy) / 2, size.cx, size.cy,
                          nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (fHwnd == nullptr) throw Exception("Cannot create the main window");
  SetWindowLongPtrW(fHwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(fHwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));

  fTips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                          WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_BALLOON, 0, 0, 0, 0, fHwnd,
                          nullptr, GetModuleHandleW(nullptr), nullptr);
  ApplyDpi(WindowDpi(fHwnd));
  size = FrameSize();
  SetWindowPos(fHwnd, nullptr, work.left + (work.right - work.left - size.cx) / 2,
               work.top + (work.bottom - work.top - size.cy) / 2, size.cx, size.cy,
               SWP_NOZORDER | SWP_NOACTIVATE);

  CreateControls();
  AddTrayIcon();
  Refresh();
}

MainWindow::~MainWindow() {
  // The model outlives the windows: stop it from calling into them.
  for (const auto& c : fModel.Controls.All()) c->OnUpdate = nullptr;
  RemoveTrayIcon();
  if (fHwnd != nullptr) {
    SetWindowLongPtrW(fHwnd, GWLP_USERDATA, 0);
    DestroyWindow(fHwnd);
  }
  for (HGDIOBJ o : {static_cast<HGDIOBJ>(fFont), static_cast<HGDIOBJ>(fBold),
                    static_cast<HGDIOBJ>(fIndicatorBrush)})
    if (o != nullptr) DeleteObject(o);
  for (HICON i : {fBigIcon, fSmallIcon})
    if (i != nullptr) DestroyIcon(i);
}

void MainWindow::Perform(const std::function<void()>& action) {
  fModel.Perform(action);
}

// --- Controls -------------------------------------------------------------------

void MainWindow::CreateControls() {
  for (const auto& c : fModel.Controls.All()) {
    switch (c->Kind()) {
      case ControlKind::Form:
      case ControlKind::PopupMenu:
      case ControlKind::MenuItem:
      case ControlKind::OpenDialog:
        continue;
      default:
        break;
    }
    fByName[c->Name()] = fBound.size();
    Bound b;
    b.control = c.get();
    fBound.push_back(std::move(b));
  }
  for (Bound& b : fBound) Create(b);
  for (Bound& b : fBound) PlaceControl(b);
  LayoutPages();
  ShowPage(0);
  for (Bound& b : fBound) {
    b.control->OnUpdate = [this, &b](TControl&) {
      ++fSyncing;
      Sync(b);
      --fSyncing;
    };
    ++fSyncing;
    Sync(b);
    --fSyncing;
  }
  TControl& form = fModel.C("TkEmuTasMain");
  form.OnUpdate = [this](TControl& c) { SetText(fHwnd, c.Caption()); };
}

void MainWindow::Create(Bound& b) {
  TControl& c = *b.control;
  HWND parent = fHwnd;
  if (c.Parent() != nullptr && c.Parent()->Kind() != ControlKind::Form) {
    auto it = fByName.find(c.Parent()->Name());
    if (it != fByName.end()) parent = fBound[it->second].hwnd;
  }
  RECT r{0, 0, 0, 0};
  FindPlace(c.Name(), r);
  const int id = kFirstId + static_cast<int>(&b - fBound.data());
  const wchar_t* cls = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
  DWORD ex = 0;
  std::string text = c.Caption();
  int height = r.bottom - r.top;
  switch (c.Kind()) {
    case ControlKind::Panel:
    case ControlKind::TabSheet:
      cls = kPanelClass;
      ex = WS_EX_CONTROLPARENT;
      if (c.Name() == "PanImgTes") ex |= WS_EX_STATICEDGE;
      text.clear();
      break;
    case ControlKind::PageControl:
      cls = WC_TABCONTROLW;
      style |= WS_CLIPCHILDREN | TCS_MULTILINE | WS_TABSTOP;
      ex = WS_EX_CONTROLPARENT;
      text.clear();
      break;
    case ControlKind::Label:
      // One line each, as long as the text; the status lines end in "..." when too long.
      style |= SS_NOTIFY | SS_LEFTNOWORDWRAP |
               (c.Name().rfind("lbStatus", 0) == 0 ? SS_ENDELLIPSIS : 0u);
      break;
    case ControlKind::Button:
      cls = L"BUTTON";
      style |= BS_PUSHBUTTON | WS_TABSTOP;
      break;
    case ControlKind::CheckBox:
      cls = L"BUTTON";
      style |= BS_CHECKBOX | WS_TABSTOP;
      break;
    case ControlKind::RadioButton:
      cls = L"BUTTON";
      style |= BS_RADIOBUTTON | WS_TABSTOP;
      break;
    case ControlKind::Edit:
    case ControlKind::SpinEdit:
      cls = L"EDIT";
      style |= WS_TABSTOP | ES_AUTOHSCROLL;
      ex = WS_EX_CLIENTEDGE;
      text = c.Text();
      break;
    case ControlKind::ComboBox:
      cls = L"COMBOBOX";
      style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
      text.clear();
      break;
    case ControlKind::Image:
      style |= SS_ICON | SS_REALSIZEIMAGE | SS_CENTERIMAGE;
      text.clear();
      break;
    case ControlKind::Indicator:
      // A coloured square: the reader's state (grey off, green running, red failed).
      style |= SS_NOTIFY;
      ex = WS_EX_STATICEDGE;
      text.clear();
      break;
    default:
      break;
  }
  b.hwnd = CreateWindowExW(ex, cls, Wide(text).c_str(), style, S(r.left), S(r.top),
                           S(r.right - r.left), S(height), parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  if (b.hwnd == nullptr) throw Exception("Cannot create the window of " + c.Name());
  if (c.Kind() == ControlKind::TabSheet) {
    b.tab = static_cast<int>(fPages.size());
    fPages.push_back(static_cast<size_t>(&b - fBound.data()));
    std::wstring caption = Wide(c.Caption());
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(parent, TCM_INSERTITEMW, static_cast<WPARAM>(b.tab),
                 reinterpret_cast<LPARAM>(&item));
  }
  if (c.Kind() == ControlKind::SpinEdit) {
    b.spin = CreateWindowExW(
        0, UPDOWN_CLASSW, nullptr,
        WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
        0, 0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    bool limited = c.MaxValue() > c.MinValue();
    SendMessageW(b.spin, UDM_SETRANGE32, static_cast<WPARAM>(limited ? c.MinValue() : INT_MIN),
                 static_cast<LPARAM>(limited ? c.MaxValue() : INT_MAX));
  }
}

// The control's place, font and parts at the window's dpi.
void MainWindow::PlaceControl(Bound& b) {
  const TControl& c = *b.control;
  RECT r{0, 0, 0, 0};
  if (c.Kind() != ControlKind::TabSheet && FindPlace(c.Name(), r))
    MoveWindow(b.hwnd, S(r.left), S(r.top), S(r.right - r.left), S(r.bottom - r.top), TRUE);
  SendMessageW(b.hwnd, WM_SETFONT,
               reinterpret_cast<WPARAM>(c.Name() == "lbStatusTes" ? fBold : fFont), TRUE);
  if (b.spin != nullptr) {
    // Set again, the arrows take their width out of the field as it is now.
    SetWindowPos(b.spin, nullptr, 0, 0, S(17), S(r.bottom - r.top), SWP_NOZORDER | SWP_NOMOVE);
    SendMessageW(b.spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(b.hwnd), 0);
  }
  if (c.Kind() == ControlKind::ComboBox) SendMessageW(b.hwnd, CB_SETDROPPEDWIDTH, S(150), 0);
}

int MainWindow::S(int units) const {
  return Scaled(units, fDpi);
}

SIZE MainWindow::ClientSize() const {
  // The two panels scaled one by one, as they are placed.
  const bool settings = fModel.ClientHeight() > app::kStatusPanelHeight;
  return {S(app::kClientWidth),
          S(app::kStatusPanelHeight) + (settings ? S(app::kSettingsPanelHeight) : 0)};
}

SIZE MainWindow::FrameSize() const {
  const SIZE client = ClientSize();
  RECT r{0, 0, client.cx, client.cy};
  AdjustWindowRectForDpi(r, kMainStyle, kMainExStyle, fDpi);
  return {r.right - r.left, r.bottom - r.top};
}

void MainWindow::FitClient(const RECT* at) {
  const SIZE want = ClientSize();
  RECT client;
  GetClientRect(fHwnd, &client);
  if (at == nullptr && client.right == want.cx && client.bottom == want.cy) return;
  const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (at == nullptr ? SWP_NOMOVE : 0u);
  const SIZE frame = FrameSize();
  SetWindowPos(fHwnd, nullptr, at != nullptr ? at->left : 0, at != nullptr ? at->top : 0, frame.cx,
               frame.cy, flags);
  // The frame the system drew may not be the one the dpi predicts (its own
  // scale, a theme): the client area is what must come out right.
  GetClientRect(fHwnd, &client);
  if (client.right == want.cx && client.bottom == want.cy) return;
  RECT now;
  GetWindowRect(fHwnd, &now);
  SetWindowPos(fHwnd, nullptr, 0, 0, now.right - now.left + want.cx - client.right,
               now.bottom - now.top + want.cy - client.bottom, flags | SWP_NOMOVE);
}

void MainWindow::ApplyDpi(UINT dpi) {
  fDpi = dpi;
  HFONT oldFont = fFont, oldBold = fBold;
  HICON oldBig = fBigIcon, oldSmall = fSmallIcon;
  for (HFONT* font : {&fFont, &fBold})
    *font = CreateFontW(-S(11), 0, 0, 0, font == &fBold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
  fBigIcon = ProgramIcon(SystemMetricForDpi(SM_CXICON, dpi));
  fSmallIcon = ProgramIcon(SystemMetricForDpi(SM_CXSMICON, dpi));
  SendMessageW(fHwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(fBigIcon));
  SendMessageW(fHwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(fSmallIcon));
  SendMessageW(fTips, TTM_SETMAXTIPWIDTH, 0, S(300));
  // Every hint is a balloon under the reader's name, with the program's icon.
  SendMessageW(fTips, TTM_SETTITLEW, reinterpret_cast<WPARAM>(fSmallIcon),
               reinterpret_cast<LPARAM>(L"Lettore di Badge Tavik"));
  fIcons.SetSize(SystemMetricForDpi(SM_CXSMICON, dpi));
  if (!fBound.empty()) {
    for (Bound& b : fBound) PlaceControl(b);
    LayoutPages();
    fShownImage = -1;  // the picture again, at the new size
  }
  // The old ones go once nothing uses them.
  for (HGDIOBJ o : {static_cast<HGDIOBJ>(oldFont), static_cast<HGDIOBJ>(oldBold)})
    if (o != nullptr) DeleteObject(o);
  for (HICON i : {oldBig, oldSmall})
    if (i != nullptr) DestroyIcon(i);
}

void MainWindow::Sync(Bound& b) {
  TControl& c = *b.control;
  switch (c.Kind()) {
    case ControlKind::Label:
    case ControlKind::Button:
      SetText(b.hwnd, c.Caption());
      break;
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
      SetText(b.hwnd, c.Caption());
      SendMessageW(b.hwnd, BM_SETCHECK, c.Checked() ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    case ControlKind::Edit:
      SetText(b.hwnd, c.Text());
      break;
    case ControlKind::SpinEdit:
      // A number being typed stays as it is while it reads as the model's value.
      if (GetFocus() != b.hwnd || WindowText(b.hwnd) != Wide(std::to_string(c.Value())))
        SetText(b.hwnd, c.Text());
      SendMessageW(b.spin, UDM_SETPOS32, 0, c.Value());
      EnableWindow(b.spin, c.Enabled());
      break;
    case ControlKind::ComboBox:
      if (b.items != c.Items()) {
        b.items = c.Items();
        SendMessageW(b.hwnd, CB_RESETCONTENT, 0, 0);
        for (const std::string& item : b.items)
          SendMessageW(b.hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
      }
      SendMessageW(b.hwnd, CB_SETCURSEL, static_cast<WPARAM>(c.ItemIndex()), 0);
      break;
    case ControlKind::TabSheet: {
      std::wstring caption = Wide(c.Caption());
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      item.pszText = caption.data();
      HWND tabs = TabControl();
      SendMessageW(tabs, TCM_SETITEMW, static_cast<WPARAM>(b.tab), reinterpret_cast<LPARAM>(&item));
      LayoutPages();
      break;
    }
    default:
      break;
  }
  EnableWindow(b.hwnd, c.Enabled());
  if (c.Kind() != ControlKind::TabSheet && c.Kind() != ControlKind::Panel)
    ShowWindow(b.hwnd, c.Visible() ? SW_SHOWNA : SW_HIDE);
  SyncHint(b);
}

void MainWindow::SyncHint(Bound& b) {
  std::wstring hint = Wide(b.control->Hint());
  TOOLINFOW ti{};
  ti.cbSize = TTTOOLINFOW_V2_SIZE;
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.hwnd = GetParent(b.hwnd);
  ti.uId = reinterpret_cast<UINT_PTR>(b.hwnd);
  ti.lpszText = hint.data();
  bool& hinted = fHinted[b.hwnd];
  if (hint.empty()) {
    if (hinted) SendMessageW(fTips, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    hinted = false;
  } else if (hinted) {
    SendMessageW(fTips, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
  } else {
    hinted = SendMessageW(fTips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)) != FALSE;
  }
}

HWND MainWindow::ControlWindow(const std::string& name) const {
  auto it = fByName.find(name);
  return it == fByName.end() ? nullptr : fBound[it->second].hwnd;
}

void MainWindow::LayoutPages() {
  HWND tabs = TabControl();
  if (tabs == nullptr) return;
  RECT r;
  GetClientRect(tabs, &r);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&r));
  for (size_t i : fPages)
    MoveWindow(fBound[i].hwnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void MainWindow::ShowPage(int index) {
  for (size_t i : fPages) {
    const Bound& b = fBound[i];
    ShowWindow(b.hwnd, b.tab == index ? SW_SHOW : SW_HIDE);
  }
  SendMessageW(TabControl(), TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void MainWindow::Command(int id, int code) {
  const size_t index = static_cast<size_t>(id - kFirstId);
  if (id < kFirstId || index >= fBound.size() || fSyncing > 0) return;
  Bound& b = fBound[index];
  TControl& c = *b.control;
  switch (c.Kind()) {
    case ControlKind::Button:
    case ControlKind::CheckBox:
    case ControlKind::RadioButton:
      if (code == BN_CLICKED) Perform([&c] { c.UserClick(); });
      break;
    case ControlKind::Edit:
      if (code == EN_CHANGE) {
        std::string text = Utf8(WindowText(b.hwnd));
        if (text != c.Text()) Perform([&c, text] { c.UserSetText(text); });
      }
      break;
    case ControlKind::SpinEdit:
      if (code == EN_CHANGE) {
        // A number takes effect as soon as it is one, held to the field's range;
        // anything else waits until the field is left, then shows the value again.
        std::string text = Utf8(WindowText(b.hwnd));
        int value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()) break;
        if (c.MaxValue() > c.MinValue())
          value = value < c.MinValue() ? c.MinValue() : value > c.MaxValue() ? c.MaxValue() : value;
        if (std::to_string(value) != c.Text())
          Perform([&c, value] { c.UserSetText(std::to_string(value)); });
      } else if (code == EN_KILLFOCUS) {
        ++fSyncing;
        SetText(b.hwnd, c.Text());
        --fSyncing;
      }
      break;
    case ControlKind::ComboBox:
      if (code == CBN_SELCHANGE) {
        int i = static_cast<int>(SendMessageW(b.hwnd, CB_GETCURSEL, 0, 0));
        Perform([&c, i] { c.UserSelect(i); });
      }
      break;
    default:
      break;
  }
}

// --- Window ---------------------------------------------------------------------

void MainWindow::Refresh() {
  if (fHwnd == nullptr) return;
  using View = app::TTkEmuTasMain::TView;
  if (HWND options = ControlWindow("PanOpt"))
    ShowWindow(options, fModel.View() == View::Settings ? SW_SHOWNA : SW_HIDE);
  FitClient(nullptr);

  const int image = fModel.StatusImage();
  const bool newImage = image != fShownImage;
  fShownImage = image;
  if (newImage)
    SendMessageW(ControlWindow("ImgTes"), STM_SETICON, reinterpret_cast<WPARAM>(fIcons.Icon(image)),
                 0);
  const COLORREF colour = static_cast<COLORREF>(fModel.BadgeReader().Color() & 0xFFFFFF);
  if (colour != fIndicatorColour) {
    fIndicatorColour = colour;
    if (fIndicatorBrush != nullptr) DeleteObject(fIndicatorBrush);
    fIndicatorBrush = CreateSolidBrush(colour);
    InvalidateRect(ControlWindow("BadgeReader"), nullptr, TRUE);
  }
  // The hint is one text of two lines: reader status, then badge status.
  std::wstring tip = Wide(fModel.ReaderStatusText() + "\n" + fModel.TesStatusText());
  if (tip.size() > 127) tip.resize(127);
  const bool newTip = tip != fTrayTip;
  fTrayTip = tip;
  if (!fModel.Terminated()) UpdateTray(newImage, newTip);

  if (fModel.Terminated()) {
    if (!fEnded) {
      fEnded = true;
      ShowWindow(fHwnd, SW_HIDE);
      RemoveTrayIcon();
      if (OnTerminated) OnTerminated();
    }
  } else if (fModel.Visible()) {
    if (!IsWindowVisible(fHwnd) || IsIconic(fHwnd)) {
      ShowWindow(fHwnd, SW_SHOWNORMAL);
      SetForegroundWindow(fHwnd);
    }
  } else if (IsWindowVisible(fHwnd)) {
    ShowWindow(fHwnd, SW_HIDE);
  }
}

void MainWindow::BringForward() {
  Perform([this] {
    if (!fModel.Visible()) fModel.Apri1Click();
  });
  if (fModel.Terminated()) return;
  ShowWindow(fHwnd, IsIconic(fHwnd) ? SW_RESTORE : SW_SHOWNORMAL);
  SetForegroundWindow(fHwnd);
}

bool MainWindow::PreTranslate(MSG& msg) {
  return fHwnd != nullptr && IsWindowVisible(fHwnd) && IsDialogMessageW(fHwnd, &msg);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  try {
    return self->Handle(msg, wParam, lParam);
  } catch (...) {
    // Nothing may leave a window procedure: the error goes to the error handler.
    HandleCurrentException(nullptr);
    return 0;
  }
}

LRESULT MainWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == fTaskbarCreated && fTaskbarCreated != 0) {
    // The shell started again (after a crash of it, or late at log-on).
    fTrayShown = false;
    if (!fModel.Terminated()) AddTrayIcon();
    return 0;
  }
  switch (msg) {
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const NMHDR*>(lParam);
      if (n->hwndFrom == TabControl() && n->code == TCN_SELCHANGE)
        ShowPage(static_cast<int>(SendMessageW(n->hwndFrom, TCM_GETCURSEL, 0, 0)));
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == ControlWindow("BadgeReader") &&
          fIndicatorBrush != nullptr) {
        SetBkColor(reinterpret_cast<HDC>(wParam), fIndicatorColour);
        return reinterpret_cast<LRESULT>(fIndicatorBrush);
      }
      break;
    case WM_CLOSE:
      // Closing hides the window into the notification area; the model says
      // when the program may really end.
      Perform([this] { fModel.FormCloseQuery(); });
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        Perform([this] { fModel.FormCloseQuery(); });
        return 0;
      }
      break;
    case WM_QUERYENDSESSION:
      // A shutdown or log-off ends the program without a password, the
      // settings saved first.
      EndModalWindows();
      if (!fModel.Terminated()) Perform([this] { fModel.QueryEndSession(); });
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE) {
        EndModalWindows();
        if (!fModel.Terminated()) Perform([this] { fModel.QueryEndSession(); });
        RemoveTrayIcon();
      }
      return 0;
    case kTrayCallbackMessage:
      switch (static_cast<UINT>(lParam)) {
        case WM_LBUTTONDBLCLK:
          Perform([this] { fModel.Apri1Click(); });
          if (fModel.Visible()) SetForegroundWindow(fHwnd);
          break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
          ShowTrayMenu();
          break;
        default:
          break;
      }
      return 0;
    case kBringForwardMessage:
      BringForward();
      return 0;
    case kDpiChangedMessage: {
      // Another monitor, or another scale of this one: everything is laid out
      // again for it, where the system suggests, at the window's own size.
      ApplyDpi(HIWORD(wParam));
      FitClient(reinterpret_cast<const RECT*>(lParam));
      Refresh();
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(fHwnd, msg, wParam, lParam);
}

// --- Tray -----------------------------------------------------------------------

bool MainWindow::AddTrayIcon() {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = fHwnd;
  nid.uID = kTrayIconId;
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = kTrayCallbackMessage;
  // The notification area has the system's scale, whatever monitor the window is on.
  fTrayIcons.SetSize(SystemMetricForDpi(SM_CXSMICON, SystemDpi()));
  nid.hIcon = fTrayIcons.Icon(fModel.StatusImage());
  wcsncpy(nid.szTip, fTrayTip.c_str(), 127);
  fTrayShown = Shell_NotifyIconW(NIM_ADD, &nid) != FALSE;
  return fTrayShown;
}

void MainWindow::UpdateTray(bool icon, bool tip) {
  if (!fTrayShown) {
    // Not there yet (no shell at log-on): tried again at every change and
    // when the shell announces itself.
    AddTrayIcon();
    return;
  }
  if (!icon && !tip) return;
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = fHwnd;
  nid.uID = kTrayIconId;
  nid.uFlags = (icon ? NIF_ICON : 0u) | (tip ? NIF_TIP : 0u);
  nid.hIcon = fTrayIcons.Icon(fModel.StatusImage());
  wcsncpy(nid.szTip, fTrayTip.c_str(), 127);
  if (!Shell_NotifyIconW(NIM_MODIFY, &nid)) AddTrayIcon();
}

void MainWindow::RemoveTrayIcon() {
  if (!fTrayShown) return;
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = fHwnd;
  nid.uID = kTrayIconId;
  Shell_NotifyIconW(NIM_DELETE, &nid);
  fTrayShown = false;
}

HMENU MainWindow::BuildTrayMenu() const {
  HMENU menu = CreatePopupMenu();
  const auto& items = fModel.C("PopupMenu1").Children();
  for (size_t i = 0; i < items.size(); ++i) {
    const TControl& item = *items[i];
    if (item.Caption() == "-") {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    AppendMenuW(menu, MF_STRING | (item.Enabled() ? 0u : MF_GRAYED), i + 1,
                Wide(item.Caption()).c_str());
    // What a double click on the icon does.
    if (item.Name() == "Apri1") SetMenuDefaultItem(menu, static_cast<UINT>(i + 1), FALSE);
  }
  return menu;
}

void MainWindow::ShowTrayMenu() {
  HMENU menu = BuildTrayMenu();
  POINT pt;
  GetCursorPos(&pt);
  // The menu closes when the user clicks elsewhere only if its window is in
  // front; the empty message afterwards lets it close at the first click.
  SetForegroundWindow(fHwnd);
  UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, pt.x, pt.y, 0, fHwnd, nullptr));
  PostMessageW(fHwnd, WM_NULL, 0, 0);
  DestroyMenu(menu);
  const auto& items = fModel.C("PopupMenu1").Children();
  if (chosen >= 1 && chosen <= items.size()) {
    TControl* item = items[chosen - 1];
    Perform([item] { item->UserClick(); });
    if (fModel.Visible() && !fModel.Terminated()) SetForegroundWindow(fHwnd);
  }
}

}  // namespace lumbra::ui::win32
