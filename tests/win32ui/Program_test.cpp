// The built program under Wine, as a user starts it: a copy of lumbra.exe
// with its language files and a settings file beside it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/Files.h"
#include "ui/win32/MainWindow.h"
#include "ui/win32/WindowNames.h"

namespace lumbra::ui::win32 {
namespace {

namespace fs = std::filesystem;

// A folder of the build as Windows names it: Wine shows the Linux file system as Z:.
fs::path BuildFolder(const std::string& path) {
  return path.size() > 0 && path[0] == '/' ? Utf8Path("Z:" + path) : Utf8Path(path);
}

HANDLE Start(const fs::path& exe) {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::wstring line = L"\"" + exe.wstring() + L"\"";
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      exe.parent_path().c_str(), &si, &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

HWND WaitForMainWindow(HANDLE process) {
  for (int i = 0; i < 300; ++i) {
    HWND w = FindWindowW(kMainWindowClass, nullptr);
    if (w != nullptr) return w;
    if (WaitForSingleObject(process, 100) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

// Asks the shell whether it holds the icon: changing nothing of an icon it
// does not know fails.
bool ShellHasIcon(HWND owner) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = owner;
  nid.uID = kTrayIconId;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

TEST(ProgramTest, StartsInTheTrayComesForwardOnASecondStartAndEndsWithTheSession) {
  ASSERT_EQ(FindWindowW(kMainWindowClass, nullptr), nullptr) << "a copy runs already";
  const fs::path built = BuildFolder(LUMBRA_RUNTIME_DIR);
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const fs::path dir = fs::path(temp) / ("lumbra-program-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(dir);
  for (const auto& entry : fs::directory_iterator(built))
    if (entry.path().extension() == ".exe" || entry.path().extension() == ".lng")
      fs::copy_file(entry.path(), dir / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
  // English, and no port: the reader stays off without a message.
  std::ofstream(dir / "lumbra.xml")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<Configuration><Model>SLX-44</Model><Com></Com><Lingua>0</Lingua></Configuration>\n";

  HANDLE first = Start(dir / "lumbra.exe");
  ASSERT_NE(first, nullptr);
  HWND main = WaitForMainWindow(first);
  ASSERT_NE(main, nullptr) << "no main window";
  // The window is made before the settings are read: its caption changes then.
  wchar_t title[128] = {};
  for (int i = 0; i < 100; ++i, Sleep(100)) {
    GetWindowTextW(main, title, 128);
    if (std::wstring(title) == L"Tavik Badge Reader 1.6") break;
  }
  EXPECT_STREQ(title, L"Tavik Badge Reader 1.6") << "the settings beside it choose English";
  EXPECT_FALSE(IsWindowVisible(main)) << "it starts in the notification area";
  bool icon = false;
  for (int i = 0; i < 50 && !(icon = ShellHasIcon(main)); ++i) Sleep(100);
  EXPECT_TRUE(icon) << "no tray icon";

  // A second start ends at once and brings the first copy's window forward.
  HANDLE second = Start(dir / "lumbra.exe");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(WaitForSingleObject(second, 15000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(second, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(second);
  bool shown = false;
  for (int i = 0; i < 50 && !(shown = IsWindowVisible(main)); ++i) Sleep(100);
  EXPECT_TRUE(shown);
  EXPECT_EQ(FindWindowW(kMainWindowClass, nullptr), main);

  // The end of the session ends it, without a password.
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000,
                                &answer),
            0);
  EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
  SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000, &answer);
  const bool ended = WaitForSingleObject(first, 15000) == WAIT_OBJECT_0;
  EXPECT_TRUE(ended);
  if (!ended) TerminateProcess(first, 1);
  CloseHandle(first);
  EXPECT_FALSE(ShellHasIcon(main)) << "its icon stays in the tray";

  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace lumbra::ui::win32
