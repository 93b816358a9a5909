#include "platform/win32/Win32Desktop.h"

#include <windows.h>

#include "platform/win32/Win32Text.h"
// needs windows.h first
#include <knownfolders.h>
#include <shlobj.h>

namespace lumbra::platform::win32 {

ForegroundWindow Win32Foreground::Current() {
  return reinterpret_cast<ForegroundWindow>(GetForegroundWindow());
}

void Win32Foreground::Restore(ForegroundWindow w) {
  HWND hwnd = reinterpret_cast<HWND>(w);
  if (hwnd == nullptr || !IsWindow(hwnd)) return;
  if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
  // The system lets a thread take the foreground only while it shares the
  // input of the thread that has it.
  DWORD mine = GetCurrentThreadId();
  HWND now = GetForegroundWindow();
  DWORD theirs = now != nullptr ? GetWindowThreadProcessId(now, nullptr) : 0;
  bool attached = theirs != 0 && theirs != mine && AttachThreadInput(mine, theirs, TRUE);
  SetForegroundWindow(hwnd);
  if (attached) AttachThreadInput(mine, theirs, FALSE);
}

std::string Win32Environment::ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return Utf8(path);
    }
    path.resize(path.size() * 2);
  }
}

std::string Win32Environment::UserConfigDir() {
  wchar_t* folder = nullptr;
  std::string dir;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder)))
    dir = Utf8(folder);
  CoTaskMemFree(folder);
  return dir;
}

}  // namespace lumbra::platform::win32
