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

// The end of the session: every modal window open now is cancelled, and the
// ones asked for from now on are not shown (a message goes to standard error
// instead), so that no nested loop holds the end up.
void EndModalWindows();
bool ModalWindowsEnded();

// Shows the password dialog model; true when confirmed with OK.
bool RunPasswordDialog(app::TTkETPwdDlg& dlg);

// Asks for an existing file. filter is "description|patterns" pairs joined by
// '|'; fileName is the initial name and, when confirmed, the chosen full path.
bool BrowseFile(const std::string& title, const std::string& filter, std::string& fileName);

}  // namespace lumbra::ui
