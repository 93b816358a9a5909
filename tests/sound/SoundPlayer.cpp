// Plays event sounds the way the program does, for a recording made outside:
// the main-window model on the fake desktop, with the real event-sound player
// installed. Steps, run in order:
//   beep               good-read slot on "Beep", then a badge read
//   read=<file>        good-read slot on that wave file, then a badge read
//   file=<file>        the player asked for the file directly, not via the model
//   sleep=<ms>         real time passes (a sound plays on meanwhile)
//   await=<file>       waits until that file exists (at most 20 s)
// Every step prints when it began, so the recording can be lined up with it.
// A call into the player that takes longer than kMaxCallMs fails the run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/UEmuTas.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/CanberraSound.h"
#include "support/TestReader.h"

namespace fs = std::filesystem;
using namespace lumbra;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kMaxCallMs = 50;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Times the calls the model makes, which must return at once.
class TimedSound final : public platform::ISound {
 public:
  explicit TimedSound(platform::ISound& inner) : fInner(inner) {}
  void Beep() override {
    Time([&] { fInner.Beep(); });
  }
  void PlayWaveFile(const std::string& name) override {
    Time([&] { fInner.PlayWaveFile(name); });
  }
  int calls = 0;
  double longestMs = 0;

 private:
  template <class F>
  void Time(F f) {
    Clock::time_point t = Clock::now();
    f();
    longestMs = std::max(longestMs, MsSince(t));
    ++calls;
  }
  platform::ISound& fInner;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s step...\n", argv[0]);
    return 2;
  }
  platform::FakeMessageLoop loop;
  loop.Install();
  platform::FakeDesktop desktop;
  fs::path dir = fs::temp_directory_path() / ("lumbra-sound-" + std::to_string(getpid()));
  fs::create_directories(dir);
  desktop.environment.exePath = (dir / "lumbra").string();
  desktop.environment.configDir = (dir / "config").string();
  // Track 2 alone, so that a plain number is a complete read.
  std::ofstream(dir / "lumbra.xml") << "<?xml version=\"1.0\"?><Configuration><T1>FALSE</T1>"
                                       "<T3>FALSE</T3></Configuration>";
  RegisterBadgeReader("SLX-44", ReaderClassOf<test::TTestBadgeReader>());

  platform::TCanberraSound player;
  TimedSound sound(player);
  platform::SetSound(&sound);

  int typed = 0;
  app::TAppServices services;
  services.typeKeys = [&](const AnsiString&, bool, bool) { return ++typed, true; };
  services.enumComPorts = [] { return std::vector<std::string>{"/dev/ttyUSB0"}; };
  services.findUsbSerialPort = [] { return std::string("/dev/ttyUSB0"); };
  services.findProlificPort = [] { return std::string(); };
  int rc = 0;
  {
    app::TTkEmuTasMain main(services);
    main.FormCreate();
    auto& reader = *static_cast<test::TTestBadgeReader*>(main.BadgeReader().Reader());
    auto C = [&](const char* n) -> app::TControl& { return main.C(n); };
    if (!C("ckSoundTes").Checked()) C("ckSoundTes").UserClick();

    // A read comes from the reader's thread; the model handles it on this one.
    auto read = [&] {
      int before = typed;
      reader.Protocol()->Swipe("1234567890");
      return loop.PumpUntil([&] { return typed > before; });
    };

    Clock::time_point start = Clock::now();
    for (int i = 1; i < argc && rc == 0; ++i) {
      std::string step = argv[i];
      std::string arg = step.substr(step.find('=') + 1);
      double at = MsSince(start);
      int calls = sound.calls;
      bool ok = true;
      if (step == "beep") {
        C("rbBeeptes").UserClick();
        ok = read();
      } else if (step.starts_with("read=")) {
        C("rbSoundTes").UserClick();
        C("eSoundTes").UserSetText(arg);
        ok = read();
      } else if (step.starts_with("file=")) {
        sound.PlayWaveFile(arg);
      } else if (step.starts_with("sleep=")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
        continue;
      } else if (step.starts_with("await=")) {
        Clock::time_point t = Clock::now();
        while (!fs::exists(arg) && MsSince(t) < 20000)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!fs::exists(arg)) {
          std::fprintf(stderr, "FAIL: %s did not appear\n", arg.c_str());
          rc = 1;
        }
        continue;
      } else {
        std::fprintf(stderr, "unknown step %s\n", step.c_str());
        rc = 2;
        break;
      }
      std::printf("step %s at %.0f ms: %d sound call(s)\n", step.c_str(), at, sound.calls - calls);
      if (!ok) {
        std::fprintf(stderr, "FAIL: the read of step %s was not handled\n", step.c_str());
        rc = 1;
      }
    }
    std::printf("longest sound call %.2f ms\n", sound.longestMs);
    if (sound.longestMs > kMaxCallMs) {
      std::fprintf(stderr, "FAIL: a sound call held the caller for %.0f ms\n", sound.longestMs);
      rc = 1;
    }
    std::fflush(stdout);
  }
  platform::SetSound(nullptr);
  UnregisterBadgeReader("SLX-44");
  fs::remove_all(dir);
  return rc;
}
