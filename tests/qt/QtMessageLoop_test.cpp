#include "platform/linux/qt/QtMessageLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "comm/wmProtocol.h"
#include "reader/BadgeReader2.h"
#include "support/TestReader.h"

namespace lumbra::platform {
namespace {

class QtLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMessageLoop(&loop); }
  void TearDown() override { SetMessageLoop(nullptr); }
  // Runs Qt's loop until done() or a generous real-time limit.
  bool RunUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
  }
  QtMessageLoop loop;
};

TEST_F(QtLoopTest, PostsFromManyThreadsArriveOnceOnTheUiThreadInEachSendersOrder) {
  constexpr int kThreads = 6, kEach = 3000;
  const auto ui = std::this_thread::get_id();
  std::map<WPARAM, std::vector<LPARAM>> got;  // sender -> sequence numbers
  int offThread = 0, total = 0;
  auto proc = [&](TMessage& m) {
    if (std::this_thread::get_id() != ui) ++offThread;
    got[m.WParam].push_back(m.LParam);
    ++total;
  };
  HWND a = loop.CreateMessageWindow(proc), b = loop.CreateMessageWindow(proc);
  std::atomic<int> refused{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        if (!loop.PostMessage(t % 2 ? a : b, WM_USER, static_cast<WPARAM>(t), i)) ++refused;
    });
  // Deliver while the senders are still posting, as the program would.
  bool done = RunUntil([&] { return total == kThreads * kEach; });
  for (auto& s : senders) s.join();
  ASSERT_TRUE(done) << total;
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(offThread, 0);
  for (int t = 0; t < kThreads; ++t) {
    const auto& seq = got[static_cast<WPARAM>(t)];
    ASSERT_EQ(seq.size(), static_cast<size_t>(kEach)) << t;
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(seq[i], i) << "sender " << t;
  }
  loop.DestroyMessageWindow(a);
  loop.DestroyMessageWindow(b);
}

TEST_F(QtLoopTest, DestroyedWindowsRefusePostsDropQueuedOnesAndReleaseNotices) {
  struct Counting : TStdMessage {
    explicit Counting(int* c) : counter(c) {}
    ~Counting() override { ++*counter; }
    int* counter;
  };
  int delivered = 0, released = 0;
  HWND h = loop.CreateMessageWindow([&](TMessage&) { ++delivered; });
  ASSERT_TRUE(loop.PostMessage(h, WM_USER, 0, 0));
  ASSERT_TRUE(PostStdMessage(h, std::make_unique<Counting>(&released)));
  loop.DestroyMessageWindow(h);
  EXPECT_EQ(released, 1);  // the queued notice went with its window
  EXPECT_FALSE(loop.PostMessage(h, WM_USER, 0, 0));
  EXPECT_FALSE(loop.SetTimer(h, 1, 10));
  EXPECT_FALSE(PostStdMessage(h, std::make_unique<Counting>(&released)));
  EXPECT_EQ(released, 2);
  loop.ProcessMessages();
  EXPECT_EQ(delivered, 0);
}

TEST_F(QtLoopTest, TimersDeliverTheirIdUntilKilled) {
  std::vector<WPARAM> ticks;
  HWND h = loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_TIMER) ticks.push_back(m.WParam);
  });
  ASSERT_TRUE(loop.SetTimer(h, 7, 5));
  ASSERT_TRUE(RunUntil([&] { return ticks.size() >= 3; }));
  EXPECT_EQ(ticks[0], 7u);
  EXPECT_TRUE(loop.KillTimer(h, 7));
  EXPECT_FALSE(loop.KillTimer(h, 7));
  size_t n = ticks.size();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(ticks.size(), n);
  loop.DestroyMessageWindow(h);
}

TEST_F(QtLoopTest, BroadcastReachesEveryWindow) {
  int a = 0, b = 0;
  HWND ha = loop.CreateMessageWindow([&](TMessage& m) { a += m.Msg == WM_DEVICECHANGE; });
  HWND hb = loop.CreateMessageWindow([&](TMessage& m) { b += m.Msg == WM_DEVICECHANGE; });
  std::thread([&] { loop.BroadcastDeviceChange(0x8004, 0); }).join();
  ASSERT_TRUE(RunUntil([&] { return a == 1 && b == 1; }));
  loop.DestroyMessageWindow(ha);
  loop.DestroyMessageWindow(hb);
}

TEST_F(QtLoopTest, AWatchedDescriptorIsReadOnTheUiThreadUntilUnwatched) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const auto ui = std::this_thread::get_id();
  std::string got;
  bool offThread = false;
  std::uintptr_t watch = 0;
  watch = loop.WatchReadable(fds[0], [&] {
    offThread = offThread || std::this_thread::get_id() != ui;
    char c;
    if (::read(fds[0], &c, 1) == 1) got += c;
    // Unwatching from inside the watcher, as an owner that closes on a notice.
    if (got.size() == 2) loop.Unwatch(watch);
  });
  ASSERT_NE(watch, 0u);
  std::thread([&] { ASSERT_EQ(::write(fds[1], "ab", 2), 2); }).join();
  ASSERT_TRUE(RunUntil([&] { return got.size() == 2; }));
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(got, "ab");
  EXPECT_FALSE(offThread);
  EXPECT_EQ(loop.WatchReadable(-1, [] {}), 0u);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(QtLoopTest, SynchronizeRunsOnTheUiThreadEvenWhileItWaitsForTheWorker) {
  std::thread::id ranOn;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    loop.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    finished = true;
  });
  // A UI thread that blocks for its worker, as closing a port does, lets only
  // synchronous calls through.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!finished && std::chrono::steady_clock::now() < deadline) {
    loop.CheckSynchronize();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(QtLoopTest, AReadFromTheProtocolThreadReachesTheFacadeOnTheUiThread) {
  test::RegisterTestReaders();
  {
    Owned<TBadgeReader2> facade(new TBadgeReader2(nullptr));
    std::vector<AnsiString> reads;
    bool onUi = false;
    facade->OnReadedBadge = [&](TObject*, const AnsiString& t) {
      onUi = loop.IsUiThread();
      reads.push_back(t);
    };
    facade->SetModel(test::kTestMultiModel);
    facade->SetTrack(5);
    facade->SetActive(true);
    static_cast<test::TTestBadgeReader*>(facade->Reader())->Protocol()->Swipe("123\r456");
    ASSERT_TRUE(RunUntil([&] { return !reads.empty(); }));
    EXPECT_EQ(reads, (std::vector<AnsiString>{"123\r456"}));
    EXPECT_TRUE(onUi);
  }
  test::UnregisterTestReaders();
}

}  // namespace
}  // namespace lumbra::platform
