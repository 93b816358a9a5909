#pragma once
// A component that owns a hidden message window: other threads post to its
// Handle, and its message hook runs later on the UI thread. Drivers derive from
// it; TWindowedComponent publishes the hook as an event for ad-hoc windows.
#include <functional>

#include "base/Component.h"
#include "platform/MessageLoop.h"

namespace lumbra {

using platform::HWND;
using platform::LPARAM;
using platform::TMessage;
using platform::WPARAM;

using TEventMessage = std::function<void(TMessage& Msg, bool& Handled)>;

class TCustomWindowedComponent : public TComponent {
 public:
  explicit TCustomWindowedComponent(TComponent* AOwner);
  ~TCustomWindowedComponent() override;

  // Creates the window on first use; UI thread only.
  HWND Handle();
  bool HandleAllocated() const { return FHandle != 0; }
  void HandleNeeded();
  void ProcessMessages();

  // Default handling of a message nobody handled.
  virtual void DefaultHandler(TMessage& Msg);

 protected:
  // The hook every message passes first; the base leaves it unhandled.
  virtual void DoMessage(TMessage& Msg, bool& Handled);
  // The component's own handlers by message number; the base has none.
  virtual void Dispatch(TMessage& Msg) { DefaultHandler(Msg); }

 private:
  void WndProc(TMessage& Msg);
  HWND FHandle = 0;
};

class TWindowedComponent : public TCustomWindowedComponent {
 public:
  using TCustomWindowedComponent::TCustomWindowedComponent;
  TEventMessage OnMessage;

 protected:
  void DoMessage(TMessage& Msg, bool& Handled) override;
};

}  // namespace lumbra
