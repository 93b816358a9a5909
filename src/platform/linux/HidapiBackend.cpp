#include "platform/linux/HidapiBackend.h"

#include <fcntl.h>
#include <hidapi.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>

#include "platform/linux/HidReportDescriptor.h"
#include "platform/linux/UdevHidMonitor.h"

namespace lumbra::platform {
namespace {

// Shown under a node the user may not write, in the user's language.
constexpr char kNoAccessHint[] =
    "Serve il permesso di lettura e scrittura: la regola udev 70-lumbra-slu20.rules del "
    "pacchetto lo dà all'utente al posto di lavoro; installarla e ricollegare il lettore.";

// When the report descriptor cannot be read: room for any full-speed report.
constexpr std::uint16_t kDefaultInputReportLength = 64;

std::string Utf8(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != 0; ++text) {
    auto c = static_cast<std::uint32_t>(*text);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::uint32_t InstanceOf(dev_t rdev) {
  return static_cast<std::uint32_t>(major(rdev)) << 20 |
         (static_cast<std::uint32_t>(minor(rdev)) & 0xFFFFF);
}

// Opens the node as the device list does (read-write, else read-only), and
// reads its report layout. False when it cannot be opened at all.
bool Probe(const std::string& path, std::uint32_t& instance, HidReportLayout& layout,
           std::string& error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    error = path + ": not a device node";
    ::close(fd);
    return false;
  }
  instance = InstanceOf(st.st_rdev);
  int size = 0;
  hidraw_report_descriptor desc{};
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
    desc.size = static_cast<std::uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, &desc) == 0)
      layout = ParseReportDescriptor(desc.value, desc.size);
  }
  ::close(fd);
  return true;
}

std::string DeviceError(hid_device* dev, const char* what) {
  const wchar_t* text = hid_error(dev);
  // A node that hung up leaves no error text behind.
  if (text == nullptr || std::wcscmp(text, L"Success") == 0)
    return std::string(what) + ": the device is gone";
  return std::string(what) + ": " + Utf8(text);
}

// Devices open now: the threads that use them may end after their owner let
// go, and hidapi must not be ended under them.
struct OpenDevices {
  std::mutex mutex;
  std::condition_variable closed;
  int count = 0;
};
OpenDevices& Opened() {
  static OpenDevices opened;
  return opened;
}

// hidapi keeps a device's last error without a lock, and every call renews
// it; the reading thread and the writer therefore have a handle each.
class HidrawDevice final : public BasicHidDevice {
 public:
  HidrawDevice(hid_device* reader, hid_device* writer, bool numbered)
      : fReader(reader), fWriter(writer), fNumbered(numbered) {
    std::lock_guard lock(Opened().mutex);
    ++Opened().count;
  }
  ~HidrawDevice() override {
    hid_close(fReader);
    hid_close(fWriter);
    std::lock_guard lock(Opened().mutex);
    --Opened().count;
    Opened().closed.notify_all();
  }

  int Read(std::uint8_t* buf, int size, int timeoutMs) override {
    if (size < 1) return Fail("no room for a report");
    // Without report IDs the node gives the data alone: ID 0 goes in front.
    const int skip = fNumbered ? 0 : 1;
    buf[0] = 0;
    const int n = hid_read_timeout(fReader, buf + skip, static_cast<std::size_t>(size - skip),
                                   timeoutMs < 0 ? 0 : timeoutMs);
    if (n < 0) return Fail(DeviceError(fReader, "read"));
    return n == 0 ? 0 : n + skip;
  }

  bool Write(const std::uint8_t* data, int size) override {
    if (size < 1) {
      Fail("empty report");
      return false;
    }
    const int n = hid_write(fWriter, data, static_cast<std::size_t>(size));
    if (n == size) return true;
    Fail(n < 0 ? DeviceError(fWriter, "write") : "the report was cut short");
    return false;
  }

 private:
  hid_device* const fReader;
  hid_device* const fWriter;
  const bool fNumbered;
};

}  // namespace

HidapiBackend::HidapiBackend() : HidapiBackend(VirtualHidSource::DefaultFolder()) {}

HidapiBackend::HidapiBackend(std::string virtualFolder) : fVirtual(std::move(virtualFolder)) {
  hid_init();
}

HidapiBackend::~HidapiBackend() {
  fMonitor.reset();
  {
    // A returned device closes within a read's wait; a stalled write is
    // not waited for long.
    std::unique_lock lock(Opened().mutex);
    Opened().closed.wait_for(lock, std::chrono::seconds(1), [] { return Opened().count == 0; });
  }
  hid_exit();
}

std::vector<HidDeviceInfo> HidapiBackend::Enumerate() {
  std::vector<HidDeviceInfo> devices = EnumerateHidraw();
  for (auto& info : fVirtual.Enumerate()) devices.push_back(std::move(info));
  return devices;
}

std::vector<HidDeviceInfo> HidapiBackend::EnumerateHidraw() {
  std::vector<HidDeviceInfo> devices;
  hid_device_info* list = hid_enumerate(0, 0);
  // hidapi lists a node once per top-level collection; the layer wants it once.
  std::set<std::string> seen;
  for (const hid_device_info* d = list; d != nullptr; d = d->next) {
    if (d->path == nullptr || !seen.insert(d->path).second) continue;
    HidDeviceInfo info;
    HidReportLayout layout;
    std::string error;
    if (!Probe(d->path, info.instance, layout, error)) continue;
    info.vendorId = d->vendor_id;
    info.productId = d->product_id;
    info.version = d->release_number;
    info.product = Utf8(d->product_string);
    info.path = d->path;
    info.inputReportLength = layout.valid && layout.inputReportLength > 0
                                 ? layout.inputReportLength
                                 : kDefaultInputReportLength;
    devices.push_back(std::move(info));
  }
  hid_free_enumeration(list);
  return devices;
}

std::unique_ptr<IHidDevice> HidapiBackend::Open(const HidDeviceInfo& info, std::string& error) {
  if (IsVirtualHidInstance(info.instance)) return fVirtual.Open(info, error);
  return OpenHidraw(info, error);
}

std::unique_ptr<IHidDevice> HidapiBackend::OpenHidraw(const HidDeviceInfo& info,
                                                      std::string& error) {
  std::uint32_t instance = 0;
  HidReportLayout layout;
  if (!Probe(info.path, instance, layout, error)) return nullptr;
  if (instance != info.instance) {
    error = info.path + ": another device took the place of the one listed";
    return nullptr;
  }
  // The list takes a node it may only read; using it needs both, and the
  // user must learn which node and how to get the right.
  const int probe = ::open(info.path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (probe < 0) {
    const int err = errno;
    error = info.path + ": " + std::strerror(err);
    if (err == EACCES || err == EPERM) error += std::string("\n") + kNoAccessHint;
    return nullptr;
  }
  ::close(probe);
  hid_device* reader = hid_open_path(info.path.c_str());
  if (reader == nullptr) {
    error = DeviceError(nullptr, info.path.c_str());
    return nullptr;
  }
  hid_device* writer = hid_open_path(info.path.c_str());
  if (writer == nullptr) {
    error = DeviceError(nullptr, info.path.c_str());
    hid_close(reader);
    return nullptr;
  }
  return std::make_unique<HidrawDevice>(reader, writer, layout.numbered);
}

void HidapiBackend::Watch() {
  if (fWatchCount++ > 0) return;
  fMonitor = std::make_unique<UdevHidMonitor>();
  fVirtual.Watch();
}

void HidapiBackend::Unwatch() {
  if (fWatchCount == 0 || --fWatchCount > 0) return;
  fVirtual.Unwatch();
  fMonitor.reset();
}

}  // namespace lumbra::platform
