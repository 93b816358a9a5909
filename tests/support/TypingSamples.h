#pragma once
// The texts the typing tests of every keyboard backend type, with what the
// target must receive: track characters, accented letters, the command
// syntax's own characters, named keys.
#include <string>

#include "base/Text.h"

namespace lumbra::samples {

struct TypingSample {
  const char* keys;      // keystroke text (UTF-8 here, typed in code page 1252)
  const char* expected;  // what the target must receive
};

inline constexpr TypingSample kTypingSamples[] = {
    {"Ab1@{%}{{}{}}{~}{^};=?/", "Ab1@%{}~^;=?/"},
    {"\u00e0\u00e8\u00e9\u00ec\u00f2\u00f9\u00f1\u00e7 \u00c0\u00c9\u00c7\u00dc\u00df",
     "\u00e0\u00e8\u00e9\u00ec\u00f2\u00f9\u00f1\u00e7 \u00c0\u00c9\u00c7\u00dc\u00df"},
    {"x{TAB}y{ENTER}z{b 3}{TAB 2}~0", "x<Tab>y<Return>zBBB<Tab><Tab><Return>0"},
    {"+(ab)c{+}{(}{)}[]{&}\"'<>|\\#$", "ABc+()[]&\"'<>|\\#$"},
    {"{%}B4000123456789012{&}DOE/JOHN{&}2512?;4000123456789012=2512?",
     "%B4000123456789012&DOE/JOHN&2512?;4000123456789012=2512?"},
};

// Every character of the code page above ASCII, in UTF-8 (no-break space
// left out: targets cannot tell it from a space).
inline std::string CodePageText() {
  std::string all;
  for (int c = 0x80; c <= 0xFF; ++c)
    if (c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D && c != 0xA0)
      all += AnsiToText(std::string(1, static_cast<char>(c)));
  return all;
}

}  // namespace lumbra::samples
