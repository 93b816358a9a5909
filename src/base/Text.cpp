#include "base/Text.h"

namespace lumbra {

namespace {

// 0x80..0x9F of code page 1252; the undefined bytes keep their C1 control.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char16_t AnsiCharToUnicode(char c) {
  auto b = static_cast<unsigned char>(c);
  return b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

std::optional<char> UnicodeToAnsiChar(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  return std::nullopt;
}

std::string AnsiToText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, AnsiCharToUnicode(c));
  return out;
}

AnsiString TextToAnsi(std::string_view text) {
  AnsiString out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    char32_t cp = len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = len > 1 && i + len <= text.size();
    for (int k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // An overlong form must not smuggle in a character: it is malformed.
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && cp < kMin[len]) ok = false;
    std::optional<char> b = ok ? UnicodeToAnsiChar(cp) : std::nullopt;
    out.push_back(b ? *b : '?');
    i += ok ? len : 1;
  }
  return out;
}

namespace {

// Calls f(code point, offset) for each character until f returns false;
// false on invalid UTF-8.
template <typename F>
bool ForEachCodePoint(std::string_view s, F f) {
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80             ? 1
                 : (c & 0xE0) == 0xC0 ? 2
                 : (c & 0xF0) == 0xE0 ? 3
                 : (c & 0xF8) == 0xF0 ? 4
                                      : 0;
    if (len == 0 || i + len > s.size()) return false;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (!f(cp, i)) return true;
    i += len;
  }
  return true;
}

size_t Units(char32_t cp) {
  return cp >= 0x10000 ? 2 : 1;
}

}  // namespace

std::optional<size_t> Utf16Length(std::string_view utf8) {
  size_t units = 0;
  bool valid = ForEachCodePoint(utf8, [&](char32_t cp, size_t) {
    units += Units(cp);
    return true;
  });
  if (!valid) return std::nullopt;
  return units;
}

size_t Utf8PrefixWithin(std::string_view utf8, size_t maxUnits) {
  size_t units = 0, end = utf8.size();
  ForEachCodePoint(utf8, [&](char32_t cp, size_t offset) {
    units += Units(cp);
    if (units <= maxUnits) return true;
    end = offset;
    return false;
  });
  return end;
}

std::string Trim(std::string_view s) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

int CompareText(std::string_view a, std::string_view b) {
  std::string la = LowerAscii(a), lb = LowerAscii(b);
  return la < lb ? -1 : (la == lb ? 0 : 1);
}

bool SameText(std::string_view a, std::string_view b) {
  return CompareText(a, b) == 0;
}

}  // namespace lumbra
