#include "reader/CustomBadgeReader.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "base/AppException.h"
#include "comm/ReadTexts.h"
#include "comm/wmProtocol.h"
#include "reader/TrackData.h"

namespace lumbra {

TCustomBadgeReader::TCustomBadgeReader(TComponent* AOwner) : TCustomWindowedComponent(AOwner) {
  BuildTesseraTable();
}

TCustomBadgeReader::~TCustomBadgeReader() {
  // Reads still queued go with the window; their texts go with them.
  if (HandleAllocated()) DropTesseraReads(Handle());
}

void TCustomBadgeReader::BeforeDestruction() {
  try {
    SetActive(false);
  } catch (...) {
    // Release goes on: a driver that cannot stop is still freed.
    HandleCurrentException(this);
  }
  TCustomWindowedComponent::BeforeDestruction();
}

void TCustomBadgeReader::SetTimeoutWrite(std::int32_t value) {
  fTimeoutWrite = value;
}

void TCustomBadgeReader::SetCoercitivity(TCoercitivity value) {
  if (ClassType().CoercitivitySupported(value)) fCoercitivity = value;
}

void TCustomBadgeReader::DoTimeout(TMessage&) {
  if (OnTimeout) OnTimeout(this);
}

void TCustomBadgeReader::DoRestore(TMessage&) {
  if (OnRestore) OnRestore(this);
}

std::string TCustomBadgeReader::DeviceErrorText(std::uint32_t code) {
  switch (code) {
    case 0:
    case 1:
    case 4:
      return "Communication error";
    case 2:
      return "Cannot execute";
    case 5:
      return "Time Error";
    case 6:
      return "Card Error";
    case 10:
    case 17:
    case 18:
      return "Card Jammed";
    case 11:
      return "Shutter Error";
    case 16:
      return "Card Moved";
    case 19:
      return "Error communicating with IC processor";
    case 20:
      return "Error writing";
    case 21:
    case 22:
    case 23:
    case 24:
      return "Read Error";
    case 25:
      return "Blank Track";
    case 27:
      return "Card Entry Disabled";
    case 30:
      return "Power down";
    default:
      return std::string();
  }
}

void TCustomBadgeReader::DoDeviceError(TMessage& Msg) {
  if (!OnError) return;
  auto code = static_cast<std::uint32_t>(Msg.LParam);
  OnError(this, static_cast<std::uint8_t>(Msg.WParam), static_cast<std::uint8_t>(code),
          DeviceErrorText(code));
}

void TCustomBadgeReader::DoWriteDone(TMessage& Msg) {
  if (Msg.WParam == static_cast<WPARAM>(opWrite) && OnWritedBadge) OnWritedBadge(this);
}

void TCustomBadgeReader::SetTrack(std::int32_t value) {
  fTrack = value;
}
void TCustomBadgeReader::SetBpi(std::int32_t) {}
void TCustomBadgeReader::SetCOM(const std::string& value) {
  fCom = value;
}
bool TCustomBadgeReader::Active() const {
  return fActive;
}

void TCustomBadgeReader::SetActive(bool value) {
  fTimerResting = false;
  if (value) {
    std::uint32_t period = fTimerInterval < 0 ? 0 : static_cast<std::uint32_t>(fTimerInterval);
    if (!platform::MessageLoop().SetTimer(Handle(), kPollTimerId, period))
      throw EOutOfResources("Unable to allocate timer");
  } else if (HandleAllocated()) {
    platform::MessageLoop().KillTimer(Handle(), kPollTimerId);
  }
  fActive = value;
}

long double TCustomBadgeReader::Startmm() const {
  return 7.5L;
}
void TCustomBadgeReader::SetStartmm(long double) {}
AnsiString TCustomBadgeReader::DispVersion() const {
  return "1.0";
}
void TCustomBadgeReader::DoTimerTick() {}
void TCustomBadgeReader::SetCheckCRCTes(bool value) {
  fCheckCRCTes = value;
}
void TCustomBadgeReader::SetCrypt(bool value) {
  fCrypt = value;
}

void TCustomBadgeReader::WriteTrackData(const AnsiString&, std::uint8_t) {
  throw EBadgeError("Unsupported Badge Function");
}

std::uint8_t TCustomBadgeReader::StatoTessera() {
  return csNone;
}
std::int32_t TCustomBadgeReader::CurrentOperation() {
  return opRead;
}
void TCustomBadgeReader::Inizializza() {}
void TCustomBadgeReader::ReadTessera(std::uint8_t) {}

void TCustomBadgeReader::WriteTessera(const AnsiString& CodTessera, std::uint8_t aTrack) {
  AnsiString data = CodTessera;
  if (aTrack == 2) {
    if (fCheckCRCTes) data += WordToDigits(TesseraChecksum(CodTessera), 2);
    if (fCrypt) data = EncodeTessera(data);
  }
  WriteTrackData(data, aTrack);
}

void TCustomBadgeReader::EjectTessera() {}
void TCustomBadgeReader::EjectBack() {}
void TCustomBadgeReader::CaptureTessera() {}
void TCustomBadgeReader::ResetOperation() {}
void TCustomBadgeReader::SetLed(bool, bool, bool, bool) {}
void TCustomBadgeReader::SetBuzzer(std::uint8_t) {}
void TCustomBadgeReader::SetReadWriteRetry(std::uint8_t) {}

std::uint8_t TrackCodeAsByte(std::int32_t track) {
  if (track < 0 || track > 255)
    throw ERangeError("Track " + std::to_string(track) + " is out of range 0 to 255");
  return static_cast<std::uint8_t>(track);
}

void TCustomBadgeReader::ReadCard() {
  ReadTessera(TrackCodeAsByte(fTrack));
}
void TCustomBadgeReader::WriteCard(const AnsiString& CardCode) {
  WriteTessera(CardCode, TrackCodeAsByte(fTrack));
}

void TCustomBadgeReader::SetActiveAnyway(bool value, const std::function<void()>& own) {
  std::exception_ptr failure;
  try {
    own();
  } catch (...) {
    failure = std::current_exception();
  }
  TCustomBadgeReader::SetActive(value);
  if (failure) std::rethrow_exception(failure);
}

void TCustomBadgeReader::RestTimer() {
  if (fTimerResting || !fActive || !HandleAllocated()) return;
  // Not off altogether: a loss nobody told us of still shows within a second.
  if (platform::MessageLoop().SetTimer(Handle(), kPollTimerId, kRestingTimerMs))
    fTimerResting = true;
}

void TCustomBadgeReader::WakeTimer() {
  if (!fTimerResting || !HandleAllocated()) return;
  const std::uint32_t period = fTimerInterval < 0 ? 0 : static_cast<std::uint32_t>(fTimerInterval);
  // Should that fail, the resting timer goes on and the next wake tries again.
  if (platform::MessageLoop().SetTimer(Handle(), kPollTimerId, period)) fTimerResting = false;
}

void TCustomBadgeReader::RunTimerStep(bool& inTimer, const std::function<void()>& step,
                                      const std::function<bool()>& idle) {
  if (inTimer) return;
  inTimer = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{inTimer};
  step();
  if (idle && idle())
    RestTimer();
  else
    WakeTimer();
}

void TCustomBadgeReader::DoReadDeviceError(TMessage& Msg) {
  if (Msg.WParam != static_cast<WPARAM>(opRead)) return TCustomBadgeReader::DoDeviceError(Msg);
  if (Msg.LParam == 24) {
    if (OnBadCRCData) OnBadCRCData(this);
  } else if (Msg.LParam == 25) {
    if (OnBadInsertBadge) OnBadInsertBadge(this);
  } else if (OnFailReadBadge) {
    OnFailReadBadge(this);
  }
}

void TCustomBadgeReader::DoReadResult(LPARAM result) {
  switch (result) {
    case trDataReady: {
      // The text the protocol decoded for this very read; the protocol's last
      // text only for a read that was posted without one.
      std::optional<AnsiString> posted = TakeTesseraRead(Handle());
      AnsiString S = posted ? std::move(*posted) : GetReadData();
      if (fTrack == 2) {
        if (fCrypt) S = DecodeTessera(S);
        if (fCheckCRCTes) {
          if (!CheckTesseraChecksum(S)) {
            if (OnBadCRCData) OnBadCRCData(this);
            return;
          }
          S.resize(S.size() >= 2 ? S.size() - 2 : 0);
        }
      }
      flasttessera = S;
      if (OnReadedBadge) OnReadedBadge(this, flasttessera);
      break;
    }
    case trReadFailed:
      if (OnFailReadBadge) OnFailReadBadge(this);
      break;
    case trCheckFailed:
      if (OnBadCRCData) OnBadCRCData(this);
      break;
    default:
      break;
  }
}

void TCustomBadgeReader::DoMessage(TMessage& Msg, bool& Handled) {
  Handled = true;
  switch (Msg.Msg) {
    case WM_TESSERA_READ:
    case WM_TESSERA_STATUS:
    case WM_COMM_ERROR:
    case WM_DISP_TIMEOUT:
    case WM_DISP_RESTORE:
    case WM_BAD_INSERT:
    case WM_DISP_ERROR:
    case WM_OPERATION_DONE:
      // Whatever the protocol reports may give its next step work to do.
      WakeTimer();
      break;
    default:
      break;
  }
  switch (Msg.Msg) {
    case WM_VECTOR_NOTICE: {
      auto notice = TakeStdMessage(Msg.LParam);  // released whatever happens next
      if (notice && notice->tipo == 0 && !notice->dataStr.empty() && OnError)
        OnError(this, 0, 0, notice->dataStr);
      break;
    }
    case WM_TESSERA_READ:
      DoReadResult(Msg.LParam);
      break;
    case WM_TESSERA_STATUS:
      if (OnChangedBadgeStatus) OnChangedBadgeStatus(this, static_cast<std::int32_t>(Msg.LParam));
      break;
    case WM_COMM_ERROR:
      if (OnError) OnError(this, 0, 0, "Communication Error");
      break;
    case WM_DISP_TIMEOUT:
      DoTimeout(Msg);
      break;
    case WM_DISP_RESTORE:
      DoRestore(Msg);
      break;
    case WM_BAD_INSERT:
      if (OnBadInsertBadge) OnBadInsertBadge(this);
      break;
    case WM_DISP_ERROR:
      DoDeviceError(Msg);
      break;
    case WM_OPERATION_DONE:
      DoWriteDone(Msg);
      break;
    case WM_PORT_ENDED:
      if (fTimerResting) {
        WakeTimer();
        DoTimerTick();
      }
      break;
    case platform::WM_TIMER:
      if (Msg.WParam == kPollTimerId)
        DoTimerTick();
      else
        Handled = false;
      break;
    default:
      Handled = false;
      break;
  }
}

// Registry.
namespace {

struct Entry {
  std::string name;
  const TBadgeReaderClass* cls;
};

std::vector<Entry>& Registry() {
  static std::vector<Entry> entries;
  return entries;
}

std::vector<Entry>::iterator FindEntry(const std::string& name) {
  auto& r = Registry();
  return std::find_if(r.begin(), r.end(), [&](const Entry& e) { return SameText(e.name, name); });
}

}  // namespace

void RegisterBadgeReader(const std::string& name, const TBadgeReaderClass& cls) {
  auto& r = Registry();
  if (FindEntry(name) != r.end()) return;
  r.push_back(Entry{name, &cls});
  std::stable_sort(r.begin(), r.end(),
                   [](const Entry& a, const Entry& b) { return CompareText(a.name, b.name) < 0; });
}

void UnregisterBadgeReader(const std::string& name) {
  auto it = FindEntry(name);
  if (it != Registry().end()) Registry().erase(it);
}

const TBadgeReaderClass* FindBadgeReader(const std::string& name) {
  auto it = FindEntry(name);
  return it == Registry().end() ? nullptr : it->cls;
}

void GetBadgeReaderModels(std::vector<std::string>& list) {
  list.clear();
  for (const auto& e : Registry()) list.push_back(e.name);
}

}  // namespace lumbra
