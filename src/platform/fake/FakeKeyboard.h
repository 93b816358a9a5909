#pragma once
// Recording keyboard for tests: a US-like layout and a log of every call that
// changes something, stamped with the installed clock's time so that pauses
// show as gaps between events. It also plays the user's hands: modifiers the
// user holds or has latched act on the keys typed, as they would on a real
// keyboard, until a typing run sets them aside.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Keyboard.h"

namespace lumbra::platform {

class FakeKeyboard final : public IKeyboard {
 public:
  enum class Kind { Down, Up, Drain, SetState, Begin, End };
  struct Event {
    Kind kind;
    std::uint8_t vk = 0;
    std::uint8_t scan = 0;
    std::uint32_t flags = 0;
    std::uint64_t time = 0;
  };

  FakeKeyboard();
  ~FakeKeyboard() override;

  // Makes this the process's keyboard until destruction.
  void Install();

  // Scan code the fake reports for a virtual key: bits above the low byte are
  // set so that a caller that forgets to mask shows up.
  static std::uint32_t ScanOf(std::uint8_t vk) { return 0x1200u | ((vk + 0x40u) & 0xFFu); }

  // Layout edits: a key code (low byte virtual key, high byte shift state) or
  // kNoKey to take the character off the layout.
  void MapChar(char16_t ch, std::uint16_t keyCode) { fLayout[ch] = keyCode; }

  std::uint16_t VkKeyScan(char16_t ch) override;
  std::uint32_t MapVirtualKey(std::uint8_t vk) override { return ScanOf(vk); }
  void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override;
  std::int16_t GetKeyState(int vk) override;
  void GetKeyboardState(KeyboardStateTable& state) override { state = fState; }
  void SetKeyboardState(const KeyboardStateTable& state) override;
  void DrainKeyboardMessages() override;
  void BeginTyping() override;
  void EndTyping() override;

  // The user's modifier keys, by virtual key: 160/161 Shift, 162/163 Ctrl,
  // 164 Alt, 165 AltGr (Ctrl+Alt), 91/92 Super. A latch acts on the next key
  // and is then gone.
  void UserPress(std::uint8_t vk) { fUserHeld.insert(vk); }
  void UserRelease(std::uint8_t vk) { fUserHeld.erase(vk); }
  void UserLatch(std::uint8_t vk) { fUserLatched.insert(vk); }
  const std::set<std::uint8_t>& UserHeld() const { return fUserHeld; }
  const std::set<std::uint8_t>& UserLatched() const { return fUserLatched; }

  // What the focused window got: each key down decoded on the layout with
  // every modifier in force (the typed ones and the user's). A key that no
  // character has under those modifiers shows as "<mods+vk>", mods from
  // S(hift), C(trl), A(lt), W(in). Modifiers the text still holds down, by
  // virtual key.
  const std::u16string& Received() const { return fReceived; }
  const std::set<std::uint8_t>& TypedModifiersDown() const { return fTypedDown; }

  // Only the key events, as text: "+vk" for a key down, "-vk" for a key up,
  // separated by spaces. Handy for comparing sequences.
  std::string KeyTrace() const;
  const std::vector<Event>& Events() const { return fEvents; }
  std::vector<Event> KeyEvents() const;
  void Clear() { fEvents.clear(); }
  // Direct access to the lock toggles (bit 0 of an entry).
  KeyboardStateTable& State() { return fState; }

 private:
  std::map<char16_t, std::uint16_t> fLayout;
  std::vector<Event> fEvents;
  KeyboardStateTable fState{};
  bool fInstalled = false;

  unsigned ModifierBits() const;
  std::set<std::uint8_t> fUserHeld, fUserLatched;
  std::set<std::uint8_t> fHeldAside, fLatchedAside;
  std::set<std::uint8_t> fTypedDown;
  std::u16string fReceived;
};

}  // namespace lumbra::platform
