#include "drivers/swu41/SWU41.h"

#include "base/AppException.h"

namespace lumbra {

TSWU41BadgeWriter::TSWU41BadgeWriter(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 55;
  fCom = "COM1";
  fstartmm = 16.0L;
}

TSWU41BadgeWriter::~TSWU41BadgeWriter() {
  FreeProtocol();
}

void TSWU41BadgeWriter::CreateProtocol() {
  ProtB = new TProtEPX3000(1, Handle());
  ProtB->OnBusy = [this] { WakeTimer(); };
  try {
    ProtB->SetTrack(fTrack);
    ProtB->SetCoercitivity(fCoercitivity);
    ProtB->SetBpi(fBPI);
    ProtB->SetStartmm(fstartmm);
    ProtB->SetTimeoutWrite(fTimeoutWrite);
    ProtB->SetComPort(fCom);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSWU41BadgeWriter::FreeProtocol() {
  ReleaseProtocol(ProtB);
}

void TSWU41BadgeWriter::SetActive(bool value) {
  SwitchProtocol(value, ProtB);
}

bool TSWU41BadgeWriter::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSWU41BadgeWriter::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

void TSWU41BadgeWriter::SetCOM(const std::string& value) {
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

void TSWU41BadgeWriter::SetTrack(std::int32_t value) {
  if (value < 1 || value > 7) throw EBadgeError("Tack value invalid: use 1 to 7");
  if (ProtB != nullptr) ProtB->SetTrack(value);
  // What the change sends is followed up by the step at its own period.
  WakeTimer();
  fTrack = value;
}

void TSWU41BadgeWriter::SetBpi(std::int32_t value) {
  if (value != 0 && value != 1) throw EBadgeError("Bpi value invalid: use 0 or 1");
  if (ProtB != nullptr) ProtB->SetBpi(value);
  WakeTimer();
  fBPI = value;
}

long double TSWU41BadgeWriter::Startmm() const {
  if (ProtB != nullptr) fstartmm = ProtB->Startmm();
  return fstartmm;
}

void TSWU41BadgeWriter::SetStartmm(long double value) {
  fstartmm = value;
  if (ProtB != nullptr) ProtB->SetStartmm(value);
  WakeTimer();
}

void TSWU41BadgeWriter::SetCoercitivity(TCoercitivity value) {
  if (ProtB != nullptr) ProtB->SetCoercitivity(value);
  WakeTimer();
  TCustomBadgeReader::SetCoercitivity(value);
}

void TSWU41BadgeWriter::SetTimeoutWrite(std::int32_t value) {
  TCustomBadgeReader::SetTimeoutWrite(value);
  if (ProtB != nullptr) ProtB->SetTimeoutWrite(value);
  WakeTimer();
}

AnsiString TSWU41BadgeWriter::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

void TSWU41BadgeWriter::DoTimerTick() {
  RunTimerStep(
      inTimer,
      [this] {
        if (ProtB != nullptr) ProtB->TimerProc();
      },
      [this] { return ProtB != nullptr && ProtB->StepIdle(); });
}

void TSWU41BadgeWriter::Inizializza() {
  if (ProtB != nullptr) ProtB->Inizializza();
  WakeTimer();
}

void TSWU41BadgeWriter::ReadTessera(std::uint8_t aTrack) {
  if (ProtB != nullptr) ProtB->ReadTessera(aTrack);
  WakeTimer();
}

void TSWU41BadgeWriter::ResetOperation() {
  // A new read cancels whatever the device was doing.
  ReadCard();
}

void TSWU41BadgeWriter::WriteTrackData(const AnsiString& data, std::uint8_t track) {
  if (ProtB != nullptr) ProtB->WriteTessera(data, track);
  WakeTimer();
}

std::int32_t TSWU41BadgeWriter::CurrentOperation() {
  return ProtB != nullptr ? ProtB->PendingOperation() : 0;
}

void TSWU41BadgeWriter::DoDeviceError(TMessage& Msg) {
  DoReadDeviceError(Msg);
}

}  // namespace lumbra
