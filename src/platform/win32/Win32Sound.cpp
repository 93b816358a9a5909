#include "platform/win32/Win32Sound.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>

#include "platform/win32/Win32Text.h"

namespace lumbra::platform::win32 {

Win32Sound::~Win32Sound() {
  ::PlaySoundW(nullptr, nullptr, 0);
}

void Win32Sound::Beep() {
  ::MessageBeep(MB_OK);
}

void Win32Sound::PlayWaveFile(const std::string& fileName) {
  if (fileName.empty()) return;
  std::wstring name = Wide(fileName);
  // PlaySound would stop the playing sound before finding the file missing.
  DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  // No default sound in place of a file it cannot play: that is silent too.
  ::PlaySoundW(name.c_str(), nullptr, SND_ASYNC | SND_FILENAME | SND_NODEFAULT);
}

}  // namespace lumbra::platform::win32
