// The event-driven port on a real pseudo-terminal, unplugged while the UI
// thread writes (run under ThreadSanitizer too).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "comm/AdPort.h"
#include "comm/DeviceMessages.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimDevices.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using platform::FakeMessageLoop;

class EchoHolder : public TPortHolder {
 public:
  using TPortHolder::TPortHolder;
  platform::HWND owner = 0;
  std::string got;

 protected:
  bool HasProto() const override { return true; }
  void ProtoReceive(const std::uint8_t* b, std::int32_t n) override {
    got.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
  }
  platform::HWND ProtoOwner() const override { return owner; }
};

class AdPortPtyTest : public ::testing::Test {
 protected:
  AdPortPtyTest() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    holder.owner = loop.CreateMessageWindow([this](platform::TMessage& m) {
      if (m.Msg == WM_DISP_ERROR) errors.push_back(static_cast<int>(m.WParam));
    });
  }
  ~AdPortPtyTest() override {
    holder.ApdComPort1->SetOpen(false);
    platform::SetSerialBackend(nullptr);
  }

  FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  EchoHolder holder{nullptr};
  std::vector<int> errors;
};

TEST_F(AdPortPtyTest, UnplugWhileWritingIsReportedOnceAndThePortOpensAgain) {
  const std::string link =
      (std::filesystem::temp_directory_path() / ("lumbra-adport-" + std::to_string(getpid())))
          .string();
  readersim::SimPort sim(std::make_unique<readersim::EchoDevice>(), link);
  TApdComPort& port = *holder.ApdComPort1;
  port.SetPortName(link);
  const std::string chunk = "0123456789abcdefghijklmnopqrstuv";
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    errors.clear();
    holder.got.clear();
    port.SetOpen(true);
    // The reader goes away at a different point of the stream each round,
    // with writes on this thread and echoed bytes on the port's thread in flight.
    std::atomic<size_t> echoed{0};
    const size_t unplugAt = static_cast<size_t>(round) * 97 % 1500;
    std::thread unplug([&] {
      const auto giveUp = std::chrono::steady_clock::now() + 5s;
      while (echoed.load() < unplugAt && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
      sim.Unplug();
    });
    // With 1 KiB in flight the writer waits for the echo, so that neither
    // side's queue fills; once the loss has been told it writes regardless.
    std::string failure;
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (failure.empty() && std::chrono::steady_clock::now() < deadline) {
      if (sent - holder.got.size() < 1024 || !errors.empty()) {
        try {
          port.PutString(chunk);
          sent += chunk.size();
        } catch (const EApdPortError& e) {
          failure = e.what();
        }
      }
      if (loop.RunUntilIdle() == 0) std::this_thread::yield();
      echoed.store(holder.got.size());
    }
    unplug.join();
    ASSERT_FALSE(failure.empty()) << "writes still succeed after the unplug";
    EXPECT_TRUE(failure.rfind("Port lost: ", 0) == 0 ||
                failure.rfind("Port write failed: ", 0) == 0)
        << failure;
    EXPECT_EQ(failure.find("queue full"), std::string::npos) << failure;
    // The loss reaches the protocol's owner as one device error, and the port
    // stays as it is until the protocol closes it.
    ASSERT_TRUE(loop.PumpUntil([&] { return !errors.empty(); }));
    loop.RunUntilIdle();
    EXPECT_EQ(errors, std::vector<int>{48});
    EXPECT_TRUE(port.Open());
    try {
      port.PutString(chunk);
      ADD_FAILURE() << "wrote to a lost port";
    } catch (const EApdPortError& e) {
      EXPECT_STREQ(e.what(), "Port lost: the device was disconnected");
    }
    port.SetOpen(false);
    // Plugged back under the same name, the port opens and talks again.
    sim.PlugBack();
    holder.got.clear();
    port.SetOpen(true);
    port.PutString("ping");
    ASSERT_TRUE(loop.PumpUntil([&] { return holder.got == "ping"; })) << holder.got;
    port.SetOpen(false);
  }
}

}  // namespace
}  // namespace lumbra
