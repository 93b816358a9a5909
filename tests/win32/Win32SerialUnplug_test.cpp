// A port of the Wine prefix whose pseudo-terminal goes away (the simulator's
// unplug closes its end and removes the link) and comes back under the same
// name: the open device reports the loss, for good, and a new open finds the
// port again. LUMBRA_TEST_COM names the port, LUMBRA_TEST_SIM_INPUT takes the
// simulator's commands.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/win32/Win32Serial.h"

namespace lumbra::platform::win32 {
namespace {

using Clock = std::chrono::steady_clock;

class Win32SerialUnplugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("LUMBRA_TEST_COM");
    const char* input = std::getenv("LUMBRA_TEST_SIM_INPUT");
    if (port == nullptr || input == nullptr) GTEST_SKIP() << "no simulated port";
    path = backend.DevicePath(port);
    simInput = input;
  }
  void TearDown() override {
    if (unplugged) Sim("plug");
  }
  void Sim(const std::string& command) {
    std::ofstream out(simInput, std::ios::app | std::ios::binary);
    out << command << "\n";
    out.flush();
    ASSERT_TRUE(out.good());
    if (command == "unplug") unplugged = true;
    if (command == "plug") unplugged = false;
  }
  // Waits as the transport's thread does (an event with nothing to read is
  // waited past) until something other than an event comes, or the time ends.
  WaitResult WaitPastEvents(ISerialDevice& device, int ms) {
    auto stop = backend.CreateEvent();
    WaitResult result = WaitResult::Event;
    std::thread waiter([&] {
      std::uint32_t events = 0;
      char buf[64];
      while ((result = device.WaitEvent(*stop, events)) == WaitResult::Event)
        if (device.Read(buf, sizeof buf) < 0) break;
      reason = device.LastError();  // the thread's own
    });
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (result == WaitResult::Event && Clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop->Set();
    waiter.join();
    return result;
  }

  Win32SerialBackend backend;
  std::string path, simInput;
  std::string reason;  // the waiting thread's last error
  bool unplugged = false;
};

TEST_F(Win32SerialUnplugTest, AnUnpluggedPortIsLostForGoodAndOpensAgainOnceBack) {
  std::string error;
  auto device = backend.Open(path, error);
  ASSERT_TRUE(device) << path << ": " << error;
  ASSERT_TRUE(device->SetEventMask(kEvRxChar | kEvError | kEvBreak)) << device->LastError();
  EXPECT_EQ(WaitPastEvents(*device, 200), WaitResult::Stopped) << "lost while plugged in";
  EXPECT_FALSE(device->Lost());

  Sim("unplug");
  EXPECT_EQ(WaitPastEvents(*device, 5000), WaitResult::Lost);
  EXPECT_FALSE(reason.empty());
  EXPECT_TRUE(device->Lost()) << "its failures from now on are that";
  std::uint32_t events = 0;
  auto stop = backend.CreateEvent();
  EXPECT_EQ(device->WaitEvent(*stop, events), WaitResult::Lost) << "and goes on being lost";
  char buf[8];
  EXPECT_EQ(device->Read(buf, sizeof buf), -1);
  EXPECT_EQ(device->Write("x", 1), -1);
  std::string missing;
  EXPECT_FALSE(backend.Open(path, missing)) << "opened while unplugged";
  EXPECT_FALSE(missing.empty());

  Sim("plug");
  // The link comes back once the simulator has made the new pair.
  std::unique_ptr<ISerialDevice> again;
  for (int i = 0; i < 100 && !again; ++i) {
    again = backend.Open(path, error);
    if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(again) << "not back: " << error;
  ASSERT_TRUE(again->SetEventMask(kEvRxChar | kEvError | kEvBreak)) << again->LastError();
  EXPECT_EQ(WaitPastEvents(*again, 200), WaitResult::Stopped);
  EXPECT_EQ(again->Write("x", 1), 1);
}

}  // namespace
}  // namespace lumbra::platform::win32
