// The SMW-46 reply parser on arbitrary bytes cut into arbitrary blocks: no
// crash, replies never longer than the buffer, a badge only from a read reply
// and without control bytes, and every track it yields is a piece of the
// reply it came from.
#include <string>

#include "FuzzHarness.h"
#include "comm/ReadTexts.h"
#include "drivers/smw46/ProtoSMW460.h"
#include "reader/CustomBadgeReader.h"

using namespace lumbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto& loop = fuzz::Loop();
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (std::int32_t code = 1; code <= 3; ++code) {
    AnsiString track;
    ParseSMW460Read(input, code, track);
    fuzz::Require(input.find(track) != std::string::npos);
  }
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  {
    Owned<TProtSMW460> p(new TProtSMW460(1, owner));
    p->SetTrack(size > 0 ? 1 + data[0] % 7 : 7);
    std::string stream;  // what the parser saw, without the blocks' control bytes
    fuzz::ForEachBlock(data, size, [&](const std::uint8_t* b, std::int32_t n) {
      stream.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
      p->ProcessBuffer(b, n);
    });
    const bool readReply =
        stream.find("\x1bs") != std::string::npos && stream.find("\x1c\x1b") != std::string::npos;
    for (const auto& post : loop.Posts()) {
      if (post.msg == WM_TESSERA_READ) {
        fuzz::Require(readReply);
        // Three tracks and two separators out of at most 512 reply bytes.
        fuzz::Require(p->LastTessera().size() <= TProtSMW460::kMaxReply + 2);
        // No protocol byte is ever typed: control bytes only as separators.
        for (char c : p->LastTessera())
          fuzz::Require(c == TrackSeparator || static_cast<unsigned char>(c) >= 0x20);
      }
      if (post.msg == WM_DISP_ERROR)
        fuzz::Require(post.lParam == 0 || post.lParam == 6 || post.lParam == 16);
    }
  }
  DropTesseraReads(owner);
  loop.DestroyMessageWindow(owner);
  loop.ClearPosts();
  return 0;
}
