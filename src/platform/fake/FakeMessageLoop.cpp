#include "platform/fake/FakeMessageLoop.h"

#include <algorithm>
#include <exception>

namespace lumbra::platform {

FakeMessageLoop::FakeMessageLoop() : fUiThread(std::this_thread::get_id()) {}

FakeMessageLoop::~FakeMessageLoop() {
  for (const Queued& q : fQueue) ReleaseDropped(q.msg);
  if (fInstalled) {
    if (&MessageLoop() == this) SetMessageLoop(nullptr);
    SetClock(nullptr);
  }
}

void FakeMessageLoop::Install() {
  SetMessageLoop(this);
  SetClock(this);
  fInstalled = true;
}

HWND FakeMessageLoop::CreateMessageWindow(WindowProc proc) {
  std::lock_guard lock(fMutex);
  HWND h = fNextHandle++;
  fWindows[h] = std::make_shared<WindowProc>(std::move(proc));
  return h;
}

void FakeMessageLoop::DestroyMessageWindow(HWND hwnd) {
  std::lock_guard lock(fMutex);
  fWindows.erase(hwnd);
  std::erase_if(fQueue, [hwnd](const Queued& q) {
    if (q.hwnd != hwnd) return false;
    ReleaseDropped(q.msg);
    return true;
  });
  std::erase_if(fTimers, [hwnd](const auto& t) { return t.first.first == hwnd; });
}

bool FakeMessageLoop::SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) {
  std::lock_guard lock(fMutex);
  if (fTimersFail || !fWindows.count(hwnd)) return false;
  std::uint32_t period = periodMs == 0 ? 1 : periodMs;
  fTimers[{hwnd, id}] = Timer{period, fNow + period, fTimerOrder++};
  return true;
}

bool FakeMessageLoop::KillTimer(HWND hwnd, std::uintptr_t id) {
  std::lock_guard lock(fMutex);
  return fTimers.erase({hwnd, id}) > 0;
}

bool FakeMessageLoop::PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(fMutex);
  bool ok = fWindows.count(hwnd) > 0;
  fPosts.push_back(Post{hwnd, msg, wParam, lParam, ok});
  if (ok) fQueue.push_back(Queued{hwnd, TMessage{msg, wParam, lParam, 0}});
  fWake.notify_all();
  return ok;
}

void FakeMessageLoop::BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(fMutex);
  for (const auto& [h, proc] : fWindows)
    fQueue.push_back(Queued{h, TMessage{WM_DEVICECHANGE, wParam, lParam, 0}});
  fWake.notify_all();
}

void FakeMessageLoop::Synchronize(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  fSync.Call(fn, [this] {
    std::lock_guard lock(fMutex);
    fWake.notify_all();
  });
}

bool FakeMessageLoop::CheckSynchronize() {
  return fSync.RunPending();
}

std::uintptr_t FakeMessageLoop::WatchReadable(std::intptr_t handle, std::function<void()> fn) {
  std::lock_guard lock(fMutex);
  if (handle < 0) return 0;
  const std::uintptr_t id = fNextWatch++;
  fWatches[id] = {handle, std::make_shared<std::function<void()>>(std::move(fn))};
  return id;
}

void FakeMessageLoop::Unwatch(std::uintptr_t watch) {
  std::lock_guard lock(fMutex);
  fWatches.erase(watch);
}

bool FakeMessageLoop::Watching(std::intptr_t handle) const {
  std::lock_guard lock(fMutex);
  return std::any_of(fWatches.begin(), fWatches.end(),
                     [handle](const auto& w) { return w.second.first == handle; });
}

void FakeMessageLoop::SignalReadable(std::intptr_t handle) {
  std::vector<std::shared_ptr<std::function<void()>>> due;
  {
    std::lock_guard lock(fMutex);
    for (const auto& [id, w] : fWatches)
      if (w.first == handle) due.push_back(w.second);
  }
  for (const auto& fn : due) (*fn)();
  RunUntilIdle();
}

std::shared_ptr<IMessageLoop::WindowProc> FakeMessageLoop::Proc(HWND hwnd) const {
  std::lock_guard lock(fMutex);
  auto it = fWindows.find(hwnd);
  return it == fWindows.end() ? nullptr : it->second;
}

void FakeMessageLoop::Deliver(HWND hwnd, TMessage msg) {
  // The procedure is held by a shared pointer: the window may be destroyed while
  // its own procedure runs.
  if (auto proc = Proc(hwnd)) (*proc)(msg);
}

bool FakeMessageLoop::DeliverOne() {
  Queued q;
  {
    std::lock_guard lock(fMutex);
    if (fQueue.empty()) return false;
    q = fQueue.front();
    fQueue.pop_front();
  }
  Deliver(q.hwnd, q.msg);
  return true;
}

size_t FakeMessageLoop::RunUntilIdle() {
  size_t n = 0;
  for (;;) {
    if (CheckSynchronize()) {
      ++n;
      continue;
    }
    if (!DeliverOne()) break;
    ++n;
  }
  return n;
}

std::uint64_t FakeMessageLoop::GetTickCount64() {
  std::lock_guard lock(fMutex);
  return fNow;
}

void FakeMessageLoop::Sleep(std::uint32_t ms) {
  std::lock_guard lock(fMutex);
  fNow += ms;
}

void FakeMessageLoop::SetTime(std::uint64_t ms) {
  std::lock_guard lock(fMutex);
  for (auto& [key, t] : fTimers) t.due = ms + (t.due - fNow);
  fNow = ms;
}

void FakeMessageLoop::Advance(std::uint64_t ms) {
  RunUntilIdle();
  std::uint64_t target;
  {
    std::lock_guard lock(fMutex);
    target = fNow + ms;
  }
  for (;;) {
    TimerKey key{};
    bool found = false;
    {
      std::lock_guard lock(fMutex);
      const Timer* best = nullptr;
      for (const auto& [k, t] : fTimers) {
        if (t.due > target) continue;
        if (best == nullptr || t.due < best->due || (t.due == best->due && t.order < best->order)) {
          best = &t;
          key = k;
        }
      }
      if (best != nullptr) {
        found = true;
        Timer& t = fTimers[key];
        fNow = t.due;
        t.due += t.period;
      }
    }
    if (!found) break;
    Deliver(key.first, TMessage{WM_TIMER, key.second, 0, 0});
    RunUntilIdle();
  }
  std::lock_guard lock(fMutex);
  fNow = target;
}

bool FakeMessageLoop::PumpUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds realTimeout) {
  auto deadline = std::chrono::steady_clock::now() + realTimeout;
  for (;;) {
    RunUntilIdle();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Short slices: the condition may also change without a post.
    std::unique_lock lock(fMutex);
    fWake.wait_for(lock, std::chrono::milliseconds(5),
                   [this] { return !fQueue.empty() || !fSync.Empty(); });
  }
}

std::vector<FakeMessageLoop::Post> FakeMessageLoop::Posts() const {
  std::lock_guard lock(fMutex);
  return fPosts;
}

void FakeMessageLoop::ClearPosts() {
  std::lock_guard lock(fMutex);
  fPosts.clear();
}

bool FakeMessageLoop::TimerRunning(HWND hwnd, std::uintptr_t id) const {
  std::lock_guard lock(fMutex);
  return fTimers.count({hwnd, id}) > 0;
}

std::uint32_t FakeMessageLoop::TimerPeriod(HWND hwnd, std::uintptr_t id) const {
  std::lock_guard lock(fMutex);
  auto it = fTimers.find({hwnd, id});
  return it == fTimers.end() ? 0 : it->second.period;
}

size_t FakeMessageLoop::WindowCount() const {
  std::lock_guard lock(fMutex);
  return fWindows.size();
}

size_t FakeMessageLoop::QueuedCount() const {
  std::lock_guard lock(fMutex);
  return fQueue.size();
}

}  // namespace lumbra::platform
