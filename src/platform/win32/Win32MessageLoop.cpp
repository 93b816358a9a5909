#include "platform/win32/Win32MessageLoop.h"

#include <windows.h>

#include <string>

#include "base/Exceptions.h"
#include "platform/DeviceChange.h"
// The interface's own names, not the Win32 macros.
#undef PostMessage

#include <dbt.h>

namespace lumbra::platform::win32 {

struct Win32MessageLoop::Window {
  WindowProc proc;
};

namespace {

constexpr wchar_t kClassName[] = L"LumbraMessageWindow";
constexpr UINT kWake = WM_APP + 1;  // to the waker: synchronous calls wait
// The program's own device-change broadcasts: the system refuses to post
// WM_DEVICECHANGE with a record, as it does every system message with a pointer.
constexpr UINT kDeviceChange = WM_APP + 2;

::HWND Native(HWND h) {
  return reinterpret_cast<::HWND>(h);
}

std::string Utf8Of(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

LRESULT CALLBACK WindowProcedure(::HWND hwnd, UINT msg, ::WPARAM wParam, ::LPARAM lParam) {
  auto* window =
      reinterpret_cast<Win32MessageLoop::Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr || !window->proc) return DefWindowProcW(hwnd, msg, wParam, lParam);
  TMessage m{msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam), 0};
  if (msg == kDeviceChange) m.Msg = WM_DEVICECHANGE;
  // The system's port record holds the name inline in UTF-16; the program's
  // receivers read the program's own record.
  else if (msg == WM_DEVICECHANGE && lParam != 0 &&
           reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_PORT)
    m.LParam = PortBroadcastParam(
        Utf8Of(reinterpret_cast<const DEV_BROADCAST_PORT_W*>(lParam)->dbcp_name));
  window->proc(m);
  return m.Result;
}

}  // namespace

Win32MessageLoop::Win32MessageLoop() : fUiThread(std::this_thread::get_id()) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProcedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  // A second loop in the process finds the class registered already.
  if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw Exception("Cannot register the message window class");
  fWaker = CreateMessageWindow([this](TMessage& m) {
    if (m.Msg == kWake) fSync.RunPending();
  });
}

Win32MessageLoop::~Win32MessageLoop() {
  DestroyMessageWindow(fWaker);
}

HWND Win32MessageLoop::CreateMessageWindow(WindowProc proc) {
  auto* window = new Window{std::move(proc)};
  // Top-level (not message-only) and never shown: broadcasts reach it.
  ::HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (hwnd == nullptr) {
    delete window;
    throw Exception("Cannot create a message window (error " + std::to_string(GetLastError()) +
                    ")");
  }
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
  std::lock_guard lock(fMutex);
  fWindows.insert(reinterpret_cast<HWND>(hwnd));
  return reinterpret_cast<HWND>(hwnd);
}

void Win32MessageLoop::DestroyMessageWindow(HWND hwnd) {
  {
    std::lock_guard lock(fMutex);
    if (fWindows.erase(hwnd) == 0) return;
  }
  auto* window = reinterpret_cast<Window*>(GetWindowLongPtrW(Native(hwnd), GWLP_USERDATA));
  SetWindowLongPtrW(Native(hwnd), GWLP_USERDATA, 0);
  // Messages still queued for it go with it; no post reaches it any more (see
  // PostMessage), so what they carry is released here.
  MSG queued;
  while (PeekMessageW(&queued, Native(hwnd), 0, 0, PM_REMOVE))
    ReleaseDropped(TMessage{queued.message, static_cast<WPARAM>(queued.wParam),
                            static_cast<LPARAM>(queued.lParam), 0});
  DestroyWindow(Native(hwnd));
  delete window;
}

bool Win32MessageLoop::SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t periodMs) {
  return ::SetTimer(Native(hwnd), id, periodMs, nullptr) != 0;
}

bool Win32MessageLoop::KillTimer(HWND hwnd, std::uintptr_t id) {
  return ::KillTimer(Native(hwnd), id) != FALSE;
}

bool Win32MessageLoop::ProcessOneMessage() {
  if (fSync.RunPending()) return true;
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));  // for Run, which owns the loop
    return false;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

void Win32MessageLoop::ProcessMessages() {
  while (ProcessOneMessage()) {
  }
}

bool Win32MessageLoop::CheckSynchronize() {
  return fSync.RunPending();
}

std::uintptr_t Win32MessageLoop::WatchReadable(std::intptr_t, std::function<void()>) {
  return 0;
}

void Win32MessageLoop::Unwatch(std::uintptr_t) {}

bool Win32MessageLoop::PostMessage(HWND hwnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  // Held across the post, so that a window being destroyed takes no more
  // messages once it has released those it had.
  std::lock_guard lock(fMutex);
  if (!fWindows.count(hwnd)) return false;
  return ::PostMessageW(Native(hwnd), msg, wParam, lParam) != FALSE;
}

void Win32MessageLoop::BroadcastDeviceChange(WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(fMutex);
  for (HWND hwnd : fWindows)
    if (hwnd != fWaker) ::PostMessageW(Native(hwnd), kDeviceChange, wParam, lParam);
}

void Win32MessageLoop::Synchronize(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  fSync.Call(fn, [this] { ::PostMessageW(Native(fWaker), kWake, 0, 0); });
}

void Win32MessageLoop::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Win32MessageLoop::Quit() {
  PostQuitMessage(0);
}

}  // namespace lumbra::platform::win32
