// The SW-30 driver against its simulator on a pseudo-terminal: real port and
// threads, virtual time for the driver's timer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "drivers/sw30/SerialBadgeWriter2.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "reader/TrackData.h"
#include "readersim/SimSW30.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class SW30OnPty : public ::testing::Test {
 protected:
  SW30OnPty() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-sw30-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    auto dev = std::make_unique<readersim::SW30Device>();
    device = dev.get();
    sim = std::make_unique<readersim::SimPort>(std::move(dev), link);
    reader.reset(new TSerialBadgeWriter2(nullptr));
    reader->OnReadedBadge = [this](TObject*, const AnsiString& t) {
      events.push_back("read " + t);
    };
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
    reader->OnTimeout = [this](TObject*) { events.push_back("timeout"); };
    reader->OnRestore = [this](TObject*) { events.push_back("restore"); };
    reader->OnBadCRCData = [this](TObject*) { events.push_back("badcrc"); };
    reader->OnBadInsertBadge = [this](TObject*) { events.push_back("badinsert"); };
    reader->OnError = [this](TObject*, std::uint8_t, std::uint8_t, const std::string& m) {
      events.push_back("error " + m);
    };
    reader->SetCOM(link);
  }
  ~SW30OnPty() override {
    reader.reset();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }
  // Timer steps until done, bounded in steps and so in real time. After each
  // step the device's answer is let in before virtual time goes on, so that a
  // busy machine does not make the device look slow.
  bool RunUntil(const std::function<bool()>& done, int steps = 600) {
    auto idle = [&] {
      TProtTWbadge2* p = reader->Protocol();
      return done() || p == nullptr || p->PendingOperationState() == 0;
    };
    for (int i = 0; i < steps && !done(); ++i) {
      loop.Advance(55);
      loop.PumpUntil(idle, 50ms);
    }
    return done();
  }
  bool RunUntil(const std::string& event) {
    return RunUntil([&] { return std::find(events.begin(), events.end(), event) != events.end(); });
  }
  // Device commands run on the port's side, as from the simulator's prompt.
  void Sim(const std::string& line) { ASSERT_TRUE(sim->Command(line)) << line; }

  platform::FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  std::string link;
  readersim::SW30Device* device = nullptr;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<TSerialBadgeWriter2> reader;
  Events events;
};

TEST_F(SW30OnPty, TrackTwoWrittenWithCheckDigitsAndCipherReadsBackTheSame) {
  reader->SetCrypt(true);
  reader->SetCheckCRCTes(true);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csNoBadge; }));
  ASSERT_TRUE(std::find(events.begin(), events.end(), "restore") != events.end());

  // No card yet: the write waits for one, with the write-waiting light on.
  const std::string plain = "0012345678";
  reader->WriteCard(plain);
  ASSERT_TRUE(RunUntil([&] { return device->Lights() == 4; }));
  EXPECT_EQ(reader->CurrentOperation(), opWrite);
  Sim("blank");
  ASSERT_TRUE(RunUntil("written"));
  EXPECT_EQ(device->Track(2), EncodeTessera(plain + WordToDigits(TesseraChecksum(plain), 2)))
      << "stored with its check digits, in the cipher";
  EXPECT_EQ(reader->CurrentOperation(), opRead);

  // The card is inside: read it back.
  reader->ReadCard();
  ASSERT_TRUE(RunUntil("read " + plain));

  // Out of the device, and offered again: read by itself.
  events.clear();
  Sim("take");
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csNoBadge; }));
  Sim("offer |" + device->Track(2) + "|");
  ASSERT_TRUE(RunUntil("read " + plain));
  EXPECT_EQ(std::count(events.begin(), events.end(), "read " + plain), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "badcrc"), 0);
}

TEST_F(SW30OnPty, FailuresSilenceAndUnplug) {
  reader->SetCrypt(false);
  reader->SetCheckCRCTes(false);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csNoBadge; }));
  Sim("fail 25");
  Sim("offer 4711");
  ASSERT_TRUE(RunUntil("badinsert"));
  // Ejected to the entrance; taken and offered again, it reads.
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csHalfInserted; }));
  Sim("take");
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csNoBadge; }));
  Sim("offer 4711");
  ASSERT_TRUE(RunUntil("read 4711"));

  Sim("silent");
  ASSERT_TRUE(RunUntil("timeout"));
  Sim("answer");
  events.clear();
  ASSERT_TRUE(RunUntil("restore"));

  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout"));
  for (int i = 0; i < 20; ++i) {
    loop.Advance(55);
    loop.PumpUntil([] { return false; }, 2ms);
  }
  EXPECT_EQ(std::count(events.begin(), events.end(), "timeout"), 1) << "shown once";
  events.clear();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
  Sim("take");
  ASSERT_TRUE(RunUntil([&] { return reader->StatoTessera() == csNoBadge; }))
      << "status " << int(reader->StatoTessera()) << ", exchange "
      << int(reader->Protocol()->PendingOperationState()) << ", queued "
      << reader->Protocol()->QueuedCommands();
  Sim("offer 99");
  EXPECT_TRUE(RunUntil("read 99"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "timeout"), 0);
}

}  // namespace
}  // namespace lumbra
