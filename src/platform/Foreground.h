#pragma once
// The window that has the user's attention. A message box takes the focus; the
// window that had it must get it back, because it is the one the next badge is
// typed into.
#include <cstdint>

namespace lumbra::platform {

using ForegroundWindow = std::uintptr_t;  // 0: none

class IForeground {
 public:
  virtual ~IForeground() = default;
  virtual ForegroundWindow Current() = 0;
  // Gives the focus back to w if it still exists (restoring it when minimised).
  virtual void Restore(ForegroundWindow w) = 0;
};

// The installed service; without one, nothing is remembered or restored.
IForeground& Foreground();
void SetForeground(IForeground* fg);

}  // namespace lumbra::platform
