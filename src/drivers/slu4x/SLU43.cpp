#include "drivers/slu4x/SLU43.h"

#include "base/AppException.h"

namespace lumbra {

TSLU43BadgeReader::TSLU43BadgeReader(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 55;
  fCom = "COM3";
}

TSLU43BadgeReader::~TSLU43BadgeReader() {
  FreeProtocol();
}

void TSLU43BadgeReader::CreateProtocol() {
  ProtB = new TProtSLU4x(1, Handle());
  try {
    ProtB->SetTrack(fTrack);
    ProtB->SetComPort(fCom);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSLU43BadgeReader::FreeProtocol() {
  // A frame that had ended is a read in flight: it keeps its badge.
  if (ProtB != nullptr) ProtB->Flush();
  ReleaseProtocol(ProtB);
}

void TSLU43BadgeReader::SetActive(bool value) {
  SwitchProtocol(value, ProtB);
}

bool TSLU43BadgeReader::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSLU43BadgeReader::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

void TSLU43BadgeReader::SetCOM(const std::string& value) {
  // A port that fails to reopen is retried at the step's own period.
  WakeTimer();
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

void TSLU43BadgeReader::SetTrack(std::int32_t value) {
  if (value < 1 || value > 7) throw EBadgeError("Tack value invalid: use 1 to 7");
  if (ProtB != nullptr) ProtB->SetTrack(value);
  fTrack = value;
}

AnsiString TSLU43BadgeReader::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

void TSLU43BadgeReader::DoTimerTick() {
  RunTimerStep(
      inTimer,
      [this] {
        if (ProtB != nullptr) ProtB->TimerProc();
      },
      [this] { return ProtB != nullptr && ProtB->StepIdle(); });
}

void TSLU43BadgeReader::Inizializza() {
  WakeTimer();
  if (ProtB != nullptr) ProtB->Inizializza();
}

void TSLU43BadgeReader::DoDeviceError(TMessage& Msg) {
  DoReadDeviceError(Msg);
}

}  // namespace lumbra
