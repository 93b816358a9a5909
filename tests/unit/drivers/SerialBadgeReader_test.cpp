#include "drivers/sl10/SerialBadgeReader.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <set>

#include "drivers/Drivers.h"
#include "platform/MessageBox.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "reader/BadgeReader2.h"
#include "reader/TrackData.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using Bytes = std::string;

constexpr char kPort[] = "/dev/ttyS4";

// The reader's side of a frame, written out independently of the driver.
std::uint8_t StartByte(int status, int kind) {
  static const std::uint8_t field[] = {0, 0b001, 0b011, 0b111};
  return static_cast<std::uint8_t>(0x80 | field[status] << 3 | field[kind]);
}

Bytes Frame(std::uint8_t start, const Bytes& payload = {}) {
  Bytes f(1, static_cast<char>(start));
  f += payload;
  unsigned sum = 1;
  for (unsigned char c : f) sum += c;
  f.push_back(static_cast<char>(sum % 128));
  f.push_back(static_cast<char>(0xC5));
  return f;
}

// Characters "0" to "?" as the reader encodes them, with the character
// checksum; badCheck spoils the checksum.
Bytes Payload(const std::string& chars, bool badCheck = false) {
  Bytes p;
  unsigned sum = 1;
  for (size_t i = 0; i < chars.size(); ++i) {
    const unsigned nibble = static_cast<unsigned>(chars[i] - '0') & 0x0F;
    const unsigned shift = (i / 2) % 4;
    unsigned b = (i & 1) ? nibble << shift : (~nibble & 0x0F) << shift;
    // Bits outside the nibble carry noise the decoder must ignore.
    b |= 0x55 & ~(0x0Fu << shift);
    p.push_back(static_cast<char>(b & 0x7F));
    sum += nibble;
  }
  p.push_back(static_cast<char>((sum + (badCheck ? 1 : 0)) % 128));
  return p;
}

Bytes DataFrame(const std::string& text, bool badCheck = false) {
  return Frame(StartByte(1, 2), Payload(text + "=?", badCheck));
}

class SL10Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    serial.Install();
    port = serial.AddPort(kPort);
    port->hasModemLines = true;
    reader.reset(new TSerialBadgeReader(nullptr));
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    test::RecordReaderEvents(*reader, events);
    reader->SetCOM(kPort);
  }
  void TearDown() override { reader.reset(); }

  void Start() {
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
  }
  // Bytes as the port's receive notification hands them over.
  void Feed(const Bytes& b) {
    reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  void Ticks(int n) { loop.Advance(200ull * static_cast<unsigned>(n)); }
  std::vector<std::string> Take() { return std::exchange(events, {}); }
  std::string TakeWritten() {
    std::string w = port->Written().substr(seen);
    seen += w.size();
    return w;
  }
  bool Rts() {
    std::lock_guard lock(serial.mutex);
    return port->rts;
  }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSerialBadgeReader> reader;
  std::vector<std::string> events;
  size_t seen = 0;
};

using Events = std::vector<std::string>;

TEST_F(SL10Test, PortSettingsAndPolls) {
  Start();
  EXPECT_EQ(port->LastSettings().baudRate, 38400u);
  EXPECT_EQ(port->LastSettings().dataBits, 8);
  EXPECT_EQ(port->LastSettings().stopBits, 0);
  EXPECT_EQ(port->LastSettings().flags, 3u);
  EXPECT_EQ(reader->Status(), sdStart);

  // Until the reader has answered, polls are complemented (five bits set);
  // afterwards plain (three), from the table of three-bit bytes.
  Ticks(1);
  std::string w = TakeWritten();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(std::popcount(static_cast<unsigned char>(w[0])), 5);
  Feed(Frame(StartByte(1, 1)));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
  EXPECT_EQ(reader->Status(), sdAttivo);
  std::set<unsigned char> seenPolls;
  for (int i = 0; i < 200; ++i) {
    Ticks(1);
    w = TakeWritten();
    ASSERT_EQ(w.size(), 1u) << "one poll per tick with a prompt reader";
    EXPECT_EQ(std::popcount(static_cast<unsigned char>(w[0])), 3);
    seenPolls.insert(static_cast<unsigned char>(w[0]));
    Feed(Frame(StartByte(1, 1)));
  }
  EXPECT_GT(seenPolls.size(), 20u) << "polls are drawn from the whole table";
  EXPECT_TRUE(Take().empty());
}

TEST_F(SL10Test, StartByteFields) {
  struct Case {
    std::uint8_t start;
    std::uint8_t status;
    Events events;
  } cases[] = {
      {0x80, 3, {"status 3", "fail"}},  // empty fields read as three bits
      {0x8A, 1, {"status 1"}},           {0x9A, 2, {"status 2"}},
      {0x9B, 2, {"status 2", "badcrc"}},  // data frame with no payload
      {0xBF, 3, {"status 3", "fail"}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start();
    Feed(Frame(c.start));
    Events expected{"restore"};
    expected.insert(expected.end(), c.events.begin(), c.events.end());
    EXPECT_EQ(Take(), expected) << std::hex << int(c.start);
    EXPECT_EQ(reader->StatoTessera(), c.status);
  }
}

TEST_F(SL10Test, FrameBoundaries) {
  const Bytes status1 = Frame(StartByte(1, 1));
  struct Case {
    const char* name;
    Bytes bytes;
    Events events;
  } cases[] = {
      {"start and end only", "\x8A\xC0", {}},
      {"payload before any start byte", "\x10\x20" + status1, {"restore", "status 1"}},
      {"a second start byte abandons the first frame",
       "\x9A\x01" + status1,
       {"restore", "status 1"}},
      {"wrong frame checksum", "\x8A\x01\xC0", {"error Communication Error"}},
      {"frame over 200 bytes", "\x8A" + Bytes(201, '\x01') + "\x4C\xC0", {}},
      {"end byte with no frame", Bytes("\xC0\xFF"), {}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start();
    Feed(c.bytes);
    EXPECT_EQ(Take(), c.events) << c.name;
  }
  // Exactly 200 bytes after the start byte still make a frame.
  reader->SetActive(false);
  Start();
  Feed(Frame(StartByte(1, 2), Payload(std::string(198, '7'))));
  EXPECT_EQ(Take(), (Events{"restore", "status 1", "read " + std::string(196, '7')}));
}

TEST_F(SL10Test, BadgeDataIsDecodedAndAcknowledged) {
  Start();
  Ticks(1);
  Feed(Frame(StartByte(1, 1)));
  Take();
  TakeWritten();
  struct Case {
    Bytes frame;
    Events events;
  } cases[] = {
      {DataFrame("0123456789:;<=>"), {"read 0123456789:;<=>"}},
      {DataFrame("4711", true), {"badcrc"}},
      {Frame(StartByte(1, 3)), {"fail"}},
  };
  for (const auto& c : cases) {
    Feed(c.frame);
    EXPECT_EQ(Take(), c.events);
    // Acknowledged at once with a complemented poll, also when undecodable.
    std::string w = TakeWritten();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(std::popcount(static_cast<unsigned char>(w[0])), 5);
  }
  EXPECT_EQ(reader->GetReadData(), "0123456789:;<=>") << "a failed read keeps the last text";
}

TEST_F(SL10Test, ARepliedReadTheLineDamagedIsAFailedReadAndAcknowledged) {
  const Bytes data = DataFrame("2020");
  const Bytes status1 = Frame(StartByte(1, 1));
  const Bytes failure = Frame(StartByte(1, 3));
  const auto without = [](Bytes b, size_t at) { return b.erase(at, 1); };
  const auto with = [](Bytes b, size_t at, char c) { return b.insert(at, 1, c); };
  struct Case {
    const char* name;
    Bytes bytes;
    bool failed;  // a failed read shown, and the next poll acknowledging it
  } cases[] = {
      {"data frame without its end byte", data.substr(0, data.size() - 1), true},
      {"data frame without its start byte", data.substr(1), true},
      {"data frame without its end byte, the next frame after it",
       data.substr(0, data.size() - 1) + status1, true},
      {"a payload byte lost", without(data, 3), true},
      {"a stray byte in the payload", with(data, 3, '\x11'), true},
      {"a stray start byte in the payload", with(data, 3, '\x9A'), true},
      {"a stray end byte in the payload", with(data, 3, '\xC1'), true},
      {"data frame over 200 bytes", Frame(StartByte(1, 2), Payload(std::string(200, '7'))), true},
      {"failure frame without its end byte", failure.substr(0, failure.size() - 1), true},
      // Damage that cannot have hidden a read says nothing.
      {"status frame without its end byte", status1.substr(0, status1.size() - 1), false},
      {"a lone start byte before a status frame", "\x9B" + status1, false},
      {"a lone start byte", "\x9B", false},
      {"stray bytes before a status frame", "\x10\x20\x30" + status1, false},
      {"line noise that ends like a frame", "\x10\x20\x30\x40\xC5", false},
      {"a status frame without its start byte", status1.substr(1), false},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    seen = 0;
    Start();
    Ticks(1);
    Feed(status1);
    Take();
    Ticks(1);  // a plain poll, which the damaged frame answers
    TakeWritten();
    Feed(c.bytes);
    Ticks(3);  // the poll's wait runs out, and the next step polls
    EXPECT_EQ(Take(), c.failed ? Events{"fail"} : Events{}) << c.name;
    const std::string w = TakeWritten();
    ASSERT_FALSE(w.empty()) << c.name;
    EXPECT_EQ(std::popcount(static_cast<unsigned char>(w[0])), c.failed ? 5 : 3) << c.name;
    Feed(DataFrame("99"));
    EXPECT_EQ(Take(), Events{"read 99"}) << c.name << ": the next swipe";
  }
  // Stray bytes while no poll is outstanding are line noise.
  Feed(status1);
  Feed("\x10\x20\x30\xC5");
  Ticks(3);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SL10Test, TrackTwoCipherAndCheckDigitsOfTheReaderBase) {
  reader->SetCrypt(true);
  reader->SetCheckCRCTes(true);
  Start();
  const std::string plain = "000123456789";
  const std::string stored = EncodeTessera(plain + WordToDigits(TesseraChecksum(plain), 2));
  Feed(DataFrame(stored));
  Feed(DataFrame(EncodeTessera(plain + "00")));
  EXPECT_EQ(Take(), (Events{"restore", "status 1", "read " + plain, "badcrc"}));
}

TEST_F(SL10Test, TwoBadgesInOneBlockAreEachReadOnceInOrder) {
  reader->SetCrypt(true);
  reader->SetCheckCRCTes(true);
  Start();
  Ticks(1);
  Feed(Frame(StartByte(1, 1)));
  Take();
  auto stored = [](const std::string& plain) {
    return EncodeTessera(plain + WordToDigits(TesseraChecksum(plain), 2));
  };
  Feed(DataFrame(stored("1111")) + DataFrame(stored("2222")));
  EXPECT_EQ(Take(), (Events{"read 1111", "read 2222"}));
}

TEST_F(SL10Test, ACardInWithoutDataIsReportedOnce) {
  Start();
  const Bytes in = Frame(StartByte(2, 1)), out = Frame(StartByte(1, 1));
  Feed(out);
  Take();
  for (int i = 0; i < 3; ++i) Feed(in);
  EXPECT_EQ(Take(), (Events{"status 2", "badinsert"}));
  Feed(out);
  Feed(in);
  Feed(Frame(StartByte(2, 2), Payload("12=?")));
  Feed(in);
  Feed(in);
  EXPECT_EQ(Take(), (Events{"status 1", "status 2", "read 12"}));
}

class SL10TimingTest : public SL10Test, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(SL10TimingTest, UnansweredPolls) {
  loop.SetTime(GetParam());
  Start();
  Ticks(1);
  Feed(Frame(StartByte(1, 1)));
  Take();
  TakeWritten();
  // Each unanswered poll waits two steps, then the next step polls again.
  int polls = 0;
  for (int poll = 1; poll <= 6; ++poll) {
    Ticks(3);
    polls += static_cast<int>(TakeWritten().size());
    if (poll == 3) {
      EXPECT_TRUE(Rts()) << "RTS goes up on the third unanswered poll";
    }
    if (poll == 4) {
      EXPECT_FALSE(Rts()) << "for one step";
    }
  }
  EXPECT_EQ(polls, 6);
  EXPECT_TRUE(Take().empty()) << "six unanswered polls say nothing";
  EXPECT_EQ(reader->Status(), sdAttivo);
  Ticks(3);
  EXPECT_EQ(Take(), (Events{"timeout"}));
  EXPECT_EQ(reader->Status(), sdTimeout);
  TakeWritten();
  // Later silence says nothing more, and polls are complemented again.
  Ticks(60);
  EXPECT_TRUE(Take().empty());
  std::string w = TakeWritten();
  ASSERT_FALSE(w.empty());
  for (unsigned char c : w) EXPECT_EQ(std::popcount(c), 5);
  Feed(Frame(StartByte(1, 1)));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
  Ticks(21);
  EXPECT_EQ(Take(), (Events{"timeout"})) << "reported again after a restore";
}

INSTANTIATE_TEST_SUITE_P(AcrossTheTickWrap, SL10TimingTest,
                         ::testing::Values(0ull, (1ull << 32) - 2000));

TEST_F(SL10Test, FreezingStopsPollingWithRtsUp) {
  Start();
  Ticks(1);
  Feed(Frame(StartByte(1, 1)));
  Take();
  TakeWritten();
  reader->Protocol()->SetFreezed(true);
  Ticks(50);
  EXPECT_EQ(TakeWritten(), "");
  EXPECT_TRUE(Rts());
  EXPECT_EQ(reader->Status(), sdTimeout);
  EXPECT_TRUE(Take().empty());
  reader->Protocol()->SetFreezed(false);
  EXPECT_FALSE(Rts());
  Ticks(1);
  EXPECT_EQ(TakeWritten().size(), 1u);
  Feed(Frame(StartByte(1, 1)));
  EXPECT_EQ(Take(), (Events{"restore"}));
}

TEST_F(SL10Test, APortMissingAtStartIsRetriedUntilItAppears) {
  port->openError = "No such file or directory";
  EXPECT_THROW(reader->SetActive(true), ECommError);
  EXPECT_TRUE(reader->Active()) << "the driver stays on and its timer keeps trying";
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(reader->Status(), sdTimeout);
  Ticks(20);
  EXPECT_TRUE(Take().empty()) << "the problem is shown once";
  EXPECT_EQ(TakeWritten(), "");

  port->openError.clear();  // the adapter is plugged in after log-on
  Ticks(2);
  ASSERT_TRUE(port->IsOpen());
  EXPECT_EQ(TakeWritten().size(), 1u);
  Feed(Frame(StartByte(1, 1)));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
}

TEST_F(SL10Test, APortChosenInTheSettingsIsTriedAtOnce) {
  class NoBox : public platform::IMessageBox {
   public:
    void Show(const std::string& text, const std::string&, platform::MessageKind) override {
      shown.push_back(text);
    }
    std::vector<std::string> shown;
  } box;
  platform::SetMessageBox(&box);
  RegisterReaderModels();
  {
    Owned<TBadgeReader2> facade(new TBadgeReader2(nullptr));
    facade->SetModel("SL-10");
    facade->SetCOM("/dev/ttyUSB9");  // a port that is not there
    EXPECT_THROW(facade->SetActive(true), ECommError);
    EXPECT_EQ(facade->Color(), clReaderFault);
    auto good = serial.AddPort("/dev/ttyUSB7");
    facade->SetCOM("/dev/ttyUSB7");
    EXPECT_TRUE(good->IsOpen()) << "without waiting for a timer step";
    EXPECT_TRUE(facade->Active());
  }
  UnregisterReaderModels();
  platform::SetMessageBox(nullptr);
}

TEST_F(SL10Test, ALostOrStalledPortIsShownAsAReaderProblemAndComesBack) {
  struct Case {
    const char* name;
    std::function<void()> lose;
    std::function<void()> bringBack;
  } cases[] = {
      {"unplugged adapter",
       [&] {
         port->HangUp();
         port->openError = "No such file or directory";
       },
       [&] { port = serial.AddPort(kPort); }},
      {"output that never drains",
       [&] {
         std::lock_guard lock(serial.mutex);
         port->stalled = true;
       },
       [&] {
         std::lock_guard lock(serial.mutex);
         port->stalled = false;
       }},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start();
    Ticks(1);
    Feed(Frame(StartByte(1, 1)));
    Take();
    c.lose();
    Ticks(3);
    EXPECT_EQ(Take(), Events{"timeout"}) << c.name << ": shown as a silent reader, not an error";
    EXPECT_EQ(reader->Status(), sdTimeout) << c.name;
    Ticks(20);
    EXPECT_TRUE(Take().empty()) << c.name << ": shown once";

    c.bringBack();
    seen = 0;
    TakeWritten();
    Ticks(3);
    ASSERT_TRUE(port->IsOpen()) << c.name;
    EXPECT_FALSE(TakeWritten().empty()) << c.name << ": polled again";
    Feed(DataFrame("99"));
    EXPECT_EQ(Take(), (Events{"restore", "status 1", "read 99"})) << c.name;
  }
}

TEST_F(SL10Test, AReadInFlightKeepsItsBadgeAcrossAPortChange) {
  Start();
  Ticks(1);
  Feed(Frame(StartByte(1, 1)));
  Take();
  // The read is posted, and the port changes before the window handles it.
  const Bytes frame = DataFrame("4711");
  reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(frame.data()),
                                    static_cast<std::int32_t>(frame.size()));
  reader->SetActive(false);
  reader->SetActive(true);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), (Events{"read 4711"}));
  Ticks(1);
  Feed(DataFrame("12"));
  EXPECT_EQ(Take(), (Events{"restore", "status 1", "read 12"})) << "later reads are the new port's";
}

TEST_F(SL10Test, OnlyTrackTwo) {
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(1); }),
            "Invalid track value: only track 2 is enabled");
  EXPECT_EQ(reader->Track(), 2);
  EXPECT_TRUE(TSerialBadgeReader::TrackSupported(2));
  EXPECT_FALSE(TSerialBadgeReader::TrackSupported(7));
  EXPECT_FALSE(TSerialBadgeReader::CoercitivitySupported(hico));
}

}  // namespace
}  // namespace lumbra
