#include "platform/win32/Win32Desktop.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace lumbra::platform::win32 {
namespace {

HWND Visible(const wchar_t* title) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"LumbraForegroundTest";
  RegisterClassW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                         100, nullptr, nullptr, wc.hInstance, nullptr);
}

void Pump() {
  MSG msg;
  for (int i = 0; i < 20; ++i) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(Win32Foreground, TheWindowThatHadTheFocusGetsItBackEvenMinimised) {
  Win32Foreground fg;
  HWND a = Visible(L"a"), b = Visible(L"b");
  ASSERT_TRUE(a != nullptr && b != nullptr);
  SetForegroundWindow(a);
  Pump();
  const ForegroundWindow remembered = fg.Current();
  ASSERT_EQ(remembered, reinterpret_cast<ForegroundWindow>(a));

  SetForegroundWindow(b);  // a message box, say
  Pump();
  ASSERT_EQ(fg.Current(), reinterpret_cast<ForegroundWindow>(b));
  fg.Restore(remembered);
  Pump();
  EXPECT_EQ(GetForegroundWindow(), a);

  ShowWindow(a, SW_MINIMIZE);
  SetForegroundWindow(b);
  Pump();
  fg.Restore(remembered);
  Pump();
  EXPECT_FALSE(IsIconic(a));
  EXPECT_EQ(GetForegroundWindow(), a);

  DestroyWindow(a);
  Pump();
  SetForegroundWindow(b);
  Pump();
  fg.Restore(remembered);  // gone: nothing happens
  fg.Restore(0);
  Pump();
  EXPECT_EQ(GetForegroundWindow(), b);
  DestroyWindow(b);
}

TEST(Win32Environment, TheRunningProgramAndAnExistingConfigurationFolder) {
  Win32Environment env;
  std::filesystem::path exe = env.ExecutablePath();
  EXPECT_EQ(exe.filename(), "lumbra_win32_tests.exe");
  EXPECT_TRUE(std::filesystem::is_regular_file(exe));
  std::string config = env.UserConfigDir();
  ASSERT_FALSE(config.empty());
  EXPECT_TRUE(std::filesystem::is_directory(config)) << config;
}

}  // namespace
}  // namespace lumbra::platform::win32
