#pragma once
// The program's modal windows on Win32: the message box of the whole program,
// the password dialog, the About window and the wave-file dialog.
#include <string>

#include "app/UPWD.h"
#include "platform/MessageBox.h"
// Windows' headers after the program's (see MainWindow.h).
#include <windows.h>

namespace lumbra::ui::win32 {

using ::HWND;

// No icon (an information), one OK button, the program's light blue, over
// everything and owned by no window, so that it shows over the application
// the user is typing into. While it is open this thread shares the input of
// the thread that had the foreground, so that the box may take the focus (and
// the caller give it back afterwards).
class TopMessageBox final : public platform::IMessageBox {
 public:
  void Show(const std::string& text, const std::string& caption,
            platform::MessageKind kind) override;
};

// The end of the session: from now on no modal window is shown (messages go
// to the debugger's output instead), so that nothing holds the end up. Those
// open now leave their loops with the quit message the program posts.
void EndModalWindows();
bool ModalWindowsEnded();

// The program's icon at the given size: the executable's icon resource, or
// the reader picture when the program has none.
HICON ProgramIcon(int size);

// Shows the password dialog model; true when confirmed with OK.
bool RunPasswordDialog(app::TTkETPwdDlg& dlg, HWND owner);

// The About window, modal. Its versions come from the program's version resource.
void RunAboutDialog(HWND owner);

// Asks for an existing file. filter is "description|patterns" pairs joined by
// '|'; fileName is the initial name and, when confirmed, the chosen full path.
bool BrowseFile(HWND owner, const std::string& title, const std::string& filter,
                std::string& fileName);

}  // namespace lumbra::ui::win32
