// The SL-10 frame parser on arbitrary bytes: no crash, no read beyond the
// frame, and a decoded badge is only ever made of the reader's characters.
#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/sl10/ProtoTBadge.h"
#include "reader/CustomBadgeReader.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtTB> p(new TProtTB(1, owner));
    p->fCrypt = false;
    p->fCheckSum = false;
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      p->ProcessBuffer(b, n);
      p->TimerProc();
    });
    loop.RunUntilIdle();
    for (const auto& post : loop.Posts()) {
      if (post.msg == WM_TESSERA_READ && post.lParam == trDataReady) {
        fuzz::Require(p->LastTessera().size() <= TProtTB::kMaxFrameBytes);
        for (char c : p->LastTessera()) fuzz::Require(c >= '0' && c <= '?');
      }
      fuzz::Require(post.msg != WM_TESSERA_STATUS || (post.lParam >= 1 && post.lParam <= 3));
    }
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
