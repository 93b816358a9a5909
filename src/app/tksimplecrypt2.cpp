#include "app/tksimplecrypt2.h"

#include "base/Text.h"
#include "reader/TrackData.h"

namespace lumbra::app {
namespace {

std::uint8_t Rotl3(std::uint8_t v) { return static_cast<std::uint8_t>((v << 3) | (v >> 5)); }
std::uint8_t Rotr3(std::uint8_t v) { return static_cast<std::uint8_t>((v >> 3) | (v << 5)); }

}  // namespace

std::string SimpleEncrypt(const std::string& text, std::uint8_t key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::uint8_t k = key;
  for (unsigned char x : TextToAnsi(text)) {
    std::uint8_t y = static_cast<std::uint8_t>(~Rotl3(static_cast<std::uint8_t>(k ^ x)));
    out.push_back(kHex[y >> 4]);
    out.push_back(kHex[y & 0x0F]);
    k = y;
  }
  return out;
}

std::string SimpleDecrypt(const std::string& cipher, std::uint8_t key) {
  AnsiString out;
  std::uint8_t k = key;
  for (size_t i = 0; i + 1 < cipher.size(); i += 2) {
    auto y = static_cast<std::uint8_t>(HexToInt(cipher.substr(i, 2)));
    std::uint8_t t = Rotr3(static_cast<std::uint8_t>(~y));
    out.push_back(static_cast<char>(t ^ k));
    k = y;
  }
  return AnsiToText(out);
}

}  // namespace lumbra::app
