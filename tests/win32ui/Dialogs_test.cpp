// The modal windows on Win32: a helper thread finds each one as a user would
// see it, reads it and answers it.
#include "ui/win32/Dialogs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/win32/Win32Text.h"
#include "ui/win32/VersionInfo.h"

namespace lumbra::ui::win32 {
namespace {

// Waits (at most 10 s) for a dialog shown with the caption,
// hands it to answer, and closes any dialog left if it never came, so that a
// failing test ends instead of hanging.
class User {
 public:
  User(std::wstring caption, std::function<void(HWND)> answer) {
    fThread = std::thread([this, caption, answer] {
      for (int i = 0; i < 500 && !fDone; ++i) {
        // Shown once its controls are made.
        HWND box = FindWindowW(L"#32770", caption.c_str());
        if (box != nullptr && IsWindowVisible(box)) {
          found = true;
          answer(box);
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      while (!fDone) {
        if (HWND any = FindWindowW(L"#32770", nullptr)) PostMessageW(any, WM_COMMAND, IDCANCEL, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  ~User() {
    fDone = true;
    fThread.join();
  }
  std::atomic<bool> found{false};

 private:
  std::atomic<bool> fDone{false};
  std::thread fThread;
};

std::wstring ItemText(HWND dialog, int id) {
  wchar_t text[256] = {};
  GetDlgItemTextW(dialog, id, text, 256);
  return text;
}

TEST(Win32Dialogs, PasswordDialogGivesWhatWasTypedAndHowItClosed) {
  struct Case {
    int button;
    bool confirmed;
  };
  for (Case c : {Case{IDOK, true}, Case{IDCANCEL, false}}) {
    app::TTkETPwdDlg dlg;
    std::wstring prompt;
    bool result;
    {
      User user(L"Richiesta Password", [&](HWND box) {
        prompt = ItemText(box, -1);
        SetDlgItemTextW(box, 100, L"Qorvi\u00E8");
        PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(c.button), 0);
      });
      result = RunPasswordDialog(dlg, nullptr);
      EXPECT_TRUE(user.found);
    }
    EXPECT_EQ(result, c.confirmed);
    EXPECT_EQ(dlg.Entry().Text(), "Qorvi\xC3\xA8");
    EXPECT_EQ(prompt, L"Digitare password:");
  }
}

// The program's own version resource says the build's version, and the About
// window shows what it says; Escape closes it.
TEST(Win32Dialogs, AboutShowsTheVersionsOfTheResource) {
  EXPECT_EQ(ProgramVersionString("ProductVersion"), LUMBRA_PRODUCT_VERSION);
  EXPECT_EQ(ProgramVersionString("FileVersion"), LUMBRA_FILE_VERSION);
  EXPECT_EQ(ProgramVersionString("NoSuchValue"), "");
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(ReadVersionString(std::wstring(system) + L"\\no-such-file.exe", "FileVersion"), "");

  std::wstring version, build;
  User user(L"Informazioni", [&](HWND box) {
    version = ItemText(box, 207);
    build = ItemText(box, 208);
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);  // what Escape sends
  });
  RunAboutDialog(nullptr);
  EXPECT_TRUE(user.found);
  EXPECT_EQ(version, platform::win32::Wide(LUMBRA_PRODUCT_VERSION));
  EXPECT_EQ(build, L"Build (" + platform::win32::Wide(LUMBRA_FILE_VERSION) + L")");
}

// The program's messages carry no icon; the error box of a failed start does.
TEST(Win32Dialogs, MessageBoxShowsTheTextWithTheIconOfItsKind) {
  struct Case {
    platform::MessageKind kind;
    bool icon;
  };
  for (Case c : {Case{platform::MessageKind::Information, false},
                 Case{platform::MessageKind::Error, true}}) {
    std::wstring text;
    bool icon = false;
    {
      User user(L"Lettore di tessere Tavik", [&](HWND box) {
        text = ItemText(box, 0xFFFF);
        // An icon is a visible picture among the box's statics.
        EnumChildWindows(
            box,
            [](HWND child, LPARAM seen) {
              if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                  IsWindowVisible(child) && SendMessageW(child, STM_GETICON, 0, 0) != 0)
                *reinterpret_cast<bool*>(seen) = true;
              return TRUE;
            },
            reinterpret_cast<LPARAM>(&icon));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
      });
      TopMessageBox box;
      box.Show("Lettore guasto \xE2\x82\xAC", "Lettore di tessere Tavik", c.kind);
      EXPECT_TRUE(user.found);
    }
    EXPECT_EQ(text, L"Lettore guasto \u20AC");
    EXPECT_EQ(icon, c.icon);
  }
}

}  // namespace
}  // namespace lumbra::ui::win32
