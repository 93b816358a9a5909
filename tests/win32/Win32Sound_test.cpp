// Sounds through PlaySoundW and MessageBeep: both calls return at once, even
// for a long file; a missing file leaves the playing one alone. Whether a
// sound is still playing is asked of PlaySoundW itself (SND_NOSTOP refuses
// while one plays), which needs a wave output device: without one only the
// timings and the absence of faults can be seen.
#include "platform/win32/Win32Sound.h"

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace lumbra::platform::win32 {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A mono 8-bit PCM file of a quiet square wave, `seconds` long.
void WriteWave(const fs::path& path, int seconds) {
  constexpr std::uint32_t rate = 8000;
  const std::uint32_t samples = rate * static_cast<std::uint32_t>(seconds);
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + samples);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);  // PCM
  u16(1);  // mono
  u32(rate);
  u32(rate);  // bytes per second
  u16(1);     // block size
  u16(8);     // bits
  out.write("data", 4);
  u32(samples);
  for (std::uint32_t i = 0; i < samples; ++i) out.put(static_cast<char>((i / 20) % 2 ? 136 : 120));
  ASSERT_TRUE(out.good());
}

class Win32SoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("lumbra-sound-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir);
    WriteWave(dir / "long.wav", 30);
    WriteWave(dir / "short.wav", 1);
  }
  void TearDown() override {
    PlaySoundW(nullptr, nullptr, 0);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // True while a sound of this process plays: PlaySoundW with SND_NOSTOP
  // then refuses. A probe that is accepted is stopped at once.
  static bool Playing(const fs::path& probe) {
    if (!PlaySoundW(probe.wstring().c_str(), nullptr,
                    SND_ASYNC | SND_FILENAME | SND_NODEFAULT | SND_NOSTOP))
      return true;
    PlaySoundW(nullptr, nullptr, 0);
    return false;
  }
  // Whether a played file can be heard here at all: a device, and the long
  // file seen playing right after it was started.
  static bool CanPlay(const fs::path& file) {
    if (waveOutGetNumDevs() == 0) return false;
    PlaySoundW(file.wstring().c_str(), nullptr, SND_ASYNC | SND_FILENAME | SND_NODEFAULT);
    Sleep(200);
    bool playing = !PlaySoundW(file.wstring().c_str(), nullptr,
                               SND_ASYNC | SND_FILENAME | SND_NODEFAULT | SND_NOSTOP);
    PlaySoundW(nullptr, nullptr, 0);
    return playing;
  }
  fs::path dir;
};

TEST_F(Win32SoundTest, CallsReturnAtOnceAndAMissingFileLeavesThePlayingOneAlone) {
  const bool audible = CanPlay(dir / "long.wav");
  if (!audible)
    std::printf("[ info ] no wave output here (%u devices): only the timings are checked\n",
                waveOutGetNumDevs());
  Win32Sound sound;
  // Synchronous playing would take the file's 30 s.
  auto start = Clock::now();
  sound.PlayWaveFile((dir / "long.wav").string());
  sound.Beep();
  sound.PlayWaveFile((dir / "missing.wav").string());
  sound.PlayWaveFile("");
  sound.PlayWaveFile(dir.string());  // a folder
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  if (audible) {
    Sleep(200);
    EXPECT_TRUE(Playing(dir / "short.wav")) << "the missing file stopped the playing one";
    // The new file replaces the long one; once it has ended, nothing plays.
    sound.PlayWaveFile((dir / "short.wav").string());
    Sleep(3000);
    EXPECT_FALSE(Playing(dir / "short.wav")) << "the long file still plays";
  }
}

TEST_F(Win32SoundTest, ManyCallsInARowFromTheMessageLoop) {
  Win32Sound sound;
  const std::string files[] = {(dir / "long.wav").string(), (dir / "short.wav").string(),
                               (dir / "missing.wav").string()};
  // Each call comes from a posted message, the way the program's loop makes them.
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  constexpr int kCalls = 60;
  for (int i = 0; i < kCalls; ++i) PostMessageW(window, WM_APP, static_cast<WPARAM>(i), 0);
  int handled = 0;
  auto start = Clock::now();
  MSG msg;
  while (handled < kCalls && Clock::now() - start < std::chrono::seconds(20) &&
         GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message != WM_APP) {
      DispatchMessageW(&msg);
      continue;
    }
    if (msg.wParam % 4 == 3)
      sound.Beep();
    else
      sound.PlayWaveFile(files[msg.wParam % 4]);
    ++handled;
  }
  EXPECT_EQ(handled, kCalls);
  DestroyWindow(window);
}

}  // namespace
}  // namespace lumbra::platform::win32
