#include "platform/linux/SysfsSerialTable.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace lumbra::platform {
namespace {

namespace fs = std::filesystem;

// ttyUSB2 < ttyUSB10: letters compare as text, digit runs as numbers.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      std::string da = a.substr(i, ie - i), db = b.substr(j, je - j);
      da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
      db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

SysfsSerialDeviceTable::SysfsSerialDeviceTable(std::string sysRoot, std::string devDir)
    : fSysRoot(std::move(sysRoot)), fDevDir(std::move(devDir)) {}

SerialAdapterKind SysfsSerialDeviceTable::KindOfDriver(const std::string& driver) {
  if (driver == "cp210x") return SerialAdapterKind::SiliconLabs;
  if (driver == "pl2303") return SerialAdapterKind::Prolific;
  static const char* const kUsb[] = {
      "cdc_acm",   "ftdi_sio",     "ch341",       "ch341-uart", "ch343",    "usbserial_generic",
      "usbserial", "ark3116",      "belkin_sa",   "cypress_m8", "digi_acm", "f81232",
      "f81534",    "io_edgeport",  "io_ti",       "keyspan",    "kl5kusb105", "mct_u232",
      "mos7720",   "mos7840",      "mxuport",     "option",     "oti6858",  "qcserial",
      "quatech2",  "spcp8x5",      "ti_usb_3410_5052", "upd78f0730", "xr_serial", "whiteheat"};
  for (const char* d : kUsb)
    if (driver == d) return SerialAdapterKind::UsbOther;
  return SerialAdapterKind::Other;
}

bool SysfsSerialDeviceTable::Read(std::vector<SerialDeviceEntry>& entries) {
  entries.clear();
  std::error_code ec;
  const fs::path ttyDir = fs::path(fSysRoot) / "class" / "tty";
  fs::directory_iterator it(ttyDir, ec);
  if (ec) return false;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const auto& name : names) {
    const fs::path dev = ttyDir / name / "device";
    // Consoles, virtual terminals and pseudo-terminals have no device driver.
    const fs::path driverLink = fs::read_symlink(dev / "driver", ec);
    if (ec) continue;
    const std::string driver = driverLink.filename().string();
    if (driver == "serial8250" || driver == "serial") {
      std::ifstream type(ttyDir / name / "type");
      int t = 0;
      if (!(type >> t) || t == 0) continue;
    }
    entries.push_back(SerialDeviceEntry{KindOfDriver(driver), driver, fDevDir + "/" + name});
  }
  return true;
}

}  // namespace lumbra::platform
