#include "ui/win32/Program.h"

#include <memory>

#include "app/SystemServices.h"
#include "platform/win32/Win32Autostart.h"
#include "platform/win32/Win32ClaimTable.h"
#include "platform/win32/Win32Clock.h"
#include "platform/win32/Win32Desktop.h"
#include "platform/win32/Win32Hid.h"
#include "platform/win32/Win32Keyboard.h"
#include "platform/win32/Win32MessageLoop.h"
#include "platform/win32/Win32Serial.h"
#include "platform/win32/Win32SerialDeviceTable.h"
#include "platform/win32/Win32Sound.h"
#include "platform/win32/Win32Text.h"
#include "ui/win32/Dialogs.h"
#include "ui/win32/MainWindow.h"
// Windows' headers after the program's (see MainWindow.h).
#include "ui/win32/WindowNames.h"

namespace lumbra::ui::win32 {
namespace {

// One copy per user session ("Local\" is the session's namespace).
constexpr wchar_t kInstanceMutex[] = L"Local\\LumbraTavikBadgeReader";

// Asks the running copy to bring its window forward. It may still be starting:
// its window is waited for a few seconds.
void ForwardToRunningCopy() {
  for (int i = 0; i < 50; ++i) {
    if (HWND running = FindWindowW(kMainWindowClass, nullptr)) {
      DWORD process = 0;
      GetWindowThreadProcessId(running, &process);
      // This start is what the user just did: it may hand the foreground on.
      AllowSetForegroundWindow(process);
      PostMessageW(running, kBringForwardMessage, 0, 0);
      return;
    }
    Sleep(100);
  }
}

// Installs a service for the life of the program and removes it at the end.
template <typename Set, typename T>
struct Installed {
  Installed(Set set, T* service) : fSet(set) { fSet(service); }
  ~Installed() { fSet(nullptr); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
  Set fSet;
};
template <typename Set, typename T>
Installed(Set, T*) -> Installed<Set, T>;

}  // namespace

int RunLumbra(const ProgramHooks& hooks) {
  HANDLE instance = CreateMutexW(nullptr, FALSE, kInstanceMutex);
  if (instance != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    ForwardToRunningCopy();
    CloseHandle(instance);
    return 0;
  }

  platform::win32::Win32MessageLoop loop;
  Installed installLoop(platform::SetMessageLoop, &loop);
  platform::win32::Win32Clock clock;
  Installed installClock(platform::SetClock, &clock);
  platform::win32::Win32Environment environment;
  Installed installEnvironment(platform::SetEnvironment, &environment);
  platform::win32::Win32Autostart autostart;
  Installed installAutostart(platform::SetAutostart, &autostart);
  platform::win32::Win32Foreground foreground;
  Installed installForeground(platform::SetForeground, &foreground);
  TopMessageBox messageBox;
  Installed installMessageBox(platform::SetMessageBox, &messageBox);
  platform::win32::Win32Keyboard keyboard;
  Installed installKeyboard(platform::SetKeyboard, &keyboard);
  platform::win32::Win32SerialBackend serial;
  Installed installSerial(platform::SetSerialBackend, &serial);
  platform::win32::Win32SerialDeviceTable serialTable;
  Installed installSerialTable(platform::SetSerialDeviceTable, &serialTable);
  platform::win32::Win32ClaimTables claimTables;
  Installed installClaimTables(platform::SetClaimTableBackend, &claimTables);
  platform::win32::Win32Sound sound;
  Installed installSound(platform::SetSound, &sound);
  // USB HID readers; their controller goes with the last reader, before this.
  platform::win32::Win32HidBackend hid;
  Installed installHid(platform::SetHidBackend, &hid);

  if (hooks.registerModels) hooks.registerModels();
  int rc = 0;
  {
    MainWindow* shown = nullptr;
    app::TAppServices services = app::SystemServices(environment.ExecutablePath());
    services.runPasswordDialog = [&shown](app::TTkETPwdDlg& dlg) {
      HWND owner = shown != nullptr && IsWindowVisible(shown->Handle()) ? shown->Handle() : nullptr;
      return RunPasswordDialog(dlg, owner);
    };
    services.openDocument = [](const std::string& path) {
      ShellExecuteW(nullptr, L"open", platform::win32::Wide(path).c_str(), L"", L"", SW_SHOWNORMAL);
    };
    services.showAbout = [&shown] {
      RunAboutDialog(shown != nullptr && IsWindowVisible(shown->Handle()) ? shown->Handle()
                                                                          : nullptr);
    };
    services.browseFile = [&shown](const std::string& title, const std::string& filter,
                                   std::string& fileName) {
      return BrowseFile(shown != nullptr ? shown->Handle() : nullptr, title, filter, fileName);
    };

    Owned<app::TTkEmuTasMain> model(new app::TTkEmuTasMain(std::move(services)));
    MainWindow view(*model);
    shown = &view;
    model->OnStateChanged = [&view] { view.Refresh(); };
    // Leave the loop once the current handler has returned; a modal loop open
    // now (a message, a dialog) ends with it.
    view.OnTerminated = [] { PostQuitMessage(0); };

    model->FormCreate();
    view.Refresh();
    if (hooks.createPortHolders) hooks.createPortHolders();
    if (!model->Terminated()) {
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (view.PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      rc = 0;
    }
    model->OnStateChanged = nullptr;
    shown = nullptr;
  }
  if (hooks.freePortHolders) hooks.freePortHolders();
  if (hooks.unregisterModels) hooks.unregisterModels();
  if (instance != nullptr) CloseHandle(instance);
  return rc;
}

}  // namespace lumbra::ui::win32
