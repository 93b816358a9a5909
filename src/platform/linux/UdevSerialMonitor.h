#pragma once
// Notices serial devices going away (a USB serial adapter pulled out) with a
// udev monitor on the tty subsystem, and tells every message window with a
// device-change broadcast per name the device had: its node (/dev/ttyUSB0)
// and each of its links (/dev/serial/by-id/...), as the removal broadcast of
// a port names it on other systems.
//
// Create it on the UI thread after the message loop is installed, and let it
// go before the loop is removed. Without udev (no netlink socket in a
// container, for one) it stays inactive; an open port still notices its own
// hang-up.
#include <cstdint>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace lumbra::platform {

class UdevSerialMonitor {
 public:
  UdevSerialMonitor();
  ~UdevSerialMonitor();
  UdevSerialMonitor(const UdevSerialMonitor&) = delete;
  UdevSerialMonitor& operator=(const UdevSerialMonitor&) = delete;

  bool Active() const { return fWatch != 0; }
  int Descriptor() const;

  // What one device event of the subsystem becomes: a removal is broadcast
  // under each of the names; any other action is not.
  static void DeviceEvent(const std::string& action, const std::vector<std::string>& names);

 private:
  void Receive();

  udev* fUdev = nullptr;
  udev_monitor* fMonitor = nullptr;
  std::uintptr_t fWatch = 0;
};

}  // namespace lumbra::platform
