// Process-wide accessors of the installed platform services.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/Exceptions.h"
#include "platform/Clock.h"
#include "platform/Keyboard.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"

namespace lumbra::platform {
namespace {

std::atomic<IMessageLoop*> gLoop{nullptr};
std::atomic<IClock*> gClock{nullptr};
std::atomic<IMessageBox*> gBox{nullptr};
std::atomic<IKeyboard*> gKeyboard{nullptr};

class SteadyClock final : public IClock {
 public:
  std::uint32_t GetTickCount() override { return static_cast<std::uint32_t>(GetTickCount64()); }
  std::uint64_t GetTickCount64() override {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
  void Sleep(std::uint32_t ms) override {
    if (ms == 0)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

class StderrMessageBox final : public IMessageBox {
 public:
  void Show(const std::string& text, const std::string& caption, MessageKind) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
};

}  // namespace

IMessageLoop& MessageLoop() {
  IMessageLoop* loop = gLoop.load();
  if (loop == nullptr) throw Exception("No message loop installed");
  return *loop;
}
void SetMessageLoop(IMessageLoop* loop) { gLoop.store(loop); }
bool HasMessageLoop() { return gLoop.load() != nullptr; }

IClock& Clock() {
  static SteadyClock steady;
  IClock* clock = gClock.load();
  return clock != nullptr ? *clock : steady;
}
void SetClock(IClock* clock) { gClock.store(clock); }

IMessageBox& MessageBoxes() {
  static StderrMessageBox fallback;
  IMessageBox* box = gBox.load();
  return box != nullptr ? *box : fallback;
}
void SetMessageBox(IMessageBox* box) { gBox.store(box); }

IKeyboard& Keyboard() {
  static UnavailableKeyboard none("no keyboard output is installed");
  IKeyboard* keyboard = gKeyboard.load();
  return keyboard != nullptr ? *keyboard : none;
}
void SetKeyboard(IKeyboard* keyboard) { gKeyboard.store(keyboard); }

}  // namespace lumbra::platform
