#pragma once
// Serial devices on termios. Ports are device paths; a pseudo-terminal works
// like any port except that it has no modem lines, no break and no error
// counters (those calls answer "not supported").
#include "platform/SerialPort.h"

namespace lumbra::platform {

class TermiosSerialBackend final : public ISerialBackend {
 public:
  std::unique_ptr<IWaitableEvent> CreateEvent() override;
  // "/..." is a path already; "COMn" is /dev/ttyS(n-1), the usual numbering of
  // built-in ports; any other name is looked up under /dev.
  std::string DevicePath(const std::string& name) override;
  std::unique_ptr<ISerialDevice> Open(const std::string& path, std::string& error) override;
  // The reason an open failed; a refused permission names the group whose
  // members may use the port (the node's group, "dialout" on Debian).
  static std::string OpenErrorText(const std::string& path, int err);
};

}  // namespace lumbra::platform
