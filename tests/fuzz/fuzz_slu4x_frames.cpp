// The SLU-4x frame parser on arbitrary bytes cut into arbitrary bursts: no
// crash, frames never longer than the buffer, and a badge only from a frame
// that began with a track sentinel; anything else is at most a failed read.
#include <algorithm>

#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/slu4x/ProtoSLU4x.h"
#include "reader/CustomBadgeReader.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtSLU4x> p(new TProtSLU4x(1, owner));
    p->SetTrack(size > 0 ? 1 + data[0] % 7 : 7);
    bool sentinel = false;
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      sentinel = sentinel || std::any_of(b, b + n, [](std::uint8_t c) {
                   return c == '%' || c == ';' || c == '+';
                 });
      p->ProcessBuffer(b, n);
    });
    loop.Advance(TProtSLU4x::kBurstGapMs);
    fuzz::Require(!p->EndPending());
    for (const auto& post : loop.Posts()) {
      if (post.msg != WM_TESSERA_READ) continue;
      fuzz::Require(post.lParam == trDataReady || post.lParam == trReadFailed);
      if (post.lParam != trDataReady) continue;
      fuzz::Require(sentinel);
      // Three tracks and two separators out of at most 512 frame bytes.
      fuzz::Require(p->LastTessera().size() <= TProtSLU4x::kMaxFrameBytes + 2);
    }
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
