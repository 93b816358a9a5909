#pragma once
// Message windows: the one way work crosses from other threads into the
// user-interface (UI) thread.
//
// Contract
// - A window is a handle (never 0, never reused) with a window procedure that
//   runs on the UI thread, one message at a time.
// - PostMessage may be called from any thread. It fails (returns false) when the
//   handle does not name a live window; the poster then still owns whatever it
//   meant to hand over in LParam and must release it.
// - Messages a thread posts to one window arrive in the order it posted them.
// - Messages still queued when a window is destroyed are dropped. A dropped
//   message whose LParam was handed over (its kind registered with
//   SetDroppedRelease) is released by the loop, as its receiver would have.
// - Timers are per window and id; each expiry delivers WM_TIMER with the id in
//   WParam. Setting an existing id again restarts it with the new period.
// - BroadcastDeviceChange delivers WM_DEVICECHANGE to every live window.
// - WatchReadable calls its function on the UI thread whenever the system
//   handle (a file descriptor on Linux) has something to read, until
//   Unwatch; the handle stays the caller's, who must read what waits or be
//   called again at once. It returns 0 when the loop cannot watch the handle.
// - ProcessMessages delivers everything queued for the UI thread's windows.
//   Window procedures may call it (handling then nests).
// - Synchronize runs a function on the UI thread and waits for it; on the UI
//   thread it runs the function at once. CheckSynchronize, on the UI thread,
//   runs only the waiting synchronous calls: a UI thread that waits for a worker
//   calls it so that a worker blocked in Synchronize can finish.
// - ProcessOneMessage handles what is waiting (a pending synchronous call or
//   the next message) and reports whether there was anything; a caller that
//   waits for an answer on the UI thread loops on it to stay responsive.
#include <cstdint>
#include <functional>

namespace lumbra::platform {

using HWND = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage {
  std::uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

inline constexpr std::uint32_t WM_TIMER = 0x0113;
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uint32_t WM_USER = 0x0400;

class IMessageLoop {
 public:
  using WindowProc = std::function<void(TMessage&)>;
  virtual ~IMessageLoop() = default;

  // UI thread only.
  virtual HWND CreateMessageWindow(WindowProc proc) = 0;
  virtual void DestroyMessageWindow(HWND hwnd) = 0;
  virtual bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) = 0;
  virtual bool KillTimer(HWND hwnd, std::uintptr_t id) = 0;
  virtual void ProcessMessages() = 0;
  virtual bool ProcessOneMessage() = 0;
  virtual bool CheckSynchronize() = 0;  // true when at least one call ran
  virtual std::uintptr_t WatchReadable(std::intptr_t handle, std::function<void()> fn) = 0;
  virtual void Unwatch(std::uintptr_t watch) = 0;

  // Any thread.
  virtual bool PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual void BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) = 0;
  virtual void Synchronize(const std::function<void()>& fn) = 0;
  virtual bool IsUiThread() const = 0;
};

// Messages whose LParam the receiver owns: msg with wParam names the kind.
// Registering is done before such a message is first posted; any thread.
using DroppedRelease = void (*)(LPARAM);
void SetDroppedRelease(std::uint32_t msg, WPARAM wParam, DroppedRelease release);
// Called by a loop for each message it drops unread.
void ReleaseDropped(const TMessage& m);

// The loop the program (or a test) installed. Installing is done once on the
// UI thread before any window exists; the loop outlives every window.
IMessageLoop& MessageLoop();
void SetMessageLoop(IMessageLoop* loop);
bool HasMessageLoop();

}  // namespace lumbra::platform
