#pragma once
// Keyboard input through the system's own calls: VkKeyScanW and MapVirtualKeyW
// for the layout, SendInput for the events, the thread's keyboard state.
//
// A run of typed keys (BeginTyping to EndTyping) lets go of the modifier keys
// the user holds (Shift, Ctrl, Alt, Win, left and right) with key-up events,
// and at its end presses again those the user still holds. What the user does
// with those keys meanwhile is learnt, and kept from the run, by a low-level
// keyboard hook on a thread of its own, installed for the run only; the
// program's own events carry a mark so that the hook lets them pass.
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>

#include "platform/Keyboard.h"

namespace lumbra::platform::win32 {

// The modifier keys a run sets aside, as bits of a ModifierSet in this order:
// left and right Shift, Ctrl, Alt, Windows key.
inline constexpr std::array<std::uint8_t, 8> kRunModifierKeys = {0xA0, 0xA1, 0xA2, 0xA3,
                                                                 0xA4, 0xA5, 0x5B, 0x5C};
using ModifierSet = std::uint8_t;

// The user's last change of a modifier key during a run.
enum class KeyChange : std::uint8_t { None, Pressed, Released };
using ModifierChanges = std::array<KeyChange, kRunModifierKeys.size()>;

// The modifier keys down in a key state table (bit 0x80). A generic key down
// with neither side down (something injected VK_SHIFT alone) counts as left.
ModifierSet HeldModifiers(const KeyboardStateTable& state);
// The keys to press again at the end of a run: those set aside at its start
// that the user has not let go since, and those the user pressed during it and
// still holds.
ModifierSet ModifiersToGiveBack(ModifierSet setAside, const ModifierChanges& during);

class Win32Keyboard final : public IKeyboard {
 public:
  Win32Keyboard();
  ~Win32Keyboard() override;
  Win32Keyboard(const Win32Keyboard&) = delete;
  Win32Keyboard& operator=(const Win32Keyboard&) = delete;

  std::uint16_t VkKeyScan(char16_t ch) override;
  std::uint32_t MapVirtualKey(std::uint8_t vk) override;
  void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override;
  std::int16_t GetKeyState(int vk) override;
  void GetKeyboardState(KeyboardStateTable& state) override;
  void SetKeyboardState(const KeyboardStateTable& state) override;
  void DrainKeyboardMessages() override;
  void BeginTyping() override;
  void EndTyping() override;

  // The mark (dwExtraInfo) on the events this object injects.
  static constexpr std::uintptr_t kOwnInputMark = 0x4C4D4252;

 private:
  class Watcher;
  void GiveBack();

  std::unique_ptr<Watcher> fWatcher;  // the hook's thread, made at the first run
  bool fInRun = false;
  bool fWatched = false;      // the hook saw the run
  ModifierSet fSetAside = 0;  // let go at the start of the run
  std::bitset<256> fDown;     // keys the program pressed and has not released
};

}  // namespace lumbra::platform::win32
