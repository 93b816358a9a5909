#include "drivers/slu20/GlobalHidController.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/fake/FakeHid.h"
#include "platform/fake/FakeMessageLoop.h"
#include "support/UiHold.h"

namespace lumbra {
namespace {

using platform::FakeHidBackend;
using platform::FakeHidDevice;
using platform::FakeMessageLoop;
using Log = std::vector<std::string>;

// Records what the controller forwards, as "<name> <event> <instance>".
class Listener : public TCustomHidNotifyObject {
 public:
  Listener(std::string name, Log& log) : fName(std::move(name)), fLog(log) {}

  void HidEnumerate(THidDevice* d, int) override { Add("enumerate", d); }
  void HidArrival(THidDevice* d) override { Add("arrival", d); }
  void HidDeviceChange() override { fLog.push_back(fName + " change"); }
  void HidDeviceData(THidDevice* d, std::uint8_t id, const std::uint8_t* data,
                     std::uint16_t size) override {
    std::string bytes;
    for (std::uint16_t i = 0; i < size; ++i) bytes += " " + std::to_string(data[i]);
    fLog.push_back(fName + " data " + std::to_string(d->Instance()) + " id " + std::to_string(id) +
                   ":" + bytes);
  }
  void HidUnplug(THidDevice* d) override { Add("unplug", d); }
  void HidRemoval(THidDevice* d) override { Add("removal", d); }

  // Borrows the first plugged-in device with this instance.
  bool Borrow(std::uint32_t instance) {
    TGlobalHidController& c = SharedController();
    for (int i = 0; i < c.Count(); ++i)
      if (c.Device(i)->Instance() == instance && c.Device(i)->IsPluggedIn())
        return c.CheckOutByIndex(held, i);
    return false;
  }
  void Return() {
    if (TGlobalHidController* c = TGlobalHidController::Existing()) c->CheckIn(held);
  }

  THidDevice* held = nullptr;

 private:
  void Add(const char* what, THidDevice* d) {
    fLog.push_back(fName + " " + what + " " + std::to_string(d->Instance()));
  }
  std::string fName;
  Log& fLog;
};

platform::HidDeviceInfo Info(std::uint32_t instance, const std::string& product = "Keyboard") {
  platform::HidDeviceInfo i;
  i.instance = instance;
  i.vendorId = 0x1234;
  i.productId = 0x0001;
  i.product = product;
  i.inputReportLength = 4;
  return i;
}

class HidControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    hid.Install();
    d11 = hid.AddDevice(Info(11));
    d12 = hid.AddDevice(Info(12));
  }
  void TearDown() override {
    a.reset();
    b.reset();
    ASSERT_EQ(TGlobalHidController::Existing(), nullptr) << "the last listener frees it";
    EXPECT_EQ(hid.Watchers(), 0);
  }
  // Both listeners registered, and the controller's first listing announced.
  void StartBoth() {
    a->StartHidNotification();
    b->StartHidNotification();
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), (Log{"A change", "B change"}));
  }
  Log Take() { return std::exchange(log, {}); }
  TGlobalHidController& Controller() { return *TGlobalHidController::Existing(); }

  FakeMessageLoop loop;
  FakeHidBackend hid;
  std::shared_ptr<FakeHidDevice> d11, d12;
  Log log;
  std::unique_ptr<Listener> a = std::make_unique<Listener>("A", log);
  std::unique_ptr<Listener> b = std::make_unique<Listener>("B", log);
};

TEST_F(HidControllerTest, EachEnumerationGoesToTheListenerThatAskedOnly) {
  StartBoth();
  a->EnumerateDevice();
  EXPECT_EQ(Take(), (Log{"A enumerate 11", "A enumerate 12"}));
  b->EnumerateDevice();
  EXPECT_EQ(Take(), (Log{"B enumerate 11", "B enumerate 12"}));
  EXPECT_EQ(Controller().fEnumeraterequestor, nullptr);
  // Without a requestor every listener is offered every device.
  EXPECT_EQ(Controller().Enumerate(), 2);
  EXPECT_EQ(Take(), (Log{"A enumerate 11", "B enumerate 11", "A enumerate 12", "B enumerate 12"}));
}

TEST_F(HidControllerTest, TheControllerLivesFromTheFirstListenerToTheLast) {
  EXPECT_EQ(TGlobalHidController::Existing(), nullptr);
  a->StartHidNotification();
  a->StartHidNotification();  // no second entry
  EXPECT_EQ(Controller().NotifyObjects().size(), 1u);
  EXPECT_EQ(hid.Watchers(), 1) << "device changes are watched while it lives";
  EXPECT_EQ(Controller().Count(), 2) << "listed at once, before the loop runs";
  b->StartHidNotification();
  a->StopHidNotification();
  ASSERT_NE(TGlobalHidController::Existing(), nullptr);
  b->StopHidNotification();
  EXPECT_EQ(TGlobalHidController::Existing(), nullptr);
  EXPECT_EQ(hid.Watchers(), 0);
  loop.RunUntilIdle();
  EXPECT_TRUE(Take().empty()) << "the freed controller's own message went with its window";

  // A new listener gets a new controller, which lists the devices afresh.
  auto d13 = hid.AddDevice(Info(13));
  const int listings = hid.EnumerateCount();
  b->StartHidNotification();
  EXPECT_EQ(hid.EnumerateCount(), listings + 1);
  b->EnumerateDevice();
  EXPECT_EQ(Take(), (Log{"B enumerate 11", "B enumerate 12", "B enumerate 13"}));
}

TEST_F(HidControllerTest, AnyArrivalFiresTheDeviceChangeForEveryListener) {
  StartBoth();
  auto other = hid.AddDevice(Info(40, "Mouse"), false);
  hid.Plug(other);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Log{"A arrival 40", "B arrival 40", "A change", "B change"}));
  // A broadcast that changes nothing, or that is about something else, fires nothing.
  loop.BroadcastDeviceChange(platform::DBT_DEVNODES_CHANGED, 0);
  loop.BroadcastDeviceChange(0x8004, 0);
  loop.RunUntilIdle();
  EXPECT_TRUE(Take().empty());
  // A direct call lists at once.
  hid.AddDevice(Info(41));
  Controller().DeviceChange();
  EXPECT_EQ(Take(), (Log{"A arrival 41", "B arrival 41", "A change", "B change"}));
}

TEST_F(HidControllerTest, AnUnpluggedDeviceIsRemovedAndALentOneFreedOnlyWhenReturned) {
  StartBoth();
  ASSERT_TRUE(a->Borrow(11));
  EXPECT_TRUE(d11->IsOpen());
  EXPECT_FALSE(b->Borrow(11)) << "already lent";
  hid.Unplug(d11);
  hid.Unplug(d12);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(),
            (Log{"A unplug 11", "B unplug 11", "A removal 11", "B removal 11", "A unplug 12",
                 "B unplug 12", "A removal 12", "B removal 12", "A change", "B change"}));
  EXPECT_TRUE(loop.PumpUntil([&] { return !d11->IsOpen(); }))
      << "its handles are closed once its threads see it go";
  ASSERT_EQ(Controller().Count(), 1) << "the device not lent is freed, the lent one stays";
  EXPECT_EQ(Controller().Device(0), a->held);
  EXPECT_FALSE(a->held->IsPluggedIn());
  THidDevice* again = nullptr;
  EXPECT_FALSE(Controller().CheckOutByIndex(again, 0));
  EXPECT_EQ(Controller().Enumerate(), 0) << "an unplugged device is not offered";
  a->Return();
  EXPECT_EQ(a->held, nullptr);
  EXPECT_EQ(Controller().Count(), 0);

  // Plugged back, it is a new device that can be lent again.
  hid.Plug(d11);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Log{"A arrival 11", "B arrival 11", "A change", "B change"}));
  EXPECT_TRUE(b->Borrow(11));
  EXPECT_EQ(d11->OpenCount(), 2);
  b->Return();
  EXPECT_EQ(Controller().Count(), 1) << "a plugged-in device stays when returned";
  EXPECT_TRUE(loop.PumpUntil([&] { return !d11->IsOpen(); }));
}

TEST_F(HidControllerTest, ALentDeviceWhoseReadsFailIsGoneEvenIfItsNumberIsListedAgain) {
  // Pulled and put back between two listings, a reader may come back under
  // the number it had; the old device object would never read it again.
  StartBoth();
  ASSERT_TRUE(a->Borrow(11));
  d11->SetReadFails(true);
  ASSERT_TRUE(loop.PumpUntil([&] { return a->held->ReadFailing(); }));
  d11->SetReadFails(false);
  Controller().DeviceChange();
  EXPECT_EQ(Take(), (Log{"A unplug 11", "B unplug 11", "A removal 11", "B removal 11",
                         "A arrival 11", "B arrival 11", "A change", "B change"}));
  EXPECT_FALSE(a->held->IsPluggedIn());
  a->Return();
  ASSERT_TRUE(b->Borrow(11)) << "the device back is lent afresh";
  d11->Feed({1, 2});
  ASSERT_TRUE(loop.PumpUntil([&] { return Controller().ReportsForwarded() == 1; }));
  EXPECT_EQ(Take(), (Log{"A data 11 id 1: 2", "B data 11 id 1: 2"}));
  b->Return();
}

TEST_F(HidControllerTest, LendingRefusesWhatCannotBeLent) {
  StartBoth();
  THidDevice* d = nullptr;
  EXPECT_FALSE(Controller().CheckOutByIndex(d, -1));
  EXPECT_FALSE(Controller().CheckOutByIndex(d, 2));
  d12->openError = "Permission denied";
  EXPECT_FALSE(Controller().CheckOutByIndex(d, 1));
  EXPECT_FALSE(Controller().Device(1)->IsCheckedOut());
  EXPECT_EQ(d, nullptr);
  Controller().CheckIn(d);  // returning nothing does nothing
  EXPECT_EQ(Controller().Count(), 2);
}

TEST_F(HidControllerTest, AReportReachesEveryListenerOnTheUiThread) {
  StartBoth();
  ASSERT_TRUE(a->Borrow(12));
  d12->Feed({7, 1, 2, 3});
  d12->Feed({0});  // a report ID alone still is a report
  ASSERT_TRUE(loop.PumpUntil([&] { return Controller().ReportsForwarded() == 2; }));
  EXPECT_EQ(Take(), (Log{"A data 12 id 7: 1 2 3", "B data 12 id 7: 1 2 3",
                         "A data 12 id 0:", "B data 12 id 0:"}));
  // Writes go to the device as they are, report ID first.
  const std::uint8_t out[3] = {0, 0x30, 0x30};
  EXPECT_TRUE(a->held->WriteReport(out, 3));
  ASSERT_TRUE(loop.PumpUntil([&] { return !a->held->Writing(); }));
  EXPECT_EQ(d12->Written(), (std::vector<FakeHidDevice::Report>{{0, 0x30, 0x30}}));
  EXPECT_EQ(a->held->LastError(), "");
  {
    std::lock_guard lock(hid.mutex);
    d12->writeFails = true;
  }
  EXPECT_TRUE(a->held->WriteReport(out, 3)) << "handed over; it fails later";
  ASSERT_TRUE(loop.PumpUntil([&] { return !a->held->Writing(); }));
  EXPECT_EQ(a->held->LastError(), "write refused");
  a->Return();
  EXPECT_TRUE(loop.PumpUntil([&] { return !d12->HasReader() && !d12->IsOpen(); }))
      << "the reading stopped with the return";
}

TEST_F(HidControllerTest, AStalledDeviceHoldsUpNeitherTheUiThreadNorItsNextBorrower) {
  StartBoth();
  ASSERT_TRUE(a->Borrow(12));
  d12->SetWritesStall(true);
  const std::uint8_t out[3] = {0, 0x30, 0x30};
  ASSERT_TRUE(a->held->WriteReport(out, 3));
  auto stalled = [&] {
    std::lock_guard lock(hid.mutex);
    return d12->stalledWrites == 1;
  };
  ASSERT_TRUE(loop.PumpUntil(stalled));
  int refused = 0;
  const auto hold = test::UiHold(loop, [&] {
    for (int i = 0; i < 100; ++i) refused += a->held->WriteReport(out, 3) ? 0 : 1;
    a->Return();  // its writing thread stuck in a write, its reader in a read
  });
  EXPECT_LT(hold, test::kUiBound);
  EXPECT_GT(refused, 0) << "reports for a device that takes none do not pile up";
  EXPECT_TRUE(stalled());
  ASSERT_TRUE(b->Borrow(12)) << "lent again while the old write hangs";
  d12->Feed({5, 6});
  ASSERT_TRUE(loop.PumpUntil([&] { return Controller().ReportsForwarded() == 1; }));
  EXPECT_EQ(Take(), (Log{"A data 12 id 5: 6", "B data 12 id 5: 6"}));
  d12->SetWritesStall(false);
  b->Return();
  EXPECT_TRUE(loop.PumpUntil([&] { return !d12->IsOpen(); }))
      << "the old handle closes once its write ends";
  EXPECT_TRUE(d12->Written().size() == 1u) << "the one write under way, nothing queued after it";
}

TEST_F(HidControllerTest, AReportOfADeviceReturnedMeanwhileIsDropped) {
  StartBoth();
  ASSERT_TRUE(a->Borrow(11));
  d11->Feed({1, 9, 9, 9});
  // Wait until the reading thread has handed the report over, but do not let
  // the UI thread take it yet.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (loop.QueuedCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(loop.QueuedCount(), 1u);
  a->Return();
  ASSERT_TRUE(a->Borrow(11)) << "lent again: a new lending, the old report still is not its";
  loop.RunUntilIdle();
  EXPECT_EQ(Controller().ReportsDropped(), 1u);
  EXPECT_EQ(Controller().ReportsForwarded(), 0u);
  EXPECT_TRUE(Take().empty());
  a->Return();
}

}  // namespace
}  // namespace lumbra
