#include "platform/linux/UdevHidMonitor.h"

#include <libudev.h>

#include "platform/Hid.h"
#include "platform/MessageLoop.h"

namespace lumbra::platform {

UdevHidMonitor::UdevHidMonitor() {
  fUdev = udev_new();
  if (fUdev == nullptr) return;
  // The "udev" source: a node is announced once udev has set it up (its
  // permissions included), so that it can be opened when the list is read.
  fMonitor = udev_monitor_new_from_netlink(fUdev, "udev");
  if (fMonitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(fMonitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(fMonitor) < 0)
    return;
  // The monitor's socket does not block: Receive reads until it is empty.
  fWatch = MessageLoop().WatchReadable(udev_monitor_get_fd(fMonitor), [this] { Receive(); });
}

UdevHidMonitor::~UdevHidMonitor() {
  if (fWatch != 0) MessageLoop().Unwatch(fWatch);
  if (fMonitor != nullptr) udev_monitor_unref(fMonitor);
  if (fUdev != nullptr) udev_unref(fUdev);
}

int UdevHidMonitor::Descriptor() const {
  return fMonitor != nullptr ? udev_monitor_get_fd(fMonitor) : -1;
}

bool UdevHidMonitor::Changes(const std::string& action) {
  return action == "add" || action == "remove";
}

void UdevHidMonitor::DeviceEvent(const std::string& action) {
  if (Changes(action)) MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

void UdevHidMonitor::Receive() {
  // Events read together make one broadcast: the list is read afresh anyway.
  bool changed = false;
  while (udev_device* device = udev_monitor_receive_device(fMonitor)) {
    const char* action = udev_device_get_action(device);
    changed = Changes(action != nullptr ? action : "") || changed;
    udev_device_unref(device);
  }
  if (changed) MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

}  // namespace lumbra::platform
