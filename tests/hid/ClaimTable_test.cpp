// The claim table in POSIX shared memory, across processes: one table for
// all, open to every user, one holder per reader, and what a copy that died
// held let go; and copies of the USB reader's protocol racing for one reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "drivers/slu20/ProtoUSBBadge.h"
#include "platform/fake/FakeHid.h"
#include "platform/fake/FakeMessageLoop.h"
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

// A child process that opens the table, records and holds a reader, tells
// the parent through a pipe and then waits to be killed.
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
        ok = table->Hold(value) ? 1 : 0;
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

TEST_F(ClaimTableTest, OneHolderPerReaderAndADeadCopyLetsGoOfWhatItHeld) {
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
  EXPECT_TRUE(table->Held(1234));
  EXPECT_TRUE(table->Held(5678));
  EXPECT_FALSE(table->Hold(5678)) << "another copy holds it";
  EXPECT_FALSE(table->Held(42));

  ::kill(dying, SIGKILL);
  ::waitpid(dying, nullptr, 0);
  EXPECT_FALSE(table->Held(5678)) << "its copy is dead";
  EXPECT_TRUE(table->Held(1234)) << "its copy lives";
  EXPECT_EQ(slots[7], 5678u) << "the value stays until somebody reuses the slot";

  // Held by this copy: seen from itself and from another handle, in this
  // process too, which cannot take it either.
  EXPECT_TRUE(table->Hold(5678));
  EXPECT_TRUE(table->Hold(5678)) << "holding twice is holding";
  EXPECT_TRUE(table->Held(5678));
  auto other = backend.Open(name, kSize);
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->Held(5678));
  EXPECT_FALSE(other->Hold(5678));
  table->Release(5678);
  EXPECT_FALSE(other->Held(5678));
  EXPECT_TRUE(other->Hold(5678));
  other->Release(5678);

  // Closing a table lets go of what it held; a reader needs no slot.
  EXPECT_TRUE(table->Hold(0xFFFFFFFFu));
  EXPECT_TRUE(other->Held(0xFFFFFFFFu));
  table.reset();
  EXPECT_FALSE(other->Held(0xFFFFFFFFu));

  ::kill(live, SIGKILL);
  ::waitpid(live, nullptr, 0);
  EXPECT_FALSE(other->Held(1234));
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

// The machine's own table stays out of it: every name gets the test's prefix.
class PrefixedTables final : public platform::IClaimTableBackend {
 public:
  explicit PrefixedTables(std::string prefix) : fPrefix(std::move(prefix)) {}
  std::unique_ptr<platform::IClaimTable> Open(const std::string& name,
                                              std::size_t size) override {
    return fPosix.Open(fPrefix + name, size);
  }

 private:
  std::string fPrefix;
  platform::PosixClaimTableBackend fPosix;
};

// One copy of the program with one reader plugged in: it waits for the
// start, enables the reader's protocol and writes whether it took the reader,
// then keeps it until killed.
pid_t RacingCopy(const std::string& prefix, const int start[2], const int answer[2]) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(start[1]);
  ::close(answer[0]);
  platform::FakeMessageLoop loop;
  loop.Install();
  platform::FakeHidBackend hid;
  hid.Install();
  platform::HidDeviceInfo info;
  info.instance = 0x101;
  info.product = TProtoUSBBadge::kProductName;
  info.inputReportLength = 9;
  hid.AddDevice(info);
  PrefixedTables tables(prefix);
  platform::SetClaimTableBackend(&tables);
  const platform::HWND owner = loop.CreateMessageWindow([](platform::TMessage&) {});
  auto* protocol = new TProtoUSBBadge(owner);
  char go = 0;
  if (::read(start[0], &go, 1) < 0) ::_exit(2);  // the parent closing it starts all at once
  protocol->SetEnabled(true);
  const char took = protocol->Device() != nullptr ? 1 : 0;
  [[maybe_unused]] ssize_t n = ::write(answer[1], &took, 1);
  for (;;) ::pause();
}

TEST_F(ClaimTableTest, OfCopiesRacingForOneReaderExactlyOneTakesIt) {
  const std::string prefix = name + "-race-";
  const std::string table = "/" + prefix + TProtoUSBBadge::kClaimTableName;
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    ::shm_unlink(table.c_str());
    int start[2], answer[2];
    ASSERT_EQ(::pipe(start), 0);
    ASSERT_EQ(::pipe(answer), 0);
    const pid_t a = RacingCopy(prefix, start, answer);
    const pid_t b = RacingCopy(prefix, start, answer);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ::close(start[0]);
    ::close(answer[1]);
    ::close(start[1]);
    char took[2] = {0, 0};
    const bool answered = ::read(answer[0], &took[0], 1) == 1 && ::read(answer[0], &took[1], 1) == 1;
    ::close(answer[0]);
    for (pid_t pid : {a, b}) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(answered) << "round " << round;
    EXPECT_EQ(took[0] + took[1], 1) << "round " << round;
  }
  ::shm_unlink(table.c_str());
}

}  // namespace
}  // namespace lumbra
