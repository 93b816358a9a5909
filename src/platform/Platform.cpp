// Process-wide accessors of the installed platform services.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Exceptions.h"
#include "platform/Autostart.h"
#include "platform/ClaimTable.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Foreground.h"
#include "platform/Hid.h"
#include "platform/Keyboard.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/SerialDeviceTable.h"
#include "platform/SerialPort.h"
#include "platform/Sound.h"

namespace lumbra::platform {
namespace {

std::atomic<IMessageLoop*> gLoop{nullptr};
std::atomic<IClock*> gClock{nullptr};
std::atomic<IMessageBox*> gBox{nullptr};
std::atomic<IKeyboard*> gKeyboard{nullptr};
std::atomic<IEnvironment*> gEnv{nullptr};
std::atomic<IAutostart*> gAutostart{nullptr};
std::atomic<IForeground*> gForeground{nullptr};
std::atomic<ISound*> gSound{nullptr};

class NoForeground final : public IForeground {
 public:
  ForegroundWindow Current() override { return 0; }
  void Restore(ForegroundWindow) override {}
};

class Silence final : public ISound {
 public:
  void Beep() override {}
  void PlayWaveFile(const std::string&) override {}
};

template <class T>
T& Required(const std::atomic<T*>& slot, const char* what) {
  T* p = slot.load();
  if (p == nullptr) throw Exception(std::string("No ") + what + " installed");
  return *p;
}
std::atomic<ISerialBackend*> gSerial{nullptr};
std::atomic<ISerialDeviceTable*> gTable{nullptr};

class NoSerialDeviceTable final : public ISerialDeviceTable {
 public:
  bool Read(std::vector<SerialDeviceEntry>& entries) override {
    entries.clear();
    return false;
  }
};

std::atomic<IHidBackend*> gHid{nullptr};
std::atomic<IClaimTableBackend*> gClaims{nullptr};

class NoHid final : public IHidBackend {
 public:
  std::vector<HidDeviceInfo> Enumerate() override { return {}; }
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo&, std::string& error) override {
    error = "no HID backend is installed";
    return nullptr;
  }
  void Watch() override {}
  void Unwatch() override {}
};

class NoClaimTables final : public IClaimTableBackend {
 public:
  std::unique_ptr<IClaimTable> Open(const std::string&, std::size_t) override { return nullptr; }
};

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

namespace {

struct DroppedKind {
  std::uint32_t msg;
  WPARAM wParam;
  DroppedRelease release;
};
std::mutex gDroppedMutex;
std::vector<DroppedKind> gDroppedKinds;

}  // namespace

void SetDroppedRelease(std::uint32_t msg, WPARAM wParam, DroppedRelease release) {
  std::lock_guard lock(gDroppedMutex);
  for (auto& k : gDroppedKinds)
    if (k.msg == msg && k.wParam == wParam) {
      k.release = release;
      return;
    }
  gDroppedKinds.push_back({msg, wParam, release});
}

void ReleaseDropped(const TMessage& m) {
  DroppedRelease release = nullptr;
  {
    std::lock_guard lock(gDroppedMutex);
    for (const auto& k : gDroppedKinds)
      if (k.msg == m.Msg && k.wParam == m.WParam) release = k.release;
  }
  if (release != nullptr) release(m.LParam);
}

IMessageLoop& MessageLoop() {
  IMessageLoop* loop = gLoop.load();
  if (loop == nullptr) throw Exception("No message loop installed");
  return *loop;
}
void SetMessageLoop(IMessageLoop* loop) {
  gLoop.store(loop);
}
bool HasMessageLoop() {
  return gLoop.load() != nullptr;
}

IClock& Clock() {
  static SteadyClock steady;
  IClock* clock = gClock.load();
  return clock != nullptr ? *clock : steady;
}
void SetClock(IClock* clock) {
  gClock.store(clock);
}

IMessageBox& MessageBoxes() {
  static StderrMessageBox fallback;
  IMessageBox* box = gBox.load();
  return box != nullptr ? *box : fallback;
}
void SetMessageBox(IMessageBox* box) {
  gBox.store(box);
}

IKeyboard& Keyboard() {
  static UnavailableKeyboard none("no keyboard output is installed");
  IKeyboard* keyboard = gKeyboard.load();
  return keyboard != nullptr ? *keyboard : none;
}
void SetKeyboard(IKeyboard* keyboard) {
  gKeyboard.store(keyboard);
}

IEnvironment& Environment() {
  return Required(gEnv, "environment");
}
void SetEnvironment(IEnvironment* env) {
  gEnv.store(env);
}

IAutostart& Autostart() {
  return Required(gAutostart, "autostart store");
}
void SetAutostart(IAutostart* autostart) {
  gAutostart.store(autostart);
}

IForeground& Foreground() {
  static NoForeground none;
  IForeground* fg = gForeground.load();
  return fg != nullptr ? *fg : none;
}
void SetForeground(IForeground* fg) {
  gForeground.store(fg);
}

ISound& Sound() {
  static Silence silence;
  ISound* s = gSound.load();
  return s != nullptr ? *s : silence;
}
void SetSound(ISound* sound) {
  gSound.store(sound);
}

ISerialBackend& SerialBackend() {
  ISerialBackend* backend = gSerial.load();
  if (backend == nullptr) throw Exception("No serial port backend installed");
  return *backend;
}
void SetSerialBackend(ISerialBackend* backend) {
  gSerial.store(backend);
}
bool HasSerialBackend() {
  return gSerial.load() != nullptr;
}

ISerialDeviceTable& SerialDeviceTable() {
  static NoSerialDeviceTable none;
  ISerialDeviceTable* table = gTable.load();
  return table != nullptr ? *table : none;
}
void SetSerialDeviceTable(ISerialDeviceTable* table) {
  gTable.store(table);
}

IHidBackend& HidBackend() {
  static NoHid none;
  IHidBackend* backend = gHid.load();
  return backend != nullptr ? *backend : none;
}
void SetHidBackend(IHidBackend* backend) {
  gHid.store(backend);
}

IClaimTableBackend& ClaimTables() {
  static NoClaimTables none;
  IClaimTableBackend* backend = gClaims.load();
  return backend != nullptr ? *backend : none;
}
void SetClaimTableBackend(IClaimTableBackend* backend) {
  gClaims.store(backend);
}

}  // namespace lumbra::platform
