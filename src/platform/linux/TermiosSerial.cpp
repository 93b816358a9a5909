#include "platform/linux/TermiosSerial.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace lumbra::platform {

bool SetCustomBaudRate(int fd, std::uint32_t rate);

namespace {

thread_local std::string tLastError;

bool Fail(int err) {
  tLastError = std::strerror(err);
  return false;
}

bool IsNotSupported(int err) {
  return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

class EventFd final : public IWaitableEvent {
 public:
  EventFd() : fFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~EventFd() override {
    if (fFd >= 0) close(fFd);
  }
  void Set() override {
    fSet.store(true);
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fFd, &one, sizeof one);
  }
  void Reset() override {
    fSet.store(false);
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = read(fFd, &value, sizeof value);
  }
  bool IsSet() const override { return fSet.load(); }
  int Fd() const { return fFd; }

 private:
  int fFd;
  std::atomic<bool> fSet{false};
};

speed_t SpeedConstant(std::uint32_t rate) {
  switch (rate) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B0;
  }
}

class TermiosDevice final : public ISerialDevice {
 public:
  explicit TermiosDevice(int fd) : fFd(fd) {
    serial_icounter_struct ic{};
    fCounters = ioctl(fFd, TIOCGICOUNT, &ic) == 0;
    if (fCounters) fIcount = ic;
  }
  ~TermiosDevice() override {
    // A serial driver's close waits until the output has gone out (up to its
    // closing time, 30 s by default): what was not sent is dropped first.
    // Only then: on a pseudo-terminal the flush also drops bytes already
    // written but not yet handed to the other end.
    if (OutputPending() > 0) tcflush(fFd, TCOFLUSH);
    close(fFd);
  }

  bool Apply(const SerialSettings& s) override {
    termios tio{};
    if (tcgetattr(fFd, &tio) != 0) return Fail(errno);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (s.dataBits) {
      case 5:
        tio.c_cflag |= CS5;
        break;
      case 6:
        tio.c_cflag |= CS6;
        break;
      case 7:
        tio.c_cflag |= CS7;
        break;
      case 8:
        tio.c_cflag |= CS8;
        break;
      default:
        return Fail(ENOTSUP);
    }
    switch (s.parity) {
      case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        tio.c_cflag |= PARENB;
        break;
      case 3:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (s.parity != 0 && (s.flags & kFlagParity)) tio.c_iflag |= INPCK;
    // One and a half stop bits exist only with 5 data bits, where CSTOPB means it.
    if (s.stopBits != 0) tio.c_cflag |= CSTOPB;
    const std::uint32_t rts = s.flags & kFlagRtsMask;
    if ((s.flags & kFlagOutxCts) || rts == kFlagRtsHandshake) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = SpeedConstant(s.baudRate);
    if (speed != B0) {
      cfsetispeed(&tio, speed);
      cfsetospeed(&tio, speed);
    }
    if (tcsetattr(fFd, TCSANOW, &tio) != 0) return Fail(errno);
    fCtsFlow.store((tio.c_cflag & CRTSCTS) != 0);
    if (speed == B0 && !SetCustomBaudRate(fFd, s.baudRate)) return Fail(errno);
    // Lines the device lacks are no reason to refuse the settings.
    const std::uint32_t dtr = s.flags & kFlagDtrMask;
    SetLine(TIOCM_DTR, dtr != 0);
    if (rts != kFlagRtsHandshake) SetLine(TIOCM_RTS, rts == kFlagRtsOn);
    return true;
  }

  bool SetQueueSizes(std::uint32_t, std::uint32_t) override {
    // The kernel sizes its own queues; nothing to request.
    return true;
  }

  bool SetEventMask(std::uint32_t mask) override {
    fMask.store(mask);
    return true;
  }

  WaitResult WaitEvent(IWaitableEvent& stop, std::uint32_t& events) override {
    events = 0;
    auto* ev = dynamic_cast<EventFd*>(&stop);
    if (ev == nullptr) {
      tLastError = "stop event of another backend";
      return WaitResult::Failed;
    }
    const std::uint32_t mask = fMask.load();
    const bool wantRx = (mask & (kEvRxChar | kEvError | kEvBreak)) != 0;
    for (;;) {
      // poll() is level-triggered but a byte-received event is not: bytes
      // already announced and not yet read must not wake us again and again.
      // While they sit there we only look every 50 ms for more.
      // Consumed first, as in Arrived().
      const std::uint64_t consumed = fConsumed.load();
      const int queued = wantRx ? InQueue() : 0;
      const bool stale = wantRx && consumed + static_cast<std::uint64_t>(queued) <= fAnnounced;
      const bool waiting = queued > 0;
      pollfd fds[2] = {{fFd, static_cast<short>(wantRx && !(stale && waiting) ? POLLIN : 0), 0},
                       {ev->Fd(), POLLIN, 0}};
      int r = poll(fds, 2, stale && waiting ? 50 : -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        Fail(errno);
        return WaitResult::Failed;
      }
      if (fds[1].revents != 0 || stop.IsSet()) return WaitResult::Stopped;
      const std::uint64_t arrived = Arrived();
      if (wantRx && arrived > fAnnounced) {
        // Bytes that came before a hang-up are handed over before the loss.
        fAnnounced = arrived;
        events = Events(mask);
        if (events != 0) return WaitResult::Event;
      }
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        tLastError = "the device was disconnected";
        return WaitResult::Lost;
      }
    }
  }

  int Read(void* buf, int count) override {
    for (;;) {
      ssize_t n = read(fFd, buf, static_cast<size_t>(count));
      if (n >= 0) {
        fConsumed.fetch_add(static_cast<std::uint64_t>(n));
        return static_cast<int>(n);
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      Fail(errno);
      return -1;
    }
  }

  int Write(const void* buf, int len) override {
    // Never waits: the caller is the UI thread. The kernel's output queue holds
    // several kilobytes, far more than a reader's commands in flight, so a queue
    // that cannot take a command has a device behind it that does not drain.
    const auto* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
      ssize_t n = write(fFd, p + done, static_cast<size_t>(len - done));
      if (n > 0) {
        done += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        if (errno == EIO) {
          tLastError = "the device was disconnected";
          return -1;
        }
        Fail(errno);
        return -1;
      }
      tLastError = "output queue full";
      return -1;
    }
    return len;
  }

  bool QueryStatus(SerialStatus& status) override {
    int in = 0;
    int out = 0;
    if (ioctl(fFd, FIONREAD, &in) != 0) return Fail(errno);
    if (ioctl(fFd, TIOCOUTQ, &out) != 0) out = 0;
    status.inQueue = static_cast<std::uint32_t>(in);
    status.outQueue = static_cast<std::uint32_t>(out);
    {
      std::lock_guard lock(fErrMutex);
      CollectErrors();
      status.errors = fPendingErrors;
      fPendingErrors = 0;
    }
    // Asked on every received block: the modem lines only matter when the
    // output waits for clear-to-send.
    int lines = 0;
    status.dsrHold = false;
    status.ctsHold = fCtsFlow.load() && ioctl(fFd, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS);
    return true;
  }

  bool PurgeIn() override {
    const int queued = InQueue();
    if (tcflush(fFd, TCIFLUSH) != 0) return Fail(errno);
    fConsumed.fetch_add(static_cast<std::uint64_t>(queued));
    return true;
  }
  bool PurgeOut() override { return tcflush(fFd, TCOFLUSH) == 0 || Fail(errno); }
  std::uint32_t OutputPending() override {
    int out = 0;
    return ioctl(fFd, TIOCOUTQ, &out) == 0 && out > 0 ? static_cast<std::uint32_t>(out) : 0;
  }
  bool SetDTR(bool on) override { return SetLine(TIOCM_DTR, on); }
  bool SetRTS(bool on) override { return SetLine(TIOCM_RTS, on); }
  bool SetBreak(bool on) override {
    // A device without modem lines has no break either.
    int lines = 0;
    if (ioctl(fFd, TIOCMGET, &lines) != 0) return NotSupported(errno);
    if (ioctl(fFd, on ? TIOCSBRK : TIOCCBRK) != 0) return NotSupported(errno);
    return true;
  }
  std::string LastError() const override { return tLastError; }

 private:
  bool NotSupported(int err) {
    tLastError = IsNotSupported(err) ? "not supported" : std::strerror(err);
    return false;
  }
  bool SetLine(int bit, bool on) {
    if (ioctl(fFd, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return NotSupported(errno);
    return true;
  }
  // Bytes received since opening, as far as they can be counted: consumed
  // first, so that a concurrent read can only make it look smaller.
  std::uint64_t Arrived() const {
    const std::uint64_t consumed = fConsumed.load();
    return consumed + static_cast<std::uint64_t>(InQueue());
  }
  int InQueue() const {
    int n = 0;
    return ioctl(fFd, FIONREAD, &n) == 0 ? n : 0;
  }
  // Under fErrMutex.
  void CollectErrors() {
    if (!fCounters) return;
    serial_icounter_struct ic{};
    if (ioctl(fFd, TIOCGICOUNT, &ic) != 0) return;
    if (ic.frame != fIcount.frame) fPendingErrors |= kCeFrame;
    if (ic.overrun != fIcount.overrun) fPendingErrors |= kCeOverrun;
    if (ic.parity != fIcount.parity) fPendingErrors |= kCeRxParity;
    if (ic.brk != fIcount.brk) fPendingErrors |= kCeBreak;
    if (ic.buf_overrun != fIcount.buf_overrun) fPendingErrors |= kCeRxOver;
    fIcount = ic;
  }
  std::uint32_t Events(std::uint32_t mask) {
    std::uint32_t ev = mask & kEvRxChar;
    std::lock_guard lock(fErrMutex);
    CollectErrors();
    if (fPendingErrors & kCeBreak) ev |= mask & kEvBreak;
    if (fPendingErrors & ~kCeBreak) ev |= mask & kEvError;
    return ev;
  }

  int fFd;
  std::atomic<std::uint32_t> fMask{0};
  std::uint64_t fAnnounced = 0;  // waiting thread only
  std::atomic<std::uint64_t> fConsumed{0};
  std::atomic<bool> fCtsFlow{false};
  bool fCounters = false;
  std::mutex fErrMutex;
  serial_icounter_struct fIcount{};
  std::uint32_t fPendingErrors = 0;
};

}  // namespace

std::unique_ptr<IWaitableEvent> TermiosSerialBackend::CreateEvent() {
  return std::make_unique<EventFd>();
}

std::string TermiosSerialBackend::DevicePath(const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm') &&
      name.find_first_not_of("0123456789", 3) == std::string::npos && name.size() < 9) {
    const long n = std::stol(name.substr(3));
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + name;
}

std::string TermiosSerialBackend::OpenErrorText(const std::string& path, int err) {
  std::string text = std::strerror(err);
  if (err != EACCES && err != EPERM) return text;
  // Serial ports are given to a group rather than to the user at the seat.
  std::string groupName = "dialout";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_gid != 0 && (st.st_mode & S_IRGRP) &&
      (st.st_mode & S_IWGRP)) {
    struct group entry {};
    struct group* found = nullptr;
    char names[1024];
    if (getgrgid_r(st.st_gid, &entry, names, sizeof names, &found) == 0 && found != nullptr)
      groupName = found->gr_name;
  }
  return text + "; the port is for the members of the group \"" + groupName +
         "\": add the user to it and log in again";
}

std::unique_ptr<ISerialDevice> TermiosSerialBackend::Open(const std::string& path,
                                                          std::string& error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenErrorText(path, errno);
    return nullptr;
  }
  // TIOCEXCL keeps other programs out, but not a privileged one; the lock also
  // keeps out another copy of this program running as root.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = std::strerror(errno == EWOULDBLOCK ? EBUSY : errno);
    close(fd);
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    error = std::strerror(errno);
    close(fd);
    return nullptr;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = std::strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::make_unique<TermiosDevice>(fd);
}

}  // namespace lumbra::platform
