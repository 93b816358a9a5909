#include "readersim/SimPort.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace readersim {
namespace {

[[noreturn]] void Throw(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'x' && i + 2 < s.size() &&
               std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

SimPort::SimPort(std::unique_ptr<SimDevice> device, std::string linkPath)
    : fDevice(std::move(device)), fLink(std::move(linkPath)) {
  Plug();
}

SimPort::~SimPort() {
  StopThread();
  std::lock_guard lock(fMutex);
  if (fMaster >= 0) close(fMaster);
  if (fSlave >= 0) close(fSlave);
  if (!fLink.empty()) unlink(fLink.c_str());
}

void SimPort::Plug() {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) Throw("posix_openpt");
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    Throw("unlockpt");
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    Throw("ptsname");
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    close(master);
    Throw("open slave");
  }
  // A real reader's line does no echo or line editing; the program sets raw
  // mode too, but bytes may arrive before it does.
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!fLink.empty()) {
    // Replace the link atomically, so an opener never finds it missing.
    const std::string tmp = fLink + ".new";
    unlink(tmp.c_str());
    if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), fLink.c_str()) != 0) {
      close(slave);
      close(master);
      Throw("symlink");
    }
  }
  int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard lock(fMutex);
    fMaster = master;
    fSlave = slave;
    fStop = stop;
    fSlavePath = name;
  }
  fThread = std::thread([this, master, stop] { Run(master, stop); });
}

void SimPort::StopThread() {
  int stop;
  {
    std::lock_guard lock(fMutex);
    stop = fStop;
  }
  if (stop < 0) return;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(stop, &one, sizeof one);
  if (fThread.joinable()) fThread.join();
  std::lock_guard lock(fMutex);
  close(fStop);
  fStop = -1;
}

void SimPort::Run(int master, int stopFd) {
  char buf[4096];
  for (;;) {
    pollfd fds[2] = {{master, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return;
      std::string bytes(buf, static_cast<size_t>(n));
      std::lock_guard dev(fDeviceMutex);
      fDevice->OnHostBytes(bytes, *this);
      if (OnHostBytes) OnHostBytes(bytes);
    }
  }
}

std::string SimPort::SlavePath() const {
  std::lock_guard lock(fMutex);
  return fSlavePath;
}

bool SimPort::Plugged() const {
  std::lock_guard lock(fMutex);
  return fMaster >= 0;
}

bool SimPort::Write(const std::string& sent) {
  std::lock_guard lock(fMutex);
  if (fMaster < 0) return false;
  std::string bytes = sent;
  if (!fLose.empty()) {
    const size_t at = bytes.find(fLose[0]);
    if (at != std::string::npos) {
      bytes.erase(at, 1);
      fLose.clear();
    }
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fMaster, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The host is slow to read: wait for room, as a device's line would.
      pollfd p{fMaster, POLLOUT, 0};
      if (poll(&p, 1, 5000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

void SimPort::Unplug() {
  StopThread();
  std::lock_guard lock(fMutex);
  if (fMaster < 0) return;
  // Closing our slave first leaves the program as the only opener, so it
  // sees the hang-up as soon as the master goes.
  close(fSlave);
  fSlave = -1;
  close(fMaster);
  fMaster = -1;
  // A pulled adapter's link goes with it; left in place it would point at a
  // terminal number the system soon gives to somebody else.
  if (!fLink.empty()) unlink(fLink.c_str());
}

void SimPort::PlugBack() {
  if (Plugged()) return;
  Plug();
}

bool SimPort::Command(const std::string& line) {
  const size_t sp = line.find(' ');
  const std::string verb = line.substr(0, sp);
  const std::string arg = sp == std::string::npos ? std::string() : line.substr(sp + 1);
  if (verb == "unplug") {
    Unplug();
    return true;
  }
  if (verb == "plug") {
    PlugBack();
    return true;
  }
  if (verb == "pause") {
    // Lets a test split what the line carries into blocks with a gap between.
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
  std::lock_guard dev(fDeviceMutex);
  if (verb == "off" || verb == "on" || verb == "reset") {
    fDevice->fSilent = verb == "off";
    fDevice->PowerCycle();
    return true;
  }
  if (verb == "lose") {
    const std::string b = Unescape(arg);
    if (b.size() != 1) return false;
    std::lock_guard lock(fMutex);
    fLose = b;
    return true;
  }
  if (verb == "send") return Write(Unescape(arg));
  return fDevice->Command(verb, arg, *this);
}

}  // namespace readersim
