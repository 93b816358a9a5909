#pragma once
// Message windows on Qt's event loop (QtCore only). Each window is a QObject
// living in the UI thread; posts become posted events, which Qt delivers in
// posting order per sender and drops when the object is deleted.
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/MessageLoop.h"
#include "platform/SyncCalls.h"

class QObject;
class QSocketNotifier;

namespace lumbra::platform {

class QtMessageLoop final : public IMessageLoop {
 public:
  // Construct on the UI thread after the QCoreApplication exists.
  QtMessageLoop();
  ~QtMessageLoop() override;

  HWND CreateMessageWindow(WindowProc proc) override;
  void DestroyMessageWindow(HWND hwnd) override;
  bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) override;
  bool KillTimer(HWND hwnd, std::uintptr_t id) override;
  void ProcessMessages() override;
  bool ProcessOneMessage() override;
  bool CheckSynchronize() override;
  std::uintptr_t WatchReadable(std::intptr_t handle, std::function<void()> fn) override;
  void Unwatch(std::uintptr_t watch) override;
  bool PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) override;
  void BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) override;
  void Synchronize(const std::function<void()>& fn) override;
  bool IsUiThread() const override { return std::this_thread::get_id() == fUiThread; }

  class Window;

 private:
  Window* Find(HWND hwnd);

  std::thread::id fUiThread;
  std::mutex fMutex;  // guards fWindows and fNext; held while posting
  std::unordered_map<HWND, Window*> fWindows;
  HWND fNext = 1;
  TSyncCalls fSync;
  std::unique_ptr<QObject> fDispatcher;
  std::unordered_map<std::uintptr_t, QSocketNotifier*> fWatches;  // UI thread only
  std::uintptr_t fNextWatch = 1;
};

}  // namespace lumbra::platform
