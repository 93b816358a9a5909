#include "platform/SyncCalls.h"

namespace lumbra::platform {

void TSyncCalls::Call(const std::function<void()>& fn, const std::function<void()>& wake) {
  auto call = std::make_shared<Pending>();
  call->fn = fn;
  {
    std::lock_guard lock(fMutex);
    fQueue.push_back(call);
  }
  wake();
  std::unique_lock lock(fMutex);
  fDone.wait(lock, [&] { return call->done; });
  if (call->error) std::rethrow_exception(call->error);
}

bool TSyncCalls::RunPending() {
  bool any = false;
  for (;;) {
    std::shared_ptr<Pending> call;
    {
      std::lock_guard lock(fMutex);
      if (fQueue.empty()) break;
      call = fQueue.front();
      fQueue.pop_front();
    }
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
  return any;
}

bool TSyncCalls::Empty() const {
  std::lock_guard lock(fMutex);
  return fQueue.empty();
}

}  // namespace lumbra::platform
