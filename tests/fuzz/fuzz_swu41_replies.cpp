// The SWU-41 reply parser on arbitrary bytes cut into arbitrary blocks: no
// crash, no reply longer than a frame holds, and a badge only from a frame
// that began with STX and held a track sentinel.
#include <algorithm>

#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/swu41/ProtoEPX3000.h"
#include "reader/CustomBadgeReader.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtEPX3000> p(new TProtEPX3000(1, owner));
    p->SetTrack(size > 0 ? 1 + data[0] % 7 : 7);
    bool stx = false, sentinel = false;
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      stx = stx || std::find(b, b + n, epx3000::STX) != b + n;
      sentinel = sentinel || std::any_of(b, b + n, [](std::uint8_t c) {
                   return c == '%' || c == ';' || c == '+';
                 });
      p->ProcessBuffer(b, n);
      p->TimerProc();
    });
    for (const auto& post : loop.Posts()) {
      if (post.msg != WM_TESSERA_READ) continue;
      fuzz::Require(stx && sentinel);
      // Payload, ETX and check byte fit in 512 bytes.
      fuzz::Require(p->LastTessera().size() <= epx3000::kMaxFrame - 2);
    }
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
