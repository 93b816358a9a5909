// An event-driven reader model through the Win32 serial code: the SLR-45
// driver against its simulator on a pseudo-terminal that the Wine prefix maps
// to a COM port (LUMBRA_TEST_COM), commands to the simulator written to
// LUMBRA_TEST_SIM_INPUT. The simulator's unplug takes the pseudo-terminal
// away (the port's link goes with it), its plug brings a new one back under
// the same name. Virtual time drives the driver's timer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "drivers/slr45/RKM530.h"
#include "platform/SerialDeviceTable.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/win32/Win32Serial.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

// The port table as the system would list the reader's USB adapter: the
// driver looks its port up there once the port it had is gone.
class AdapterTable final : public platform::ISerialDeviceTable {
 public:
  explicit AdapterTable(std::string port) : fPort(std::move(port)) {}
  bool Read(std::vector<platform::SerialDeviceEntry>& entries) override {
    entries = {{platform::SerialAdapterKind::Prolific, "Serial", fPort}};
    return true;
  }

 private:
  std::string fPort;
};

class Win32EventReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("LUMBRA_TEST_COM");
    const char* input = std::getenv("LUMBRA_TEST_SIM_INPUT");
    if (port == nullptr || input == nullptr) GTEST_SKIP() << "no simulated reader";
    simInput = input;
    loop.Install();
    platform::SetSerialBackend(&backend);
    table = std::make_unique<AdapterTable>(port);
    platform::SetSerialDeviceTable(table.get());
    reader.reset(new TSLR45BadgeReader(nullptr));
    test::RecordReaderEvents(*reader, events);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(port);
  }
  void TearDown() override {
    reader.reset();
    platform::SetSerialBackend(nullptr);
    platform::SetSerialDeviceTable(nullptr);
  }
  void Sim(const std::string& command) {
    std::ofstream out(simInput, std::ios::app | std::ios::binary);  // "\n", not "\r\n"
    out << command << "\n";
    out.flush();
    ASSERT_TRUE(out.good()) << "cannot write to the simulator at " << simInput;
  }
  // Timer steps with real time between them for the port's thread, which
  // under Wine polls a pseudo-terminal port.
  bool RunUntil(const std::string& event) {
    auto seen = [&] { return std::find(events.begin(), events.end(), event) != events.end(); };
    for (int i = 0; i < 300 && !seen(); ++i) {
      loop.Advance(55);
      loop.PumpUntil(seen, 30ms);
    }
    return seen();
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) {
      loop.Advance(55);
      loop.PumpUntil([] { return false; }, 10ms);
    }
  }
  long Count(const std::string& event) const {
    return std::count(events.begin(), events.end(), event);
  }

  platform::FakeMessageLoop loop;
  platform::win32::Win32SerialBackend backend;
  std::unique_ptr<AdapterTable> table;
  std::string simInput;
  Owned<TSLR45BadgeReader> reader;
  test::ReaderEvents events;
};

TEST_F(Win32EventReaderTest, SLR45ReadsBadgesAcrossAnUnplug) {
  reader->SetTrack(1);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore")) << ::testing::PrintToString(events);
  Sim("present 123456789A");
  ASSERT_TRUE(RunUntil("read 123456789A")) << ::testing::PrintToString(events);
  Steps(10);
  EXPECT_EQ(Count("read 123456789A"), 1);

  Sim("unplug");
  ASSERT_TRUE(RunUntil("timeout"))
      << "the pulled reader is shown as a reader problem: " << ::testing::PrintToString(events);
  Steps(10);
  EXPECT_EQ(Count("timeout"), 1) << "shown once";
  events.clear();
  Sim("plug");
  ASSERT_TRUE(RunUntil("restore"))
      << "back by itself on its adapter's port: " << ::testing::PrintToString(events);
  Sim("present 00000000FF");
  ASSERT_TRUE(RunUntil("read 00000000FF")) << ::testing::PrintToString(events);
  EXPECT_EQ(Count("read 00000000FF"), 1);
}

}  // namespace
}  // namespace lumbra
