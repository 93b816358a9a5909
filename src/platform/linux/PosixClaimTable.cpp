#include "platform/linux/PosixClaimTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <set>
#include <thread>

namespace lumbra::platform {
namespace {

// How long an opener waits for a copy that is creating the table to finish
// (size and mode set); it takes microseconds.
constexpr int kSetUpTries = 50;
constexpr auto kSetUpPause = std::chrono::milliseconds(2);
// Where the readers' locks begin: past any table and any 32-bit key.
constexpr std::int64_t kHoldBase = std::int64_t{1} << 32;

class PosixClaimTable final : public IClaimTable {
 public:
  PosixClaimTable(int fd, std::size_t size) : fFd(fd), fSize(size) {}
  ~PosixClaimTable() override {
    Unmap();
    // Closing the descriptor drops the locks of the readers still held.
    ::close(fFd);
  }

  std::uint32_t* Map() override {
    if (fView == nullptr) {
      void* p = ::mmap(nullptr, fSize, PROT_READ | PROT_WRITE, MAP_SHARED, fFd, 0);
      if (p == MAP_FAILED) return nullptr;
      fView = p;
    }
    return static_cast<std::uint32_t*>(fView);
  }

  void Unmap() override {
    if (fView != nullptr) ::munmap(fView, fSize);
    fView = nullptr;
  }

  bool Hold(std::uint32_t key) override {
    if (fHeld.count(key) != 0) return true;
    if (Lock(F_OFD_SETLK, F_WRLCK, key).l_type == -1) return false;
    fHeld.insert(key);
    return true;
  }

  void Release(std::uint32_t key) override {
    if (fHeld.erase(key) == 0) return;
    Lock(F_OFD_SETLK, F_UNLCK, key);
  }

  bool Held(std::uint32_t key) override {
    // A test from this descriptor never conflicts with its own locks, so
    // what it holds is known here.
    if (fHeld.count(key) != 0) return true;
    const struct flock lk = Lock(F_OFD_GETLK, F_WRLCK, key);
    return lk.l_type != F_UNLCK;
  }

 private:
  // Each reader has one byte of its own far beyond the slots (a lock needs no
  // bytes behind it). l_type is -1 when the call failed.
  struct flock Lock(int cmd, short type, std::uint32_t key) {
    struct flock lk {};
    lk.l_type = type;
    lk.l_whence = SEEK_SET;
    lk.l_start = static_cast<off_t>(kHoldBase + key);
    lk.l_len = 1;
    lk.l_pid = 0;
    if (::fcntl(fFd, cmd, &lk) != 0) lk.l_type = -1;
    return lk;
  }

  const int fFd;
  const std::size_t fSize;
  void* fView = nullptr;
  std::set<std::uint32_t> fHeld;
};

}  // namespace

std::unique_ptr<IClaimTable> PosixClaimTableBackend::Open(const std::string& name,
                                                          std::size_t size) {
  if (size == 0) return nullptr;
  const std::string shm = "/" + fPrefix + (!name.empty() && name[0] == '/' ? name.substr(1) : name);
  const auto wanted = static_cast<off_t>(size);
  // Created closed to others until it has its size, then opened to every
  // user: the mode is set explicitly, as the umask would narrow it.
  int fd = ::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) {
    if (::ftruncate(fd, wanted) != 0 || ::fchmod(fd, 0666) != 0) {
      ::close(fd);
      ::shm_unlink(shm.c_str());
      return nullptr;
    }
    return std::make_unique<PosixClaimTable>(fd, size);
  }
  if (errno != EEXIST) return nullptr;
  // Another copy has it, or is making it right now.
  struct stat st {};
  for (int i = 0; i < kSetUpTries; ++i) {
    if (fd < 0) fd = ::shm_open(shm.c_str(), O_RDWR, 0);
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size >= wanted)
      return std::make_unique<PosixClaimTable>(fd, size);
    if (fd < 0 && errno != EACCES) return nullptr;
    std::this_thread::sleep_for(kSetUpPause);
  }
  // A creator that died half-way left it short: this copy gives it its size
  // (new bytes read as zero).
  if (fd >= 0 && ::ftruncate(fd, wanted) == 0) return std::make_unique<PosixClaimTable>(fd, size);
  if (fd >= 0) ::close(fd);
  return nullptr;
}

}  // namespace lumbra::platform
