#pragma once
// Deterministic message loop and clock for tests.
//
// The thread that constructs the loop is its UI thread. Nothing happens by
// itself: RunUntilIdle delivers what is queued, Advance moves the virtual
// millisecond clock and fires due timers in time order (draining the queue
// after each expiry). Posting and Synchronize are thread-safe, so a worker
// thread can talk to the UI thread; PumpUntil waits (in real time, bounded) for
// such a worker. Sleep advances the virtual clock without delivering anything.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/SyncCalls.h"

namespace lumbra::platform {

class FakeMessageLoop final : public IMessageLoop, public IClock {
 public:
  struct Post {
    HWND hwnd;
    std::uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
    bool accepted;
  };

  FakeMessageLoop();
  ~FakeMessageLoop() override;

  // Installs this loop as the process's message loop and clock, and removes it
  // again on destruction.
  void Install();

  HWND CreateMessageWindow(WindowProc proc) override;
  void DestroyMessageWindow(HWND hwnd) override;
  bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) override;
  bool KillTimer(HWND hwnd, std::uintptr_t id) override;
  void ProcessMessages() override { RunUntilIdle(); }
  bool ProcessOneMessage() override { return CheckSynchronize() || DeliverOne(); }
  bool CheckSynchronize() override;
  std::uintptr_t WatchReadable(std::intptr_t handle, std::function<void()> fn) override;
  void Unwatch(std::uintptr_t watch) override;
  bool PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) override;
  void BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) override;
  void Synchronize(const std::function<void()>& fn) override;
  bool IsUiThread() const override { return std::this_thread::get_id() == fUiThread; }

  std::uint32_t GetTickCount() override { return static_cast<std::uint32_t>(GetTickCount64()); }
  std::uint64_t GetTickCount64() override;
  void Sleep(std::uint32_t ms) override;

  // Test controls (UI thread).
  size_t RunUntilIdle();  // number of messages and calls delivered
  void Advance(std::uint64_t ms);
  // Sets the virtual time; running timers keep their remaining time.
  void SetTime(std::uint64_t ms);
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
  std::vector<Post> Posts() const;
  void ClearPosts();
  bool TimerRunning(HWND hwnd, std::uintptr_t id) const;
  std::uint32_t TimerPeriod(HWND hwnd, std::uintptr_t id) const;
  size_t WindowCount() const;
  size_t QueuedCount() const;
  void SetTimersFail(bool fail) { fTimersFail = fail; }
  // Descriptor watches: whether a handle is watched, and making it readable
  // (runs its watcher once, then delivers what the watcher posted).
  bool Watching(std::intptr_t handle) const;
  void SignalReadable(std::intptr_t handle);

 private:
  struct Queued {
    HWND hwnd;
    TMessage msg;
  };
  struct Timer {
    std::uint32_t period;
    std::uint64_t due;
    std::uint64_t order;
  };
  using TimerKey = std::pair<HWND, std::uintptr_t>;

  bool DeliverOne();
  void Deliver(HWND hwnd, TMessage msg);
  std::shared_ptr<WindowProc> Proc(HWND hwnd) const;

  std::thread::id fUiThread;
  mutable std::mutex fMutex;
  std::condition_variable fWake;
  std::map<HWND, std::shared_ptr<WindowProc>> fWindows;
  std::deque<Queued> fQueue;
  TSyncCalls fSync;
  std::vector<Post> fPosts;
  std::map<TimerKey, Timer> fTimers;
  std::map<std::uintptr_t, std::pair<std::intptr_t, std::shared_ptr<std::function<void()>>>>
      fWatches;
  std::uintptr_t fNextWatch = 1;
  HWND fNextHandle = 1;
  std::uint64_t fNow = 0;
  std::uint64_t fTimerOrder = 0;
  bool fTimersFail = false;
  bool fInstalled = false;
};

}  // namespace lumbra::platform
