#include "comm/PortDiscovery.h"

#include <algorithm>
#include <vector>

#include "base/Exceptions.h"
#include "platform/SerialDeviceTable.h"

namespace lumbra {

std::int32_t ComNumberFromText(const std::string& Text) {
  size_t start = Text.size();
  while (start > 0 && Text[start - 1] >= '0' && Text[start - 1] <= '9') --start;
  if (start == Text.size()) return 0;
  std::int64_t value = 0;
  for (size_t i = start; i < Text.size(); ++i) {
    value = value * 10 + (Text[i] - '0');
    if (value > INT32_MAX) throw ERangeError("Port number too large in '" + Text + "'");
  }
  return static_cast<std::int32_t>(value);
}

namespace {
bool Passed(const std::vector<std::string>& passOver, const std::string& port) {
  return std::find(passOver.begin(), passOver.end(), port) != passOver.end();
}
}  // namespace

std::string FindUsbSerialPort(const std::vector<std::string>& passOver) {
  std::vector<platform::SerialDeviceEntry> entries;
  if (!platform::SerialDeviceTable().Read(entries)) return {};
  std::string result;
  for (const auto& e : entries) {
    if (Passed(passOver, e.port)) continue;
    if (e.kind == platform::SerialAdapterKind::SiliconLabs) return e.port;
    if (e.kind == platform::SerialAdapterKind::UsbOther) result = e.port;
  }
  return result;
}

AnsiString FindProlificPort(const std::vector<std::string>& passOver) {
  std::vector<platform::SerialDeviceEntry> entries;
  if (!platform::SerialDeviceTable().Read(entries)) return {};
  for (const auto& e : entries)
    if (e.kind == platform::SerialAdapterKind::Prolific && !Passed(passOver, e.port)) return e.port;
  return {};
}

}  // namespace lumbra
