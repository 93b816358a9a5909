#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "drivers/Drivers.h"
#include "drivers/slu20/USBBadgeReader.h"
#include "platform/fake/FakeHid.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeClaimTables;
using platform::FakeHidBackend;
using platform::FakeHidDevice;
using platform::FakeMessageLoop;
using Events = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

constexpr char kTable[] = "TavikUSBBadgeReader";
const FakeHidDevice::Report kRequest{0x00, 0x30, 0x30};

platform::HidDeviceInfo ReaderInfo(std::uint32_t instance,
                                   const std::string& product = TProtoUSBBadge::kProductName) {
  platform::HidDeviceInfo i;
  i.instance = instance;
  i.vendorId = 0x0801;
  i.productId = 0x0002;
  i.product = product;
  i.inputReportLength = 10;  // report ID, packet number, 7 block bytes, 1 unused
  return i;
}

// A 28-byte block: status byte, track byte count, an unused byte, track bytes.
std::string Block(std::uint8_t status, std::uint8_t count, const Bytes& track = {}) {
  std::string b(TProtoUSBBadge::kBlockSize, '\0');
  b[0] = static_cast<char>(status);
  b[1] = static_cast<char>(count);
  for (size_t i = 0; i < track.size(); ++i) b[3 + i] = static_cast<char>(track[i]);
  return b;
}

// Track 2 "12": the two characters, the end sentinel and the check character.
const Bytes k12{0x01, 0x02, 0x1F, 0x07};
const std::string kCard12 = Block(2, 4, k12);
// Track 2 "1=2", read as "1D2".
const std::string kCard1D2 = Block(2, 5, {0x01, 0x0D, 0x02, 0x1F, 0x1A});

// An input report as the device sends it: report ID, packet number, then
// `bytes` of the block, and a byte the protocol ignores unless the report is
// cut short.
FakeHidDevice::Report Packet(int n, const std::string& bytes, bool whole = true) {
  FakeHidDevice::Report r(bytes.size() + 2);
  r[1] = static_cast<std::uint8_t>(n);
  std::copy(bytes.begin(), bytes.end(), r.begin() + 2);
  if (whole) r.push_back(0xEE);
  return r;
}

class SLU20Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    hid.Install();
    claims.Install();
    dev = hid.AddDevice(ReaderInfo(0x101));
    reader = NewReader(events);
  }
  void TearDown() override {
    reader.reset();
    others.clear();
    EXPECT_EQ(TGlobalHidController::Existing(), nullptr);
    for (std::uint32_t slot : claims.Slots(kTable)) EXPECT_EQ(slot, 0u) << "every claim released";
  }

  Owned<TUSBBadgeReader> NewReader(Events& into) {
    Owned<TUSBBadgeReader> r(new TUSBBadgeReader(nullptr));
    test::RecordReaderEvents(*r, into);
    r->SetCrypt(false);
    r->SetCheckCRCTes(false);
    return r;
  }
  // Switched on with the reader found: the enabling and the controller's
  // first listing each restore it.
  void Start() {
    reader->SetActive(true);
    loop.RunUntilIdle();
    ASSERT_EQ(Take(), (Events{"restore", "restore"}));
    ASSERT_EQ(reader->Protocol()->Device()->Instance(), 0x101u);
  }
  void Restart() {
    reader->SetActive(false);
    loop.RunUntilIdle();
    Take();
    Start();
  }
  // Sends reports from a device and waits until the UI thread has handed them on.
  void Send(const std::vector<FakeHidDevice::Report>& reports,
            const std::shared_ptr<FakeHidDevice>& from = nullptr) {
    TGlobalHidController* c = TGlobalHidController::Existing();
    ASSERT_NE(c, nullptr);
    const auto before = c->ReportsForwarded();
    for (const auto& r : reports) (from ? from : dev)->Feed(r);
    ASSERT_TRUE(loop.PumpUntil([&] { return c->ReportsForwarded() >= before + reports.size(); }));
  }
  void Deliver(const std::string& block, const std::shared_ptr<FakeHidDevice>& from = nullptr) {
    std::vector<FakeHidDevice::Report> packets;
    for (int n = 1; n <= 4; ++n) packets.push_back(Packet(n, block.substr((n - 1) * 7, 7)));
    Send(packets, from);
  }
  // Until the reports handed to the devices' writing threads are written.
  void Drained() {
    EXPECT_TRUE(loop.PumpUntil([&] {
      const TGlobalHidController* c = TGlobalHidController::Existing();
      for (int i = 0; c != nullptr && i < c->Count(); ++i)
        if (c->Device(i)->Writing()) return false;
      return true;
    }));
  }
  // Once its threads, told to stop, have let the device go.
  bool Closed(const std::shared_ptr<FakeHidDevice>& d) {
    return loop.PumpUntil([&] { return !d->IsOpen(); });
  }
  // The requests the device took.
  size_t Requests() {
    Drained();
    size_t n = 0;
    for (const auto& w : dev->Written()) n += w == kRequest;
    return n;
  }
  Events Take() { return std::exchange(events, {}); }

  FakeMessageLoop loop;
  FakeHidBackend hid;
  FakeClaimTables claims;
  std::shared_ptr<FakeHidDevice> dev;
  Events events;
  Owned<TUSBBadgeReader> reader;
  std::vector<Owned<TUSBBadgeReader>> others;
};

TEST_F(SLU20Test, BlocksAreDecodedAndACardIsReportedOnce) {
  struct Case {
    const char* name;
    std::string block;
    Events first;
  } cases[] = {
      {"two characters with their check character", kCard12, {"status 2", "read 12"}},
      {"a field separator reads as D", kCard1D2, {"status 2", "read 1D2"}},
      {"the end sentinel as the last byte needs no check character",
       Block(2, 3, {0x01, 0x02, 0x1F}),
       {"status 2", "read 12"}},
      {"no end sentinel: all the bytes counted",
       Block(2, 2, {0x01, 0x02}),
       {"status 2", "read 12"}},
      {"values above nine read as hexadecimal letters",
       Block(2, 5, {0x1A, 0x0B, 0x1C, 0x0D, 0x0E}),
       {"status 2", "read ABCDE"}},
      {"more than 25 track bytes count as 25",
       Block(2, 200, Bytes(25, 0x01)),
       {"status 2", "read " + std::string(25, '1')}},
      {"a wrong check character fails the read",
       Block(2, 4, {0x01, 0x02, 0x1F, 0x17}),
       {"status 2", "fail"}},
      {"a parity error fails the read",
       Block(2, 4, {0x01, 0x03, 0x1F, 0x07}),
       {"status 2", "fail"}},
      {"a parity error on the first character", Block(2, 2, {0x00, 0x01}), {"status 2", "fail"}},
      {"inserted without track data", Block(2, 0), {"status 2", "badinsert"}},
      {"half inserted", Block(1, 4, k12), {"status 3"}},
      {"no card", Block(0, 4, k12), {"status 1"}},
      {"the other bits of the status byte do not count",
       Block(0xFE, 4, k12),
       {"status 2", "read 12"}},
      {"status code 3 is no status: the block is ignored", Block(3, 4, k12), {}},
  };
  for (const auto& c : cases) {
    Restart();
    Deliver(c.block);
    EXPECT_EQ(Take(), c.first) << c.name;
    Deliver(c.block);
    EXPECT_EQ(Take(), Events{}) << c.name << ", while the card stays in";
  }
}

TEST_F(SLU20Test, TheMemoryOfACardLastsUntilItLeaves) {
  Start();
  const std::string parityError = Block(2, 4, {0x01, 0x03, 0x1F, 0x07});
  struct Step {
    const char* name;
    std::string block;
    Events events;
  } steps[] = {
      {"a parity error is reported", parityError, {"status 2", "fail"}},
      {"and not again", parityError, {}},
      {"a good read of the card after it", kCard12, {"read 12"}},
      {"a check failure of the same card is not reported",
       Block(2, 4, {0x01, 0x02, 0x1F, 0x17}),
       {}},
      {"status code 3 leaves everything as it was", Block(3, 0), {}},
      {"nor does it make the card read again", kCard12, {}},
      {"another card in the slot is read", kCard1D2, {"read 1D2"}},
      {"a bad check character of it is not reported",
       Block(2, 5, {0x01, 0x0D, 0x02, 0x1F, 0x0A}),
       {}},
      {"nor a garbled read of it", Block(2, 5, {0x01, 0x0D, 0x04, 0x1F, 0x1A}), {}},
      {"so it is not typed again", kCard1D2, {}},
      {"the card leaves", Block(0, 0), {"status 1"}},
      {"the parity error is reported again", parityError, {"status 2", "fail"}},
      {"half way", Block(1, 0), {"status 3"}},
      {"the card in again is read again", kCard12, {"status 2", "read 12"}},
  };
  for (const auto& s : steps) {
    Deliver(s.block);
    EXPECT_EQ(Take(), s.events) << s.name;
  }
}

TEST_F(SLU20Test, PacketsBuildTheBlockInOrderOnly) {
  const std::string a = kCard12.substr(0, 7), b = kCard12.substr(7, 7), c = kCard12.substr(14, 7),
                    d = kCard12.substr(21, 7);
  struct Case {
    const char* name;
    std::vector<FakeHidDevice::Report> packets;
    Events events;
    size_t buffered;
  } cases[] = {
      {"1 2 3 4",
       {Packet(1, a), Packet(2, b), Packet(3, c), Packet(4, d)},
       {"status 2", "read 12"},
       0},
      {"1 1 empties the block and drops the second", {Packet(1, a), Packet(1, a)}, {}, 0},
      {"1 1 2 3 4 builds nothing",
       {Packet(1, a), Packet(1, a), Packet(2, b), Packet(3, c), Packet(4, d)},
       {},
       0},
      {"2 first is dropped, then 1 2 3 4",
       {Packet(2, b), Packet(1, a), Packet(2, b), Packet(3, c), Packet(4, d)},
       {"status 2", "read 12"},
       0},
      {"1 2 so far", {Packet(1, a), Packet(2, b)}, {}, 14},
      {"a short packet leaves the block short",
       {Packet(1, a), Packet(2, b.substr(0, 3), false), Packet(3, c), Packet(4, d)},
       {},
       0},
      {"a short last packet",
       {Packet(1, a), Packet(2, b), Packet(3, c), Packet(4, d.substr(0, 6), false)},
       {},
       0},
      {"packet 5 and packet 0", {Packet(1, a), Packet(5, b), Packet(0, a)}, {}, 0},
      {"a packet number alone", {{0x00, 0x01}}, {}, 0},
  };
  for (const auto& k : cases) {
    Restart();
    Drained();
    dev->ClearWritten();
    Send(k.packets);
    EXPECT_EQ(Take(), k.events) << k.name;
    EXPECT_EQ(reader->Protocol()->Buffer().size(), k.buffered) << k.name;
    // Every packet but packet 4 asks for the next one at once.
    size_t asks = 0;
    for (const auto& p : k.packets) asks += p[1] != 4;
    EXPECT_EQ(Requests(), asks) << k.name;
  }
  // Reports of no data at all are ignored.
  Restart();
  Drained();
  dev->ClearWritten();
  Send({{0x00}});
  EXPECT_EQ(Requests(), 0u);
}

TEST_F(SLU20Test, ASilentReaderTimesOutOnceAfterEightSteps) {
  Start();
  Drained();
  dev->ClearWritten();
  loop.Advance(200);
  Drained();
  EXPECT_EQ(dev->Written(), std::vector<FakeHidDevice::Report>{kRequest});
  loop.Advance(200 * 7);  // steps 1 to 7 of waiting: asked again on 2, 4 and 6
  EXPECT_EQ(Requests(), 4u);
  EXPECT_EQ(Take(), Events{});
  EXPECT_EQ(reader->Status(), sdAttivo);
  loop.Advance(200);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Status(), sdTimeout);
  loop.Advance(200 * 27);  // three more rounds of nine steps
  EXPECT_EQ(Take(), Events{}) << "the timeout is told once";
  EXPECT_EQ(Requests(), 4u + 3 * 4);
  // Answers again: the card is read, but the reader stays timed out until it
  // is enabled again.
  Deliver(kCard12);
  EXPECT_EQ(Take(), (Events{"status 2", "read 12"}));
  EXPECT_EQ(reader->Status(), sdTimeout);
}

TEST_F(SLU20Test, AnAnswerEachStepKeepsTheReaderActive) {
  Start();
  Drained();
  dev->ClearWritten();
  for (int step = 0; step < 20; ++step) {
    loop.Advance(200);
    Deliver(Block(0, 0));
    // Steps come back to back here, not 200 ms apart: let the writing thread
    // keep up, or its bounded queue refuses requests.
    Drained();
  }
  EXPECT_EQ(Take(), Events{"status 1"});
  EXPECT_EQ(reader->Status(), sdAttivo);
  EXPECT_EQ(Requests(), 20u * 4) << "one from each step, three from the packets";
}

TEST_F(SLU20Test, OnlyTheExactProductStringIsTaken) {
  hid.Unplug(dev);
  const std::string names[] = {"Tavik SLU-11 USB Badge Reader ", "tavik slu-11 usb badge reader",
                               "Tavik SLU-11 USB Badge", "", "Keyboard"};
  std::uint32_t instance = 0x200;
  for (const auto& n : names) hid.AddDevice(ReaderInfo(++instance, n));
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Events{"timeout"})) << "none of them, though their ids match";
  EXPECT_EQ(reader->Protocol()->Device(), nullptr);
  auto good = hid.AddDevice(ReaderInfo(0x300, TProtoUSBBadge::kProductName), false);
  hid.Plug(good);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(reader->Protocol()->Device()->Instance(), 0x300u);
}

TEST_F(SLU20Test, TheClaimTableDecidesWhichReaderACopyMayTake) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool taken;
    int slot;  // where the claim lands; -1 for nowhere
  } cases[] = {
      {"an empty table", [] {}, true, 0},
      {"all 20 slots held by living copies: taken, not recorded",
       [&] {
         for (int i = 0; i < 20; ++i) claims.SetClaimedByOther(kTable, i, 0x500 + i);
       },
       true, -1},
      {"19 held, one abandoned",
       [&] {
         for (int i = 0; i < 20; ++i) claims.SetClaimedByOther(kTable, i, 0x500 + i);
         claims.SetAbandoned(kTable, 7, 0x999);
       },
       true, 7},
      {"the reader held by a living copy", [&] { claims.SetClaimedByOther(kTable, 3, 0x101); },
       false, -1},
      {"the reader held by a living copy that could not record it",
       [&] { claims.SetClaimedByOther(kTable, -1, 0x101); }, false, -1},
      {"the reader left by a dead copy: its slot is reused",
       [&] { claims.SetAbandoned(kTable, 3, 0x101); }, true, 3},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Closed(dev));
    claims.tables.clear();
    c.prepare();
    std::vector<std::uint32_t> expected = claims.Slots(kTable);
    if (expected.empty()) expected.assign(20, 0);
    reader->SetActive(true);
    loop.RunUntilIdle();
    EXPECT_EQ(reader->Protocol()->Device() != nullptr, c.taken) << c.name;
    EXPECT_EQ(dev->IsOpen(), c.taken) << c.name;
    EXPECT_EQ(Take(), c.taken ? (Events{"restore", "restore"}) : (Events{"timeout"})) << c.name;
    if (c.slot >= 0) expected.at(static_cast<size_t>(c.slot)) = 0x101;
    EXPECT_EQ(claims.Slots(kTable), expected) << c.name;
    // Fewer steps than a silent reader's timeout: a retry on every step
    // would show here.
    loop.Advance(200 * 5);
    EXPECT_EQ(Take(), Events{}) << c.name << ": nothing more is told";
    reader->SetActive(false);
    if (c.slot >= 0) expected.at(static_cast<size_t>(c.slot)) = 0;
    EXPECT_EQ(claims.Slots(kTable), expected) << c.name << ", released";
  }
  claims.tables.clear();
}

TEST_F(SLU20Test, WithoutAClaimTableNoReaderIsTaken) {
  claims.openFails = true;
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_FALSE(reader->Protocol()->HasClaimTable());
  EXPECT_EQ(Take(), (Events{"timeout"}));
  EXPECT_TRUE(Closed(dev));
  reader->SetActive(false);
  claims.openFails = false;
  claims.mapFails = true;
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Events{"timeout"}));
  EXPECT_EQ(reader->Protocol()->Device(), nullptr);
  reader->SetActive(false);
  claims.mapFails = false;
}

TEST_F(SLU20Test, AReaderThatCannotBeOpenedIsToldOnceAndTakenAsSoonAsItOpens) {
  const std::string why = "/dev/hidraw9: Permission denied\nhow to get the right";
  {
    std::lock_guard lock(hid.mutex);
    dev->openError = why;
    dev->readOnly = true;
  }
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Events{"error " + std::string(TProtoUSBBadge::kOpenFailedText) + "\n" + why}))
      << "the cause, in place of the timeout, and once";
  EXPECT_EQ(claims.Slots(kTable), std::vector<std::uint32_t>(20, 0)) << "no claim left behind";
  auto mouse = hid.AddDevice(ReaderInfo(0x400, "Mouse"), false);
  hid.Plug(mouse);
  loop.RunUntilIdle();
  loop.Advance(kRestingTimerMs * 5);
  EXPECT_EQ(Take(), Events{}) << "tried again quietly";

  {
    std::lock_guard lock(hid.mutex);
    dev->openError.clear();
  }
  loop.Advance(kRestingTimerMs);
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_TRUE(dev->IsOpen());
  EXPECT_EQ(claims.Slots(kTable)[0], 0x101u);
  Drained();
  dev->ClearWritten();
  loop.Advance(200);
  EXPECT_EQ(Requests(), 1u) << "and used";

  // Unplugged, it is shown missing; a new cause later is told again.
  hid.Unplug(dev);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  {
    std::lock_guard lock(hid.mutex);
    dev->openError = "/dev/hidraw9: Input/output error";
  }
  hid.Plug(dev);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Events{"error " + std::string(TProtoUSBBadge::kOpenFailedText) +
                            "\n/dev/hidraw9: Input/output error"}));
}

TEST_F(SLU20Test, CopiesSharingTheTableTakeDifferentReaders) {
  auto second = hid.AddDevice(ReaderInfo(0x102));
  Events eb, ec;
  others.push_back(NewReader(eb));
  others.push_back(NewReader(ec));
  Start();
  others[0]->SetActive(true);
  others[1]->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(others[0]->Protocol()->Device()->Instance(), 0x102u);
  EXPECT_EQ(others[1]->Protocol()->Device(), nullptr);
  EXPECT_EQ(eb, (Events{"restore"}));
  EXPECT_EQ(ec, (Events{"timeout"}));
  EXPECT_EQ(claims.Slots(kTable)[0], 0x101u);
  EXPECT_EQ(claims.Slots(kTable)[1], 0x102u);
  eb.clear();
  ec.clear();

  // Each report reaches all three; only the reader's owner acts on it.
  Deliver(kCard12, second);
  EXPECT_EQ(Take(), Events{});
  EXPECT_EQ(eb, (Events{"status 2", "read 12"}));
  EXPECT_EQ(ec, Events{});
  eb.clear();
  Drained();
  second->ClearWritten();
  dev->ClearWritten();
  loop.Advance(200 * 9);
  EXPECT_EQ(ec, Events{}) << "a copy without a reader asks nothing and never times out again";
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(eb, Events{"timeout"});
  Drained();
  EXPECT_FALSE(second->Written().empty());
  EXPECT_FALSE(dev->Written().empty());

  // The first copy ends: the one without a reader takes it at its next step.
  reader.reset();
  EXPECT_TRUE(Closed(dev));
  loop.Advance(kRestingTimerMs);
  EXPECT_EQ(ec, Events{"restore"});
  ASSERT_NE(others[1]->Protocol()->Device(), nullptr);
  EXPECT_EQ(others[1]->Protocol()->Device()->Instance(), 0x101u);
  EXPECT_EQ(claims.Slots(kTable)[0], 0x101u);
}

TEST_F(SLU20Test, AReaderLeftByACopyThatEndedOrDiedIsTakenAtTheNextStep) {
  const struct {
    const char* how;
    bool killed;
  } cases[] = {{"its copy ended", false}, {"its copy was killed", true}};
  for (const auto& c : cases) {
    claims.SetClaimedByOther(kTable, 3, 0x101);
    const int other = claims.nextCopy - 1;
    reader->SetActive(true);
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), (Events{"timeout"})) << c.how;
    loop.Advance(kRestingTimerMs * 3);
    EXPECT_EQ(Take(), Events{}) << "the reader of a live copy is left alone";
    EXPECT_TRUE(Closed(dev));

    if (c.killed) {
      claims.alive[other] = false;
    } else {
      claims.tables[kTable].slots[3] = 0;
      claims.tables[kTable].holders.erase(0x101);
    }
    loop.Advance(kRestingTimerMs);
    EXPECT_EQ(Take(), Events{"restore"}) << c.how;
    EXPECT_TRUE(dev->IsOpen()) << c.how;
    reader->SetActive(false);
    loop.RunUntilIdle();
    claims.tables[kTable].slots[3] = 0;
  }
}

TEST_F(SLU20Test, ADeviceChangeKeepsAReaderThatIsStillThere) {
  Start();
  Deliver(kCard12);
  EXPECT_EQ(Take(), (Events{"status 2", "read 12"}));
  auto mouse = hid.AddDevice(ReaderInfo(0x400, "Mouse"), false);
  const int listings = hid.EnumerateCount();
  hid.Plug(mouse);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(hid.EnumerateCount(), listings + 1)
      << "listed once, though the driver's window and the controller's both heard of it";
  EXPECT_EQ(dev->OpenCount(), 1) << "kept, not returned and taken again";
  EXPECT_EQ(claims.Slots(kTable)[0], 0x101u);
  Deliver(kCard12);
  EXPECT_EQ(Take(), Events{}) << "the card still in the slot is not typed again";
  EXPECT_EQ(reader->StatoTessera(), 2);

  // After a timeout a device change shows the reader working again.
  loop.Advance(200 * 9);
  EXPECT_EQ(Take(), Events{"timeout"});
  hid.Unplug(mouse);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(reader->Status(), sdAttivo);
}

TEST_F(SLU20Test, UnpluggingTheReaderShowsItAndPluggingItBackRestoresIt) {
  Start();
  Deliver(kCard12);
  Take();
  hid.Unplug(dev);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Protocol()->Device(), nullptr);
  EXPECT_EQ(claims.Slots(kTable)[0], 0u) << "the claim goes with the reader";
  EXPECT_TRUE(Closed(dev));
  EXPECT_EQ(TGlobalHidController::Existing()->Count(), 0) << "returned and freed";
  loop.Advance(200 * 20);
  EXPECT_EQ(Take(), Events{});
  hid.Plug(dev);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(claims.Slots(kTable)[0], 0x101u);
  Deliver(kCard12);
  EXPECT_EQ(Take(), (Events{"status 2", "read 12"})) << "a card read afresh";
}

TEST_F(SLU20Test, AReaderHeldWhenTheControllerIsFreedAtTheEndIsReleasedSafely) {
  Start();
  TGlobalHidController::FreeShared();
  EXPECT_TRUE(Closed(dev));
  reader->SetActive(false);
  EXPECT_EQ(claims.Slots(kTable)[0], 0u);
}

TEST_F(SLU20Test, TheTimerRestsOnlyWhileNoReaderIsHeld) {
  Start();
  loop.Advance(200 * 3);
  EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), 200u);
  hid.Unplug(dev);
  loop.Advance(200);
  EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), kRestingTimerMs);
  hid.Plug(dev);
  loop.RunUntilIdle();
  EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), 200u);
  Drained();
  dev->ClearWritten();
  loop.Advance(200);
  EXPECT_EQ(Requests(), 1u) << "asked at the step's own period";
}

TEST_F(SLU20Test, APassiveProtocolNeitherClaimsNorAsks) {
  const HWND owner = loop.CreateMessageWindow([](TMessage&) {});
  {
    Owned<TProtoUSBBadge> p(new TProtoUSBBadge(owner));
    p->SetIsMonitor(true);
    p->SetEnabled(true);
    ASSERT_NE(p->Device(), nullptr);
    EXPECT_EQ(claims.Slots(kTable), std::vector<std::uint32_t>(20, 0));
    for (int i = 0; i < 10; ++i) p->TimerProc();
    const std::uint8_t first[8] = {1, 2, 4, 0, 0, 0, 0, 0};
    p->ProcessReport(first, 8);
    EXPECT_TRUE(dev->Written().empty());
  }
  loop.DestroyMessageWindow(owner);
}

TEST_F(SLU20Test, TheDriverContract) {
  for (std::int32_t bad : {1, 3, 7}) {
    EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(bad); }),
              "Invalid track value: only track 2 is enabled");
    EXPECT_EQ(reader->Track(), 2);
  }
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(2); }), "<no error>");
  struct Case {
    const char* what;
    std::function<bool()> holds;
  } cases[] = {
      {"track 2 only", [] { return TUSBBadgeReader::TrackSupported(2); }},
      {"no track 1, 3 or combination",
       [] {
         for (std::int32_t t : {0, 1, 3, 4, 5, 6, 7})
           if (TUSBBadgeReader::TrackSupported(t)) return false;
         return true;
       }},
      {"low coercivity only",
       [] {
         return TUSBBadgeReader::CoercitivitySupported(loco) &&
                !TUSBBadgeReader::CoercitivitySupported(hico);
       }},
      {"no card without a protocol", [&] { return reader->StatoTessera() == csNoBadge; }},
      {"timed out without a protocol", [&] { return reader->Status() == sdTimeout; }},
      {"no data without a protocol", [&] { return reader->GetReadData().empty(); }},
      {"inactive without a protocol", [&] { return !reader->Active(); }},
      {"polled every 200 ms", [&] { return reader->TimerInterval() == 200; }},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.holds()) << c.what;

  Start();
  Deliver(kCard12);
  EXPECT_EQ(reader->StatoTessera(), csInserted);
  EXPECT_EQ(reader->Status(), sdAttivo);
  EXPECT_EQ(reader->GetReadData(), "12");
  EXPECT_TRUE(reader->Active());
  reader->SetCOM("/dev/ttyUSB0");
  EXPECT_EQ(reader->Protocol()->Device()->Instance(), 0x101u) << "the port setting is ignored";

  RegisterReaderModels();
  const TBadgeReaderClass* cls = FindBadgeReader("slu-20");
  ASSERT_NE(cls, nullptr);
  EXPECT_FALSE(cls->IsWriter());
  EXPECT_TRUE(cls->TrackSupported(2));
  EXPECT_FALSE(cls->TrackSupported(1));
  UnregisterReaderModels();
  EXPECT_EQ(FindBadgeReader("SLU-20"), nullptr);
}

}  // namespace
}  // namespace lumbra

namespace lumbra {
namespace {

// Every copy of the program gets each HID arrival and removal as a device
// change; the serial models must take no notice of it.
TEST(HidDeviceChangeTest, TheSerialModelsIgnoreIt) {
  FakeMessageLoop loop;
  loop.Install();
  platform::FakeSerialBackend serial;
  serial.Install();
  platform::FakeSerialDeviceTable table;
  table.Install();
  auto port = serial.AddPort("/dev/ttyUSB3");
  RegisterReaderModels();
  std::vector<std::string> models;
  GetBadgeReaderModels(models);
  for (const auto& model : models) {
    if (model == "SLU-20") continue;
    Events events;
    {
      Owned<TCustomBadgeReader> r(FindBadgeReader(model)->Create(nullptr));
      test::RecordReaderEvents(*r, events);
      r->SetCOM("/dev/ttyUSB3");
      r->SetActive(true);
      loop.Advance(2000);
      ASSERT_TRUE(port->IsOpen()) << model;
      const int opens = port->OpenCount();
      events.clear();
      loop.BroadcastDeviceChange(platform::DBT_DEVNODES_CHANGED, 0);
      loop.RunUntilIdle();
      EXPECT_EQ(events, Events{}) << model;
      EXPECT_TRUE(r->Active()) << model;
      EXPECT_TRUE(port->IsOpen()) << model;
      EXPECT_EQ(port->OpenCount(), opens) << model;
    }
    loop.RunUntilIdle();
  }
  FreeSharedPortHolders();
  UnregisterReaderModels();
}

}  // namespace
}  // namespace lumbra
