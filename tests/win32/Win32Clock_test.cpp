#include "platform/win32/Win32Clock.h"

#include <gtest/gtest.h>

namespace lumbra::platform::win32 {
namespace {

TEST(Win32Clock, TicksFollowSleepsAndTheShortTickIsTheLongOnesLowPart) {
  Win32Clock clock;
  std::uint64_t before = clock.GetTickCount64();
  clock.Sleep(60);
  std::uint64_t after = clock.GetTickCount64();
  std::uint32_t shortTick = clock.GetTickCount();
  // The tick moves in steps of the timer resolution (up to about 16 ms).
  EXPECT_GE(after - before, 40u);
  EXPECT_LT(after - before, 5000u);
  EXPECT_LE(static_cast<std::uint32_t>(shortTick - static_cast<std::uint32_t>(after)), 1000u);
}

}  // namespace
}  // namespace lumbra::platform::win32
