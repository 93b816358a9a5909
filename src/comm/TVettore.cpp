#include "comm/TVettore.h"

#include <memory>

#include "comm/wmProtocol.h"

namespace lumbra {

TFisicVector::TFisicVector(platform::HWND aWindow)
    : WinHost(aWindow), fCfgFile("lumbra.ini"), fCfgSection("TFisicVector") {}

void TFisicVector::BeforeDestruction() {
  Close();
  TObject::BeforeDestruction();
}

void TFisicVector::SetEnabled(bool value) {
  if (value == FEnabled) return;
  if (value)
    Open();
  else
    Close();
}

void TFisicVector::SetStato(TVectorState value) {
  if (value == FStato) return;
  switch (value) {
    case vsCalling:
    case vsAcceptingCall:
    case vsActive:
      Open();
      break;
    case vsIdle:
    case vsDropping:
    case vsError:
      Close();
      break;
  }
}

void TFisicVector::NotifyHost(const std::string& Msg, std::int32_t Kind, double Time) {
  auto m = std::make_unique<TStdMessage>();
  m->Mittente = this;
  m->ID = fID;
  m->tipo = 0;
  m->orario = Time;
  m->dataInt = Kind;
  m->dataStr = DeviceName() + ": " + Msg;
  PostStdMessage(WinHost, std::move(m));
}

void TFisicVector::SignalError(TObject* Sender, std::int32_t Errors, const std::string& ErrMsg) {
  FError = Errors;
  if (OnError) OnError(Sender, Errors);
  if (OnError2) OnError2(Sender, Errors, ErrMsg);
}

bool TFisicVector::GetDevConfig(char16_t*, std::int32_t& bufsize) {
  bufsize = 0;
  return true;
}

bool TFisicVector::SetDevConfig(const char16_t*, std::int32_t) { return true; }

bool TFisicVector::Connect() {
  if (FStato != vsIdle) return true;
  return Open();
}

bool TFisicVector::ConnectTo(const std::string&) { return false; }

}  // namespace lumbra
