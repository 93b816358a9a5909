#pragma once
// Event sounds through libcanberra, the desktop's event-sound service.
//
// - Beep plays the sound theme's window-system bell; when the theme has no
//   such sound (or no theme is installed), a short built-in tone instead.
// - PlayWaveFile plays a file once. It replaces a file still playing, but only
//   once the new one has started: an empty name or a file that is missing,
//   unreadable or not a sound leaves the playing one alone and stays silent.
// - A beep and a file play side by side; neither cuts the other.
// - Both calls hand the request to a worker thread of this object and return.
//   Connecting to the sound server and starting a stream need round trips to
//   it, and a server that does not answer would otherwise stall the caller.
//   Requests that pile up meanwhile are merged: one beep, the newest file.
// - Without a sound server every request fails quietly; the next one tries
//   to connect again.
#include <memory>
#include <string>

#include "platform/Sound.h"

namespace lumbra::platform {

class TCanberraSound final : public ISound {
 public:
  TCanberraSound();
  // Sounds still playing stop. Waits a short while for the worker; one stuck
  // on an unresponsive server is left behind so that the program can end.
  ~TCanberraSound() override;
  TCanberraSound(const TCanberraSound&) = delete;
  TCanberraSound& operator=(const TCanberraSound&) = delete;

  void Beep() override;
  void PlayWaveFile(const std::string& fileName) override;

 private:
  struct State;
  std::shared_ptr<State> fState;
};

}  // namespace lumbra::platform
