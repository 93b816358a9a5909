#include "drivers/sw30/SerialBadgeWriter2.h"

#include "base/AppException.h"

namespace lumbra {

TSerialBadgeWriter2::TSerialBadgeWriter2(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 55;
  fCom = "COM1";
}

TSerialBadgeWriter2::~TSerialBadgeWriter2() {
  FreeProtocol();
}

void TSerialBadgeWriter2::CreateProtocol() {
  ProtB = new TProtTWbadge2(1, Handle());
  try {
    ProtB->SetComPort(fCom);
    ProtB->SetTrack(fTrack);
    // A write timeout set while the driver was off holds for the new protocol too.
    ProtB->SetTimeoutWrite(fTimeoutWrite);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSerialBadgeWriter2::FreeProtocol() {
  ReleaseProtocol(ProtB);
}

void TSerialBadgeWriter2::SetActive(bool value) {
  SwitchProtocol(value, ProtB);
}

bool TSerialBadgeWriter2::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSerialBadgeWriter2::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

std::uint8_t TSerialBadgeWriter2::StatoTessera() {
  return ProtB != nullptr ? ProtB->StatoTessera() : csNoBadge;
}

AnsiString TSerialBadgeWriter2::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

AnsiString TSerialBadgeWriter2::DispVersion() const {
  return ProtB != nullptr ? ProtB->Version() : AnsiString();
}

std::int32_t TSerialBadgeWriter2::CurrentOperation() {
  return ProtB != nullptr ? ProtB->RequestOperation() : 0;
}

void TSerialBadgeWriter2::SetCOM(const std::string& value) {
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

void TSerialBadgeWriter2::SetTrack(std::int32_t value) {
  if (value < 1 || value > 3) throw EBadgeError("Tack value invalid: use 1 or 2 or 3");
  if (ProtB != nullptr) ProtB->SetTrack(value);
  fTrack = value;
}

void TSerialBadgeWriter2::SetTimeoutWrite(std::int32_t value) {
  TCustomBadgeReader::SetTimeoutWrite(value);
  if (ProtB != nullptr) ProtB->SetTimeoutWrite(value);
}

void TSerialBadgeWriter2::DoTimerTick() {
  if (ProtB != nullptr) ProtB->TimerProc();
}

void TSerialBadgeWriter2::DoDeviceError(TMessage& Msg) {
  DoReadDeviceError(Msg);
}

void TSerialBadgeWriter2::WriteTrackData(const AnsiString& data, std::uint8_t track) {
  if (ProtB != nullptr) ProtB->WriteTessera(data, track);
}

void TSerialBadgeWriter2::Inizializza() {
  if (ProtB != nullptr) ProtB->Inizializza();
}

void TSerialBadgeWriter2::ReadTessera(std::uint8_t aTrack) {
  if (ProtB != nullptr) ProtB->ReadTessera(aTrack);
}

void TSerialBadgeWriter2::EjectTessera() {
  if (ProtB != nullptr) ProtB->EjectTessera();
}

void TSerialBadgeWriter2::EjectBack() {
  if (ProtB != nullptr) ProtB->EjectBack();
}

void TSerialBadgeWriter2::CaptureTessera() {
  if (ProtB != nullptr) ProtB->CaptureTessera();
}

void TSerialBadgeWriter2::SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4) {
  if (ProtB != nullptr) ProtB->SetLed(statoLed1, statoLed2, statoLed3, statoled4);
}

void TSerialBadgeWriter2::SetBuzzer(std::uint8_t numBeeps) {
  if (ProtB != nullptr) ProtB->SetBuzzer(numBeeps);
}

void TSerialBadgeWriter2::SetReadWriteRetry(std::uint8_t num) {
  if (ProtB != nullptr) ProtB->SetReadWriteRetry(num);
}

}  // namespace lumbra
