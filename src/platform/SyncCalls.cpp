#include "platform/SyncCalls.h"

namespace lumbra::platform {

void TSyncCalls::Call(const std::function<void()>& fn, const std::function<void()>& wake) {
  auto call = std::make_shared<Pending>();
  call->fn = fn;
  {
    std::lock_guard lock(fMutex);
    fQueue.push_back(call);
    fQueued.store(fQueue.size());
  }
  wake();
  std::unique_lock lock(fMutex);
  fDone.wait(lock, [&] { return call->done; });
  if (call->error) std::rethrow_exception(call->error);
}

bool TSyncCalls::RunPending() {
  bool any = false;
  // The queue is looked at without the lock: a worker just let go takes the
  // lock to return, and the UI thread must not then block on it (one more
  // thread switch for every call, on every received block).
  while (fQueued.load() > 0) {
    std::deque<std::shared_ptr<Pending>> batch;
    {
      std::lock_guard lock(fMutex);
      batch.swap(fQueue);
      fQueued.store(0);
    }
    for (auto& call : batch) {
      try {
        call->fn();
      } catch (...) {
        call->error = std::current_exception();
      }
      {
        std::lock_guard lock(fMutex);
        call->done = true;
      }
      fDone.notify_all();
      any = true;
    }
  }
  return any;
}

bool TSyncCalls::Empty() const {
  std::lock_guard lock(fMutex);
  return fQueue.empty();
}

}  // namespace lumbra::platform
