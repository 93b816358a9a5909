#include "platform/linux/PosixClaimTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <thread>

namespace lumbra::platform {
namespace {

// How long an opener waits for a copy that is creating the table to finish
// (size and mode set); it takes microseconds.
constexpr int kSetUpTries = 50;
constexpr auto kSetUpPause = std::chrono::milliseconds(2);

class PosixClaimTable final : public IClaimTable {
 public:
  PosixClaimTable(int fd, std::size_t size) : fFd(fd), fSize(size) {}
  ~PosixClaimTable() override {
    Unmap();
    // Closing the descriptor drops the locks of the slots still owned.
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

  void Own(int slot) override {
    if (!InTable(slot)) return;
    if (Lock(F_OFD_SETLK, F_WRLCK, slot).l_type != -1) fOwned.insert(slot);
  }

  void Disown(int slot) override {
    if (!InTable(slot)) return;
    Lock(F_OFD_SETLK, F_UNLCK, slot);
    fOwned.erase(slot);
  }

  bool Abandoned(int slot) override {
    // This copy's own locks never conflict with a test from its descriptor,
    // so its own slots are known here.
    if (!InTable(slot) || fOwned.count(slot) != 0) return false;
    const struct flock lk = Lock(F_OFD_GETLK, F_WRLCK, slot);
    return lk.l_type == F_UNLCK;
  }

 private:
  bool InTable(int slot) const {
    return slot >= 0 && static_cast<std::size_t>(slot + 1) * 4 <= fSize;
  }
  // l_type is -1 when the call failed.
  struct flock Lock(int cmd, short type, int slot) {
    struct flock lk {};
    lk.l_type = type;
    lk.l_whence = SEEK_SET;
    lk.l_start = static_cast<off_t>(slot) * 4;
    lk.l_len = 4;
    lk.l_pid = 0;
    if (::fcntl(fFd, cmd, &lk) != 0) lk.l_type = -1;
    return lk;
  }

  const int fFd;
  const std::size_t fSize;
  void* fView = nullptr;
  std::set<int> fOwned;
};

}  // namespace

std::unique_ptr<IClaimTable> PosixClaimTableBackend::Open(const std::string& name,
                                                          std::size_t size) {
  if (size == 0) return nullptr;
  const std::string shm = name.empty() || name[0] != '/' ? "/" + name : name;
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
