#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "comm/AdPort.h"
#include "comm/comWin32.h"
#include "comm/protocol.h"
#include "comm/wmProtocol.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimDevices.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using platform::FakeMessageLoop;

class Chunks : public TProtocol {
 public:
  using TProtocol::TProtocol;
  void ProcessBuffer(const std::uint8_t* b, std::int32_t n) override {
    sizes.push_back(n);
    data.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
  }
  void InitProtocol() override {}
  std::vector<std::int32_t> sizes;
  std::string data;
};

class PtyTest : public ::testing::Test {
 protected:
  PtyTest() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    host = loop.CreateMessageWindow([this](platform::TMessage& m) {
      if (m.Msg == WM_VECTOR_NOTICE) notices.push_back(TakeStdMessage(m.LParam)->dataStr);
    });
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-pty-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    sim = std::make_unique<readersim::SimPort>(std::make_unique<readersim::EchoDevice>(), link);
    comm.reset(new TComm32(host));
  }
  ~PtyTest() override {
    comm.reset();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }

  FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  platform::HWND host = 0;
  std::string link;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<TComm32> comm;
  std::vector<std::string> notices;
};

TEST_F(PtyTest, DeviceBytesReachOnReceiveOnTheUiThreadAndBack) {
  std::string got;
  bool onUi = true;
  comm->OnReceive = [&](TObject*, std::int32_t n) {
    onUi = onUi && loop.IsUiThread();
    std::string buf(static_cast<size_t>(n), '\0');
    got.append(buf, 0, static_cast<size_t>(comm->Read(buf.data(), n)));
  };
  comm->SetConnectString(link + ",9600,N,8,1");  // through the symlink
  comm->Open();
  ASSERT_TRUE(sim->Command("swipe ;1234567890?"));
  ASSERT_TRUE(loop.PumpUntil([&] { return got.size() >= 13; }));
  EXPECT_EQ(got, ";1234567890?\r");
  EXPECT_TRUE(onUi);
  // The echo device sends back what the program writes.
  got.clear();
  EXPECT_EQ(comm->Write(std::string("\x00\xff\x13\x11", 4)), 4);
  ASSERT_TRUE(loop.PumpUntil([&] { return got.size() >= 4; }));
  EXPECT_EQ(got, std::string("\x00\xff\x13\x11", 4));
  // A pseudo-terminal has no modem lines and no break.
  EXPECT_FALSE(comm->DoDTR(true));
  EXPECT_FALSE(comm->DoRTS(true));
  EXPECT_FALSE(comm->DoBREAK(true));
  // Rates without a termios constant are accepted too.
  comm->SetBaudRate(cbr14400);
  EXPECT_EQ(comm->Write("x"), 1);
}

TEST_F(PtyTest, BurstIsHandedOverInChunksWithNothingLost) {
  Chunks* proto = new Chunks(1, host, comm.get());
  Owned<Chunks> owner(proto);
  comm->SetDeviceName(sim->SlavePath());
  proto->SetEnabled(true);
  std::string burst(20000, '\0');
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<char>(i * 31 + i / 256);
  // More than the pseudo-terminal holds: the device writes while we read.
  std::atomic<bool> written{false};
  std::thread device([&] { written = sim->Write(burst); });
  const bool all = loop.PumpUntil([&] { return proto->data.size() >= burst.size(); });
  device.join();
  ASSERT_TRUE(all);
  EXPECT_TRUE(written);
  EXPECT_EQ(proto->data, burst);
  for (auto n : proto->sizes) EXPECT_LE(n, TProtocol::kChunk);
  owner.reset();
}

TEST_F(PtyTest, HangUpMakesThePortLostAndTheThreadStops) {
  comm->SetDeviceName(link);
  comm->Open();
  sim->Unplug();
  ASSERT_TRUE(loop.PumpUntil([&] { return comm->Lost(); }));
  // Lost as soon as the body has told its end; finished a moment later.
  ASSERT_TRUE(loop.PumpUntil([&] { return comm->EventThread()->Finished(); }));
  EXPECT_EQ(comm->EventThread()->Wakeups(), 1u);
  loop.RunUntilIdle();
  EXPECT_TRUE(notices.empty()) << "the owner shows a lost port as a reader problem";
  comm->Close();
  // Plugged back under the same name, the port opens again.
  sim->PlugBack();
  std::string got;
  comm->OnReceive = [&](TObject*, std::int32_t n) {
    std::string buf(static_cast<size_t>(n), '\0');
    got.append(buf, 0, static_cast<size_t>(comm->Read(buf.data(), n)));
  };
  comm->Open();
  sim->Command("send back");
  ASSERT_TRUE(loop.PumpUntil([&] { return got == "back"; }));
}

// A pseudo-terminal whose other end never reads: output piles up as it does
// behind a device that stopped draining.
class UndrainedPty {
 public:
  UndrainedPty() {
    fMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fMaster >= 0 && grantpt(fMaster) == 0 && unlockpt(fMaster) == 0) fSlave = ptsname(fMaster);
  }
  ~UndrainedPty() {
    if (fMaster >= 0) close(fMaster);
  }
  const std::string& SlavePath() const { return fSlave; }
  // Bytes the device side has received, read without waiting.
  std::size_t Drain() {
    char buf[4096];
    std::size_t total = 0;
    for (ssize_t n; (n = read(fMaster, buf, sizeof buf)) > 0;) total += static_cast<std::size_t>(n);
    return total;
  }

 private:
  int fMaster = -1;
  std::string fSlave;
};

TEST_F(PtyTest, AWriteToAStalledDeviceFailsAtOnceAndThePortIsLost) {
  UndrainedPty pty;
  ASSERT_FALSE(pty.SlavePath().empty());
  comm->SetDeviceName(pty.SlavePath());
  comm->Open();
  const std::string block(4096, 'x');
  int accepted = 0;
  auto t0 = std::chrono::steady_clock::now();
  while (accepted < 1000 && comm->Write(block) == static_cast<std::int32_t>(block.size()))
    ++accepted;
  // The old way waited a second on every write once the queue was full.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
  EXPECT_LT(accepted, 1000) << "a queue that never drains must fill up";
  EXPECT_TRUE(comm->Lost());
  EXPECT_EQ(comm->Write("p"), -1);
  t0 = std::chrono::steady_clock::now();
  comm->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
  loop.RunUntilIdle();
  EXPECT_TRUE(notices.empty());
}

TEST_F(PtyTest, CloseWithTheEventThreadBlockedEndsInTime) {
  comm->SetDeviceName(link);
  comm->Open();
  for (bool inThread : {false, true}) {
    comm->SetEventsInThread(inThread);
    std::this_thread::sleep_for(20ms);  // let the thread block in its wait
    auto t0 = std::chrono::steady_clock::now();
    comm->Close();
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_LT(ms, 1000) << "events in thread " << inThread;
    comm->Open();
  }
}

TEST_F(PtyTest, CloseWhileTheThreadWaitsForTheUiThreadEndsInTime) {
  // The UI thread does not pump: the event thread is stuck handing an event
  // over when Close is called.
  comm->OnReceive = [&](TObject*, std::int32_t) { ADD_FAILURE() << "delivered after close"; };
  comm->SetDeviceName(link);
  comm->Open();
  sim->Command("send stuck");
  std::this_thread::sleep_for(50ms);
  auto t0 = std::chrono::steady_clock::now();
  comm->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
}

TEST_F(PtyTest, BusyOrMissingPortGivesTheSystemsReason) {
  comm->SetDeviceName(link);
  comm->Open();
  Owned<TComm32> other(new TComm32(host));
  other->SetDeviceName(sim->SlavePath());
  try {
    other->Open();
    FAIL() << "opened a busy port";
  } catch (const ECommError& e) {
    EXPECT_EQ(
        std::string(e.what()),
        "error " + sim->SlavePath() + " Comm port busy or not available: Device or resource busy");
  }
  other->SetDeviceName("/dev/lumbra-no-such-port");
  try {
    other->Open();
    FAIL() << "opened a missing port";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(),
                 "error /dev/lumbra-no-such-port Comm port busy or not available: No such file or "
                 "directory");
  }
}

// A port the user may not open names the group that may: the node's own
// group when it is given read and write, otherwise "dialout". Needs root, to
// open the port as another user.
TEST(SerialPermission, ARefusedOpenNamesTheGroupThatGrantsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open as another user";
  struct group* tty = getgrnam("tty");
  ASSERT_NE(tty, nullptr);
  const struct {
    gid_t gid;
    mode_t mode;
    const char* group;
  } cases[] = {{tty->gr_gid, 0660, "tty"}, {0, 0660, "dialout"}, {tty->gr_gid, 0600, "dialout"}};
  const std::string path =
      (std::filesystem::temp_directory_path() / ("lumbra-perm-" + std::to_string(getpid())))
          .string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    { std::ofstream(path) << ""; }
    ASSERT_EQ(chown(path.c_str(), 0, c.gid), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
      // Nobody, in no group that could open it.
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      platform::TermiosSerialBackend backend;
      std::string error;
      if (backend.Open(path, error)) _exit(3);
      [[maybe_unused]] ssize_t n = write(out[1], error.data(), error.size());
      _exit(0);
    }
    close(out[1]);
    std::string error;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) error.append(buf, n);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(error, std::string("Permission denied; the port is for the members of the group \"") +
                         c.group + "\": add the user to it and log in again");
    std::filesystem::remove(path);
  }
}

class PtyHolder : public TPortHolder {
 public:
  using TPortHolder::TPortHolder;
  std::string got;

 protected:
  bool HasProto() const override { return true; }
  void ProtoReceive(const std::uint8_t* b, std::int32_t n) override {
    got.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
  }
  platform::HWND ProtoOwner() const override { return 0; }
};

TEST_F(PtyTest, EventDrivenPortByPath) {
  PtyHolder holder(nullptr);
  holder.ApdComPort1->SetPortName(link);
  holder.ApdComPort1->SetOpen(true);
  holder.ApdComPort1->PutString(std::string("ping\0", 5));
  ASSERT_TRUE(loop.PumpUntil([&] { return holder.got.size() >= 5; }));
  EXPECT_EQ(holder.got, std::string("ping\0", 5));
  holder.ApdComPort1->SetOpen(false);
}

}  // namespace
}  // namespace lumbra
