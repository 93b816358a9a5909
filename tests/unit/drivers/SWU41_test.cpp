#include "drivers/swu41/SWU41.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using Events = std::vector<std::string>;
namespace epx = epx3000;

constexpr char kPort[] = "/dev/ttyUSB4";
const std::string kEsc = "\x1b";
// The settings of a fresh driver: low density, 16 mm, low coercivity.
const std::string kSettings = kEsc + "L" + kEsc + "6" + kEsc + std::string("y\0", 2);
const std::string kReset = kEsc + "0";
const std::string kInitFrame = "\x02i0\x03\x5a";
// Steps of quiet line after a garbled reply before the read is asked anew.
constexpr int kQuietAfterGarble = epx3000::kQuietSteps;

std::string Hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\r' ? std::string("<CR>") : std::string(1, c);
  return out;
}

class SWU41Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    serial.Install();
    table.Install();
    port = serial.AddPort(kPort);
    reader.reset(new TSWU41BadgeWriter(nullptr));
    test::RecordReaderEvents(*reader, events, Printable);
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(kPort);
  }
  void TearDown() override { reader.reset(); }

  TProtEPX3000& P() { return *reader->Protocol(); }
  void Steps(int n) { loop.Advance(55u * static_cast<unsigned>(n)); }
  // Bytes written to the port since the last call.
  std::string Sent() {
    const std::string all = port->Written();
    std::string fresh = all.substr(std::min(fSeen, all.size()));
    fSeen = all.size();
    return fresh;
  }
  // Bytes as the port hands a block over.
  void Block(const std::string& b) {
    P().ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  void Reply(const std::string& payload) { Block(epx::Frame(payload)); }
  Events Take() { return std::exchange(events, {}); }
  // Timer steps, for up to a minute, until the host sends something.
  std::string UntilSent() {
    std::string s;
    for (int i = 0; i < 1000 && (s = Sent()).empty(); ++i) Steps(1);
    return s;
  }

  // Active, initialised, and a read of the track code outstanding.
  void Start(std::int32_t track = 2) {
    reader->SetActive(false);
    Sent();
    reader->SetTrack(track);
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
    Steps(4);  // about 220 ms of quiet line first
    ASSERT_EQ(Hex(Sent()), Hex(kSettings + kInitFrame));
    Reply("\x10");
    ASSERT_EQ(Take(), Events{"restore"});
    ASSERT_EQ(Hex(Sent()), Hex(kReset + epx::Frame("r" + std::to_string(track))));
    ASSERT_EQ(P().PendingOperation(), epx::kOpRead);
  }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  platform::FakeSerialDeviceTable table;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSWU41BadgeWriter> reader;
  Events events;
  size_t fSeen = 0;
};

TEST(EPX3000Framing, CommandsAndChecks) {
  EXPECT_EQ(Hex(epx::Frame("r2")), "02 72 32 03 43 ");
  EXPECT_EQ(Hex(epx::Frame("i0")), "02 69 30 03 5A ");
  EXPECT_EQ(epx::CalcLrc(""), 0);
  EXPECT_EQ(epx::CalcLrc("\x10\x03"), 0x13);
}

TEST(EPX3000Framing, StartOffsetRoundsHalvesToEven) {
  const struct {
    long double mm;
    char digit;
  } cases[] = {{17.5L, '7'}, {16.5L, '6'}, {23.5L, '9'}, {16.0L, '6'}, {0.0L, '6'},  {17.49L, '6'},
               {20.5L, '7'}, {21.5L, '8'}, {18.5L, '7'}, {-0.5L, '6'}, {-1.0L, '9'}, {1e30L, '9'}};
  for (const auto& c : cases)
    EXPECT_EQ(epx::StartOffsetDigit(c.mm), c.digit) << static_cast<double>(c.mm);
}

TEST(EPX3000Framing, TracksOfAReply) {
  const struct {
    const char* reply;
    const char* tracks;
  } cases[] = {
      {";1234?", "1234"}, {"%A?;12?+C?", "A\r12\rC"}, {"+C?%A?", "A\rC"},  // always in track order
      {"%?;5?", "\r5"},  // an empty track is still a track
      {"xx;9?yy", "9"},  // bytes outside blocks are no data
      {";12", "12"},     // a block left open ends with the reply
  };
  for (const auto& c : cases) EXPECT_EQ(epx::ParseTracks(c.reply), c.tracks) << c.reply;
}

TEST_F(SWU41Test, SettingsGoOutBeforeTheInitialiseCommand) {
  const struct {
    long double startmm;
    std::int32_t bpi;
    TCoercitivity coer;
    std::string settings;
  } cases[] = {
      {17.5L, 0, loco, kEsc + "L" + kEsc + "7" + kEsc + std::string("y\0", 2)},
      {16.5L, 0, loco, kEsc + "L" + kEsc + "6" + kEsc + std::string("y\0", 2)},
      {23.5L, 1, loco, kEsc + "H" + kEsc + "9" + kEsc + std::string("y\0", 2)},
      {16.0L, 0, hico, kEsc + "L" + kEsc + "6" + kEsc + std::string("x\0", 2)},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    reader->SetStartmm(c.startmm);
    reader->SetBpi(c.bpi);
    reader->SetCoercitivity(c.coer);
    reader->SetActive(true);
    Sent();  // what deactivation sent
    Steps(3);
    EXPECT_EQ(Sent(), "") << "nothing before about 220 ms of quiet";
    Steps(1);
    EXPECT_EQ(Hex(Sent()), Hex(c.settings + kInitFrame)) << static_cast<double>(c.startmm);
    EXPECT_EQ(reader->Startmm(), c.startmm);
  }
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetBpi(2); }), "Bpi value invalid: use 0 or 1");
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(0); }), "Tack value invalid: use 1 to 7");
}

TEST_F(SWU41Test, AReadIsAlwaysOutstanding) {
  Start(5);
  Steps(100);
  EXPECT_EQ(Sent(), "") << "the read waits for a swipe";
  Reply(";4711?+0077?");
  EXPECT_EQ(Take(), Events{"read 4711<CR>0077"});
  EXPECT_EQ(P().PendingOperation(), epx::kOpNone);
  Steps(1);
  EXPECT_EQ(Hex(Sent()), Hex(epx::Frame("r5"))) << "the next read is asked for by itself";
  Reply(";1?+2?");
  EXPECT_EQ(Take(), Events{"read 1<CR>2"});
  Steps(3);
  EXPECT_EQ(Sent(), "") << "a fresh read waits for a quiet line";
  Steps(1);
  EXPECT_EQ(Hex(Sent()), Hex(epx::Frame("r5")));

  // A new track code cancels the read in flight and the next one asks for it.
  reader->SetTrack(7);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset));
  Steps(4);
  EXPECT_EQ(Hex(Sent()), Hex(epx::Frame("r7")));
}

TEST_F(SWU41Test, RepliesAndLineFaults) {
  const std::string big(510, 'A');
  struct Case {
    const char* name;
    std::string bytes;
    Events events;
    bool readStillPending;
  } cases[] = {
      {"wrong check byte: a failed read", "\x02;12?\x03\x01", {"fail"}, true},
      {"a stray STX just before the reply", "\x02" + epx::Frame(";5555?"), {"read 5555"}, false},
      {"a reply cut short by the next frame",
       "\x02;55" + epx::Frame(";5555?"),
       {"fail", "read 5555"},
       false},
      {"a check byte that is an STX", epx::Frame(";05?"), {"read 05"}, false},
      {"a reply that lost its STX", epx::Frame(";5555?").substr(1), {"fail"}, true},
      {"noise with sentinels, outside a frame", "%;+x\x03?\x15\x03", {}, true},
      {"DEL outside a frame", "\x7f", {}, true},
      {"DEL inside a frame", "\x02;12\x7f", {"fail"}, false},
      {"refused read", epx::Frame("\x15"), {"fail"}, false},
      {"a reply of no known kind", epx::Frame("Z"), {}, false},
      {"noise, then a frame", "ab\x03\x7f" + epx::Frame(";9?"), {"read 9"}, false},
      {"frame of 512 bytes",
       epx::Frame(";" + big.substr(2) + "?"),
       {"read " + big.substr(2)},
       false},
      {"frame of 513 bytes dropped whole", epx::Frame(";" + big.substr(1) + "?"), {}, true},
      {"frame of 600 bytes dropped whole", epx::Frame(";" + big + big + "?"), {}, true},
  };
  for (const auto& c : cases) {
    Start(2);
    Block(c.bytes);
    EXPECT_EQ(Take(), c.events) << c.name;
    EXPECT_EQ(P().PendingOperation(), c.readStillPending ? epx::kOpRead : epx::kOpNone) << c.name;
    // Whatever came before, the parser is back at the start of a frame.
    Reply(";42?");
    EXPECT_EQ(Take(), Events{"read 42"}) << c.name;
  }
}

TEST_F(SWU41Test, AReadWhoseReplyFailedItsCheckIsAFailedReadAskedForAgain) {
  Start(2);
  Steps(50);
  Block("\x02;12?\x03\x01");
  EXPECT_EQ(Take(), Events{"fail"}) << "the user swipes again";
  // Whatever else the damaged reply brought is no second failure.
  Block("\x02;3?\x03\x01");
  EXPECT_TRUE(Take().empty());
  Steps(kQuietAfterGarble);
  EXPECT_EQ(Sent(), "");
  Steps(1);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset + epx::Frame("r2")));
  Reply(";12?");
  EXPECT_EQ(Take(), Events{"read 12"});
}

TEST_F(SWU41Test, AFrameSplitAcrossBlocks) {
  Start(4);
  const std::string f = epx::Frame("%ROSSI?;123?");
  for (size_t cut = 1; cut < f.size(); ++cut) {
    Block(f.substr(0, cut));
    Block(f.substr(cut));
    EXPECT_EQ(Take(), Events{"read ROSSI<CR>123"}) << "cut after " << cut;
  }
}

TEST_F(SWU41Test, AFrameLeftOpenByLineNoiseIsDroppedOnAQuietLine) {
  const struct {
    const char* noise;
    int quietSteps;
    Events events;
  } cases[] = {
      {"\x02", 3, {"read 9"}},
      {"\x02xy", 3, {"read 9"}},  // noise, not a reply: no sound
      // A reply with tracks that stopped: the card's read is lost.
      {"\x02;12", 3, {"fail", "read 9"}},
      {"\x02;12\x03", 3, {"fail", "read 9"}},  // waiting for its check byte
      // A pause of two steps may still be inside one reply: the frame goes on.
      {"\x02", 2, {"read 9"}},
  };
  for (const auto& c : cases) {
    Start(2);
    Block(c.noise);
    Steps(c.quietSteps);
    EXPECT_EQ(P().InFrame(), c.quietSteps <= epx::kFrameQuietSteps) << c.noise;
    Reply(";9?");
    EXPECT_EQ(Take(), c.events) << Hex(c.noise) << ", quiet " << c.quietSteps << " steps";
  }
}

TEST_F(SWU41Test, TheTimerRestsWhileAReadWaitsForACard) {
  Start(2);
  const auto period = [&] { return loop.TimerPeriod(reader->Handle(), kPollTimerId); };
  Steps(1);
  ASSERT_EQ(period(), kRestingTimerMs) << "an idle reader must not wake the program every 55 ms";

  // A frame under way needs the step's own period to be dropped on a quiet line.
  Block("\x02;12");
  EXPECT_EQ(period(), 55u);
  Steps(epx::kFrameQuietSteps + 1);
  EXPECT_FALSE(P().InFrame());
  EXPECT_EQ(Take(), Events{"fail"});
  Steps(4);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset + epx::Frame("r2")));
  Reply(";9?");
  EXPECT_EQ(Take(), Events{"read 9"});
  Steps(4);
  EXPECT_EQ(Hex(Sent()), Hex(epx::Frame("r2")));
  Steps(1);
  EXPECT_EQ(period(), kRestingTimerMs);

  // The wait for a card is counted in time, not in the steps that ran.
  const std::uint64_t waitMs = static_cast<std::uint64_t>(epx::kReadLivenessSteps) * epx::kStepMs;
  const std::uint64_t since = loop.GetTickCount64();
  loop.Advance(waitMs - 3'000);
  EXPECT_EQ(Sent(), "");
  EXPECT_EQ(Hex(UntilSent()), Hex(kSettings + kReset + kInitFrame))
      << "once the wait ends the device is asked whether it is there";
  EXPECT_LE(loop.GetTickCount64() - since, waitMs + 2 * kRestingTimerMs);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SWU41Test, ADeviceSwitchedOffDuringAReadIsNoticedAndComesBack) {
  Start(2);
  // Switched off with its adapter staying: nothing answers any more.
  const std::uint64_t quietSince = loop.GetTickCount64();
  EXPECT_EQ(Hex(UntilSent()), Hex(kSettings + kReset + kInitFrame));
  for (int i = 0; i < 100 && events.empty(); ++i) Steps(1);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_LE(loop.GetTickCount64() - quietSince, 25'000u) << "noticed within seconds";
  // Off for several cycles: shown once.
  Steps(200);
  EXPECT_TRUE(Take().empty());
  // Switched on: it answers the next initialise, and the read starts again.
  for (int i = 0; i < 20 && Sent().find(kInitFrame) == std::string::npos; ++i) Steps(1);
  Reply("\x10");
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(Hex(Sent()), Hex(kReset + epx::Frame("r2")));
  Reply(";4711?");
  EXPECT_EQ(Take(), Events{"read 4711"});
}

TEST_F(SWU41Test, ADeviceOffAndOnBetweenTwoLooksGetsItsReadBack) {
  Start(2);
  EXPECT_EQ(Hex(UntilSent()), Hex(kSettings + kReset + kInitFrame));
  Reply("\x10");
  EXPECT_EQ(Hex(Sent()), Hex(kReset + epx::Frame("r2")));
  EXPECT_TRUE(Take().empty()) << "nothing to report";
}

TEST_F(SWU41Test, AReaderPulledWhileTheTimerRestsIsShownAtOnce) {
  Start(2);
  Steps(1);
  ASSERT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), kRestingTimerMs);
  const std::uint64_t before = loop.GetTickCount64();
  port->openError = "No such file or directory";
  port->HangUp();
  ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(loop.GetTickCount64(), before) << "no timer step was needed";
}

TEST_F(SWU41Test, AWriteIsVerifiedByTheTracksTheDeviceGivesBack) {
  struct Case {
    std::uint8_t code;
    std::string data;
    std::string payload;
    std::string reply;
    Events events;
  } cases[] = {
      {2, "1234", ";1234?", ";1234?", {"written"}},
      {2, "1234", ";1234?", ";1235?", {"error Error writing"}},
      {2, "1234", ";1234?", "%1234?", {"written"}},  // the tracks, not the sentinels, count
      {7, "A\rB\rC", "%A?;B?+C?", "%A?;B?+C?", {"written"}},
      {7, "A\rB\rC", "%A?;B?+C?", "%A?;B?", {"error Error writing"}},
      {5, "B\rC", ";B?+C?", ";B?+C?", {"written"}},
      {6, "A\rC", "%A?+C?", "%A?+C?", {"written"}},
      {2, "1234", ";1234?", "\x15", {"error Communication error"}},
  };
  for (const auto& c : cases) {
    Start(2);
    reader->WriteTrackData(c.data, c.code);
    EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset + epx::Frame(c.payload)))
        << "the read is cancelled, then the write goes out";
    EXPECT_EQ(reader->CurrentOperation(), epx::kOpWrite);
    Reply(c.reply);
    EXPECT_EQ(Take(), c.events) << Printable(c.data) << " answered " << c.reply;
    Steps(4);
    EXPECT_EQ(Hex(Sent()), Hex(epx::Frame("r2"))) << "reading again";
  }
}

TEST_F(SWU41Test, AWriteThroughTheContractAddsTheTrack2Check) {
  reader->SetCheckCRCTes(true);
  Start(2);
  reader->WriteCard("1234");
  const std::string sent = Sent();
  ASSERT_EQ(sent.substr(0, kSettings.size() + kReset.size()), kSettings + kReset);
  const std::string frame = sent.substr(kSettings.size() + kReset.size());
  ASSERT_GE(frame.size(), 10u);
  EXPECT_EQ(frame.substr(0, 6), "\x02;1234");
  // The device gives back what it wrote: the check digits too.
  Reply(frame.substr(1, frame.size() - 3));
  EXPECT_EQ(Take(), Events{"written"});
}

TEST_F(SWU41Test, AWriteWithTheWrongNumberOfTracksSendsNothing) {
  Start(2);
  const struct {
    std::uint8_t code;
    const char* data;
  } cases[] = {{4, "1234"}, {5, "A\rB\rC"}, {7, "A\rB"}, {0, "1"}, {8, "1"}};
  for (const auto& c : cases) {
    EXPECT_EQ(test::BadgeErrorOf([&] { reader->WriteTrackData(c.data, c.code); }),
              "Invalid tracks count")
        << int(c.code);
    EXPECT_EQ(Sent(), "") << int(c.code);
    EXPECT_EQ(reader->CurrentOperation(), epx::kOpRead) << "the read runs on";
  }
}

TEST_F(SWU41Test, ASecondWriteWhileTheFirstIsPendingResetsFirst) {
  Start(2);
  reader->WriteTrackData("11", 2);
  Sent();
  reader->WriteTrackData("22", 2);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset + epx::Frame(";22?")));
  Reply(";22?");
  EXPECT_EQ(Take(), Events{"written"}) << "verified against the second write";
}

TEST_F(SWU41Test, AWriteTimesOutAfterTimeoutWrite) {
  reader->SetTimeoutWrite(1);  // 1000 / 55 = 18 steps
  Start(2);
  reader->WriteTrackData("9", 2);
  Sent();
  Steps(18);
  EXPECT_EQ(Sent(), "");
  Steps(1);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset + epx::Frame("r2"))) << "given up: back to reading";
  EXPECT_EQ(Take(), Events{});
}

TEST_F(SWU41Test, DeviceErrorsAndRefusals) {
  struct Case {
    std::function<void()> provoke;
    Events events;
  } cases[] = {
      {[&] { Block("\x02\x7f"); }, {"fail"}},
      {[&] {
         reader->WriteTrackData("1", 2);
         Block("\x02\x7f");
       },
       {"error Card Error"}},
      {[&] {
         reader->WriteTrackData("1", 2);
         Reply("\x15");
       },
       {"error Communication error"}},
  };
  for (auto& c : cases) {
    Start(2);
    c.provoke();
    EXPECT_EQ(Take(), c.events);
  }
  const struct {
    WPARAM command;
    LPARAM code;
    const char* event;
  } mapped[] = {
      {54, 24, "badcrc"}, {54, 25, "badinsert"}, {54, 6, "fail"}, {55, 20, "error Error writing"}};
  for (const auto& m : mapped) {
    loop.PostMessage(reader->Handle(), WM_DISP_ERROR, m.command, m.code);
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), Events{m.event});
  }
}

TEST_F(SWU41Test, ASilentDeviceIsShownOnceNotOnEveryCycle) {
  reader->SetActive(true);
  Steps(4);
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(Hex(Sent()), Hex(kSettings + kInitFrame)) << cycle << "/" << attempt;
      Steps(10);
      EXPECT_EQ(Sent(), "") << "an initialise waits 11 steps";
      EXPECT_TRUE(Take().empty());
      Steps(1);
    }
    EXPECT_EQ(Take(), cycle == 0 ? Events{"timeout"} : Events{}) << "cycle " << cycle;
    EXPECT_EQ(reader->Status(), sdTimeout);
    Steps(1);  // the port is opened anew
    EXPECT_EQ(port->OpenCount(), 2 + cycle);
    Steps(4);
  }
  // A frame with a wrong check byte shows the device alive but restarts the wait.
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kInitFrame));
  Steps(8);
  Block(std::string("\x02\x10\x03\x00", 4));
  Steps(10);
  EXPECT_EQ(Sent(), "");
  Reply("\x10");
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(Hex(Sent()), Hex(kReset + epx::Frame("r2")));
  EXPECT_EQ(reader->Status(), sdAttivo);
}

TEST_F(SWU41Test, LineErrorsAreToldOnlyWhileTheDeviceAnswers) {
  reader->SetActive(true);
  ASSERT_TRUE(port->IsOpen());
  // The line error comes before the bytes, while the device has not answered.
  port->SetErrors(platform::kCeFrame);
  port->Receive(epx::Frame("Z"));
  ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"restore"});
  port->SetErrors(platform::kCeFrame);
  port->Receive("y");
  ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(Take(), Events{"error Communication error"});
}

TEST_F(SWU41Test, AnUnpluggedReaderComesBackByItself) {
  Start(7);
  Block("\x02%ROSS");  // a reply cut short by the pull
  port->HangUp();
  port->openError = "No such file or directory";
  ASSERT_TRUE(loop.PumpUntil([&] { return !P().Holder().ApdComPort1->Open(); }));
  Steps(20);
  EXPECT_EQ(reader->Status(), sdTimeout);
  EXPECT_EQ(Take(), Events{"timeout"}) << "shown once as a reader problem";

  port = serial.AddPort(kPort);
  fSeen = 0;
  Steps(1);
  ASSERT_TRUE(port->IsOpen());
  Steps(4);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kInitFrame)) << "the device back is set up anew";
  Reply("\x10");
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(Hex(Sent()), Hex(kReset + epx::Frame("r7")));
  Reply("%A?;1?+?");
  EXPECT_EQ(Take(), Events{"read A<CR>1<CR>"});
}

TEST_F(SWU41Test, APortThatCannotOpenIsRetried) {
  const struct {
    const char* com;
    const char* found;  // by the USB adapter search
  } cases[] = {{kPort, ""}, {"", kPort}};
  for (const auto& c : cases) {
    reader.reset(new TSWU41BadgeWriter(nullptr));
    test::RecordReaderEvents(*reader, events, Printable);
    reader->SetCOM(c.com);
    table.entries.clear();
    port->openError = "No such file or directory";
    EXPECT_ANY_THROW(reader->SetActive(true)) << c.com;
    EXPECT_TRUE(reader->Active());
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), Events{"timeout"});
    Steps(20);
    EXPECT_TRUE(Take().empty()) << "shown once";
    port->openError.clear();
    if (*c.found)
      table.entries = {{platform::SerialAdapterKind::Other, "serial8250", "/dev/ttyS0"},
                       {platform::SerialAdapterKind::SiliconLabs, "cp210x", c.found}};
    Steps(1);
    EXPECT_TRUE(port->IsOpen()) << c.com;
    EXPECT_EQ(P().ComPort(), kPort);
    fSeen = port->Written().size();
    Steps(4);
    EXPECT_EQ(Hex(Sent()), Hex(kSettings + kInitFrame));
    Reply("\x10");
    EXPECT_EQ(Take(), Events{"restore"});
    reader.reset();
  }
}

TEST(EPX3000Port, ComPortNames) {
  FakeMessageLoop loop;
  loop.Install();
  Owned<TProtEPX3000> p(new TProtEPX3000(1, 0));
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {{" COM3 ", "COM3"}, {"COM", "COM0"}, {"/dev/pts/9", "/dev/pts/9"},
               {"com12", "COM12"}, {"", "COM0"},    {"ttyUSB0", "ttyUSB0"}};
  for (const auto& c : cases) {
    p->SetComPort(c.text);
    EXPECT_EQ(p->ComPort(), c.shown) << c.text;
  }
  EXPECT_THROW(p->SetComPort("COM70000"), ERangeError);
  EXPECT_EQ(p->ComPort(), "ttyUSB0");
}

TEST_F(SWU41Test, DeactivationResetsTheDeviceBeforeClosing) {
  Start(2);
  reader->SetActive(false);
  EXPECT_EQ(Hex(Sent()), Hex(kSettings + kReset));
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(reader->Status(), sdTimeout);
  EXPECT_EQ(reader->CurrentOperation(), 0);
}

}  // namespace
}  // namespace lumbra
