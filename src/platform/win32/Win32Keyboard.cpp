#include "platform/win32/Win32Keyboard.h"

#include <windows.h>

#include <thread>
#include <utility>
// The interface's own names, not the Win32 macros.
#undef VkKeyScan
#undef MapVirtualKey

namespace lumbra::platform::win32 {
namespace {

// Pressed and released before Alt or Win is let go: alone, their release
// would open the window's menu or the Start menu. The key is unassigned.
constexpr std::uint8_t kMenuMaskKey = 0xE8;
constexpr DWORD kWatcherAnswerMs = 2000;
constexpr UINT kWatchStart = WM_APP + 1;
constexpr UINT kWatchStop = WM_APP + 2;
constexpr ModifierSet kAltOrWin = 0x30 | 0xC0;
constexpr std::uint32_t kStickyKeysOn = 0x00000001;  // SKF_STICKYKEYSON
// The flags the setting keeps; the rest report its state.
constexpr std::uint32_t kStickySettingFlags = 0x0000FFFF;

StickyKeysAccess SystemStickyKeys() {
  StickyKeysAccess access;
  access.get = [](std::uint32_t& flags) {
    STICKYKEYS sk{sizeof(sk), 0};
    if (!SystemParametersInfoW(SPI_GETSTICKYKEYS, sizeof(sk), &sk, 0)) return false;
    flags = sk.dwFlags;
    return true;
  };
  // Neither saved nor announced: the user's setting stays as it is.
  access.set = [](std::uint32_t flags) {
    STICKYKEYS sk{sizeof(sk), flags};
    return SystemParametersInfoW(SPI_SETSTICKYKEYS, sizeof(sk), &sk, 0) != FALSE;
  };
  return access;
}

int ModifierIndex(DWORD vk) {
  switch (vk) {
    case VK_SHIFT:
      return 0;
    case VK_CONTROL:
      return 2;
    case VK_MENU:
      return 4;
    default:
      for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i)
        if (kRunModifierKeys[i] == vk) return static_cast<int>(i);
      return -1;
  }
}

bool IsExtended(std::uint8_t vk) {
  return vk == VK_RCONTROL || vk == VK_RMENU || vk == VK_LWIN || vk == VK_RWIN;
}

void SendKey(std::uint8_t vk, std::uint16_t scan, DWORD flags) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = flags;
  input.ki.dwExtraInfo = Win32Keyboard::kOwnInputMark;
  ::SendInput(1, &input, sizeof(input));
}

void SendVk(std::uint8_t vk, bool up) {
  SendKey(vk, static_cast<std::uint16_t>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC)),
          (up ? KEYEVENTF_KEYUP : 0u) | (IsExtended(vk) ? KEYEVENTF_EXTENDEDKEY : 0u));
}

}  // namespace

ModifierSet HeldModifiers(const KeyboardStateTable& state) {
  ModifierSet held = 0;
  for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i)
    if (state[kRunModifierKeys[i]] & 0x80) held |= static_cast<ModifierSet>(1u << i);
  const std::uint8_t generic[] = {VK_SHIFT, VK_CONTROL, VK_MENU};
  for (unsigned pair = 0; pair < 3; ++pair) {
    const auto both = static_cast<ModifierSet>(3u << (2 * pair));
    if ((state[generic[pair]] & 0x80) && (held & both) == 0)
      held |= static_cast<ModifierSet>(1u << (2 * pair));
  }
  return held;
}

ModifierSet ModifiersToGiveBack(ModifierSet setAside, const ModifierChanges& during) {
  ModifierSet back = 0;
  for (std::size_t i = 0; i < during.size(); ++i) {
    const bool wasAside = (setAside >> i) & 1;
    if (during[i] == KeyChange::Pressed || (during[i] == KeyChange::None && wasAside))
      back |= static_cast<ModifierSet>(1u << i);
  }
  return back;
}

StickyModifiers StickyFromFlags(std::uint32_t flags) {
  StickyModifiers s;
  if ((flags & kStickyKeysOn) == 0) return s;
  s.locked = static_cast<ModifierSet>(flags >> 16);
  s.latched = static_cast<ModifierSet>(flags >> 24) & static_cast<ModifierSet>(~s.locked);
  return s;
}

RunStart PlanRunStart(const KeyboardStateTable& state, std::uint32_t stickyFlags) {
  RunStart r;
  r.sticky = StickyFromFlags(stickyFlags);
  // Off also with nothing latched: the run's own Shift presses would count
  // as the user's (five in a row ask to switch it off, and with "two keys
  // off" a combination does so).
  r.stickyOff = (stickyFlags & kStickyKeysOn) != 0;
  r.release = HeldModifiers(state);
  // A latch or lock shows as a key down while it applies: set again as what
  // it is, not pressed and left down.
  r.held = r.release & static_cast<ModifierSet>(~(r.sticky.latched | r.sticky.locked));
  return r;
}

StickyModifiers StickyToGiveBack(const StickyModifiers& setAside, const ModifierChanges& during) {
  StickyModifiers back = setAside;
  // A release is how switching StickyKeys off lets a latch or lock go; the
  // user's own touch of such a key is a press.
  for (std::size_t i = 0; i < during.size(); ++i)
    if (during[i] == KeyChange::Pressed) {
      back.latched &= static_cast<ModifierSet>(~(1u << i));
      back.locked &= static_cast<ModifierSet>(~(1u << i));
    }
  return back;
}

// The low-level hook's thread. A low-level hook is called through the message
// queue of the thread that installed it, so that thread must be free to
// answer at once: the UI thread, busy typing, is not.
class Win32Keyboard::Watcher {
 public:
  Watcher() {
    fAnswer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fThread = std::thread([this] { Run(); });
    WaitForSingleObject(fAnswer, kWatcherAnswerMs);
  }
  ~Watcher() {
    // A thread slow to start has its queue by the time it gives its id.
    while (fThreadId == 0) Sleep(1);
    PostThreadMessageW(fThreadId, WM_QUIT, 0, 0);
    fThread.join();
    CloseHandle(fAnswer);
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Starts learning the user's modifier keys, and keeping them from the
  // system; false when the system gives no hook.
  bool Start() {
    for (auto& c : fChanges) c = KeyChange::None;
    return Ask(kWatchStart) && fHooked;
  }
  ModifierChanges Stop() {
    Ask(kWatchStop);
    ModifierChanges changes{};
    for (std::size_t i = 0; i < changes.size(); ++i) changes[i] = fChanges[i];
    return changes;
  }

 private:
  bool Ask(UINT what) {
    ResetEvent(fAnswer);  // a late answer to a question that timed out
    return fThreadId != 0 && PostThreadMessageW(fThreadId, what, 0, 0) &&
           WaitForSingleObject(fAnswer, kWatcherAnswerMs) == WAIT_OBJECT_0;
  }
  void Run() {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the thread's queue
    fThreadId = GetCurrentThreadId();
    SetEvent(fAnswer);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == kWatchStart) {
        sWatching = this;
        if (fHook == nullptr)
          fHook = SetWindowsHookExW(WH_KEYBOARD_LL, &Hook, GetModuleHandleW(nullptr), 0);
        fHooked = fHook != nullptr;
        SetEvent(fAnswer);
      } else if (msg.message == kWatchStop) {
        Unhook();
        SetEvent(fAnswer);
      }
    }
    Unhook();
  }
  void Unhook() {
    if (fHook != nullptr) UnhookWindowsHookEx(fHook);
    fHook = nullptr;
    fHooked = false;
    sWatching = nullptr;
  }
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    Watcher* self = sWatching.load();
    if (code == HC_ACTION && self != nullptr) {
      const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
      const int i = ModifierIndex(key->vkCode);
      if (i >= 0 && key->dwExtraInfo != kOwnInputMark) {
        self->fChanges[static_cast<std::size_t>(i)] =
            (key->flags & LLKHF_UP) ? KeyChange::Released : KeyChange::Pressed;
        return 1;  // the run goes on without it
      }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static inline std::atomic<Watcher*> sWatching{nullptr};
  HANDLE fAnswer = nullptr;
  std::atomic<DWORD> fThreadId{0};
  std::thread fThread;
  HHOOK fHook = nullptr;  // the thread's own
  std::atomic<bool> fHooked{false};
  std::array<std::atomic<KeyChange>, kRunModifierKeys.size()> fChanges{};
};

Win32Keyboard::Win32Keyboard() : Win32Keyboard(SystemStickyKeys()) {}

Win32Keyboard::Win32Keyboard(StickyKeysAccess sticky) : fSticky(std::move(sticky)) {}

Win32Keyboard::~Win32Keyboard() {
  EndTyping();
}

std::uint16_t Win32Keyboard::VkKeyScan(char16_t ch) {
  SHORT key = ::VkKeyScanW(static_cast<WCHAR>(ch));
  // No key: both bytes -1.
  return key == -1 ? kNoKey : static_cast<std::uint16_t>(key);
}

std::uint32_t Win32Keyboard::MapVirtualKey(std::uint8_t vk) {
  return ::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
}

void Win32Keyboard::KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) {
  const bool up = (flags & KEYEVENTF_KEYUP) != 0;
  fDown[vk] = !up;
  SendKey(vk, scan, flags & (KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP));
}

std::int16_t Win32Keyboard::GetKeyState(int vk) {
  return ::GetKeyState(vk);
}

void Win32Keyboard::GetKeyboardState(KeyboardStateTable& state) {
  if (!::GetKeyboardState(state.data())) state.fill(0);
}

void Win32Keyboard::SetKeyboardState(const KeyboardStateTable& state) {
  KeyboardStateTable copy = state;
  ::SetKeyboardState(copy.data());
}

void Win32Keyboard::DrainKeyboardMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The keys as they are now, not as this thread's messages have seen them:
// the user may have pressed them in another program's window.
void Win32Keyboard::BeginTyping() {
  GiveBack();  // a run left open must not lose what it set aside
  fInRun = true;
  std::uint32_t sticky = 0;
  if (!fSticky.get || !fSticky.get(sticky)) sticky = 0;
  // Switched off, StickyKeys lets go of what it latched or locked.
  fStickyFlags = sticky & kStickySettingFlags;
  if ((sticky & kStickyKeysOn) != 0 && !(fSticky.set && fSticky.set(fStickyFlags & ~kStickyKeysOn)))
    sticky &= ~kStickyKeysOn;  // still on: nothing to put back, nor to press again
  if (!fWatcher) fWatcher = std::make_unique<Watcher>();
  fWatched = fWatcher->Start();
  KeyboardStateTable state{};
  for (std::uint8_t vk : kRunModifierKeys) state[vk] = (::GetAsyncKeyState(vk) & 0x8000) ? 0x80 : 0;
  for (std::uint8_t vk : {VK_SHIFT, VK_CONTROL, VK_MENU})
    state[vk] = (::GetAsyncKeyState(vk) & 0x8000) ? 0x80 : 0;
  fStart = PlanRunStart(state, sticky);
  if (fStart.release & kAltOrWin) {
    SendKey(kMenuMaskKey, 0, 0);
    SendKey(kMenuMaskKey, 0, KEYEVENTF_KEYUP);
  }
  for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i)
    if ((fStart.release >> i) & 1) SendVk(kRunModifierKeys[i], true);
}

void Win32Keyboard::EndTyping() {
  for (int vk = 0; vk < 256; ++vk)
    if (fDown[static_cast<std::size_t>(vk)]) SendVk(static_cast<std::uint8_t>(vk), true);
  fDown.reset();
  GiveBack();
}

void Win32Keyboard::GiveBack() {
  if (!fInRun) return;
  fInRun = false;
  // Without the hook nothing is known of the run's time: the keys are taken
  // to be held still, as they were.
  ModifierChanges during{};
  if (fWatched) during = fWatcher->Stop();
  const ModifierSet back = ModifiersToGiveBack(fStart.held, during);
  const StickyModifiers sticky = StickyToGiveBack(fStart.sticky, during);
  if (fStart.stickyOff && fSticky.set) fSticky.set(fStickyFlags);
  fStart = {};
  for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i)
    if ((back >> i) & 1) SendVk(kRunModifierKeys[i], false);
  // StickyKeys, on again, latches a modifier pressed once and locks one
  // pressed twice, as it did the user's.
  for (std::size_t i = 0; i < kRunModifierKeys.size(); ++i) {
    const int presses = ((sticky.locked >> i) & 1) ? 2 : ((sticky.latched >> i) & 1) ? 1 : 0;
    for (int p = 0; p < presses; ++p) {
      SendVk(kRunModifierKeys[i], false);
      SendVk(kRunModifierKeys[i], true);
    }
  }
}

}  // namespace lumbra::platform::win32
