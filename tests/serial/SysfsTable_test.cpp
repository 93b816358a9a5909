#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "comm/PortDiscovery.h"
#include "comm/comWin32.h"
#include "platform/linux/SysfsSerialTable.h"

namespace lumbra {
namespace {

namespace fs = std::filesystem;

// A sysfs tree with ttys whose device drivers are given.
class FakeSysfs {
 public:
  FakeSysfs() : root(fs::temp_directory_path() / ("lumbra-sysfs-" + std::to_string(getpid()))) {
    fs::remove_all(root);
    fs::create_directories(root / "bus" / "drivers");
    fs::create_directories(root / "class" / "tty");
  }
  ~FakeSysfs() { fs::remove_all(root); }
  void Add(const std::string& tty, const std::string& driver, const char* type = nullptr) {
    fs::create_directories(root / "bus" / "drivers" / driver);
    const fs::path dev = root / "devices" / tty;
    fs::create_directories(dev);
    fs::create_symlink(root / "bus" / "drivers" / driver, dev / "driver");
    fs::create_directories(root / "class" / "tty" / tty);
    fs::create_directory_symlink(dev, root / "class" / "tty" / tty / "device");
    if (type != nullptr) std::ofstream(root / "class" / "tty" / tty / "type") << type << "\n";
  }
  void AddVirtual(const std::string& tty) { fs::create_directories(root / "class" / "tty" / tty); }
  fs::path root;
};

TEST(SysfsTableTest, AdapterDiscoveryOnFakeTrees) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> ttys;
    const char* usb;
    const char* prolific;
  } cases[] = {
      {{}, "", ""},
      {{{"ttyACM0", "cdc_acm"}, {"ttyACM1", "cdc_acm"}}, "/dev/ttyACM1", ""},
      {{{"ttyACM0", "cdc_acm"}, {"ttyUSB3", "cp210x"}, {"ttyUSB7", "ftdi_sio"}},
       "/dev/ttyUSB3",
       ""},
      {{{"ttyUSB0", "pl2303"}, {"ttyUSB1", "ch341-uart"}, {"ttyUSB2", "pl2303"}},
       "/dev/ttyUSB1",
       "/dev/ttyUSB0"},
      {{{"ttyUSB0", "pl2303"}}, "", "/dev/ttyUSB0"},
      // Natural order: ttyUSB10 comes after ttyUSB2, so it is the last one.
      {{{"ttyUSB10", "ftdi_sio"}, {"ttyUSB2", "ch341-uart"}}, "/dev/ttyUSB10", ""},
  };
  for (const auto& c : cases) {
    FakeSysfs sys;
    for (const auto& [tty, driver] : c.ttys) sys.Add(tty, driver);
    sys.AddVirtual("tty0");
    platform::SysfsSerialDeviceTable table(sys.root.string());
    platform::SetSerialDeviceTable(&table);
    EXPECT_EQ(FindUsbSerialPort(), c.usb);
    EXPECT_EQ(FindProlificPort(), c.prolific);
    platform::SetSerialDeviceTable(nullptr);
  }
}

TEST(SysfsTableTest, PortListLeavesOutAbsentUartsAndVirtualTtys) {
  FakeSysfs sys;
  sys.Add("ttyS0", "serial8250", "4");
  sys.Add("ttyS1", "serial8250", "0");
  sys.Add("ttyACM0", "cdc_acm");
  sys.AddVirtual("tty1");
  sys.AddVirtual("ptmx");
  platform::SysfsSerialDeviceTable table(sys.root.string());
  platform::SetSerialDeviceTable(&table);
  std::vector<std::string> list;
  TComm32::EnumComPorts(list);
  platform::SetSerialDeviceTable(nullptr);
  EXPECT_EQ(list, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0"}));

  platform::SysfsSerialDeviceTable missing((sys.root / "nowhere").string());
  std::vector<platform::SerialDeviceEntry> entries;
  EXPECT_FALSE(missing.Read(entries));
}

}  // namespace
}  // namespace lumbra
