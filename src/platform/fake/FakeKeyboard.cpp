#include "platform/fake/FakeKeyboard.h"

#include <utility>

#include "platform/Clock.h"

namespace lumbra::platform {
namespace {

constexpr std::uint16_t Shifted(std::uint8_t vk) {
  return static_cast<std::uint16_t>(0x100 | vk);
}

constexpr unsigned kShift = 1, kCtrl = 2, kAlt = 4, kWin = 8;

unsigned BitsOf(std::uint8_t vk) {
  switch (vk) {
    case 16:
    case 160:
    case 161:
      return kShift;
    case 17:
    case 162:
    case 163:
      return kCtrl;
    case 18:
    case 164:
      return kAlt;
    case 165:
      return kCtrl | kAlt;
    case 91:
    case 92:
      return kWin;
    default:
      return 0;
  }
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
  bool down = (flags & KEYEVENTF_KEYUP) == 0;
  fEvents.push_back(Event{down ? Kind::Down : Kind::Up, vk, scan, flags, Clock().GetTickCount64()});
  if (BitsOf(vk) != 0) {
    if (down)
      fTypedDown.insert(vk);
    else
      fTypedDown.erase(vk);
    return;
  }
  if (!down) return;
  unsigned bits = ModifierBits();
  fUserLatched.clear();
  auto code = static_cast<std::uint16_t>((bits & (kShift | kCtrl | kAlt)) << 8 | vk);
  if (!(bits & kWin))
    for (const auto& [ch, key] : fLayout)
      if (key == code) {
        fReceived += ch;
        return;
      }
  std::string shown = "<";
  if (bits & kShift) shown += 'S';
  if (bits & kCtrl) shown += 'C';
  if (bits & kAlt) shown += 'A';
  if (bits & kWin) shown += 'W';
  if (bits != 0) shown += '+';
  shown += std::to_string(vk) + '>';
  fReceived.append(shown.begin(), shown.end());
}

unsigned FakeKeyboard::ModifierBits() const {
  unsigned bits = 0;
  for (const auto* keys : {&fTypedDown, &fUserHeld, &fUserLatched})
    for (std::uint8_t vk : *keys) bits |= BitsOf(vk);
  return bits;
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

void FakeKeyboard::BeginTyping() {
  fEvents.push_back(Event{Kind::Begin, 0, 0, 0, Clock().GetTickCount64()});
  fHeldAside = std::exchange(fUserHeld, {});
  fLatchedAside = std::exchange(fUserLatched, {});
}

void FakeKeyboard::EndTyping() {
  fEvents.push_back(Event{Kind::End, 0, 0, 0, Clock().GetTickCount64()});
  fUserHeld.merge(fHeldAside);
  fUserLatched.merge(fLatchedAside);
  fHeldAside.clear();
  fLatchedAside.clear();
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
