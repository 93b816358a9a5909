#include "drivers/slu20/USBBadgeReader.h"

#include "platform/Hid.h"

namespace lumbra {

TUSBBadgeReader::TUSBBadgeReader(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  fTimerInterval = 200;
}

TUSBBadgeReader::~TUSBBadgeReader() {
  FreeProtocol();
}

void TUSBBadgeReader::CreateProtocol() {
  protB = new TProtoUSBBadge(Handle());
}

void TUSBBadgeReader::FreeProtocol() {
  ReleaseProtocol(protB);
}

void TUSBBadgeReader::SetActive(bool value) {
  SwitchProtocol(value, protB);
}

bool TUSBBadgeReader::Active() const {
  return protB != nullptr && protB->Enabled();
}

TStatiDispo TUSBBadgeReader::Status() const {
  return protB != nullptr ? protB->StatoLettore() : sdTimeout;
}

std::uint8_t TUSBBadgeReader::StatoTessera() {
  return protB != nullptr ? protB->Statotessera() : csNoBadge;
}

AnsiString TUSBBadgeReader::GetReadData() {
  return protB != nullptr ? protB->LastTessera() : AnsiString();
}

void TUSBBadgeReader::DoTimerTick() {
  // Without a reader the step has nothing to do until a device change brings
  // one, and that change restores the reader, which wakes the timer again.
  RunTimerStep(
      inTimer,
      [this] {
        if (protB != nullptr) protB->TimerProc();
      },
      [this] { return protB == nullptr || protB->Device() == nullptr; });
}

void TUSBBadgeReader::SetTrack(std::int32_t value) {
  if (value != 2) throw EBadgeError("Invalid track value: only track 2 is enabled");
  fTrack = 2;
}

void TUSBBadgeReader::DoMessage(TMessage& Msg, bool& Handled) {
  if (Msg.Msg == platform::WM_DEVICECHANGE && Msg.WParam == platform::DBT_DEVNODES_CHANGED &&
      protB != nullptr) {
    Handled = true;
    protB->ForceGetDevices();
    return;
  }
  TCustomBadgeReader::DoMessage(Msg, Handled);
}

}  // namespace lumbra
