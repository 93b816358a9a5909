#include "base/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace lumbra {
namespace {

struct CodePageCase {
  unsigned char byte;
  const char* utf8;
};

// Bytes where code page 1252 and Latin-1 part ways, the undefined ones, and
// neighbours on either side.
const CodePageCase kCodePage[] = {
    {0x41, "A"},      {0x7F, "\x7F"},   {0x80, "\u20AC"},  // euro sign
    {0x81, "\u0081"}, {0x82, "\u201A"}, {0x83, "\u0192"}, {0x8A, "\u0160"}, {0x8C, "\u0152"},
    {0x8D, "\u008D"}, {0x8E, "\u017D"}, {0x8F, "\u008F"}, {0x90, "\u0090"}, {0x91, "\u2018"},
    {0x93, "\u201C"}, {0x96, "\u2013"}, {0x97, "\u2014"}, {0x99, "\u2122"}, {0x9C, "\u0153"},
    {0x9D, "\u009D"}, {0x9E, "\u017E"}, {0x9F, "\u0178"}, {0xA0, "\u00A0"}, {0xE9, "\u00E9"},
    {0xFF, "\u00FF"},
};

TEST(CodePage1252, BytesReadAndWriteAsWindowsDoes) {
  for (const CodePageCase& c : kCodePage) {
    std::string byte(1, static_cast<char>(c.byte));
    EXPECT_EQ(AnsiToText(byte), c.utf8) << std::hex << int(c.byte);
    EXPECT_EQ(TextToAnsi(c.utf8), byte) << std::hex << int(c.byte);
  }
}

TEST(CodePage1252, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string text = AnsiToText(all);
  EXPECT_EQ(Utf16Length(text), 256u);  // one character per byte, all valid UTF-8
  EXPECT_EQ(TextToAnsi(text), all);
  for (int b = 0; b < 256; ++b)
    EXPECT_EQ(UnicodeToAnsiChar(AnsiCharToUnicode(static_cast<char>(b))), static_cast<char>(b));
}

TEST(CodePage1252, CharactersWithoutAByteBecomeAQuestionMark) {
  struct Case {
    const char* utf8;
    const char* ansi;
  };
  const Case cases[] = {
      {"\u03A9mega", "?mega"},  // no Greek in 1252
      {"\u0080", "?"},          // the C1 control whose byte is the euro sign
      {"\u009F", "?"},          // likewise for Y with diaeresis
      {"a\U0001F600b", "a?b"},  // outside the BMP
      {"\u20AC\u0101\u00E8", "\x80?\xE8"},
      {"x\xC3", "x?"},     // cut short
      {"\xC0\xAF", "??"},  // overlong '/'
      {"\xE2\x82", "??"},  // euro sign cut short
  };
  for (const Case& c : cases) EXPECT_EQ(TextToAnsi(c.utf8), c.ansi) << c.utf8;
  EXPECT_EQ(UnicodeToAnsiChar(0x0101), std::nullopt);
}

}  // namespace
}  // namespace lumbra
