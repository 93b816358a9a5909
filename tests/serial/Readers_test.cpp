// The serial reader drivers against their simulators on pseudo-terminals:
// real ports and threads, virtual time for the drivers' timers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "drivers/sl10/SerialBadgeReader.h"
#include "drivers/slu4x/SLU43.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimReaders.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

template <class Reader, class Device>
class SimulatedReader : public ::testing::Test {
 protected:
  SimulatedReader() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-reader-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    auto dev = std::make_unique<Device>();
    device = dev.get();
    sim = std::make_unique<readersim::SimPort>(std::move(dev), link);
    reader.reset(new Reader(nullptr));
    reader->SetCheckCRCTes(false);
    reader->SetCrypt(false);
    reader->OnReadedBadge = [this](TObject*, const AnsiString& t) {
      events.push_back("read " + t);
    };
    reader->OnTimeout = [this](TObject*) { events.push_back("timeout"); };
    reader->OnRestore = [this](TObject*) { events.push_back("restore"); };
    reader->OnError = [this](TObject*, std::uint8_t, std::uint8_t, const std::string&) {
      events.push_back("error");
    };
    reader->SetCOM(link);
  }
  ~SimulatedReader() override {
    reader.reset();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }
  // Runs timer steps, letting the port's thread deliver between them, until
  // the event has come; bounded in steps and so in real time.
  bool RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      loop.Advance(static_cast<std::uint64_t>(reader->TimerInterval()));
      loop.PumpUntil(done, 5ms);
    }
    return done();
  }
  bool RunUntil(const std::string& event) {
    return RunUntil([&] { return std::find(events.begin(), events.end(), event) != events.end(); });
  }
  void Unplug() {
    sim->Unplug();
    ASSERT_TRUE(RunUntil("timeout")) << "the pulled reader is shown as a reader problem";
    EXPECT_EQ(reader->Status(), sdTimeout);
    for (int i = 0; i < 10; ++i) {
      loop.Advance(static_cast<std::uint64_t>(reader->TimerInterval()));
      loop.PumpUntil([] { return false; }, 2ms);
    }
    EXPECT_EQ(std::count(events.begin(), events.end(), "timeout"), 1) << "shown once";
    EXPECT_EQ(std::count(events.begin(), events.end(), "error"), 0) << "not as an error text";
  }

  platform::FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  std::string link;
  Device* device = nullptr;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<Reader> reader;
  Events events;
};

using SL10OnPty = SimulatedReader<TSerialBadgeReader, readersim::SL10Device>;
using SLX44OnPty = SimulatedReader<TSLU43BadgeReader, readersim::SLU4xDevice>;

TEST_F(SL10OnPty, SwipesAcrossAnUnplug) {
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  sim->Command("swipe 0012345678");
  ASSERT_TRUE(RunUntil("read 0012345678"));
  // The acknowledgement stops the data frame: it is read once.
  for (int i = 0; i < 20; ++i) {
    loop.Advance(200);
    loop.PumpUntil([] { return false; }, 5ms);
  }
  EXPECT_EQ(std::count(events.begin(), events.end(), "read 0012345678"), 1);

  Unplug();
  events.clear();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
  // A card stored in the track-2 cipher, decoded by the reader base.
  reader->SetCrypt(true);
  sim->Command("swipe-enc 99");
  EXPECT_TRUE(RunUntil("read 99"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "timeout"), 0);

  // A reader that stops answering times out, and answers again later.
  sim->Command("silent");
  ASSERT_TRUE(RunUntil("timeout"));
  sim->Command("answer");
  events.clear();
  EXPECT_TRUE(RunUntil("restore"));
}

TEST_F(SLX44OnPty, SwipesAcrossAnUnplug) {
  reader->SetTrack(7);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  for (const char* framing : {"cr", "stx"}) {
    sim->Command(std::string("framing ") + framing);
    sim->Command("swipe B4000^ROSSI MARIO|12345=99|0077");
    ASSERT_TRUE(RunUntil("read B4000^ROSSI MARIO\r12345=99\r0077")) << framing;
  }
  sim->Command("mark3 ;");
  sim->Command("swipe |7|8");
  ASSERT_TRUE(RunUntil("read \r7\r8"));

  Unplug();
  events.clear();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
  sim->Command("swipe A|B|C");
  EXPECT_TRUE(RunUntil("read A\rB\rC"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "read A\rB\rC"), 1);
}

}  // namespace
}  // namespace lumbra
