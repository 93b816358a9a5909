#include "platform/fake/FakeSerial.h"

#include <algorithm>
#include <cstring>

namespace lumbra::platform {
namespace {

class FakeEvent final : public IWaitableEvent {
 public:
  explicit FakeEvent(FakeSerialBackend& b) : fBackend(b) {}
  void Set() override {
    std::lock_guard lock(fBackend.mutex);
    fSet = true;
    fBackend.changed.notify_all();
  }
  void Reset() override {
    std::lock_guard lock(fBackend.mutex);
    fSet = false;
  }
  bool IsSet() const override {
    std::lock_guard lock(fBackend.mutex);
    return fSet;
  }
  bool SetLocked() const { return fSet; }

 private:
  FakeSerialBackend& fBackend;
  bool fSet = false;
};

class FakeDevice final : public ISerialDevice {
 public:
  explicit FakeDevice(std::shared_ptr<FakeSerialPort> port) : fPort(std::move(port)) {}
  ~FakeDevice() override {
    std::lock_guard lock(Mutex());
    fPort->open = false;
    if (!fPort->unsent.empty()) fPort->closedWithUnsent = true;
  }

  bool Apply(const SerialSettings& s) override {
    if (s.dataBits < 5 || s.dataBits > 8) return Fail("not supported");
    std::lock_guard lock(Mutex());
    fPort->settings = s;
    return true;
  }
  bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
  bool SetEventMask(std::uint32_t mask) override {
    fMask = mask;
    return true;
  }
  WaitResult WaitEvent(IWaitableEvent& stop, std::uint32_t& events) override {
    auto* ev = dynamic_cast<FakeEvent*>(&stop);
    events = 0;
    std::unique_lock lock(Mutex());
    for (;;) {
      if (ev == nullptr || ev->SetLocked()) return WaitResult::Stopped;
      if (fPort->failingWaits > 0) {
        --fPort->failingWaits;
        fError = fPort->waitFailure;
        return WaitResult::Failed;
      }
      if ((fMask & kEvRxChar) && fPort->arrived > fPort->announced) {
        fPort->announced = fPort->arrived;
        events = kEvRxChar;
        if (fPort->errors != 0) events |= fMask & kEvError;
        return WaitResult::Event;
      }
      if (fPort->lost) {
        fError = "the device was disconnected";
        return WaitResult::Lost;
      }
      fPort->backend->changed.wait(lock);
    }
  }
  int Read(void* buf, int count) override {
    std::lock_guard lock(Mutex());
    if (fPort->lost && fPort->input.empty()) return Fail("Input/output error"), -1;
    const size_t n = std::min(static_cast<size_t>(count), fPort->input.size());
    std::memcpy(buf, fPort->input.data(), n);
    fPort->input.erase(0, n);
    return static_cast<int>(n);
  }
  int Write(const void* buf, int len) override {
    std::lock_guard lock(Mutex());
    if (fPort->lost) return Fail("Input/output error"), -1;
    if (fPort->stalled) return Fail("output queue full"), -1;
    (fPort->holdOutput ? fPort->unsent : fPort->written)
        .append(static_cast<const char*>(buf), static_cast<size_t>(len));
    return len;
  }
  bool QueryStatus(SerialStatus& status) override {
    std::lock_guard lock(Mutex());
    status.inQueue = static_cast<std::uint32_t>(fPort->input.size());
    status.outQueue = static_cast<std::uint32_t>(fPort->unsent.size());
    status.errors = fPort->errors;
    fPort->errors = 0;
    return true;
  }
  bool PurgeIn() override {
    std::lock_guard lock(Mutex());
    fPort->input.clear();
    return true;
  }
  bool PurgeOut() override {
    std::lock_guard lock(Mutex());
    fPort->unsent.clear();
    return true;
  }
  std::uint32_t OutputPending() override {
    std::lock_guard lock(Mutex());
    return static_cast<std::uint32_t>(fPort->unsent.size());
  }
  bool SetDTR(bool on) override { return Line(fPort->dtr, on); }
  bool SetRTS(bool on) override { return Line(fPort->rts, on); }
  bool SetBreak(bool) override {
    std::lock_guard lock(Mutex());
    return fPort->hasModemLines || Fail("not supported");
  }
  std::string LastError() const override { return fError; }
  bool Lost() const override {
    std::lock_guard lock(fPort->backend->mutex);
    return fPort->lost;
  }

 private:
  std::mutex& Mutex() { return fPort->backend->mutex; }
  bool Fail(const std::string& e) {
    fError = e;
    return false;
  }
  bool Line(bool& line, bool on) {
    std::lock_guard lock(Mutex());
    if (!fPort->hasModemLines) return Fail("not supported");
    line = on;
    return true;
  }
  std::shared_ptr<FakeSerialPort> fPort;
  std::uint32_t fMask = 0;
  std::string fError;
};

}  // namespace

void FakeSerialPort::Receive(const std::string& bytes) {
  std::lock_guard lock(backend->mutex);
  input += bytes;
  arrived += bytes.size();
  backend->changed.notify_all();
}

void FakeSerialPort::SendHeld() {
  std::lock_guard lock(backend->mutex);
  written += unsent;
  unsent.clear();
}

void FakeSerialPort::HangUp() {
  std::lock_guard lock(backend->mutex);
  lost = true;
  backend->changed.notify_all();
}

void FakeSerialPort::SetErrors(std::uint32_t e) {
  std::lock_guard lock(backend->mutex);
  errors |= e;
}

std::string FakeSerialPort::Written() const {
  std::lock_guard lock(backend->mutex);
  return written;
}

SerialSettings FakeSerialPort::LastSettings() const {
  std::lock_guard lock(backend->mutex);
  return settings;
}

bool FakeSerialPort::IsOpen() const {
  std::lock_guard lock(backend->mutex);
  return open;
}

int FakeSerialPort::OpenCount() const {
  std::lock_guard lock(backend->mutex);
  return opens;
}

void FakeSerialBackend::Install() {
  SetSerialBackend(this);
  fInstalled = true;
}

FakeSerialBackend::~FakeSerialBackend() {
  if (fInstalled) SetSerialBackend(nullptr);
}

std::shared_ptr<FakeSerialPort> FakeSerialBackend::AddPort(const std::string& path) {
  auto port = std::make_shared<FakeSerialPort>();
  port->backend = this;
  std::lock_guard lock(mutex);
  fPorts[path] = port;
  return port;
}

std::shared_ptr<FakeSerialPort> FakeSerialBackend::Port(const std::string& path) const {
  auto it = fPorts.find(path);
  return it == fPorts.end() ? nullptr : it->second;
}

int FakeSerialBackend::OpenAttempts(const std::string& path) {
  std::lock_guard lock(mutex);
  return fAttempts[path];
}

std::unique_ptr<IWaitableEvent> FakeSerialBackend::CreateEvent() {
  return std::make_unique<FakeEvent>(*this);
}

std::string FakeSerialBackend::DevicePath(const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  return "/dev/" + name;
}

std::unique_ptr<ISerialDevice> FakeSerialBackend::Open(const std::string& path,
                                                       std::string& error) {
  std::lock_guard lock(mutex);
  ++fAttempts[path];
  auto it = fPorts.find(path);
  if (it == fPorts.end()) {
    error = "No such file or directory";
    return nullptr;
  }
  FakeSerialPort& port = *it->second;
  if (!port.openError.empty()) {
    error = port.openError;
    return nullptr;
  }
  if (port.open) {
    error = "Device or resource busy";
    return nullptr;
  }
  port.open = true;
  ++port.opens;
  port.announced = port.arrived;
  return std::make_unique<FakeDevice>(it->second);
}

void FakeSerialDeviceTable::Install() {
  SetSerialDeviceTable(this);
  fInstalled = true;
}

FakeSerialDeviceTable::~FakeSerialDeviceTable() {
  if (fInstalled) SetSerialDeviceTable(nullptr);
}

bool FakeSerialDeviceTable::Read(std::vector<SerialDeviceEntry>& out) {
  out.clear();
  if (!readable) return false;
  out = entries;
  return true;
}

}  // namespace lumbra::platform
