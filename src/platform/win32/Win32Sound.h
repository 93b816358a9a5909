#pragma once
// Sounds through the system's own calls: MessageBeep for the alert, PlaySoundW
// (asynchronous, so both calls return at once) for wave files. A new file
// stops one still playing; an empty name or a file that is not there is
// skipped without a sound and leaves the playing one alone. Sounds still
// playing stop when the player goes.
#include "platform/Sound.h"

namespace lumbra::platform::win32 {

class Win32Sound final : public ISound {
 public:
  Win32Sound() = default;
  ~Win32Sound() override;
  Win32Sound(const Win32Sound&) = delete;
  Win32Sound& operator=(const Win32Sound&) = delete;

  void Beep() override;
  void PlayWaveFile(const std::string& fileName) override;
};

}  // namespace lumbra::platform::win32
