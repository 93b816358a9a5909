#include "platform/DeviceChange.h"

#include <map>
#include <memory>
#include <mutex>

namespace lumbra::platform {

LPARAM PortBroadcastParam(const std::string& Name) {
  // Never freed: a broadcast still queued for some window may point to it.
  // Ports are few, so the table stays small.
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<TDevBroadcastPort>> records;
  std::lock_guard lock(mutex);
  auto& r = records[Name];
  if (!r) {
    r = std::make_unique<TDevBroadcastPort>();
    r->dbcp_name = Name;
  }
  return reinterpret_cast<LPARAM>(r.get());
}

const TDevBroadcastPort* PortBroadcastOf(LPARAM lParam) {
  return reinterpret_cast<const TDevBroadcastPort*>(lParam);
}

void BroadcastPortRemoved(const std::string& Name) {
  MessageLoop().BroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, PortBroadcastParam(Name));
}

}  // namespace lumbra::platform
