// The Win32 serial code on a port of the Wine prefix that is a pseudo-terminal
// of the project's echo simulator (LUMBRA_TEST_COM names it, "COM5").
#include "platform/win32/Win32Serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace lumbra::platform::win32 {
namespace {

using Clock = std::chrono::steady_clock;

class Win32SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("LUMBRA_TEST_COM");
    if (port == nullptr || *port == '\0') GTEST_SKIP() << "no simulated port (LUMBRA_TEST_COM)";
    path = backend.DevicePath(port);
  }
  // Everything that arrives within the time, gathered the way the transport's
  // thread does: wait for an event, then read what is there.
  std::string Receive(ISerialDevice& device, std::size_t want, int ms) {
    auto stop = backend.CreateEvent();
    std::string got;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
      std::uint32_t events = 0;
      while (got.size() < want) {
        WaitResult r = device.WaitEvent(*stop, events);
        if (r != WaitResult::Event) break;
        char buf[256];
        int n;
        while ((n = device.Read(buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
        if (n < 0) break;
      }
      done = true;
    });
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop->Set();
    waiter.join();
    return got;
  }
  Win32SerialBackend backend;
  std::string path;
};

TEST_F(Win32SerialTest, BytesWrittenComeBackFromTheSimulator) {
  std::string error;
  auto device = backend.Open(path, error);
  ASSERT_TRUE(device) << path << ": " << error;
  SerialSettings s;
  s.baudRate = 38400;
  s.flags = kFlagBinary | kFlagParity;
  ASSERT_TRUE(device->Apply(s)) << device->LastError();
  ASSERT_TRUE(device->SetQueueSizes(4096, 4096)) << device->LastError();
  ASSERT_TRUE(device->SetEventMask(kEvRxChar | kEvError)) << device->LastError();
  const std::string frame("\x02hello\x00\xff\r\n\x03", 11);
  EXPECT_EQ(device->Write(frame.data(), static_cast<int>(frame.size())), 11);
  EXPECT_EQ(device->Write(frame.data(), static_cast<int>(frame.size())), 11);
  EXPECT_EQ(Receive(*device, 22, 5000), frame + frame);
  SerialStatus status;
  EXPECT_TRUE(device->QueryStatus(status)) << device->LastError();
  EXPECT_EQ(status.errors, 0u);
}

TEST_F(Win32SerialTest, AWaitWithNothingComingEndsWhenStopped) {
  std::string error;
  auto device = backend.Open(path, error);
  ASSERT_TRUE(device) << error;
  ASSERT_TRUE(device->SetEventMask(kEvRxChar));
  auto stop = backend.CreateEvent();
  WaitResult result = WaitResult::Event;
  auto start = Clock::now();
  std::thread waiter([&] {
    std::uint32_t events = 0;
    char buf[16];
    // An event with nothing to read is a guess (Wine's empty mask): wait on.
    while ((result = device->WaitEvent(*stop, events)) == WaitResult::Event)
      if (device->Read(buf, sizeof buf) != 0) break;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop->Set();
  waiter.join();
  EXPECT_EQ(result, WaitResult::Stopped);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(stop->IsSet());
  stop->Reset();
  EXPECT_FALSE(stop->IsSet());
}

// (Windows opens a port for one handle only; Wine does not refuse a second
// open of a port that is a pseudo-terminal, so that is not checked here.)
TEST_F(Win32SerialTest, AMissingPortGivesTheSystemsReason) {
  std::string missing;
  EXPECT_FALSE(backend.Open(backend.DevicePath("COM97"), missing));
  EXPECT_FALSE(missing.empty());
  std::string error;
  EXPECT_TRUE(backend.Open(path, error)) << error;
}

TEST(Win32SerialNames, ComNamesBecomeDevicePathsOthersStay) {
  Win32SerialBackend backend;
  EXPECT_EQ(backend.DevicePath("COM5"), "\\\\.\\COM5");
  EXPECT_EQ(backend.DevicePath("com12"), "\\\\.\\com12");
  EXPECT_EQ(backend.DevicePath("\\\\.\\COM5"), "\\\\.\\COM5");
  EXPECT_EQ(backend.DevicePath("COM"), "COM");
  EXPECT_EQ(backend.DevicePath("COMX"), "COMX");
}

}  // namespace
}  // namespace lumbra::platform::win32
