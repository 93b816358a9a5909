#include "platform/win32/Win32SerialDeviceTable.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <tuple>

#include "base/Text.h"
#include "platform/win32/Win32Text.h"

namespace lumbra::platform::win32 {

Win32SerialDeviceTable::Win32SerialDeviceTable(std::string key) : fKey(std::move(key)) {}

std::string Win32SerialDeviceTable::DriverOfDevice(const std::string& device) {
  std::string name = device.substr(device.find_last_of('\\') + 1);
  while (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back()))) name.pop_back();
  return name;
}

SerialAdapterKind Win32SerialDeviceTable::KindOfDriver(const std::string& driver) {
  std::string d = LowerAscii(driver);
  if (d.find("silabser") != std::string::npos) return SerialAdapterKind::SiliconLabs;
  if (d.find("prolific") != std::string::npos || d.find("pl2303") != std::string::npos)
    return SerialAdapterKind::Prolific;
  // CDC ACM (usbser), FTDI (VCP), WCH CH34x and the other USB bridges.
  for (const char* usb : {"usbser", "vcp", "ch341", "ch340", "wchusb", "usb"})
    if (d.find(usb) != std::string::npos) return SerialAdapterKind::UsbOther;
  return SerialAdapterKind::Other;
}

bool Win32SerialDeviceTable::Read(std::vector<SerialDeviceEntry>& entries) {
  entries.clear();
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(fKey).c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256, type = 0;
    wchar_t data[256] = {};
    DWORD dataBytes = sizeof(data) - sizeof(wchar_t);  // room for a terminator
    LONG got = RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &dataBytes);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got != ERROR_SUCCESS || type != REG_SZ) continue;  // too long or not a name
    SerialDeviceEntry e;
    e.port = Utf8(std::wstring(data));
    e.driver = DriverOfDevice(Utf8(std::wstring(name, nameLength)));
    e.kind = KindOfDriver(e.driver);
    if (!e.port.empty()) entries.push_back(std::move(e));
  }
  RegCloseKey(key);
  // The registry keeps no useful order (Windows lists values as they were
  // written, Wine by name): natural port order, COM2 before COM10.
  auto order = [](const std::string& port) {
    std::size_t digits = port.find_last_not_of("0123456789") + 1;
    std::string number = port.substr(digits);
    return std::make_tuple(port.substr(0, digits), number.size(), number);
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const auto& a, const auto& b) { return order(a.port) < order(b.port); });
  return true;
}

}  // namespace lumbra::platform::win32
