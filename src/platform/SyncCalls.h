#pragma once
// Calls that worker threads hand to the UI thread and wait for: the shared
// part of every message loop's Synchronize.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace lumbra::platform {

class TSyncCalls {
 public:
  // Worker side: queues fn, calls wake so the UI thread looks, and waits until
  // fn has run there; an exception of fn is rethrown here.
  void Call(const std::function<void()>& fn, const std::function<void()>& wake);
  // UI side: runs every queued call; true when at least one ran.
  bool RunPending();
  bool Empty() const;

 private:
  struct Pending {
    std::function<void()> fn;
    bool done = false;
    std::exception_ptr error;
  };
  mutable std::mutex fMutex;
  std::condition_variable fDone;
  std::deque<std::shared_ptr<Pending>> fQueue;
  std::atomic<size_t> fQueued{0};
};

}  // namespace lumbra::platform
