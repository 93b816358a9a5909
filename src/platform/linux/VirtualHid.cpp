#include "platform/linux/VirtualHid.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
// What a listing or an opening waits for hellos on the UI thread; a device
// slower than that is greeted on in the background.
constexpr int kUiHelloWaitMs = 5;
constexpr std::uint8_t kReadOnlyFlag = 0x01;
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

// Connects to a device's socket without waiting; -1 when it takes no connection.
int ConnectOnly(const std::string& path, std::string& error) {
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
  return fd;
}

enum class Greet { kGreeted, kNotYet, kFailed };

// Takes the hello if it has come; the connection stays open either way.
Greet TakeHello(int fd, VirtualHidHello& hello) {
  std::string message(kMaxMessage, '\0');
  const ssize_t n = ::recv(fd, message.data(), message.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return Greet::kNotYet;
  if (n <= 0) return Greet::kFailed;
  message.resize(static_cast<std::size_t>(n));
  return DecodeVirtualHidHello(message, hello) ? Greet::kGreeted : Greet::kFailed;
}

// Waits at most ms for the connections' hellos together; what came, came.
void AwaitHellos(std::vector<pollfd>& fds, int ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    std::vector<pollfd> waiting;
    for (const auto& p : fds)
      if (p.revents == 0) waiting.push_back({p.fd, POLLIN, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (waiting.empty() || left.count() <= 0) return;
    if (::poll(waiting.data(), waiting.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
      return;
    for (const auto& w : waiting)
      for (auto& p : fds)
        if (p.fd == w.fd && w.revents != 0) p.revents = w.revents;
  }
}

std::string NoAccess(const std::string& path) {
  return path + ": " + std::strerror(EACCES) + " (the device may only be read)";
}

class VirtualHidDevice final : public BasicHidDevice {
 public:
  // expected: the instance whose hello has still to come first, 0 when it came.
  VirtualHidDevice(int fd, std::uint32_t expected, std::string path)
      : fFd(fd),
        fExpected(expected),
        fPath(std::move(path)),
        fHelloDue(std::chrono::steady_clock::now() + std::chrono::milliseconds(kHelloWaitMs)) {}
  ~VirtualHidDevice() override { ::close(fFd); }

  int Read(std::uint8_t* buf, int size, int timeoutMs) override {
    if (fGone) return Fail("the device is gone");
    if (fExpected != 0) return ReadHello(timeoutMs);
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

  // The reading thread checks the hello that the opening did not wait for.
  int ReadHello(int timeoutMs) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        fHelloDue - std::chrono::steady_clock::now());
    pollfd p{fFd, POLLIN, 0};
    const int wait = static_cast<int>(std::max<std::int64_t>(
        0, std::min<std::int64_t>(left.count(), timeoutMs < 0 ? 0 : timeoutMs)));
    const int ready = ::poll(&p, 1, wait);
    VirtualHidHello hello;
    const Greet g = ready > 0 ? TakeHello(fFd, hello) : Greet::kNotYet;
    if (g == Greet::kNotYet) {
      if (std::chrono::steady_clock::now() < fHelloDue) return 0;
      fGone = true;
      return Fail(fPath + ": the device sent no hello");
    }
    if (g == Greet::kFailed || (kVirtualHidInstanceBit | hello.number) != fExpected) {
      fGone = true;
      return Fail(fPath + ": another device took the place of the one listed");
    }
    fExpected = 0;
    return 0;
  }

  const int fFd;
  std::uint32_t fExpected;  // the reading thread's
  const std::string fPath;
  const std::chrono::steady_clock::time_point fHelloDue;
  std::atomic<bool> fGone{false};
};

}  // namespace

std::string EncodeVirtualHidHello(const VirtualHidHello& hello) {
  std::string s(kMagic, sizeof kMagic);
  s += static_cast<char>(kProtocolVersion);
  s += static_cast<char>(hello.readOnly ? kReadOnlyFlag : 0);
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
  h.readOnly = (static_cast<std::uint8_t>(m[5]) & kReadOnlyFlag) != 0;
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

VirtualHidSource::VirtualHidSource(std::string folder)
    : fFolder(std::move(folder)), fGreeter(std::make_shared<GreeterState>()) {
  fGreeter->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

VirtualHidSource::~VirtualHidSource() {
  fWatchCount = 0;
  StopWatching();
  {
    std::lock_guard lock(fGreeter->mutex);
    fGreeter->stop = true;
  }
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fGreeter->wake, &one, sizeof one);
  if (fGreeterThread.joinable()) fGreeterThread.join();
  ::close(fGreeter->wake);
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
  struct Candidate {
    std::string path;
    SocketId id;
    int fd;
  };
  std::vector<Candidate> candidates;
  std::vector<pollfd> fds;
  {
    std::lock_guard lock(fGreeter->mutex);
    // Sockets gone are forgotten.
    for (auto it = fGreeter->known.begin(); it != fGreeter->known.end();)
      it = std::find(names.begin(), names.end(), it->first.substr(fFolder.size() + 1)) ==
                   names.end()
               ? fGreeter->known.erase(it)
               : std::next(it);
  }
  for (const auto& name : names) {
    const std::string path = fFolder + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    const SocketId id{st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    {
      // One that never greeted, or is being greeted in the background, is
      // not asked again until its socket is replaced.
      std::lock_guard lock(fGreeter->mutex);
      auto it = fGreeter->known.find(path);
      if (it != fGreeter->known.end() && it->second.id == id && it->second.state != kGreeted)
        continue;
    }
    // Connected anew each time: a socket whose device is gone takes none.
    const int fd = ConnectOnly(path, error);
    if (fd < 0) continue;
    candidates.push_back({path, id, fd});
    fds.push_back({fd, POLLIN, 0});
  }
  AwaitHellos(fds, kUiHelloWaitMs);
  std::set<std::uint32_t> seen;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Candidate& c = candidates[i];
    VirtualHidHello hello;
    Greet g = fds[i].revents != 0 ? TakeHello(c.fd, hello) : Greet::kNotYet;
    {
      std::lock_guard lock(fGreeter->mutex);
      Known& k = fGreeter->known[c.path];
      const bool same = k.id == c.id && k.state == kGreeted;
      if (g == Greet::kGreeted) {
        k = {c.id, kGreeted, hello};
      } else if (g == Greet::kNotYet && same) {
        hello = k.hello;  // slow this time; it greeted before
        g = Greet::kGreeted;
      } else if (g == Greet::kNotYet) {
        k = {c.id, kGreeting, {}};
        fGreeter->pending.push_back({c.path, c.id, c.fd,
                                     std::chrono::steady_clock::now() +
                                         std::chrono::milliseconds(kHelloWaitMs)});
        c.fd = -1;
      } else {
        k = {c.id, kSilent, {}};
      }
    }
    if (c.fd >= 0) ::close(c.fd);
    if (g != Greet::kGreeted) continue;
    const std::uint32_t instance = kVirtualHidInstanceBit | hello.number;
    if (!seen.insert(instance).second) continue;
    HidDeviceInfo info;
    info.instance = instance;
    info.vendorId = hello.vendorId;
    info.productId = hello.productId;
    info.version = hello.version;
    info.product = hello.product;
    info.path = c.path;
    info.inputReportLength = hello.inputReportLength;
    devices.push_back(std::move(info));
  }
  StartGreeter();
  return devices;
}

std::unique_ptr<IHidDevice> VirtualHidSource::Open(const HidDeviceInfo& info, std::string& error) {
  const int fd = ConnectOnly(info.path, error);
  if (fd < 0) return nullptr;
  std::vector<pollfd> fds{{fd, POLLIN, 0}};
  AwaitHellos(fds, kUiHelloWaitMs);
  VirtualHidHello hello;
  const Greet g = fds[0].revents != 0 ? TakeHello(fd, hello) : Greet::kNotYet;
  if (g == Greet::kNotYet) {
    // Slow to greet: the reading thread checks the hello when it comes; what
    // the device allows is what it said when it was listed.
    bool readOnly = false;
    {
      std::lock_guard lock(fGreeter->mutex);
      auto it = fGreeter->known.find(info.path);
      readOnly = it != fGreeter->known.end() && it->second.hello.readOnly;
    }
    if (readOnly) {
      ::close(fd);
      error = NoAccess(info.path);
      return nullptr;
    }
    return std::make_unique<VirtualHidDevice>(fd, info.instance, info.path);
  }
  if (g == Greet::kFailed || (kVirtualHidInstanceBit | hello.number) != info.instance) {
    ::close(fd);
    error = info.path + ": another device took the place of the one listed";
    return nullptr;
  }
  if (hello.readOnly) {
    ::close(fd);
    error = NoAccess(info.path);
    return nullptr;
  }
  return std::make_unique<VirtualHidDevice>(fd, 0, info.path);
}

bool VirtualHidSource::Greeting() const {
  std::lock_guard lock(fGreeter->mutex);
  return !fGreeter->pending.empty();
}

void VirtualHidSource::StartGreeter() {
  std::lock_guard lock(fGreeter->mutex);
  if (fGreeter->pending.empty()) return;
  if (fGreeter->running) {
    // It waits for the ones it had: make it take in the new ones.
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fGreeter->wake, &one, sizeof one);
    return;
  }
  if (fGreeterThread.joinable()) fGreeterThread.join();  // it has ended
  fGreeter->running = true;
  fGreeterThread = std::thread([g = fGreeter] { RunGreeter(*g); });
}

void VirtualHidSource::RunGreeter(GreeterState& g) {
  std::unique_lock lock(g.mutex);
  while (!g.stop && !g.pending.empty()) {
    std::vector<pollfd> fds{{g.wake, POLLIN, 0}};
    auto due = g.pending.front().due;
    for (const auto& p : g.pending) {
      fds.push_back({p.fd, POLLIN, 0});
      due = std::min(due, p.due);
    }
    lock.unlock();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        due - std::chrono::steady_clock::now());
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, left.count())));
    std::uint64_t woken = 0;
    [[maybe_unused]] ssize_t n = ::read(g.wake, &woken, sizeof woken);
    lock.lock();
    bool arrived = false;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = g.pending.begin(); it != g.pending.end();) {
      VirtualHidHello hello;
      const Greet got = TakeHello(it->fd, hello);
      if (got == Greet::kNotYet && now < it->due) {
        ++it;
        continue;
      }
      auto k = g.known.find(it->path);
      if (k != g.known.end() && k->second.id == it->id) {
        k->second.state = got == Greet::kGreeted ? kGreeted : kSilent;
        k->second.hello = hello;
      }
      arrived = arrived || got == Greet::kGreeted;
      ::close(it->fd);
      it = g.pending.erase(it);
    }
    // A device that greeted late is listed at the next listing, which this
    // asks for.
    if (arrived && !g.stop) {
      lock.unlock();
      MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
      lock.lock();
    }
  }
  for (const auto& p : g.pending) ::close(p.fd);
  g.pending.clear();
  g.running = false;
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
