#pragma once
// What other programs may rely on to find the running program's windows: a
// second start looks for the main window to bring it forward, and the
// end-to-end tests drive the tray icon as the shell would.
#include <windows.h>

namespace lumbra::ui::win32 {

inline constexpr wchar_t kMainWindowClass[] = L"LumbraMainWindow";
// The tray icon (id kTrayIconId on the main window) reports mouse actions with
// this message; lParam is the mouse message (WM_LBUTTONDBLCLK, WM_RBUTTONUP...).
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kTrayIconId = 1;

}  // namespace lumbra::ui::win32
