#include "platform/fake/FakeMessageLoop.h"

#include <gtest/gtest.h>

#include <thread>

#include "comm/wmProtocol.h"

namespace lumbra::platform {
namespace {

// A notice that counts its releases.
struct Counting : lumbra::TStdMessage {
  explicit Counting(int* c) : counter(c) {}
  ~Counting() override { ++*counter; }
  int* counter;
};

TEST(FakeMessageLoop, TimersFireInTimeOrderAndStopWhenKilled) {
  FakeMessageLoop loop;
  std::vector<std::pair<std::uint64_t, WPARAM>> fired;
  HWND h = loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_TIMER) fired.emplace_back(loop.GetTickCount64(), m.WParam);
  });
  ASSERT_TRUE(loop.SetTimer(h, 1, 200));
  ASSERT_TRUE(loop.SetTimer(h, 2, 300));
  loop.Advance(600);
  EXPECT_EQ(fired, (std::vector<std::pair<std::uint64_t, WPARAM>>{
                       {200, 1}, {300, 2}, {400, 1}, {600, 1}, {600, 2}}));
  EXPECT_TRUE(loop.KillTimer(h, 1));
  EXPECT_FALSE(loop.KillTimer(h, 1));
  fired.clear();
  loop.Advance(300);
  EXPECT_EQ(fired, (std::vector<std::pair<std::uint64_t, WPARAM>>{{900, 2}}));
  loop.DestroyMessageWindow(h);
  EXPECT_FALSE(loop.TimerRunning(h, 2));
}

TEST(FakeMessageLoop, TheThirtyTwoBitTickWraps) {
  FakeMessageLoop loop;
  loop.SetTime((1ull << 32) - 100);
  std::uint32_t before = loop.GetTickCount();
  loop.Advance(250);
  EXPECT_EQ(loop.GetTickCount(), 150u);
  EXPECT_EQ(loop.GetTickCount64(), (1ull << 32) + 150);
  EXPECT_EQ(static_cast<std::uint32_t>(loop.GetTickCount() - before), 250u);
}

TEST(FakeMessageLoop, PostsToDeadWindowsFailAndQueuedOnesAreDropped) {
  FakeMessageLoop loop;
  int got = 0;
  HWND h = loop.CreateMessageWindow([&](TMessage&) { ++got; });
  EXPECT_TRUE(loop.PostMessage(h, 1, 0, 0));
  loop.Install();
  int released = 0;
  ASSERT_TRUE(PostStdMessage(h, std::make_unique<Counting>(&released)));
  loop.DestroyMessageWindow(h);
  EXPECT_EQ(released, 1);  // the queued notice went with its window
  EXPECT_FALSE(loop.PostMessage(h, 2, 0, 0));
  EXPECT_EQ(loop.RunUntilIdle(), 0u);
  EXPECT_EQ(got, 0);
  HWND h2 = loop.CreateMessageWindow([](TMessage&) {});
  EXPECT_NE(h2, h);  // handles are never reused
}

TEST(FakeMessageLoop, DeviceChangeReachesEveryWindow) {
  FakeMessageLoop loop;
  std::vector<int> got;
  HWND a = loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_DEVICECHANGE) got.push_back(1);
  });
  loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_DEVICECHANGE) got.push_back(2);
  });
  loop.DestroyMessageWindow(a);
  loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_DEVICECHANGE) got.push_back(3);
  });
  loop.BroadcastDeviceChange(0x8000, 0);
  loop.RunUntilIdle();
  EXPECT_EQ(got, (std::vector<int>{2, 3}));
}

TEST(FakeMessageLoop, SynchronizeRunsOnTheUiThreadAndCarriesExceptionsBack) {
  FakeMessageLoop loop;
  std::thread::id ranOn;
  bool workerSawError = false;
  std::thread worker([&] {
    loop.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    try {
      loop.Synchronize([] { throw std::runtime_error("no"); });
    } catch (const std::runtime_error&) {
      workerSawError = true;
    }
  });
  EXPECT_TRUE(loop.PumpUntil([&] { return workerSawError; }));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace lumbra::platform
