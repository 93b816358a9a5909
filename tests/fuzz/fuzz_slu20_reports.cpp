// The SLU-20 input-report assembly and block decoding on arbitrary reports:
// no crash, the block never outgrows its 28 bytes, a badge is only ever
// hexadecimal digits from at most 25 track bytes, and a card is reported once
// while it stays in the slot.
#include <cstring>
#include <string>

#include "FuzzHarness.h"
#include "comm/DeviceMessages.h"
#include "comm/ReadTexts.h"
#include "drivers/slu20/ProtoUSBBadge.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtoUSBBadge> p(new TProtoUSBBadge(owner));
    size_t seen = 0;
    AnsiString lastRead;
    bool inserted = false;
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      p->ProcessReport(b, static_cast<std::uint16_t>(n));
      fuzz::Require(p->Buffer().size() < TProtoUSBBadge::kBlockSize);
      const auto posts = loop.Posts();
      for (; seen < posts.size(); ++seen) {
        const auto& post = posts[seen];
        if (post.msg == WM_TESSERA_STATUS) {
          fuzz::Require(post.lParam >= 1 && post.lParam <= 3);
          inserted = post.lParam == 2;
          if (!inserted) lastRead.clear();
        } else if (post.msg == WM_BAD_INSERT) {
          fuzz::Require(inserted);
        } else if (post.msg == WM_TESSERA_READ && post.lParam == trDataReady) {
          const AnsiString& t = p->LastTessera();
          fuzz::Require(inserted && !t.empty() && t.size() <= TProtoUSBBadge::kMaxTrackBytes);
          fuzz::Require(t.find_first_not_of("0123456789ABCDE") == std::string::npos);
          fuzz::Require(t != lastRead);
          lastRead = t;
        } else {
          fuzz::Require(post.msg == WM_TESSERA_READ && post.lParam == trReadFailed);
        }
      }
    });
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
