#include "app/tksimplecrypt2.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Text.h"

namespace lumbra::app {
namespace {

// Stored values as a settings file written on Windows holds them: the
// password's code page 1252 bytes through the cipher. "€" is byte 0x80:
// 247 ^ 0x80 = 0x77, rotated left by 3 = 0xBB, inverted = 0x44; the next
// byte is keyed with 0x44, and so on.
struct StoredCase {
  const char* password;  // UTF-8
  const char* stored;
};
const StoredCase kWindowsStored[] = {
    {"\u20AC", "44"},
    {"\u20ACuro", "4476DF7A"},                         // 80 75 72 6F
    {"\u0152uvre\u20145\u2122", "2475E7534E31DFCD"},   // 8C 75 76 72 65 97 35 99
    {"\u0081\u008D\u008F\u0090\u009D", "4CF10C1BCB"},  // the bytes 1252 leaves undefined
};

TEST(SimpleCipherCodePage, ReadsAndWritesWhatWindowsStores) {
  for (const StoredCase& c : kWindowsStored) {
    EXPECT_EQ(SimpleDecrypt(c.stored, kPasswordKey), c.password) << c.stored;
    EXPECT_EQ(SimpleEncrypt(c.password, kPasswordKey), c.stored) << c.stored;
  }
}

TEST(SimpleCipherCodePage, EveryCharacterOfTheCodePageRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string text = AnsiToText(all);
  std::string stored = SimpleEncrypt(text, kPasswordKey);
  EXPECT_EQ(stored.size(), 2 * all.size());
  EXPECT_EQ(SimpleDecrypt(stored, kPasswordKey), text);
}

TEST(SimpleCipherCodePage, ACharacterWithoutAByteIsStoredAsAQuestionMark) {
  EXPECT_EQ(SimpleEncrypt("\u03A9\u20AC", kPasswordKey), SimpleEncrypt("?\u20AC", kPasswordKey));
}

}  // namespace
}  // namespace lumbra::app
