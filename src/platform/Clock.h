#pragma once
// Time for the logic: millisecond ticks since an arbitrary start. The 32-bit
// tick wraps after about 49.7 days, exactly as callers that subtract ticks
// expect; the 64-bit tick never wraps. Sleep blocks the calling thread (a fake
// clock advances its virtual time instead).
#include <cstdint>

namespace lumbra::platform {

class IClock {
 public:
  virtual ~IClock() = default;
  virtual std::uint32_t GetTickCount() = 0;
  virtual std::uint64_t GetTickCount64() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
};

// The installed clock; without one, a steady system clock.
IClock& Clock();
void SetClock(IClock* clock);

}  // namespace lumbra::platform
