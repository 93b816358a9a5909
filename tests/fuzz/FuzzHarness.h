#pragma once
// What both parsers' fuzz targets share: a fake loop, and the input cut into
// blocks as a port would hand them over, with time passing between them.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/fake/FakeMessageLoop.h"

namespace lumbra::fuzz {

inline platform::FakeMessageLoop& Loop() {
  static platform::FakeMessageLoop* loop = [] {
    auto* l = new platform::FakeMessageLoop;
    l->Install();
    return l;
  }();
  return *loop;
}

// Each block starts with a control byte: its low five bits give the block's
// length, the high three the time (in 10 ms units) that passes after it.
template <class Fn>
void ForEachBlock(const std::uint8_t* data, size_t size, Fn&& block) {
  size_t i = 0;
  while (i < size) {
    const std::uint8_t control = data[i++];
    const size_t len = std::min<size_t>(control & 0x1F, size - i);
    block(data + i, static_cast<std::int32_t>(len));
    i += len;
    Loop().Advance(10u * (control >> 5));
  }
}

// A broken promise of the parser: abort, so the fuzzer keeps the input.
inline void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace lumbra::fuzz
