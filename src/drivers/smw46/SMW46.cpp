#include "drivers/smw46/SMW46.h"

#include "base/AppException.h"

namespace lumbra {

TSMW46BadgeWriter::TSMW46BadgeWriter(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 200;
  fCom = "COM1";
  fCrypt = false;
  fCheckCRCTes = false;
}

TSMW46BadgeWriter::~TSMW46BadgeWriter() {
  FreeProtocol();
}

void TSMW46BadgeWriter::CreateProtocol() {
  ProtB = new TProtSMW460(1, Handle());
  ProtB->OnBusy = [this] { WakeTimer(); };
  try {
    ProtB->SetTrack(fTrack);
    ProtB->SetCoercitivity(fCoercitivity);
    ProtB->SetComPort(fCom);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSMW46BadgeWriter::FreeProtocol() {
  ReleaseProtocol(ProtB);
}

void TSMW46BadgeWriter::SetActive(bool value) {
  SwitchProtocol(value, ProtB, [this] { ftimeoutreceived = false; });
}

bool TSMW46BadgeWriter::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSMW46BadgeWriter::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

void TSMW46BadgeWriter::SetCOM(const std::string& value) {
  WakeTimer();
  ftimeoutreceived = false;
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

void TSMW46BadgeWriter::SetTrack(std::int32_t value) {
  if (value < 1 || value > 7) throw EBadgeError("Tack value invalid: use 1 to 7");
  if (ProtB != nullptr) ProtB->SetTrack(value);
  fTrack = value;
}

void TSMW46BadgeWriter::SetCoercitivity(TCoercitivity value) {
  WakeTimer();
  if (ProtB != nullptr) ProtB->SetCoercitivity(value);
  TCustomBadgeReader::SetCoercitivity(value);
}

void TSMW46BadgeWriter::SetTimeoutWrite(std::int32_t value) {
  WakeTimer();
  TCustomBadgeReader::SetTimeoutWrite(value);
  if (ProtB != nullptr) ProtB->SetTimeoutWrite(value);
}

void TSMW46BadgeWriter::DoTimeout(TMessage& Msg) {
  if (ftimeoutreceived) return;
  ftimeoutreceived = true;
  TCustomBadgeReader::DoTimeout(Msg);
}

void TSMW46BadgeWriter::DoRestore(TMessage& Msg) {
  ftimeoutreceived = false;
  TCustomBadgeReader::DoRestore(Msg);
}

AnsiString TSMW46BadgeWriter::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

void TSMW46BadgeWriter::DoTimerTick() {
  RunTimerStep(
      inTimer,
      [this] {
        if (ProtB != nullptr) ProtB->TimerProc();
      },
      [this] { return ProtB != nullptr && ProtB->StepIdle(); });
}

void TSMW46BadgeWriter::Inizializza() {
  WakeTimer();
  if (ProtB != nullptr) ProtB->Inizializza();
}

void TSMW46BadgeWriter::ReadTessera(std::uint8_t aTrack) {
  WakeTimer();
  if (ProtB != nullptr) ProtB->ReadTessera(aTrack);
}

void TSMW46BadgeWriter::WriteTrackData(const AnsiString& data, std::uint8_t track) {
  WakeTimer();
  if (ProtB != nullptr) ProtB->WriteTessera(data, track);
}

std::int32_t TSMW46BadgeWriter::CurrentOperation() {
  return ProtB != nullptr ? ProtB->PendingOperation() : 0;
}

void TSMW46BadgeWriter::DoDeviceError(TMessage& Msg) {
  DoReadDeviceError(Msg);
}

}  // namespace lumbra
