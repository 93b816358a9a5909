#include "app/uRCLocalize.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

const char kIndex[] =
    "# test index\n"
    "[3001]\n"
    "fmTest 1\n"
    "fmTest.lbName 2\n"
    "fmTest.lbName.Hint 3\n"
    "fmTest.eName 4\n"
    "fmTest.eName.Hint 5\n"
    "fmTest.cbKind.0 6\n"
    "fmTest.cbKind.2 7\n"
    "fmTest.mnOpen 9\n"
    "fmTest.mnOpen.Hint 10\n"
    "fmTest.mnRecent 11\n"
    "fmTest.mnLast 12\n"
    "fmTest.dlgOpen.Title 13\n"
    "fmTest.dlgSave.Title 14\n"
    "fmTest.Zeta 15\n"
    "fmTest.Zeta.Hint 16\n"
    "fmTest.Alfa 17\n"
    "fmTest.Alfa.Hint 18\n"
    "dmTest.lbName 2\n"
    "dmTest.mnOpen 9\n"
    "dmTest.dlgOpen.Title 13\n"
    "[3002]\n"
    "Lettore in funzione 100\n"
    "Nessuna tessera inserita 101\n"
    "Senza testo 102\n";

const char kEnglish[] =
    "1 Test form\n"
    "2 Name\n"
    "3 Your name\n"
    "4 Edit caption\n"
    "5 Edit hint\n"
    "6 First\n"
    "7 Third\n"
    "9 &Open\n"
    "10 Opens a file\n"
    "11 Recent\n"
    "12 Last one\n"
    "13 Pick a file\n"
    "14\n"
    "15 Zeta EN\n"
    "16 Zeta hint EN\n"
    "17 Alfa EN\n"
    "18 Alfa hint EN\n"
    "100 Reader running\n"
    "101 No badge inserted\n";

const char kItalian[] =
    "1 Modulo di prova\n"
    "2 Nome\n"
    "3 Il tuo nome\n"
    "6 primo\n"
    "7 terzo\n"
    "9 &Apri\n"
    "11 Recenti\n"
    "12 Ultimo\n"
    "13 Scegli un file\n"
    "15 Zeta IT\n"
    "16 Zeta suggerimento\n"
    "17 Alfa IT\n"
    "18 Alfa suggerimento\n"
    "100 Lettore in funzione\n"
    "101 Nessuna tessera inserita\n";

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

class LocalizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir =
        fs::temp_directory_path() / ("lumbra-lang-" + std::to_string(std::random_device{}()) + "-" +
                                     std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(dir);
    WriteFile(dir / "TKLocalIndex.lng", kIndex);
    WriteFile(dir / "TKEnglish.lng", kEnglish);
    WriteFile(dir / "TKItaliano.lng", kItalian);
    // No Spanish file: selecting Español fails.
  }
  void TearDown() override {
    SetLocalizeManager(nullptr);
    fs::remove_all(dir);
  }
  std::unique_ptr<TRCLocalizeManager> Manager() {
    return std::make_unique<TRCLocalizeManager>(dir.string());
  }
  fs::path dir;
};

// A form with one control of each kind the translation treats apart.
struct TTestForm {
  TTestForm() {
    using K = ControlKind;
    TControl& form = set.Add(K::Form, "fmTest", nullptr, "Modulo");
    set.Add(K::Label, "lbName", &form, "Nome");
    set.Add(K::Edit, "eName", &form).SetText("typed");
    TControl& combo = set.Add(K::ComboBox, "cbKind", &form);
    combo.SetItems({"uno", "due", "tre"});
    combo.SetItemIndex(2);
    TControl& menu = set.Add(K::PopupMenu, "pmMain", nullptr);
    set.Add(K::MenuItem, "mnOpen", &menu, "&Apri");
    TControl& recent = set.Add(K::MenuItem, "mnRecent", &menu, "Recenti");
    set.Add(K::MenuItem, "mnLast", &recent, "Ultimo");
    set.Add(K::OpenDialog, "dlgOpen", nullptr, "Apri");
    set.Add(K::OpenDialog, "dlgSave", nullptr, "Salva");
    // Created in the reverse of their sorted order.
    set.Add(K::Label, "Zeta", &form, "z");
    set.Add(K::Label, "Alfa", &form, "a");
    set.Add(K::Label, "lbOther", &form, "Altro");
  }
  // Every text the translation may touch, one line each.
  std::string Texts() const {
    std::string out;
    for (const auto& c : set.All()) {
      out += c->Name() + "|" + c->Caption() + "|" + c->Hint() + "|" + c->Text();
      for (const auto& item : c->Items()) out += "|" + item;
      out += "\n";
    }
    return out;
  }
  TControl& operator[](const std::string& name) { return set[name]; }
  TControlSet set;
};

TEST(SortedNameStrings, FindsKeysWithSpacesIgnoringCaseAndSearchesOnFromTheLastHit) {
  TSortedNameStrings list;
  for (const char* line : {"zeta 9", "Lettore in funzione 12", "beta 2", "Alfa 1", "Alfa.Hint 3"})
    list.Add(line);
  list.Sort();
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list[0], "Alfa 1");
  EXPECT_EQ(list[1], "Alfa.Hint 3");
  EXPECT_EQ(list[2], "beta 2");
  EXPECT_EQ(list[4], "zeta 9");

  struct Case {
    const char* name;
    const char* value;
  };
  for (const Case& c :
       {Case{"Lettore in funzione", "12"}, Case{"LETTORE IN FUNZIONE", "12"}, Case{"alfa", "1"},
        Case{"Alfa.hint", "3"}, Case{"Alf", ""}, Case{"gamma", ""}, Case{"", ""},
        // Only the start of a line is compared: a key followed by a
        // space and more words finds the longer key's line.
        Case{"Lettore", "in funzione 12"}})
    EXPECT_EQ(list.FindValue(c.name, false), c.value) << c.name;

  // A hit moves the search position; a progressive search starts there and
  // so no longer sees the lines before it; a miss leaves the position alone.
  EXPECT_EQ(list.FindValue("beta", false), "2");
  EXPECT_EQ(list.SPos(), 2);
  EXPECT_EQ(list.FindValue("Alfa.Hint", true), "");
  EXPECT_EQ(list.SPos(), 2);
  EXPECT_EQ(list.FindValue("zeta", true), "9");
  EXPECT_EQ(list.SPos(), 4);
  EXPECT_EQ(list.FindValue("Alfa.Hint", false), "3");
  EXPECT_EQ(list.SPos(), 1);
}

TEST_F(LocalizeTest, MessagesByKey) {
  auto m = Manager();
  m->SetUserLanguage(0);
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "Reader running");
  EXPECT_EQ(m->LoadStrByName("nessuna TESSERA inserita"), "No badge inserted");
  EXPECT_EQ(m->LoadStrByName("Assente"), "Assente");  // no entry: the key itself
  EXPECT_EQ(m->LoadStrByName("Senza testo"), "");     // entry, but no text in the language
  EXPECT_EQ(m->LoadStrByID(100), "Reader running");
  EXPECT_EQ(m->LoadStrByID(999), "");
  m->SetUserLanguage(1);
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "Lettore in funzione");
  EXPECT_EQ(m->GetUserLanguage(), 1);
}

TEST_F(LocalizeTest, WithoutALanguageMessagesWithAnEntryReadExclamationMarks) {
  auto m = Manager();
  EXPECT_FALSE(m->LanguageLoaded());
  EXPECT_EQ(m->GetUserLanguage(), 0);
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "!!!");
  EXPECT_EQ(m->LoadStrByID(100), "!!!");
  EXPECT_EQ(m->LoadStrByName("Assente"), "Assente");
  EXPECT_EQ(m->LocalizedCaptionCompName("fmTest.lbName"), "");
  TTestForm form;
  std::string before = form.Texts();
  m->LoadLocalizedForm(form.set);
  EXPECT_EQ(form.Texts(), before);
}

TEST_F(LocalizeTest, FormTranslatedTwiceGivesTheSameTexts) {
  auto m = Manager();
  m->SetUserLanguage(0);
  TTestForm form;
  m->LoadLocalizedForm(form.set);
  const std::string once = form.Texts();
  EXPECT_EQ(form["fmTest"].Caption(), "Test form");
  EXPECT_EQ(form["lbName"].Caption(), "Name");
  EXPECT_EQ(form["lbName"].Hint(), "Your name");
  // Each caption search restarts the hint search, whatever the creation order.
  EXPECT_EQ(form["Zeta"].Caption(), "Zeta EN");
  EXPECT_EQ(form["Zeta"].Hint(), "Zeta hint EN");
  EXPECT_EQ(form["Alfa"].Caption(), "Alfa EN");
  EXPECT_EQ(form["Alfa"].Hint(), "Alfa hint EN");
  EXPECT_EQ(form["lbOther"].Caption(), "Altro");  // no key: unchanged

  m->LoadLocalizedForm(form.set);
  EXPECT_EQ(form.Texts(), once);
}

TEST_F(LocalizeTest, ListEntriesMenusDialogsAndEditFields) {
  auto m = Manager();
  m->SetUserLanguage(0);
  TTestForm form;
  m->LoadLocalizedForm(form.set);

  TControl& combo = form["cbKind"];
  EXPECT_EQ(combo.Items(), (std::vector<std::string>{"First", "due", "Third"}));
  EXPECT_EQ(combo.ItemIndex(), 2);
  EXPECT_EQ(combo.Text(), "Third");

  TControl& edit = form["eName"];
  EXPECT_EQ(edit.Caption(), "");
  EXPECT_EQ(edit.Hint(), "");
  EXPECT_EQ(edit.Text(), "typed");

  EXPECT_EQ(form["mnOpen"].Caption(), "&Open");
  EXPECT_EQ(form["mnOpen"].Hint(), "Opens a file");
  EXPECT_EQ(form["mnRecent"].Caption(), "Recent");
  EXPECT_EQ(form["mnLast"].Caption(), "Last one");  // a sub-entry

  EXPECT_EQ(form["dlgOpen"].Caption(), "Pick a file");
  EXPECT_EQ(form["dlgSave"].Caption(), "Salva");  // empty translation: the default title stays

  // Back to the first language: the Italian texts come back, the selection stays.
  m->SetUserLanguage(1);
  m->LoadLocalizedForm(form.set);
  EXPECT_EQ(combo.Items(), (std::vector<std::string>{"primo", "due", "terzo"}));
  EXPECT_EQ(combo.ItemIndex(), 2);
  EXPECT_EQ(form["mnOpen"].Caption(), "&Apri");
  EXPECT_EQ(form["mnOpen"].Hint(), "Opens a file");  // no Italian hint: the last one stays
}

TEST_F(LocalizeTest, AFormWithoutACaptionKeyGetsAnEmptyCaption) {
  auto m = Manager();
  m->SetUserLanguage(0);
  TControlSet bare;
  TControl& form = bare.Add(ControlKind::Form, "fmBare", nullptr, "Designed");
  bare.Add(ControlKind::Label, "lbName", &form, "Nome");
  m->LoadLocalizedForm(bare);
  EXPECT_EQ(bare["fmBare"].Caption(), "");
  EXPECT_EQ(bare["lbName"].Caption(), "Nome");

  TControlSet nameless;
  nameless.Add(ControlKind::Label, "lbName", nullptr, "Nome");
  EXPECT_THROW(m->LoadLocalizedForm(nameless), ELocalizeError);
}

TEST_F(LocalizeTest, DataModulesTranslateOnlyMenusAndDialogs) {
  auto m = Manager();
  m->SetUserLanguage(0);
  TControlSet module;
  TControl& root = module.Add(ControlKind::Form, "dmTest", nullptr, "dm");
  module.Add(ControlKind::Label, "lbName", &root, "Nome");
  TControl& menu = module.Add(ControlKind::PopupMenu, "pm", nullptr);
  module.Add(ControlKind::MenuItem, "mnOpen", &menu, "&Apri");
  module.Add(ControlKind::OpenDialog, "dlgOpen", nullptr, "Apri");
  m->LoadLocalizedDataModule(module);
  EXPECT_EQ(module["dmTest"].Caption(), "dm");
  EXPECT_EQ(module["lbName"].Caption(), "Nome");
  EXPECT_EQ(module["mnOpen"].Caption(), "&Open");
  EXPECT_EQ(module["dlgOpen"].Caption(), "Pick a file");
}

TEST_F(LocalizeTest, AnotherLanguageIsReadForOneCallOnly) {
  auto m = Manager();
  m->SetUserLanguage(0);
  EXPECT_EQ(m->LoadLanguageStrByName("Lettore in funzione", 1), "Lettore in funzione");
  EXPECT_EQ(m->LanguageCaptionCompName("fmTest.lbName", 1), "Nome");
  EXPECT_EQ(m->LanguageHintCompName("fmTest.lbName", 1), "Il tuo nome");
  EXPECT_EQ(m->LoadLanguageStrByID(100, 0), "Reader running");
  TTestForm form;
  m->LoadLanguageForm(form.set, 1);
  EXPECT_EQ(form["fmTest"].Caption(), "Modulo di prova");
  EXPECT_EQ(form["mnLast"].Caption(), "Ultimo");
  EXPECT_EQ(m->GetUserLanguage(), 0);
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "Reader running");

  TTestForm untouched;
  const std::string before = untouched.Texts();
  try {
    m->LoadLanguageForm(untouched.set, 2);
    ADD_FAILURE() << "no error";
  } catch (const ELocalizeError& e) {
    EXPECT_STREQ(e.what(), "DLL for localization not found");
  }
  EXPECT_THROW(m->LoadLanguageStrByName("Lettore in funzione", 3), ELocalizeError);
  EXPECT_EQ(untouched.Texts(), before);
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "Reader running");
}

TEST_F(LocalizeTest, AMissingIndexFailsTheCreation) {
  for (bool asFolder : {false, true}) {
    fs::remove_all(dir / "TKLocalIndex.lng");
    if (asFolder) fs::create_directory(dir / "TKLocalIndex.lng");
    try {
      Manager();
      ADD_FAILURE() << "no error, folder " << asFolder;
    } catch (const ELocalizeError& e) {
      EXPECT_STREQ(e.what(), "TKLocalIndex.lng not found");
    }
  }
}

TEST_F(LocalizeTest, ALanguageWithoutItsFileKeepsThePreviousOne) {
  auto m = Manager();
  m->SetUserLanguage(1);
  try {
    m->SetUserLanguage(2);
    ADD_FAILURE() << "no error";
  } catch (const ELocalizeError& e) {
    EXPECT_STREQ(e.what(), "DLL for localization not found");
  }
  EXPECT_EQ(m->GetUserLanguage(), 1);
  EXPECT_EQ(m->LoadStrByName("Nessuna tessera inserita"), "Nessuna tessera inserita");
  EXPECT_EQ(m->LocalizedCaptionCompName("fmTest.lbName"), "Nome");
}

TEST_F(LocalizeTest, WhenNeitherLanguageCanBeReadNoneIsLoaded) {
  auto m = Manager();
  m->SetUserLanguage(0);
  fs::remove(dir / "TKEnglish.lng");
  EXPECT_THROW(m->SetUserLanguage(2), ELocalizeError);
  EXPECT_EQ(m->GetUserLanguage(), 0);
  EXPECT_FALSE(m->LanguageLoaded());
  EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "!!!");
  // Another language that can be read still brings its texts.
  m->SetUserLanguage(1);
  EXPECT_EQ(m->LoadStrByName("Nessuna tessera inserita"), "Nessuna tessera inserita");
}

TEST_F(LocalizeTest, LanguageIndexOutOfRange) {
  auto m = Manager();
  m->SetUserLanguage(0);
  for (int index : {-1, 3}) {
    try {
      m->SetUserLanguage(index);
      ADD_FAILURE() << "no error for " << index;
    } catch (const ELocalizeError& e) {
      EXPECT_STREQ(e.what(), "Language code out of range");
    }
    EXPECT_EQ(m->GetUserLanguage(), 0);
    EXPECT_EQ(m->LoadStrByName("Lettore in funzione"), "Reader running");
  }
}

TEST_F(LocalizeTest, LanguagesByName) {
  auto m = Manager();
  EXPECT_EQ(m->NumLanguage(), 3);
  EXPECT_EQ(m->GetCampiLang(0), "English");
  EXPECT_EQ(m->GetCampiLang(1), "Italiano");
  EXPECT_EQ(m->GetCampiLang(2), "Español");
  EXPECT_THROW(m->GetCampiLang(3), ELocalizeError);
  EXPECT_TRUE(m->LanguageExists("ITALIANO"));
  EXPECT_FALSE(m->LanguageExists("Deutsch"));
  m->SetLanguageByName("italiano");
  EXPECT_EQ(m->GetUserLanguage(), 1);
  EXPECT_THROW(m->SetLanguageByName("Deutsch"), ELocalizeError);
  EXPECT_EQ(m->GetUserLanguage(), 1);
}

TEST_F(LocalizeTest, DamagedLinesAreSkipped) {
  WriteFile(dir / "TKLocalIndex.lng",
            "orphan before any section 100\n"
            "[3002]\n"
            "Good 100\n"
            "No id\n"
            "Letters abc\n"
            "Zero 0\n"
            "Huge 70000\n"
            "Bad\xC3\x28utf 100\n"
            "Escapes 101\n"
            "Spaces 102\n"
            "Skipped 103\n"
            "Cr 104\r\n"
            "[9]\n"
            "Unknown section 100\n");
  WriteFile(dir / "TKEnglish.lng",
            "100 good\n"
            "100 a repeated id keeps the first text\n"
            "abc not a number\n"
            "0 zero\n"
            "70000 too big\n"
            "-5 negative\n"
            "101\tTab instead of a space\n"
            "101 Two\\nlines, a \\\\ and a\\ttab\n"
            "102   kept spaces  \n"
            "103 unknown \\q escape\n"
            "103 trailing backslash \\\n"
            "103 invalid \xC3\x28 UTF-8\n"
            "104 carriage return\r\n");
  auto m = Manager();
  m->SetUserLanguage(0);
  struct Case {
    const char* key;
    const char* text;
  };
  for (const Case& c :
       {Case{"Good", "good"}, Case{"No id", "No id"}, Case{"Letters", "Letters"},
        Case{"Zero", "Zero"}, Case{"Huge", "Huge"},
        Case{"orphan before any section", "orphan before any section"},
        Case{"Unknown section", "Unknown section"}, Case{"Escapes", "Two\nlines, a \\ and a\ttab"},
        Case{"Spaces", "  kept spaces  "}, Case{"Skipped", ""}, Case{"Cr", "carriage return"}})
    EXPECT_EQ(m->LoadStrByName(c.key), c.text) << c.key;
  for (int id : {0, 70000}) EXPECT_EQ(m->LoadStrByID(id), "") << id;
}

std::string Utf16(const std::string& ascii, bool bigEndian, const std::u16string& extra = u"") {
  std::u16string units(ascii.begin(), ascii.end());
  units += extra;
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : units) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

TEST_F(LocalizeTest, FilesInEveryAcceptedEncoding) {
  const std::string index = "[3002]\nA 1\nB 2\nC 3\n";
  // "A" is "caf" + e acute + an astral character; B has an unpaired surrogate.
  const std::string utf8 = "1 caf\xC3\xA9\xF0\x9F\x98\x80\n2 ok\n3 fine\n";
  struct Case {
    const char* name;
    std::string index, texts;
    bool unpaired;
  };
  const std::u16string tail = u"caf\u00E9\U0001F600\n2 \xD800x\n3 fine\n";
  for (const Case& c : {
           Case{"UTF-8", index, utf8, false},
           Case{"UTF-8 with BOM", "\xEF\xBB\xBF" + index, "\xEF\xBB\xBF" + utf8, false},
           Case{"UTF-16 LE", Utf16(index, false), Utf16("1 ", false, tail), true},
           Case{"UTF-16 BE", Utf16(index, true), Utf16("1 ", true, tail), true},
       }) {
    WriteFile(dir / "TKLocalIndex.lng", c.index);
    WriteFile(dir / "TKEnglish.lng", c.texts);
    auto m = Manager();
    m->SetUserLanguage(0);
    EXPECT_EQ(m->LoadStrByName("A"), "caf\xC3\xA9\xF0\x9F\x98\x80") << c.name;
    EXPECT_EQ(m->LoadStrByName("B"), c.unpaired ? "" : "ok") << c.name;
    EXPECT_EQ(m->LoadStrByName("C"), "fine") << c.name;
  }
}

TEST_F(LocalizeTest, TextsKeepAtMost512Utf16Units) {
  WriteFile(dir / "TKLocalIndex.lng", "[3002]\nLong 1\nAstral 2\nExact 3\n");
  WriteFile(dir / "TKEnglish.lng", "1 " + std::string(600, 'x') + "\n2 " + std::string(511, 'x') +
                                       "\xF0\x9F\x98\x80\n3 " + std::string(512, 'y') + "\n");
  auto m = Manager();
  m->SetUserLanguage(0);
  EXPECT_EQ(m->LoadStrByName("Long"), std::string(512, 'x'));
  EXPECT_EQ(m->LoadStrByName("Astral"), std::string(511, 'x'));  // the pair would not fit
  EXPECT_EQ(m->LoadStrByName("Exact"), std::string(512, 'y'));
}

TEST_F(LocalizeTest, GlobalFunctionsFallBackWithoutAManager) {
  SetLocalizeManager(nullptr);
  EXPECT_EQ(LocalizeManager(), nullptr);
  EXPECT_EQ(LocalizeString("Lettore in funzione"), "Lettore in funzione");
  EXPECT_EQ(CurrentLanguage(), 0);
  EXPECT_NO_THROW(SelectLanguage(7));
  TTestForm form;
  const std::string before = form.Texts();
  LocalizeFormControls(form.set);
  EXPECT_EQ(form.Texts(), before);

  auto m = Manager();
  SetLocalizeManager(m.get());
  EXPECT_EQ(LocalizeManager(), m.get());
  SelectLanguage(0);
  EXPECT_EQ(CurrentLanguage(), 0);
  EXPECT_EQ(LocalizeString("Lettore in funzione"), "Reader running");
  LocalizeFormControls(form.set);
  EXPECT_EQ(form["fmTest"].Caption(), "Test form");
  EXPECT_THROW(SelectLanguage(7), ELocalizeError);
  SelectLanguage(1);
  EXPECT_EQ(CurrentLanguage(), 1);

  SetLocalizeManager(nullptr);
  EXPECT_EQ(LocalizeString("Nessuna tessera inserita"), "Nessuna tessera inserita");
  EXPECT_EQ(CurrentLanguage(), 0);
}

TEST_F(LocalizeTest, LanguageChangesAndLookupsFromTwoThreads) {
  auto m = Manager();
  m->SetUserLanguage(0);
  std::thread switcher([&] {
    for (int i = 0; i < 200; ++i) m->SetUserLanguage(i % 2);
  });
  int bad = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string s = m->LoadStrByName("Lettore in funzione");
    if (s != "Reader running" && s != "Lettore in funzione") ++bad;
  }
  switcher.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace lumbra::app
