#pragma once
// The active window of an X11 desktop: read from _NET_ACTIVE_WINDOW where a
// window manager publishes it (else the input focus), and given back through
// the window manager when there is one (else XSetInputFocus).
#include <mutex>

#include "platform/Foreground.h"

struct _XDisplay;

namespace lumbra::platform {

class X11Foreground final : public IForeground {
 public:
  X11Foreground();  // without a display it remembers and restores nothing
  ~X11Foreground() override;
  bool Connected() const { return fDisplay != nullptr; }
  ForegroundWindow Current() override;
  void Restore(ForegroundWindow w) override;

 private:
  bool HaveWindowManager();
  _XDisplay* fDisplay = nullptr;
  std::mutex fMutex;
};

}  // namespace lumbra::platform
