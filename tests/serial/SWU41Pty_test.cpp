// The SWU-41 driver against its simulator on a pseudo-terminal: real port
// and threads, virtual time for the driver's timer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "drivers/swu41/SWU41.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimSWU41.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class SWU41OnPty : public ::testing::Test {
 protected:
  SWU41OnPty() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-swu41-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    auto dev = std::make_unique<readersim::SWU41Device>();
    device = dev.get();
    sim = std::make_unique<readersim::SimPort>(std::move(dev), link);
    reader.reset(new TSWU41BadgeWriter(nullptr));
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->OnReadedBadge = [this](TObject*, const AnsiString& t) {
      events.push_back("read " + t);
    };
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
    reader->OnTimeout = [this](TObject*) { events.push_back("timeout"); };
    reader->OnRestore = [this](TObject*) { events.push_back("restore"); };
    reader->OnError = [this](TObject*, std::uint8_t, std::uint8_t, const std::string& m) {
      events.push_back("error " + m);
    };
    reader->SetCOM(link);
  }
  ~SWU41OnPty() override {
    reader.reset();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }
  // Timer steps, with the port's thread delivering between them, until done;
  // bounded in steps and so in real time.
  bool RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      loop.Advance(55);
      loop.PumpUntil(done, 5ms);
    }
    return done();
  }
  bool RunUntil(const std::string& event) {
    return RunUntil([&] { return std::find(events.begin(), events.end(), event) != events.end(); });
  }
  bool ReadOutstanding(int code) {
    return RunUntil([&] { return device->PendingRead() == code; });
  }

  platform::FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  std::string link;
  readersim::SWU41Device* device = nullptr;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<TSWU41BadgeWriter> reader;
  Events events;
};

TEST_F(SWU41OnPty, WritesThreeTracksAndReadsThemBack) {
  reader->SetTrack(7);
  reader->SetStartmm(17.5L);
  reader->SetCoercitivity(hico);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(ReadOutstanding(7)) << "the read names the track code";
  const auto s = device->GetSettings();
  EXPECT_EQ(s.density, 'L');
  EXPECT_EQ(s.startOffset, '7');
  EXPECT_EQ(s.coercivity, 'x');

  const AnsiString card = "ROSSI MARIO\r12345678\r0077";
  reader->WriteTessera(card, 7);
  ASSERT_TRUE(RunUntil("written"));
  const auto cmds = device->Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "%ROSSI MARIO?;12345678?+0077?"), cmds.end());

  ASSERT_TRUE(ReadOutstanding(7)) << "reading again after the write";
  ASSERT_TRUE(sim->Command("swipe"));  // the card just written
  ASSERT_TRUE(RunUntil("read " + card));

  // A stripe that reads back otherwise than written fails the write.
  ASSERT_TRUE(ReadOutstanding(7));
  ASSERT_TRUE(sim->Command("corrupt"));
  reader->WriteTessera("A\rB\rC", 7);
  ASSERT_TRUE(RunUntil("error Error writing"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "written"), 1);
}

TEST_F(SWU41OnPty, ComesBackAfterUnplugAndReplug) {
  reader->SetTrack(2);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(ReadOutstanding(2));
  ASSERT_TRUE(sim->Command("swipe 4711"));
  ASSERT_TRUE(RunUntil("read 4711"));
  events.clear();

  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout")) << "the pulled reader is shown as a reader problem";
  EXPECT_EQ(reader->Status(), sdTimeout);
  for (int i = 0; i < 10; ++i) {
    loop.Advance(55);
    loop.PumpUntil([] { return false; }, 2ms);
  }
  EXPECT_EQ(events, Events{"timeout"}) << "shown once";

  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(ReadOutstanding(2));
  ASSERT_TRUE(sim->Command("swipe 42"));
  ASSERT_TRUE(RunUntil("read 42"));
  // A card error mid-reply, and the next read asked for by itself.
  ASSERT_TRUE(ReadOutstanding(2));
  ASSERT_TRUE(sim->Command("del"));
  ASSERT_TRUE(ReadOutstanding(2));
}

TEST_F(SWU41OnPty, ASilentDeviceTimesOutAndItsReturnRestores) {
  ASSERT_TRUE(sim->Command("silent"));
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("timeout"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "restore"), 0);
  ASSERT_TRUE(sim->Command("answer"));
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(ReadOutstanding(2));
}

}  // namespace
}  // namespace lumbra
