// Event-driven reader models through the Win32 serial code: the SLR-45 and
// SWU-41 drivers against their simulators on a pseudo-terminal that the Wine
// prefix maps to a COM port (LUMBRA_TEST_COM), commands to the simulator
// written to LUMBRA_TEST_SIM_INPUT; each model runs with its own simulator.
// The simulator's unplug takes the pseudo-terminal away (the port's link goes
// with it), its plug brings a new one back under the same name. Virtual time
// drives the drivers' timers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "drivers/slr45/RKM530.h"
#include "drivers/swu41/SWU41.h"
#include "platform/SerialDeviceTable.h"
#include "support/ReaderEvents.h"
#include "win32/SimulatedReader.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

// The port table as the system would list the reader's USB adapter: a driver
// looks its port up there once the port it had is gone.
class AdapterTable final : public platform::ISerialDeviceTable {
 public:
  AdapterTable(platform::SerialAdapterKind kind, std::string port)
      : fKind(kind), fPort(std::move(port)) {}
  bool Read(std::vector<platform::SerialDeviceEntry>& entries) override {
    entries = {{fKind, "usbser", fPort}};
    return true;
  }

 private:
  platform::SerialAdapterKind fKind;
  std::string fPort;
};

template <class Reader, platform::SerialAdapterKind kAdapter>
class Win32EventReader : public test::SimulatedReaderTest {
 protected:
  void SetUp() override {
    if (!StartSimulated()) GTEST_SKIP() << "no simulated reader";
    table = std::make_unique<AdapterTable>(kAdapter, port);
    platform::SetSerialDeviceTable(table.get());
    reader.reset(new Reader(nullptr));
    test::RecordReaderEvents(*reader, events);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(port);
  }
  void TearDown() override {
    reader.reset();
    platform::SetSerialDeviceTable(nullptr);
    SimulatedReaderTest::TearDown();
  }
  bool Seen(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  // Timer steps with real time between them for the port's thread, which
  // under Wine polls a pseudo-terminal port. A command given is repeated
  // every few steps (a card the reader was not yet ready for passes unread).
  bool RunUntil(const std::string& event, const std::string& command = {}) {
    for (int i = 0; i < 300 && !Seen(event); ++i) {
      if (!command.empty() && i % 15 == 0) Sim(command);
      loop.Advance(55);
      loop.PumpUntil([&] { return Seen(event); }, 30ms);
    }
    return Seen(event);
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
  // Reads a card, loses the reader to an unplug (shown once, as a reader
  // problem), and reads again once it is plugged back.
  void ReadAcrossAnUnplug(const std::string& verb, const std::string& card,
                          const std::string& again) {
    reader->SetActive(true);
    ASSERT_TRUE(RunUntil("restore")) << ::testing::PrintToString(events);
    ASSERT_TRUE(RunUntil("read " + card, verb + " " + card)) << ::testing::PrintToString(events);
    Sim("unplug");
    ASSERT_TRUE(RunUntil("timeout"))
        << "the pulled reader is shown as a reader problem: " << ::testing::PrintToString(events);
    Steps(10);
    EXPECT_EQ(Count("timeout"), 1) << "shown once";
    events.clear();
    Sim("plug");
    ASSERT_TRUE(RunUntil("restore"))
        << "back by itself on its adapter's port: " << ::testing::PrintToString(events);
    ASSERT_TRUE(RunUntil("read " + again, verb + " " + again)) << ::testing::PrintToString(events);
  }

  std::unique_ptr<AdapterTable> table;
  Owned<Reader> reader;
  test::ReaderEvents events;
};

using Win32EventReaderTest =
    Win32EventReader<TSLR45BadgeReader, platform::SerialAdapterKind::Prolific>;

TEST_F(Win32EventReaderTest, SLR45ReadsBadgesAcrossAnUnplug) {
  reader->SetTrack(1);
  ReadAcrossAnUnplug("present", "123456789A", "00000000FF");
}

using Win32SwipeReaderTest =
    Win32EventReader<TSWU41BadgeWriter, platform::SerialAdapterKind::UsbOther>;

TEST_F(Win32SwipeReaderTest, SWU41ReadsCardsAcrossAnUnplug) {
  reader->SetTrack(2);
  ReadAcrossAnUnplug("swipe", "4711", "42");
}

}  // namespace
}  // namespace lumbra
