#pragma once
// The foreground window (GetForegroundWindow, SetForegroundWindow with the
// input of its thread attached, ShowWindow for a minimised one) and the
// program's place (GetModuleFileNameW; the roaming application data folder
// for a user's configuration).
#include "platform/Environment.h"
#include "platform/Foreground.h"

namespace lumbra::platform::win32 {

class Win32Foreground final : public IForeground {
 public:
  ForegroundWindow Current() override;
  void Restore(ForegroundWindow w) override;
};

class Win32Environment final : public IEnvironment {
 public:
  std::string ExecutablePath() override;
  std::string UserConfigDir() override;
};

}  // namespace lumbra::platform::win32
