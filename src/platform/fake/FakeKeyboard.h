#pragma once
// Recording keyboard for tests: a US-like layout and a log of every call that
// changes something, stamped with the installed clock's time so that pauses
// show as gaps between events.
#include <map>
#include <string>
#include <vector>

#include "platform/Keyboard.h"

namespace lumbra::platform {

class FakeKeyboard final : public IKeyboard {
 public:
  enum class Kind { Down, Up, Drain, SetState, End };
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
  void EndTyping() override;

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
};

}  // namespace lumbra::platform
