#include "reader/BadgeReader2.h"

#include "base/AppException.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"

namespace lumbra {

TBadgeReader2::TBadgeReader2(TComponent* AOwner) : TComponent(AOwner) {}

TBadgeReader2::~TBadgeReader2() {
  // Reached without Free(): the driver still goes first.
  FreeReader();
}

void TBadgeReader2::BeforeDestruction() {
  FreeReader();
  TComponent::BeforeDestruction();
}

void TBadgeReader2::SetColor(std::uint32_t color) {
  fColor = color;
  if (OnColorChanged) OnColorChanged(color);
}

const TBadgeReaderClass* TBadgeReader2::ModelClass() const {
  if (fProtB != nullptr) return &fProtB->ClassType();
  return FindBadgeReader(fModel);
}

void TBadgeReader2::InstallHandlers() {
  TCustomBadgeReader* r = fProtB;
  r->OnReadedBadge = [this](TObject*, const AnsiString& tessera) {
    if (OnReadedBadge) OnReadedBadge(this, tessera);
  };
  r->OnChangedBadgeStatus = [this](TObject*, std::int32_t newstato) {
    if (OnChangedBadgeStatus) OnChangedBadgeStatus(this, newstato);
  };
  r->OnBadCRCData = [this](TObject*) {
    if (OnBadCRCData) OnBadCRCData(this);
  };
  r->OnFailReadBadge = [this](TObject*) {
    if (OnFailReadBadge) OnFailReadBadge(this);
  };
  r->OnBadInsertBadge = [this](TObject*) {
    if (OnBadInsertBadge) OnBadInsertBadge(this);
  };
  r->OnTimeout = [this](TObject*) {
    SetColor(clReaderFault);
    if (OnTimeout) OnTimeout(this);
  };
  r->OnRestore = [this](TObject*) {
    SetColor(clReaderRunning);
    if (OnRestore) OnRestore(this);
  };
  r->OnError = [this](TObject*, std::uint8_t command, std::uint8_t errorcode,
                      const std::string& msg) {
    if (OnError) OnError(this, command, errorcode, msg);
  };
  r->OnWritedBadge = [this](TObject*) {
    if (OnWritedBadge) OnWritedBadge(this);
  };
}

void TBadgeReader2::ConfigureReader() {
  TCustomBadgeReader* r = fProtB;
  InstallHandlers();
  r->SetCheckCRCTes(fCheckCrcTes);
  r->SetCrypt(fCrypt);
  try {
    r->SetTrack(fTrack);
  } catch (...) {
    // The model refuses the remembered track: fall back to its first track.
    for (std::int32_t t = 1; t <= 3; ++t) {
      if (r->ClassType().TrackSupported(t)) {
        fTrack = t;
        r->SetTrack(t);
        break;
      }
    }
  }
  r->SetCoercitivity(fCoercitivity);
  fCoercitivity = r->Coercitivity();
  r->SetBpi(fBpi);
  fBpi = r->Bpi();
  r->SetStartmm(fStartmm);
  fStartmm = r->Startmm();
  r->SetCOM(fCom);
}

void TBadgeReader2::CreateReader() {
  const TBadgeReaderClass* cls = FindBadgeReader(fModel);
  if (cls == nullptr) throw Exception("Model not defined");
  try {
    fProtB = cls->Create(this);
    ConfigureReader();
  } catch (const std::exception& e) {
    DropReader();
    platform::MessageBoxes().Show(e.what(), "Error", platform::MessageKind::Error);
  } catch (...) {
    DropReader();
    platform::MessageBoxes().Show("Unknown error", "Error", platform::MessageKind::Error);
  }
}

void TBadgeReader2::DropReader() {
  TCustomBadgeReader* r = fProtB;
  fProtB = nullptr;
  TObject::Free(r);
}

void TBadgeReader2::FreeReader() {
  if (fProtB == nullptr) return;
  TCustomBadgeReader* r = fProtB;
  try {
    r->SetActive(false);
  } catch (...) {
    // A driver that cannot stop cleanly is still released.
    HandleCurrentException(this);
  }
  platform::Clock().Sleep(0);
  fProtB = nullptr;
  TObject::Free(r);
}

bool TBadgeReader2::Active() const { return fProtB != nullptr && fProtB->Active(); }

void TBadgeReader2::SetActive(bool value) {
  if (!value) {
    SetColor(clReaderOff);
    FreeReader();
    return;
  }
  if (fProtB == nullptr) CreateReader();
  if (fProtB == nullptr) {
    SetColor(clReaderFault);
    return;
  }
  try {
    fProtB->SetActive(true);
  } catch (...) {
    SetColor(clReaderFault);
    throw;
  }
  SetColor(fProtB->Status() == sdTimeout ? clReaderFault : clReaderRunning);
}

void TBadgeReader2::SetModel(const std::string& value) {
  if (value == fModel) return;
  if (FindBadgeReader(value) == nullptr) throw Exception("Invalid model");
  FreeReader();
  fModel = value;
  CreateReader();
}

void TBadgeReader2::SetCOM(const std::string& value) {
  if (value == fCom) return;
  if (fProtB == nullptr) {
    fCom = value;
    return;
  }
  bool wasActive = fProtB->Active();
  fProtB->SetActive(false);
  fProtB->SetCOM(value);
  if (wasActive) SetActive(true);
  if (fProtB != nullptr) fCom = fProtB->COM();
}

void TBadgeReader2::SetTrack(std::int32_t value) {
  if (value == fTrack) return;
  if (fProtB == nullptr) {
    fTrack = value;
    return;
  }
  fProtB->SetTrack(value);
  fTrack = fProtB->Track();
}

void TBadgeReader2::SetBpi(std::int32_t value) {
  if (value == fBpi) return;
  if (fProtB == nullptr) {
    fBpi = value;
    return;
  }
  fProtB->SetBpi(value);
  fBpi = fProtB->Bpi();
}

void TBadgeReader2::SetStartmm(long double value) {
  if (value == 0 || value == fStartmm) return;
  if (fProtB == nullptr) {
    fStartmm = value;
    return;
  }
  fProtB->SetStartmm(value);
  fStartmm = fProtB->Startmm();
}

TCoercitivity TBadgeReader2::Coercitivity() const {
  return fProtB != nullptr ? fProtB->Coercitivity() : fCoercitivity;
}

void TBadgeReader2::SetCoercitivity(TCoercitivity value) {
  // With a driver only the driver changes: a driver made later still gets the
  // remembered value.
  if (fProtB != nullptr)
    fProtB->SetCoercitivity(value);
  else
    fCoercitivity = value;
}

void TBadgeReader2::SetCheckCRCTes(bool value) {
  if (fProtB != nullptr) fProtB->SetCheckCRCTes(value);
  fCheckCrcTes = value;
}

void TBadgeReader2::SetTkCrypt(bool value) {
  if (fProtB != nullptr) fProtB->SetCrypt(value);
  fCrypt = value;
}

TStatiDispo TBadgeReader2::Status() const {
  return fProtB != nullptr ? fProtB->Status() : sdTimeout;
}

TStatiDispo TBadgeReader2::StatoLettore() const {
  return fProtB != nullptr ? fProtB->Status() : sdStart;
}

std::int32_t TBadgeReader2::StatoTessera() const {
  return fProtB != nullptr ? fProtB->StatoTessera() : csNoBadge;
}

std::int32_t TBadgeReader2::CurrentOperation() const {
  return fProtB != nullptr ? fProtB->CurrentOperation() : 0;
}

bool TBadgeReader2::isWriter() const {
  const TBadgeReaderClass* cls = ModelClass();
  return cls != nullptr && cls->IsWriter();
}

bool TBadgeReader2::isStripe() const {
  const TBadgeReaderClass* cls = ModelClass();
  return cls != nullptr && cls->IsStripe();
}

bool TBadgeReader2::TrackSupported(std::int32_t trackcode) const {
  const TBadgeReaderClass* cls = ModelClass();
  return cls != nullptr && cls->TrackSupported(trackcode);
}

bool TBadgeReader2::CoercitivitySupported(TCoercitivity coer) const {
  const TBadgeReaderClass* cls = ModelClass();
  return cls != nullptr && cls->CoercitivitySupported(coer);
}

void TBadgeReader2::EjectBack() {
  if (fProtB) fProtB->EjectBack();
}
void TBadgeReader2::SetLed(bool l1, bool l2, bool l3, bool l4) {
  if (fProtB) fProtB->SetLed(l1, l2, l3, l4);
}
void TBadgeReader2::SetBuzzer(std::uint8_t numBeeps) {
  if (fProtB) fProtB->SetBuzzer(numBeeps);
}
void TBadgeReader2::SetReadWriteRetry(std::uint8_t num) {
  if (fProtB) fProtB->SetReadWriteRetry(num);
}
void TBadgeReader2::Inizializza() {
  if (fProtB) fProtB->Inizializza();
}
void TBadgeReader2::ReadTessera(std::uint8_t Track) {
  if (fProtB) fProtB->ReadTessera(Track);
}
void TBadgeReader2::WriteTessera(const AnsiString& CodTessera, std::uint8_t Track) {
  if (fProtB) fProtB->WriteTessera(CodTessera, Track);
}
void TBadgeReader2::EjectTessera() {
  if (fProtB) fProtB->EjectTessera();
}
void TBadgeReader2::CaptureTessera() {
  if (fProtB) fProtB->CaptureTessera();
}
void TBadgeReader2::ResetOperation() {
  if (fProtB) fProtB->ResetOperation();
}

void TBadgeReader2::ReadCard() { ReadTessera(TrackCodeAsByte(fTrack)); }
void TBadgeReader2::WriteCard(const AnsiString& CardCode) {
  WriteTessera(CardCode, TrackCodeAsByte(fTrack));
}

}  // namespace lumbra
