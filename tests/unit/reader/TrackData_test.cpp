#include "reader/TrackData.h"

#include <gtest/gtest.h>

#include "base/Exceptions.h"

namespace lumbra {
namespace {

TEST(TesseraTable, EveryPositionHoldsTenDifferentDigitsAndRowTenRepeatsRowZero) {
  for (size_t pos = 1; pos <= 40; ++pos) {
    std::string column;
    for (int row = 0; row < 10; ++row) column += TesseraTableAt(row, pos);
    std::string sorted = column;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "0123456789") << "position " << pos;
    EXPECT_EQ(TesseraTableAt(10, pos), TesseraTableAt(0, pos)) << "position " << pos;
  }
  // Row r is the key text read from position 27r + 1 of its endless repetition.
  EXPECT_EQ(TesseraTableAt(0, 1), '6');
  EXPECT_EQ(TesseraTableAt(0, 10), '8');
  EXPECT_EQ(TesseraTableAt(1, 1), '2');  // key position 28 -> 8th key character
}

TEST(TesseraCipher, DecodeMapsDigitsThroughTheTableAndOthersToF) {
  AnsiString d = DecodeTessera("12=34");
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[2], 'F');
  EXPECT_EQ(d[0], TesseraTableAt(1, 1));
  EXPECT_EQ(d[4], TesseraTableAt(4, 5));
}

TEST(TesseraCipher, RoundTripsDigitStringsOfTrackTwoLength) {
  // Track 2 carries up to 40 characters, beyond the 27 positions of the table.
  const AnsiString digits = "0123456789987654321001234567899876543210";
  for (size_t len : {0u, 1u, 27u, 28u, 40u}) {
    AnsiString s = digits.substr(0, len);
    EXPECT_EQ(EncodeTessera(DecodeTessera(s)), s) << len;
    EXPECT_EQ(DecodeTessera(EncodeTessera(s)), s) << len;
  }
}

TEST(TesseraCipher, EncodeDropsCharactersNoRowHolds) {
  EXPECT_EQ(EncodeTessera("1=2").size(), 2u);
  EXPECT_EQ(EncodeTessera("ABC"), "");
}

TEST(TesseraChecksum, ValuesAndChecks) {
  EXPECT_EQ(TesseraChecksum("1234"), 3);
  EXPECT_EQ(TesseraChecksum("12"), 0);
  EXPECT_EQ(TesseraChecksum(""), 1);
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {{"123403", true}, {"123404", false}, {"1", true},
               {"", false},      {"12ab", false},   {"1200", true}};
  for (const auto& c : cases) EXPECT_EQ(CheckTesseraChecksum(c.text), c.ok) << c.text;
}

TEST(TesseraChecksum, SumsAboveAByteWrapModulo256) {
  // 40 nines: 40 * 57 = 2280; 2280 mod 256 = 232; + 1 = 233; mod 100 = 33.
  AnsiString nines(40, '9');
  EXPECT_EQ(TesseraChecksum(nines), 33);
  EXPECT_TRUE(CheckTesseraChecksum(nines + "33"));
  // The accumulator wraps before the +1: 255 + 1 is 0, not 256.
  AnsiString s(1, static_cast<char>(0xFF));
  EXPECT_EQ(TesseraChecksum(s), 0);
}

TEST(HexToInt, ReadsHexAndRefusesAnythingElse) {
  EXPECT_EQ(HexToInt("1f"), 31);
  EXPECT_EQ(HexToInt("1F"), 31);
  EXPECT_EQ(HexToInt("0"), 0);
  EXPECT_EQ(HexToInt("7FFFFFFF"), 0x7FFFFFFF);
  EXPECT_EQ(HexToInt("FFFFFFFF"), -1);
  for (const char* bad : {"", "g1", "1 ", " 1", "-1", "+1", "0x1f", "123456789"})
    EXPECT_THROW(HexToInt(bad), EConvertError) << '"' << bad << '"';
}

TEST(Digits, PadAndTruncate) {
  EXPECT_EQ(PadDigits("7", 3, '0'), "007");
  EXPECT_EQ(PadDigits("12345", 3, '0'), "345");
  EXPECT_EQ(PadDigits("12", 0, '0'), "");
  EXPECT_EQ(PadDigits("12", -1, '0'), "");
  EXPECT_EQ(WordToDigits(65537, 2), "01");
  EXPECT_EQ(WordToDigits(3, 2), "03");
  EXPECT_EQ(CardinalToDigits(4294967295u, 12), "004294967295");
}

TEST(Split, KeepsEmptyItems) {
  std::vector<std::string> list{"stale"};
  SplitText("a,,b,", list, ',');
  EXPECT_EQ(list, (std::vector<std::string>{"a", "", "b", ""}));
  SplitText("", list, ',');
  EXPECT_TRUE(list.empty());
  SplitText("abc", list, ',');
  EXPECT_EQ(list, (std::vector<std::string>{"abc"}));
  SplitAnsiText("\xE8;x", list, ';');
  EXPECT_EQ(list, (std::vector<std::string>{"\xC3\xA8", "x"}));  // è as UTF-8
}

}  // namespace
}  // namespace lumbra
