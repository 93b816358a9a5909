#pragma once
// The table of serial devices present on the machine, with the kind of
// adapter behind each, for the port list and for finding a USB serial adapter.
//
// Contract
// - Read fills entries in the table's own order (stable from call to call
//   while the devices stay) and returns false when the table cannot be read at
//   all; it never throws. Any thread.
// - port is what a user puts in the "Com" setting: the device path.
#include <string>
#include <vector>

namespace lumbra::platform {

enum class SerialAdapterKind {
  Other,        // a built-in port or an unknown driver
  SiliconLabs,  // CP210x bridges
  Prolific,     // PL2303 bridges
  UsbOther,     // other USB serial adapters: CDC ACM, FTDI, CH34x and the like
};

struct SerialDeviceEntry {
  SerialAdapterKind kind = SerialAdapterKind::Other;
  std::string driver;  // the kernel driver's name, for display
  std::string port;
};

class ISerialDeviceTable {
 public:
  virtual ~ISerialDeviceTable() = default;
  virtual bool Read(std::vector<SerialDeviceEntry>& entries) = 0;
};

// The installed table; without one, an empty table that cannot be read.
ISerialDeviceTable& SerialDeviceTable();
void SetSerialDeviceTable(ISerialDeviceTable* table);

}  // namespace lumbra::platform
