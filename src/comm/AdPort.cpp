#include "comm/AdPort.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "base/AppException.h"
#include "comm/DeviceMessages.h"
#include "comm/PortDiscovery.h"
#include "comm/ReleasableThread.h"
#include "platform/SerialPort.h"

namespace lumbra {
namespace {

constexpr std::uint32_t WM_APD_AVAIL = platform::WM_USER + 600;
constexpr std::uint32_t WM_APD_LINE_ERROR = platform::WM_USER + 601;
constexpr std::uint32_t kStopWaitMs = 1000;

}  // namespace

// Shared by the port and its reader thread, so that neither outlives what it uses.
//
// The write path and the reader thread both reach the device through its slot,
// and use it only under `io` while it is there. The thread empties the slot
// when the device is lost, the port when it closes, so a write never touches a
// device being torn down, and a write after a loss fails cleanly. The thread's
// wait alone runs without `io` (a close must be able to wake it), on the
// thread's own reference.
struct TApdComPort::Shared {
  platform::HWND window = 0;
  std::size_t inSize = 0;

  std::mutex io;
  std::shared_ptr<platform::ISerialDevice> device;  // empty once lost or closed
  std::string lostReason;                           // why the thread let it go

  std::mutex mutex;
  std::condition_variable space;
  std::string input;
  bool availPending = false;
  bool stopping = false;

  // Takes the device out of the slot. Its output may drain for drainMs, and
  // what is left is discarded, so that releasing it never waits for bytes the
  // device cannot send.
  std::shared_ptr<platform::ISerialDevice> Release(const std::string& reason,
                                                   std::uint32_t drainMs) {
    std::lock_guard lock(io);
    std::shared_ptr<platform::ISerialDevice> d = std::move(device);
    if (d) {
      platform::DrainOutput(*d, drainMs);
      lostReason = reason;
    }
    return d;
  }
};

class TApdComPort::Reader final : public TReleasableThread {
 public:
  Reader(std::shared_ptr<Shared> s, std::shared_ptr<platform::ISerialDevice> device)
      : fS(std::move(s)), fDevice(std::move(device)) {}
  void Stop() {
    ReleaseThread();
    std::lock_guard lock(fS->mutex);
    fS->stopping = true;
    fS->space.notify_all();
  }

 protected:
  void Execute() override {
    std::vector<char> buf(fS->inSize);
    bool failedBefore = false;
    while (!Terminated()) {
      std::uint32_t events = 0;
      platform::WaitResult r = fDevice->WaitEvent(*hCloseEvent, events);
      if (r == platform::WaitResult::Stopped) break;
      if (r == platform::WaitResult::Lost) {
        Lose(fDevice->LastError());
        break;
      }
      if (r == platform::WaitResult::Failed) {
        // A wait that fails twice in a row will keep failing: the port is as
        // good as gone.
        if (failedBefore) {
          Lose(fDevice->LastError());
          break;
        }
        failedBefore = true;
        continue;
      }
      failedBefore = false;
      if (events & (platform::kEvError | platform::kEvBreak)) {
        platform::SerialStatus st;
        bool ok;
        {
          std::lock_guard lock(fS->io);
          ok = fS->device && fDevice->QueryStatus(st);
        }
        if (ok && st.errors != 0) Post(WM_APD_LINE_ERROR, st.errors);
      }
      if (events & platform::kEvRxChar) ReadAll(buf);
    }
    fDevice.reset();
  }

 private:
  // The device is let go before the loss is told, so that a write that
  // follows the notification already finds the port lost. One line error
  // reports it, unless the port was being closed anyway; then the thread ends.
  void Lose(const std::string& reason) {
    const bool wasInUse =
        fS->Release(reason.empty() ? "the device was disconnected" : reason, 0) != nullptr;
    fDevice.reset();
    if (wasInUse) Post(WM_APD_LINE_ERROR, platform::kCeIOE);
  }
  void Post(std::uint32_t msg, std::uint32_t wParam) {
    platform::MessageLoop().PostMessage(fS->window, msg, wParam, 0);
  }
  void ReadAll(std::vector<char>& buf) {
    for (;;) {
      std::size_t room;
      {
        std::unique_lock lock(fS->mutex);
        // A full input buffer is emptied by the UI thread; until then the
        // bytes stay with the driver.
        fS->space.wait(lock, [&] { return fS->stopping || fS->input.size() < fS->inSize; });
        if (fS->stopping) return;
        room = fS->inSize - fS->input.size();
      }
      int n;
      {
        std::lock_guard lock(fS->io);
        n = fS->device ? fDevice->Read(buf.data(), static_cast<int>(room)) : 0;
      }
      if (n <= 0) return;
      bool post = false;
      {
        std::lock_guard lock(fS->mutex);
        fS->input.append(buf.data(), static_cast<std::size_t>(n));
        post = !fS->availPending;
        fS->availPending = true;
      }
      if (post) Post(WM_APD_AVAIL, 0);
    }
  }
  std::shared_ptr<Shared> fS;
  // The thread's own reference, for the wait, which is made without `io`.
  std::shared_ptr<platform::ISerialDevice> fDevice;
};

TApdComPort::TApdComPort(TComponent* AOwner) : TCustomWindowedComponent(AOwner) {}

TApdComPort::~TApdComPort() {
  CloseDevice();
}

void TApdComPort::SetComNumber(std::int32_t value) {
  if (value < 0 || value > 65535)
    throw ERangeError("Port number " + std::to_string(value) + " out of range");
  if (value == fComNumber && fPath.empty()) return;
  const bool wasOpen = Open();
  if (wasOpen) CloseDevice();
  fComNumber = static_cast<std::uint16_t>(value);
  fPath.clear();
  if (wasOpen) SetOpen(true);
}

void TApdComPort::SetPortName(const std::string& text) {
  const bool isCom = text.size() > 3 && SameText(text.substr(0, 3), "COM") &&
                     text.find_first_not_of("0123456789", 3) == std::string::npos;
  if (isCom) {
    SetComNumber(ComNumberFromText(text));
    return;
  }
  if (text == fPath) return;
  const bool wasOpen = Open();
  if (wasOpen) CloseDevice();
  fPath = text;
  fComNumber = 0;
  if (wasOpen) SetOpen(true);
}

bool TApdComPort::Lost() const {
  if (!fShared) return false;
  std::lock_guard lock(fShared->io);
  return fShared->device == nullptr;
}

void TApdComPort::SetOpen(bool value) {
  if (value == Open()) return;
  if (value)
    OpenDevice();
  else
    CloseDevice();
}

void TApdComPort::OpenDevice() {
  if (fPath.empty() && fComNumber == 0) throw EApdPortError("No port number set");
  const std::string path =
      fPath.empty() ? platform::SerialBackend().DevicePath("COM" + std::to_string(fComNumber))
                    : platform::SerialBackend().DevicePath(fPath);
  std::string error;
  std::shared_ptr<platform::ISerialDevice> device = platform::SerialBackend().Open(path, error);
  if (!device) throw EApdPortError("error " + path + " Comm port busy or not available: " + error);
  platform::SerialSettings s;
  s.baudRate = Baud;
  s.dataBits = 8;
  s.parity = 0;
  s.stopBits = 0;
  s.flags = platform::kFlagBinary | platform::kFlagDtrOn | platform::kFlagRtsOn;
  if (!device->Apply(s) || !device->SetQueueSizes(InSize, OutSize) ||
      !device->SetEventMask(platform::kEvRxChar | platform::kEvError | platform::kEvBreak))
    throw EApdPortError("Port " + path + ": " + device->LastError());
  auto shared = std::make_shared<Shared>();
  shared->device = device;
  shared->window = Handle();
  shared->inSize = InSize;
  auto reader = std::make_shared<Reader>(shared, std::move(device));
  fShared = shared;
  fReader = reader;
  reader->Start();
}

void TApdComPort::CloseDevice() {
  if (!fShared) return;
  // The last commands may go out, for a short while; then unsent output goes:
  // a serial driver may otherwise hold the close for its closing time (up to
  // 30 s) while it tries to send it.
  std::shared_ptr<platform::ISerialDevice> device =
      fShared->Release("Port closed", platform::kCloseDrainMs);
  std::shared_ptr<Reader> reader = std::move(fReader);
  if (reader) {
    reader->Stop();
    reader->WaitFor(kStopWaitMs);
  }
  fShared.reset();
}

void TApdComPort::PutString(const AnsiString& bytes) {
  if (!fShared) throw EApdPortError("Port not open");
  if (bytes.empty()) return;
  Shared& s = *fShared;
  std::lock_guard lock(s.io);
  if (!s.device) throw EApdPortError("Port lost: " + s.lostReason);
  if (s.device->Write(bytes.data(), static_cast<int>(bytes.size())) !=
      static_cast<int>(bytes.size()))
    throw EApdPortError("Port write failed: " + s.device->LastError());
}

void TApdComPort::GetBlock(void* buffer, std::size_t n) {
  if (!fShared) throw EApdPortError("Port not open");
  std::lock_guard lock(fShared->mutex);
  if (fShared->input.size() < n) throw EApdPortError("Not enough bytes in the input buffer");
  fShared->input.copy(static_cast<char*>(buffer), n);
  fShared->input.erase(0, n);
  fShared->space.notify_all();
}

std::size_t TApdComPort::InBuffUsed() const {
  if (!fShared) return 0;
  std::lock_guard lock(fShared->mutex);
  return fShared->input.size();
}

void TApdComPort::Avail() {
  std::shared_ptr<Shared> s = fShared;
  if (!s) return;
  std::size_t count;
  {
    std::lock_guard lock(s->mutex);
    count = std::min<std::size_t>(s->input.size(), 65535);
  }
  if (count > 0 && OnTriggerAvail) {
    try {
      OnTriggerAvail(this, static_cast<std::uint16_t>(count));
    } catch (...) {
      // The port goes on delivering; the error is shown as any other.
      HandleCurrentException(this);
    }
  }
  bool again;
  {
    std::lock_guard lock(s->mutex);
    if (!OnTriggerAvail) s->input.clear();
    again = !s->input.empty() && fShared == s;
    s->availPending = again;
  }
  if (again) platform::MessageLoop().PostMessage(s->window, WM_APD_AVAIL, 0, 0);
}

void TApdComPort::DoMessage(TMessage& Msg, bool& Handled) {
  if (Msg.Msg == WM_APD_AVAIL) {
    Handled = true;
    Avail();
  } else if (Msg.Msg == WM_APD_LINE_ERROR) {
    Handled = true;
    if (fShared && OnTriggerLineError) {
      const auto errors = static_cast<std::uint16_t>(Msg.WParam);
      OnTriggerLineError(this, errors, (Msg.WParam & platform::kCeBreak) != 0);
    }
  } else {
    TCustomWindowedComponent::DoMessage(Msg, Handled);
  }
}

// --------------------------------------------------------------- TPortHolder

TPortHolder::TPortHolder(TComponent* AOwner) : TComponent(AOwner) {
  ApdComPort1 = new TApdComPort(this);
  ApdComPort1->Name = "ApdComPort1";
  ApdComPort1->OnTriggerAvail = [this](TObject* cp, std::uint16_t n) {
    ApdComPort1TriggerAvail(cp, n);
  };
  ApdComPort1->OnTriggerLineError = [this](TObject* cp, std::uint16_t e, bool b) {
    ApdComPort1TriggerLineError(cp, e, b);
  };
}

void TPortHolder::ApdComPort1TriggerAvail(TObject*, std::uint16_t Count) {
  std::vector<std::uint8_t> buffer(Count);
  ApdComPort1->GetBlock(buffer.data(), Count);
  if (HasProto()) ProtoReceive(buffer.data(), Count);
}

void TPortHolder::ApdComPort1TriggerLineError(TObject*, std::uint16_t, bool) {
  if (HasProto() && ReportLineErrors())
    platform::MessageLoop().PostMessage(ProtoOwner(), WM_DISP_ERROR, 48, 0);
}

}  // namespace lumbra
