#pragma once
// Modal messages with MessageBoxW, owned by no window but kept on top so they
// are seen over the application the user is typing into.
#include "platform/MessageBox.h"

namespace lumbra::platform::win32 {

class Win32MessageBox final : public IMessageBox {
 public:
  void Show(const std::string& text, const std::string& caption, MessageKind kind) override;
};

}  // namespace lumbra::platform::win32
