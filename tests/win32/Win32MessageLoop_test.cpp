#include "platform/win32/Win32MessageLoop.h"
// clang-format off
// Before the Win32 headers, whose macros would hide its names.
#include "comm/wmProtocol.h"
// clang-format on

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cwchar>
#include <map>
#include <thread>
#include <vector>

#include "platform/DeviceChange.h"
// The interface's own name, not the Win32 macro.
#undef PostMessage

#include <dbt.h>

namespace lumbra::platform::win32 {
namespace {

constexpr std::uint32_t kMsg = WM_USER + 7;

// A notice that counts its releases.
struct Counting : lumbra::TStdMessage {
  explicit Counting(int* c) : counter(c) {}
  ~Counting() override { ++*counter; }
  int* counter;
};

// Handles messages until done() or the deadline; false when the deadline came first.
template <class Done>
bool PumpUntil(Win32MessageLoop& loop, Done done, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (!loop.ProcessOneMessage()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(Win32MessageLoop, PostsFromManyThreadsArriveOnceInOrderOnTheUiThread) {
  Win32MessageLoop loop;
  constexpr int kThreads = 4, kPosts = 500;
  std::map<LPARAM, std::vector<WPARAM>> got;
  bool offThread = false;
  int total = 0;
  HWND h = loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg != kMsg) return;
    offThread |= !loop.IsUiThread();
    got[m.LParam].push_back(m.WParam);
    ++total;
  });
  std::vector<std::thread> posters;
  std::atomic<int> refused{0};
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i)
        if (!loop.PostMessage(h, kMsg, static_cast<WPARAM>(i), t)) ++refused;
    });
  ASSERT_TRUE(PumpUntil(loop, [&] { return total == kThreads * kPosts; }));
  for (auto& p : posters) p.join();
  loop.ProcessMessages();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_FALSE(offThread);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads));
  for (const auto& [thread, seq] : got) {
    ASSERT_EQ(seq.size(), static_cast<std::size_t>(kPosts)) << thread;
    for (int i = 0; i < kPosts; ++i) ASSERT_EQ(seq[i], static_cast<WPARAM>(i)) << thread;
  }
  loop.DestroyMessageWindow(h);
}

TEST(Win32MessageLoop, APostToADestroyedWindowFailsAndItsQueuedMessagesAreDropped) {
  Win32MessageLoop loop;
  int delivered = 0;
  HWND h = loop.CreateMessageWindow([&](TMessage& m) { delivered += m.Msg == kMsg; });
  ASSERT_TRUE(loop.PostMessage(h, kMsg, 0, 0));
  SetMessageLoop(&loop);
  int released = 0;
  ASSERT_TRUE(PostStdMessage(h, std::make_unique<Counting>(&released)));
  loop.DestroyMessageWindow(h);
  SetMessageLoop(nullptr);
  EXPECT_EQ(released, 1);  // the queued notice went with its window
  loop.ProcessMessages();
  EXPECT_EQ(delivered, 0);
  bool fromThread = true;
  std::thread([&] { fromThread = loop.PostMessage(h, kMsg, 0, 0); }).join();
  EXPECT_FALSE(fromThread);
  EXPECT_FALSE(loop.PostMessage(h, kMsg, 0, 0));
}

TEST(Win32MessageLoop, TimersTickPerIdUntilKilled) {
  Win32MessageLoop loop;
  std::map<WPARAM, int> ticks;
  HWND h = loop.CreateMessageWindow([&](TMessage& m) {
    if (m.Msg == WM_TIMER) ++ticks[m.WParam];
  });
  ASSERT_TRUE(loop.SetTimer(h, 1, 20));
  ASSERT_TRUE(loop.SetTimer(h, 2, 30));
  ASSERT_TRUE(PumpUntil(loop, [&] { return ticks[1] >= 3 && ticks[2] >= 2; }));
  EXPECT_TRUE(loop.KillTimer(h, 1));
  EXPECT_FALSE(loop.KillTimer(h, 1));
  loop.ProcessMessages();  // an expiry already queued may still come
  int one = ticks[1], two = ticks[2];
  ASSERT_TRUE(PumpUntil(loop, [&] { return ticks[2] >= two + 3; }));
  EXPECT_EQ(ticks[1], one);
  loop.DestroyMessageWindow(h);
}

TEST(Win32MessageLoop, DeviceChangesReachEveryWindowAndSynchronousCallsRunOnTheUiThread) {
  Win32MessageLoop loop;
  std::vector<std::string> seen;
  auto receiver = [&](TMessage& m) {
    if (m.Msg != WM_DEVICECHANGE) return;
    const TDevBroadcastPort* port = PortBroadcastOf(m.LParam);
    seen.push_back(port != nullptr ? port->dbcp_name : "?");
  };
  HWND a = loop.CreateMessageWindow(receiver), b = loop.CreateMessageWindow(receiver);
  std::thread([&] {
    SetMessageLoop(&loop);
    BroadcastPortRemoved("COM5");
  }).join();
  SetMessageLoop(nullptr);
  ASSERT_TRUE(PumpUntil(loop, [&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"COM5", "COM5"}));

  // The system's own broadcast names the port inline, in UTF-16.
  struct {
    DEV_BROADCAST_PORT_W port;
    wchar_t more[8];
  } record{};
  record.port.dbcp_size = sizeof(DEV_BROADCAST_PORT_W) + 4 * sizeof(wchar_t);
  record.port.dbcp_devicetype = DBT_DEVTYP_PORT;
  std::wcscpy(record.port.dbcp_name, L"COM12");
  seen.clear();
  SendMessageW(reinterpret_cast<::HWND>(a), WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
               reinterpret_cast<::LPARAM>(&record));
  EXPECT_EQ(seen, (std::vector<std::string>{"COM12"}));

  bool ranOnUi = false, returned = false;
  std::thread worker([&] {
    loop.Synchronize([&] { ranOnUi = loop.IsUiThread(); });
    returned = true;
  });
  ASSERT_TRUE(PumpUntil(loop, [&] { return ranOnUi; }));
  worker.join();
  EXPECT_TRUE(returned);
  loop.DestroyMessageWindow(a);
  loop.DestroyMessageWindow(b);
}

}  // namespace
}  // namespace lumbra::platform::win32
