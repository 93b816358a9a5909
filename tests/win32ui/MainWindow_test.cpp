// The main window on Win32 bound to the application model: its size in both
// views at the dpi of its monitor and after the dpi changed, a window for
// every control of the model in every language, user actions reaching the
// model, hiding on close, the end of the session, and the tray icon's
// pictures and menu. With LUMBRA_WIN_SCREENSHOTS naming a folder, pictures of
// both views and of the tray's pictures at the display's dpi go there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/uRCLocalize.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/win32/Win32Text.h"
// Windows' headers after the program's (see MainWindow.h).
#include "ui/win32/MainWindow.h"
// after windows.h
#include "ui/win32/Dpi.h"
// after windows.h
#include <commctrl.h>

namespace lumbra::ui::win32 {
namespace {

namespace fs = std::filesystem;
using app::ControlKind;
using platform::win32::Wide;

std::wstring TextOf(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(hwnd, text, 512);
  return text;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    dir = fs::temp_directory_path() /
          ("lumbra-win32view-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    desktop.environment.exePath = (dir / "lumbra.exe").string();
    desktop.environment.configDir = (dir / "config").string();
    app::TAppServices services;
    services.runPasswordDialog = [](app::TTkETPwdDlg& dlg) {
      dlg.Entry().SetText(app::kDefaultPassword);
      return true;
    };
    services.createLanguageManager = []() -> std::unique_ptr<app::TCustomLocalizeManager> {
      return std::make_unique<app::TRCLocalizeManager>(LUMBRA_RUNTIME_DIR);
    };
    // The desktop wording gives the autostart box a hint, which the window shows.
    services.autostartAtLogIn = true;
    model.reset(new app::TTkEmuTasMain(std::move(services)));
    view = std::make_unique<MainWindow>(*model, L"LumbraMainWindowTest");
    model->OnStateChanged = [this] { view->Refresh(); };
    view->OnTerminated = [this] { ++terminated; };
    model->FormCreate();
    view->Refresh();
  }
  void TearDown() override {
    model->OnStateChanged = nullptr;
    view.reset();
    model.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  int S(int units) const { return Scaled(units, view->Dpi()); }
  SIZE ClientSize() const {
    RECT r;
    GetClientRect(view->Handle(), &r);
    return {r.right - r.left, r.bottom - r.top};
  }
  HWND W(const std::string& name) const { return view->ControlWindow(name); }
  // Every control of the view shown lies inside its parent and inside the
  // window's client area, every tab inside the page control, the text is in
  // the fonts of the window's dpi and the status picture at its size.
  void ExpectEverythingInside(const char* when) {
    SCOPED_TRACE(when);
    const bool settings = model->View() == app::TTkEmuTasMain::TView::Settings;
    RECT client;
    GetClientRect(view->Handle(), &client);
    MapWindowPoints(view->Handle(), nullptr, reinterpret_cast<POINT*>(&client), 2);
    auto inside = [](const RECT& r, const RECT& outer) {
      return r.left >= outer.left && r.top >= outer.top && r.right <= outer.right &&
             r.bottom <= outer.bottom && r.right > r.left && r.bottom > r.top;
    };
    for (const auto& c : model->Controls.All()) {
      HWND hwnd = W(c->Name());
      if (hwnd == nullptr) continue;
      bool inSettings = false;
      for (const app::TControl* p = c.get(); p != nullptr; p = p->Parent())
        inSettings = inSettings || p->Name() == "PanOpt";
      if (inSettings && !settings) continue;
      RECT r, parent;
      GetWindowRect(hwnd, &r);
      GetWindowRect(GetParent(hwnd), &parent);
      EXPECT_TRUE(inside(r, parent)) << c->Name() << " outside its parent";
      EXPECT_TRUE(inside(r, client)) << c->Name() << " outside the window";
    }
    if (settings) {
      HWND tabs = view->TabControl();
      RECT area;
      GetClientRect(tabs, &area);
      for (int i = 0; i < TabCtrl_GetItemCount(tabs); ++i) {
        RECT r;
        ASSERT_TRUE(TabCtrl_GetItemRect(tabs, i, &r));
        EXPECT_TRUE(inside(r, area)) << "tab " << i << " outside the page control";
      }
    }
    for (const char* name : {"lbStatusReader", "XiButton1", "lbModel", "CheckBox1"}) {
      LOGFONTW lf{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(W(name), WM_GETFONT, 0, 0)), sizeof(lf), &lf);
      EXPECT_EQ(lf.lfHeight, -S(11)) << name;
    }
    ICONINFO ii{};
    ASSERT_TRUE(GetIconInfo(reinterpret_cast<HICON>(SendMessageW(W("ImgTes"), STM_GETICON, 0, 0)),
                            &ii));
    BITMAP bm{};
    GetObjectW(ii.hbmColor, sizeof(bm), &bm);
    EXPECT_EQ(bm.bmWidth, S(16)) << "the status picture";
    DeleteObject(ii.hbmColor);
    DeleteObject(ii.hbmMask);
  }
  // Opens the settings view on the tab that holds the control, as a user would.
  void OpenSettingsAt(const char* tab) {
    model->Apri1Click();
    if (model->View() != app::TTkEmuTasMain::TView::Settings) model->XiButton3Click();
    const char* tabs[] = {"TabSheet3", "TabSheet1", "TabSheet4", "TabSheet5", "TabSheet6"};
    for (int i = 0; i < 5; ++i)
      if (std::string(tab) == tabs[i]) {
        TabCtrl_SetCurSel(view->TabControl(), i);
        NMHDR n{view->TabControl(), 0, static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageW(view->Handle(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
      }
  }

  platform::FakeMessageLoop loop;
  platform::FakeDesktop desktop;
  fs::path dir;
  Owned<app::TTkEmuTasMain> model;
  std::unique_ptr<MainWindow> view;
  int terminated = 0;
};

TEST_F(MainWindowTest, FixedSizeWithTheModelsClientSizeInBothViews) {
  LONG style = GetWindowLongW(view->Handle(), GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX), 0);
  EXPECT_FALSE(IsWindowVisible(view->Handle())) << "the program starts in the tray";
  EXPECT_EQ(view->Dpi(), WindowDpi(view->Handle())) << "laid out for its monitor";
  // Run at a display scale of its own: the program sees it (it declares that it scales itself).
  if (const char* want = std::getenv("LUMBRA_EXPECT_DPI")) {
    EXPECT_EQ(view->Dpi(), static_cast<UINT>(std::atoi(want)));
  }
  model->Apri1Click();
  EXPECT_TRUE(IsWindowVisible(view->Handle()));
  SIZE compact = ClientSize();
  EXPECT_EQ(compact.cx, S(app::kClientWidth));
  EXPECT_EQ(compact.cy, S(app::kStatusPanelHeight));
  EXPECT_FALSE(IsWindowVisible(W("PanOpt")));
  ExpectEverythingInside("compact view");
  model->XiButton3Click();  // with the password
  ASSERT_EQ(model->View(), app::TTkEmuTasMain::TView::Settings);
  SIZE settings = ClientSize();
  EXPECT_EQ(settings.cx, S(app::kClientWidth));
  EXPECT_EQ(settings.cy, S(app::kStatusPanelHeight) + S(app::kSettingsPanelHeight));
  EXPECT_TRUE(IsWindowVisible(W("PanOpt")));
  ExpectEverythingInside("settings view");
  model->XiButton3Click();
  EXPECT_EQ(ClientSize().cy, S(app::kStatusPanelHeight));
}

// Moved to a monitor of another scale, the window is laid out again for it:
// its size, every control, the fonts and the status picture.
TEST_F(MainWindowTest, LaidOutAgainWhenTheDpiChanges) {
  OpenSettingsAt("TabSheet1");
  const UINT first = view->Dpi();
  for (UINT dpi : {144u, 120u, 192u, first}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    RECT suggested{40, 30, 600, 500};
    SendMessageW(view->Handle(), kDpiChangedMessage, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    ASSERT_EQ(view->Dpi(), dpi);
    RECT frame;
    GetWindowRect(view->Handle(), &frame);
    EXPECT_EQ(frame.left, 40);
    EXPECT_EQ(frame.top, 30);
    EXPECT_EQ(ClientSize().cx, S(app::kClientWidth));
    EXPECT_EQ(ClientSize().cy, S(app::kStatusPanelHeight) + S(app::kSettingsPanelHeight));
    ExpectEverythingInside("after the change");
  }
}

// Every control of the model has a window of its own that lies inside its
// parent, with the model's caption, entries and hint, in each language.
TEST_F(MainWindowTest, EveryControlShowsTheModelInEachLanguage) {
  HWND tips = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND h, LPARAM found) {
        wchar_t cls[64] = {};
        GetClassNameW(h, cls, 64);
        if (std::wstring(cls) == TOOLTIPS_CLASSW) *reinterpret_cast<HWND*>(found) = h;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&tips));
  ASSERT_NE(tips, nullptr);
  // Everything on screen: the settings panel lies outside the compact window.
  OpenSettingsAt("TabSheet3");
  for (int language : {0, 2, 1}) {
    model->C("cbLingua").UserSelect(language);
    ASSERT_EQ(app::CurrentLanguage(), language);
    EXPECT_EQ(TextOf(view->Handle()), Wide(model->C("TkEmuTasMain").Caption()));
    int hinted = 0;
    for (const auto& c : model->Controls.All()) {
      SCOPED_TRACE(c->Name() + " in language " + std::to_string(language));
      switch (c->Kind()) {
        case ControlKind::Form:
        case ControlKind::PopupMenu:
        case ControlKind::MenuItem:
        case ControlKind::OpenDialog:
          EXPECT_EQ(W(c->Name()), nullptr);
          continue;
        default:
          break;
      }
      HWND hwnd = W(c->Name());
      ASSERT_TRUE(IsWindow(hwnd));
      EXPECT_TRUE(IsChild(view->Handle(), hwnd));
      RECT r, parent;
      GetWindowRect(hwnd, &r);
      GetWindowRect(GetParent(hwnd), &parent);
      EXPECT_GT(r.right - r.left, 0);
      EXPECT_GT(r.bottom - r.top, 0);
      EXPECT_TRUE(r.left >= parent.left && r.top >= parent.top && r.right <= parent.right &&
                  r.bottom <= parent.bottom)
          << "outside its parent";
      EXPECT_EQ(IsWindowEnabled(hwnd) != FALSE, c->Enabled());
      switch (c->Kind()) {
        case ControlKind::Label:
        case ControlKind::Button:
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
          EXPECT_EQ(TextOf(hwnd), Wide(c->Caption()));
          break;
        case ControlKind::ComboBox: {
          ASSERT_EQ(SendMessageW(hwnd, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(c->Items().size()));
          for (size_t i = 0; i < c->Items().size(); ++i) {
            wchar_t item[256] = {};
            SendMessageW(hwnd, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
            EXPECT_EQ(std::wstring(item), Wide(c->Items()[i]));
          }
          EXPECT_EQ(SendMessageW(hwnd, CB_GETCURSEL, 0, 0), c->ItemIndex());
          break;
        }
        case ControlKind::Edit:
        case ControlKind::SpinEdit:
          EXPECT_EQ(TextOf(hwnd), Wide(c->Text()));
          break;
        case ControlKind::TabSheet: {
          EXPECT_EQ(GetParent(hwnd), view->TabControl());
          wchar_t text[128] = {};
          TCITEMW item{};
          item.mask = TCIF_TEXT;
          item.pszText = text;
          item.cchTextMax = 128;
          int index = 0;
          for (auto* s : model->C("JvPageControl1").Children()) {
            if (s == c.get()) break;
            ++index;
          }
          ASSERT_TRUE(TabCtrl_GetItem(view->TabControl(), index, &item));
          EXPECT_EQ(std::wstring(text), Wide(c->Caption()));
          break;
        }
        default:
          break;
      }
      if (!c->Hint().empty()) {
        ++hinted;
        wchar_t text[512] = {};
        TOOLINFOW ti{};
        ti.cbSize = TTTOOLINFOW_V2_SIZE;
        ti.uFlags = TTF_IDISHWND;
        ti.hwnd = GetParent(hwnd);
        ti.uId = reinterpret_cast<UINT_PTR>(hwnd);
        ti.lpszText = text;
        SendMessageW(tips, TTM_GETTEXTW, 512, reinterpret_cast<LPARAM>(&ti));
        EXPECT_EQ(std::wstring(text), Wide(c->Hint()));
      }
    }
    EXPECT_GT(hinted, 0);
  }
  // The languages were really told apart: the close button reads in Italian again.
  EXPECT_EQ(TextOf(W("XiButton1")), L"&Chiudi");
}

TEST_F(MainWindowTest, UserActionsReachTheModel) {
  OpenSettingsAt("TabSheet1");
  // A check box clicked as the user would: the model decides, the window follows.
  HWND sound = W("ckSoundTes");
  const bool before = model->C("ckSoundTes").Checked();
  SendMessageW(sound, BM_CLICK, 0, 0);
  EXPECT_EQ(model->C("ckSoundTes").Checked(), !before);
  EXPECT_EQ(SendMessageW(sound, BM_GETCHECK, 0, 0), !before ? BST_CHECKED : BST_UNCHECKED);
  EXPECT_EQ(model->Settings().ReadBool("SoundTes", before), !before);
  // The slot's panel follows the switch.
  EXPECT_EQ(IsWindowEnabled(W("rbSoundTes")) != FALSE, !before);
  if (before) SendMessageW(sound, BM_CLICK, 0, 0);
  ASSERT_TRUE(model->C("ckSoundTes").Checked());

  // A radio button: the file choice enables the name field.
  EXPECT_FALSE(IsWindowEnabled(W("eSoundTes")));
  SendMessageW(W("rbSoundTes"), BM_CLICK, 0, 0);
  EXPECT_TRUE(model->C("rbSoundTes").Checked());
  EXPECT_EQ(SendMessageW(W("rbBeeptes"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_TRUE(IsWindowEnabled(W("eSoundTes")));

  // Text typed into a field, and a number held to its field's range.
  SetWindowTextW(W("eSoundTes"), L"C:\\suoni\\ok.wav");
  EXPECT_EQ(model->C("eSoundTes").Text(), "C:\\suoni\\ok.wav");
  EXPECT_EQ(model->Settings().ReadString("FSoundTes", ""), "C:\\suoni\\ok.wav");
  SetFocus(W("SpinEdit1"));
  SetWindowTextW(W("SpinEdit1"), L"300");
  EXPECT_EQ(model->C("SpinEdit1").Value(), 255);
  SetWindowTextW(W("SpinEdit1"), L"12");
  EXPECT_EQ(model->C("SpinEdit1").Value(), 12);
  EXPECT_EQ(model->Settings().ReadInteger("T1Start", 0), 12);
}

TEST_F(MainWindowTest, CloseHidesAndTheProgramGoesOn) {
  model->Apri1Click();
  const bool tray = view->TrayIconShown();
  for (UINT msg : {WM_CLOSE, WM_SYSCOMMAND}) {
    SCOPED_TRACE(msg);
    model->Apri1Click();
    ASSERT_TRUE(IsWindowVisible(view->Handle()));
    SendMessageW(view->Handle(), msg, msg == WM_SYSCOMMAND ? SC_MINIMIZE : 0, 0);
    EXPECT_FALSE(IsWindowVisible(view->Handle()));
    EXPECT_TRUE(IsWindow(view->Handle()));
    EXPECT_FALSE(model->Visible());
    EXPECT_FALSE(model->Terminated());
    EXPECT_EQ(terminated, 0);
    EXPECT_EQ(view->TrayIconShown(), tray);
  }
  // A double click on the tray icon opens it again.
  SendMessageW(view->Handle(), kTrayCallbackMessage, kTrayIconId, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(IsWindowVisible(view->Handle()));
  EXPECT_TRUE(model->Visible());
}

TEST_F(MainWindowTest, SessionEndSavesTheSettingsAndEnds) {
  OpenSettingsAt("TabSheet4");
  const bool before = model->C("ckMsgErrTes").Checked();
  SendMessageW(W("ckMsgErrTes"), BM_CLICK, 0, 0);
  ASSERT_EQ(model->C("ckMsgErrTes").Checked(), !before);
  auto stored = [&] {
    app::TSettingsStorage file;
    file.Load((dir / "lumbra.xml").string(), (dir / "elsewhere.xml").string());
    return file.ReadBool("MsgErrTes", before);
  };
  // Not in the file yet: the settings view is still open.
  EXPECT_EQ(stored(), before);

  EXPECT_EQ(SendMessageW(view->Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  EXPECT_TRUE(model->Terminated());
  EXPECT_EQ(terminated, 1);
  EXPECT_FALSE(view->TrayIconShown());
  EXPECT_FALSE(IsWindowVisible(view->Handle()));
  EXPECT_EQ(stored(), !before);
  // The end itself comes after; nothing is done twice.
  SendMessageW(view->Handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_EQ(terminated, 1);
}

// The status picture and the two-line hint follow the model; each picture
// is made once, whatever the number of changes, so a day of badges costs no
// GDI objects.
TEST_F(MainWindowTest, TrayAndStatusPictureFollowTheModel) {
  HWND image = W("ImgTes");
  DWORD objects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  for (int badge = 0; badge < 20; ++badge)
    for (int status : {3, 2, 1}) {
      model->BadgeReaderChangedBadgeStatus(nullptr, status);
      const int shown = model->StatusImage();
      ASSERT_EQ(reinterpret_cast<HICON>(SendMessageW(image, STM_GETICON, 0, 0)),
                view->StatusIcon(shown));
    }
  if (objects != 0) {
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), objects);
  }
  for (int i = 0; i < 6; ++i)
    for (int j = i + 1; j < 6; ++j) EXPECT_NE(view->StatusIcon(i), view->StatusIcon(j));

  model->SetReaderStatus("lettore pronto");
  model->SetTesStatus("Tessera: 1234");
  EXPECT_EQ(view->TrayTip(), L"lettore pronto\nTessera: 1234");
  EXPECT_EQ(TextOf(W("lbStatusTes")), L"Tessera: 1234");
}

// A 24-bit picture of the screen's rectangle r, or of pictures drawn by draw
// on a plain background of w by h, as a bitmap file.
bool SaveBitmap(const fs::path& file, int w, int h, const std::function<void(HDC)>& draw) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (bmp == nullptr) return false;
  HGDIOBJ old = SelectObject(dc, bmp);
  draw(dc);
  GdiFlush();
  SelectObject(dc, old);
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u, size = stride * static_cast<DWORD>(h);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
  fh.bfSize = fh.bfOffBits + size;
  bool ok = false;
  if (FILE* f = _wfopen(file.wstring().c_str(), L"wb")) {
    ok = fwrite(&fh, sizeof(fh), 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof(bi.bmiHeader), 1, f) == 1 &&
         fwrite(bits, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
  }
  DeleteObject(bmp);
  DeleteDC(dc);
  return ok;
}

TEST_F(MainWindowTest, ScreenshotsAtTheDisplaysDpi) {
  const char* folder = std::getenv("LUMBRA_WIN_SCREENSHOTS");
  if (folder == nullptr || *folder == 0) GTEST_SKIP() << "no folder for the pictures";
  fs::create_directories(folder);
  const std::string dpi = std::to_string(view->Dpi());
  auto shoot = [&](const std::string& name) {
    HWND w = view->Handle();
    // In view whatever the screen's size, and over anything else.
    SetWindowPos(w, HWND_TOPMOST, 8, 8, 0, 0, SWP_NOSIZE);
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    for (int i = 0; i < 100; ++i) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(10);
    }
    // The client area: the frame is the window manager's.
    RECT r;
    GetClientRect(w, &r);
    MapWindowPoints(w, nullptr, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_TRUE(SaveBitmap(fs::path(folder) / ("win-" + name + "-" + dpi + "dpi.bmp"),
                           r.right - r.left, r.bottom - r.top, [&r](HDC dc) {
                             HDC screen = GetDC(nullptr);
                             BitBlt(dc, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left,
                                    r.top, SRCCOPY | CAPTUREBLT);
                             ReleaseDC(nullptr, screen);
                           }))
        << name;
  };
  model->Apri1Click();
  model->SetTesStatus("Tessera: 0000012345678");
  shoot("compact");
  OpenSettingsAt("TabSheet1");
  shoot("settings");
  // The six pictures as the notification area gets them, on its grey.
  ICONINFO ii{};
  ASSERT_TRUE(GetIconInfo(view->TrayPicture(0), &ii));
  BITMAP bm{};
  GetObjectW(ii.hbmColor, sizeof(bm), &bm);
  DeleteObject(ii.hbmColor);
  DeleteObject(ii.hbmMask);
  EXPECT_EQ(bm.bmWidth, Scaled(16, SystemDpi()));
  const int n = bm.bmWidth, gap = n / 2;
  EXPECT_TRUE(SaveBitmap(fs::path(folder) / ("win-tray-pictures-" + dpi + "dpi.bmp"),
                         6 * (n + gap) + gap, n + 2 * gap, [&](HDC dc) {
                           RECT all{0, 0, 6 * (n + gap) + gap, n + 2 * gap};
                           HBRUSH grey = CreateSolidBrush(RGB(64, 64, 64));
                           FillRect(dc, &all, grey);
                           DeleteObject(grey);
                           for (int i = 0; i < 6; ++i)
                             DrawIconEx(dc, gap + i * (n + gap), gap, view->TrayPicture(i), n, n, 0,
                                        nullptr, DI_NORMAL);
                         }));
}

TEST_F(MainWindowTest, TrayMenuHasTheModelsEntries) {
  for (int language : {1, 0}) {
    model->C("cbLingua").UserSelect(language);
    HMENU menu = view->BuildTrayMenu();
    const auto& items = model->C("PopupMenu1").Children();
    ASSERT_EQ(GetMenuItemCount(menu), static_cast<int>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
      MENUITEMINFOW mi{};
      wchar_t text[128] = {};
      mi.cbSize = sizeof(mi);
      mi.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_ID;
      mi.dwTypeData = text;
      mi.cch = 128;
      ASSERT_TRUE(GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &mi));
      if (items[i]->Caption() == "-") {
        EXPECT_TRUE(mi.fType & MFT_SEPARATOR);
      } else {
        EXPECT_EQ(std::wstring(text), Wide(items[i]->Caption()));
        EXPECT_EQ(mi.wID, i + 1);
      }
    }
    EXPECT_EQ(GetMenuDefaultItem(menu, TRUE, 0), 0u) << "open is what a double click does";
    DestroyMenu(menu);
  }
}

}  // namespace
}  // namespace lumbra::ui::win32
