#include "platform/win32/Win32MessageBox.h"

#include <windows.h>

#include "platform/win32/Win32Text.h"
// The interface's own name, not the Win32 macro.
#undef MessageBox

namespace lumbra::platform::win32 {

void Win32MessageBox::Show(const std::string& text, const std::string& caption, MessageKind kind) {
  UINT icon = kind == MessageKind::Error     ? MB_ICONERROR
              : kind == MessageKind::Warning ? MB_ICONWARNING
                                             : MB_ICONINFORMATION;
  MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(),
              MB_OK | icon | MB_TOPMOST | MB_SETFOREGROUND);
}

}  // namespace lumbra::platform::win32
