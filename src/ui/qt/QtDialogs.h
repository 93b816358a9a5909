#pragma once
// Modal Qt dialogs behind the model's interfaces.
#include "app/UPWD.h"
#include "platform/MessageBox.h"

namespace lumbra::ui {

// The message box of the whole program: no icon, one OK button, in front of
// everything, in the program's light blue.
class QtMessageBox final : public platform::IMessageBox {
 public:
  void Show(const std::string& text, const std::string& caption,
            platform::MessageKind kind) override;
};

// Shows the password dialog model; true when confirmed with OK.
bool RunPasswordDialog(app::TTkETPwdDlg& dlg);

}  // namespace lumbra::ui
