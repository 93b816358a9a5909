#include "reader/TrackData.h"

#include <array>
#include <mutex>
#include <charconv>

#include "base/Exceptions.h"

namespace lumbra {
namespace {

constexpr int kRows = 11;
constexpr size_t kKeyLen = 10;
constexpr size_t kTableWidth = 27;

// The table proper covers 27 positions; past them the same rotation rule
// continues (position i of row r is key[(27r + i - 1) mod 10]), so rows 0..9
// still hold ten different digits at every position and decoding stays the
// inverse of encoding for track data of any length.
std::array<std::array<char, kTableWidth>, kRows> gTable{};
std::once_flag gBuilt;

char KeyAt(int row, size_t position) {
  return kTesseraKey[(kTableWidth * static_cast<size_t>(row) + position - 1) % kKeyLen];
}

}  // namespace

void BuildTesseraTable() {
  // Protocols build it from their own threads too.
  std::call_once(gBuilt, [] {
    for (int r = 0; r < kRows; ++r)
      for (size_t i = 1; i <= kTableWidth; ++i) gTable[r][i - 1] = KeyAt(r, i);
  });
}

char TesseraTableAt(int row, size_t position) {
  BuildTesseraTable();
  if (position >= 1 && position <= kTableWidth) return gTable[row][position - 1];
  return KeyAt(row, position);
}

AnsiString DecodeTessera(const AnsiString& S) {
  AnsiString out;
  out.reserve(S.size());
  for (size_t i = 0; i < S.size(); ++i) {
    char c = S[i];
    out.push_back(c >= '0' && c <= '9' ? TesseraTableAt(c - '0', i + 1) : 'F');
  }
  return out;
}

AnsiString EncodeTessera(const AnsiString& S) {
  AnsiString out;
  out.reserve(S.size());
  for (size_t i = 0; i < S.size(); ++i) {
    for (int r = 0; r < kRows; ++r) {
      if (TesseraTableAt(r, i + 1) == S[i]) {
        out.push_back(static_cast<char>('0' + r));
        break;
      }
    }
  }
  return out;
}

std::uint8_t TesseraChecksum(const AnsiString& S) {
  std::uint8_t acc = 0;
  for (unsigned char c : S) acc = static_cast<std::uint8_t>(acc + c);
  acc = static_cast<std::uint8_t>(acc + 1);
  return static_cast<std::uint8_t>(acc % 100);
}

bool CheckTesseraChecksum(const AnsiString& S) {
  size_t n = S.size();
  AnsiString body = n > 2 ? S.substr(0, n - 2) : AnsiString();
  AnsiString tail = n >= 2 ? S.substr(n - 2) : S;
  if (tail.empty()) return false;
  int value = 0;
  for (char c : tail) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value == TesseraChecksum(body);
}

std::int32_t HexToInt(const std::string& S) {
  std::uint32_t value = 0;
  const char* first = S.data();
  const char* last = S.data() + S.size();
  auto [ptr, ec] = std::from_chars(first, last, value, 16);
  // from_chars takes a leading '-' for signed types only, but keep the check
  // explicit: the whole text must be hex digits, and it must fit 32 bits.
  if (S.empty() || S.size() > 8 || ec != std::errc() || ptr != last || S[0] == '+' ||
      S[0] == '-')
    throw EConvertError("'" + S + "' is not a valid integer value");
  return static_cast<std::int32_t>(value);
}

std::string PadDigits(const std::string& S, std::int32_t Len, char Fill) {
  size_t len = Len < 0 ? 0 : static_cast<size_t>(Len);
  if (S.size() < len) return std::string(len - S.size(), Fill) + S;
  return S.substr(S.size() - len);
}

std::string CardinalToDigits(std::uint32_t Value, std::int32_t Len) {
  return PadDigits(std::to_string(Value), Len, '0');
}

std::string WordToDigits(std::uint32_t Value, std::int32_t Len) {
  return PadDigits(std::to_string(Value & 0xFFFFu), Len, '0');
}

void SplitText(const std::string& S, std::vector<std::string>& List, char Separator) {
  List.clear();
  if (S.empty()) return;
  size_t start = 0;
  for (;;) {
    size_t pos = S.find(Separator, start);
    if (pos == std::string::npos) break;
    List.push_back(S.substr(start, pos - start));
    start = pos + 1;
  }
  List.push_back(S.substr(start));
}

void SplitAnsiText(const AnsiString& S, std::vector<std::string>& List, char Separator) {
  SplitText(S, List, Separator);
  for (auto& part : List) part = AnsiToText(part);
}

}  // namespace lumbra
