// The SLU-20 driver on the Linux HID backend, against the simulated reader
// as a virtual device: real sockets, the controller's reading thread and the
// folder's watch; virtual time for the driver's timer.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "drivers/slu20/USBBadgeReader.h"
#include "platform/fake/FakeHid.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/HidapiBackend.h"
#include "readersim/SimSLU20.h"
#include "support/ReaderEvents.h"
#include "support/UiHold.h"

namespace lumbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SLU20OnVirtualHid : public ::testing::Test {
 protected:
  SLU20OnVirtualHid()
      : root(fs::temp_directory_path() / ("lumbra-slu20-" + std::to_string(::getpid()))),
        folder((root / "lumbra" / "hid").string()),
        backend(folder) {
    fs::remove_all(root);
    fs::create_directories(root);
    loop.Install();
    platform::SetHidBackend(&backend);
    // The machine's table stays out of it: the copies of this test are its own.
    claims.Install();
    sim = std::make_unique<readersim::SimHidPort>(std::make_unique<readersim::SLU20Device>(), 20,
                                                  folder);
    reader.reset(new TUSBBadgeReader(nullptr));
    test::RecordReaderEvents(*reader, events);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
  }
  ~SLU20OnVirtualHid() override {
    reader.reset();
    sim.reset();
    platform::SetHidBackend(nullptr);
    fs::remove_all(root);
  }
  // Timer steps, with the reading thread and the folder's watch delivering
  // between them, until the event has come; bounded in steps and so in real time.
  bool RunUntil(const std::string& event) {
    auto done = [&] { return std::find(events.begin(), events.end(), event) != events.end(); };
    for (int i = 0; i < 300 && !done(); ++i) Step(done);
    return done();
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) Step([] { return false; });
  }
  // One timer step, and the longest the UI thread's part of a step took.
  void Step(const std::function<bool()>& done) {
    longest = std::max(longest, test::UiTime([&] {
      const int fd = backend.Virtual().Descriptor();
      pollfd p{fd, POLLIN, 0};
      if (fd >= 0 && ::poll(&p, 1, 0) == 1) loop.SignalReadable(fd);
      loop.Advance(200);
    }));
    loop.PumpUntil(done, 10ms);
  }
  std::chrono::milliseconds longest{0};
  long Count(const std::string& event) const {
    return std::count(events.begin(), events.end(), event);
  }

  fs::path root;
  std::string folder;
  platform::FakeMessageLoop loop;
  platform::HidapiBackend backend;
  platform::FakeClaimTables claims;
  std::unique_ptr<readersim::SimHidPort> sim;
  Owned<TUSBBadgeReader> reader;
  test::ReaderEvents events;
};

TEST_F(SLU20OnVirtualHid, CardsAcrossAnUnplug) {
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  ASSERT_TRUE(sim->Command("insert 12=34"));
  ASSERT_TRUE(RunUntil("read 12D34"));
  Steps(10);
  EXPECT_EQ(Count("read 12D34"), 1) << "a card kept in is read once";

  // Bad reads, each shown once and never typed; a removal between them.
  for (const char* bad : {"badparity 123456", "badcheck 123456"}) {
    SCOPED_TRACE(bad);
    events.clear();
    ASSERT_TRUE(sim->Command("remove"));
    ASSERT_TRUE(RunUntil("status 1"));
    ASSERT_TRUE(sim->Command(bad));
    ASSERT_TRUE(RunUntil("fail")) << ::testing::PrintToString(events);
    Steps(5);
    EXPECT_EQ(Count("fail"), 1);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("read ", 0) == 0; }),
              0);
  }
  events.clear();
  ASSERT_TRUE(sim->Command("remove"));
  ASSERT_TRUE(RunUntil("status 1"));
  ASSERT_TRUE(sim->Command("empty"));
  ASSERT_TRUE(RunUntil("badinsert"));

  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout")) << "the pulled reader is shown as a reader problem";
  events.clear();
  sim->PlugBack(21);
  ASSERT_TRUE(RunUntil("restore")) << "back by itself, under another instance";
  ASSERT_TRUE(sim->Command("insert 4711"));
  ASSERT_TRUE(RunUntil("read 4711"));

  events.clear();
  ASSERT_TRUE(sim->Command("silent"));
  ASSERT_TRUE(RunUntil("timeout")) << "a reader that stops answering";
}

TEST_F(SLU20OnVirtualHid, AReaderGoneWrongNeverHoldsUpTheUiThread) {
  reader->SetActive(true);
  ASSERT_TRUE(RunUntil("restore"));
  longest = {};
  // It takes no request any more: the requests are refused, nobody waits.
  ASSERT_TRUE(sim->Command("stall"));
  Steps(40);
  EXPECT_EQ(Count("timeout"), 1);
  ASSERT_TRUE(sim->Command("unstall"));

  // Put back, it greets nobody: listing and opening do not wait for it.
  ASSERT_TRUE(sim->Command("nohello"));
  sim->Unplug();
  ASSERT_TRUE(RunUntil("timeout"));
  sim->PlugBack();
  Steps(20);
  EXPECT_LT(longest, test::kUiBound);
  EXPECT_EQ(reader->Protocol()->Device(), nullptr);

  // Greeting again under a new socket, it is taken.
  events.clear();
  ASSERT_TRUE(sim->Command("hello"));
  sim->Unplug();
  sim->PlugBack();
  ASSERT_TRUE(RunUntil("restore"));
}

}  // namespace
}  // namespace lumbra
