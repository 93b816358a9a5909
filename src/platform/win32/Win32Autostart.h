#pragma once
// Autostart entries as string values under the current user's
// Software\Microsoft\Windows\CurrentVersion\Run key, holding the program's path.
#include "platform/Autostart.h"

namespace lumbra::platform::win32 {

class Win32Autostart final : public IAutostart {
 public:
  std::string Read(const std::string& name) override;
  void Write(const std::string& name, const std::string& programPath) override;
  void Delete(const std::string& name) override;
};

}  // namespace lumbra::platform::win32
