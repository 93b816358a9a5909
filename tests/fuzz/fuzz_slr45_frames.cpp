// The SLR-45 frame parser on arbitrary bytes cut into arbitrary blocks: no
// crash, never more reads than frame starts, and every badge text read is the
// rendering of a code that a frame with a good check byte carried.
#include <algorithm>
#include <string>

#include "FuzzHarness.h"
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
  TProtRKM530* proto = nullptr;
  const platform::HWND owner = loop.CreateMessageWindow([&](platform::TMessage& m) {
    if (m.Msg != WM_TESSERA_READ) return;
    ++reads;
    // The hexadecimal form, where the track code has it, names the code; the
    // other forms must agree with it.
    AnsiString text = proto->LastTessera();
    std::vector<std::string> parts;
    SplitText(text, parts, TrackSeparator);
    const bool hasHex = track == 1 || track == 4 || track == 6 || track == 7;
    if (!hasHex) {
      fuzz::Require(!parts.empty() && parts[0].size() >= 11);
      return;
    }
    fuzz::Require(parts[0].size() == 10);
    std::uint8_t code[5];
    for (int i = 0; i < 5; ++i)
      code[i] = static_cast<std::uint8_t>(HexToInt(parts[0].substr(2 * i, 2)));
    AnsiString again;
    fuzz::Require(RenderBadgeCode(code, track, again) && again == text);
    fuzz::Require(LineCarries(line, code));
  });
  {
    Owned<TProtRKM530> p(new TProtRKM530(1, owner));
    proto = p.get();
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
