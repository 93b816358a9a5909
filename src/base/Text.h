#pragma once
// Badge data and device frames are byte strings of 8-bit characters; the texts
// a user sees are UTF-8. Where the two meet, bytes are read as Latin-1 (every
// byte maps to one character and back, so nothing is lost on the way).
#include <string>
#include <string_view>

namespace lumbra {

using AnsiString = std::string;  // 8-bit characters, one byte each

std::string AnsiToText(std::string_view bytes);
// Characters outside Latin-1 (and malformed UTF-8) become '?'.
AnsiString TextToAnsi(std::string_view text);

// ASCII case folding: model names, key names and settings keys are ASCII.
std::string LowerAscii(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
int CompareText(std::string_view a, std::string_view b);

}  // namespace lumbra
