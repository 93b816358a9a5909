// The SW-30 answer parser on arbitrary bytes, with commands issued between the
// blocks so that every exchange state is met: no crash, no read beyond the
// answer buffer, and a badge read only ever holds what an answer can carry.
#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/sw30/protoTWBadge2.h"
#include "reader/CustomBadgeReader.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtTWbadge2> p(new TProtTWbadge2(1, owner));
    size_t i = 0;
    while (i < size) {
      // Each block starts with a control byte: the low five bits give its
      // length, the high three a command issued before it.
      const std::uint8_t control = data[i++];
      switch (control >> 5) {
        case 1:
          p->ReadTessera(1 + control % 3);
          break;
        case 2:
          p->WriteTessera("0012345678", 2);
          break;
        case 3:
          p->EjectTessera();
          break;
        case 4:
          p->Inizializza();
          break;
        case 5:
          p->SetTrack(1 + control % 3);
          break;
        default:
          break;
      }
      const size_t len = std::min<size_t>(control & 0x1F, size - i);
      p->ProcessBuffer(data + i, static_cast<std::int32_t>(len));
      i += len;
    }
    loop.RunUntilIdle();
    for (const auto& post : loop.Posts()) {
      if (post.msg == WM_TESSERA_READ && post.lParam != trDataReady) {
        // A read the line kept cutting short.
        fuzz::Require(post.lParam == trReadFailed);
      } else if (post.msg == WM_TESSERA_READ) {
        // Kind, code, a free character, two digits and the ETX around it.
        fuzz::Require(p->LastTessera().size() <= TProtTWbadge2::kMaxAnswerBytes - 6);
        for (char c : p->LastTessera())
          fuzz::Require(c != 0x02 && c != 0x03 && c != 0x06 && c != 0x10 && c != 0x15);
      }
      if (post.msg == WM_TESSERA_STATUS) fuzz::Require(post.lParam >= 1 && post.lParam <= 3);
      if (post.msg == WM_DISP_ERROR) fuzz::Require(post.lParam >= 0 && post.lParam <= 99);
    }
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
