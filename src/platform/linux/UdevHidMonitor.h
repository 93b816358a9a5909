#pragma once
// Notices HID devices coming and going with a udev monitor on the hidraw
// subsystem (hidapi has no notice of its own), and tells every message window
// with a device-change broadcast (DBT_DEVNODES_CHANGED), after which the HID
// layer lists the devices afresh.
//
// Create it on the UI thread after the message loop is installed, and let it
// go before the loop is removed. Without udev (no netlink socket in a
// container, for one) it stays inactive.
#include <cstdint>
#include <string>

struct udev;
struct udev_monitor;

namespace lumbra::platform {

class UdevHidMonitor {
 public:
  UdevHidMonitor();
  ~UdevHidMonitor();
  UdevHidMonitor(const UdevHidMonitor&) = delete;
  UdevHidMonitor& operator=(const UdevHidMonitor&) = delete;

  bool Active() const { return fWatch != 0; }
  int Descriptor() const;

  // What one device event of the subsystem becomes: an arrival or a removal
  // is broadcast; any other action (a change of attributes, a driver bound)
  // is not, as the list of devices stays the same.
  static void DeviceEvent(const std::string& action);
  static bool Changes(const std::string& action);

 private:
  void Receive();

  udev* fUdev = nullptr;
  udev_monitor* fMonitor = nullptr;
  std::uintptr_t fWatch = 0;
};

}  // namespace lumbra::platform
