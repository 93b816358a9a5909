// Characters per second typed into a native Wayland client in a headless
// sway session (run through tests/wayland/in_sway.sh), through the program's
// virtual keyboard and, side by side in the same session, through wtype; on
// the us and de layouts of the user's keyboard. Each rate runs from just
// before the text is handed over to the last character the target read, and
// each result says whether the target got exactly the text.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "WlClients.h"
#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/WaylandKeyboard.h"

namespace {

using namespace lumbra;

constexpr size_t kLength = 1000;

// Track-like text with characters that sit on other keys, on Shift or on
// AltGr, or nowhere, depending on the layout (UTF-8).
std::string BenchText() {
  const std::string badge = "%B4000123456789012&ROSSI/MARIO&2512?;4000123456789012=2512? "
                            "\u00e9\u00df@{}[]\u20ac yzYZ ";
  std::string text;
  size_t chars = 0;
  while (chars < kLength)
    for (size_t i = 0; i < badge.size() && chars < kLength; ++i) {
      text += badge[i];
      if ((static_cast<unsigned char>(badge[i]) & 0xC0) != 0x80) ++chars;
    }
  // Never end inside a character.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0xC0) text.pop_back();
  return text;
}

// The keystroke text that types it: the syntax's own characters in braces.
std::string Keystrokes(const std::string& utf8) {
  std::string keys;
  for (char c : TextToAnsi(utf8)) {
    if (std::string("+^%~(){}").find(c) != std::string::npos)
      keys += c == '{' ? "{{}" : c == '}' ? "{}}" : std::string("{") + c + "}";
    else
      keys += c;
  }
  return keys + "{ESC}";
}

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

size_t CountChars(const std::string& utf8) {
  size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace

int main() {
  std::unique_ptr<platform::IKeyboard> keyboard = platform::OpenWaylandKeyboard();
  if (!keyboard->Available()) {
    std::fprintf(stderr, "wayland typing bench: %s\n", keyboard->TakeUnavailableReason().c_str());
    return 1;
  }
  platform::SetKeyboard(keyboard.get());
  const std::string text = BenchText();
  const size_t chars = CountChars(text);
  bool allExact = true;
  std::printf("%-7s %-8s %6s %10s %10s  %s\n", "layout", "typer", "chars", "ms", "chars/s", "result");
  for (const char* layout : {"us", "de"}) {
    wltest::Child user({LUMBRA_WLTARGET_PATH, "keyboard", layout}, "", true);
    if (user.Ask("tap Shift_L") != "ok") {
      std::fprintf(stderr, "wayland typing bench: no user keyboard with %s\n", layout);
      return 1;
    }
    wltest::Target target(LUMBRA_WLTARGET_PATH, false);
    if (!target.Ready()) {
      std::fprintf(stderr, "wayland typing bench: the target did not get the focus\n");
      return 1;
    }
    for (const char* typer : {"lumbra", "wtype"}) {
      long long start = NowNs();
      bool handed = true;
      if (std::string(typer) == "lumbra") {
        handed = app::TypeKeys(Keystrokes(text), true, false);
      } else {
        handed = wltest::Child({"wtype", text}, "", false).Wait() == 0 &&
                 wltest::Child({"wtype", "-k", "Escape"}, "", false).Wait() == 0;
      }
      std::string got;
      long long first = 0, last = 0;
      bool ended = target.ReadUntilEscape(got, &first, &last);
      // The last character, not the Escape that marks the end.
      double ms = static_cast<double>(last - start) / 1e6;
      bool exact = handed && ended && got == text;
      allExact = allExact && exact;
      std::string verdict = exact ? "exact" : !ended ? "FAILED: no end mark" : "WRONG: " + got.substr(0, 60);
      std::printf("%-7s %-8s %6zu %10.1f %10.0f  %s\n", layout, typer, chars, ms,
                  ms > 0 ? chars * 1000.0 / ms : 0.0, verdict.c_str());
      std::fflush(stdout);
    }
  }
  platform::SetKeyboard(nullptr);
  return allExact ? 0 : 1;
}
