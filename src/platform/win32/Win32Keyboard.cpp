#include "platform/win32/Win32Keyboard.h"

#include <windows.h>
// The interface's own names, not the Win32 macros.
#undef VkKeyScan
#undef MapVirtualKey

namespace lumbra::platform::win32 {

std::uint16_t Win32Keyboard::VkKeyScan(char16_t ch) {
  SHORT key = ::VkKeyScanW(static_cast<WCHAR>(ch));
  // No key: both bytes -1.
  return key == -1 ? kNoKey : static_cast<std::uint16_t>(key);
}

std::uint32_t Win32Keyboard::MapVirtualKey(std::uint8_t vk) {
  return ::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
}

void Win32Keyboard::KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = flags & (KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP);
  ::SendInput(1, &input, sizeof(input));
}

std::int16_t Win32Keyboard::GetKeyState(int vk) {
  return ::GetKeyState(vk);
}

void Win32Keyboard::GetKeyboardState(KeyboardStateTable& state) {
  if (!::GetKeyboardState(state.data())) state.fill(0);
}

void Win32Keyboard::SetKeyboardState(const KeyboardStateTable& state) {
  KeyboardStateTable copy = state;
  ::SetKeyboardState(copy.data());
}

void Win32Keyboard::DrainKeyboardMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace lumbra::platform::win32
