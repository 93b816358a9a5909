#pragma once
// The small chained byte cipher that keeps the settings password out of plain
// sight in the settings file. Texts are UTF-8; the cipher works on their 8-bit
// bytes in the Windows ANSI code page (1252), as a value written on Windows
// has them, two upper-case hexadecimal digits per byte.
#include <cstdint>
#include <string>

namespace lumbra::app {

inline constexpr std::uint8_t kPasswordKey = 247;

std::string SimpleEncrypt(const std::string& text, std::uint8_t key);
// A pair that is not hexadecimal raises EConvertError; a trailing odd
// character is ignored.
std::string SimpleDecrypt(const std::string& cipher, std::uint8_t key);

}  // namespace lumbra::app
