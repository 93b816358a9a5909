#include "platform/linux/CanberraSound.h"

#include <canberra.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace lumbra::platform {
namespace {

// Files alternate between two ids so that the one playing can be cancelled
// after its successor has started, never before.
constexpr std::uint32_t kWaveIds[2] = {1, 2};
constexpr std::uint32_t kBeepId = 3;

constexpr int kToneRate = 22050;
constexpr double kToneSeconds = 0.15;
constexpr double kToneHz = 880.0;

struct Request {
  bool beep = false;
  std::string fileName;
};

void PutLE(std::vector<unsigned char>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A 16-bit mono PCM wave of a sine with short ramps, so that it does not click.
std::vector<unsigned char> ToneWave() {
  const int n = static_cast<int>(kToneRate * kToneSeconds);
  const int ramp = kToneRate / 200;
  std::vector<unsigned char> w;
  w.reserve(44 + 2 * static_cast<size_t>(n));
  auto tag = [&](const char* t) { w.insert(w.end(), t, t + 4); };
  tag("RIFF");
  PutLE(w, 36 + 2 * n, 4);
  tag("WAVE");
  tag("fmt ");
  PutLE(w, 16, 4);
  PutLE(w, 1, 2);  // PCM
  PutLE(w, 1, 2);  // mono
  PutLE(w, kToneRate, 4);
  PutLE(w, kToneRate * 2, 4);
  PutLE(w, 2, 2);
  PutLE(w, 16, 2);
  tag("data");
  PutLE(w, 2 * n, 4);
  for (int i = 0; i < n; ++i) {
    double gain = std::min({1.0, double(i) / ramp, double(n - 1 - i) / ramp});
    double v = 0.5 * gain * std::sin(2 * std::numbers::pi * kToneHz * i / kToneRate);
    PutLE(w, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767))), 2);
  }
  return w;
}

// Writes the tone into a new private file and returns its path ("" on failure).
std::string WriteToneFile() {
  std::error_code ec;
  fs::path dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) dir = runtime;
  if (dir.empty() || !fs::is_directory(dir, ec) || access(dir.c_str(), W_OK) != 0)
    dir = fs::temp_directory_path(ec);
  std::string path = (dir / "lumbra-beep-XXXXXX.wav").string();
  int fd = mkstemps(path.data(), 4);
  if (fd < 0) return {};
  std::vector<unsigned char> wave = ToneWave();
  size_t done = 0;
  while (done < wave.size()) {
    ssize_t k = write(fd, wave.data() + done, wave.size() - done);
    if (k <= 0) break;
    done += static_cast<size_t>(k);
  }
  close(fd);
  if (done != wave.size()) {
    unlink(path.c_str());
    return {};
  }
  return path;
}

// The server has gone or was never there. A player once connected stays in
// a failed state after its server went away, even when a new one has come
// up, so it is replaced.
bool LostServer(int rc) {
  return rc == CA_ERROR_DISCONNECTED || rc == CA_ERROR_STATE || rc == CA_ERROR_NOTAVAILABLE ||
         rc == CA_ERROR_NODRIVER || rc == CA_ERROR_FORKED || rc == CA_ERROR_INTERNAL;
}

}  // namespace

struct TCanberraSound::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable finished;
  std::deque<Request> queue;
  bool stop = false;
  bool done = false;
  std::thread worker;

  // Used by the worker only.
  ca_context* player = nullptr;
  int waveSlot = 0;
  std::string tonePath;

  ~State() {
    if (!tonePath.empty()) unlink(tonePath.c_str());
  }

  void Run();
  int Play(const Request& r);
  int PlayBeep();
  bool OpenPlayer() {
    if (player != nullptr) return true;
    if (ca_context_create(&player) != CA_SUCCESS) {
      player = nullptr;
      return false;
    }
    ca_context_change_props(player, CA_PROP_APPLICATION_NAME, "Lumbra", CA_PROP_APPLICATION_ID,
                            "lumbra", nullptr);
    return true;
  }
  void DropPlayer() {
    if (player != nullptr) ca_context_destroy(player);
    player = nullptr;
  }
};

void TCanberraSound::State::Run() {
  for (;;) {
    Request r;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [&] { return stop || !queue.empty(); });
      if (stop) break;
      r = std::move(queue.front());
      queue.pop_front();
    }
    // A player that lost its server fails at once; a new one connects to the
    // server that may have come up since, so that this sound is not lost.
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!OpenPlayer()) break;
      if (!LostServer(Play(r))) break;
      DropPlayer();
    }
  }
  DropPlayer();
  std::lock_guard lock(mutex);
  done = true;
  finished.notify_all();
}

int TCanberraSound::State::Play(const Request& r) {
  if (r.beep) return PlayBeep();
  std::uint32_t id = kWaveIds[waveSlot];
  int rc = ca_context_play(player, id, CA_PROP_MEDIA_FILENAME, r.fileName.c_str(),
                           CA_PROP_MEDIA_ROLE, "event", nullptr);
  if (rc == CA_SUCCESS) {
    ca_context_cancel(player, kWaveIds[1 - waveSlot]);
    waveSlot = 1 - waveSlot;
  }
  return rc;
}

int TCanberraSound::State::PlayBeep() {
  // Whether a bell is configured is left to the player's own look-up, the
  // one the desktop's sounds go through: the id in the user's theme, then in
  // the freedesktop theme, with shorter ids ("bell") as fallbacks. Only its
  // "not found" means no bell; any other failure (no server, event sounds
  // turned off) would silence the tone file just the same.
  int rc =
      ca_context_play(player, kBeepId, CA_PROP_EVENT_ID, "bell-window-system",
                      CA_PROP_EVENT_DESCRIPTION, "Alert", CA_PROP_MEDIA_ROLE, "event", nullptr);
  if (rc != CA_ERROR_NOTFOUND) return rc;
  if (tonePath.empty()) tonePath = WriteToneFile();
  if (tonePath.empty()) return rc;
  return ca_context_play(player, kBeepId, CA_PROP_MEDIA_FILENAME, tonePath.c_str(),
                         CA_PROP_MEDIA_ROLE, "event", nullptr);
}

TCanberraSound::TCanberraSound() : fState(std::make_shared<State>()) {
  fState->worker = std::thread([s = fState] { s->Run(); });
}

TCanberraSound::~TCanberraSound() {
  std::unique_lock lock(fState->mutex);
  fState->stop = true;
  fState->wake.notify_all();
  bool ended =
      fState->finished.wait_for(lock, std::chrono::seconds(1), [&] { return fState->done; });
  lock.unlock();
  if (ended)
    fState->worker.join();
  else
    fState->worker.detach();
}

void TCanberraSound::Beep() {
  std::lock_guard lock(fState->mutex);
  std::erase_if(fState->queue, [](const Request& r) { return r.beep; });
  fState->queue.push_back(Request{true, {}});
  fState->wake.notify_all();
}

void TCanberraSound::PlayWaveFile(const std::string& fileName) {
  if (fileName.empty()) return;
  std::lock_guard lock(fState->mutex);
  std::erase_if(fState->queue, [](const Request& r) { return !r.beep; });
  fState->queue.push_back(Request{false, fileName});
  fState->wake.notify_all();
}

}  // namespace lumbra::platform
