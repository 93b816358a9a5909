#include <gtest/gtest.h>

#include <functional>

#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"

namespace lumbra::platform {
namespace {

// The fake loop's clock, with something that happens after a given wait.
class LineClock final : public IClock {
 public:
  explicit LineClock(FakeMessageLoop& loop) : fLoop(loop) {}
  std::uint32_t GetTickCount() override { return fLoop.GetTickCount(); }
  std::uint64_t GetTickCount64() override { return fLoop.GetTickCount64(); }
  void Sleep(std::uint32_t ms) override {
    slept += ms;
    fLoop.Sleep(ms);
    if (after && slept >= afterMs) std::exchange(after, nullptr)();
  }
  std::uint64_t slept = 0;
  std::uint64_t afterMs = 0;
  std::function<void()> after;

 private:
  FakeMessageLoop& fLoop;
};

TEST(SerialDrainTest, QueuedOutputGoesOutWithinTheBoundAndTheRestIsDiscarded) {
  struct Case {
    const char* name;
    std::string queued;
    long freesAfterMs;  // when the line lets the held bytes go; -1 never
    std::uint64_t slept;
    std::string written;
  } cases[] = {
      {"nothing queued: no wait at all", "", -1, 0, ""},
      {"the line frees up during the wait", "last commands", 20, 20, "last commands"},
      {"a line that never drains is given up at the bound", "stuck", -1, kCloseDrainMs, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMessageLoop loop;
    loop.Install();
    LineClock clock(loop);
    SetClock(&clock);
    FakeSerialBackend serial;
    serial.Install();
    auto port = serial.AddPort("/dev/ttyS0");
    std::string error;
    auto device = serial.Open("/dev/ttyS0", error);
    ASSERT_NE(device, nullptr) << error;
    port->holdOutput = !c.queued.empty();
    ASSERT_EQ(device->Write(c.queued.data(), static_cast<int>(c.queued.size())),
              static_cast<int>(c.queued.size()));
    if (c.freesAfterMs >= 0) {
      clock.afterMs = static_cast<std::uint64_t>(c.freesAfterMs);
      clock.after = [&] { port->SendHeld(); };
    }
    DrainOutput(*device, kCloseDrainMs);
    EXPECT_EQ(clock.slept, c.slept);
    EXPECT_EQ(port->Written(), c.written);
    EXPECT_EQ(device->OutputPending(), 0u);
    device.reset();
    EXPECT_FALSE(port->closedWithUnsent) << "the close would wait for what is left";
    SetClock(&loop);
  }
}

}  // namespace
}  // namespace lumbra::platform
