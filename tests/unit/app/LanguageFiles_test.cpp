// The language files the build writes beside the program: every text the
// program shows has a translation in every language, and the generator turns
// the tables into files the manager reads, or stops at a malformed row.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>

#include "app/About.h"
#include "app/UEmuTas.h"
#include "app/UPWD.h"
#include "app/uRCLocalize.h"
#include "base/Files.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/fake/FakeMessageLoop.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

constexpr int kItaliano = 1;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

// Keys passed as literals anywhere in the program's sources to LocalizeString
// or to the main window's functions that take a message key.
std::set<std::string> MessageKeysInSources() {
  static const std::regex call(
      R"re((?:LocalizeString|ShowBadgeStatus|SignalReadError)\(\s*"((?:[^"\\]|\\.)*)"\s*[,)])re");
  std::set<std::string> keys;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(LUMBRA_SOURCE_DIR) / "src")) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    const std::string text = ReadFile(entry.path());
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
      std::string raw = (*it)[1], key;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
          char e = raw[++i];
          key.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
        } else {
          key.push_back(raw[i]);
        }
      }
      if (!key.empty()) keys.insert(key);
    }
  }
  return keys;
}

bool HasLetter(const std::string& s) {
  for (char c : s)
    if (std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80)
      return true;
  return false;
}

// The caption keys of a form and the design text each one must give back in Italian.
std::vector<std::pair<std::string, std::string>> CaptionKeys(const TControlSet& form) {
  const std::string root = FormName(form);
  std::vector<std::pair<std::string, std::string>> keys;
  for (const auto& c : form.All()) {
    const std::string key = root + "." + c->Name();
    switch (c->Kind()) {
      case ControlKind::Form:
        keys.emplace_back(c->Name(), c->Caption());
        continue;
      case ControlKind::Edit:
      case ControlKind::SpinEdit:
      case ControlKind::PopupMenu:
        continue;
      case ControlKind::OpenDialog:
        keys.emplace_back(key + ".Title", c->Caption());
        continue;
      default:
        break;
    }
    if (HasLetter(c->Caption())) keys.emplace_back(key, c->Caption());
    if (!c->Hint().empty()) keys.emplace_back(key + ".Hint", c->Hint());
    if (c->Kind() == ControlKind::ComboBox)
      for (size_t n = 0; n < c->Items().size(); ++n)
        if (HasLetter(c->Items()[n]))
          keys.emplace_back(key + "." + std::to_string(n), c->Items()[n]);
  }
  return keys;
}

std::string Snapshot(const TControlSet& form) {
  std::string out;
  for (const auto& c : form.All()) {
    out += c->Name() + "|" + c->Caption() + "|" + c->Hint() + "|" + c->Text();
    for (const auto& item : c->Items()) out += "|" + item;
    out += "\n";
  }
  return out;
}

class GeneratedLanguagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    manager = std::make_unique<TRCLocalizeManager>(LUMBRA_LANG_DIR);
  }
  platform::FakeMessageLoop loop;
  platform::FakeDesktop desktop;
  std::unique_ptr<TRCLocalizeManager> manager;
};

TEST_F(GeneratedLanguagesTest, EveryMessageKeyOfTheSourcesHasATextInEveryLanguage) {
  const std::set<std::string> keys = MessageKeysInSources();
  ASSERT_TRUE(keys.count("Lettoreinfunzione")) << "the scan of the sources found no keys";
  for (const std::string& key : keys) {
    int id = manager->MessageID(key);
    EXPECT_GT(id, 0) << "no entry in lang/messages.tsv for \"" << key << "\"";
    if (id <= 0) continue;
    for (int language = 0; language < manager->NumLanguage(); ++language) {
      manager->SetUserLanguage(language);
      EXPECT_NE(manager->LoadStrByID(id), "")
          << manager->GetCampiLang(language) << " text of \"" << key << "\"";
    }
  }
}

TEST_F(GeneratedLanguagesTest, EveryCaptionOfTheFormsHasATextInEveryLanguage) {
  Owned<TTkEmuTasMain> main(new TTkEmuTasMain(TAppServices{}));
  TTkETPwdDlg password;
  TfmAbout about;
  for (TControlSet* form : {&main->Controls, &password.Controls, &about.Controls}) {
    for (const auto& [key, design] : CaptionKeys(*form)) {
      int id = manager->CaptionID(key);
      EXPECT_GT(id, 0) << "no entry in lang/captions.tsv for " << key;
      if (id <= 0) continue;
      for (int language = 0; language < manager->NumLanguage(); ++language) {
        manager->SetUserLanguage(language);
        EXPECT_NE(manager->LocalizedCaptionCompID(id), "")
            << manager->GetCampiLang(language) << " text of " << key;
      }
      manager->SetUserLanguage(kItaliano);
      EXPECT_EQ(manager->LocalizedCaptionCompID(id), design) << key;
    }
    // Through every language and back to Italian: the form is as designed again.
    const std::string designed = Snapshot(*form);
    for (int language : {0, 2, kItaliano}) {
      manager->SetUserLanguage(language);
      manager->LoadLocalizedForm(*form);
    }
    EXPECT_EQ(Snapshot(*form), designed);
  }
  // The main window puts its version word in place of the caption's last word.
  for (int language = 0; language < manager->NumLanguage(); ++language) {
    manager->SetUserLanguage(language);
    std::string caption = manager->LocalizedCaptionCompName("TkEmuTasMain");
    EXPECT_TRUE(caption.ends_with(std::string(" ") + kVersionWord)) << caption;
  }
}

// A desktop session starts the program at log-in: the check box and its hint
// say so in every language, while the Windows wording stays where it is used.
TEST_F(GeneratedLanguagesTest, TheAutostartBoxSpeaksOfLogInOnADesktopAndOfWindowsOnWindows) {
  SetLocalizeManager(manager.get());
  for (bool atLogIn : {true, false}) {
    TAppServices services;
    services.autostartAtLogIn = atLogIn;
    Owned<TTkEmuTasMain> main(new TTkEmuTasMain(services));
    const TControl& box = main->C("ckAvvioAutomatico");
    for (int language = 0; language < manager->NumLanguage(); ++language) {
      manager->SetUserLanguage(language);
      main->LocalizeForm();
      const std::string windows =
          manager->LocalizedCaptionCompName("TkEmuTasMain.ckAvvioAutomatico");
      SCOPED_TRACE(manager->GetCampiLang(language) + (atLogIn ? " at log-in" : " Windows"));
      ASSERT_NE(box.Caption(), "");
      EXPECT_EQ(box.Caption() == windows, !atLogIn) << box.Caption();
      EXPECT_EQ(box.Caption().find("Windows") == std::string::npos, atLogIn) << box.Caption();
      EXPECT_EQ(box.Hint().empty(), !atLogIn) << box.Hint();
      EXPECT_EQ(box.Hint().find("Windows"), std::string::npos) << box.Hint();
    }
  }
  SetLocalizeManager(nullptr);
}

// --- The generator ------------------------------------------------------------------

class LanguageGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir =
        fs::temp_directory_path() / ("lumbra-langgen-" + std::to_string(std::random_device{}()) +
                                     "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(dir / "out");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the generator on the two tables; its exit status and what it wrote to stderr.
  std::pair<int, std::string> Run(const std::string& captions, const std::string& messages) {
    WriteFile(dir / "captions.tsv", captions);
    WriteFile(dir / "messages.tsv", messages);
    const std::string command = std::string("\"") + LUMBRA_LANGGEN +
                                "\" --languages English,Italiano,Español --captions \"" +
                                (dir / "captions.tsv").string() + "\" --messages \"" +
                                (dir / "messages.tsv").string() + "\" --out \"" +
                                (dir / "out").string() + "\" 2> \"" + (dir / "err").string() + "\"";
#ifdef _WIN32
    // cmd.exe drops the outermost pair of quotes, and only the wide call keeps
    // "Español" whatever the code page.
    int status = _wsystem(lumbra::Utf8Path("\"" + command + "\"").wstring().c_str());
#else
    int status = std::system(command.c_str());
#endif
    return {status, ReadFile(dir / "err")};
  }
  fs::path dir;
};

const char kHeader[] = "key\tItaliano\tEnglish\tEspañol\n";

TEST_F(LanguageGeneratorTest, WritesFilesTheManagerReads) {
  auto [status, err] = Run(std::string("# a comment\n") + kHeader +
                               "fm\tModulo\tForm\tFormulario\n"
                               "\n"
                               "fm.lb\tCiao\\s\tHello\\s\tHola\\s\n"
                               "fm.bt\t&Chiudi\t&Close\t&Cerrar\n",
                           std::string("\xEF\xBB\xBF") + kHeader +
                               "Due righe\tDue\\nrighe\tTwo\\nlines\tDos\\nlíneas\r\n"
                               "Tessera: \tTessera:\\s\tBadge:\\s\tTarjeta:\\s\r\n"
                               "Barra\tuna \\\\ barra\ta \\\\ backslash\tuna \\\\ barra\n"
                               "Tab\tcon\\ttab\twith\\ttab\tcon\\ttab\n");
  ASSERT_EQ(status, 0) << err;
  for (const char* name : {"TKLocalIndex.lng", "TKEnglish.lng", "TKItaliano.lng", "TKEspañol.lng"})
    EXPECT_TRUE(fs::is_regular_file(dir / "out" / Utf8Path(name))) << name;

  TRCLocalizeManager m((dir / "out").string());
  struct Case {
    int language;
    const char *form, *label, *twoLines, *badge;
  };
  for (const Case& c : {Case{0, "Form", "Hello ", "Two\nlines", "Badge: "},
                        Case{1, "Modulo", "Ciao ", "Due\nrighe", "Tessera: "},
                        Case{2, "Formulario", "Hola ", "Dos\nlíneas", "Tarjeta: "}}) {
    m.SetUserLanguage(c.language);
    EXPECT_EQ(m.LocalizedCaptionCompName("fm"), c.form);
    EXPECT_EQ(m.LocalizedCaptionCompName("fm.lb"), c.label);
    EXPECT_EQ(m.LoadStrByName("Due righe"), c.twoLines);
    EXPECT_EQ(m.LoadStrByName("Tessera: "), c.badge);
  }
  m.SetUserLanguage(0);
  EXPECT_EQ(m.LoadStrByName("Barra"), "a \\ backslash");
  EXPECT_EQ(m.LoadStrByName("Tab"), "with\ttab");
  EXPECT_EQ(m.LoadStrByName("Tessera:"), "Tessera:");  // not the key with the space
}

TEST_F(LanguageGeneratorTest, AMalformedRowStopsTheBuildNamingFileAndLine) {
  const std::string good = "k.a\tuno\tone\tuno\n";
  struct Case {
    std::string rows;  // after the header and the good row: the bad row is line 3
    const char* message;
  };
  for (const Case& c : {
           Case{"k.b\tdue\ttwo\n", "expected 4 tab-separated cells"},
           Case{"k.b\tdue\ttwo\tdos\textra\n", "expected 4 tab-separated cells"},
           Case{"k.b\tdue\t\tdos\n", "no English text"},
           Case{"\tdue\ttwo\tdos\n", "empty key"},
           Case{"[k\tdue\ttwo\tdos\n", "must not start with"},
           Case{"k.b\tdu\\qe\ttwo\tdos\n", "unknown escape \\q"},
           Case{"k.b\tdue\ttwo\tdos\\\n", "unknown escape"},
           Case{"k.b\td\xC3\x28ue\ttwo\tdos\n", "not valid UTF-8"},
           Case{"K.A\tdue\ttwo\tdos\n", "repeats line 2"},
           Case{"k.a b\tdue\ttwo\tdos\n", "starts with the key \"k.a\""},
           Case{"k.b\tdue\\s\ttwo\tdos\\s\n", "other spaces"},
           Case{"k.b\t&due\ttwo\t&dos\n", "accelerators"},
           Case{"k.b\tdue\t" + std::string(513, 'x') + "\tdos\n", "longer than 512"},
       }) {
    fs::remove_all(dir / "out");
    auto [status, err] = Run(kHeader + good + c.rows, kHeader);
    EXPECT_NE(status, 0) << c.rows;
    EXPECT_NE(err.find("captions.tsv:3: "), std::string::npos) << c.rows << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.rows << err;
    EXPECT_FALSE(fs::exists(dir / "out" / "TKLocalIndex.lng")) << c.rows;
  }
  auto [status, err] = Run("key\tItaliano\tEnglish\n", kHeader);
  EXPECT_NE(status, 0);
  EXPECT_NE(err.find("captions.tsv:1: no column for the language Español"), std::string::npos)
      << err;
}

}  // namespace
}  // namespace lumbra::app
