#include "readersim/SimHid.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>

#include "readersim/SimPort.h"

namespace readersim {
namespace {

[[noreturn]] void Throw(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void Put16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}

// The hello: "LHID", protocol 1, a zero byte, then little-endian vendor,
// product, version, instance number (32 bits), input report length, and the
// product string.
std::string Hello(const SimHidIdentity& id, std::uint32_t number, bool readOnly) {
  std::string s = "LHID";
  s += '\x01';
  s += readOnly ? '\x01' : '\0';  // flags: bit 0, it may only be read
  Put16(s, id.vendorId);
  Put16(s, id.productId);
  Put16(s, id.version);
  Put16(s, number);
  Put16(s, number >> 16);
  Put16(s, id.inputReportLength);
  return s + id.product;
}

// A private folder of this user, made when missing.
void PrepareFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) Throw(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) Throw(path);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    errno = EPERM;
    Throw(path + " is not a private folder of this user");
  }
}

void Send(int fd, const std::string& message) {
  [[maybe_unused]] ssize_t n =
      ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

std::string SimHidPort::DefaultFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/lumbra/hid";
  return "/tmp/lumbra-" + std::to_string(::geteuid()) + "/hid";
}

SimHidPort::SimHidPort(std::unique_ptr<SimHidDevice> device, std::uint32_t number,
                       std::string folder)
    : fDevice(std::move(device)), fFolder(std::move(folder)), fNumber(number) {
  if (number == 0 || number > 0x7FFFFFFF) {
    errno = EINVAL;
    Throw("instance number");
  }
  const auto slash = fFolder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) PrepareFolder(fFolder.substr(0, slash));
  PrepareFolder(fFolder);
  Plug();
}

SimHidPort::~SimHidPort() {
  Unplug();
}

void SimHidPort::Plug() {
  std::uint32_t number;
  {
    std::lock_guard lock(fMutex);
    number = fNumber;
  }
  const std::string path = fFolder + "/sim-" + std::to_string(number);
  // Set up under a hidden name and renamed into place once listening, so the
  // program never finds a socket that takes no connection yet.
  const std::string hidden =
      fFolder + "/.sim-" + std::to_string(number) + "." + std::to_string(::getpid());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (hidden.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    Throw(hidden);
  }
  std::memcpy(addr.sun_path, hidden.c_str(), hidden.size() + 1);
  const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) Throw("socket");
  ::unlink(hidden.c_str());
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 16) != 0 || ::rename(hidden.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::close(listener);
    ::unlink(hidden.c_str());
    errno = err;
    Throw(path);
  }
  const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard lock(fMutex);
    fListener = listener;
    fStop = stop;
    fPath = path;
  }
  fThread = std::thread([this, listener, stop] { Run(listener, stop); });
}

void SimHidPort::StopThread() {
  int stop;
  {
    std::lock_guard lock(fMutex);
    stop = fStop;
  }
  if (stop < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(stop, &one, sizeof one);
  if (fThread.joinable()) fThread.join();
  std::lock_guard lock(fMutex);
  ::close(fStop);
  fStop = -1;
}

void SimHidPort::Accept(int listener) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::lock_guard lock(fMutex);
    if (!fNoHello) Send(fd, Hello(fDevice->Identity(), fNumber, fReadOnly));
    fConnections.push_back(fd);
  }
}

void SimHidPort::Run(int listener, int stopFd) {
  std::string buf(4096, '\0');
  for (;;) {
    std::vector<pollfd> fds = {{stopFd, POLLIN, 0}, {listener, POLLIN, 0}};
    {
      // A stalled device reads nothing: the host's reports pile up unread.
      std::lock_guard lock(fMutex);
      if (!fStalled)
        for (int fd : fConnections) fds.push_back({fd, POLLIN, 0});
    }
    // Stalled, it looks again now and then for the end of the stall.
    if (::poll(fds.data(), fds.size(), fds.size() == 2 ? 50 : -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) Accept(listener);
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        // The host closed it (a listing connection, or a program that ended).
        std::lock_guard lock(fMutex);
        ::close(fds[i].fd);
        fConnections.erase(std::find(fConnections.begin(), fConnections.end(), fds[i].fd));
        continue;
      }
      const std::string report(buf.data(), static_cast<std::size_t>(n));
      std::lock_guard dev(fDeviceMutex);
      fDevice->OnOutputReport(report, *this);
      if (OnOutputReport) OnOutputReport(report);
    }
  }
}

std::string SimHidPort::SocketPath() const {
  std::lock_guard lock(fMutex);
  return fPath;
}

std::uint32_t SimHidPort::Number() const {
  std::lock_guard lock(fMutex);
  return fNumber;
}

bool SimHidPort::Plugged() const {
  std::lock_guard lock(fMutex);
  return fListener >= 0;
}

std::size_t SimHidPort::Connections() const {
  std::lock_guard lock(fMutex);
  return fConnections.size();
}

bool SimHidPort::SendInput(const std::string& report) {
  std::lock_guard lock(fMutex);
  bool sent = false;
  for (int fd : fConnections)
    sent = ::send(fd, report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
               static_cast<ssize_t>(report.size()) ||
           sent;
  return sent;
}

void SimHidPort::Unplug() {
  StopThread();
  std::lock_guard lock(fMutex);
  if (fListener < 0) return;
  // The socket goes first: the program lists the devices again on its removal.
  ::unlink(fPath.c_str());
  ::close(fListener);
  fListener = -1;
  for (int fd : fConnections) ::close(fd);
  fConnections.clear();
}

void SimHidPort::PlugBack(std::uint32_t number) {
  if (Plugged()) return;
  if (number != 0) {
    std::lock_guard lock(fMutex);
    fNumber = number;
  }
  Plug();
}

bool SimHidPort::Command(const std::string& line) {
  const std::size_t sp = line.find(' ');
  const std::string verb = line.substr(0, sp);
  const std::string arg = sp == std::string::npos ? std::string() : line.substr(sp + 1);
  if (verb == "unplug") {
    Unplug();
    return true;
  }
  if (verb == "plug") {
    char* end = nullptr;
    const unsigned long number = arg.empty() ? 0 : std::strtoul(arg.c_str(), &end, 10);
    if ((!arg.empty() && *end != '\0') || number > 0x7FFFFFFF || (!arg.empty() && number == 0))
      return false;
    PlugBack(static_cast<std::uint32_t>(number));
    return true;
  }
  if (verb == "pause") {
    char* end = nullptr;
    const long ms = std::strtol(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || ms < 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  if (verb == "silent" || verb == "answer") {
    fDevice->fSilent = verb == "silent";
    return true;
  }
  if ((verb == "nohello" || verb == "hello" || verb == "stall" || verb == "unstall" ||
       verb == "readonly" || verb == "writable") &&
      arg.empty()) {
    std::lock_guard lock(fMutex);
    if (verb == "nohello" || verb == "hello") fNoHello = verb == "nohello";
    if (verb == "stall" || verb == "unstall") fStalled = verb == "stall";
    if (verb == "readonly" || verb == "writable") fReadOnly = verb == "readonly";
    return true;
  }
  std::lock_guard dev(fDeviceMutex);
  if (verb == "send") return !arg.empty() && SendInput(Unescape(arg));
  return fDevice->Command(verb, arg, *this);
}

int RunSimHid(std::unique_ptr<SimHidDevice> device, const std::string& arg) {
  std::uint32_t number = static_cast<std::uint32_t>(::getpid()) & 0x7FFFFFFF;
  if (!arg.empty()) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(arg.c_str(), &end, 10);
    if (*end != '\0' || n == 0 || n > 0x7FFFFFFF) {
      std::fprintf(stderr, "lumbra-readersim: the instance number is 1 to 2147483647\n");
      return 2;
    }
    number = static_cast<std::uint32_t>(n);
  }
  const std::string help = device->Help();
  try {
    SimHidPort port(std::move(device), number);
    std::printf("%s\n", port.SocketPath().c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.empty()) continue;
      if (line == "quit") break;
      if (line == "help") {
        std::printf(
            "%ssend BYTES       an input report as given (\\xHH), report ID first\n"
            "silent           answer nothing\n"
            "answer           answer again\n"
            "nohello          greet no new connection (hello: greet again)\n"
            "stall            take no output report (unstall: take them again)\n"
            "readonly         say in the hello that it may only be read (writable: undo)\n"
            "pause MS         wait before the next command\n"
            "unplug           remove the device (its socket goes)\n"
            "plug [NUMBER]    plug it back, with the same or another instance number\n"
            "quit\n",
            help.c_str());
      } else if (!port.Command(line)) {
        std::printf("? %s\n", line.c_str());
      } else if (line.rfind("plug", 0) == 0) {
        std::printf("%s\n", port.SocketPath().c_str());
      }
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumbra-readersim: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace readersim
