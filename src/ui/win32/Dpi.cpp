#include "ui/win32/Dpi.h"

namespace lumbra::ui::win32 {
namespace {

template <typename F>
F UserCall(const char* name) {
  HMODULE user = GetModuleHandleW(L"user32.dll");
  if (user == nullptr) return nullptr;
  // Through the generic function type, which any function pointer may pass.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(user, name)));
}

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForSystemFn = UINT(WINAPI*)();
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);

UINT ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

}  // namespace

UINT WindowDpi(HWND hwnd) {
  static const auto forWindow = UserCall<GetDpiForWindowFn>("GetDpiForWindow");
  const UINT dpi = forWindow != nullptr && hwnd != nullptr ? forWindow(hwnd) : 0;
  return dpi != 0 ? dpi : SystemDpi();
}

UINT SystemDpi() {
  static const auto forSystem = UserCall<GetDpiForSystemFn>("GetDpiForSystem");
  const UINT dpi = forSystem != nullptr ? forSystem() : 0;
  return dpi != 0 ? dpi : ScreenDpi();
}

void AdjustWindowRectForDpi(RECT& r, DWORD style, DWORD exStyle, UINT dpi) {
  static const auto adjust = UserCall<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
  if (adjust == nullptr || !adjust(&r, style, FALSE, exStyle, dpi))
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
}

int SystemMetricForDpi(int index, UINT dpi) {
  static const auto metric = UserCall<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
  if (metric != nullptr) return metric(index, dpi);
  // The system's metric is for the system's dpi.
  return MulDiv(GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

}  // namespace lumbra::ui::win32
