#include "comm/ReleasableThread.h"

#include <chrono>
#include <thread>

#include "platform/MessageLoop.h"

namespace lumbra {

TReleasableThread::TReleasableThread() : hCloseEvent(platform::SerialBackend().CreateEvent()) {}

TReleasableThread::~TReleasableThread() { hCloseEvent.reset(); }

void TReleasableThread::Start() {
  if (fStarted.exchange(true)) return;
  std::shared_ptr<TReleasableThread> self = shared_from_this();
  std::thread([self] {
    try {
      self->Execute();
    } catch (...) {
      // Bodies report their own failures; nothing may escape a thread.
    }
    {
      std::lock_guard lock(self->fMutex);
      self->fFinished = true;
    }
    self->fDone.notify_all();
  }).detach();
}

void TReleasableThread::ReleaseThread() {
  hCloseEvent->Set();
  fTerminated.store(true);
}

bool TReleasableThread::Finished() const {
  std::lock_guard lock(fMutex);
  return fFinished;
}

bool TReleasableThread::WaitFor(std::uint32_t ms) {
  if (!fStarted.load()) return true;
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(ms);
  const bool serveUi = platform::HasMessageLoop() && platform::MessageLoop().IsUiThread();
  for (;;) {
    if (serveUi) platform::MessageLoop().CheckSynchronize();
    std::unique_lock lock(fMutex);
    if (fFinished) return true;
    auto now = steady_clock::now();
    if (now >= deadline) return false;
    // Short slices: a synchronous call from the body does not wake this wait.
    auto slice = serveUi ? milliseconds(2) : duration_cast<milliseconds>(deadline - now);
    fDone.wait_until(lock, std::min(deadline, now + slice), [this] { return fFinished; });
  }
}

}  // namespace lumbra
