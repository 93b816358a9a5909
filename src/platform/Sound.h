#pragma once
// Audible feedback. Both calls return at once; the sound plays in the
// background. A new wave file replaces one still playing. A missing or
// unreadable file is silent.
#include <string>

namespace lumbra::platform {

class ISound {
 public:
  virtual ~ISound() = default;
  virtual void Beep() = 0;  // the desktop's default alert sound
  virtual void PlayWaveFile(const std::string& fileName) = 0;
};

// The installed player; without one, sounds are silently skipped.
ISound& Sound();
void SetSound(ISound* sound);

}  // namespace lumbra::platform
