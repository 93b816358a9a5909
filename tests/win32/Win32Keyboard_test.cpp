// Keys typed through the Win32 keyboard code reach the focused window of the
// test, as the characters the layout gives them.
#include "platform/win32/Win32Keyboard.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
// The interface's own names, not the Win32 macros.
#undef VkKeyScan
#undef MapVirtualKey

namespace lumbra::platform::win32 {
namespace {

std::wstring gTyped;

LRESULT CALLBACK Target(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR) gTyped += static_cast<wchar_t>(wParam);
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// Presses the character's key with the shift state the layout asks for.
void Type(Win32Keyboard& kb, char16_t ch) {
  std::uint16_t key = kb.VkKeyScan(ch);
  ASSERT_NE(key, kNoKey) << static_cast<int>(ch);
  auto vk = static_cast<std::uint8_t>(key & 0xFF);
  bool shift = (key >> 8) & 1;
  if (shift) kb.KeybdEvent(VK_SHIFT, static_cast<std::uint8_t>(kb.MapVirtualKey(VK_SHIFT)), 0);
  kb.KeybdEvent(vk, static_cast<std::uint8_t>(kb.MapVirtualKey(vk)), 0);
  kb.KeybdEvent(vk, static_cast<std::uint8_t>(kb.MapVirtualKey(vk)), KEYEVENTF_KEYUP);
  if (shift)
    kb.KeybdEvent(VK_SHIFT, static_cast<std::uint8_t>(kb.MapVirtualKey(VK_SHIFT)), KEYEVENTF_KEYUP);
}

TEST(Win32Keyboard, TypedCharactersReachTheFocusedWindow) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = Target;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"LumbraKeyTarget";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                              0, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hwnd, nullptr);
  SetForegroundWindow(hwnd);
  SetFocus(hwnd);
  Win32Keyboard kb;
  MSG msg;
  auto pump = [&](int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (gTyped.size() >= 4) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  pump(200);
  ASSERT_EQ(GetFocus(), hwnd) << "the test window did not get the focus";
  gTyped.clear();
  for (char16_t ch : u"aB1 ") {
    if (ch == 0) break;
    Type(kb, ch);
  }
  pump(3000);
  EXPECT_EQ(gTyped, L"aB1 ");
  EXPECT_EQ(kb.GetKeyState(VK_SHIFT) & 0x8000, 0) << "no key stays down";
  EXPECT_EQ(kb.VkKeyScan(u'\x263A'), kNoKey);  // a character no key types
  DestroyWindow(hwnd);
}

}  // namespace
}  // namespace lumbra::platform::win32
