// The SMW-46 driver against its simulator on a pseudo-terminal: the real
// event-driven port and its thread, virtual time for the driver's timer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "drivers/smw46/SMW46.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimSMW46.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class SMW46OnPty : public ::testing::Test {
 protected:
  SMW46OnPty() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-smw46-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    auto dev = std::make_unique<readersim::SMW46Device>();
    device = dev.get();
    sim = std::make_unique<readersim::SimPort>(std::move(dev), link);
    reader.reset(new TSMW46BadgeWriter(nullptr));
    reader->OnReadedBadge = [this](TObject*, const AnsiString& t) {
      std::string shown;
      for (char c : t) shown += c == '\r' ? std::string("|") : std::string(1, c);
      events.push_back("read " + shown);
    };
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
    reader->OnFailReadBadge = [this](TObject*) { events.push_back("fail"); };
    reader->OnTimeout = [this](TObject*) { events.push_back("timeout"); };
    reader->OnRestore = [this](TObject*) { events.push_back("restore"); };
    reader->OnError = [this](TObject*, std::uint8_t, std::uint8_t, const std::string& m) {
      events.push_back("error " + m);
    };
    reader->SetCOM(link);
    reader->SetTrack(7);
  }
  ~SMW46OnPty() override {
    reader.reset();
    Tdmsmw46::FreeShared();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }
  bool Seen(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  // One timer step. Virtual time must not outrun the device: while it is
  // plugged in, the answer to a command is waited for in real time first.
  void Step(const std::function<bool()>& done) {
    loop.Advance(200);
    auto answered = [&] {
      TProtSMW460* p = reader->Protocol();
      return p == nullptr || p->Exchange() != scAttesa || p->PendingOperation() == opRead;
    };
    if (sim->Plugged()) loop.PumpUntil([&] { return done() || answered(); }, 2s);
    loop.PumpUntil(done, 2ms);
  }
  // Timer steps until the condition holds; bounded in steps.
  bool RunUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) Step(done);
    return done();
  }
  bool RunUntil(const std::string& event) {
    return RunUntil([&] { return Seen(event); });
  }
  void Settle(int steps) {
    for (int i = 0; i < steps; ++i) Step([] { return false; });
  }
  size_t Count(const std::string& event) const {
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
  }

  platform::FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  std::string link;
  readersim::SMW46Device* device = nullptr;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<TSMW46BadgeWriter> reader;
  Events events;
};

TEST_F(SMW46OnPty, WritesACardAndReadsItBackAcrossAnUnplug) {
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(RunUntil([&] { return device->Commands().size() >= 4; }));
  const auto first = device->Commands();
  ASSERT_GE(first.size(), 4u);
  EXPECT_EQ(Events(first.begin(), first.begin() + 4), (Events{"a", "e", "y", "r"}));

  reader->WriteTessera("ROSSI MARIO\r12345678\r0077", 7);
  ASSERT_TRUE(RunUntil("written"));
  EXPECT_EQ(device->WrittenCard(), "ROSSI MARIO|12345678|0077");
  sim->Command("swipe");
  ASSERT_TRUE(RunUntil("read ROSSI MARIO|12345678|0077"));

  // A read the device reports as not clean is a failed read: nothing is typed.
  events.clear();
  sim->Command("swipe-status 1 A|42|");
  ASSERT_TRUE(RunUntil("fail"));
  EXPECT_EQ(events, (Events{"fail"}));

  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout"));
  Settle(10);
  EXPECT_EQ(Count("timeout"), 1u) << "shown once";
  EXPECT_EQ(reader->Status(), sdTimeout);
  events.clear();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
  sim->Command("swipe B|4711|");
  EXPECT_TRUE(RunUntil("read B|4711|"));
  EXPECT_EQ(Count("timeout"), 0u);
  for (const auto& e : events) EXPECT_EQ(e.rfind("error", 0), std::string::npos) << e;
}

}  // namespace
}  // namespace lumbra
