#pragma once
// Display scale of the program's windows. Sizes are written for 96 dpi and
// scaled to the dpi of the monitor a window is on. The calls that know about
// monitors of their own dpi came with later Windows versions and are looked
// up at run time; without them every window has the system's dpi.
#include <windows.h>

namespace lumbra::ui::win32 {

inline constexpr UINT kBaseDpi = 96;
// Sent to a window whose monitor's scale changed, or that moved to a monitor
// of another scale (older headers lack it).
inline constexpr UINT kDpiChangedMessage = 0x02E0;

// A length of 96-dpi units at dpi, rounded.
inline int Scaled(int value, UINT dpi) {
  return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}
// The dpi of the window's monitor (the system's when the system keeps one).
UINT WindowDpi(HWND hwnd);
// The dpi of the notification area and of windows that have none yet.
UINT SystemDpi();
// The frame around a client area of r, at dpi.
void AdjustWindowRectForDpi(RECT& r, DWORD style, DWORD exStyle, UINT dpi);
// A system metric (SM_CXSMICON, ...) at dpi.
int SystemMetricForDpi(int index, UINT dpi);

}  // namespace lumbra::ui::win32
