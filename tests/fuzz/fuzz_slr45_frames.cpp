// The SLR-45 frame parser on arbitrary bytes cut into arbitrary blocks: no
// crash, never more reads than frame starts, and every badge text read is the
// rendering of a code that a frame with a good check byte carried.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/slr45/protoRKM530.h"
#include "reader/CustomBadgeReader.h"
#include "reader/TrackData.h"

using namespace lumbra;

namespace {

// Whether some frame start in the line carries this code with a good check byte.
bool LineCarries(const std::string& line, const std::uint8_t* code) {
  for (size_t i = 0; i + 8 < line.size(); ++i) {
    if (line[i] != 0x02) continue;
    const auto* f = reinterpret_cast<const std::uint8_t*>(line.data()) + i;
    if (f[2] != 1 && f[2] != 2) continue;
    if (!std::equal(code, code + 5, f + 3)) continue;
    std::uint8_t x = 0;
    for (int k = 1; k <= 7; ++k) x ^= f[k];
    if (x == f[8]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const std::int32_t track = size > 0 ? 1 + data[0] % 7 : 7;
  std::string line;
  int reads = 0;
  const platform::HWND owner = loop.CreateMessageWindow([&](platform::TMessage& m) {
    if (m.Msg != WM_TESSERA_READ) return;
    ++reads;
    // The code, taken back from the first form the track code has; rendered
    // again it must give the whole text.
    // The text posted with this very read.
    const std::optional<AnsiString> posted = TakeTesseraRead(owner);
    fuzz::Require(posted.has_value());
    const AnsiString text = *posted;
    std::vector<std::string> parts;
    SplitText(text, parts, TrackSeparator);
    fuzz::Require(!parts.empty());
    const std::string& first = parts[0];
    std::uint64_t value = 0;
    for (char c : first) fuzz::Require(std::isxdigit(static_cast<unsigned char>(c)) != 0);
    std::uint8_t code[5];
    if (track == 1 || track == 4 || track == 6 || track == 7) {
      fuzz::Require(first.size() == 10);
      value = std::stoull(first, nullptr, 16);
    } else if (track == 2 || track == 5) {
      fuzz::Require(first.size() == 13);
      const std::uint64_t low = std::stoull(first.substr(3));
      fuzz::Require(low <= 0xFFFFFFFFu);
      // c1 to c4 least significant byte first.
      value = std::stoull(first.substr(0, 3)) << 32 | (low & 0xFF) << 24 | (low >> 8 & 0xFF) << 16 |
              (low >> 16 & 0xFF) << 8 | (low >> 24);
    } else {
      fuzz::Require(first.size() >= 1 && first.size() <= 13);
      value = std::stoull(first);
    }
    fuzz::Require(value <= 0xFFFFFFFFFFull);
    for (int i = 0; i < 5; ++i) code[i] = static_cast<std::uint8_t>(value >> (8 * (4 - i)));
    AnsiString again;
    fuzz::Require(RenderBadgeCode(code, track, again) && again == text);
    fuzz::Require(LineCarries(line, code));
  });
  {
    Owned<TProtRKM530> p(new TProtRKM530(1, owner));
    p->SetTrack(track);
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      line.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
      p->ProcessBuffer(b, n);
    });
    loop.RunUntilIdle();
    fuzz::Require(reads <= std::count(line.begin(), line.end(), '\x02'));
  }
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
