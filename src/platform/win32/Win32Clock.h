#pragma once
// The system's millisecond tick and sleep.
#include "platform/Clock.h"

namespace lumbra::platform::win32 {

class Win32Clock final : public IClock {
 public:
  std::uint32_t GetTickCount() override;
  std::uint64_t GetTickCount64() override;
  void Sleep(std::uint32_t ms) override;
};

}  // namespace lumbra::platform::win32
