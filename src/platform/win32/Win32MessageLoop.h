#pragma once
// Message windows on the Win32 message queue: each one is a real hidden
// top-level window (top-level, so the system's device-change broadcasts reach
// it) whose window procedure calls the object's function. Posts are
// PostMessageW, timers SetTimer, and the queue is drained with PeekMessageW.
#include <mutex>
#include <set>
#include <thread>

#include "platform/MessageLoop.h"
#include "platform/SyncCalls.h"

namespace lumbra::platform::win32 {

class Win32MessageLoop final : public IMessageLoop {
 public:
  // Construct on the UI thread; destroy there after every window is gone.
  Win32MessageLoop();
  ~Win32MessageLoop() override;

  HWND CreateMessageWindow(WindowProc proc) override;
  void DestroyMessageWindow(HWND hwnd) override;
  bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) override;
  bool KillTimer(HWND hwnd, std::uintptr_t id) override;
  void ProcessMessages() override;
  bool ProcessOneMessage() override;
  bool CheckSynchronize() override;
  // Not offered: nothing on Windows waits on a readable handle here.
  std::uintptr_t WatchReadable(std::intptr_t handle, std::function<void()> fn) override;
  void Unwatch(std::uintptr_t watch) override;
  bool PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) override;
  void BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) override;
  void Synchronize(const std::function<void()>& fn) override;
  bool IsUiThread() const override { return std::this_thread::get_id() == fUiThread; }

  // Runs until Quit, for the program's main loop.
  void Run();
  void Quit();

  struct Window;

 private:
  std::thread::id fUiThread;
  std::mutex fMutex;  // guards fWindows
  std::set<HWND> fWindows;
  HWND fWaker = 0;  // the loop's own window, woken for synchronous calls
  TSyncCalls fSync;
};

}  // namespace lumbra::platform::win32
