// The SL-10 driver through the Win32 serial code against its simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "drivers/sl10/SerialBadgeReader.h"
#include "win32/SimulatedReader.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

class Win32ReaderTest : public test::SimulatedReaderTest {
 protected:
  void SetUp() override {
    if (!StartSimulated()) GTEST_SKIP() << "no simulated reader";
    reader.reset(new TSerialBadgeReader(nullptr));
    reader->SetCheckCRCTes(false);
    reader->SetCrypt(false);
    reader->OnReadedBadge = [this](TObject*, const AnsiString& t) {
      events.push_back("read " + t);
    };
    reader->OnTimeout = [this](TObject*) { events.push_back("timeout"); };
    reader->OnRestore = [this](TObject*) { events.push_back("restore"); };
    reader->OnError = [this](TObject*, std::uint8_t, std::uint8_t, const std::string& m) {
      events.push_back("error " + m);
    };
    reader->OnFailReadBadge = [this](TObject*) { events.push_back("fail"); };
    reader->OnBadCRCData = [this](TObject*) { events.push_back("crc"); };
    reader->SetCOM(port);
  }
  void TearDown() override {
    reader.reset();
    SimulatedReaderTest::TearDown();
  }
  // Each timer step (a poll) gets real time for the answer to come back: under
  // Wine a pseudo-terminal port is polled, so answers take some milliseconds.
  bool RunUntil(const std::string& event) {
    auto seen = [&] { return std::find(events.begin(), events.end(), event) != events.end(); };
    for (int i = 0; i < 300 && !seen(); ++i) {
      loop.Advance(static_cast<std::uint64_t>(reader->TimerInterval()));
      loop.PumpUntil(seen, 100ms);
    }
    return seen();
  }

  Owned<TSerialBadgeReader> reader;
  std::vector<std::string> events;
};

TEST_F(Win32ReaderTest, SL10ReadsSwipesAndNoticesASilentReader) {
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  Sim("swipe 0012345678");
  ASSERT_TRUE(RunUntil("read 0012345678")) << ::testing::PrintToString(events);
  for (int i = 0; i < 20; ++i) {
    loop.Advance(200);
    loop.PumpUntil([] { return false; }, 60ms);
  }
  EXPECT_EQ(std::count(events.begin(), events.end(), "read 0012345678"), 1);

  Sim("silent");
  ASSERT_TRUE(RunUntil("timeout"));
  Sim("answer");
  events.clear();
  EXPECT_TRUE(RunUntil("restore"));
}

}  // namespace
}  // namespace lumbra
