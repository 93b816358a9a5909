#include "platform/DeviceChange.h"

#include <map>
#include <mutex>

namespace lumbra::platform {

LPARAM PortBroadcastParam(const std::string& Name) {
  // Never freed: a broadcast still queued for some window may point to it.
  // Ports are few, so the table stays small; a map's keys and values never move.
  static std::mutex mutex;
  static std::map<std::string, TDevBroadcastPort> records;
  std::lock_guard lock(mutex);
  auto [it, added] = records.try_emplace(Name);
  if (added) {
    it->second.hdr = {sizeof(TDevBroadcastPort), DBT_DEVTYP_PORT, 0};
    it->second.dbcp_name = it->first.c_str();
  }
  return reinterpret_cast<LPARAM>(&it->second);
}

const TDevBroadcastPort* PortBroadcastOf(LPARAM lParam) {
  const auto* hdr = reinterpret_cast<const TDevBroadcastHdr*>(lParam);
  if (hdr == nullptr || hdr->dbch_devicetype != DBT_DEVTYP_PORT) return nullptr;
  return reinterpret_cast<const TDevBroadcastPort*>(hdr);
}

void BroadcastPortRemoved(const std::string& Name) {
  MessageLoop().BroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE, PortBroadcastParam(Name));
}

}  // namespace lumbra::platform
