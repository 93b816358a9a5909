// A reader model through the Win32 serial code: the SL-10 driver against its
// simulator on a pseudo-terminal that the Wine prefix maps to a COM port
// (LUMBRA_TEST_COM), with the simulator's commands written to
// LUMBRA_TEST_SIM_INPUT. Virtual time drives the driver's timer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "drivers/sl10/SerialBadgeReader.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/win32/Win32Serial.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

class Win32ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("LUMBRA_TEST_COM");
    const char* input = std::getenv("LUMBRA_TEST_SIM_INPUT");
    if (port == nullptr || input == nullptr) GTEST_SKIP() << "no simulated reader";
    simInput = input;
    loop.Install();
    platform::SetSerialBackend(&backend);
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
    platform::SetSerialBackend(nullptr);
  }
  // A command line to the simulator (its input is a pipe of the Linux side,
  // reached through Wine's mapping of the file system).
  void Sim(const std::string& command) {
    std::ofstream out(simInput, std::ios::app | std::ios::binary);  // "\n", not "\r\n"
    out << command << "\n";
    out.flush();
    ASSERT_TRUE(out.good()) << "cannot write to the simulator at " << simInput;
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

  platform::FakeMessageLoop loop;
  platform::win32::Win32SerialBackend backend;
  std::string simInput;
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
