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
//
// With StickyKeys on, a modifier the user pressed once is latched (it applies
// to the next key, which would be the first of a badge) and one pressed twice
// is locked. For the run StickyKeys is switched off, which lets them go (and
// what is still down is let go as a held key), and at its end switched on
// again and each latch and lock set again by pressing its key as the user did.
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <functional>
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

// StickyKeys' latched and locked modifiers, as ModifierSets, from the flags
// the system reports (SPI_GETSTICKYKEYS; its state bits have the order of a
// ModifierSet); none while StickyKeys is off.
struct StickyModifiers {
  ModifierSet latched = 0, locked = 0;
  bool operator==(const StickyModifiers&) const = default;
};
StickyModifiers StickyFromFlags(std::uint32_t flags);

// What a run does at its start with the keyboard as it finds it.
struct RunStart {
  ModifierSet release = 0;  // let go with key-up events
  ModifierSet held = 0;     // held by the user: pressed again at the end if still held
  StickyModifiers sticky;   // latched and locked: set again at the end
  bool stickyOff = false;   // StickyKeys is switched off for the run
  bool operator==(const RunStart&) const = default;
};
RunStart PlanRunStart(const KeyboardStateTable& state, std::uint32_t stickyFlags);
// The latches and locks to set again: those of keys the user left alone during the run.
StickyModifiers StickyToGiveBack(const StickyModifiers& setAside, const ModifierChanges& during);

// The StickyKeys setting: reads its flags, writes them for this session only.
struct StickyKeysAccess {
  std::function<bool(std::uint32_t& flags)> get;
  std::function<bool(std::uint32_t flags)> set;
};

class Win32Keyboard final : public IKeyboard {
 public:
  Win32Keyboard();
  // With another way to the StickyKeys setting (a test's).
  explicit Win32Keyboard(StickyKeysAccess sticky);
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
  StickyKeysAccess fSticky;
  bool fInRun = false;
  bool fWatched = false;  // the hook saw the run
  RunStart fStart;        // what the run set aside
  std::uint32_t fStickyFlags = 0;  // the setting to put back when it was switched off
  std::bitset<256> fDown;     // keys the program pressed and has not released
};

}  // namespace lumbra::platform::win32
