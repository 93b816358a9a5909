#pragma once
// Synthetic keyboard input into whatever window has the keyboard focus.
//
// Contract
// - Virtual keys are the Windows numbers (8 Backspace, 13 Enter, 160 left
//   Shift, 17 Ctrl, 18 Alt, 112.. F1, ...). A backend may hand out further
//   virtual keys of its own from VkKeyScan for the character keys of the
//   current layout; such a key is valid at least until the next VkKeyScan.
// - VkKeyScan returns the key of a character (a UTF-16 unit) in the low byte
//   and the shift state in the high byte (1 Shift, 2 Ctrl, 4 Alt; Ctrl+Alt is
//   AltGr), or kNoKey when the layout has no key for it. The shift state is the
//   one the character needs with no lock key active: the backend, not the
//   caller, compensates for CapsLock and the like when the key is pressed.
// - KeybdEvent injects one event and returns when it is on its way (the X
//   backend waits until the display server has processed it). Modifier events
//   only change the state the next key is pressed with.
// - GetKeyState: bit 0 is the toggle of a lock key, bit 15 "down".
// - SetKeyboardState applies a changed toggle of the NumLock entry as a lock
//   change without any key event; other entries are informational.
// - BeginTyping opens a run of keys typed in one go. The backend sets aside the
//   modifiers the user holds down, has latched or has locked (Shift, Ctrl, Alt,
//   AltGr, Super; not the lock keys, which it compensates for key by key), so
//   that the run types exactly what it asks for and no user key adds to it.
// - EndTyping closes the run: the backend gives the user's modifiers back as
//   they were (held keys down again, latches and locks set again) and undoes
//   its own temporary changes (spare keys bound for characters the layout
//   lacks). No key the run pressed stays down. It may also come without a
//   BeginTyping.
// - DrainKeyboardMessages removes and dispatches the calling thread's pending
//   keyboard messages, so that keys aimed at the program's own windows keep
//   their order while it types.
// - Everything runs on the UI thread.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace lumbra::platform {

inline constexpr std::uint16_t kNoKey = 0xFFFF;
inline constexpr std::uint32_t KEYEVENTF_EXTENDEDKEY = 1;
inline constexpr std::uint32_t KEYEVENTF_KEYUP = 2;

using KeyboardStateTable = std::array<std::uint8_t, 256>;

// The modifier a virtual key stands for, whichever side: backends record
// these as state for the next key rather than sending them.
enum class ModifierVk { NoModifier, Shift, Control, Alt };
inline ModifierVk ModifierOfVk(std::uint8_t vk) {
  switch (vk) {
    case 16:
    case 160:
    case 161:
      return ModifierVk::Shift;
    case 17:
    case 162:
    case 163:
      return ModifierVk::Control;
    case 18:
    case 164:
    case 165:
      return ModifierVk::Alt;
    default:
      return ModifierVk::NoModifier;
  }
}

// The virtual key of a control character that stands for a key of its own
// (Enter, Tab, Backspace, Escape), else 0.
inline std::uint8_t ControlCharVk(char16_t ch) {
  switch (ch) {
    case '\r':
    case '\n':
      return 13;
    case '\t':
      return 9;
    case '\b':
      return 8;
    case 0x1B:
      return 27;
    default:
      return 0;
  }
}

// Records a modifier event in the state the next key is pressed with; false
// when vk is no modifier.
inline bool TakeModifierEvent(std::uint8_t vk, bool down, bool& shift, bool& ctrl, bool& alt) {
  switch (ModifierOfVk(vk)) {
    case ModifierVk::Shift:
      shift = down;
      return true;
    case ModifierVk::Control:
      ctrl = down;
      return true;
    case ModifierVk::Alt:
      alt = down;
      return true;
    case ModifierVk::NoModifier:
      break;
  }
  return false;
}

class IKeyboard {
 public:
  virtual ~IKeyboard() = default;

  // False when no keys can be typed at all (no display). TakeUnavailableReason
  // says why the first time and returns an empty text afterwards, so that the
  // user is told once and not at every badge.
  virtual bool Available() const { return true; }
  virtual std::string TakeUnavailableReason() { return {}; }

  // The characters (UTF-8) that VkKeyScan found no key for since the last
  // call, on a backend that cannot type what the layout lacks; empty on the
  // others, which skip only what no keyboard could type.
  virtual std::string TakeMissingCharacters() { return {}; }

  virtual std::uint16_t VkKeyScan(char16_t ch) = 0;
  virtual std::uint32_t MapVirtualKey(std::uint8_t vk) = 0;
  virtual void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) = 0;
  virtual std::int16_t GetKeyState(int vk) = 0;
  virtual void GetKeyboardState(KeyboardStateTable& state) = 0;
  virtual void SetKeyboardState(const KeyboardStateTable& state) = 0;
  virtual void DrainKeyboardMessages() = 0;
  virtual void BeginTyping() {}
  virtual void EndTyping() {}
};

// Stands in when no keyboard output could be opened; types nothing.
class UnavailableKeyboard final : public IKeyboard {
 public:
  explicit UnavailableKeyboard(std::string reason) : fReason(std::move(reason)) {}
  bool Available() const override { return false; }
  std::string TakeUnavailableReason() override { return std::exchange(fReason, std::string()); }
  std::uint16_t VkKeyScan(char16_t) override { return kNoKey; }
  std::uint32_t MapVirtualKey(std::uint8_t) override { return 0; }
  void KeybdEvent(std::uint8_t, std::uint8_t, std::uint32_t) override {}
  std::int16_t GetKeyState(int) override { return 0; }
  void GetKeyboardState(KeyboardStateTable& state) override { state.fill(0); }
  void SetKeyboardState(const KeyboardStateTable&) override {}
  void DrainKeyboardMessages() override {}

 private:
  std::string fReason;
};

// The installed keyboard; without one, an unavailable stand-in.
IKeyboard& Keyboard();
void SetKeyboard(IKeyboard* keyboard);

}  // namespace lumbra::platform
