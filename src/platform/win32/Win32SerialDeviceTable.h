#pragma once
// The serial device table from the registry key HARDWARE\DEVICEMAP\SERIALCOMM
// of the local machine: one value per port, named after the driver's device
// ("\Device\Silabser0") and holding the port's name ("COM3"). The adapter kind
// comes from the device's name. Entries are in natural port order (COM2
// before COM10). Tests may name another key.
#include <string>

#include "platform/SerialDeviceTable.h"

namespace lumbra::platform::win32 {

class Win32SerialDeviceTable final : public ISerialDeviceTable {
 public:
  explicit Win32SerialDeviceTable(std::string key = "HARDWARE\\DEVICEMAP\\SERIALCOMM");
  bool Read(std::vector<SerialDeviceEntry>& entries) override;

  // "Silabser" from "\Device\Silabser0".
  static std::string DriverOfDevice(const std::string& device);
  static SerialAdapterKind KindOfDriver(const std::string& driver);

 private:
  std::string fKey;
};

}  // namespace lumbra::platform::win32
