#include "drivers/slr45/RKM530.h"

#include "base/AppException.h"

namespace lumbra {

TSLR45BadgeReader::TSLR45BadgeReader(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 55;
  fCom = "COM3";
}

TSLR45BadgeReader::~TSLR45BadgeReader() {
  FreeProtocol();
}

void TSLR45BadgeReader::CreateProtocol() {
  ProtB = new TProtRKM530(1, Handle());
  try {
    ProtB->SetTrack(fTrack);
    ProtB->SetComPort(fCom);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSLR45BadgeReader::FreeProtocol() {
  ReleaseProtocol(ProtB);
}

void TSLR45BadgeReader::SetActive(bool value) {
  SwitchProtocol(value, ProtB);
}

bool TSLR45BadgeReader::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSLR45BadgeReader::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

void TSLR45BadgeReader::SetCOM(const std::string& value) {
  // A port that fails to open is retried at the step's own period.
  WakeTimer();
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

void TSLR45BadgeReader::SetTrack(std::int32_t value) {
  if (value < 1 || value > 7) throw EBadgeError("Tack value invalid: use 1 to 7");
  if (ProtB != nullptr) ProtB->SetTrack(value);
  fTrack = value;
}

AnsiString TSLR45BadgeReader::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

void TSLR45BadgeReader::DoTimerTick() {
  RunTimerStep(
      inTimer,
      [this] {
        if (ProtB != nullptr) ProtB->TimerProc();
      },
      [this] { return ProtB != nullptr && ProtB->StepIdle(); });
}

void TSLR45BadgeReader::Inizializza() {
  WakeTimer();
  if (ProtB != nullptr) ProtB->Inizializza();
}

void TSLR45BadgeReader::DoDeviceError(TMessage& Msg) {
  DoReadDeviceError(Msg);
}

}  // namespace lumbra
