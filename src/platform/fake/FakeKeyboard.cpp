#include "platform/fake/FakeKeyboard.h"

#include "platform/Clock.h"

namespace lumbra::platform {
namespace {

constexpr std::uint16_t Shifted(std::uint8_t vk) {
  return static_cast<std::uint16_t>(0x100 | vk);
}

}  // namespace

FakeKeyboard::FakeKeyboard() {
  for (char16_t c = 'a'; c <= 'z'; ++c) fLayout[c] = static_cast<std::uint16_t>(c - 'a' + 'A');
  for (char16_t c = 'A'; c <= 'Z'; ++c) fLayout[c] = Shifted(static_cast<std::uint8_t>(c));
  for (char16_t c = '0'; c <= '9'; ++c) fLayout[c] = c;
  fLayout[' '] = ' ';
  fLayout['\r'] = 13;
  fLayout['\t'] = 9;
  const char16_t* shiftedDigits = u")!@#$%^&*(";
  for (int d = 0; d < 10; ++d)
    fLayout[shiftedDigits[d]] = Shifted(static_cast<std::uint8_t>('0' + d));
  struct Oem {
    char16_t plain, shifted;
    std::uint8_t vk;
  };
  for (Oem o : {Oem{';', ':', 186}, Oem{'=', '+', 187}, Oem{',', '<', 188}, Oem{'-', '_', 189},
                Oem{'.', '>', 190}, Oem{'/', '?', 191}, Oem{'`', '~', 192}, Oem{'[', '{', 219},
                Oem{'\\', '|', 220}, Oem{']', '}', 221}, Oem{'\'', '"', 222}}) {
    fLayout[o.plain] = o.vk;
    fLayout[o.shifted] = Shifted(o.vk);
  }
}

FakeKeyboard::~FakeKeyboard() {
  if (fInstalled && &Keyboard() == this) SetKeyboard(nullptr);
}

void FakeKeyboard::Install() {
  SetKeyboard(this);
  fInstalled = true;
}

std::uint16_t FakeKeyboard::VkKeyScan(char16_t ch) {
  auto it = fLayout.find(ch);
  return it == fLayout.end() ? kNoKey : it->second;
}

void FakeKeyboard::KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) {
  fEvents.push_back(Event{(flags & KEYEVENTF_KEYUP) ? Kind::Up : Kind::Down, vk, scan, flags,
                          Clock().GetTickCount64()});
}

std::int16_t FakeKeyboard::GetKeyState(int vk) {
  return static_cast<std::int16_t>(fState[static_cast<std::uint8_t>(vk)] & 1);
}

void FakeKeyboard::SetKeyboardState(const KeyboardStateTable& state) {
  fState = state;
  fEvents.push_back(Event{Kind::SetState, 0, 0, 0, Clock().GetTickCount64()});
}

void FakeKeyboard::DrainKeyboardMessages() {
  fEvents.push_back(Event{Kind::Drain, 0, 0, 0, Clock().GetTickCount64()});
}

void FakeKeyboard::EndTyping() {
  fEvents.push_back(Event{Kind::End, 0, 0, 0, Clock().GetTickCount64()});
}

std::vector<FakeKeyboard::Event> FakeKeyboard::KeyEvents() const {
  std::vector<Event> keys;
  for (const Event& e : fEvents)
    if (e.kind == Kind::Down || e.kind == Kind::Up) keys.push_back(e);
  return keys;
}

std::string FakeKeyboard::KeyTrace() const {
  std::string trace;
  for (const Event& e : KeyEvents()) {
    if (!trace.empty()) trace += ' ';
    trace += (e.kind == Kind::Down ? '+' : '-');
    trace += std::to_string(e.vk);
  }
  return trace;
}

}  // namespace lumbra::platform
