#include "drivers/smw46/SMW46.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using Events = std::vector<std::string>;

constexpr char kPort[] = "/dev/ttyUSB5";
constexpr char kOtherPort[] = "/dev/ttyUSB6";
const std::string ESC = "\x1b";
const std::string FS = "\x1c";

// A command as the host sends it.
std::string Cmd(const std::string& letters) {
  return "\x02" + letters;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\r' ? std::string("<CR>") : std::string(1, c);
  return out;
}

// The read reply of the device for three tracks as they lie on the card,
// sentinels included.
std::string ReadReply(const std::string& t1, const std::string& t2, const std::string& t3,
                      char status = '0') {
  return ESC + "s" + ESC + "\x01" + t1 + ESC + "\x02" + t2 + ESC + "\x03" + t3 + FS + ESC +
         std::string(1, status);
}

// The fake loop's clock, with a look into the waits of the protocol.
class WatchedClock final : public platform::IClock {
 public:
  explicit WatchedClock(FakeMessageLoop& loop) : fLoop(loop) {}
  std::uint32_t GetTickCount() override { return fLoop.GetTickCount(); }
  std::uint64_t GetTickCount64() override { return fLoop.GetTickCount64(); }
  void Sleep(std::uint32_t ms) override {
    sleeps.push_back(ms);
    if (during) during();
    fLoop.Sleep(ms);
  }
  std::vector<std::uint32_t> sleeps;
  std::function<void()> during;

 private:
  FakeMessageLoop& fLoop;
};

class SMW46Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    platform::SetClock(&clock);
    serial.Install();
    table.Install();
    port = serial.AddPort(kPort);
    reader.reset(new TSMW46BadgeWriter(nullptr));
    test::RecordReaderEvents(*reader, events, Printable);
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
  }
  void TearDown() override {
    reader.reset();
    Tdmsmw46::FreeShared();
    platform::SetClock(&loop);
  }

  void Start(std::int32_t track = 2, TCoercitivity coer = loco) {
    reader->SetCOM(kPort);
    reader->SetTrack(track);
    reader->SetCoercitivity(coer);
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
  }
  void Steps(int n) { loop.Advance(200u * static_cast<std::uint64_t>(n)); }
  // One block as the port's receive notification hands it over.
  void Reply(const std::string& b) {
    reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  // What the host wrote since the last look.
  std::string Sent() {
    const std::string all = port->Written();
    std::string fresh = all.substr(std::min(fSeen, all.size()));
    fSeen = all.size();
    return fresh;
  }
  // Timer steps until the host sends something (the idle rule sends the next
  // command 300 ms after the previous one); what it sent.
  std::string Next() {
    for (int i = 0; i < 5; ++i) {
      Steps(1);
      std::string s = Sent();
      if (!s.empty()) return s;
    }
    return {};
  }
  // The reset, then, a timer step after its gap, "e".
  void ExpectReset() {
    ASSERT_EQ(Sent(), Cmd("a"));
    ASSERT_EQ(Next(), Cmd("e"));
  }
  // Up to the read outstanding, the device answering each command.
  void StartReading(std::int32_t track = 2, TCoercitivity coer = loco) {
    Start(track, coer);
    Steps(1);
    ExpectReset();
    Reply(ESC + "0");
    ASSERT_EQ(Next(), coer == loco ? Cmd("y") : Cmd("x"));
    Reply(ESC + "y");
    ASSERT_EQ(Next(), Cmd("r"));
    ASSERT_EQ(reader->CurrentOperation(), opRead);
    ASSERT_EQ(Take(), Events{"restore"});
  }
  // Timer steps, for up to a minute, until the host sends something.
  std::string UntilSent() {
    std::string s;
    for (int i = 0; i < 300 && (s = Sent()).empty(); ++i) Steps(1);
    return s;
  }
  Events Take() { return std::exchange(events, {}); }
  // The device answers the next initialisation: restored, and reading again.
  void ComesBack() {
    for (int i = 0; i < 10 && Sent().find(Cmd("e")) == std::string::npos; ++i) Steps(1);
    Reply(ESC + "0");
    EXPECT_EQ(Take(), Events{"restore"});
    EXPECT_EQ(Next(), Cmd("y"));
    Reply(ESC + "y");
    EXPECT_EQ(Next(), Cmd("r"));
  }
  size_t TimeoutPosts() const {
    size_t n = 0;
    for (const auto& p : loop.Posts()) n += p.msg == WM_DISP_TIMEOUT;
    return n;
  }

  FakeMessageLoop loop;
  WatchedClock clock{loop};
  FakeSerialBackend serial;
  platform::FakeSerialDeviceTable table;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSMW46BadgeWriter> reader;
  Events events;
  size_t fSeen = 0;
};

TEST_F(SMW46Test, InitialisesWithAGapAfterTheResetThenKeepsAReadOutstanding) {
  for (TCoercitivity coer : {loco, hico}) {
    SCOPED_TRACE(coer == loco ? "loco" : "hico");
    reader->SetActive(false);
    fSeen = port->Written().size();
    StartReading(2, coer);
    // A read reply ends the read; the next one follows.
    Reply(ReadReply(";", ";4711?", ""));
    EXPECT_EQ(Take(), Events{"read 4711"});
    EXPECT_EQ(Next(), Cmd("r"));
  }
  EXPECT_TRUE(clock.sleeps.empty()) << "the program must not freeze for the gap";
}

TEST_F(SMW46Test, TheResetsGapIsKeptByTheTimerWhileTheProgramGoesOn) {
  StartReading(2);
  loop.Advance(350);  // between two steps
  // A new coercivity initialises again: the reset goes out at once, and "e"
  // at the first step once the gap is over.
  reader->SetCoercitivity(hico);
  EXPECT_EQ(Sent(), Cmd("a"));
  // Bytes arriving in the gap are handled at once, not after it.
  port->Receive(ReadReply("", ";777?", ""));
  ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(Take(), Events{"read 777"});
  loop.Advance(TProtSMW460::kImmediatePauseMs - 1);
  EXPECT_EQ(Sent(), "") << "within the gap";
  loop.Advance(1);
  EXPECT_EQ(Sent(), Cmd("e"));
  Reply(ESC + "0");
  EXPECT_EQ(Next(), Cmd("x"));
  Reply(ESC + "y");
  EXPECT_EQ(Next(), Cmd("r"));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(SMW46Test, ReadReplies) {
  const std::string big(600, 'A');
  struct Case {
    const char* name;
    std::int32_t track;
    std::string reply;
    Events events;
    bool nextRead;  // the read is over and a new one goes out
  } cases[] = {
      {"tracks 1 and 2", 4, ReadReply("%ABC?", ";123?", "?"), {"read ABC<CR>123"}, true},
      {"status other than 0: a failed read, nothing typed",
       4,
       ReadReply("%ABC?", ";123?", "?", '1'),
       {"fail"},
       true},
      {"a reply that lost its FS, then the next card's reply",
       4,
       ESC + "s" + ESC + "\x01%OLD?" + ESC + "\x02;1?" + ESC + "\x03?" + ESC + "0" +
           ReadReply("%ABC?", ";123?", "?"),
       {"fail", "read ABC<CR>123"},
       true},
      {"a reply that lost its status, then the next card's reply",
       2,
       ESC + "s" + ESC + "\x02;1?" + FS + ESC + ReadReply("", ";2?", ""),
       {"fail", "read 2"},
       true},
      {"a control byte inside a track",
       2,
       ReadReply("",
                 ";12\x07"
                 "34?",
                 ""),
       {"fail"},
       true},
      {"a track marker out of place",
       4,
       ReadReply("%A\x02"
                 "B?",
                 ";1?", ""),
       {"fail"},
       true},
      {"a lone ESC before the reply", 2, ESC + ReadReply("", ";6?", ""), {"read 6"}, true},
      {"all three, track 3 up to its end sentinel",
       7,
       ReadReply("%ROSSI?", ";42?", ";0077?xx"),
       {"read ROSSI<CR>42<CR>0077"},
       true},
      {"track 3 without an end sentinel loses its last byte",
       3,
       ReadReply("", "", ";00771"),
       {"read 0077"},
       true},
      {"empty tracks", 6, ReadReply("", ";1?", ""), {"read <CR>"}, true},
      {"ESC 0 while reading: the read stays", 2, ESC + "0", {}, false},
      {"ESC 9 while reading", 2, ESC + "9", {"fail"}, true},
      {"unexpected second byte while reading", 2, ESC + "Q", {"fail"}, true},
      {"a reply without its track area carries no badge",
       2,
       ESC + "s" + ESC + "\x02;1?" + FS + "0",
       {"fail"},
       true},
      {"version reply", 2, ESC + "R1234567", {}, false},
      {"over-long reply dropped, the next one read",
       2,
       ESC + "s" + big + ";x?" + ReadReply("", ";9?", ""),
       {"read 9"},
       true},
      {"noise before the reply", 2, "\x00\xff" + ReadReply("", ";5?", ""), {"read 5"}, true},
      {"two read replies in one block, each read once in order",
       2,
       ReadReply("", ";1111?", "") + ReadReply("", ";2222?", ""),
       {"read 1111", "read 2222"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reader->SetActive(false);
    fSeen = port->Written().size();
    StartReading(c.track);
    loop.ClearPosts();
    Reply(c.reply);
    EXPECT_EQ(Take(), c.events);
    if (c.events == Events{"read ABC<CR>123"}) {
      // Nothing but the read message.
      ASSERT_EQ(loop.Posts().size(), 1u);
      EXPECT_EQ(loop.Posts()[0].msg, WM_TESSERA_READ);
    }
    EXPECT_EQ(Next(), c.nextRead ? Cmd("r") : "");
    EXPECT_EQ(reader->CurrentOperation(), opRead);
  }
}

TEST_F(SMW46Test, ASilentDeviceIsReportedOnceUntilItAnswersOrThePortChanges) {
  Start();
  // Each round: "e" unanswered for 800 ms, the port reopened, initialised again.
  for (int i = 0; i < 40 && TimeoutPosts() < 3; ++i) Steps(1);
  ASSERT_EQ(TimeoutPosts(), 3u);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Status(), sdTimeout);
  // The device answers again: restored, and the report re-armed.
  for (int i = 0; i < 10 && reader->Protocol()->Exchange() != scAttesa; ++i) Steps(1);
  Reply(ESC + "0");
  EXPECT_EQ(Take(), Events{"restore"});
  loop.ClearPosts();
  for (int i = 0; i < 40 && TimeoutPosts() < 1; ++i) Steps(1);
  EXPECT_EQ(Take(), Events{"timeout"});
  // Another port re-arms it too.
  serial.AddPort(kOtherPort);
  reader->SetCOM(kOtherPort);
  loop.ClearPosts();
  for (int i = 0; i < 40 && TimeoutPosts() < 2; ++i) Steps(1);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_NE(serial.Port(kOtherPort)->Written().find(Cmd("e")), std::string::npos)
      << "the device on the new port is initialised";
}

TEST_F(SMW46Test, ElapsedTimeIsMeasuredAcrossTheWrapOfTheTickCount) {
  // "e" goes out 300 ms before the 32-bit tick count wraps.
  loop.SetTime((std::uint64_t{1} << 32) - 700);
  Start();
  Steps(1);
  ExpectReset();
  Steps(4);  // 800 ms after "e", on the far side of the wrap
  EXPECT_EQ(TimeoutPosts(), 0u) << "timed out early";
  Steps(1);
  EXPECT_EQ(TimeoutPosts(), 1u) << "the wrap hid the time-out";
  EXPECT_EQ(Take(), Events{"timeout"});
}

TEST_F(SMW46Test, AReplyWhoseBytesStopIsAFailedReadAndTheReadIsAskedAgain) {
  StartReading(4);
  // The reply lost its FS; the rest of it never comes.
  const std::string cut =
      ESC + "s" + ESC + "\x01%OLD?" + ESC + "\x02;1?" + ESC + "\x03?" + ESC + "0";
  ASSERT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), kRestingTimerMs);
  port->Receive(cut);
  // A reply under way is watched at the step's own period.
  ASSERT_TRUE(
      loop.PumpUntil([&] { return loop.TimerPeriod(reader->Handle(), kPollTimerId) == 200u; }));
  Steps(1);
  EXPECT_TRUE(Take().empty()) << "200 ms of quiet may still be inside a reply";
  Steps(1);
  EXPECT_EQ(Take(), Events{"fail"});
  EXPECT_EQ(Next(), Cmd("r"));
  // The next card is typed, and only it.
  Reply(ReadReply("%ABC?", ";123?", "?"));
  EXPECT_EQ(Take(), Events{"read ABC<CR>123"});
}

TEST_F(SMW46Test, ADeviceThatStopsAnsweringDuringAReadIsNoticedAndComesBack) {
  StartReading(2);
  // A status and a version while the read waits: the read stays.
  Reply(ESC + "0");
  Reply(ESC + "R1234567");
  loop.ClearPosts();
  // Switched off, its adapter staying: nothing comes any more.
  EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), kRestingTimerMs);
  const std::uint64_t quietSince = loop.GetTickCount64();
  // The read is given up: the device is initialised anew, and "e" goes unanswered.
  EXPECT_EQ(UntilSent(), Cmd("a"));
  const std::uint64_t waited = loop.GetTickCount64() - quietSince;
  EXPECT_GE(waited, TProtSMW460::kReadLivenessMs);
  EXPECT_LE(waited, TProtSMW460::kReadLivenessMs + kRestingTimerMs + 200);
  for (int i = 0; i < 10 && TimeoutPosts() == 0; ++i) Steps(1);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Status(), sdTimeout);
  // It stays off for several cycles: shown once.
  for (int i = 0; i < 40; ++i) Steps(1);
  EXPECT_GE(TimeoutPosts(), 3u);
  EXPECT_TRUE(Take().empty());
  // Switched on again: it answers the next initialisation, and reads.
  Sent();
  ComesBack();
  Reply(ReadReply("", ";4711?", ""));
  EXPECT_EQ(Take(), Events{"read 4711"});
}

TEST_F(SMW46Test, ADeviceOffAndOnBetweenTwoLooksGetsItsReadBack) {
  StartReading(2);
  // It lost the read outstanding; it answers the initialisation.
  EXPECT_EQ(UntilSent(), Cmd("a"));
  EXPECT_EQ(Next(), Cmd("e"));
  Reply(ESC + "0");
  EXPECT_EQ(Next(), Cmd("y"));
  Reply(ESC + "y");
  EXPECT_EQ(Next(), Cmd("r"));
  EXPECT_TRUE(Take().empty()) << "nothing to report";
}

TEST_F(SMW46Test, SwitchingOffSendsTheResetAndEAtOnce) {
  StartReading(2);
  reader->SetActive(false);
  EXPECT_EQ(Sent(), Cmd("a") + Cmd("e"));
  EXPECT_FALSE(port->IsOpen());
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(SMW46Test, ALostPortIsATimeoutOnceAndTheReaderComesBack) {
  struct Case {
    const char* name;
    bool readOutstanding;
  } cases[] = {{"unplugged while a read is outstanding", true},
               {"unplugged while initialising", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reader->SetActive(false);
    port = serial.AddPort(kPort);
    fSeen = 0;
    if (c.readOutstanding) {
      StartReading();
      Steps(1);
      EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), kRestingTimerMs)
          << "a read outstanding on a healthy port lets the timer rest";
    } else {
      Start();
      Steps(1);
      Reply(ESC + "0");
      ASSERT_EQ(Take(), Events{"restore"});
    }
    port->HangUp();
    port->openError = "No such file or directory";
    // Seen by the port's notice, or by the next step of a timer that was not resting.
    ASSERT_TRUE(loop.PumpUntil(
        [&] { return reader->Protocol()->Holder().PortLost() || reader->Status() == sdTimeout; }));
    Steps(10);
    EXPECT_EQ(Take(), Events{"timeout"}) << "one reader problem, no line error";
    port = serial.AddPort(kPort);
    fSeen = 0;
    ComesBack();
  }
}

TEST_F(SMW46Test, APortMissingAtActivationIsRetriedByTheTimer) {
  reader->SetCOM(kOtherPort);  // not there yet
  EXPECT_ANY_THROW(reader->SetActive(true));
  EXPECT_TRUE(reader->Active());
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  auto late = serial.AddPort(kOtherPort);
  for (int i = 0; i < 10 && late->Written().size() < 4; ++i) Steps(1);
  EXPECT_EQ(late->Written(), Cmd("a") + Cmd("e"));
  Reply(ESC + "0");
  EXPECT_EQ(Take(), Events{"restore"});
}

TEST_F(SMW46Test, WritesByTrackCode) {
  struct Case {
    std::uint8_t track;
    std::string data;
    std::string block;
  } cases[] = {
      {1, "A", ESC + "\x01" + "A"},
      {2, "12", ESC + "\x02" + "12"},
      {3, "3", ESC + "\x03" + "3"},
      {4, "A\r1", ESC + "\x01" + "A" + ESC + "\x02" + "1"},
      {5, "1\r3", ESC + "\x02" + "1" + ESC + "\x03" + "3"},
      {6, "A\r3", ESC + "\x01" + "A" + ESC + "\x03" + "3"},
      {7, "A\r1\r3", ESC + "\x01" + "A" + ESC + "\x02" + "1" + ESC + "\x03" + "3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("track code " + std::to_string(c.track));
    reader->SetActive(false);
    fSeen = port->Written().size();
    StartReading();
    // The read outstanding gives way: the device is initialised again first.
    reader->WriteTessera(c.data, c.track);
    ExpectReset();
    Reply(ESC + "0");
    EXPECT_EQ(Next(), Cmd("y"));
    Reply(ESC + "y");
    EXPECT_EQ(Next(), Cmd("w") + ESC + "s" + c.block + "?" + FS);
    EXPECT_EQ(reader->CurrentOperation(), opWrite);
    Reply(ESC + "0");
    EXPECT_EQ(Take(), Events{"written"});
  }
}

TEST_F(SMW46Test, RefusedWritesAndFailedCommands) {
  StartReading();
  for (const std::string data : {"A\r1", "A\r1\r3\r4"}) {
    EXPECT_EQ(test::BadgeErrorOf([&] { reader->WriteTessera(data, 7); }), "Invalid tracks count");
  }
  EXPECT_EQ(Sent(), "") << "a refused write leaves the read outstanding";
  EXPECT_EQ(reader->CurrentOperation(), opRead);
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(8); }), "Tack value invalid: use 1 to 7");

  struct Case {
    const char* name;
    std::string reply;
    Events events;
  } cases[] = {
      {"ESC 9 during a write", ESC + "9", {"error Card Moved"}},
      {"unexpected reply during a write", ESC + "Q", {"error Card Error"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reader->WriteTessera("9", 2);
    ExpectReset();
    Reply(ESC + "0");
    ASSERT_EQ(Next(), Cmd("y"));
    Reply(ESC + "y");
    ASSERT_EQ(Next(), Cmd("w") + ESC + "s" + ESC + "\x02" + "9?" + FS);
    ASSERT_EQ(reader->CurrentOperation(), opWrite);
    Take();
    Reply(c.reply);
    EXPECT_EQ(Take(), c.events);
    ASSERT_EQ(reader->CurrentOperation(), 0);
    Reply(ESC + "Q");
    EXPECT_EQ(Take(), Events{"error Communication error"}) << "a reply with nothing pending";
    EXPECT_EQ(Next(), Cmd("r")) << "reading again";
  }
  // A line error of the port is a communication error.
  reader->Protocol()->Holder().ApdComPort1TriggerLineError(nullptr, platform::kCeFrame, false);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"error Communication error"});
}

TEST_F(SMW46Test, ThePortHolderIsSharedAndOutlivesTheProtocol) {
  Tdmsmw46& made = Tdmsmw46::Shared();
  Start();
  EXPECT_EQ(&reader->Protocol()->Holder(), &made) << "the protocol takes the holder there is";
  EXPECT_EQ(made.fProto, reader->Protocol());
  reader->SetActive(false);
  EXPECT_TRUE(Tdmsmw46::SharedExists());
  EXPECT_EQ(made.fProto, nullptr);
  EXPECT_FALSE(made.ApdComPort1->Open());
  reader->SetActive(true);
  EXPECT_EQ(&reader->Protocol()->Holder(), &made);
}

}  // namespace
}  // namespace lumbra
