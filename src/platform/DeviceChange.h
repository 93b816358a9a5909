#pragma once
// What a device-change broadcast (WM_DEVICECHANGE) carries: the event in
// WParam and, for events about a device, a record of the device in LParam.
//
// Contract
// - A record begins with TDevBroadcastHdr, whose device type says what
//   follows; receivers look at the type before anything else.
// - LParam of a port event points to a TDevBroadcastPort whose name is the
//   port as the system names it (a device path on Linux, "COMn" on Windows).
//   The record lives as long as the process (one per name), so a receiver may
//   read it whenever the queued broadcast reaches it. LParam 0 carries no record.
// - BroadcastPortRemoved may be called from any thread.
#include <cstdint>
#include <string>

#include "platform/MessageLoop.h"

namespace lumbra::platform {

inline constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
inline constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_PORT = 3;

struct TDevBroadcastHdr {
  std::uint32_t dbch_size;
  std::uint32_t dbch_devicetype;
  std::uint32_t dbch_reserved;
};

struct TDevBroadcastPort {
  TDevBroadcastHdr hdr;
  const char* dbcp_name;  // zero-terminated
};

// The LParam of a broadcast about the port Name.
LPARAM PortBroadcastParam(const std::string& Name);
// The port record of a broadcast's LParam; null when it carries none.
const TDevBroadcastPort* PortBroadcastOf(LPARAM lParam);
// Tells every message window that the port Name is gone.
void BroadcastPortRemoved(const std::string& Name);

}  // namespace lumbra::platform
