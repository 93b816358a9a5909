// The writers' last commands on a pseudo-terminal: what a driver sends when it
// is switched off must reach the device before the port closes. The real
// termios port and its thread; virtual time for the drivers' timers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "drivers/smw46/SMW46.h"
#include "drivers/sw30/SerialBadgeWriter2.h"
#include "drivers/swu41/SWU41.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimSMW46.h"
#include "readersim/SimSW30.h"
#include "readersim/SimSWU41.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

struct Writer {
  const char* model;
  std::uint32_t stepMs;
  std::function<std::unique_ptr<readersim::SimDevice>()> device;
  std::function<TCustomBadgeReader*()> driver;
  // Up and reading: nothing of the start-up is still to come.
  std::function<bool(TCustomBadgeReader&, readersim::SimDevice&)> reading;
  // What the device must have had last: the switch-off commands.
  std::string last;
};

const Writer kWriters[] = {
    {"SW-30", 55, [] { return std::make_unique<readersim::SW30Device>(); },
     [] { return new TSerialBadgeWriter2(nullptr); },
     [](TCustomBadgeReader& r, readersim::SimDevice&) {
       return r.Status() == sdAttivo && r.StatoTessera() == csNoBadge;
     },
     // All lights off: STX "C50" ETX and the check character.
     "\x02"
     "C50\x03"
     "E"},
    {"SWU-41", 55, [] { return std::make_unique<readersim::SWU41Device>(); },
     [] { return new TSWU41BadgeWriter(nullptr); },
     [](TCustomBadgeReader&, readersim::SimDevice& d) {
       return static_cast<readersim::SWU41Device&>(d).PendingRead() == 2;
     },
     // The settings and the reset.
     std::string("\x1bL\x1b"
                 "6\x1by\0\x1b"
                 "0",
                 9)},
    {"SMW-46", 200, [] { return std::make_unique<readersim::SMW46Device>(); },
     [] { return new TSMW46BadgeWriter(nullptr); },
     [](TCustomBadgeReader&, readersim::SimDevice& d) {
       const auto c = static_cast<readersim::SMW46Device&>(d).Commands();
       return !c.empty() && c.back() == "r";
     },
     "\x02"
     "a\x02"
     "e"},
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(SwitchOffOnPty, TheLastCommandsOfEachWriterReachTheDevice) {
  // Several rounds: the loss this guards against came in one run of three.
  for (const Writer& w : kWriters) {
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(std::string(w.model) + ", round " + std::to_string(round));
      platform::FakeMessageLoop loop;
      loop.Install();
      platform::TermiosSerialBackend backend;
      platform::SetSerialBackend(&backend);
      const std::string link = (std::filesystem::temp_directory_path() /
                                ("lumbra-off-" + std::to_string(getpid()) + "-" + w.model))
                                   .string();
      auto owned = w.device();
      readersim::SimDevice& device = *owned;
      auto sim = std::make_unique<readersim::SimPort>(std::move(owned), link);
      std::mutex mutex;  // got is filled on the port's thread
      std::string got;
      sim->SetOnHostBytes([&](const std::string& b) {
        std::lock_guard lock(mutex);
        got += b;
      });
      auto received = [&] {
        std::lock_guard lock(mutex);
        return got;
      };
      Owned<TCustomBadgeReader> reader(w.driver());
      reader->SetCOM(link);
      reader->SetActive(true);
      bool up = false;
      for (int i = 0; i < 400 && !(up = w.reading(*reader, device)); ++i) {
        loop.Advance(w.stepMs);
        loop.PumpUntil([&] { return w.reading(*reader, device); }, 5ms);
      }
      ASSERT_TRUE(up) << "the device never got to reading";
      reader->SetActive(false);
      // The device's side reads the line on a thread of its own.
      const auto until = std::chrono::steady_clock::now() + 2s;
      while (!EndsWith(received(), w.last) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
      EXPECT_TRUE(EndsWith(received(), w.last));
      reader.reset();
      Tdmsmw46::FreeShared();
      sim.reset();
      platform::SetSerialBackend(nullptr);
    }
  }
}

}  // namespace
}  // namespace lumbra
