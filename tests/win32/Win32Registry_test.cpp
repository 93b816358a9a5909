// The backends kept in the registry: the serial port table and the autostart
// value, on the registry of the test's own Wine prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/Exceptions.h"
#include "platform/win32/Win32Autostart.h"
#include "platform/win32/Win32SerialDeviceTable.h"

namespace lumbra::platform::win32 {
namespace {

// Values this test adds to a key of the local machine, removed at the end.
class MachineValues {
 public:
  explicit MachineValues(const std::wstring& key) {
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &fKey, nullptr),
              ERROR_SUCCESS);
  }
  ~MachineValues() {
    for (const auto& name : fNames) RegDeleteValueW(fKey, name.c_str());
    RegCloseKey(fKey);
  }
  void Set(const std::wstring& name, const std::wstring& text) {
    fNames.push_back(name);
    RegSetValueExW(fKey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  void SetNumber(const std::wstring& name, DWORD n) {
    fNames.push_back(name);
    RegSetValueExW(fKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof(n));
  }

 private:
  HKEY fKey{};
  std::vector<std::wstring> fNames;
};

TEST(Win32SerialDeviceTable, ThePortsOfTheSerialCommKeyWithTheirAdapterKinds) {
  const std::wstring key = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
  const std::string tag = std::to_string(GetCurrentProcessId());
  MachineValues values(key);
  const std::wstring w(tag.begin(), tag.end());
  values.Set(L"\\Device\\VCP" + w, L"COM74");
  values.Set(L"\\Device\\Silabser" + w, L"COM71");
  values.Set(L"\\Device\\ProlificSerial" + w, L"COM72");
  values.Set(L"\\Device\\USBSER" + w, L"COM73");
  values.Set(L"\\Device\\Serial" + w, L"COM710");  // after COM74: natural order
  values.SetNumber(L"\\Device\\Broken" + w, 5);    // not a port name: skipped

  Win32SerialDeviceTable table;
  std::vector<SerialDeviceEntry> entries;
  ASSERT_TRUE(table.Read(entries));
  std::vector<std::tuple<std::string, std::string, SerialAdapterKind>> ours;
  for (const auto& e : entries)
    if (e.port.rfind("COM7", 0) == 0 && e.port.size() >= 5)
      ours.emplace_back(e.port, e.driver, e.kind);
  EXPECT_EQ(ours, (std::vector<std::tuple<std::string, std::string, SerialAdapterKind>>{
                      {"COM71", "Silabser", SerialAdapterKind::SiliconLabs},
                      {"COM72", "ProlificSerial", SerialAdapterKind::Prolific},
                      {"COM73", "USBSER", SerialAdapterKind::UsbOther},
                      {"COM74", "VCP", SerialAdapterKind::UsbOther},
                      {"COM710", "Serial", SerialAdapterKind::Other}}));

  entries.push_back({});
  Win32SerialDeviceTable missing("HARDWARE\\DEVICEMAP\\LumbraNoSuchKey" + tag);
  EXPECT_FALSE(missing.Read(entries));
  EXPECT_TRUE(entries.empty());
}

TEST(Win32Autostart, TheValueIsWrittenReadReplacedAndDeleted) {
  const std::string name = "LumbraTest" + std::to_string(GetCurrentProcessId());
  const std::string path = "C:\\Programmi\\Lettore \xC3\xA8\\lumbra.exe";  // è
  Win32Autostart autostart;
  EXPECT_EQ(autostart.Read(name), "");
  autostart.Write(name, path);
  EXPECT_EQ(autostart.Read(name), path);
  autostart.Write(name, "C:\\other.exe");
  EXPECT_EQ(autostart.Read(name), "C:\\other.exe");

  // What the system starts at log-on: the string value under the Run key.
  wchar_t stored[MAX_PATH] = {};
  DWORD bytes = sizeof(stored);
  std::wstring wname(name.begin(), name.end());
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                         wname.c_str(), RRF_RT_REG_SZ, nullptr, stored, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(stored), L"C:\\other.exe");

  autostart.Delete(name);
  EXPECT_EQ(autostart.Read(name), "");
  try {
    autostart.Delete(name);
    ADD_FAILURE() << "deleting an absent value succeeded";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("CurrentVersion\\Run"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace lumbra::platform::win32
