#include "reader/BadgeReader2.h"

#include <gtest/gtest.h>

#include "platform/MessageBox.h"
#include "platform/fake/FakeMessageLoop.h"
#include "support/TestReader.h"

namespace lumbra {
namespace {

using test::Knobs;
using test::kTestMultiModel;
using test::kTestTrack2Model;
using test::TTestBadgeReader;

class RecordingBox : public platform::IMessageBox {
 public:
  void Show(const std::string& text, const std::string&, platform::MessageKind) override {
    shown.push_back(text);
  }
  std::vector<std::string> shown;
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    platform::SetMessageBox(&box);
    test::RegisterTestReaders();
  }
  void TearDown() override {
    facade.reset();
    test::UnregisterTestReaders();
    platform::SetMessageBox(nullptr);
  }
  TTestBadgeReader* Driver() { return static_cast<TTestBadgeReader*>(facade->Reader()); }
  void Running(const char* model) {
    facade->SetModel(model);
    facade->SetActive(true);
    ASSERT_TRUE(facade->Active());
  }

  platform::FakeMessageLoop loop;
  RecordingBox box;
  Owned<TBadgeReader2> facade{new TBadgeReader2(nullptr)};
};

TEST_F(FacadeTest, ANewFacadeIsGreyWithDefaultsAndNoDriver) {
  EXPECT_EQ(facade->Color(), clReaderOff);
  EXPECT_EQ(facade->Model(), "SLU-20");
  EXPECT_EQ(facade->COM(), "USB ANY");
  EXPECT_EQ(facade->Track(), 2);
  EXPECT_EQ(facade->Startmm(), 7.5L);
  EXPECT_TRUE(facade->CheckCRCTes());
  EXPECT_TRUE(facade->TkCrypt());
  EXPECT_EQ(facade->Reader(), nullptr);
  EXPECT_FALSE(facade->Active());
  EXPECT_EQ(facade->Status(), sdTimeout);
  EXPECT_EQ(facade->StatoLettore(), sdStart);
  EXPECT_EQ(facade->StatoTessera(), 1);
  EXPECT_EQ(facade->CurrentOperation(), 0);
}

TEST_F(FacadeTest, ClassQueriesAnswerForTheConfiguredModelWithoutADriver) {
  EXPECT_FALSE(facade->TrackSupported(2));  // "SLU-20" is not registered here
  EXPECT_FALSE(facade->isStripe());
  facade->SetModel(kTestTrack2Model);
  facade->SetActive(false);  // releases the inactive driver the model change made
  ASSERT_EQ(facade->Reader(), nullptr);
  EXPECT_TRUE(facade->TrackSupported(2));
  EXPECT_FALSE(facade->TrackSupported(1));
  EXPECT_FALSE(facade->isWriter());
  EXPECT_TRUE(facade->isStripe());
  EXPECT_TRUE(facade->CoercitivitySupported(loco));
  EXPECT_FALSE(facade->CoercitivitySupported(hico));
}

TEST_F(FacadeTest, AnUnknownModelAtSwitchOnIsRefusedAndTheColourStays) {
  try {
    facade->SetActive(true);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Model not defined");
  }
  EXPECT_EQ(facade->Color(), clReaderOff);
  EXPECT_EQ(facade->Reader(), nullptr);
}

TEST_F(FacadeTest, AnUnsupportedTrackFallsBackToTheModelsFirstTrack) {
  facade->SetTrack(1);
  Running(kTestTrack2Model);
  EXPECT_EQ(facade->Track(), 2);
  EXPECT_EQ(Driver()->Track(), 2);
  EXPECT_TRUE(box.shown.empty());
  // A running driver that refuses a track keeps the old one and the caller hears of it.
  EXPECT_THROW(facade->SetTrack(3), EBadgeError);
  EXPECT_EQ(facade->Track(), 2);
}

TEST_F(FacadeTest, AnInvalidModelLeavesTheRunningDriverAlone) {
  Running(kTestMultiModel);
  TCustomBadgeReader* before = facade->Reader();
  try {
    facade->SetModel("NO-SUCH");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Invalid model");
  }
  EXPECT_EQ(facade->Model(), kTestMultiModel);
  EXPECT_EQ(facade->Reader(), before);
  EXPECT_TRUE(facade->Active());
}

TEST_F(FacadeTest, TheConfigurationSurvivesSwitchingOffAndOn) {
  facade->SetCoercitivity(hico);  // before the model: no driver yet, so it is remembered
  facade->SetModel(kTestMultiModel);
  facade->SetCOM("/dev/ttyS3");
  facade->SetTrack(7);
  facade->SetBpi(210);
  facade->SetStartmm(9.25L);
  facade->SetCheckCRCTes(false);
  facade->SetTkCrypt(false);
  facade->SetActive(true);
  facade->SetActive(false);
  EXPECT_EQ(facade->Reader(), nullptr);
  EXPECT_EQ(facade->Color(), clReaderOff);
  int createdBefore = Knobs().created;
  facade->SetActive(true);
  EXPECT_EQ(Knobs().created, createdBefore + 1);
  TTestBadgeReader* d = Driver();
  EXPECT_EQ(d->COM(), "/dev/ttyS3");
  EXPECT_EQ(d->Track(), 7);
  EXPECT_EQ(d->Bpi(), 210);
  EXPECT_EQ(d->Startmm(), 9.25L);
  EXPECT_FALSE(d->CheckCRCTes());
  EXPECT_FALSE(d->Crypt());
  EXPECT_EQ(d->Coercitivity(), hico);
}

TEST_F(FacadeTest, EventsAreRelayedWithTheFacadeAsSenderAndColourFollowsTheDevice) {
  std::vector<std::pair<std::string, TObject*>> seen;
  facade->OnTimeout = [&](TObject* s) { seen.emplace_back("timeout", s); };
  facade->OnRestore = [&](TObject* s) { seen.emplace_back("restore", s); };
  facade->OnReadedBadge = [&](TObject* s, const AnsiString& t) {
    seen.emplace_back("read " + t, s);
  };
  facade->OnError = [&](TObject* s, std::uint8_t c, std::uint8_t e, const std::string& m) {
    seen.emplace_back("error " + std::to_string(c) + "/" + std::to_string(e) + " " + m, s);
  };
  facade->SetTrack(1);
  Running(kTestMultiModel);
  EXPECT_EQ(facade->Color(), clReaderRunning);
  Driver()->Protocol()->Post(WM_DISP_TIMEOUT, 0, 0);
  ASSERT_TRUE(loop.PumpUntil([&] { return seen.size() == 1; }));
  EXPECT_EQ(facade->Color(), clReaderFault);
  Driver()->Protocol()->Post(WM_DISP_RESTORE, 0, 0);
  Driver()->Protocol()->Swipe("ABC");
  Driver()->Protocol()->Post(WM_DISP_ERROR, 54, 25);
  ASSERT_TRUE(loop.PumpUntil([&] { return seen.size() == 4; }));
  EXPECT_EQ(facade->Color(), clReaderRunning);
  std::vector<std::string> names;
  for (const auto& [name, sender] : seen) {
    names.push_back(name);
    EXPECT_EQ(sender, facade.get()) << name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"timeout", "restore", "read ABC",
                                             "error 54/25 Blank Track"}));
}

TEST_F(FacadeTest, SwitchOnColourFollowsTheDeviceStatus) {
  Knobs().initialStatus = sdTimeout;
  Running(kTestMultiModel);
  EXPECT_EQ(facade->Color(), clReaderFault);
  facade->SetActive(false);
  Knobs().initialStatus = sdAttivo;
  facade->SetActive(true);
  EXPECT_EQ(facade->Color(), clReaderRunning);
}

TEST_F(FacadeTest, APortChangeWhileRunningRestartsTheDriverOnTheNewPort) {
  Knobs().comSuffix = "!";  // the driver adjusts what it is given
  Running(kTestMultiModel);
  TCustomBadgeReader* d = facade->Reader();
  facade->SetCOM("/dev/pts/4");
  EXPECT_EQ(facade->Reader(), d);  // same driver, stopped and started again
  EXPECT_TRUE(facade->Active());
  EXPECT_EQ(d->COM(), "/dev/pts/4!");
  EXPECT_EQ(facade->COM(), "/dev/pts/4!");
  int created = Knobs().created;
  facade->SetCOM("/dev/pts/4!");  // the same value again does nothing
  EXPECT_EQ(d->COM(), "/dev/pts/4!");
  EXPECT_EQ(Knobs().created, created);
}

TEST_F(FacadeTest, StartOffsetZeroIsIgnored) {
  facade->SetStartmm(0);
  EXPECT_EQ(facade->Startmm(), 7.5L);
  facade->SetStartmm(8);
  EXPECT_EQ(facade->Startmm(), 8.0L);
}

TEST_F(FacadeTest, CoercivityGoesToTheDriverOnlyWhileOneExists) {
  Running(kTestMultiModel);
  facade->SetCoercitivity(hico);
  EXPECT_EQ(facade->Coercitivity(), hico);  // read from the driver
  facade->SetActive(false);
  EXPECT_EQ(facade->Coercitivity(), loco);  // the remembered value was never changed
}

TEST_F(FacadeTest, AFailedSetUpIsShownAndSwitchOnEndsRed) {
  facade->SetModel(kTestMultiModel);
  facade->SetActive(false);
  Knobs().failConfigure = true;
  int destroyed = Knobs().destroyed;
  EXPECT_NO_THROW(facade->SetActive(true));
  EXPECT_EQ(box.shown, (std::vector<std::string>{"Port refused"}));
  EXPECT_EQ(facade->Reader(), nullptr);
  EXPECT_EQ(Knobs().destroyed, destroyed + 1);
  EXPECT_EQ(facade->Color(), clReaderFault);
}

TEST_F(FacadeTest, AFailedActivationIsRedAndReachesTheCaller) {
  facade->SetModel(kTestMultiModel);
  Knobs().failActivate = true;
  EXPECT_THROW(facade->SetActive(true), EBadgeError);
  EXPECT_EQ(facade->Color(), clReaderFault);
  EXPECT_FALSE(facade->Active());
}

TEST_F(FacadeTest, ReleaseTakesTheDriverWith) {
  Running(kTestMultiModel);
  int destroyed = Knobs().destroyed;
  facade.reset();
  EXPECT_EQ(Knobs().destroyed, destroyed + 1);
}

}  // namespace
}  // namespace lumbra
