#include "platform/win32/Win32Clock.h"

#include <windows.h>

namespace lumbra::platform::win32 {

std::uint32_t Win32Clock::GetTickCount() {
  return ::GetTickCount();
}
std::uint64_t Win32Clock::GetTickCount64() {
  return ::GetTickCount64();
}
void Win32Clock::Sleep(std::uint32_t ms) {
  ::Sleep(ms);
}

}  // namespace lumbra::platform::win32
