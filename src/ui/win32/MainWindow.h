#pragma once
// The main window, its tray icon and menu on Win32: windows that mirror the
// controls of the main window model and hand every user action to it.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/UEmuTas.h"
// Windows' headers after the program's: theirs define macros (WM_TIMER, ...)
// that would meet the program's own names.
#include "ui/win32/StatusIcons.h"
#include "ui/win32/WindowNames.h"

namespace lumbra::ui::win32 {

// The system's handles, not the program's message-window numbers of the same names.
using ::HWND;
using ::LPARAM;
using ::WPARAM;

// Sent by a second start of the program to the main window of the first.
inline constexpr UINT kBringForwardMessage = WM_APP + 2;

class MainWindow {
 public:
  // windowClass: the main window's class; another than kMainWindowClass keeps
  // a test's window apart from a running program's.
  explicit MainWindow(app::TTkEmuTasMain& model, const wchar_t* windowClass = kMainWindowClass);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND Handle() const { return fHwnd; }
  // Mirrors the model's view, visibility, status and end.
  void Refresh();
  // Opens the window and puts it in front (another start of the program).
  void BringForward();
  // Keyboard navigation between the controls; true when msg was handled.
  bool PreTranslate(MSG& msg);
  // The program ends: its loop should stop (after the current handler).
  std::function<void()> OnTerminated;

  // The window of a model control; null for controls without one (the form,
  // menus, file dialogs) and unknown names.
  HWND ControlWindow(const std::string& name) const;
  HWND TabControl() const { return ControlWindow("JvPageControl1"); }
  bool TrayIconShown() const { return fTrayShown; }
  const std::wstring& TrayTip() const { return fTrayTip; }
  HICON StatusIcon(int index) const { return fIcons.Icon(index); }
  // The picture of index as the notification area gets it.
  HICON TrayPicture(int index) const { return fTrayIcons.Icon(index); }
  // The dpi the window is laid out for: that of its monitor.
  UINT Dpi() const { return fDpi; }
  // The tray menu as it would open now (the caller destroys it); item ids are
  // the menu entries' places in the model's menu, from 1.
  HMENU BuildTrayMenu() const;

 private:
  struct Bound {
    app::TControl* control = nullptr;
    HWND hwnd = nullptr;
    HWND spin = nullptr;             // the up-down arrows of a number field
    int tab = -1;                    // a tab sheet's place in the page control
    std::vector<std::string> items;  // a list's entries as shown
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  void Create(Bound& b);
  void Sync(Bound& b);
  void SyncHint(Bound& b);
  void Command(int id, int code);
  void ShowPage(int index);
  void LayoutPages();
  void ShowTrayMenu();
  bool AddTrayIcon();
  void RemoveTrayIcon();
  void UpdateTray(bool icon, bool tip);
  void Perform(const std::function<void()>& action);
  int S(int units) const;
  // Fonts, pictures and places of every control for dpi.
  void ApplyDpi(UINT dpi);
  void PlaceControl(Bound& b);
  SIZE ClientSize() const;
  SIZE FrameSize() const;
  // Sizes the window for the client area of its view (and moves it to at).
  void FitClient(const RECT* at);

  app::TTkEmuTasMain& fModel;
  HWND fHwnd = nullptr;
  HWND fTips = nullptr;
  HFONT fFont = nullptr, fBold = nullptr;
  HBRUSH fIndicatorBrush = nullptr;
  COLORREF fIndicatorColour = CLR_INVALID;
  HICON fBigIcon = nullptr, fSmallIcon = nullptr;
  UINT fDpi = 96;
  StatusIcons fIcons;      // at the window's dpi
  StatusIcons fTrayIcons;  // at the notification area's
  std::vector<Bound> fBound;
  std::map<std::string, size_t> fByName;
  std::map<HWND, bool> fHinted;
  std::vector<size_t> fPages;  // the tab sheets in tab order
  UINT fTaskbarCreated = 0;
  bool fTrayShown = false;
  std::wstring fTrayTip;
  int fShownImage = -1;
  int fSyncing = 0;  // mirroring the model: the controls' notices are not user actions
  bool fEnded = false;
};

}  // namespace lumbra::ui::win32
