#include "comm/comWin32.h"

#include <charconv>
#include <utility>

#include "base/Text.h"
#include "comm/DeviceMessages.h"
#include "comm/wmProtocol.h"
#include "platform/Clock.h"
#include "platform/SerialDeviceTable.h"
#include "reader/TrackData.h"

namespace lumbra {
namespace {

constexpr std::uint32_t kBaudValues[] = {110,    300,    600,    1200,   2400,  4800,  9600,
                                         14400,  19200,  28800,  38400,  56000, 57600, 115200,
                                         128000, 256000, 230400, 460800, 921600};
constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
constexpr std::uint32_t kStopWaitMs = 1000;

// Decimal integer as the connect string has it: leading blanks, an optional
// sign, digits, nothing after them.
std::int32_t StrToInt(const std::string& s) {
  size_t i = s.find_first_not_of(' ');
  std::int32_t value = 0;
  if (i != std::string::npos) {
    const char* first = s.data() + i;
    if (*first == '+') ++first;
    const char* last = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc() && ptr == last && first != last) return value;
  }
  throw EConvertError("'" + s + "' is not a valid integer value");
}

// The value of option name among the items, lower-cased; empty when absent.
std::string Option(const std::vector<std::string>& items, const std::string& name) {
  const std::string prefix = name + "=";
  for (const auto& item : items)
    if (item.compare(0, prefix.size(), prefix) == 0) return LowerAscii(item.substr(prefix.size()));
  return {};
}

}  // namespace

std::uint32_t EventBit(TC32EventState e) {
  static constexpr std::uint32_t bits[] = {
      platform::kEvBreak,  platform::kEvCTS,    platform::kEvDSR,
      platform::kEvError,  platform::kEvRing,   platform::kEvRlsd,
      platform::kEvRxChar, platform::kEvRxFlag, platform::kEvTxEmpty};
  return bits[e];
}

std::uint32_t BaudRateValue(TBaudRate rate) {
  return kBaudValues[rate];
}

// ---------------------------------------------------------------- TC32Thread

TC32Thread::TC32Thread(platform::HWND aHost, std::shared_ptr<platform::ISerialDevice> aDevice,
                       TC32EventType Events, bool aEventsInThread)
    : FHandleCom(std::move(aDevice)), WinHost(aHost), fEventsInThread(aEventsInThread) {
  if (!FHandleCom->SetEventMask(Events)) throw ECommError(FHandleCom->LastError());
}

void TC32Thread::Notice(const std::string& text) {
  auto m = std::make_unique<TStdMessage>();
  m->dataInt = 3;
  m->orario = NowDateTime();
  m->dataStr = "ComWin32: " + text;
  PostStdMessage(WinHost, std::move(m));
}

void TC32Thread::Deliver() {
  if (fEventsInThread) {
    if (FOnSignal) FOnSignal(nullptr, FStatus);
    return;
  }
  const std::uint32_t status = FStatus;
  // The stop request is checked again on the UI thread: a call that was
  // queued before StopPort asked for the stop must not reach a closed port.
  platform::MessageLoop().Synchronize([this, status] {
    if (!Terminated() && FOnSignal) FOnSignal(nullptr, status);
  });
}

void TC32Thread::Execute() {
  // A body that ends by itself tells the port's window, so an owner whose timer
  // rests while the port is healthy comes back at once to find the port lost.
  struct Ended {
    TC32Thread& t;
    ~Ended() {
      if (t.Terminated()) return;
      t.fEnded.store(true);
      platform::MessageLoop().PostMessage(t.WinHost, WM_PORT_ENDED, 0, 0);
    }
  } ended{*this};
  // Whatever ends the body, the device is let go before the owner learns that
  // the thread has finished: a port reopened right after must not find its
  // device still held here.
  struct Release {
    std::shared_ptr<platform::ISerialDevice>& device;
    ~Release() { device.reset(); }
  } release{FHandleCom};
  bool failedBefore = false;
  // A failed wait is told once the port is seen working again. A port that
  // is gone may fail its waits before it says so, or keep failing them: that
  // is the owner's reader problem, one message, and these failures are the
  // same fault seen again.
  std::string untold;
  while (!Terminated()) {
    try {
      FStatus = 0;
      platform::WaitResult r = FHandleCom->WaitEvent(*hCloseEvent, FStatus);
      fWakeups.fetch_add(1);
      if (r == platform::WaitResult::Event) {
        failedBefore = false;
        if (!untold.empty()) Notice(std::exchange(untold, std::string()));
        if (!Terminated()) Deliver();
        if (hCloseEvent->IsSet()) break;
      } else if (r == platform::WaitResult::Failed) {
        // A wait that fails twice in a row will keep failing: stop rather than
        // spin on it.
        if (failedBefore || FHandleCom->Lost()) break;
        untold = FHandleCom->LastError();
        failedBefore = true;
      } else if (r == platform::WaitResult::Lost) {
        // The device is gone for good (hang-up, adapter pulled). The owner's
        // timer step finds the port lost and shows it as a reader problem, not
        // as an error text of ours; the port stays open until it is closed.
        break;
      } else {
        break;
      }
    } catch (const std::exception& e) {
      Notice(e.what());
      break;
    }
  }
}

// ------------------------------------------------------------------- TComm32

TComm32::TComm32(platform::HWND aWindow) : TFisicVector(aWindow) {
  fCfgSection = "TComm32";
  FDeviceName = "COM2";
}

TComm32::~TComm32() {
  StopPort();
}

std::string TComm32::DevicePath(const std::string& name) const {
  return platform::HasSerialBackend() ? platform::SerialBackend().DevicePath(name) : name;
}

void TComm32::SetDeviceName(const std::string& value) {
  // A port name and the path it stands for are the same port ("COM3" and
  // its device path, "ttyUSB0" and "/dev/ttyUSB0").
  if (value == FDeviceName) return;
  if (!value.empty() && DevicePath(value) == DevicePath(FDeviceName)) return;
  FDeviceName = value;
  if (FStato == vsActive) Open();
}

platform::SerialSettings TComm32::Settings() const {
  platform::SerialSettings s;
  s.baudRate = kBaudValues[FBaudRate];
  s.parity = FParity;
  s.stopBits = FStopbits;
  s.dataBits = 4 + FDatabits;
  s.flags = fdcbFlags;
  return s;
}

void TComm32::ApplySettings() {
  // A refused setting leaves the port as it was, as the port control block
  // does when it is refused.
  if (FHandle) FHandle->Apply(Settings());
}

void TComm32::SetDCBFlags(std::uint32_t value) {
  fdcbFlags = value | platform::kFlagBinary | platform::kFlagParity;
  ApplySettings();
}
void TComm32::SetBaudRate(TBaudRate value) {
  FBaudRate = value;
  ApplySettings();
}
void TComm32::SetParity(TParity value) {
  FParity = value;
  ApplySettings();
}
void TComm32::SetStopbits(TStopbits value) {
  FStopbits = value;
  ApplySettings();
}
void TComm32::SetDatabits(TDatabits value) {
  FDatabits = value;
  ApplySettings();
}

void TComm32::SetThreadPriority(TThreadPriority value) {
  // Kept for the caller; the event thread spends its life blocked, and the
  // standard thread library has no portable priority to give it.
  FthreadPriority = value;
}

void TComm32::SetEventsInThread(bool value) {
  FEventsInThread = value;
  Restart();
}

void TComm32::Restart() {
  if (!FHandle) return;
  StopPort();
  try {
    StartPort();
  } catch (...) {
    // Left marked open without a device it would never be reopened: it ends
    // closed, and its owner's timer step retries it as it does a lost port.
    Close();
    throw;
  }
}

std::string TComm32::ConnectString() const {
  std::string s = DeviceName() + "," + std::to_string(kBaudValues[FBaudRate]) + "," +
                  kParityLetters[FParity] + "," + std::to_string(4 + FDatabits) + "," +
                  (FStopbits == sb1_0 ? "1" : "2") + ",";
  if (fdcbFlags & platform::kFlagDtrHandshake)
    s += "dtr=hs,";
  else if (fdcbFlags & platform::kFlagDtrOn)
    s += "dtr=on,";
  else
    s += "dtr=off,";
  const std::uint32_t rts = fdcbFlags & platform::kFlagRtsMask;
  if (rts == platform::kFlagRtsToggle)
    s += "rts=tg,";
  else if (rts & platform::kFlagRtsOn)
    s += "rts=on,";
  else if (rts & platform::kFlagRtsHandshake)
    s += "rts=hs,";
  else
    s += "rts=off,";
  s += (fdcbFlags & platform::kFlagOutxCts) ? "octs=on," : "octs=off,";
  s += (fdcbFlags & platform::kFlagOutxDsr) ? "odsr=on," : "odsr=off,";
  s += (fdcbFlags & platform::kFlagDsrSensitivity) ? "idsr=on" : "idsr=off";
  return s;
}

void TComm32::SetConnectString(const std::string& value) {
  fdcbFlags = platform::kFlagBinary | platform::kFlagParity;
  std::vector<std::string> items;
  SplitText(value, items, ',');
  if (items.size() > 0) SetDeviceName(items[0]);
  if (items.size() > 1) {
    const std::int32_t rate = StrToInt(items[1]);
    for (int r = cbr110; r <= cbr921600; ++r)
      if (static_cast<std::int64_t>(kBaudValues[r]) == rate) {
        FBaudRate = static_cast<TBaudRate>(r);
        break;
      }
  }
  if (items.size() > 2) {
    if (items[2].empty()) throw EConvertError("Parity missing in the connect string");
    switch (items[2][0]) {
      case 'E':
      case 'e':
        FParity = paEven;
        break;
      case 'M':
      case 'm':
        FParity = paMark;
        break;
      case 'O':
      case 'o':
        FParity = paOdd;
        break;
      case 'S':
      case 's':
        FParity = paSpace;
        break;
      default:
        FParity = paNone;
        break;
    }
  }
  if (items.size() > 3) {
    const std::int32_t bits = StrToInt(items[3]);
    FDatabits = (bits >= 4 && bits <= 7) ? static_cast<TDatabits>(bits - 4) : da8;
  }
  if (items.size() > 4) FStopbits = StrToInt(items[4]) == 2 ? sb2_0 : sb1_0;

  const std::string dtr = Option(items, "dtr");
  if (dtr == "hs")
    fdcbFlags |= platform::kFlagDtrHandshake;
  else if (dtr != "off")
    fdcbFlags |= platform::kFlagDtrOn;
  const std::string rts = Option(items, "rts");
  if (rts == "on")
    fdcbFlags |= platform::kFlagRtsOn;
  else if (rts == "hs")
    fdcbFlags |= platform::kFlagRtsHandshake;
  else if (rts == "tg")
    fdcbFlags |= platform::kFlagRtsToggle;
  if (Option(items, "octs") == "on") fdcbFlags |= platform::kFlagOutxCts;
  if (Option(items, "odsr") == "on") fdcbFlags |= platform::kFlagOutxDsr;
  if (Option(items, "idsr") == "on") fdcbFlags |= platform::kFlagDsrSensitivity;

  Restart();
}

void TComm32::CreatePortHandle() {
  std::string error;
  FHandle = platform::SerialBackend().Open(DevicePath(FDeviceName), error);
  if (!FHandle)
    throw ECommError("error " + DevicePath(FDeviceName) +
                     " Comm port busy or not available: " + error);
}

void TComm32::ClosePortHandle() {
  FHandle.reset();
}

bool TComm32::StartPort() {
  CreatePortHandle();
  try {
    // Reads return at once with what waits: the devices are in raw,
    // non-blocking mode from their opening.
    FHandle->Apply(Settings());
    if (!FHandle->SetQueueSizes(static_cast<std::uint32_t>(ReadBufferSize),
                                static_cast<std::uint32_t>(WriteBufferSize)))
      throw ECommError(FHandle->LastError());
    auto thread = std::make_shared<TC32Thread>(WinHost, FHandle, MonitorEvents, FEventsInThread);
    thread->FOnSignal = [this](TObject*, std::uint32_t status) { HandleSignal(this, status); };
    FTC32Thread = thread;
    thread->Start();
  } catch (...) {
    // A half-opened port is closed again, so the next attempt starts clean.
    FTC32Thread.reset();
    ClosePortHandle();
    throw;
  }
  return true;
}

void TComm32::StopPort() {
  if (!FHandle) return;
  if (FTC32Thread) {
    std::shared_ptr<TC32Thread> thread = std::move(FTC32Thread);
    thread->ReleaseThread();
    platform::Clock().Sleep(0);
    thread->WaitFor(kStopWaitMs);
  }
  FHandle->PurgeIn();
  // The last commands may go out, for a short while; output still unsent
  // then would hold the close for the driver's closing time (up to 30 s) on
  // the UI thread.
  platform::DrainOutput(*FHandle, platform::kCloseDrainMs);
  ClosePortHandle();
  fWriteRefused = false;
}

bool TComm32::Lost() const {
  if (FStato != vsActive || !FHandle) return false;
  return fWriteRefused || (FTC32Thread && !FTC32Thread->Terminated() &&
                           (FTC32Thread->Ended() || FTC32Thread->Finished()));
}

bool TComm32::Open() {
  Close();
  StartPort();
  FEnabled = true;
  FStato = vsActive;
  if (OnConnect) OnConnect(this, 0);
  return true;
}

void TComm32::Close() {
  StopPort();
  const bool wasOpen = FStato != vsIdle;
  FEnabled = false;
  FStato = vsIdle;
  if (wasOpen && OnDisconnect) OnDisconnect(this, 0);
}

bool TComm32::ConnectTo(const std::string& idRemote) {
  SetDeviceName(idRemote);
  return Open();
}

std::int32_t TComm32::InQueCount() {
  if (FStato != vsActive || !FHandle) return 0;
  FHandle->QueryStatus(FCT);
  return static_cast<std::int32_t>(FCT.inQueue);
}

std::int32_t TComm32::OutQueCount() {
  if (FStato != vsActive || !FHandle) return 0;
  FHandle->QueryStatus(FCT);
  return static_cast<std::int32_t>(FCT.outQueue);
}

void TComm32::PurgeIn() {
  if (FStato == vsActive && FHandle) FHandle->PurgeIn();
}

void TComm32::PurgeOut() {
  if (FStato == vsActive && FHandle) FHandle->PurgeOut();
}

bool TComm32::DoDTR(bool State) {
  return FStato == vsActive && FHandle && FHandle->SetDTR(State);
}
bool TComm32::DoRTS(bool State) {
  return FStato == vsActive && FHandle && FHandle->SetRTS(State);
}
bool TComm32::DoBREAK(bool State) {
  return FStato == vsActive && FHandle && FHandle->SetBreak(State);
}

std::int32_t TComm32::Write(const std::string& Trama) {
  if (Trama.empty()) return 0;
  return WriteBuf(Trama.data(), static_cast<std::int32_t>(Trama.size()));
}

std::int32_t TComm32::WriteBuf(const void* Trama, std::int32_t len) {
  if (FStato != vsActive || !FHandle) return -1;
  if (len <= 0) return len == 0 ? 0 : -1;
  if (fWriteRefused) return -1;
  if (FHandle->Write(Trama, len) == len) return len;
  // The device never blocks a write: a refusal means its output does not
  // drain (stalled device, output held by the lines) or it is gone. Either way
  // the reader is of no use until the port is opened again, which the owner's
  // timer step does, showing it as a reader problem.
  fWriteRefused = true;
  return -1;
}

std::int32_t TComm32::Read(void* Buf, std::int32_t count) {
  if (FStato != vsActive || !FHandle) return 0;
  if (count <= 0) return 0;
  const int n = FHandle->Read(Buf, count);
  if (n >= 0) return n;
  // A device that is gone is the owner's reader problem, not a read error.
  if (!FHandle->Lost()) NotifyHost("Read COM Failed", 3, NowDateTime());
  return 0;
}

void TComm32::HandleSignal(TObject* Sender, std::uint32_t Status) {
  if (!FHandle) return;
  FHandle->QueryStatus(FCT);
  if ((Status & platform::kEvRxChar) && OnReceive)
    OnReceive(Sender, static_cast<std::int32_t>(FCT.inQueue));
  if ((Status & platform::kEvBreak) && OnBreakSignal) OnBreakSignal(Sender);
  if ((Status & platform::kEvCTS) && OnCTSSignal) OnCTSSignal(Sender, !FCT.ctsHold);
  if ((Status & platform::kEvDSR) && OnDSRSignal) OnDSRSignal(Sender, !FCT.dsrHold);
  if (Status & platform::kEvError)
    SignalError(Sender, static_cast<std::int32_t>(FCT.errors), std::string());
  if ((Status & platform::kEvRing) && OnRingSignal) OnRingSignal(Sender);
  if ((Status & platform::kEvRlsd) && OnRLSDSignal) OnRLSDSignal(Sender);
  if ((Status & platform::kEvRxFlag) && OnRxFlagSignal) OnRxFlagSignal(Sender);
  if ((Status & platform::kEvTxEmpty) && OnTxEmptySignal) OnTxEmptySignal(Sender);
}

void TComm32::SignalError(TObject* Sender, std::int32_t Errors, const std::string&) {
  FError = Errors;
  static constexpr struct {
    std::uint32_t flag;
    const char* text;
  } kTexts[] = {{platform::kCeOverrun, "OVERRUN"},          {platform::kCeRxOver, "RX OVERFLOW"},
                {platform::kCeRxParity, "RX PARITY ERROR"}, {platform::kCeBreak, "BREAK ERROR"},
                {platform::kCeFrame, "FRAME ERROR"},        {platform::kCeIOE, "I/O ERROR"},
                {platform::kCeMode, "MODE ERROR"},          {platform::kCeTxFull, "TX FULL"}};
  std::string text;
  for (const auto& t : kTexts)
    if (static_cast<std::uint32_t>(Errors) & t.flag) {
      text = t.text;
      break;
    }
  if (OnError || OnError2) {
    if (OnError) OnError(Sender, Errors);
    if (OnError2) OnError2(Sender, Errors, text);
  } else {
    NotifyHost(text, 3, NowDateTime());
  }
}

void TComm32::EnumComPorts(std::vector<std::string>& List) {
  List.clear();
  std::vector<platform::SerialDeviceEntry> entries;
  if (!platform::SerialDeviceTable().Read(entries)) return;
  for (const auto& e : entries) List.push_back(e.port);
}

}  // namespace lumbra
