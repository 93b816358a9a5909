#include <gtest/gtest.h>

#include "drivers/Drivers.h"
#include "drivers/sw30/SerialBadgeWriter2.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "reader/TrackData.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using Bytes = std::string;
using Events = std::vector<std::string>;

constexpr char kPort[] = "/dev/ttyS5";
const Bytes kAck = "\x06", kEnq = "\x05", kNak = "\x15", kDle = "\x10", kDleEot = "\x10\x04";

// The device's side of an answer, written out independently of the driver.
Bytes Answer(const Bytes& text) {
  unsigned bcc = 0x03;
  for (unsigned char c : text) bcc ^= c;
  return "\x02" + text + "\x03" + static_cast<char>(bcc);
}

// A command frame as the host must send it.
Bytes Command(const Bytes& text) {
  unsigned bcc = 0x03;
  for (unsigned char c : text) bcc ^= c;
  return "\x02" + text + "\x03" + static_cast<char>(bcc);
}

class SW30Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    serial.Install();
    port = serial.AddPort(kPort);
    reader.reset(new TSerialBadgeWriter2(nullptr));
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    test::RecordReaderEvents(*reader, events);
    reader->OnWritedBadge = [this](TObject*) { events.push_back("written"); };
    reader->SetCOM(kPort);
  }
  void TearDown() override { reader.reset(); }

  TProtTWbadge2& P() { return *reader->Protocol(); }
  void Feed(const Bytes& b) {
    P().ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  void Ticks(int n) { loop.Advance(55ull * static_cast<unsigned>(n)); }
  Events Take() { return std::exchange(events, {}); }
  Bytes TakeWritten() {
    Bytes w = port->Written().substr(seen);
    seen += w.size();
    return w;
  }
  // The device acknowledges the outstanding command and, asked, answers it.
  void Exchange(const Bytes& answer) {
    Feed(kAck);
    ASSERT_EQ(TakeWritten(), kEnq);
    Feed(answer);
  }
  // Switched on, the opening exchange ended by the device, and a first status
  // request answered with no card.
  void Up() {
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
    ASSERT_EQ(TakeWritten(), Command(kDleEot));
    Feed(kAck);
    ASSERT_EQ(TakeWritten(), kEnq);
    Feed(kDle);
    Ticks(4);
    ASSERT_EQ(TakeWritten(), "");
    Ticks(1);
    ASSERT_EQ(TakeWritten(), Command("C10"));
    Exchange(Answer("P1000"));
    ASSERT_EQ(Take(), (Events{"restore", "status 1"}));
  }
  // A device that acknowledges and answers every command positively, with
  // the card status digits given, for n steps.
  void Serve(int n, const Bytes& status = "00") {
    for (int i = 0; i < n; ++i) {
      Ticks(1);
      const Bytes w = TakeWritten();
      if (w.size() >= 4 && w[0] == '\x02') {
        Feed(kAck);
        TakeWritten();
        Feed(Answer(Bytes("P") + w[2] + "0" + status));
      }
    }
  }
  // The next status request answered with a card at the entrance.
  void OfferCard() {
    Ticks(5);
    ASSERT_EQ(TakeWritten(), Command("C10"));
    Exchange(Answer("P1001"));
  }
  // Switched on afresh on a new port, and a card offered in read mode: its
  // read has just gone out.
  void ReadGoesOut() {
    reader->SetActive(false);
    seen = 0;
    port = serial.AddPort(kPort);
    Up();
    OfferCard();
    Take();
    ASSERT_EQ(TakeWritten(), Command("C62"));
  }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSerialBadgeWriter2> reader;
  Events events;
  size_t seen = 0;
};

TEST(SW30Frames, StatusRequestFrameAndCheckCharacter) {
  EXPECT_EQ(FrameCommand("C10"), Bytes("\x02"
                                       "C10\x03\x41"));
  EXPECT_EQ(ComputeBCC(""), 0);
  EXPECT_EQ(ComputeBCC("\x10\x04\x03"), 0x17);
}

TEST_F(SW30Test, PortSettingsOpeningAndIdlePolling) {
  Up();
  EXPECT_EQ(port->LastSettings().baudRate, 9600u);
  EXPECT_EQ(port->LastSettings().dataBits, 8);
  EXPECT_EQ(port->LastSettings().stopBits, 0);
  EXPECT_EQ(reader->Status(), sdAttivo);
  EXPECT_EQ(reader->StatoTessera(), csNoBadge);
  EXPECT_EQ(reader->CurrentOperation(), opRead);
  // Idle: one status request every five steps, answered or not yet.
  for (int i = 0; i < 3; ++i) {
    Ticks(4);
    EXPECT_EQ(TakeWritten(), "");
    Ticks(1);
    EXPECT_EQ(TakeWritten(), Command("C10"));
    Exchange(Answer("P1000"));
  }
  EXPECT_TRUE(Take().empty()) << "an unchanged status says nothing";
}

TEST_F(SW30Test, CommandsWaitForTheOutstandingOneAndGoOutInOrder) {
  Up();
  Ticks(5);
  ASSERT_EQ(TakeWritten(), Command("C10"));
  reader->EjectTessera();
  reader->SetBuzzer(3);
  reader->SetLed(true, false, true, false);
  EXPECT_EQ(TakeWritten(), "") << "nothing goes out while a command is outstanding";
  EXPECT_EQ(P().QueuedCommands(), 3u);
  Exchange(Answer("P1000"));
  EXPECT_EQ(TakeWritten(), "") << "queued commands wait for the next idle step";
  // The eject's answer asks for the read-waiting light, behind the others.
  for (const char* text : {"C30", "C5C", "C55", "C58", "C10"}) {
    Ticks(5);
    EXPECT_EQ(TakeWritten(), Command(text));
    Exchange(Answer(Bytes("P") + text[1] + "000"));
  }
}

TEST_F(SW30Test, CommandTexts) {
  struct Case {
    std::function<void()> call;
    Bytes text;
  } cases[] = {
      {[&] { reader->SetLed(true, true, true, true); }, "C5?"},
      {[&] { reader->SetLed(false, true, false, false); }, "C52"},
      {[&] { reader->SetBuzzer(10); }, "C5B"},
      {[&] { reader->SetReadWriteRetry(9); }, "C>1"},
      {[&] { reader->CaptureTessera(); }, "C20"},
      {[&] { reader->ReadTessera(3); }, "C63"},
      {[&] { reader->EjectBack(); }, "C31"},
  };
  Up();
  // A card inside: reads go out at once.
  Ticks(5);
  TakeWritten();
  Exchange(Answer("P1002"));
  EXPECT_EQ(Take(), (Events{"status 2"}));
  for (const auto& c : cases) {
    c.call();
    EXPECT_EQ(TakeWritten(), Command(c.text));
    Exchange(Answer(Bytes("P") + c.text[1] + "002"));
  }
  EXPECT_EQ(TakeWritten(), Command("C58")) << "an eject returns to the read-waiting light";
  Exchange(Answer("P5002"));
  // A version answer carries its text.
  Ticks(5);
  EXPECT_EQ(TakeWritten(), Command("C10"));
  Exchange(Answer("P<002V1.2"));
  EXPECT_EQ(reader->DispVersion(), "V1.2");
}

TEST_F(SW30Test, ACardOfferedInReadModeIsReadOnTheCurrentTrack) {
  struct Case {
    std::int32_t track;
    Bytes command;
  } cases[] = {{2, "C62"}, {1, "C61"}, {3, "C63"}};
  for (const auto& c : cases) {
    reader->SetActive(false);
    reader->SetTrack(c.track);
    seen = 0;
    port = serial.AddPort(kPort);
    Up();
    OfferCard();
    EXPECT_EQ(Take(), (Events{"status 3"}));
    EXPECT_EQ(TakeWritten(), Command(c.command)) << "the read goes out at once";
    Exchange(Answer("P6002ROSSI 4711"));
    EXPECT_EQ(Take(), (Events{"status 2", "read ROSSI 4711"}));
    EXPECT_EQ(reader->GetReadData(), "ROSSI 4711");
    // The card stays inside: later status answers read nothing more.
    Serve(20, "02");
    EXPECT_TRUE(Take().empty());
  }
}

TEST_F(SW30Test, ACardAlreadyAtTheEntranceOrOfferedBeforeInitialisingIsNotRead) {
  reader->SetActive(true);
  TakeWritten();
  Ticks(4);
  Feed(kDle);
  // No ACK yet: the device has not confirmed a command since the reset.
  Feed(Answer("P1000"));
  Feed(Answer("P1001"));
  EXPECT_EQ(Take(), (Events{"restore", "status 1", "status 3"}));
  Ticks(5);
  EXPECT_EQ(TakeWritten(), Command("C0032402000000")) << "initialised instead of read";
}

TEST_F(SW30Test, AWriteWithNoCardWaitsForOneWithCheckDigitsAndCipher) {
  reader->SetCrypt(true);
  reader->SetCheckCRCTes(true);
  Up();
  const Bytes plain = "0012345678";
  const Bytes stored = EncodeTessera(plain + WordToDigits(TesseraChecksum(plain), 2));
  reader->WriteCard(plain);
  EXPECT_EQ(TakeWritten(), Command("C54")) << "the write-waiting light";
  EXPECT_EQ(reader->CurrentOperation(), opWrite);
  Exchange(Answer("P5000"));
  Serve(30);
  EXPECT_EQ(reader->CurrentOperation(), opWrite) << "no card, no write";
  OfferCard();
  EXPECT_EQ(TakeWritten(), Command("C72" + stored));
  Exchange(Answer("P7002"));
  EXPECT_EQ(Take(), (Events{"status 3", "status 2", "written"}));
  EXPECT_EQ(reader->CurrentOperation(), opRead);

  // Read back from the card inside: the same text.
  reader->ReadCard();
  EXPECT_EQ(TakeWritten(), Command("C62"));
  Exchange(Answer("P6002" + stored));
  EXPECT_EQ(Take(), (Events{"read " + plain}));
}

TEST_F(SW30Test, AHeldWriteKeepsItsOwnTrack) {
  Up();
  reader->WriteTessera("ABC", 1);  // reading stays on track 2
  TakeWritten();
  Exchange(Answer("P5000"));
  OfferCard();
  EXPECT_EQ(TakeWritten(), Command("C71ABC"));
}

class SW30WriteExpiry : public SW30Test, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(SW30WriteExpiry, OnlyAPositiveTimeoutEndsAHeldWrite) {
  loop.SetTime(GetParam());
  // Set while off: the protocol made later keeps it.
  reader->SetTimeoutWrite(1);
  Up();
  reader->WriteTessera("77", 2);
  TakeWritten();
  Exchange(Answer("P5000"));
  Serve(16);  // 880 ms
  EXPECT_EQ(reader->CurrentOperation(), opWrite);
  Serve(5);
  EXPECT_EQ(reader->CurrentOperation(), opRead) << "expired after a second";
  OfferCard();
  EXPECT_EQ(TakeWritten(), Command("C62")) << "a card offered now is read";
  Take();

  reader->SetActive(false);
  reader->SetTimeoutWrite(0);
  seen = 0;
  port = serial.AddPort(kPort);
  Up();
  reader->WriteTessera("77", 2);
  TakeWritten();
  Exchange(Answer("P5000"));
  Serve(2000);  // 110 s
  EXPECT_EQ(reader->CurrentOperation(), opWrite) << "with no limit a held write waits on";
}

INSTANTIATE_TEST_SUITE_P(AcrossTheTickWrap, SW30WriteExpiry,
                         ::testing::Values(0ull, (1ull << 32) - 500));

TEST_F(SW30Test, NegativeAnswers) {
  struct Case {
    Bytes answer;
    Events events;
    bool ejects;
  } cases[] = {
      {"N6024", {"badcrc"}, true},
      {"N6025", {"badinsert"}, true},
      {"N6023", {"fail"}, true},
      {"N6099", {"fail"}, true},
      {"N7020", {"error Error writing"}, true},
      {"N5002", {"error Cannot execute"}, true},
      {"N3010", {"error Card Jammed"}, false},
      {"N7003", {"error "}, true},
  };
  Up();
  Ticks(5);
  TakeWritten();
  Exchange(Answer("P1002"));
  Take();
  for (const auto& c : cases) {
    reader->ReadCard();
    TakeWritten();
    Exchange(Answer(c.answer));
    EXPECT_EQ(Take(), c.events) << c.answer;
    // A failed command ejects the card, except a failed eject.
    EXPECT_EQ(TakeWritten(), c.ejects ? Command("C30") : "") << c.answer;
    EXPECT_EQ(reader->CurrentOperation(), opRead);
    if (c.ejects) {
      Exchange(Answer("P3002"));
      Ticks(5);
      EXPECT_EQ(TakeWritten(), Command("C58")) << "back to the read-waiting light";
      Exchange(Answer("P5002"));
      Serve(15, "02");
    }
    EXPECT_TRUE(Take().empty()) << c.answer;
  }
}

TEST_F(SW30Test, PowerDownMakesTheNextIdleStepInitialise) {
  Up();
  reader->SetBuzzer(1);
  TakeWritten();
  Exchange(Answer("N5030"));
  EXPECT_EQ(Take(), (Events{"error Power down"}));
  EXPECT_EQ(TakeWritten(), Command("C30"));
  // The device ends the eject without acknowledging it.
  Feed(kDle);
  // The device lost its settings; the queued light goes with the old queue.
  Ticks(5);
  EXPECT_EQ(TakeWritten(), Command("C0032402000000"));
  for (const char* text : {"C:0", "C:0", "C58", "C10"}) {
    Exchange(Answer("P0000"));
    Ticks(5);
    EXPECT_EQ(TakeWritten(), Command(text));
  }
}

TEST_F(SW30Test, AckWithNothingOutstandingEndsTheDevicesExchange) {
  Up();
  Feed(kAck);
  EXPECT_EQ(TakeWritten(), kDleEot);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SW30Test, UnansweredCommandsAreSentThreeTimesMoreThenTimeOutOnce) {
  Up();
  Ticks(5);
  const Bytes c10 = Command("C10");
  ASSERT_EQ(TakeWritten(), c10);
  Ticks(9);
  EXPECT_EQ(TakeWritten(), "");
  Ticks(1);
  EXPECT_EQ(TakeWritten(), c10) << "ten steps without ACK: first resend";
  Ticks(10);
  EXPECT_EQ(TakeWritten(), c10);
  // After an ACK the answer is waited for longer.
  Feed(kAck);
  TakeWritten();
  Ticks(72);
  EXPECT_EQ(TakeWritten(), "");
  Ticks(1);
  EXPECT_EQ(TakeWritten(), c10) << "third resend";
  EXPECT_TRUE(Take().empty());
  Ticks(72);
  EXPECT_TRUE(Take().empty());
  Ticks(1);
  EXPECT_EQ(Take(), (Events{"timeout"})) << "the fourth expiry";
  EXPECT_EQ(TakeWritten(), "");
  EXPECT_EQ(reader->Status(), sdTimeout);
  // Silence after that says nothing more; the device is initialised again.
  Ticks(5);
  EXPECT_EQ(TakeWritten(), Command("C0032402000000"));
  Ticks(200);
  EXPECT_TRUE(Take().empty());
  Feed(kAck);
  Feed(Answer("P0000"));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
  EXPECT_EQ(reader->Status(), sdAttivo);
}

TEST_F(SW30Test, NakResendsEveryOtherTimeAndRefusesAfterTheThird) {
  Up();
  Ticks(5);
  const Bytes c10 = Command("C10");
  ASSERT_EQ(TakeWritten(), c10);
  // The device has acknowledged before: the first NAK only clears that.
  const Bytes after[] = {"", c10, "", c10, ""};
  for (const Bytes& w : after) {
    Feed(kNak);
    EXPECT_EQ(TakeWritten(), w);
  }
  EXPECT_TRUE(Take().empty());
  Feed(kNak);
  EXPECT_EQ(Take(), (Events{"error Communication error"})) << "refused three times";
  EXPECT_EQ(TakeWritten(), "");
  // With nothing outstanding a NAK sends nothing again.
  Feed(kNak);
  Feed(kNak);
  EXPECT_EQ(TakeWritten(), "");
  EXPECT_TRUE(Take().empty());
}

TEST_F(SW30Test, AWrongCheckCharacterGetsANakAndNothingElse) {
  Up();
  OfferCard();
  Take();
  ASSERT_EQ(TakeWritten(), Command("C62"));
  Feed(kAck);
  TakeWritten();
  Bytes bad = Answer("P60024711");
  bad.back() = static_cast<char>(bad.back() ^ 1);
  Feed(bad);
  EXPECT_EQ(TakeWritten(), kNak);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(P().PendingOperationState(), 2) << "the answer is still awaited";
  Feed(Answer("P60024711"));
  EXPECT_EQ(Take(), (Events{"status 2", "read 4711"}));
}

// Data of a read answer whose check character is the byte given.
Bytes ReadAnswerWithCheck(std::uint8_t check) {
  Bytes text = "P6002ABCD";
  unsigned bcc = 0x03;
  for (unsigned char c : text) bcc ^= c;
  text.push_back(static_cast<char>(bcc ^ check ^ 'Z'));
  text += "Z";
  return Answer(text);
}

TEST_F(SW30Test, BadOrUnusualAnswersNeverTypeAWrongBadge) {
  struct Case {
    const char* name;
    Bytes bytes;
    Events events;
  } cases[] = {
      {"status digits 03", Answer("P6003XY"), {}},
      {"status digits not digits", Answer("P60 2XY"), {}},
      {"error code not digits", Answer("N60A5"), {}},
      {"too short", Answer("P60"), {}},
      {"no text", Answer(""), {}},
      {"over 200 bytes", Answer("P6002" + Bytes(196, '7')), {}},
      {"stray ETX before any STX", "\x03\x41" + Answer("P60027"), {"status 2", "read 7"}},
      {"a new STX restarts the answer", "\x02P6002XX" + Answer("P60028"), {"status 2", "read 8"}},
      {"exactly 200 bytes",
       Answer("P6002" + Bytes(194, '9')),
       {"status 2", "read " + Bytes(194, '9')}},
      {"an unknown kind closes the exchange", Answer("X6002XY"), {}},
  };
  const Bytes controls("\x02\x03\x05\x06\x10\x15", 6);
  for (char control : controls) {
    const Bytes a = ReadAnswerWithCheck(static_cast<std::uint8_t>(control));
    ASSERT_EQ(a.back(), control);
    ASSERT_EQ(a.substr(1, a.size() - 3).find_first_of(controls), Bytes::npos);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadGoesOut();
    Feed(kAck);
    TakeWritten();
    Feed(c.bytes);
    EXPECT_EQ(Take(), c.events) << c.name;
    EXPECT_EQ(TakeWritten(), "") << c.name;
  }
  // A check character that happens to be a control byte is still the check.
  for (char control : controls) {
    ReadGoesOut();
    Exchange(ReadAnswerWithCheck(static_cast<std::uint8_t>(control)));
    const Events e = Take();
    ASSERT_EQ(e.size(), 2u) << int(control);
    EXPECT_EQ(e[1].substr(0, 9), "read ABCD") << int(control);
    EXPECT_EQ(TakeWritten(), "") << int(control);
  }
}

TEST_F(SW30Test, AReadAnswerComesOnlyForTheReadAskedFor) {
  Up();
  // Unasked: no read.
  Feed(Answer("P6000LOOSE"));
  OfferCard();
  Take();
  TakeWritten();
  // A stray ACK before the device's own: the host asks twice, and the
  // device answers twice.
  Feed(kAck);
  Feed(kAck);
  Feed(Answer("P60024711"));
  Feed(Answer("P60024711"));
  EXPECT_EQ(Take(), (Events{"status 2", "read 4711"}));
  EXPECT_EQ(reader->GetReadData(), "4711");
}

TEST_F(SW30Test, AReadCutShortByADleIsAskedForAgainThenFails) {
  const Bytes answer = Answer("P60020012345678");
  const Bytes cut = answer.substr(0, 8) + kDle + answer.substr(8);
  const Events read{"read 0012345678"};
  struct Case {
    const char* name;
    std::vector<Bytes> answers;  // to the read, then to each read asked again
    Events events;
  } cases[] = {
      {"cut once", {cut, answer}, read},
      {"cut twice", {cut, cut, answer}, read},
      {"cut every time", {cut, cut, cut}, {"fail"}},
      {"a DLE before the answer, which comes all the same", {kDle + answer}, read},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReadGoesOut();
    Events events;
    const auto takeReads = [&] {
      for (auto& e : Take())
        if (e.rfind("status", 0) != 0) events.push_back(e);
    };
    for (size_t i = 0; i < c.answers.size(); ++i) {
      if (i > 0) {
        Ticks(5);
        ASSERT_EQ(TakeWritten(), Command("C62")) << c.name << ": asked again, " << i;
      }
      Exchange(c.answers[i]);
      takeReads();
    }
    // The card stays inside; nothing more is read or asked of it.
    const size_t before = seen;
    Serve(20, "02");
    takeReads();
    EXPECT_EQ(events, c.events) << c.name;
    EXPECT_EQ(port->Written().substr(before).find(Command("C62")), Bytes::npos) << c.name;
  }
}

TEST_F(SW30Test, AnAnswerNotUnderstoodIsAskedForAgain) {
  Up();
  OfferCard();
  Take();
  TakeWritten();
  Exchange(Answer("P6007XY"));
  EXPECT_TRUE(Take().empty());
  Ticks(73);
  EXPECT_EQ(TakeWritten(), Command("C62")) << "the read is sent again";
  Exchange(Answer("P6002XY"));
  EXPECT_EQ(Take(), (Events{"status 2", "read XY"}));
}

TEST_F(SW30Test, SwitchingOffPutsTheLightsOut) {
  Up();
  reader->SetActive(false);
  EXPECT_EQ(port->Written().substr(seen), Command("C50"));
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(SW30Test, ALostPortIsAReaderProblemShownOnceAndComesBack) {
  Up();
  port->HangUp();
  port->openError = "No such file or directory";
  // Seen by the next status request at the latest.
  Ticks(7);
  EXPECT_EQ(Take(), (Events{"timeout"}));
  EXPECT_EQ(reader->Status(), sdTimeout);
  Ticks(100);
  EXPECT_TRUE(Take().empty()) << "shown once";

  port = serial.AddPort(kPort);
  seen = 0;
  Ticks(2);
  ASSERT_TRUE(port->IsOpen());
  EXPECT_EQ(TakeWritten(), Command(kDleEot)) << "started over on the new line";
  Feed(kAck);
  TakeWritten();
  Feed(kDle);
  Ticks(5);
  EXPECT_EQ(TakeWritten(), Command("C10"));
  Exchange(Answer("P1000"));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
  OfferCard();
  EXPECT_EQ(TakeWritten(), Command("C62"));
  Exchange(Answer("P600299"));
  EXPECT_EQ(Take(), (Events{"status 3", "status 2", "read 99"}));
}

TEST_F(SW30Test, APortMissingAtStartIsRetriedUntilItAppears) {
  port->openError = "No such file or directory";
  EXPECT_THROW(reader->SetActive(true), ECommError);
  EXPECT_TRUE(reader->Active());
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  Ticks(20);
  EXPECT_TRUE(Take().empty());
  port->openError.clear();
  Ticks(1);
  ASSERT_TRUE(port->IsOpen());
  EXPECT_EQ(TakeWritten(), Command(kDleEot));
  Feed(kAck);
  Feed(Answer("P0000"));
  EXPECT_EQ(Take(), (Events{"restore", "status 1"}));
}

TEST_F(SW30Test, ModelTracksAndRegistration) {
  for (std::int32_t bad : {0, 4, 7}) {
    EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(bad); }),
              "Tack value invalid: use 1 or 2 or 3");
  }
  EXPECT_EQ(reader->Track(), 2);
  EXPECT_EQ(reader->CurrentOperation(), 0) << "nothing without a protocol";
  RegisterReaderModels();
  const TBadgeReaderClass* cls = FindBadgeReader("sw-30");
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->IsWriter());
  EXPECT_TRUE(cls->TrackSupported(3));
  EXPECT_FALSE(cls->TrackSupported(4));
  EXPECT_TRUE(cls->CoercitivitySupported(loco));
  EXPECT_FALSE(cls->CoercitivitySupported(hico));
  EXPECT_FALSE(cls->IsStripe());
  UnregisterReaderModels();
  EXPECT_EQ(FindBadgeReader("SW-30"), nullptr);
}

}  // namespace
}  // namespace lumbra
