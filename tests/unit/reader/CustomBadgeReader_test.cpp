#include "reader/CustomBadgeReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/AppException.h"
#include "comm/wmProtocol.h"
#include "platform/fake/FakeMessageLoop.h"
#include "reader/TrackData.h"
#include "support/TestReader.h"

namespace lumbra {
namespace {

using test::TTestBadgeReader;

// Every event of a driver, as one line of text each.
struct EventLog {
  std::vector<std::string> lines;
  void Attach(TCustomBadgeReader& r) {
    r.OnReadedBadge = [this](TObject*, const AnsiString& t) { lines.push_back("read " + t); };
    r.OnChangedBadgeStatus = [this](TObject*, std::int32_t s) {
      lines.push_back("status " + std::to_string(s));
    };
    r.OnBadCRCData = [this](TObject*) { lines.push_back("badcrc"); };
    r.OnFailReadBadge = [this](TObject*) { lines.push_back("fail"); };
    r.OnBadInsertBadge = [this](TObject*) { lines.push_back("badinsert"); };
    r.OnTimeout = [this](TObject*) { lines.push_back("timeout"); };
    r.OnRestore = [this](TObject*) { lines.push_back("restore"); };
    r.OnError = [this](TObject*, std::uint8_t c, std::uint8_t e, const std::string& m) {
      lines.push_back("error " + std::to_string(c) + " " + std::to_string(e) + " " + m);
    };
    r.OnWritedBadge = [this](TObject*) { lines.push_back("written"); };
  }
};

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    test::RegisterTestReaders();
    log.Attach(*reader);
  }
  void TearDown() override {
    reader.reset();
    test::UnregisterTestReaders();
  }
  // Posts from the protocol's thread and waits until the UI thread handled it.
  void FromDevice(std::uint32_t msg, WPARAM w, LPARAM l) {
    size_t before = handled();
    reader->Protocol()->Post(msg, w, l);
    ASSERT_TRUE(loop.PumpUntil([&] { return handled() > before; }));
  }
  size_t handled() {
    size_t n = 0;
    for (const auto& p : loop.Posts()) n += p.accepted;
    return n - loop.QueuedCount();
  }
  AnsiString ReadOnce(const AnsiString& raw) {
    log.lines.clear();
    reader->Protocol()->Swipe(raw);
    EXPECT_TRUE(loop.PumpUntil([&] { return !log.lines.empty(); }));
    return log.lines.empty() ? "" : log.lines.front();
  }

  platform::FakeMessageLoop loop;
  Owned<TTestBadgeReader> reader{new TTestBadgeReader(nullptr)};
  EventLog log;
};

TEST_F(ReaderTest, TrackTwoReadsAreDecodedCheckedAndStripped) {
  const AnsiString plain = "1234";
  const AnsiString withCheck = plain + WordToDigits(TesseraChecksum(plain), 2);  // 123403
  struct Case {
    bool crypt, check;
    AnsiString raw;
    std::string event;
  } cases[] = {
      {false, false, "123403", "read 123403"},
      {false, true, "123403", "read 1234"},
      {false, true, "123404", "badcrc"},
      {true, false, EncodeTessera("5678"), "read 5678"},
      {true, true, EncodeTessera(withCheck), "read 1234"},
      {true, true, EncodeTessera("123404"), "badcrc"},
      {true, true, "", "badcrc"},
  };
  reader->SetActive(true);
  for (const auto& c : cases) {
    reader->SetCrypt(c.crypt);
    reader->SetCheckCRCTes(c.check);
    EXPECT_EQ(ReadOnce(c.raw), c.event) << c.crypt << c.check << " " << c.raw;
    EXPECT_EQ(log.lines.size(), 1u);  // a failed check raises nothing else
  }
  EXPECT_EQ(reader->LastTessera(), "1234");  // failed checks keep the last good read
}

TEST_F(ReaderTest, OtherTrackCodesPassUnchanged) {
  reader->SetActive(true);
  const AnsiString raw = std::string("123403") + TrackSeparator + "99";
  for (int track : {1, 3, 4, 5, 6, 7}) {
    reader->SetTrack(track);
    EXPECT_EQ(ReadOnce(raw), "read " + raw) << track;
  }
}

// Reads the protocol's thread posts while the UI thread is busy: each one is
// handled with its own badge, the track 2 processing included, also when the
// protocol is freed before the window gets to them.
TEST_F(ReaderTest, ReadsWaitingTogetherKeepTheirOwnBadges) {
  auto withCheck = [](const AnsiString& s) {
    return EncodeTessera(s + WordToDigits(TesseraChecksum(s), 2));
  };
  const AnsiString spoilt = EncodeTessera("333300");
  for (bool freed : {false, true}) {
    SCOPED_TRACE(freed ? "protocol freed" : "protocol kept");
    reader->SetActive(true);
    log.lines.clear();
    const size_t before = loop.QueuedCount();
    reader->Protocol()->Swipe(withCheck("1111"));
    reader->Protocol()->Swipe(spoilt);
    reader->Protocol()->Swipe(withCheck("2222"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (loop.QueuedCount() < before + 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(loop.QueuedCount(), before + 3) << "all three wait before any is handled";
    if (freed) reader->SetActive(false);
    loop.RunUntilIdle();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"read 1111", "badcrc", "read 2222"}));
    EXPECT_EQ(reader->LastTessera(), "2222");
    reader->SetActive(false);
  }
  // A read posted without a text of its own still takes the protocol's last one.
  reader->SetActive(true);
  reader->Protocol()->Swipe(withCheck("4444"));
  ASSERT_TRUE(loop.PumpUntil([&] { return log.lines.size() == 4; }));
  FromDevice(WM_TESSERA_READ, 0, trDataReady);
  EXPECT_EQ(log.lines.back(), "read 4444");
}

TEST_F(ReaderTest, NotificationMessagesBecomeEvents) {
  reader->SetActive(true);
  struct Case {
    std::uint32_t msg;
    WPARAM w;
    LPARAM l;
    std::vector<std::string> events;
  } cases[] = {
      {WM_TESSERA_READ, 7, trReadFailed, {"fail"}},
      {WM_TESSERA_READ, 7, trCheckFailed, {"badcrc"}},
      {WM_TESSERA_READ, 7, 9, {}},
      {WM_TESSERA_STATUS, 7, 2, {"status 2"}},
      {WM_COMM_ERROR, 0, 0, {"error 0 0 Communication Error"}},
      {WM_DISP_TIMEOUT, 7, 0, {"timeout"}},
      {WM_DISP_RESTORE, 0, 0, {"restore"}},
      {WM_BAD_INSERT, 0, 0, {"badinsert"}},
      {WM_DISP_ERROR, 54, 22, {"error 54 22 Read Error"}},
      {WM_DISP_ERROR, 54, 3, {"error 54 3 "}},
      {WM_OPERATION_DONE, 55, 0, {"written"}},
      {WM_OPERATION_DONE, 60, 0, {}},
      {1228, 0, 0, {}},
  };
  for (const auto& c : cases) {
    log.lines.clear();
    FromDevice(c.msg, c.w, c.l);
    EXPECT_EQ(log.lines, c.events) << c.msg << " " << c.l;
  }
}

TEST_F(ReaderTest, DeviceErrorTexts) {
  struct Case {
    std::uint32_t code;
    const char* text;
  } cases[] = {{0, "Communication error"}, {1, "Communication error"}, {4, "Communication error"},
               {2, "Cannot execute"},      {3, ""},
               {5, "Time Error"},          {6, "Card Error"},
               {10, "Card Jammed"},        {17, "Card Jammed"},
               {18, "Card Jammed"},        {11, "Shutter Error"},
               {16, "Card Moved"},         {19, "Error communicating with IC processor"},
               {20, "Error writing"},      {21, "Read Error"},
               {24, "Read Error"},         {25, "Blank Track"},
               {26, ""},                   {27, "Card Entry Disabled"},
               {30, "Power down"},         {255, ""}};
  for (const auto& c : cases)
    EXPECT_EQ(TCustomBadgeReader::DeviceErrorText(c.code), c.text) << c.code;
}

TEST_F(ReaderTest, NoticesRaiseAnErrorOnlyWithTextAndAreAlwaysReleased) {
  struct Counting : TStdMessage {
    explicit Counting(int* c) : counter(c) {}
    ~Counting() override { ++*counter; }
    int* counter;
  };
  int released = 0;
  auto notice = [&](int tipo, const char* text) {
    auto m = std::make_unique<Counting>(&released);
    m->tipo = tipo;
    m->dataStr = text;
    ASSERT_TRUE(PostStdMessage(reader->Handle(), std::move(m)));
    loop.RunUntilIdle();
  };
  notice(0, "Port lost");
  notice(0, "");
  notice(1, "other kind");
  EXPECT_EQ(log.lines, (std::vector<std::string>{"error 0 0 Port lost"}));
  EXPECT_EQ(released, 3);
}

TEST_F(ReaderTest, ActivationRunsThePollingTimer) {
  reader->SetActive(true);
  EXPECT_TRUE(reader->Active());
  EXPECT_EQ(loop.TimerPeriod(reader->Handle(), kPollTimerId), 200u);
  loop.Advance(1000);
  EXPECT_EQ(reader->Protocol()->ticks.load(), 5);
  reader->SetActive(false);
  EXPECT_FALSE(loop.TimerRunning(reader->Handle(), kPollTimerId));
}

TEST_F(ReaderTest, ATimerThatCannotBeHadLeavesTheDriverOff) {
  loop.SetTimersFail(true);
  try {
    reader->TCustomBadgeReader::SetActive(true);
    FAIL() << "no exception";
  } catch (const EOutOfResources& e) {
    EXPECT_STREQ(e.what(), "Unable to allocate timer");
  }
  EXPECT_FALSE(reader->Active());
}

TEST_F(ReaderTest, WritingPreparesTrackTwo) {
  reader->SetCrypt(false);
  reader->WriteTessera("1234", 2);
  EXPECT_EQ(reader->writtenData, "123403");
  reader->SetCrypt(true);
  reader->WriteTessera("1234", 2);
  EXPECT_EQ(reader->writtenData, EncodeTessera("123403"));
  reader->WriteTessera("1234", 1);
  EXPECT_EQ(reader->writtenData, "1234");
  EXPECT_EQ(reader->writtenTrack, 1);
}

TEST_F(ReaderTest, BaseOperationsAndRefusals) {
  Owned<test::TTestTrack2Reader> plain(new test::TTestTrack2Reader(nullptr));
  try {
    plain->WriteTessera("1", 2);
    FAIL() << "no exception";
  } catch (const EBadgeError& e) {
    EXPECT_STREQ(e.what(), "Unsupported Badge Function");
  }
  EXPECT_EQ(plain->CurrentOperation(), 54);
  EXPECT_EQ(plain->DispVersion(), "1.0");
  plain->SetCoercitivity(hico);  // not supported: ignored without error
  EXPECT_EQ(plain->Coercitivity(), loco);
  reader->SetCoercitivity(hico);
  EXPECT_EQ(reader->Coercitivity(), hico);

  reader->TCustomBadgeReader::SetTrack(256);
  EXPECT_THROW(reader->WriteCard("1"), ERangeError);
  EXPECT_EQ(reader->writtenTrack, -1);
  reader->TCustomBadgeReader::SetTrack(-1);
  EXPECT_THROW(reader->ReadCard(), ERangeError);
}

TEST_F(ReaderTest, ReleaseSwitchesTheDriverOffThroughItsOwnOperation) {
  reader->SetActive(true);
  HWND h = reader->Handle();
  reader.reset();
  EXPECT_EQ(test::Knobs().destroyed, 1);
  EXPECT_FALSE(loop.TimerRunning(h, kPollTimerId));
  EXPECT_FALSE(loop.PostMessage(h, WM_TESSERA_READ, 0, 2));
}

// Registry.
class NamedReader : public TTestBadgeReader {
  LUMBRA_READER_CLASS(NamedReader)
 public:
  using TTestBadgeReader::TTestBadgeReader;
};

TEST(Registry, SortedCaseInsensitiveFirstRegistrationWins) {
  const std::vector<std::string> modelNames = {"SL-10",  "SLU-20", "SW-30",  "SWU-41", "SLU-43",
                                               "SLX-44", "SLU-42", "SLR-45", "SMW-46"};
  for (const auto& n : modelNames) RegisterBadgeReader(n, ReaderClassOf<NamedReader>());
  RegisterBadgeReader("sl-10", ReaderClassOf<TTestBadgeReader>());
  std::vector<std::string> models{"stale"};
  GetBadgeReaderModels(models);
  EXPECT_EQ(models, (std::vector<std::string>{"SL-10", "SLR-45", "SLU-20", "SLU-42", "SLU-43",
                                              "SLX-44", "SMW-46", "SW-30", "SWU-41"}));
  EXPECT_EQ(FindBadgeReader("sL-10"), &ReaderClassOf<NamedReader>());
  EXPECT_EQ(FindBadgeReader("XYZ"), nullptr);
  UnregisterBadgeReader("slu-20");
  EXPECT_EQ(FindBadgeReader("SLU-20"), nullptr);
  for (const auto& n : modelNames) UnregisterBadgeReader(n);
  GetBadgeReaderModels(models);
  EXPECT_TRUE(models.empty());
}

TEST(Registry, ClassQueriesNeedNoInstance) {
  test::RegisterTestReaders();
  const TBadgeReaderClass* t2 = FindBadgeReader(test::kTestTrack2Model);
  ASSERT_NE(t2, nullptr);
  EXPECT_TRUE(t2->TrackSupported(2));
  EXPECT_FALSE(t2->TrackSupported(1));
  EXPECT_FALSE(t2->IsWriter());
  EXPECT_TRUE(t2->IsStripe());
  EXPECT_FALSE(t2->CoercitivitySupported(hico));
  EXPECT_EQ(test::Knobs().created, 0);
  test::UnregisterTestReaders();
}

}  // namespace
}  // namespace lumbra
