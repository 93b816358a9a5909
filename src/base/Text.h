#pragma once
// Badge data and device frames are byte strings of 8-bit characters; the texts
// a user sees are UTF-8. Where the two meet, bytes are read as Latin-1 (every
// byte maps to one character and back, so nothing is lost on the way).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumbra {

using AnsiString = std::string;  // 8-bit characters, one byte each

std::string AnsiToText(std::string_view bytes);
// Characters outside Latin-1 (and malformed UTF-8) become '?'.
AnsiString TextToAnsi(std::string_view text);

// The UTF-16 units a UTF-8 text takes; nothing when it is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<std::size_t> Utf16Length(std::string_view utf8);
// The bytes of the longest start of a valid UTF-8 text that takes at most
// maxUnits UTF-16 units; never ends inside a character.
std::size_t Utf8PrefixWithin(std::string_view utf8, std::size_t maxUnits);

// Without leading and trailing blanks and control characters.
std::string Trim(std::string_view s);

// ASCII case folding: model names, key names and settings keys are ASCII.
std::string LowerAscii(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
int CompareText(std::string_view a, std::string_view b);

}  // namespace lumbra
