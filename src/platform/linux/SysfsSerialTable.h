#pragma once
// The serial device table from sysfs: every tty under <sys>/class/tty that has
// a driver behind it, with the adapter kind taken from the driver's name.
// Built-in UARTs that the kernel lists but that are not there (type 0) are
// left out. Entries are in natural name order (ttyACM2 before ttyACM10).
// Tests point sysRoot at a tree of their own.
#include <string>

#include "platform/SerialDeviceTable.h"

namespace lumbra::platform {

class SysfsSerialDeviceTable final : public ISerialDeviceTable {
 public:
  explicit SysfsSerialDeviceTable(std::string sysRoot = "/sys", std::string devDir = "/dev");
  bool Read(std::vector<SerialDeviceEntry>& entries) override;

  static SerialAdapterKind KindOfDriver(const std::string& driver);

 private:
  std::string fSysRoot;
  std::string fDevDir;
};

}  // namespace lumbra::platform
