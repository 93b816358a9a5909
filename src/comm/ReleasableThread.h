#pragma once
// Base of worker threads that block on a device and must be woken to stop.
// The body waits on hCloseEvent together with its device, so ReleaseThread
// wakes it even while it is blocked.
//
// Lifetime: the running body holds a reference to its own object, so the
// object lives until both the owner has dropped it and the body has ended;
// an owner that stops waiting early (StopPort gives up after 1000 ms) never
// leaves the thread with a dangling object.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/SerialPort.h"

namespace lumbra {

class TReleasableThread : public std::enable_shared_from_this<TReleasableThread> {
 public:
  // The close event comes from the serial backend, so that devices can wait on
  // it; the thread itself starts only with Start().
  TReleasableThread();
  virtual ~TReleasableThread();
  TReleasableThread(const TReleasableThread&) = delete;
  TReleasableThread& operator=(const TReleasableThread&) = delete;

  // Starts the body on a thread of its own (once).
  void Start();
  // Signals hCloseEvent, then sets the terminate request; any thread.
  void ReleaseThread();
  bool Terminated() const { return fTerminated.load(); }
  bool Finished() const;
  // Waits at most ms for the body to end. On the UI thread it keeps running
  // pending synchronous calls, so a body blocked in one can finish.
  bool WaitFor(std::uint32_t ms);

  platform::IWaitableEvent& CloseEvent() { return *hCloseEvent; }

 protected:
  virtual void Execute() = 0;
  std::unique_ptr<platform::IWaitableEvent> hCloseEvent;

 private:
  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fStarted{false};
  mutable std::mutex fMutex;
  std::condition_variable fDone;
  bool fFinished = false;
};

}  // namespace lumbra
