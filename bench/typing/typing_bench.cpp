// Types a 1000-character track-like text into the X target on a private
// display and prints the rate the target received it at, from just before the
// first key event to the last character read, and whether anything was lost
// or came out of order. One run per layout, CapsLock off and on. A second text
// of the code page's upper half is typed mostly through spare keycodes, bound
// and rebound on the way.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "XSession.h"
#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/X11Keyboard.h"

namespace {

using namespace lumbra;

constexpr size_t kLength = 1000;

// What the target must receive: characters, with '\r' for Enter and '\t' for Tab.
std::string TrackText() {
  const std::string badge =
      "%B4000123456789012&ROSSI/MARIO&25121010000000000000?\t;4000123456789012=2512101000?\r";
  std::string text;
  while (text.size() < kLength) text += badge;
  text.resize(kLength);
  return text;
}

// The keystroke text that types it, escaped as the badge handler escapes.
std::string KeystrokeText(const std::string& text) {
  std::string keys;
  for (char c : text) {
    switch (c) {
      case '+':
      case '^':
      case '%':
      case '~':
      case '(':
      case ')':
        keys += std::string("{") + c + "}";
        break;
      case '\r':
        keys += "{ENTER}";
        break;
      case '\t':
        keys += "{TAB}";
        break;
      default:
        keys += c;
    }
  }
  return keys;
}

// The code page's upper half, repeated: on every layout most of it has no key.
std::string PageText() {
  std::string page;
  for (int c = 0x80; c <= 0xFF; ++c)
    if (c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D && c != 0xA0)
      page += static_cast<char>(c);
  std::string text;
  while (text.size() < kLength) text += page;
  text.resize(kLength);
  return text;
}

std::string Expected(const std::string& text) {
  std::string r;
  for (char c : text) r += c == '\r' ? "<Return>" : c == '\t' ? "<Tab>" : std::string(1, c);
  return r;
}

}  // namespace

int main() {
  xtest::XSession session;
  if (!session.Start() || !session.StartTarget()) {
    std::fprintf(stderr, "typing bench: %s\n", session.Error().c_str());
    return 1;
  }
  std::unique_ptr<platform::IKeyboard> keyboard =
      platform::OpenX11Keyboard(session.Display().c_str());
  platform::SetKeyboard(keyboard.get());

  struct Text {
    const char* name;
    std::string keys;      // keystroke text, code page 1252
    std::string expected;  // what the target must receive, rendered
  };
  const std::string track = TrackText(), page = PageText();
  const Text texts[] = {
      {"track", KeystrokeText(track) + "{ESC}", Expected(track)},
      {"page", page + "{ESC}", AnsiToText(page)},
  };
  bool allGood = true;
  std::printf("%-7s %-5s %-6s %6s %9s %9s %12s  %s\n", "layout", "caps", "text", "chars", "type ms",
              "recv ms", "chars/s", "result");
  for (const char* layout : {"us", "it", "de", "fr"}) {
    if (!session.SetLayout(layout)) {
      std::fprintf(stderr, "typing bench: setxkbmap %s failed\n", layout);
      return 1;
    }
    for (bool caps : {false, true})
      for (const Text& t : texts) {
        if (!session.SetCapsLock(caps)) return 1;
        // One short text first, so that both sides have loaded the new map.
        app::TypeKeys("0{ESC}", true, false);
        std::vector<xtest::Received> got;
        session.ReadUntilEscape(got);

        auto t0 = std::chrono::steady_clock::now();
        bool ok = app::TypeKeys(t.keys, true, false);
        auto t1 = std::chrono::steady_clock::now();
        bool ended = session.ReadUntilEscape(got, std::chrono::seconds(30));
        long long startNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(t0.time_since_epoch()).count();
        long long lastNs = got.empty() ? startNs : got.back().ns;
        double recvMs = static_cast<double>(lastNs - startNs) / 1e6;
        double typeMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
        std::string received = xtest::Render(got);
        std::string verdict;
        if (!ok || !ended) {
          verdict = "FAILED: " + (ended ? std::string("typing stopped") : session.Error());
        } else if (received == t.expected) {
          verdict = "nothing lost or reordered";
        } else {
          size_t i = 0;
          while (i < received.size() && i < t.expected.size() && received[i] == t.expected[i]) ++i;
          verdict = "WRONG: " + std::to_string(got.size()) +
                    " keys received, first difference at " + std::to_string(i);
        }
        allGood = allGood && verdict == "nothing lost or reordered";
        std::printf("%-7s %-5s %-6s %6zu %9.1f %9.1f %12.0f  %s\n", layout, caps ? "on" : "off",
                    t.name, got.size(), typeMs, recvMs,
                    recvMs > 0 ? got.size() * 1000.0 / recvMs : 0.0, verdict.c_str());
      }
  }
  platform::SetKeyboard(nullptr);
  return allGood ? 0 : 1;
}
