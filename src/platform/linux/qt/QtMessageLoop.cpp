#include "platform/linux/qt/QtMessageLoop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <condition_variable>
#include <cstdio>
#include <exception>

namespace lumbra::platform {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kSyncEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Qt deletes the events still posted to a window that goes: one never
// delivered releases what it carries.
class MessageEvent final : public QEvent {
 public:
  explicit MessageEvent(const TMessage& m) : QEvent(kMessageEvent), msg(m) {}
  ~MessageEvent() override {
    if (!delivered) ReleaseDropped(msg);
  }
  TMessage msg;
  bool delivered = false;
};

class Dispatcher final : public QObject {
 public:
  explicit Dispatcher(QtMessageLoop* loop) : fLoop(loop) {}
  bool event(QEvent* e) override {
    if (e->type() != kSyncEvent) return QObject::event(e);
    fLoop->CheckSynchronize();
    return true;
  }

 private:
  QtMessageLoop* fLoop;
};

}  // namespace

class QtMessageLoop::Window final : public QObject {
 public:
  explicit Window(WindowProc proc) : fProc(std::make_shared<WindowProc>(std::move(proc))) {}

  bool event(QEvent* e) override {
    if (e->type() != kMessageEvent) return QObject::event(e);
    auto* m = static_cast<MessageEvent*>(e);
    m->delivered = true;
    Call(m->msg);
    return true;
  }

  void timerEvent(QTimerEvent* e) override {
    auto it = fQtToId.find(e->timerId());
    if (it == fQtToId.end()) return;
    Call(TMessage{WM_TIMER, it->second, 0, 0});
  }

  bool Start(std::uintptr_t id, std::uint32_t periodMs) {
    Stop(id);
    int qtId = startTimer(static_cast<int>(periodMs));
    if (qtId == 0) return false;
    fQtToId[qtId] = id;
    fIdToQt[id] = qtId;
    return true;
  }

  bool Stop(std::uintptr_t id) {
    auto it = fIdToQt.find(id);
    if (it == fIdToQt.end()) return false;
    killTimer(it->second);
    fQtToId.erase(it->second);
    fIdToQt.erase(it);
    return true;
  }

 private:
  void Call(TMessage msg) {
    // Held by value: the window may be destroyed by its own procedure.
    auto proc = fProc;
    try {
      (*proc)(msg);
    } catch (const std::exception& ex) {
      // Qt cannot carry exceptions through its loop; components route theirs
      // before this point, so reaching here is a defect worth a trace.
      std::fprintf(stderr, "lumbra: unhandled exception in a message window: %s\n", ex.what());
    } catch (...) {
      std::fprintf(stderr, "lumbra: unhandled exception in a message window\n");
    }
  }

  std::shared_ptr<WindowProc> fProc;
  std::unordered_map<int, std::uintptr_t> fQtToId;
  std::unordered_map<std::uintptr_t, int> fIdToQt;
};

QtMessageLoop::QtMessageLoop()
    : fUiThread(std::this_thread::get_id()), fDispatcher(std::make_unique<Dispatcher>(this)) {}

QtMessageLoop::~QtMessageLoop() {
  std::unordered_map<HWND, Window*> windows;
  {
    std::lock_guard lock(fMutex);
    windows.swap(fWindows);
  }
  for (auto& [h, w] : windows) delete w;
  for (auto& [id, n] : fWatches) delete n;
  // Anybody still waiting in Synchronize is let go with its call run here.
  CheckSynchronize();
}

QtMessageLoop::Window* QtMessageLoop::Find(HWND hwnd) {
  auto it = fWindows.find(hwnd);
  return it == fWindows.end() ? nullptr : it->second;
}

HWND QtMessageLoop::CreateMessageWindow(WindowProc proc) {
  auto* w = new Window(std::move(proc));
  std::lock_guard lock(fMutex);
  HWND h = fNext++;
  fWindows[h] = w;
  return h;
}

void QtMessageLoop::DestroyMessageWindow(HWND hwnd) {
  Window* w = nullptr;
  {
    std::lock_guard lock(fMutex);
    w = Find(hwnd);
    fWindows.erase(hwnd);
  }
  delete w;  // Qt drops the events still posted to it
}

bool QtMessageLoop::SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) {
  std::lock_guard lock(fMutex);
  Window* w = Find(hwnd);
  return w != nullptr && w->Start(id, periodMs);
}

bool QtMessageLoop::KillTimer(HWND hwnd, std::uintptr_t id) {
  std::lock_guard lock(fMutex);
  Window* w = Find(hwnd);
  return w != nullptr && w->Stop(id);
}

void QtMessageLoop::ProcessMessages() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool QtMessageLoop::ProcessOneMessage() {
  // Qt hands out what is pending as a batch; what matters to the caller is
  // whether anything was there.
  if (CheckSynchronize()) return true;
  auto* dispatcher = QAbstractEventDispatcher::instance();
  return dispatcher != nullptr && dispatcher->processEvents(QEventLoop::AllEvents);
}

bool QtMessageLoop::PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  // The lock is held across postEvent so that a window cannot be deleted
  // between the look-up and the post.
  std::lock_guard lock(fMutex);
  Window* w = Find(hwnd);
  if (w == nullptr) return false;
  QCoreApplication::postEvent(w, new MessageEvent(TMessage{msg, wParam, lParam, 0}));
  return true;
}

void QtMessageLoop::BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(fMutex);
  for (auto& [h, w] : fWindows)
    QCoreApplication::postEvent(w, new MessageEvent(TMessage{WM_DEVICECHANGE, wParam, lParam, 0}));
}

void QtMessageLoop::Synchronize(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  fSync.Call(fn,
             [this] { QCoreApplication::postEvent(fDispatcher.get(), new QEvent(kSyncEvent)); });
}

bool QtMessageLoop::CheckSynchronize() {
  return fSync.RunPending();
}

std::uintptr_t QtMessageLoop::WatchReadable(std::intptr_t handle, std::function<void()> fn) {
  if (handle < 0) return 0;
  auto* n = new QSocketNotifier(static_cast<qintptr>(handle), QSocketNotifier::Read);
  QObject::connect(n, &QSocketNotifier::activated, n, [fn = std::move(fn)] {
    try {
      fn();
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "lumbra: unhandled exception in a descriptor watch: %s\n", ex.what());
    } catch (...) {
      std::fprintf(stderr, "lumbra: unhandled exception in a descriptor watch\n");
    }
  });
  const std::uintptr_t id = fNextWatch++;
  fWatches[id] = n;
  return id;
}

void QtMessageLoop::Unwatch(std::uintptr_t watch) {
  auto it = fWatches.find(watch);
  if (it == fWatches.end()) return;
  // The watcher may be the one calling: the notifier goes once it has returned.
  it->second->setEnabled(false);
  it->second->deleteLater();
  fWatches.erase(it);
}

}  // namespace lumbra::platform
