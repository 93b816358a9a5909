#include "drivers/sl10/SerialBadgeReader.h"

#include "base/AppException.h"

namespace lumbra {

TSerialBadgeReader::TSerialBadgeReader(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 200;
  fCom = "COM1";
}

TSerialBadgeReader::~TSerialBadgeReader() {
  FreeProtocol();
}

void TSerialBadgeReader::CreateProtocol() {
  ProtB = new TProtTB(1, Handle());
  // The reader base applies the track-2 cipher and check digits itself.
  ProtB->fCheckSum = false;
  ProtB->fCrypt = false;
  try {
    ProtB->SetComPort(fCom);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TSerialBadgeReader::FreeProtocol() {
  ReleaseProtocol(ProtB);
}

void TSerialBadgeReader::SetActive(bool value) {
  SwitchProtocol(value, ProtB);
}

bool TSerialBadgeReader::Active() const {
  return ProtB != nullptr && ProtB->Enabled();
}

TStatiDispo TSerialBadgeReader::Status() const {
  return ProtB != nullptr ? ProtB->StatoLettore() : sdTimeout;
}

std::uint8_t TSerialBadgeReader::StatoTessera() {
  return ProtB != nullptr ? ProtB->Statotessera() : csNoBadge;
}

void TSerialBadgeReader::SetCOM(const std::string& value) {
  if (ProtB != nullptr) ProtB->SetComPort(value);
  TCustomBadgeReader::SetCOM(value);
}

AnsiString TSerialBadgeReader::GetReadData() {
  return ProtB != nullptr ? ProtB->LastTessera() : AnsiString();
}

void TSerialBadgeReader::DoTimerTick() {
  if (ProtB != nullptr) ProtB->TimerProc();
}

void TSerialBadgeReader::SetTrack(std::int32_t value) {
  if (value != 2) throw EBadgeError("Invalid track value: only track 2 is enabled");
  fTrack = 2;
}

}  // namespace lumbra
