#include "platform/linux/UdevSerialMonitor.h"

#include <libudev.h>

#include "platform/DeviceChange.h"
#include "platform/MessageLoop.h"

namespace lumbra::platform {

UdevSerialMonitor::UdevSerialMonitor() {
  fUdev = udev_new();
  if (fUdev == nullptr) return;
  // The "udev" source: events after udev has handled them, so that the
  // links of a device are known.
  fMonitor = udev_monitor_new_from_netlink(fUdev, "udev");
  if (fMonitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(fMonitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(fMonitor) < 0)
    return;
  // The monitor's socket does not block: Receive reads until it is empty.
  fWatch = MessageLoop().WatchReadable(udev_monitor_get_fd(fMonitor), [this] { Receive(); });
}

UdevSerialMonitor::~UdevSerialMonitor() {
  if (fWatch != 0) MessageLoop().Unwatch(fWatch);
  if (fMonitor != nullptr) udev_monitor_unref(fMonitor);
  if (fUdev != nullptr) udev_unref(fUdev);
}

int UdevSerialMonitor::Descriptor() const {
  return fMonitor != nullptr ? udev_monitor_get_fd(fMonitor) : -1;
}

void UdevSerialMonitor::DeviceEvent(const std::string& action,
                                    const std::vector<std::string>& names) {
  if (action != "remove") return;
  for (const auto& name : names)
    if (!name.empty()) BroadcastPortRemoved(name);
}

void UdevSerialMonitor::Receive() {
  while (udev_device* device = udev_monitor_receive_device(fMonitor)) {
    const char* action = udev_device_get_action(device);
    std::vector<std::string> names;
    if (const char* node = udev_device_get_devnode(device)) names.emplace_back(node);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(device)) {
      names.emplace_back(udev_list_entry_get_name(entry));
    }
    udev_device_unref(device);
    DeviceEvent(action != nullptr ? action : "", names);
  }
}

}  // namespace lumbra::platform
