#pragma once
// Modal messages to the user. Show blocks the UI thread until the user closes
// the box. Texts are UTF-8.
#include <string>

namespace lumbra::platform {

enum class MessageKind { Information, Warning, Error };

class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  virtual void Show(const std::string& text, const std::string& caption, MessageKind kind) = 0;
};

// The installed message box; without one, messages go to standard error so
// that nothing shown to a user is silently lost.
IMessageBox& MessageBoxes();
void SetMessageBox(IMessageBox* box);

}  // namespace lumbra::platform
