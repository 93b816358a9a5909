#include "comm/WComp.h"

#include "base/AppException.h"

namespace lumbra {

TCustomWindowedComponent::TCustomWindowedComponent(TComponent* AOwner) : TComponent(AOwner) {}

TCustomWindowedComponent::~TCustomWindowedComponent() {
  if (FHandle != 0) platform::MessageLoop().DestroyMessageWindow(FHandle);
}

HWND TCustomWindowedComponent::Handle() {
  HandleNeeded();
  return FHandle;
}

void TCustomWindowedComponent::HandleNeeded() {
  if (FHandle != 0) return;
  FHandle = platform::MessageLoop().CreateMessageWindow([this](TMessage& m) { WndProc(m); });
}

void TCustomWindowedComponent::ProcessMessages() { platform::MessageLoop().ProcessMessages(); }

void TCustomWindowedComponent::DefaultHandler(TMessage& Msg) {
  if (FHandle != 0) Msg.Result = 0;
}

void TCustomWindowedComponent::DoMessage(TMessage&, bool& Handled) { Handled = false; }

void TCustomWindowedComponent::WndProc(TMessage& Msg) {
  try {
    bool handled = false;
    DoMessage(Msg, handled);
    if (!handled) Dispatch(Msg);
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TWindowedComponent::DoMessage(TMessage& Msg, bool& Handled) {
  if (OnMessage) OnMessage(Msg, Handled);
}

}  // namespace lumbra
