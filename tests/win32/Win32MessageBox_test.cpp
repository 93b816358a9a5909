#include "platform/win32/Win32MessageBox.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace lumbra::platform::win32 {
namespace {

// The box shows the UTF-8 texts as the user's characters and blocks until it
// is closed; a helper thread reads it and presses OK, as a user would.
TEST(Win32MessageBox, ShowsTheTextsAndBlocksUntilClosed) {
  const std::wstring caption = L"Lumbra \u00E8 prova";  // è
  std::wstring seen;
  std::atomic<bool> closed{false};
  std::thread user([&] {
    for (int i = 0; i < 500 && !closed; ++i) {
      HWND box = FindWindowW(L"#32770", caption.c_str());
      if (box != nullptr) {
        wchar_t text[256] = {};
        // The message is the dialog's static text, id 0xFFFF.
        GetDlgItemTextW(box, 0xFFFF, text, 256);
        seen = text;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Not found by its caption: close whatever box there is, so the test
    // fails on the text rather than hanging.
    while (!closed) {
      if (HWND any = FindWindowW(L"#32770", nullptr)) PostMessageW(any, WM_COMMAND, IDOK, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  Win32MessageBox box;
  box.Show("Lettore \xE2\x82\xAC guasto", "Lumbra \xC3\xA8 prova", MessageKind::Error);  // €
  closed = true;
  user.join();
  EXPECT_EQ(seen, L"Lettore \u20AC guasto");
}

}  // namespace
}  // namespace lumbra::platform::win32
