// A run of typed keys sets the user's held modifiers aside and gives back
// those still held: the decision on its own, and the real path through
// SendInput and the low-level hook into a window of the test. The "user" is
// the test injecting unmarked events, as another input source would.
// Before windows.h, whose macros would take the interface's names.
// clang-format off
#include "platform/win32/Win32Keyboard.h"
// clang-format on
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>
// The interface's own names, not the Win32 macros.
#undef VkKeyScan
#undef MapVirtualKey

namespace lumbra::platform::win32 {
namespace {

constexpr ModifierSet Bit(std::uint8_t vk) {
  for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i)
    if (kRunModifierKeys[i] == vk) return static_cast<ModifierSet>(1u << i);
  return 0;
}

TEST(Win32TypingRun, HeldModifiersFromAKeyState) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> state;  // key, table entry
    ModifierSet held;
  };
  const Case cases[] = {
      {"nothing down", {}, 0},
      {"left shift, generic too", {{VK_LSHIFT, 0x80}, {VK_SHIFT, 0x80}}, Bit(VK_LSHIFT)},
      {"right ctrl and left alt (AltGr)",
       {{VK_RCONTROL, 0x80}, {VK_CONTROL, 0x80}, {VK_LMENU, 0x80}, {VK_MENU, 0x80}},
       static_cast<ModifierSet>(Bit(VK_RCONTROL) | Bit(VK_LMENU))},
      {"both shifts", {{VK_LSHIFT, 0x80}, {VK_RSHIFT, 0x81}}, Bit(VK_LSHIFT) | Bit(VK_RSHIFT)},
      {"generic ctrl alone counts as left", {{VK_CONTROL, 0x80}}, Bit(VK_LCONTROL)},
      {"windows keys", {{VK_LWIN, 0x80}, {VK_RWIN, 0x80}}, Bit(VK_LWIN) | Bit(VK_RWIN)},
      {"toggled only, not down", {{VK_LSHIFT, 0x01}, {VK_SHIFT, 0x01}}, 0},
      {"lock keys are not set aside", {{VK_CAPITAL, 0x81}, {VK_NUMLOCK, 0x81}}, 0},
  };
  for (const Case& c : cases) {
    KeyboardStateTable table{};
    for (auto [vk, entry] : c.state) table[vk] = entry;
    EXPECT_EQ(HeldModifiers(table), c.held) << c.name;
  }
}

TEST(Win32TypingRun, WhatIsGivenBackAtTheEnd) {
  constexpr auto N = KeyChange::None, P = KeyChange::Pressed, R = KeyChange::Released;
  struct Case {
    const char* name;
    ModifierSet setAside;
    ModifierChanges during;
    ModifierSet back;
  };
  const Case cases[] = {
      {"held throughout", Bit(VK_LSHIFT), {N, N, N, N, N, N, N, N}, Bit(VK_LSHIFT)},
      {"let go during the run", Bit(VK_LSHIFT), {R, N, N, N, N, N, N, N}, 0},
      {"repeating while held", Bit(VK_LSHIFT), {P, N, N, N, N, N, N, N}, Bit(VK_LSHIFT)},
      {"pressed during the run", 0, {N, N, N, P, N, N, N, N}, Bit(VK_RCONTROL)},
      {"pressed and let go during the run", 0, {N, N, N, R, N, N, N, N}, 0},
      {"one of two let go",
       static_cast<ModifierSet>(Bit(VK_RCONTROL) | Bit(VK_LMENU)),
       {N, N, N, N, R, N, N, N},
       Bit(VK_RCONTROL)},
      {"nothing set aside, nothing done", 0, {N, N, N, N, N, N, N, N}, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ModifiersToGiveBack(c.setAside, c.during), c.back) << c.name;
}

std::wstring gTyped;

LRESULT CALLBACK Target(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR) gTyped += static_cast<wchar_t>(wParam);
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// The user's keys: unmarked events, as the keyboard (or another program) sends them.
void UserKey(std::uint8_t vk, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  const bool extended = vk == VK_RCONTROL || vk == VK_RMENU || vk == VK_LWIN || vk == VK_RWIN;
  input.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0u) | (extended ? KEYEVENTF_EXTENDEDKEY : 0u);
  SendInput(1, &input, sizeof(input));
}

bool Down(std::uint8_t vk) {
  return (GetAsyncKeyState(vk) & 0x8000) != 0;
}

class Win32TypingRunOnScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Target;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"LumbraRunTarget";
    RegisterClassW(&wc);
    hwnd = CreateWindowExW(0, wc.lpszClassName, L"run target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                           0, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
    SetForegroundWindow(hwnd);
    SetFocus(hwnd);
    PumpUntil([] { return false; }, 200);
    ASSERT_EQ(GetFocus(), hwnd) << "the test window did not get the focus";
  }
  void TearDown() override {
    for (std::uint8_t vk : kRunModifierKeys) UserKey(vk, true);
    PumpUntil([] { return false; }, 50);
    if (hwnd != nullptr) DestroyWindow(hwnd);
  }
  static bool PumpUntil(const std::function<bool()>& done, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MSG msg;
    while (!done() && std::chrono::steady_clock::now() < end) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }
  HWND hwnd = nullptr;
};

TEST_F(Win32TypingRunOnScreen, HeldModifiersAreSetAsideAndTheStillHeldGivenBack) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> held;                         // before the run
    std::vector<std::pair<std::uint8_t, bool>> userDuring;  // key, up
    std::vector<std::uint8_t> downAfter, upAfter;
  };
  const Case cases[] = {
      {"shift held", {VK_LSHIFT}, {}, {VK_LSHIFT}, {}},
      {"shift let go during the run", {VK_LSHIFT}, {{VK_LSHIFT, true}}, {}, {VK_LSHIFT}},
      {"ctrl pressed during the run", {}, {{VK_RCONTROL, false}}, {VK_RCONTROL}, {}},
      {"right ctrl and left alt held", {VK_RCONTROL, VK_LMENU}, {}, {VK_RCONTROL, VK_LMENU}, {}},
      // (Not right Shift: Wine takes an injected one for the left.)
      {"right alt and left win held, win let go",
       {VK_RMENU, VK_LWIN},
       {{VK_LWIN, true}},
       {VK_RMENU},
       {VK_LWIN}},
  };
  Win32Keyboard kb;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::uint8_t vk : c.held) UserKey(vk, false);
    ASSERT_TRUE(PumpUntil(
        [&] {
          for (std::uint8_t vk : c.held)
            if (!Down(vk)) return false;
          return true;
        },
        2000))
        << "the user's keys did not go down";
    gTyped.clear();
    kb.BeginTyping();
    for (auto [vk, up] : c.userDuring) UserKey(vk, up);
    const auto a = static_cast<std::uint8_t>(kb.VkKeyScan(u'a') & 0xFF);
    const auto scan = static_cast<std::uint8_t>(kb.MapVirtualKey(a));
    kb.KeybdEvent(a, scan, 0);
    kb.KeybdEvent(a, scan, KEYEVENTF_KEYUP);
    kb.EndTyping();
    ASSERT_TRUE(PumpUntil([] { return !gTyped.empty(); }, 3000));
    PumpUntil(
        [&] {
          for (std::uint8_t vk : c.downAfter)
            if (!Down(vk)) return false;
          return true;
        },
        2000);
    EXPECT_EQ(gTyped, L"a") << "the user's modifiers reached the typed key";
    for (std::uint8_t vk : c.downAfter) EXPECT_TRUE(Down(vk)) << "given back: " << int{vk};
    for (std::uint8_t vk : c.upAfter) EXPECT_FALSE(Down(vk)) << "not given back: " << int{vk};
    EXPECT_FALSE(Down(a)) << "the run left its key down";
    for (std::uint8_t vk : kRunModifierKeys) UserKey(vk, true);
    PumpUntil([] { return false; }, 50);
  }
}

TEST_F(Win32TypingRunOnScreen, AnEndWithoutABeginAndTwoBeginsInARow) {
  Win32Keyboard kb;
  kb.EndTyping();  // nothing set aside: nothing pressed
  PumpUntil([] { return false; }, 50);
  for (std::uint8_t vk : kRunModifierKeys) EXPECT_FALSE(Down(vk)) << int{vk};
  UserKey(VK_LSHIFT, false);
  ASSERT_TRUE(PumpUntil([] { return Down(VK_LSHIFT); }, 2000));
  kb.BeginTyping();
  kb.BeginTyping();  // the first run's shift is given back, and set aside again
  EXPECT_TRUE(PumpUntil([] { return !Down(VK_LSHIFT); }, 2000));
  kb.EndTyping();
  EXPECT_TRUE(PumpUntil([] { return Down(VK_LSHIFT); }, 2000));
}

}  // namespace
}  // namespace lumbra::platform::win32
