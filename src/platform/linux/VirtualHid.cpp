#include "platform/linux/VirtualHid.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/MessageLoop.h"

namespace lumbra::platform {
namespace {

constexpr char kMagic[4] = {'L', 'H', 'I', 'D'};
constexpr std::uint8_t kProtocolVersion = 1;
constexpr std::size_t kHelloFixed = 18;
// A device that takes longer than this to greet is left out of the list.
constexpr int kHelloWaitMs = 250;
// The largest message read at once: an input report or a hello.
constexpr std::size_t kMaxMessage = 4096;

void Put16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
std::uint16_t Get16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    static_cast<std::uint8_t>(s[at + 1]) << 8);
}

std::string Reason(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

bool CheckFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = Reason(path, errno);
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    error = Reason(path, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = path + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    error = path + " is open to other users (its mode must be 0700)";
    return false;
  }
  return true;
}

// Connects to a device's socket and reads its hello; -1 when either fails.
int Connect(const std::string& path, VirtualHidHello& hello, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    error = path + ": name too long";
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // Not blocking: a device whose queue of connections is full is not waited for.
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = Reason("socket", errno);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = Reason(path, errno);
    ::close(fd);
    return -1;
  }
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, kHelloWaitMs);
  } while (ready < 0 && errno == EINTR);
  std::string message(kMaxMessage, '\0');
  const ssize_t n = ready > 0 ? ::recv(fd, message.data(), message.size(), MSG_DONTWAIT) : -1;
  if (n <= 0) {
    error = path + ": the device sent no hello";
    ::close(fd);
    return -1;
  }
  message.resize(static_cast<std::size_t>(n));
  if (!DecodeVirtualHidHello(message, hello)) {
    error = path + ": the device's hello is not understood";
    ::close(fd);
    return -1;
  }
  return fd;
}

class VirtualHidDevice final : public BasicHidDevice {
 public:
  explicit VirtualHidDevice(int fd) : fFd(fd) {}
  ~VirtualHidDevice() override { ::close(fFd); }

  int Read(std::uint8_t* buf, int size, int timeoutMs) override {
    if (fGone) return Fail("the device is gone");
    pollfd p{fFd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : Fail(Reason("poll", errno));
    if (ready == 0) return 0;
    const ssize_t n = ::recv(fFd, buf, static_cast<std::size_t>(size < 0 ? 0 : size), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (n <= 0) {
      // The device closed the connection: unplugged, for good.
      fGone = true;
      return Fail(n == 0 ? "the device is gone" : Reason("read", errno));
    }
    return static_cast<int>(n);
  }

  bool Write(const std::uint8_t* data, int size) override {
    if (size <= 0) return FailWrite("empty report");
    // A device that does not take the report at once is not waited for.
    const ssize_t n =
        ::send(fFd, data, static_cast<std::size_t>(size), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == size) return true;
    return FailWrite(n < 0 ? Reason("write", errno) : "the report was cut short");
  }

 private:
  bool FailWrite(const std::string& why) {
    Fail(why);
    return false;
  }

  const int fFd;
  std::atomic<bool> fGone{false};
};

}  // namespace

std::string EncodeVirtualHidHello(const VirtualHidHello& hello) {
  std::string s(kMagic, sizeof kMagic);
  s += static_cast<char>(kProtocolVersion);
  s += '\0';
  Put16(s, hello.vendorId);
  Put16(s, hello.productId);
  Put16(s, hello.version);
  Put16(s, static_cast<std::uint16_t>(hello.number & 0xFFFF));
  Put16(s, static_cast<std::uint16_t>(hello.number >> 16));
  Put16(s, hello.inputReportLength);
  return s + hello.product;
}

bool DecodeVirtualHidHello(const std::string& m, VirtualHidHello& hello) {
  if (m.size() < kHelloFixed || m.compare(0, 4, kMagic, 4) != 0 ||
      static_cast<std::uint8_t>(m[4]) != kProtocolVersion)
    return false;
  VirtualHidHello h;
  h.vendorId = Get16(m, 6);
  h.productId = Get16(m, 8);
  h.version = Get16(m, 10);
  h.number = Get16(m, 12) | std::uint32_t{Get16(m, 14)} << 16;
  h.inputReportLength = Get16(m, 16);
  h.product = m.substr(kHelloFixed);
  if (h.number == 0 || IsVirtualHidInstance(h.number) || h.inputReportLength == 0) return false;
  hello = std::move(h);
  return true;
}

std::string VirtualHidSource::DefaultFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/lumbra/hid";
  return "/tmp/lumbra-" + std::to_string(::geteuid()) + "/hid";
}

bool VirtualHidSource::PrepareFolder(const std::string& folder, std::string& error) {
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !CheckFolder(folder.substr(0, slash), error))
    return false;
  return CheckFolder(folder, error);
}

VirtualHidSource::VirtualHidSource(std::string folder) : fFolder(std::move(folder)) {}

VirtualHidSource::~VirtualHidSource() {
  fWatchCount = 0;
  StopWatching();
}

std::vector<HidDeviceInfo> VirtualHidSource::Enumerate() {
  std::vector<HidDeviceInfo> devices;
  std::string error;
  if (!PrepareFolder(fFolder, error)) return devices;
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(fFolder.c_str())) {
    while (dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    ::closedir(dir);
  }
  // In name order, so that a list read twice comes out the same.
  std::sort(names.begin(), names.end());
  std::set<std::uint32_t> seen;
  for (const auto& name : names) {
    const std::string path = fFolder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    VirtualHidHello hello;
    const int fd = Connect(path, hello, error);
    if (fd < 0) continue;
    ::close(fd);
    const std::uint32_t instance = kVirtualHidInstanceBit | hello.number;
    if (!seen.insert(instance).second) continue;
    HidDeviceInfo info;
    info.instance = instance;
    info.vendorId = hello.vendorId;
    info.productId = hello.productId;
    info.version = hello.version;
    info.product = hello.product;
    info.path = path;
    info.inputReportLength = hello.inputReportLength;
    devices.push_back(std::move(info));
  }
  return devices;
}

std::unique_ptr<IHidDevice> VirtualHidSource::Open(const HidDeviceInfo& info, std::string& error) {
  VirtualHidHello hello;
  const int fd = Connect(info.path, hello, error);
  if (fd < 0) return nullptr;
  if ((kVirtualHidInstanceBit | hello.number) != info.instance) {
    ::close(fd);
    error = info.path + ": another device took the place of the one listed";
    return nullptr;
  }
  return std::make_unique<VirtualHidDevice>(fd);
}

void VirtualHidSource::Watch() {
  if (fWatchCount++ > 0) return;
  std::string error;
  if (!PrepareFolder(fFolder, error)) return;
  fInotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fInotify < 0) return;
  if (::inotify_add_watch(fInotify, fFolder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    StopWatching();
    return;
  }
  fWatch = MessageLoop().WatchReadable(fInotify, [this] { Receive(); });
}

void VirtualHidSource::Unwatch() {
  if (fWatchCount == 0 || --fWatchCount > 0) return;
  StopWatching();
}

void VirtualHidSource::StopWatching() {
  if (fWatch != 0) MessageLoop().Unwatch(fWatch);
  fWatch = 0;
  if (fInotify >= 0) ::close(fInotify);
  fInotify = -1;
}

void VirtualHidSource::Receive() {
  // Changes read together make one broadcast: the list is read afresh anyway.
  // Names starting with a dot are a device still setting up its socket.
  bool changed = false;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fInotify, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      if ((e->mask & IN_Q_OVERFLOW) != 0 || (e->len > 0 && e->name[0] != '.')) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  if (changed) MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

}  // namespace lumbra::platform
