#include "app/UEmuTas.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/tksimplecrypt2.h"
#include "app/uRCLocalize.h"
#include "base/Files.h"
#include "comm/wmProtocol.h"
#include "drivers/slu20/USBBadgeReader.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeMessageLoop.h"
#include "support/TestReader.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

using test::TTestBadgeReader;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    dir =
        fs::temp_directory_path() / ("lumbra-main-" + std::to_string(std::random_device{}()) + "-" +
                                     std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(dir);
    desktop.environment.exePath = (dir / "lumbra").string();
    desktop.environment.configDir = (dir / "config").string();
    test::Knobs() = test::TestReaderKnobs{};
    RegisterBadgeReader("SLX-44", ReaderClassOf<TTestBadgeReader>());
    RegisterBadgeReader("SL-10", ReaderClassOf<test::TTestTrack2Reader>());
  }
  void TearDown() override {
    main.reset();
    UnregisterBadgeReader("SLX-44");
    UnregisterBadgeReader("SL-10");
    fs::remove_all(dir);
  }

  TAppServices Services() {
    TAppServices s;
    s.typeKeys = [this](const std::string& keys, bool wait, bool slow) {
      typed.push_back(keys);
      EXPECT_TRUE(wait);
      EXPECT_FALSE(slow);
      events.push_back("typed");
      return !keys.empty();
    };
    s.enumComPorts = [] { return std::vector<std::string>{"/dev/ttyUSB0", "/dev/pts/3"}; };
    s.findUsbSerialPort = [this] { return usbPort; };
    s.findProlificPort = [] { return std::string("/dev/ttyUSB9"); };
    s.runPasswordDialog = [this](TTkETPwdDlg& dlg) {
      prompts.push_back(dlg.Prompt().Caption());
      if (answers.empty()) return false;
      auto [ok, text] = answers.front();
      answers.pop_front();
      dlg.Entry().SetText(text);
      return ok;
    };
    if (withLanguages)
      s.createLanguageManager = [this]() -> std::unique_ptr<TCustomLocalizeManager> {
        return std::make_unique<TRCLocalizeManager>((dir / "lang").string());
      };
    s.browseFile = [this](const std::string& title, const std::string& filter, std::string& name) {
      browsed.push_back(title + "|" + filter + "|" + name);
      if (browseAnswer.empty()) return false;
      name = browseAnswer;
      return true;
    };
    return s;
  }
  // The program's own language files, all or all but one.
  void LanguageFiles(const std::string& except = "") {
    withLanguages = true;
    fs::create_directories(dir / "lang");
    for (const auto& e : fs::directory_iterator(LUMBRA_LANG_DIR))
      if (e.path().extension() == ".lng" && e.path().filename() != Utf8Path(except))
        fs::copy_file(e.path(), dir / "lang" / e.path().filename());
  }
  void Settings(const std::string& body) {
    std::ofstream(dir / "lumbra.xml")
        << "<?xml version=\"1.0\"?><Configuration>" << body << "</Configuration>";
  }
  TTkEmuTasMain& Start() {
    main.reset(new TTkEmuTasMain(Services()));
    main->FormCreate();
    return *main;
  }
  TControl& C(const std::string& n) { return main->C(n); }
  TTestBadgeReader* Driver() {
    return static_cast<TTestBadgeReader*>(main->BadgeReader().Reader());
  }
  std::string Stored(const std::string& key) {
    TSettingsStorage s;
    s.Load((dir / "lumbra.xml").string());
    return s.ReadString(key, "<absent>");
  }
  // A read delivered by the driver's protocol thread, handled on the UI thread.
  void Swipe(const AnsiString& data) {
    size_t before = events.size();
    Driver()->Protocol()->Swipe(data);
    ASSERT_TRUE(
        loop.PumpUntil([&] { return events.size() > before || !desktop.messages.shown.empty(); }));
  }

  platform::FakeMessageLoop loop;
  platform::FakeDesktop desktop;
  fs::path dir;
  std::string usbPort = "/dev/ttyUSB0";
  std::vector<std::string> typed, prompts, events;
  std::deque<std::pair<bool, std::string>> answers;
  bool withLanguages = false;
  std::vector<std::string> browsed;
  std::string browseAnswer;
  Owned<TTkEmuTasMain> main;
};

TEST_F(MainWindowTest, FirstStartWithoutAFileUsesEveryDefault) {
  Start();
  for (const char* n : {"CheckBox1", "CheckBox2", "CheckBox3"}) EXPECT_TRUE(C(n).Checked()) << n;
  for (const char* n : {"SpinEdit1", "SpinEdit3", "SpinEdit5"}) EXPECT_EQ(C(n).Value(), 1) << n;
  for (const char* n : {"SpinEdit2", "SpinEdit4", "SpinEdit6"}) EXPECT_EQ(C(n).Value(), 255) << n;
  for (const char* n : {"eAll1", "eAll2", "eAll3"}) EXPECT_EQ(C(n).Value(), 14) << n;
  for (const char* n : {"cbPreChar", "ComboBox1", "ComboBox2", "ComboBox3"})
    EXPECT_EQ(C(n).ItemIndex(), 0) << n;
  EXPECT_TRUE(C("ckSoundErrTes").Checked());
  EXPECT_TRUE(C("ckSoundErrReader").Checked());
  EXPECT_FALSE(C("ckSoundTes").Checked());
  EXPECT_FALSE(C("ckSoundExitTes").Checked());
  for (const char* n : {"rbBeeptes", "rbBeepErrTes", "rbBeepErrReader", "rbBeepExitTes"})
    EXPECT_TRUE(C(n).Checked()) << n;
  EXPECT_FALSE(C("ckMsgErrTes").Checked());
  EXPECT_FALSE(C("ckMsgErrReader").Checked());
  EXPECT_EQ(C("cbLingua").Text(), "Italiano");
  EXPECT_EQ(C("cbModel").Text(), "SLX-44");
  EXPECT_EQ(C("cbCom").Text(), "/dev/ttyUSB0");
  EXPECT_FALSE(C("ckAvvioAutomatico").Checked());
  EXPECT_EQ(main->AdminPassword(), "qorvi");
  // Enabling follows the switches: sound panels of the two slots that are on.
  EXPECT_TRUE(C("panSoundErrtes").Enabled());
  EXPECT_FALSE(C("PanSoundTes").Enabled());
  EXPECT_FALSE(C("eSoundErrTes").Enabled());  // "Beep" chosen
  // The reader runs with all three tracks on the detected port, the window is hidden.
  EXPECT_TRUE(main->BadgeReader().Active());
  EXPECT_EQ(main->BadgeReader().Model(), "SLX-44");
  EXPECT_EQ(main->BadgeReader().COM(), "/dev/ttyUSB0");
  EXPECT_EQ(main->BadgeReader().Track(), 7);
  EXPECT_FALSE(main->Visible());
  EXPECT_EQ(main->StatusImage(), imgInitial);
  EXPECT_EQ(main->ReaderStatusText(), "Lettoreinfunzione");
  EXPECT_EQ(main->TrayHint(), "Lettoreinfunzione\r\n");
  EXPECT_EQ(C("TkEmuTasMain").Caption(), "Lettore di tessere Tavik 1.6");
  EXPECT_TRUE(desktop.messages.shown.empty());
}

TEST_F(MainWindowTest, TheDetectedPortIsUsedOnlyWhenItIsPresent) {
  usbPort = "";  // no Silicon Labs or other USB adapter: the Prolific one, not in the list
  Start();
  EXPECT_EQ(C("cbCom").ItemIndex(), -1);
  EXPECT_EQ(main->BadgeReader().COM(), "");
}

TEST_F(MainWindowTest, AStoredDevicePathIsKeptEvenWhenNotListed) {
  // Ports are opened by device path, and on Windows by COM name (an adapter
  // not plugged in yet is not listed).
  struct Case {
    const char* stored;
    std::string selected;
    size_t entries;
  } cases[] = {{"/dev/pts/7", kWindows ? "" : "/dev/pts/7", kWindows ? 2u : 3u},
               {"COM4", kWindows ? "COM4" : "", kWindows ? 3u : 2u},
               {"COM", "", 2},
               {"COM4x", "", 2},
               {"/dev/pts/3", "/dev/pts/3", 2}};
  for (const auto& c : cases) {
    Settings(std::string("<Com>") + c.stored + "</Com>");
    Start();
    EXPECT_EQ(C("cbCom").Text(), c.selected) << c.stored;
    EXPECT_EQ(main->BadgeReader().COM(), c.selected) << c.stored;
    EXPECT_EQ(C("cbCom").Items().size(), c.entries) << c.stored;
    main.reset();
  }
}

TEST_F(MainWindowTest, TheUsbReaderShowsUsbAnyAndKeepsTheStoredPortForTheOthers) {
  RegisterBadgeReader("SLU-20", ReaderClassOf<TUSBBadgeReader>());
  // A stored port that is not listed (an adapter not plugged in yet).
  const std::string unlisted = kWindows ? "COM7" : "/dev/pts/7";
  Settings("<Model>SLU-20</Model><Com>" + unlisted + "</Com><T1>false</T1><T3>false</T3>");
  Start();
  auto choose = [&](const std::string& model) {
    const auto& items = C("cbModel").Items();
    C("cbModel").UserSelect(
        static_cast<int>(std::find(items.begin(), items.end(), model) - items.begin()));
  };
  struct Step {
    const char* model;
    std::vector<std::string> ports;
    std::string shown;
  } steps[] = {
      {"SLU-20", {"USB ANY"}, "USB ANY"},
      {"SL-10", {"/dev/pts/3", "/dev/ttyUSB0", unlisted}, unlisted},
      {"SLU-20", {"USB ANY"}, "USB ANY"},
      {"SLX-44", {"/dev/pts/3", "/dev/ttyUSB0", unlisted}, unlisted},
  };
  for (const auto& step : steps) {
    if (C("cbModel").Text() != step.model) choose(step.model);
    EXPECT_EQ(C("cbModel").Text(), step.model);
    EXPECT_EQ(C("cbCom").Items(), step.ports) << step.model;
    EXPECT_EQ(C("cbCom").Text(), step.shown) << step.model;
    EXPECT_EQ(C("cbCom").Enabled(), step.shown != "USB ANY") << step.model;
    EXPECT_EQ(main->BadgeReader().COM(), step.shown) << step.model;
    EXPECT_TRUE(main->BadgeReader().Active()) << step.model;
  }
  main->SaveSettings();
  EXPECT_EQ(Stored("Com"), unlisted) << "choosing the USB reader never changes it";
  main.reset();
  UnregisterBadgeReader("SLU-20");
}

TEST_F(MainWindowTest, StoredValuesAreClampedAndWrittenBack) {
  Settings("<T1Start>0</T1Start><T1All>300</T1All><T2End>abc</T2End><Lingua>9</Lingua>");
  Start();
  EXPECT_EQ(C("SpinEdit1").Value(), 1);
  EXPECT_EQ(C("eAll1").Value(), 255);
  EXPECT_EQ(C("SpinEdit4").Value(), 255);  // not a number: the default
  EXPECT_EQ(C("cbLingua").ItemIndex(), -1);
  main->SaveSettings();
  EXPECT_EQ(Stored("T1Start"), "1");
  EXPECT_EQ(Stored("T1All"), "255");
}

TEST_F(MainWindowTest, TheEarlierNameOfTheGoodReadWaveFileIsStillRead) {
  Settings("<FSounfTes>/snd/old.wav</FSounfTes>");
  Start();
  EXPECT_EQ(C("eSoundTes").Text(), "/snd/old.wav");
  main->SaveSettings();
  EXPECT_EQ(Stored("FSoundTes"), "/snd/old.wav");
  main.reset();
  Settings("<FSounfTes>/snd/old.wav</FSounfTes><FSoundTes>/snd/new.wav</FSoundTes>");
  Start();
  EXPECT_EQ(C("eSoundTes").Text(), "/snd/new.wav");
}

TEST_F(MainWindowTest, AutostartEntryFollowsTheExecutablesPlace) {
  struct Case {
    std::string stored;
    bool broken;
    bool ticked;
    bool entryLeft;
  } cases[] = {
      {"", false, false, false},
      {"/old/place/lumbra", false, false, false},  // stale: removed
      {"SAME", false, true, true},
      {"", true, false, false},  // store unreadable: cleared without a message
  };
  for (const auto& c : cases) {
    desktop.autostart.entries.clear();
    desktop.autostart.broken = c.broken;
    std::string exe = desktop.environment.exePath;
    if (!c.stored.empty())
      desktop.autostart.entries[kAutostartName] = c.stored == "SAME" ? exe : c.stored;
    Start();
    EXPECT_EQ(C("ckAvvioAutomatico").Checked(), c.ticked) << c.stored;
    EXPECT_EQ(desktop.autostart.entries.count(kAutostartName) > 0, c.entryLeft) << c.stored;
    EXPECT_TRUE(desktop.messages.shown.empty()) << c.stored;
    main.reset();
  }
  desktop.autostart.broken = false;
  Start();
  main->Perform([&] { C("ckAvvioAutomatico").UserClick(); });
  EXPECT_EQ(desktop.autostart.entries[kAutostartName], desktop.environment.exePath);
  desktop.autostart.entries.clear();  // removed elsewhere meanwhile
  main->Perform([&] { C("ckAvvioAutomatico").UserClick(); });
  EXPECT_EQ(desktop.messages.shown.size(), 1u);  // the store's error reaches the user
  EXPECT_FALSE(C("ckAvvioAutomatico").Checked());
}

TEST_F(MainWindowTest, TrackCodeFollowsTheCheckBoxes) {
  Start();
  struct Case {
    bool t1, t2, t3;
    int code;
  } cases[] = {{true, true, true, 7},   {true, true, false, 4},  {true, false, true, 6},
               {false, true, true, 5},  {true, false, false, 1}, {false, true, false, 2},
               {false, false, true, 3}, {false, false, false, 7}};
  const char* boxes[] = {"CheckBox1", "CheckBox2", "CheckBox3"};
  for (const auto& c : cases) {
    bool want[] = {c.t1, c.t2, c.t3};
    // Tick everything first, then clear what the case does not want.
    for (const char* b : boxes)
      if (!C(b).Checked()) C(b).UserClick();
    for (int t = 0; t < 3; ++t)
      if (!want[t]) C(boxes[t]).UserClick();
    EXPECT_EQ(main->BadgeReader().Track(), c.code) << c.t1 << c.t2 << c.t3;
  }
}

TEST_F(MainWindowTest, ExcludedTrackRowsAreResetWithoutTouchingTheSettings) {
  Settings("<T3Char>2</T3Char>");
  Start();
  C("CheckBox3").UserClick();  // code 4: row 3 excluded
  EXPECT_EQ(main->BadgeReader().Track(), 4);
  EXPECT_FALSE(C("SpinEdit5").Enabled());
  EXPECT_FALSE(C("ComboBox3").Enabled());
  EXPECT_EQ(C("ComboBox3").ItemIndex(), 0);
  EXPECT_TRUE(C("CheckBox3").Enabled());  // the box stays usable
  EXPECT_EQ(main->Settings().ReadString("T3Char", ""), "2");
  EXPECT_EQ(main->Settings().ReadString("T3", ""), "FALSE");
  C("CheckBox1").UserClick();
  C("CheckBox2").UserClick();  // none selected: code 7, all rows enabled
  EXPECT_EQ(main->BadgeReader().Track(), 7);
  EXPECT_TRUE(C("ComboBox3").Enabled());
  EXPECT_TRUE(C("SpinEdit1").Enabled());
}

// The fresh-install ticks are tracks 1, 2 and 3; a model that reads track 2
// only still starts, on the track it reads, and says so once in the language
// of the settings.
TEST_F(MainWindowTest, AModelReadingFewerTracksThanTickedStartsOnTheTrackItReads) {
  LanguageFiles();
  const struct {
    int lingua;
    std::string message;
  } cases[] = {
      {1, "Le tracce selezionate non sono lette dal modello SL-10; si legge la traccia 2."},
      {0, "The selected tracks are not read by the model SL-10; it reads track 2."},
      {2, "Las pistas seleccionadas no las lee el modelo SL-10; se lee la pista 2."},
  };
  // The box waits for the user: the reader must already be on by then.
  std::vector<bool> onWhileShown;
  desktop.messages.onShow = [&](const auto&) {
    onWhileShown.push_back(main->BadgeReader().Active());
  };
  for (const auto& c : cases) {
    main.reset();
    desktop.messages.shown.clear();
    onWhileShown.clear();
    Settings("<Model>SL-10</Model><Lingua>" + std::to_string(c.lingua) + "</Lingua>");
    Start();
    EXPECT_EQ(desktop.messages.Texts(), std::vector<std::string>{c.message});
    EXPECT_EQ(onWhileShown, std::vector<bool>{true});
    EXPECT_TRUE(main->BadgeReader().Active());
    EXPECT_EQ(main->BadgeReader().Track(), 2);
    EXPECT_EQ(Driver()->Track(), 2);
    EXPECT_EQ((std::vector<bool>{C("CheckBox1").Checked(), C("CheckBox2").Checked(),
                                 C("CheckBox3").Checked()}),
              (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(C("SpinEdit3").Enabled());
    EXPECT_FALSE(C("SpinEdit1").Enabled());
  }
  desktop.messages.shown.clear();
  Swipe("4711");
  EXPECT_EQ(typed, std::vector<std::string>{"00000000004711"});

  // What is read is what the settings keep: the next start says nothing.
  main.reset();
  desktop.messages.shown.clear();
  Start();
  EXPECT_TRUE(desktop.messages.shown.empty()) << desktop.messages.Texts()[0];
  EXPECT_TRUE(main->BadgeReader().Active());
  EXPECT_EQ(Stored("T1"), "FALSE");
  EXPECT_EQ(Stored("T2"), "TRUE");

  // Ticking a track the model does not read is undone with the same message.
  C("CheckBox3").UserClick();
  EXPECT_EQ(desktop.messages.Texts().size(), 1u);
  EXPECT_FALSE(C("CheckBox3").Checked());
  EXPECT_EQ(main->BadgeReader().Track(), 2);
  EXPECT_EQ(main->Settings().ReadString("T3", ""), "FALSE");

  // A multi-track model takes the ticks as they are.
  int idx = -1;
  for (size_t i = 0; i < C("cbModel").Items().size(); ++i)
    if (C("cbModel").Items()[i] == "SLX-44") idx = static_cast<int>(i);
  main->Perform([&] { C("cbModel").UserSelect(idx); });
  EXPECT_TRUE(main->BadgeReader().Active());
  EXPECT_EQ(main->BadgeReader().Track(), 2);
  EXPECT_EQ(desktop.messages.Texts().size(), 1u);
}

// The facade starts out on its own default model, which reads track 2 only;
// the boxes are loaded before the configured model is chosen and must come
// through as they are.
TEST_F(MainWindowTest, AMultiTrackModelStartsWithTheTicksAsStored) {
  RegisterBadgeReader("SLU-20", ReaderClassOf<test::TTestTrack2Reader>());
  Start();
  EXPECT_TRUE(desktop.messages.shown.empty()) << desktop.messages.Texts()[0];
  EXPECT_EQ(main->BadgeReader().Track(), 7);
  EXPECT_TRUE(C("CheckBox1").Checked() && C("CheckBox2").Checked() && C("CheckBox3").Checked());
  EXPECT_EQ(main->Settings().ReadString("T1", ""), "TRUE");
  main.reset();
  UnregisterBadgeReader("SLU-20");
}

TEST_F(MainWindowTest, KeystrokeTexts) {
  Start();
  struct Row {
    bool on = false;
    int start = 1, count = 255, after = 0, width = 0;
  };
  struct Case {
    int code;
    AnsiString data;
    int pre;
    Row rows[3];
    AnsiString keys;
  } cases[] = {
      {2, "1234567890", 0, {{false}, {true, 3, 5, 2, 8}, {false}}, "00034567{TAB}"},
      {1, "%B123^NAME^", 0, {{true, 1, 255, 0, 0}, {false}, {false}}, "{%}B123{&}NAME{&}"},
      {1, "", 1, {{true, 1, 255, 1, 14}, {false}, {false}}, "{ENTER}00000000000000{ENTER}"},
      {1, "ABCDEF", 0, {{true, 2, 3, 0, 2}, {false}, {false}}, "BCD"},
      {1, "ABC", 0, {{true, 1, 0, 3, 4}, {false}, {false}}, "0000{RIGHT}"},
      {1, std::string(40, '7'), 0, {{true, 255, 255, 0, 0}, {false}, {false}}, ""},
      {1, "+~()%{x}", 0, {{true, 1, 255, 0, 0}, {false}, {false}}, "{+}{~}{(}{)}{%}{{}x{}}"},
      {6,
       "AAA\rCCC",
       6,
       {{true, 1, 255, 4, 0}, {true, 1, 255, 5, 3}, {true, 1, 255, 0, 0}},
       "{UP}AAA{DOWN}000{LEFT}CCC"},
      {7, "A\rB\rC", 3, {{false}, {false}, {false}}, "{RIGHT}"},
  };
  const char* rows[3][5] = {{"CheckBox1", "SpinEdit1", "SpinEdit2", "ComboBox1", "eAll1"},
                            {"CheckBox2", "SpinEdit3", "SpinEdit4", "ComboBox2", "eAll2"},
                            {"CheckBox3", "SpinEdit5", "SpinEdit6", "ComboBox3", "eAll3"}};
  for (const auto& c : cases) {
    for (int t = 0; t < 3; ++t) {
      const Row& r = c.rows[t];
      C(rows[t][0]).SetChecked(r.on);
      C(rows[t][1]).SetValue(r.start);
      C(rows[t][2]).SetValue(r.count);
      C(rows[t][3]).SetEnabled(true);
      C(rows[t][3]).SetItemIndex(r.after);
      C(rows[t][4]).SetValue(r.width);
    }
    C("cbPreChar").SetItemIndex(c.pre);
    main->BadgeReader().SetTrack(c.code);
    EXPECT_EQ(main->KeystrokeText(c.data), c.keys) << c.data;
  }
}

TEST_F(MainWindowTest, AReadIsTypedThenSoundedAndShownAsStatus) {
  Settings(
      "<T1>FALSE</T1><T3>FALSE</T3><T2Start>3</T2Start><T2End>5</T2End><T2All>8</T2All>"
      "<T2Char>2</T2Char><SoundTes>TRUE</SoundTes>");
  Start();
  ASSERT_EQ(main->BadgeReader().Track(), 2);
  Swipe("1234567890");
  EXPECT_EQ(typed, (std::vector<std::string>{"00034567{TAB}"}));
  EXPECT_EQ(desktop.sound.played, (std::vector<std::string>{"beep"}));
  EXPECT_EQ(main->TesStatusText(), "Tessera: 1234567890");
  EXPECT_EQ(main->TrayHint(), "Lettoreinfunzione\r\nTessera: 1234567890");
}

TEST_F(MainWindowTest, MissingFieldsStopTheReadBeforeAnythingIsTyped) {
  Settings("<SoundTes>TRUE</SoundTes>");
  Start();
  Swipe("AAA\rBBB");  // code 7 needs three fields
  EXPECT_TRUE(typed.empty());
  EXPECT_TRUE(desktop.sound.played.empty());
  EXPECT_EQ(desktop.messages.Texts(), (std::vector<std::string>{"List index out of bounds (2)"}));
  EXPECT_EQ(main->TesStatusText(), "Tessera: AAA\rBBB");
}

TEST_F(MainWindowTest, ReaderEventsSetPicturesTextsSoundsAndMessages) {
  Settings(
      "<MsgErrTes>TRUE</MsgErrTes><MsgErrReader>TRUE</MsgErrReader>"
      "<SoundExitTes>TRUE</SoundExitTes>");
  Start();
  // The sound has started by the time the box opens.
  std::vector<size_t> soundsAtBox;
  desktop.messages.onShow = [&](const auto&) {
    soundsAtBox.push_back(desktop.sound.played.size());
  };
  desktop.foreground.current = 77;  // another application has the focus

  struct Step {
    std::uint32_t msg;
    WPARAM w;
    LPARAM l;
    int image;
    std::string reader, badge;
    std::vector<std::string> boxes;
  } steps[] = {
      {WM_DISP_TIMEOUT,
       0,
       0,
       imgReaderProblem,
       "lettore di tessere guasto o non collegato",
       "",
       {"lettore di tessere guasto o non collegato"}},
      {WM_DISP_RESTORE, 0, 0, imgReaderOk, "Lettore in funzione", "", {}},
      {WM_TESSERA_STATUS, 0, 3, imgBadgeHalf, "Lettore in funzione", "Tessera inserita a metà", {}},
      {WM_TESSERA_STATUS, 0, 2, imgBadgeIn, "Lettore in funzione", "Tessera inserita a metà", {}},
      {WM_TESSERA_STATUS, 0, 1, imgReaderOk, "Lettore in funzione", "Nessuna tessera inserita", {}},
      {WM_TESSERA_READ,
       0,
       trReadFailed,
       imgReadError,
       "Lettore in funzione",
       "Errore in lettura tessera",
       {"Errore in lettura tessera"}},
      {WM_BAD_INSERT,
       0,
       0,
       imgReadError,
       "Lettore in funzione",
       "Tessera inserita in modo errato",
       {"Tessera inserita in modo errato"}},
      {WM_TESSERA_READ,
       0,
       trCheckFailed,
       imgReadError,
       "Lettore in funzione",
       "CRC tessera errato",
       {"CRC tessera errato"}},
      {WM_DISP_ERROR, 54, 22, imgReaderProblem, "Read Error", "", {"Read Error"}},
  };
  for (const auto& s : steps) {
    desktop.messages.shown.clear();
    size_t posted = loop.Posts().size();
    Driver()->Protocol()->Post(s.msg, s.w, s.l);
    ASSERT_TRUE(
        loop.PumpUntil([&] { return loop.Posts().size() > posted && loop.QueuedCount() == 0; }));
    EXPECT_EQ(main->StatusImage(), s.image) << s.msg << "/" << s.l;
    EXPECT_EQ(main->ReaderStatusText(), s.reader) << s.msg;
    EXPECT_EQ(main->TesStatusText(), s.badge) << s.msg;
    EXPECT_EQ(desktop.messages.Texts(), s.boxes) << s.msg;
  }
  // Sounds: timeout, extraction, three read errors and the device error, each beeping.
  EXPECT_EQ(desktop.sound.played.size(), 6u);
  for (size_t i = 0; i < soundsAtBox.size(); ++i) EXPECT_GT(soundsAtBox[i], 0u);
  // Every box handed the focus back to the application that had it.
  EXPECT_FALSE(desktop.foreground.restored.empty());
  for (auto w : desktop.foreground.restored) EXPECT_EQ(w, 77u);
}

TEST_F(MainWindowTest, SettingsViewNeedsThePasswordAndClosingOnlyHides) {
  Start();
  main->Apri1Click();
  EXPECT_TRUE(main->Visible());
  answers = {{true, "wrong"}};
  main->XiButton3Click();
  EXPECT_EQ(main->View(), TTkEmuTasMain::TView::Compact);
  EXPECT_EQ(main->ClientHeight(), kStatusPanelHeight);
  answers = {{false, "qorvi"}};  // cancelled
  main->XiButton3Click();
  EXPECT_EQ(main->View(), TTkEmuTasMain::TView::Compact);
  answers = {{true, "qorvi"}};
  main->XiButton3Click();
  EXPECT_EQ(main->View(), TTkEmuTasMain::TView::Settings);
  EXPECT_EQ(main->ClientHeight(), kStatusPanelHeight + kSettingsPanelHeight);
  EXPECT_TRUE(desktop.messages.shown.empty());

  EXPECT_FALSE(main->FormCloseQuery());  // title-bar close: hidden, compact, still reading
  EXPECT_FALSE(main->Visible());
  EXPECT_EQ(main->View(), TTkEmuTasMain::TView::Compact);
  EXPECT_TRUE(main->BadgeReader().Active());
  EXPECT_FALSE(fs::exists(dir / "lumbra.xml"));  // closing this way does not save

  answers = {{true, "QORVI"}};  // case matters
  main->erminagestionelettore1Click();
  EXPECT_FALSE(main->Terminated());
  answers = {{true, "qorvi"}};
  main->erminagestionelettore1Click();
  EXPECT_TRUE(main->Terminated());
  EXPECT_FALSE(main->BadgeReader().Active());
  main.reset();
  EXPECT_EQ(Stored("T1"), "TRUE");  // written at the end
}

TEST_F(MainWindowTest, TheEndOfTheSessionEndsWithoutAPasswordAndSavesAtOnce) {
  Settings("<T1Start>0</T1Start>");  // loaded as 1, in memory only
  Start();
  main->QueryEndSession();
  EXPECT_TRUE(main->Terminated());
  EXPECT_FALSE(main->BadgeReader().Active());
  EXPECT_TRUE(prompts.empty());
  // Written before anything else can hold the end up, and not again when
  // nothing changed since.
  EXPECT_EQ(Stored("T1Start"), "1");
  fs::remove(dir / "lumbra.xml");
  main.reset();
  EXPECT_FALSE(fs::exists(dir / "lumbra.xml"));
}

TEST_F(MainWindowTest, ChangingThePassword) {
  Start();
  answers = {{true, "Nuova1"}, {true, "Nuova2"}};  // second entry differs
  main->Perform([&] { main->XiButton2Click(); });
  EXPECT_EQ(desktop.messages.Texts(), (std::vector<std::string>{"errore in digitazione password"}));
  EXPECT_EQ(main->AdminPassword(), "qorvi");
  EXPECT_EQ(prompts, (std::vector<std::string>{"Digitare la nuova password",
                                               "Digitare di nuovo la password per controllo"}));
  answers = {{true, "qorvi"}};  // the same as before: nothing to do
  main->XiButton2Click();
  EXPECT_FALSE(main->Settings().Has("Params"));
  answers = {{true, "X"}, {true, "X"}};
  main->XiButton2Click();
  EXPECT_EQ(main->AdminPassword(), "X");
  EXPECT_EQ(main->Settings().ReadString("Params", ""), SimpleEncrypt("X", kPasswordKey));
  main.reset();  // the one-character password survives a restart
  Start();
  EXPECT_EQ(main->AdminPassword(), "X");
}

TEST_F(MainWindowTest, UnreadableOrEmptyStoredPasswordsGiveTheDefault) {
  for (const char* stored : {"", "ZZ-not-hex", "4"}) {
    Settings(std::string("<Params>") + stored + "</Params>");
    Start();
    EXPECT_EQ(main->AdminPassword(), "qorvi") << stored;
    main.reset();
  }
}

TEST_F(MainWindowTest, APasswordStoredOnWindowsWithAEuroSignOpens) {
  Settings("<Params>4476DF7A</Params>");  // "€uro" in code page 1252, enciphered
  Start();
  EXPECT_EQ(main->AdminPassword(), "\u20ACuro");
}

TEST_F(MainWindowTest, ADamagedSettingsFileIsKeptAndReportedOnce) {
  std::ofstream(dir / "lumbra.xml") << "<Configuration><Model>SL-10";
  Start();
  ASSERT_EQ(desktop.messages.shown.size(), 1u);
  EXPECT_NE(desktop.messages.shown[0].text.find("lumbra.xml.damaged-"), std::string::npos);
  EXPECT_EQ(C("cbModel").Text(), "SLX-44");
  main.reset();
  desktop.messages.shown.clear();
  Start();  // the next start reads the file written at the end, silently
  EXPECT_TRUE(desktop.messages.shown.empty());
  size_t kept = 0;
  for (const auto& e : fs::directory_iterator(dir))
    kept += e.path().filename().string().rfind("lumbra.xml.damaged-", 0) == 0;
  EXPECT_EQ(kept, 1u);
}

TEST_F(MainWindowTest, ADamagedFileThatCannotBeSetAsideStaysAndTheNewPlaceIsNamed) {
  LanguageFiles();
  // So long a name that no damaged copy's name can be made beside it.
  const std::string name(240, 'p');
  desktop.environment.exePath = (dir / name).string();
  const fs::path damaged = dir / (name + ".xml");
  const fs::path fallback = dir / "config" / "lumbra" / (name + ".xml");
  const std::string content = "<Configuration><Model>SL-10";
  std::ofstream(damaged, std::ios::binary) << content;
  auto damagedContent = [&] {
    std::ifstream in(damaged, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };

  Start();
  EXPECT_EQ(desktop.messages.Texts(),
            (std::vector<std::string>{
                "Il file delle impostazioni è danneggiato e resta com'è: " + damaged.string() +
                ". Le impostazioni ora si leggono e si salvano in: " + fallback.string()}));
  EXPECT_EQ(C("cbModel").Text(), "SLX-44");
  main->Perform([&] { C("cbLingua").UserSelect(0); });
  main->SaveSettings();
  main.reset();
  EXPECT_EQ(damagedContent(), content);

  // The next start reads the settings from their new place and says so again,
  // in the language chosen there.
  desktop.messages.shown.clear();
  Start();
  EXPECT_EQ(desktop.messages.Texts(),
            (std::vector<std::string>{
                "The settings file is damaged and is left as it is: " + damaged.string() +
                ". The settings are now read from and saved to: " + fallback.string()}));
  EXPECT_EQ(CurrentLanguage(), 0);
  main.reset();
  EXPECT_EQ(damagedContent(), content);
}

TEST_F(MainWindowTest, AnActivationFailureIsShownOnlyWithAPort) {
  test::Knobs().failActivate = true;
  Start();
  EXPECT_EQ(desktop.messages.Texts(), (std::vector<std::string>{"Cannot open port"}));
  EXPECT_EQ(main->BadgeReader().Color(), clReaderFault);
  main.reset();
  desktop.messages.shown.clear();
  usbPort = "";
  test::Knobs().failActivate = true;
  Start();
  EXPECT_TRUE(desktop.messages.shown.empty());
}

// --- Languages and the sound file dialog ------------------------------------------

TEST_F(MainWindowTest, ChoosingALanguageSwitchesWindowMenuDialogsAndStatusAtOnce) {
  LanguageFiles();
  Settings("<Lingua>1</Lingua>");
  Start();
  EXPECT_TRUE(desktop.messages.shown.empty()) << desktop.messages.Texts()[0];
  EXPECT_EQ(CurrentLanguage(), 1);
  EXPECT_EQ(main->ReaderStatusText(), "Lettore in funzione");  // the start key, in Italian
  const std::string italian = C("TkEmuTasMain").Caption();
  const std::string italianOpen = C("Apri1").Caption();
  const std::string italianTab = C("TabSheet4").Caption();

  struct Case {
    int index;
    std::string caption, status, prompt, dialog;
  } cases[] = {
      {0, "Tavik Badge Reader 1.6", "badge reader faulty or not connected",
       "Enter the password:", "Choose a sound file"},
      {2, "Lector de tarjetas Tavik 1.6", "lector de tarjetas averiado o no conectado",
       "Escriba la contraseña:", "Elija un archivo de sonido"},
      {1, italian, "lettore di tessere guasto o non collegato",
       "Digitare password:", "Scegli un file sonoro"},
  };
  for (const Case& c : cases) {
    main->Perform([&] { C("cbLingua").UserSelect(c.index); });
    EXPECT_TRUE(desktop.messages.shown.empty()) << c.index;
    EXPECT_EQ(CurrentLanguage(), c.index);
    EXPECT_EQ(C("TkEmuTasMain").Caption(), c.caption);
    // The test reader does not answer: its status is set again, in the new language.
    EXPECT_EQ(main->ReaderStatusText(), c.status);
    EXPECT_EQ(main->TrayHint().substr(0, c.status.size()), c.status);
    EXPECT_EQ(C("Apri1").Caption() == italianOpen, c.index == 1) << C("Apri1").Caption();
    EXPECT_EQ(C("TabSheet4").Caption() == italianTab, c.index == 1) << C("TabSheet4").Caption();
    EXPECT_EQ(C("cbLingua").ItemIndex(), c.index);
    main->SaveSettings();
    EXPECT_EQ(Stored("Lingua"), std::to_string(c.index));
    // Dialogs made from now on come in the same language.
    prompts.clear();
    main->XiButton3Click();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0], c.prompt);
    EXPECT_EQ(C("SoundDlg").Caption(), c.dialog);
  }
}

TEST_F(MainWindowTest, AReaderNoticeIsShownLineByLineInTheUsersLanguage) {
  // A fixed text and a hint, each a line of its own, and between them the
  // system's words, which no table has.
  LanguageFiles();
  Settings("<MsgErrReader>TRUE</MsgErrReader>");
  Start();
  main->Perform([&] { C("cbLingua").UserSelect(0); });
  desktop.messages.shown.clear();
  auto notice = std::make_unique<TStdMessage>();
  notice->dataStr = std::string(TProtoUSBBadge::kOpenFailedText) +
                    "\n/dev/hidraw9: Permission denied\n"
                    "Serve il permesso di lettura e scrittura: la regola udev "
                    "70-lumbra-slu20.rules del pacchetto lo dà all'utente al posto di lavoro; "
                    "installarla e ricollegare il lettore.";
  ASSERT_TRUE(PostStdMessage(Driver()->Handle(), std::move(notice)));
  ASSERT_TRUE(loop.PumpUntil([&] { return !desktop.messages.shown.empty(); }));
  EXPECT_EQ(desktop.messages.Texts(),
            (std::vector<std::string>{
                "The USB badge reader cannot be opened:\n/dev/hidraw9: Permission denied\n"
                "It needs read and write access: the package's udev rule 70-lumbra-slu20.rules "
                "gives it to the user at the seat; install it and plug the reader in again."}));
  EXPECT_EQ(main->StatusImage(), imgReaderProblem);
}

TEST_F(MainWindowTest, TheBadgeStatusShownIsSaidAgainInTheNewLanguage) {
  LanguageFiles();
  test::Knobs().initialStatus = sdAttivo;
  Start();
  Swipe("4711");
  ASSERT_EQ(main->TesStatusText(), "Tessera: 4711");
  struct Case {
    int index;
    const char *reader, *badge;
  } cases[] = {{0, "Reader running", "Badge: 4711"},
               {2, "Lector en funcionamiento", "Tarjeta: 4711"},
               {1, "Lettore in funzione", "Tessera: 4711"}};
  for (const Case& c : cases) {
    main->Perform([&] { C("cbLingua").UserSelect(c.index); });
    EXPECT_EQ(main->ReaderStatusText(), c.reader);
    EXPECT_EQ(main->TesStatusText(), c.badge);
    EXPECT_EQ(main->TrayHint(), std::string(c.reader) + "\r\n" + c.badge);
  }
  Driver()->Protocol()->Post(WM_TESSERA_READ, 0, trCheckFailed);
  ASSERT_TRUE(loop.PumpUntil([&] { return main->StatusImage() == imgReadError; }));
  main->Perform([&] { C("cbLingua").UserSelect(0); });
  EXPECT_EQ(main->TesStatusText(), "Wrong badge CRC");
}

TEST_F(MainWindowTest, AMissingLanguageFileKeepsTheLanguageAndTheList) {
  LanguageFiles("TKEnglish.lng");
  Settings("<Lingua>2</Lingua>");
  Start();
  const std::string spanish = C("TkEmuTasMain").Caption();
  main->Perform([&] { C("cbLingua").UserSelect(0); });
  EXPECT_EQ(desktop.messages.Texts(), (std::vector<std::string>{"DLL for localization not found"}));
  EXPECT_EQ(CurrentLanguage(), 2);
  EXPECT_EQ(C("cbLingua").ItemIndex(), 2);
  EXPECT_EQ(C("TkEmuTasMain").Caption(), spanish);
  EXPECT_EQ(LocalizeString("Nessuna tessera inserita"), "Ninguna tarjeta insertada");
  main->SaveSettings();
  EXPECT_EQ(Stored("Lingua"), "2");
}

TEST_F(MainWindowTest, AStoredLanguageThatCannotBeLoadedLeavesTheListOnTheOneInUse) {
  LanguageFiles("TKEspañol.lng");
  Settings("<Lingua>2</Lingua>");
  Start();
  EXPECT_TRUE(desktop.messages.shown.empty());  // refused while loading: silent
  EXPECT_EQ(C("cbLingua").ItemIndex(), CurrentLanguage());
  EXPECT_NE(CurrentLanguage(), 2);
}

TEST_F(MainWindowTest, WithoutLanguageFilesTheProgramSaysSoOnceAndRunsInItalian) {
  withLanguages = true;  // the manager is asked for, but its folder is empty
  Settings("<Lingua>2</Lingua>");
  Start();
  EXPECT_EQ(desktop.messages.Texts(), (std::vector<std::string>{"TKLocalIndex.lng not found"}));
  EXPECT_EQ(LocalizeManager(), nullptr);
  EXPECT_EQ(main->ReaderStatusText(), "Lettoreinfunzione");
  EXPECT_EQ(C("TkEmuTasMain").Caption(), "Lettore di tessere Tavik 1.6");
  EXPECT_TRUE(main->BadgeReader().Active());
  // A choice made now is kept for when the files are back.
  desktop.messages.shown.clear();
  main->Perform([&] { C("cbLingua").UserSelect(0); });
  EXPECT_TRUE(desktop.messages.shown.empty());
  main->SaveSettings();
  EXPECT_EQ(Stored("Lingua"), "0");
}

TEST_F(MainWindowTest, TheWindowReleasesOnlyTheLanguageManagerItMade) {
  LanguageFiles();
  Start();
  EXPECT_NE(LocalizeManager(), nullptr);
  main.reset();
  EXPECT_EQ(LocalizeManager(), nullptr);
  EXPECT_EQ(LocalizeString("Lettoreinfunzione"), "Lettoreinfunzione");

  TRCLocalizeManager own((dir / "lang").string());
  SetLocalizeManager(&own);
  withLanguages = false;
  Start();
  main.reset();
  EXPECT_EQ(LocalizeManager(), &own);
  SetLocalizeManager(nullptr);
}

TEST_F(MainWindowTest, BrowsingChoosesTheSoundFileAndCancellingKeepsIt) {
  Settings("<BFSoundErrTes>TRUE</BFSoundErrTes><FSoundErrTes>/old/a.wav</FSoundErrTes>");
  Start();
  ASSERT_TRUE(C("btSoundErrTes").Enabled());
  C("btSoundErrTes").UserClick();
  EXPECT_EQ(browsed,
            (std::vector<std::string>{"Scegli un file sonoro|File di souno|*.wav|/old/a.wav"}));
  EXPECT_EQ(C("eSoundErrTes").Text(), "/old/a.wav");
  browseAnswer = "/new/b.wav";
  C("btSoundErrTes").UserClick();
  EXPECT_EQ(C("eSoundErrTes").Text(), "/new/b.wav");
  main->SaveSettings();
  EXPECT_EQ(Stored("FSoundErrTes"), "/new/b.wav");
  EXPECT_EQ(Stored("FSoundTes"), "<absent>");
  // With "Beep" chosen the browse button cannot be used.
  C("rbBeepErrTes").UserClick();
  EXPECT_FALSE(C("btSoundErrTes").Enabled());
}

}  // namespace
}  // namespace lumbra::app
