#pragma once
// Keyboard input through the system's own calls: VkKeyScanW and MapVirtualKeyW
// for the layout, SendInput for the events, the thread's keyboard state.
#include "platform/Keyboard.h"

namespace lumbra::platform::win32 {

class Win32Keyboard final : public IKeyboard {
 public:
  std::uint16_t VkKeyScan(char16_t ch) override;
  std::uint32_t MapVirtualKey(std::uint8_t vk) override;
  void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override;
  std::int16_t GetKeyState(int vk) override;
  void GetKeyboardState(KeyboardStateTable& state) override;
  void SetKeyboardState(const KeyboardStateTable& state) override;
  void DrainKeyboardMessages() override;
};

}  // namespace lumbra::platform::win32
