// The SLR-45 driver against its simulator on a pseudo-terminal: real port and
// thread, virtual time for the driver's timer; and the udev monitor's removal
// notice reaching it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "drivers/slr45/RKM530.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "platform/linux/UdevSerialMonitor.h"
#include "readersim/SimRfid.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using namespace std::chrono_literals;

class SLR45OnPty : public ::testing::Test {
 protected:
  SLR45OnPty() {
    loop.Install();
    platform::SetSerialBackend(&backend);
    link = (std::filesystem::temp_directory_path() /
            ("lumbra-rfid-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name()))
               .string();
    sim = std::make_unique<readersim::SimPort>(std::make_unique<readersim::SLR45Device>(), link);
    reader.reset(new TSLR45BadgeReader(nullptr));
    test::RecordReaderEvents(*reader, events);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(link);
  }
  ~SLR45OnPty() override {
    reader.reset();
    sim.reset();
    platform::SetSerialBackend(nullptr);
  }
  // Timer steps, with the port's thread delivering between them, until the
  // event has come; bounded in steps and so in real time.
  bool RunUntil(const std::string& event) {
    auto done = [&] { return std::find(events.begin(), events.end(), event) != events.end(); };
    for (int i = 0; i < 300 && !done(); ++i) {
      loop.Advance(55);
      loop.PumpUntil(done, 5ms);
    }
    return done();
  }
  long Count(const std::string& event) const {
    return std::count(events.begin(), events.end(), event);
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) {
      loop.Advance(55);
      loop.PumpUntil([] { return false; }, 2ms);
    }
  }

  platform::FakeMessageLoop loop;
  platform::TermiosSerialBackend backend;
  std::string link;
  std::unique_ptr<readersim::SimPort> sim;
  Owned<TSLR45BadgeReader> reader;
  test::ReaderEvents events;
};

TEST_F(SLR45OnPty, BadgesAcrossAnUnplug) {
  reader->SetTrack(7);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(sim->Command("present 123456789A"));
  ASSERT_TRUE(RunUntil("read 123456789A\r0182591577652\r78187493530"));
  ASSERT_TRUE(sim->Command("badcheck 0A02123456789A"));
  ASSERT_TRUE(RunUntil("badcrc"));
  EXPECT_EQ(reader->LastTessera(), "123456789A\r0182591577652\r78187493530");

  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout")) << "the pulled reader is shown as a reader problem";
  Steps(10);
  EXPECT_EQ(Count("timeout"), 1) << "shown once";
  EXPECT_EQ(Count("error Communication error"), 0) << "not as an error text";
  events.clear();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore")) << "back by itself under its link";
  reader->SetTrack(1);
  ASSERT_TRUE(sim->Command("present 00000000FF"));
  ASSERT_TRUE(RunUntil("read 00000000FF"));
  EXPECT_EQ(Count("read 00000000FF"), 1);
}

TEST_F(SLR45OnPty, ARemovalNoticedByUdevStopsTheReaderUntilItsPortIsBack) {
  platform::UdevSerialMonitor monitor;
  // Where udev answers at all, its socket is watched by the loop.
  EXPECT_EQ(monitor.Active(), monitor.Descriptor() >= 0 && loop.Watching(monitor.Descriptor()));
  // A wake-up with nothing to read returns at once: the socket never blocks the loop.
  if (monitor.Active()) loop.SignalReadable(monitor.Descriptor());
  reader->SetTrack(1);
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  events.clear();
  platform::UdevSerialMonitor::DeviceEvent("add", {link});
  platform::UdevSerialMonitor::DeviceEvent("remove", {"/dev/ttyUSB9", "/dev/serial/by-id/other"});
  Steps(4);
  EXPECT_TRUE(events.empty()) << "an arrival, and the removal of another port, change nothing";
  // The device node and its by-id link, as udev names a pulled adapter.
  platform::UdevSerialMonitor::DeviceEvent("remove", {"/dev/ttyUSB0", link});
  ASSERT_TRUE(RunUntil("restore"));
  EXPECT_EQ(events.front(), "timeout");
  ASSERT_TRUE(sim->Command("present 123456789A"));
  EXPECT_TRUE(RunUntil("read 123456789A"));
}

}  // namespace
}  // namespace lumbra
