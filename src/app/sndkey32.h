#pragma once
// Keystroke synthesis: turns a keystroke text into key events for the window
// that has the keyboard focus.
//
// Syntax: "+" Shift, "^" Ctrl, "%" Alt apply to the next key, or with "(" and
// ")" to every key of the group; "~" is Enter; {NAME} or {NAME n} is a named key
// n times; {c} or {c n} is the character c (n times) without its command
// meaning; {{} and {}} are the braces themselves. Characters are bytes of the
// Windows ANSI code page (1252).
//
// Errors ("No Close", "Invalid Key Name") are shown in a modal message box;
// keys already sent stay sent. Runs on the UI thread, through the installed
// platform keyboard and clock.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/Text.h"

namespace lumbra::app {

struct TKeyName {
  const char* name;  // upper case
  std::uint8_t vk;
};

inline constexpr std::array<TKeyName, 41> KeyNameTable{{
    {"BACKSPACE", 8}, {"BKSP", 8},   {"BS", 8},      {"BREAK", 3},        {"CAPSLOCK", 20},
    {"CLEAR", 12},    {"DEL", 46},   {"DELETE", 46}, {"DOWN", 40},        {"END", 35},
    {"ENTER", 13},    {"ESC", 27},   {"ESCAPE", 27}, {"F1", 112},         {"F10", 121},
    {"F11", 122},     {"F12", 123},  {"F13", 124},   {"F14", 125},        {"F15", 126},
    {"F16", 127},     {"F2", 113},   {"F3", 114},    {"F4", 115},         {"F5", 116},
    {"F6", 117},      {"F7", 118},   {"F8", 119},    {"F9", 120},         {"HELP", 47},
    {"HOME", 36},     {"INS", 45},   {"LEFT", 37},   {"NUMLOCK", 144},    {"PGDN", 34},
    {"PGUP", 33},     {"PRTSC", 42}, {"RIGHT", 39},  {"SCROLLLOCK", 145}, {"TAB", 9},
    {"UP", 38},
}};

inline constexpr std::uint8_t VK_SHIFT_KEY = 160;  // left Shift
inline constexpr std::uint8_t VK_CONTROL_KEY = 17;
inline constexpr std::uint8_t VK_ALT_KEY = 18;
inline constexpr std::uint8_t VK_NUMLOCK_KEY = 144;

// Counts above this are refused: the brace types nothing rather than keep the
// keyboard busy for minutes.
inline constexpr long kMaxRepeatCount = 65535;

// Types the whole text. True when the end was reached; false for an empty
// text, a "No Close" error, or when no keyboard output is available.
bool TypeKeys(const AnsiString& text, bool wait, bool slow);

// Key code of a character on the current layout, or platform::kNoKey.
std::uint16_t CharToKey(char ch);

// Virtual key of an upper-case key name; reports "Invalid Key Name" and
// returns nothing when the name is not in the table.
std::optional<std::uint8_t> LookupKeyName(std::string_view name);

bool IsExtendedKey(std::uint8_t vk);

}  // namespace lumbra::app
