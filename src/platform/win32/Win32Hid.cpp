#include "platform/win32/Win32Hid.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/win32/Win32Text.h"
// The interface's own name, not the Win32 macro.
#undef PostMessage

#include <dbt.h>
#include <setupapi.h>
// mingw-w64's HID headers declare the functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace lumbra::platform::win32 {
namespace {

// To the notice window: announce what the system's notices told.
constexpr std::uint32_t kAnnounce = WM_USER + 1;

::HWND Native(HWND h) {
  return reinterpret_cast<::HWND>(h);
}

GUID HidGuid() {
  GUID guid;
  HidD_GetHidGuid(&guid);
  return guid;
}

HANDLE OpenPath(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// The report lengths; false when the handle is not a HID device's.
bool ReadCaps(HANDLE h, std::uint16_t& input, std::uint16_t& output) {
  PHIDP_PREPARSED_DATA data = nullptr;
  if (!HidD_GetPreparsedData(h, &data)) return false;
  HIDP_CAPS caps{};
  const bool ok = HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(data);
  if (!ok) return false;
  input = caps.InputReportByteLength;
  output = caps.OutputReportByteLength;
  return true;
}

// Opens the device as the list wants it (read-write, else read-only) and
// reads what the list tells of it. False when it does not open or has no
// attributes.
bool Probe(const std::wstring& path, HidDeviceInfo& info) {
  HANDLE h = OpenPath(path, GENERIC_READ | GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) h = OpenPath(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!HidD_GetAttributes(h, &attributes)) {
    CloseHandle(h);
    return false;
  }
  info.vendorId = attributes.VendorID;
  info.productId = attributes.ProductID;
  info.version = attributes.VersionNumber;
  // A USB string has at most 126 characters; the last one here stays 0
  // whatever the device answers.
  wchar_t product[256] = {};
  if (HidD_GetProductString(h, product, sizeof(product) - sizeof(wchar_t)))
    info.product = Utf8(product);
  std::uint16_t output = 0;
  if (!ReadCaps(h, info.inputReportLength, output)) info.inputReportLength = 0;
  CloseHandle(h);
  return true;
}

class Win32HidDevice final : public BasicHidDevice {
 public:
  Win32HidDevice(HANDLE h, std::uint16_t input, std::uint16_t output)
      : fHandle(h),
        fReadDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        fWriteDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        fInputLength(input),
        fOutputLength(output) {}

  ~Win32HidDevice() override {
    // Nothing is pending when the reading thread has ended, as it should
    // have; if not, its read ends here.
    CancelIoEx(fHandle, nullptr);
    CloseHandle(fHandle);
    CloseHandle(fReadDone);
    CloseHandle(fWriteDone);
  }

  int Read(std::uint8_t* buf, int size, int timeoutMs) override {
    if (size < 1) return Fail("no room for a report");
    // The class driver hands out whole reports only: the read is as long as
    // the device's input report, whatever room the caller has.
    fReadBuffer.resize(fInputLength > 0 ? fInputLength : static_cast<std::size_t>(size));
    OVERLAPPED ov{};
    ov.hEvent = fReadDone;
    ResetEvent(fReadDone);
    DWORD n = 0;
    if (!ReadFile(fHandle, fReadBuffer.data(), static_cast<DWORD>(fReadBuffer.size()), nullptr,
                  &ov)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return Fail(error, "read");
      if (WaitForSingleObject(fReadDone, timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs)) !=
          WAIT_OBJECT_0)
        CancelIoEx(fHandle, &ov);
    }
    // Waits for the cancelled read to end too: the buffer and the
    // OVERLAPPED are in use until it has.
    if (!GetOverlappedResult(fHandle, &ov, &n, TRUE)) {
      const DWORD error = GetLastError();
      return error == ERROR_OPERATION_ABORTED ? 0 : Fail(error, "read");
    }
    const int given = std::min(static_cast<int>(n), size);
    std::memcpy(buf, fReadBuffer.data(), static_cast<std::size_t>(given));
    return given;
  }

  bool Write(const std::uint8_t* data, int size) override {
    if (size < 1) return Refuse("empty report");
    std::vector<std::uint8_t> report(data, data + size);
    if (report.size() < fOutputLength) report.resize(fOutputLength, 0);
    OVERLAPPED ov{};
    ov.hEvent = fWriteDone;
    ResetEvent(fWriteDone);
    DWORD n = 0;
    if (!WriteFile(fHandle, report.data(), static_cast<DWORD>(report.size()), nullptr, &ov)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return Refuse(error, "write");
      if (WaitForSingleObject(fWriteDone, Win32HidBackend::kWriteWaitMs) != WAIT_OBJECT_0)
        CancelIoEx(fHandle, &ov);
    }
    if (!GetOverlappedResult(fHandle, &ov, &n, TRUE)) {
      const DWORD error = GetLastError();
      if (error == ERROR_OPERATION_ABORTED) return Refuse("write: the device took no report");
      return Refuse(error, "write");
    }
    if (n < report.size()) return Refuse("write: the report was cut short");
    return true;
  }

 private:
  using BasicHidDevice::Fail;
  int Fail(DWORD error, const char* what) {
    return Fail(std::string(what) + ": " + SystemMessage(error));
  }
  template <class... Why>
  bool Refuse(Why... why) {
    Fail(why...);
    return false;
  }

  const HANDLE fHandle;
  const HANDLE fReadDone;   // the reading thread's
  const HANDLE fWriteDone;  // the writer's
  const std::uint16_t fInputLength;
  const std::uint16_t fOutputLength;
  std::vector<std::uint8_t> fReadBuffer;  // the reading thread's
};

}  // namespace

// ---------------------------------------------------------- HidInstanceTable

std::string HidInstanceTable::KeyOf(const std::string& path) {
  std::string key = path;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return key;
}

std::uint32_t HidInstanceTable::HashOfKey(const std::string& key) {
  // FNV-1a: the same in every process and every build.
  std::uint32_t h = 2166136261u;
  for (unsigned char c : key) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

std::vector<std::uint32_t> HidInstanceTable::Assign(const std::vector<std::string>& paths) {
  std::vector<std::string> keys;
  keys.reserve(paths.size());
  for (const std::string& p : paths) keys.push_back(KeyOf(p));
  std::map<std::string, std::uint32_t> assigned;
  std::set<std::uint32_t> used;
  for (const std::string& k : keys) {
    auto it = fAssigned.find(k);
    if (it != fAssigned.end() && assigned.emplace(k, it->second).second) used.insert(it->second);
  }
  std::set<std::string> fresh;
  for (const std::string& k : keys)
    if (assigned.count(k) == 0) fresh.insert(k);
  for (const std::string& k : fresh) {
    std::uint32_t id = fHash(k);
    while (id == 0 || used.count(id) != 0) ++id;
    used.insert(id);
    assigned.emplace(k, id);
  }
  fAssigned = std::move(assigned);
  std::vector<std::uint32_t> ids;
  ids.reserve(keys.size());
  for (const std::string& k : keys) ids.push_back(fAssigned.at(k));
  return ids;
}

// ------------------------------------------------------------------- devices

std::unique_ptr<IHidDevice> AdoptHidHandle(void* handle, std::uint16_t inputReportLength,
                                           std::uint16_t outputReportLength) {
  return std::make_unique<Win32HidDevice>(static_cast<HANDLE>(handle), inputReportLength,
                                          outputReportLength);
}

// ----------------------------------------------------------- Win32HidBackend

Win32HidBackend::~Win32HidBackend() {
  if (fWatchCount > 0) StopWatching();
}

std::vector<HidDeviceInfo> Win32HidBackend::Enumerate() {
  GUID guid = HidGuid();
  HDEVINFO set =
      SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    fListingError = SystemMessage(GetLastError());
    return {};
  }
  fListingError.clear();
  std::vector<HidDeviceInfo> devices;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &iface); ++i) {
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &need, nullptr);
    if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    // DWORDs, for the record's alignment.
    std::vector<DWORD> storage((need + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, nullptr, nullptr)) continue;
    const std::wstring path = detail->DevicePath;
    HidDeviceInfo info;
    if (path.empty() || !Probe(path, info)) continue;
    info.path = Utf8(path);
    devices.push_back(std::move(info));
  }
  const DWORD end = GetLastError();
  if (end != ERROR_NO_MORE_ITEMS) fListingError = SystemMessage(end);
  SetupDiDestroyDeviceInfoList(set);

  std::vector<std::string> paths;
  for (const HidDeviceInfo& d : devices) paths.push_back(d.path);
  const std::vector<std::uint32_t> ids = fInstances.Assign(paths);
  for (std::size_t i = 0; i < devices.size(); ++i) devices[i].instance = ids[i];
  return devices;
}

std::unique_ptr<IHidDevice> Win32HidBackend::Open(const HidDeviceInfo& info, std::string& error) {
  if (info.path.empty()) {
    error = "no device path";
    return nullptr;
  }
  HANDLE h = OpenPath(Wide(info.path), GENERIC_READ | GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) {
    error = info.path + ": " + SystemMessage(GetLastError());
    return nullptr;
  }
  std::uint16_t input = 0, output = 0;
  if (!ReadCaps(h, input, output)) {
    CloseHandle(h);
    error = info.path + ": not a HID device";
    return nullptr;
  }
  return AdoptHidHandle(h, input, output);
}

void Win32HidBackend::Watch() {
  if (fWatchCount++ > 0) return;
  fWindow = MessageLoop().CreateMessageWindow([this](TMessage& m) { Notice(m); });
  // Only a window of the Win32 loop can take the system's notices.
  if (!IsWindow(Native(fWindow))) return;
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = HidGuid();
  fNotify = RegisterDeviceNotificationW(Native(fWindow), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void Win32HidBackend::Unwatch() {
  if (fWatchCount == 0 || --fWatchCount > 0) return;
  StopWatching();
}

void Win32HidBackend::StopWatching() {
  fWatchCount = 0;
  if (fNotify != nullptr) UnregisterDeviceNotification(fNotify);
  fNotify = nullptr;
  if (fWindow != 0 && HasMessageLoop()) MessageLoop().DestroyMessageWindow(fWindow);
  fWindow = 0;
  fAnnouncePending = false;
}

void Win32HidBackend::Notice(TMessage& m) {
  if (m.Msg == kAnnounce) {
    fAnnouncePending = false;
    MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
    return;
  }
  // Only the system's interface notices: the broadcasts that reach this
  // window as they reach every other (its own announcement among them) are
  // not announced again.
  if (m.Msg != WM_DEVICECHANGE || m.LParam == 0 ||
      (m.WParam != DBT_DEVICEARRIVAL && m.WParam != DBT_DEVICEREMOVECOMPLETE))
    return;
  const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(m.LParam);
  if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(hdr);
  if (!IsEqualGUID(record->dbcc_classguid, HidGuid())) return;
  m.Result = TRUE;
  // Notices that come together (a device's every collection, a hub's every
  // device) make one announcement, when the loop comes to it.
  if (!fAnnouncePending) fAnnouncePending = MessageLoop().PostMessage(fWindow, kAnnounce, 0, 0);
}

}  // namespace lumbra::platform::win32
