// A run of typed keys sets the user's held, latched and locked modifiers
// aside and gives back those still held, latched or locked: the decision on
// its own, from the key state and StickyKeys' flags the run reads, and the
// real path through SendInput and the low-level hook into a window of the
// test. The "user" is the test injecting unmarked events, as another input
// source would; the StickyKeys setting is the test's, as Wine has none.
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

// StickyKeys' flags: on, and a key's latched or locked bit (the order of a ModifierSet).
constexpr std::uint32_t kOn = 0x1;
constexpr std::uint32_t Latched(std::uint8_t vk) {
  return static_cast<std::uint32_t>(Bit(vk)) << 24;
}
constexpr std::uint32_t Locked(std::uint8_t vk) {
  return static_cast<std::uint32_t>(Bit(vk)) << 16;
}

TEST(Win32TypingRun, WhatTheStartSetsAsideFromKeysAndStickyKeys) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> down;  // in the key state read after StickyKeys went off
    std::uint32_t sticky;
    RunStart start;
  };
  const auto LS = Bit(VK_LSHIFT), RC = Bit(VK_RCONTROL), LA = Bit(VK_LMENU), LW = Bit(VK_LWIN);
  const Case cases[] = {
      {"nothing, StickyKeys off", {}, 0, {}},
      {"shift held, StickyKeys off", {VK_LSHIFT}, 0, {LS, LS, {}, false}},
      {"StickyKeys on, nothing latched: off for the run", {}, kOn | 0x40, {0, 0, {}, true}},
      {"left shift latched, still shown down",
       {VK_LSHIFT},
       kOn | Latched(VK_LSHIFT),
       {LS, 0, {LS, 0}, true}},
      {"right ctrl locked, left alt held",
       {VK_RCONTROL, VK_LMENU},
       kOn | Locked(VK_RCONTROL),
       {static_cast<ModifierSet>(RC | LA), LA, {0, RC}, true}},
      {"win latched, already let go by the switch", {}, kOn | Latched(VK_LWIN), {0, 0, {LW, 0}, true}},
      {"latched and locked bits of one key: locked", {}, kOn | Latched(VK_LSHIFT) | Locked(VK_LSHIFT),
       {0, 0, {0, LS}, true}},
      {"state bits with StickyKeys off mean nothing", {VK_LSHIFT}, Latched(VK_LSHIFT),
       {LS, LS, {}, false}},
  };
  for (const Case& c : cases) {
    KeyboardStateTable table{};
    for (std::uint8_t vk : c.down) table[vk] = 0x80;
    EXPECT_EQ(PlanRunStart(table, c.sticky), c.start) << c.name;
  }
}

TEST(Win32TypingRun, LatchesAndLocksSetAgainUnlessTheUserPressedTheKey) {
  constexpr auto N = KeyChange::None, P = KeyChange::Pressed, R = KeyChange::Released;
  const auto LS = Bit(VK_LSHIFT), LC = Bit(VK_LCONTROL);
  struct Case {
    const char* name;
    StickyModifiers setAside;
    ModifierChanges during;
    StickyModifiers back;
  };
  const Case cases[] = {
      {"left alone", {LS, LC}, {N, N, N, N, N, N, N, N}, {LS, LC}},
      {"the latched key pressed again", {LS, LC}, {P, N, N, N, N, N, N, N}, {0, LC}},
      {"the locked key pressed", {LS, LC}, {N, N, P, N, N, N, N, N}, {LS, 0}},
      {"released: the switch letting it go", {LS, LC}, {R, N, R, N, N, N, N, N}, {LS, LC}},
      {"another key touched", {LS, 0}, {N, N, N, N, P, N, N, N}, {LS, 0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StickyToGiveBack(c.setAside, c.during), c.back) << c.name;
}

std::wstring gTyped;
std::vector<WPARAM> gModifierDowns;  // modifier keys pressed after the first character

LRESULT CALLBACK Target(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR) gTyped += static_cast<wchar_t>(wParam);
  if (msg == WM_KEYDOWN && !gTyped.empty() && (wParam == VK_SHIFT || wParam == VK_CONTROL))
    gModifierDowns.push_back(wParam);
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

// The user latched or locked a modifier: the system shows its key down. The
// run switches StickyKeys off (which lets the key go), types without it,
// switches StickyKeys on again and presses the key once for a latch, twice
// for a lock.
TEST_F(Win32TypingRunOnScreen, LatchedAndLockedModifiersAreSetAsideAndGivenBack) {
  struct Case {
    const char* name;
    std::uint8_t key;
    std::uint32_t flags;
    size_t presses;
  };
  const Case cases[] = {
      {"shift latched", VK_LSHIFT, kOn | 0x80 | Latched(VK_LSHIFT), 1},
      {"ctrl locked", VK_LCONTROL, kOn | 0x80 | Locked(VK_LCONTROL), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint32_t flags = c.flags;
    std::vector<std::uint32_t> written;
    StickyKeysAccess sticky;
    sticky.get = [&flags](std::uint32_t& f) {
      f = flags;
      return true;
    };
    sticky.set = [&, key = c.key](std::uint32_t f) {
      written.push_back(f);
      if ((f & kOn) == 0 && (flags & 0xFFFF0000u) != 0) UserKey(key, true);  // as the system does
      flags = f & 0xFFFF;
      return true;
    };
    Win32Keyboard kb(sticky);
    UserKey(c.key, false);
    ASSERT_TRUE(PumpUntil([&] { return Down(c.key); }, 2000));
    gTyped.clear();
    gModifierDowns.clear();
    kb.BeginTyping();
    EXPECT_TRUE(PumpUntil([&] { return !Down(c.key); }, 2000)) << "still down in the run";
    const auto a = static_cast<std::uint8_t>(kb.VkKeyScan(u'a') & 0xFF);
    const auto scan = static_cast<std::uint8_t>(kb.MapVirtualKey(a));
    kb.KeybdEvent(a, scan, 0);
    kb.KeybdEvent(a, scan, KEYEVENTF_KEYUP);
    kb.EndTyping();
    ASSERT_TRUE(PumpUntil([&] { return gModifierDowns.size() >= c.presses; }, 3000));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(gTyped, L"a") << "the latched or locked key reached the typed one";
    EXPECT_EQ(written, (std::vector<std::uint32_t>{c.flags & 0xFFFE, c.flags & 0xFFFF}))
        << "off for the run, then as it was";
    EXPECT_EQ(gModifierDowns.size(), c.presses);
    EXPECT_FALSE(Down(c.key)) << "given back as a held key";
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
