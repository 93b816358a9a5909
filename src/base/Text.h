#pragma once
// Badge data, device frames and the stored password are byte strings of 8-bit
// characters in the Windows ANSI code page (1252), as the readers' other
// programs and settings written on Windows have them; the texts a user sees are
// UTF-8. The five bytes 1252 leaves undefined stand for the C1 controls of the
// same number, as Windows reads them, so every byte maps to one character and
// back and nothing is lost on the way.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumbra {

using AnsiString = std::string;  // 8-bit characters, one byte each

std::string AnsiToText(std::string_view bytes);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);
// Characters the code page lacks (and malformed UTF-8) become '?', as Windows
// writes them.
AnsiString TextToAnsi(std::string_view text);

// One 8-bit character as a UTF-16 unit (every byte has one), and back (nothing
// for a character the code page lacks).
char16_t AnsiCharToUnicode(char c);
std::optional<char> UnicodeToAnsiChar(char32_t cp);

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
