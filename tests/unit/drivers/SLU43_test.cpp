#include "drivers/slu4x/SLU43.h"

#include <gtest/gtest.h>

#include "drivers/slu4x/SLU42.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "reader/TrackData.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using Events = std::vector<std::string>;

constexpr char kPort[] = "/dev/ttyUSB3";
constexpr char kOtherPort[] = "/dev/ttyUSB4";

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\r' ? std::string("<CR>") : std::string(1, c);
  return out;
}

class SLU4xTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    serial.Install();
    table.Install();
    port = serial.AddPort(kPort);
    Make<TSLU43BadgeReader>();
  }
  void TearDown() override { reader.reset(); }

  template <class T>
  void Make() {
    reader.reset(new T(nullptr));
    test::RecordReaderEvents(*reader, events, Printable);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(kPort);
  }
  void Start(std::int32_t track = 7) {
    reader->SetTrack(track);
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
    loop.Advance(55);
    ASSERT_EQ(Take(), Events{"restore"}) << "an open port restores the reader";
  }
  // One block as the port's receive notification hands it over.
  void Block(const std::string& b) {
    reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  Events Take() { return std::exchange(events, {}); }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  platform::FakeSerialDeviceTable table;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSLU43BadgeReader> reader;
  Events events;
};

TEST_F(SLU4xTest, Frames) {
  const std::string big(600, '7');
  struct Case {
    const char* name;
    std::vector<std::string> blocks;
    std::int32_t track;
    Events events;
  } cases[] = {
      {"STX frame, track 2", {"\x02;12345?\x03"}, 2, {"read 12345"}},
      {"STX frame, track 1 absent", {"\x02;12345?\x03"}, 1, {"read "}},
      {"sentinel start, CR LF at the block's end",
       {"%ALFA BETA?;4711?+C3?\r\n"},
       7,
       {"read ALFA BETA<CR>4711<CR>C3"}},
      {"track 3 marked with a second ';'", {"%A?;B?;C?\r"}, 7, {"read A<CR>B<CR>C"}},
      {"track 3 alone with ';' after a track 2", {";B?;C?\x03"}, 3, {"read C"}},
      {"a carriage return inside the block is dropped", {"%A\rB?\r\n"}, 1, {"read AB"}},
      {"bytes before any start marker", {"xyz\r\n?\x03", "\x02;1?\x03"}, 2, {"read 1"}},
      {"a second STX starts the frame anew",
       {"\x02;1\x02"
        "2?\x03"},
       2,
       {"fail"}},
      {"no track data",
       {"\x02"
        "A\x03"},
       2,
       {"fail"}},
      {"no data at all", {"\x02\x03"}, 2, {}},
      {"only track 2, code 5", {";123?\x03"}, 5, {"read 123<CR>"}},
      {"over-long frame loses its end sentinel", {";" + big + big + "?\x03"}, 2, {"fail"}},
      {"over-long frame, end sentinel within 512 bytes",
       {";" + std::string(510, '7') + "?" + big + "\x03"},
       2,
       {"read " + std::string(510, '7')}},
      // A frame that the transport hands over in pieces.
      {"CR LF split over two blocks", {"%A?;B?\r", "\n"}, 4, {"read A<CR>B"}},
      {"block ends in a CR inside the burst", {"%A?\r", ";B?\r\n"}, 4, {"read A<CR>B"}},
      {"block ends before the CR", {"%A?;", "B?", "\r\n"}, 4, {"read A<CR>B"}},
      {"two frames, each in its burst", {"%A?\r\n", "@wait", "%B?\r\n"}, 1, {"read A", "read B"}},
      // Damage on the line: typed exactly, or a failed read.
      {"a stray STX right before a frame", {"\x02\x02;2020?\x03"}, 2, {"read 2020"}},
      {"a stray STX before a sentinel frame", {"\x02%A?;2020?\r\n"}, 4, {"read A<CR>2020"}},
      {"an ETX inside a track", {"\x02;20\x03" "20?\x03"}, 2, {"fail"}},
      {"an ETX inside track 1, the rest of the burst has tracks",
       {"%RO\x03SSI?;12345678?;0077?\r\n"},
       7,
       {"fail"}},
      {"the same in STX framing",
       {"\x02%RO\x03SSI?;12345678?;0077?\x03\r\n"},
       7,
       {"fail"}},
      {"the ETX and the rest in the next block", {"%RO\x03", "SSI?;1?\r\n"}, 4, {"fail"}},
      {"an ETX between tracks", {"%A?\x03;2020?+9?\r\n"}, 7, {"fail"}},
      {"an ETX between the tracks of an STX frame", {"\x02%A?\x03;2020?\x03\r\n"}, 2, {"fail"}},
      {"two STX frames in one block",
       {"\x02;2020?\x03\x02;4711?\x03"},
       2,
       {"read 2020", "read 4711"}},
      {"line noise right after an ETX", {"\x02;2020?\x03\r\n\x01?"}, 2, {"read 2020"}},
      {"an empty frame right before a frame", {"\x02\x03;2020?\r\n"}, 2, {"read 2020"}},
      {"an STX frame that lost its start sentinel", {"\x02" "2020?\x03"}, 2, {"fail"}},
      {"a stray STX inside a frame: one failed read", {"\x02;20\x02" "20?\x03"}, 2, {"fail"}},
      {"a frame that lost its ETX, then the next frame",
       {"\x02;2020?", "\x02;4711?\x03"},
       2,
       {"fail", "read 4711"}},
      {"stray bytes outside a frame", {"\x01?9\x03\r\n\x03"}, 2, {}},
      {"the damage outside the tracks", {";2020?\x7f\x03"}, 2, {"read 2020"}},
      {"two frames in one block",
       {"%A?;1?+X?\r\n%B?;2?+Y?\r\n"},
       7,
       {"read A<CR>1<CR>X", "read B<CR>2<CR>Y"}},
      {"two track-2 frames in one block", {";2020?\r\n;4711?\r\n"}, 2, {"read 2020", "read 4711"}},
      {"two frames in one block, ended by a bare CR", {"%A?\r%B?\r"}, 1, {"read A", "read B"}},
      {"the second frame in the next block", {"%A?;1?\r\n", "%B?;2?\r\n"}, 2, {"read 1", "read 2"}},
      {"a damaged frame, then a frame in the same block",
       {"%A\x03?;1?\r\n%B?;2?\r\n"},
       2,
       {"fail", "read 2"}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start(c.track);
    for (const auto& b : c.blocks) {
      if (b == "@wait")
        loop.Advance(TProtSLU4x::kBurstGapMs);
      else
        Block(b);
    }
    loop.Advance(TProtSLU4x::kBurstGapMs);
    EXPECT_EQ(Take(), c.events) << c.name;
    EXPECT_FALSE(reader->Protocol()->EndPending()) << c.name;
    // Whatever came before, the next swipe is read as usual.
    Block("%N?;99?+0?\r\n");
    loop.Advance(TProtSLU4x::kBurstGapMs);
    AnsiString next;
    ASSERT_EQ(ParseTracks("%N?;99?+0?", c.track, next), TrackParse::Read);
    EXPECT_EQ(Take(), Events{"read " + Printable(next)}) << c.name << ": the next swipe";
  }
}

TEST_F(SLU4xTest, AFrameEndedByCarriageReturnWaitsForTheQuietLine) {
  Start(2);
  Block(";42?\r");
  loop.Advance(TProtSLU4x::kBurstGapMs - 1);
  EXPECT_TRUE(Take().empty());
  Block("\n");  // the line feed of the pair: still the same burst
  loop.Advance(TProtSLU4x::kBurstGapMs - 1);
  EXPECT_TRUE(Take().empty());
  loop.Advance(1);
  EXPECT_EQ(Take(), Events{"read 42"});
}

TEST_F(SLU4xTest, ABurstCutAnywhereIsReadWhole) {
  // A burst handed over in two blocks, cut at every position; the byte after
  // a carriage return that ends the first block belongs to the frame.
  const struct {
    const char* framing;
    std::string burst;
  } bursts[] = {
      {"STX and ETX", "\x02%ROSSI MARIO?;12345678?;0077?\x03"},
      {"sentinels and CR LF", "%ROSSI MARIO?;12345678?;0077?\r\n"},
      {"a CR after each track", "%ROSSI MARIO?\r;12345678?\r;0077?\r\n"},
  };
  const Events want{"read ROSSI MARIO<CR>12345678<CR>0077"};
  for (const auto& b : bursts) {
    for (size_t cut = 1; cut < b.burst.size(); ++cut) {
      reader->SetActive(false);
      Start(7);
      Block(b.burst.substr(0, cut));
      Block(b.burst.substr(cut));
      loop.Advance(TProtSLU4x::kBurstGapMs);
      EXPECT_EQ(Take(), want) << b.framing << ", cut after " << cut << " bytes";
    }
  }
}

TEST_F(SLU4xTest, AFrameLeftOpenByLineNoiseExpires) {
  struct Case {
    const char* noise;
    std::uint32_t quietMs;
    Events events;
  } cases[] = {
      {"%", TProtSLU4x::kFrameQuietMs, {"read A<CR>12<CR>9"}},
      {";", TProtSLU4x::kFrameQuietMs, {"read A<CR>12<CR>9"}},
      {"+\x01garbage", TProtSLU4x::kFrameQuietMs, {"read A<CR>12<CR>9"}},
      {"\x02", TProtSLU4x::kFrameQuietMs, {"read A<CR>12<CR>9"}},
      // A swipe that lost its end: it had a whole track, so it was a swipe.
      {"\x02;2020?", TProtSLU4x::kFrameQuietMs, {"fail", "read A<CR>12<CR>9"}},
      {"%A?;2020?\n", TProtSLU4x::kFrameQuietMs, {"fail", "read A<CR>12<CR>9"}},
      // A pause shorter than the quiet time is still the same burst.
      {";", TProtSLU4x::kFrameQuietMs - 1, {"read <CR>%A9<CR>12"}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start(7);
    Block(c.noise);
    loop.Advance(c.quietMs);
    EXPECT_EQ(reader->Protocol()->InFrame(), c.quietMs < TProtSLU4x::kFrameQuietMs) << c.noise;
    Block("%A?;12?;9?\r\n");
    loop.Advance(TProtSLU4x::kBurstGapMs);
    EXPECT_EQ(Take(), c.events) << "noise '" << c.noise << "', quiet " << c.quietMs << " ms";
  }
}

TEST_F(SLU4xTest, AReadInFlightKeepsItsBadgeAcrossAPortChange) {
  Start(2);
  const std::string frame = ";4711?\x03";
  reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(frame.data()),
                                    static_cast<std::int32_t>(frame.size()));
  reader->SetActive(false);  // as the settings do when the port changes
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"read 4711"});
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"restore"});
  Block(";12?\x03");
  loop.Advance(TProtSLU4x::kBurstGapMs);
  EXPECT_EQ(Take(), Events{"read 12"});
}

// Both the SLU-43/SLX-44 driver and the track 2 only SLU-42, with the track 2
// cipher and check digits on: each badge of a block is read with its own text.
TEST_F(SLU4xTest, TwoBadgesInOneBlockAreEachReadOnceInOrder) {
  auto stored = [](const std::string& plain) {
    return EncodeTessera(plain + WordToDigits(TesseraChecksum(plain), 2));
  };
  const std::string block = "\x02;" + stored("1111") + "?\x03" + "\x02;" + stored("2222") + "?\x03";
  for (bool slu42 : {false, true}) {
    if (slu42) Make<TSLU42BadgeReader>();
    reader->SetCrypt(true);
    reader->SetCheckCRCTes(true);
    Start(2);
    Block(block);
    loop.Advance(TProtSLU4x::kBurstGapMs);  // the second ETX waits for the end of the burst
    EXPECT_EQ(Take(), (Events{"read 1111", "read 2222"})) << (slu42 ? "SLU-42" : "SLU-43");
  }
}

TEST_F(SLU4xTest, FirstFrameRestoresAReaderNotYetActive) {
  reader->SetActive(true);
  Block("\x02\x03");
  loop.Advance(TProtSLU4x::kBurstGapMs);
  EXPECT_EQ(Take(), Events{"restore"});
  loop.Advance(200);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SLU4xTest, APortThatCannotOpenIsRetriedUntilItCan) {
  port->openError = "No such file or directory";
  EXPECT_THROW(reader->SetActive(true), ECommError);
  EXPECT_TRUE(reader->Active());
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Status(), sdTimeout);
  loop.Advance(55 * 20);
  EXPECT_TRUE(Take().empty());
  port->openError.clear();
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->LastSettings().baudRate, 9600u);
}

TEST_F(SLU4xTest, WithoutAPortNameAUsbAdapterIsLookedFor) {
  reader->SetCOM("");
  EXPECT_THROW(reader->SetActive(true), ECommError);
  loop.Advance(55 * 3);
  EXPECT_EQ(Take(), Events{"timeout"});
  table.entries = {{platform::SerialAdapterKind::Other, "serial8250", "/dev/ttyS0"},
                   {platform::SerialAdapterKind::SiliconLabs, "cp210x", kPort}};
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(reader->Protocol()->ComPort(), kPort);
}

TEST_F(SLU4xTest, AnUnpluggedReaderComesBackWhenPluggedIn) {
  Start(2);
  loop.Advance(55);  // at rest
  Block(";12");      // a swipe cut short by the pull
  port->HangUp();
  port->openError = "No such file or directory";
  // The port's own notice brings the loss at once, without a timer step.
  ASSERT_TRUE(loop.PumpUntil([&] { return reader->Status() == sdTimeout; }));
  loop.Advance(55 * 10);
  EXPECT_EQ(reader->Status(), sdTimeout);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(Take(), Events{"timeout"})
      << "shown once as a reader problem, not as an error text; the cut frame never";

  port = serial.AddPort(kPort);
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"restore"});
  port->Receive(";2?\r\n");
  ASSERT_TRUE(loop.PumpUntil([&] { return reader->Protocol()->EndPending(); }));
  loop.Advance(TProtSLU4x::kBurstGapMs);
  EXPECT_EQ(Take(), Events{"read 2"});
}

TEST_F(SLU4xTest, TheTimerRestsWhileThePortIsHealthyAndWakesWhenItIsNot) {
  Start();
  const auto period = [&] { return loop.TimerPeriod(reader->Handle(), kPollTimerId); };
  loop.Advance(55);  // the step after the restore finds nothing to do
  EXPECT_EQ(period(), kRestingTimerMs) << "an idle reader must not wake the program every 55 ms";
  Block(";12");
  loop.Advance(kRestingTimerMs * 3);
  EXPECT_EQ(period(), kRestingTimerMs) << "a frame has timers of its own";

  // A new port that cannot be opened is retried at the step's own period.
  try {
    reader->SetCOM(kOtherPort);
  } catch (const ECommError&) {
  }
  EXPECT_EQ(period(), 55u);
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(period(), 55u);
  serial.AddPort(kOtherPort);
  loop.Advance(55);
  EXPECT_EQ(Take(), Events{"restore"});
  loop.Advance(55);
  EXPECT_EQ(period(), kRestingTimerMs);
}

TEST_F(SLU4xTest, DeviceErrorsOfAReadAreReadEvents) {
  Start();
  struct Case {
    WPARAM command;
    LPARAM code;
    const char* event;
  } cases[] = {
      {54, 24, "badcrc"}, {54, 25, "badinsert"}, {54, 7, "fail"}, {12, 25, "error Blank Track"}};
  for (const auto& c : cases) {
    loop.PostMessage(reader->Handle(), WM_DISP_ERROR, c.command, c.code);
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), Events{c.event});
  }
}

TEST_F(SLU4xTest, TrackCodes) {
  EXPECT_TRUE(TSLU43BadgeReader::TrackSupported(7));
  EXPECT_FALSE(TSLU43BadgeReader::TrackSupported(8));
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(8); }), "Tack value invalid: use 1 to 7");
  Start(4);
  EXPECT_EQ(reader->Protocol()->Track(), 4);

  Make<TSLU42BadgeReader>();
  EXPECT_FALSE(TSLU42BadgeReader::TrackSupported(1));
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(1); }),
            "Invalid track value: only track 2 is enabled");
  EXPECT_EQ(reader->Track(), 2);
  reader->SetActive(true);
  EXPECT_EQ(reader->Protocol()->Track(), 2);
}

}  // namespace
}  // namespace lumbra
