#pragma once
// How long something keeps the UI thread from its messages, told by the loop
// itself: the wait of a message posted just before it runs.
#include <chrono>
#include <functional>

#include "platform/fake/FakeMessageLoop.h"

namespace lumbra::test {

// Far below what waiting on a device costs (a read's wait, a hello's, a
// stalled write), far above what handing work to another thread does.
inline constexpr std::chrono::milliseconds kUiBound{50};

inline std::chrono::milliseconds UiHold(platform::FakeMessageLoop& loop,
                                        const std::function<void()>& fn) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point delivered{};
  const platform::HWND probe =
      loop.CreateMessageWindow([&](platform::TMessage&) { delivered = Clock::now(); });
  const Clock::time_point posted = Clock::now();
  loop.PostMessage(probe, platform::WM_USER + 999, 0, 0);
  fn();
  loop.RunUntilIdle();
  loop.DestroyMessageWindow(probe);
  return std::chrono::duration_cast<std::chrono::milliseconds>(delivered - posted);
}

// How long fn, run on the UI thread, keeps it: for work that itself drains
// the loop (timer steps, device changes), where a message posted before it
// would be delivered first.
inline std::chrono::milliseconds UiTime(const std::function<void()>& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace lumbra::test
