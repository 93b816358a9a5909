#include "app/sndkey32.h"

#include <algorithm>
#include <string>

#include "app/uLocalize.h"
#include "platform/Clock.h"
#include "platform/Keyboard.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"

namespace lumbra::app {
namespace {

using platform::KEYEVENTF_EXTENDEDKEY;
using platform::KEYEVENTF_KEYUP;
using platform::kNoKey;

constexpr const char* kCaption = "Lumbra";
constexpr std::uint32_t kSlowKeyDelayMs = 15;

constexpr std::uint8_t kShiftBit = 1;
constexpr std::uint8_t kCtrlBit = 2;
constexpr std::uint8_t kAltBit = 4;

void ReportKeyError(const std::string& text) {
  platform::MessageBoxes().Show(text, kCaption, platform::MessageKind::Information);
}

// Repeat count of a braced name: decimal, optionally signed; anything else is 1.
// nullopt for a number outside 0..kMaxRepeatCount.
std::optional<long> ParseRepeatCount(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 1;
  long value = 0;
  for (char c : s) {
    value = value * 10 + (c - '0');
    if (value > kMaxRepeatCount) return std::nullopt;  // also stops any overflow
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

class TKeyTyper {
 public:
  TKeyTyper(platform::IKeyboard& keyboard, bool wait, bool slow)
      : fKeyboard(keyboard), fWait(wait), fSlow(slow) {}

  bool Type(const AnsiString& text);

 private:
  bool TypeBraced(const AnsiString& text, size_t& i);
  void TypeBrace(char brace);
  void EmitScannedKey(std::uint16_t keyCode, long count, bool withKeyUp);
  void EmitKey(std::uint8_t vk, long count, bool withKeyUp);
  void EmitKeyUp(std::uint8_t vk);
  void EmitKeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags);
  void ToggleNumLock();
  void PressHeld(std::uint8_t vk, bool& held);
  void ReleaseHeldModifiers(bool evenInGroup = false);
  void SlowModeWait();

  platform::IKeyboard& fKeyboard;
  bool fWait;
  bool fSlow;
  bool fShiftHeld = false;
  bool fCtrlHeld = false;
  bool fAltHeld = false;
  bool fGroup = false;
};

bool TKeyTyper::Type(const AnsiString& text) {
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    switch (c) {
      case '+':
        PressHeld(VK_SHIFT_KEY, fShiftHeld);
        ++i;
        break;
      case '^':
        PressHeld(VK_CONTROL_KEY, fCtrlHeld);
        ++i;
        break;
      case '%':
        PressHeld(VK_ALT_KEY, fAltHeld);
        ++i;
        break;
      case '(':
        fGroup = true;
        ++i;
        break;
      case ')':
        fGroup = false;
        ReleaseHeldModifiers();
        ++i;
        break;
      case '~':
        EmitKey(13, 1, true);
        ReleaseHeldModifiers();
        ++i;
        break;
      case '{':
        if (!TypeBraced(text, i)) return false;
        break;
      default: {
        std::uint16_t code = CharToKey(c);
        if (code != kNoKey) {
          EmitScannedKey(code, 1, true);
          ReleaseHeldModifiers();
        }
        ++i;
      }
    }
  }
  // An unclosed group must not leave a modifier down after the call.
  ReleaseHeldModifiers(true);
  return true;
}

// Types a brace character, looked up on the layout rather than taken as a
// fixed key: that key differs between layouts.
void TKeyTyper::TypeBrace(char brace) {
  std::uint16_t code = CharToKey(brace);
  if (code != kNoKey) EmitScannedKey(code, 1, true);
  ReleaseHeldModifiers();
}

bool TKeyTyper::TypeBraced(const AnsiString& text, size_t& i) {
  // "{{" is the opening brace whatever follows; the character after it is
  // taken as its closing brace and skipped.
  if (i + 1 < text.size() && text[i + 1] == '{') {
    TypeBrace('{');
    i += 3;
    return true;
  }
  size_t close = text.find('}', i + 1);
  if (close == AnsiString::npos) {
    // Typing stops here; a modifier still down would stay down for the user.
    ReleaseHeldModifiers(true);
    ReportKeyError("No Close");
    return false;
  }
  std::string name = text.substr(i + 1, close - i - 1);
  for (char& ch : name)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  i = close + 1;

  // A second closing brace is typed at once, before the braced key itself:
  // that makes "{}}" the closing brace, and "{TAB}}" a brace and then Tab.
  if (i < text.size() && text[i] == '}') {
    TypeBrace('}');
    ++i;
  }

  long count = 1;
  size_t space = name.find(' ');
  if (space != std::string::npos) {
    std::optional<long> parsed = ParseRepeatCount(std::string_view(name).substr(space + 1));
    name.resize(space);
    if (!parsed) return true;  // refused: nothing typed for this brace
    count = *parsed;
  }

  // An empty name is neither a character nor a key name: nothing is typed
  // and nothing reported.
  std::uint16_t code = kNoKey;
  if (name.size() == 1) {
    code = CharToKey(name[0]);
  } else if (name.size() > 1) {
    if (std::optional<std::uint8_t> vk = LookupKeyName(name)) code = *vk;
  }
  if (code != kNoKey) {
    EmitScannedKey(code, count, true);
    ReleaseHeldModifiers();
  }
  return true;
}

void TKeyTyper::PressHeld(std::uint8_t vk, bool& held) {
  EmitKey(vk, 1, false);
  platform::Clock().Sleep(1);
  held = true;
}

void TKeyTyper::EmitScannedKey(std::uint16_t keyCode, long count, bool withKeyUp) {
  std::uint8_t vk = keyCode & 0xFF;
  std::uint8_t shift = keyCode >> 8;
  bool pressShift = (shift & kShiftBit) && !fShiftHeld;
  bool pressCtrl = (shift & kCtrlBit) && !fCtrlHeld;
  bool pressAlt = (shift & kAltBit) && !fAltHeld;
  if (pressShift) {
    EmitKey(VK_SHIFT_KEY, 1, false);
    platform::Clock().Sleep(0);
  }
  if (pressCtrl) {
    EmitKey(VK_CONTROL_KEY, 1, false);
    platform::Clock().Sleep(0);
  }
  if (pressAlt) {
    EmitKey(VK_ALT_KEY, 1, false);
    platform::Clock().Sleep(0);
  }
  EmitKey(vk, count, withKeyUp);
  if (pressShift) EmitKeyUp(VK_SHIFT_KEY);
  if (pressCtrl) EmitKeyUp(VK_CONTROL_KEY);
  if (pressAlt) EmitKeyUp(VK_ALT_KEY);
}

void TKeyTyper::EmitKey(std::uint8_t vk, long count, bool withKeyUp) {
  if (vk == VK_NUMLOCK_KEY) {
    ToggleNumLock();
    return;
  }
  std::uint8_t scan = fKeyboard.MapVirtualKey(vk) & 0xFF;
  std::uint32_t extended = IsExtendedKey(vk) ? KEYEVENTF_EXTENDEDKEY : 0;
  for (long n = 0; n < count; ++n) {
    EmitKeyEvent(vk, scan, extended);
    if (fSlow) platform::Clock().Sleep(2);
    if (withKeyUp) EmitKeyEvent(vk, scan, extended | KEYEVENTF_KEYUP);
    if (fSlow) SlowModeWait();
  }
}

void TKeyTyper::SlowModeWait() {
  // Waits in short slices rather than spinning: the messages still get
  // processed, and a virtual clock advances.
  platform::IClock& clock = platform::Clock();
  std::uint64_t start = clock.GetTickCount64();
  for (;;) {
    if (platform::HasMessageLoop()) platform::MessageLoop().ProcessMessages();
    if (clock.GetTickCount64() - start >= kSlowKeyDelayMs) break;
    clock.Sleep(1);
  }
}

void TKeyTyper::EmitKeyUp(std::uint8_t vk) {
  EmitKeyEvent(vk, fKeyboard.MapVirtualKey(vk) & 0xFF, KEYEVENTF_KEYUP);
}

void TKeyTyper::EmitKeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) {
  fKeyboard.KeybdEvent(vk, scan, flags);
  if (fWait) fKeyboard.DrainKeyboardMessages();
}

void TKeyTyper::ToggleNumLock() {
  bool on = (fKeyboard.GetKeyState(VK_NUMLOCK_KEY) & 1) != 0;
  platform::KeyboardStateTable state{};
  fKeyboard.GetKeyboardState(state);
  state[VK_NUMLOCK_KEY] = static_cast<std::uint8_t>((state[VK_NUMLOCK_KEY] & ~1) | (on ? 0 : 1));
  fKeyboard.SetKeyboardState(state);
}

void TKeyTyper::ReleaseHeldModifiers(bool evenInGroup) {
  if (fGroup && !evenInGroup) return;
  if (!fShiftHeld && !fCtrlHeld && !fAltHeld) return;
  platform::Clock().Sleep(2);
  if (fShiftHeld) EmitKeyUp(VK_SHIFT_KEY);
  if (fCtrlHeld) EmitKeyUp(VK_CONTROL_KEY);
  if (fAltHeld) EmitKeyUp(VK_ALT_KEY);
  platform::Clock().Sleep(2);
  fShiftHeld = fCtrlHeld = fAltHeld = false;
}

}  // namespace

bool IsExtendedKey(std::uint8_t vk) {
  switch (vk) {
    case 33:
    case 34:
    case 35:
    case 36:
    case 37:
    case 38:
    case 39:
    case 40:
    case 45:
    case 46:
      return true;
    default:
      return false;
  }
}

std::uint16_t CharToKey(char ch) {
  return platform::Keyboard().VkKeyScan(AnsiCharToUnicode(ch));
}

std::optional<std::uint8_t> LookupKeyName(std::string_view name) {
  for (const TKeyName& entry : KeyNameTable)
    if (name == entry.name) return entry.vk;
  ReportKeyError("Invalid Key Name");
  return std::nullopt;
}

bool TypeKeys(const AnsiString& text, bool wait, bool slow) {
  if (text.empty()) return false;
  platform::IKeyboard& keyboard = platform::Keyboard();
  if (!keyboard.Available()) {
    std::string reason = keyboard.TakeUnavailableReason();
    if (!reason.empty())
      platform::MessageBoxes().Show("Badges cannot be typed: " + reason + ".", kCaption,
                                    platform::MessageKind::Error);
    return false;
  }
  TKeyTyper typer(keyboard, wait, slow);
  // A Shift the user happens to hold would otherwise turn "abc123" into
  // "ABC!@#", a held Ctrl every key into a shortcut.
  keyboard.BeginTyping();
  // Closed however the run ends: the user's modifiers must come back.
  struct EndRun {
    platform::IKeyboard& keyboard;
    ~EndRun() { keyboard.EndTyping(); }
  } endRun{keyboard};
  bool typed = typer.Type(text);
  // Skipped silently, a character would be a badge typed wrong without a word.
  std::string missing = keyboard.TakeMissingCharacters();
  if (!missing.empty())
    platform::MessageBoxes().Show(
        LocalizeString("Questi caratteri non sono sulla tastiera in uso e non sono stati scritti: ") +
            missing,
        kCaption, platform::MessageKind::Error);
  return typed;
}

}  // namespace lumbra::app
