// The claim table in POSIX shared memory, across processes: one table for
// all, open to every user, and the slots of a copy that died abandoned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/linux/PosixClaimTable.h"

namespace lumbra {
namespace {

constexpr std::size_t kSize = 80;

class ClaimTableTest : public ::testing::Test {
 protected:
  ClaimTableTest()
      : name("lumbra-test-claims-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
    ::shm_unlink(("/" + name).c_str());
  }
  ~ClaimTableTest() override { ::shm_unlink(("/" + name).c_str()); }

  std::string name;
  platform::PosixClaimTableBackend backend;
};

// A child process that opens the table, runs its part, tells the parent
// through a pipe and then waits to be killed.
pid_t Child(const std::string& name, int slot, std::uint32_t value) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    platform::PosixClaimTableBackend backend;
    auto table = backend.Open(name, kSize);
    char ok = 0;
    if (table != nullptr) {
      if (std::uint32_t* slots = table->Map()) {
        slots[slot] = value;
        table->Own(slot);
        ok = 1;
      }
    }
    [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  const bool told = ::read(ready[0], &ok, 1) == 1 && ok == 1;
  ::close(ready[0]);
  if (!told) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

TEST_F(ClaimTableTest, CreatedZeroFilledAndOpenToEveryUserWhateverTheUmask) {
  const mode_t old = ::umask(077);
  auto table = backend.Open(name, kSize);
  ::umask(old);
  ASSERT_TRUE(table);
  struct stat st {};
  ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(st.st_size, static_cast<off_t>(kSize));
  std::uint32_t* slots = table->Map();
  ASSERT_NE(slots, nullptr);
  for (std::size_t i = 0; i < kSize / 4; ++i) EXPECT_EQ(slots[i], 0u) << "slot " << i;
  slots[19] = 42;
  table->Unmap();
  // With or without the leading slash, the same table.
  auto again = backend.Open("/" + name, kSize);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Map()[19], 42u);
}

TEST_F(ClaimTableTest, CopiesShareOneTableAndADeadCopysSlotsAreAbandoned) {
  const pid_t live = Child(name, 3, 1234);
  ASSERT_GT(live, 0);
  const pid_t dying = Child(name, 7, 5678);
  ASSERT_GT(dying, 0);
  auto table = backend.Open(name, kSize);
  ASSERT_TRUE(table);
  std::uint32_t* slots = table->Map();
  ASSERT_NE(slots, nullptr);
  EXPECT_EQ(slots[3], 1234u);
  EXPECT_EQ(slots[7], 5678u);
  EXPECT_FALSE(table->Abandoned(3));
  EXPECT_FALSE(table->Abandoned(7));

  ::kill(dying, SIGKILL);
  ::waitpid(dying, nullptr, 0);
  EXPECT_TRUE(table->Abandoned(7)) << "its copy is dead";
  EXPECT_FALSE(table->Abandoned(3)) << "its copy lives";
  EXPECT_EQ(slots[7], 5678u) << "the value stays until somebody reuses the slot";

  // This copy's own slot, seen from itself and from another table handle.
  slots[7] = 99;
  table->Own(7);
  EXPECT_FALSE(table->Abandoned(7));
  auto other = backend.Open(name, kSize);
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->Abandoned(7));
  table->Disown(7);
  EXPECT_TRUE(other->Abandoned(7));
  EXPECT_FALSE(table->Abandoned(-1));
  EXPECT_FALSE(table->Abandoned(20)) << "beyond the table";

  // Closing a table lets go of what it owned.
  table->Own(8);
  EXPECT_FALSE(other->Abandoned(8));
  table.reset();
  EXPECT_TRUE(other->Abandoned(8));

  ::kill(live, SIGKILL);
  ::waitpid(live, nullptr, 0);
  EXPECT_TRUE(other->Abandoned(3));
}

TEST_F(ClaimTableTest, CopiesStartingTogetherEndWithTheSameTable) {
  constexpr int kCopies = 8;
  pid_t pids[kCopies];
  for (int i = 0; i < kCopies; ++i) {
    pids[i] = ::fork();
    if (pids[i] == 0) {
      platform::PosixClaimTableBackend backend;
      auto table = backend.Open(name, kSize);
      std::uint32_t* slots = table ? table->Map() : nullptr;
      if (slots == nullptr) ::_exit(1);
      slots[i] = static_cast<std::uint32_t>(100 + i);
      ::_exit(0);
    }
    ASSERT_GT(pids[i], 0);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto table = backend.Open(name, kSize);
  ASSERT_TRUE(table);
  const std::uint32_t* slots = table->Map();
  for (int i = 0; i < kCopies; ++i) EXPECT_EQ(slots[i], static_cast<std::uint32_t>(100 + i));
}

TEST_F(ClaimTableTest, ATableThatCannotBeOpenedGivesNone) {
  // Not this user's and closed to others: neither opened nor replaced.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a table of another user's";
  const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
  ::close(fd);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setuid(65533) != 0) ::_exit(2);
    platform::PosixClaimTableBackend backend;
    ::_exit(backend.Open(name, kSize) == nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace lumbra
