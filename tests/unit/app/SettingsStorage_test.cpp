#include "app/SettingsStorage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/InstallLayout.h"
#include "app/tksimplecrypt2.h"
#include "base/Exceptions.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

class TempDir {
 public:
  TempDir() {
    path = fs::temp_directory_path() /
           ("lumbra-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + std::to_string(std::random_device{}()) + "-" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SettingsStorage, ValuesReadAsTheirTypesWithDefaultsForAnythingElse) {
  TempDir dir;
  WriteFile(dir.path / "s.xml",
            "<?xml version=\"1.0\"?><Configuration><A>TRUE</A><B>no</B><C>Y</C><D>0</D>"
            "<E>7</E><F>maybe</F><G>-12</G><H>12abc</H><I></I><J>caf\xC3\xA9</J></Configuration>");
  TSettingsStorage s;
  ASSERT_EQ(s.Load((dir.path / "s.xml").string()), TSettingsStorage::LoadResult::Loaded);
  EXPECT_TRUE(s.ReadBool("A", false));
  EXPECT_FALSE(s.ReadBool("B", true));
  EXPECT_TRUE(s.ReadBool("C", false));
  EXPECT_FALSE(s.ReadBool("D", true));
  EXPECT_TRUE(s.ReadBool("E", false));
  EXPECT_TRUE(s.ReadBool("F", true));  // neither word nor number: default
  EXPECT_FALSE(s.ReadBool("F", false));
  EXPECT_EQ(s.ReadInteger("G", 1), -12);
  EXPECT_EQ(s.ReadInteger("H", 5), 5);
  EXPECT_EQ(s.ReadInteger("I", 5), 5);
  EXPECT_EQ(s.ReadInteger("Missing", 9), 9);
  EXPECT_EQ(s.ReadString("J", ""), "caf\xC3\xA9");
  EXPECT_EQ(s.ReadString("Missing", "d"), "d");
}

TEST(SettingsStorage, SaveKeepsFirstWriteOrderAndReadsBack) {
  TempDir dir;
  std::string file = (dir.path / "sub" / "s.xml").string();
  TSettingsStorage s;
  EXPECT_EQ(s.Load(file), TSettingsStorage::LoadResult::Missing);
  s.WriteBool("Z", true);
  s.WriteInteger("A", 3);
  s.WriteString("M", "a<b&c \"q\"");
  s.WriteBool("Z", false);  // rewriting keeps the place
  s.Save();
  EXPECT_FALSE(fs::exists(file + ".tmp"));
  TSettingsStorage t;
  ASSERT_EQ(t.Load(file), TSettingsStorage::LoadResult::Loaded);
  ASSERT_EQ(t.Entries().size(), 3u);
  EXPECT_EQ(t.Entries()[0], (std::pair<std::string, std::string>{"Z", "FALSE"}));
  EXPECT_EQ(t.Entries()[1], (std::pair<std::string, std::string>{"A", "3"}));
  EXPECT_EQ(t.ReadString("M", ""), "a<b&c \"q\"");
}

TEST(SettingsStorage, ADamagedFileIsKeptAsideNotOverwritten) {
  struct Case {
    const char* content;
  } cases[] = {{"<Configuration><A>1</A>"}, {"<Other><A>1</A></Other>"}, {"not xml at all"}};
  for (const auto& c : cases) {
    TempDir dir;
    fs::path file = dir.path / "s.xml";
    WriteFile(file, c.content);
    TSettingsStorage s;
    ASSERT_EQ(s.Load(file.string()), TSettingsStorage::LoadResult::Damaged) << c.content;
    EXPECT_TRUE(s.Entries().empty());
    ASSERT_FALSE(s.DamagedCopy().empty());
    EXPECT_EQ(ReadFile(s.DamagedCopy()), c.content);
    s.WriteInteger("A", 2);
    s.Save();
    EXPECT_EQ(ReadFile(s.DamagedCopy()), c.content);  // the saved settings went elsewhere
  }
}

// A name so long that the damaged copy's longer name beside it cannot exist:
// the file cannot be renamed aside, whoever runs the test.
std::string UnrenamableName() {
  return std::string(240, 'p') + ".xml";
}

TEST(SettingsStorage, ADamagedFileThatCannotBeSetAsideIsNeverWritten) {
  const std::string damaged = "<Configuration><A>1</A>";
  struct Case {
    const char* what;
    bool fallbackElsewhere;       // else the fallback is the damaged file itself
    const char* fallbackContent;  // nullptr: no fallback file yet
    bool saves;
  } cases[] = {
      {"fallback not there yet", true, nullptr, true},
      {"fallback from an earlier run", true, "<Configuration><B>5</B></Configuration>", true},
      {"no other place", false, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    fs::path file = dir.path / UnrenamableName();
    fs::path fallback = c.fallbackElsewhere ? dir.path / "cfg" / "s.xml" : file;
    WriteFile(file, damaged);
    if (c.fallbackContent != nullptr) {
      fs::create_directories(fallback.parent_path());
      WriteFile(fallback, c.fallbackContent);
    }
    TSettingsStorage s;
    ASSERT_EQ(s.Load(file.string(), fallback.string()), TSettingsStorage::LoadResult::Damaged);
    EXPECT_TRUE(s.DamagedCopy().empty());
    EXPECT_EQ(s.Redirected(), c.fallbackElsewhere);
    EXPECT_EQ(s.ReadInteger("B", 0), c.fallbackContent != nullptr ? 5 : 0);
    s.WriteInteger("A", 2);
    if (c.saves) {
      EXPECT_EQ(s.FileName(), fallback.string());
      s.Save();
      TSettingsStorage t;
      ASSERT_EQ(t.Load(fallback.string()), TSettingsStorage::LoadResult::Loaded);
      EXPECT_EQ(t.ReadInteger("A", 0), 2);
    } else {
      EXPECT_THROW(s.Save(), Exception);
    }
    EXPECT_EQ(ReadFile(file), damaged);
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir.path)) files += e.is_regular_file();
    EXPECT_EQ(files, c.saves ? 2u : 1u);  // nothing else was written beside them
  }
}

TEST(SettingsStorage, ModifiedUntilSavedAndAgainOnlyByAChange) {
  TempDir dir;
  TSettingsStorage s;
  s.Load((dir.path / "s.xml").string());
  EXPECT_TRUE(s.Modified());  // a missing file is written at the first Save
  s.WriteInteger("A", 1);
  s.Save();
  EXPECT_FALSE(s.Modified());
  s.WriteInteger("A", 1);
  EXPECT_FALSE(s.Modified());
  s.WriteInteger("A", 2);
  EXPECT_TRUE(s.Modified());
}

TEST(SettingsStorage, AnUnwritableFileIsAnErrorNotASilentLoss) {
  TempDir dir;
  WriteFile(dir.path / "plain", "x");  // a file where the settings folder should be
  TSettingsStorage s;
  s.Load((dir.path / "plain" / "s.xml").string());
  s.WriteInteger("A", 1);
  EXPECT_THROW(s.Save(), Exception);
}

TEST(SettingsFilePath, BesideAWritableExecutableElseInTheConfigFolder) {
  TempDir dir;
  EXPECT_EQ(SettingsFilePath((dir.path / "lumbra").string(), "/cfg"),
            (dir.path / "lumbra.xml").string());
  EXPECT_EQ(
      fs::path(SettingsFilePath((dir.path / "bin.x" / "lumbra.bin").string(), "/cfg")),
      fs::path("/cfg/lumbra/lumbra.xml"));  // the folder does not exist, so it cannot be written
}

// An installed copy (<prefix>/bin with its data in <prefix>/share/lumbra) keeps
// each user's settings in the user's folder even when it could write beside
// itself; with the language files beside it, it is a portable copy again.
TEST(SettingsFilePath, AnInstalledCopyUsesTheConfigFolderEvenWhenItsFolderIsWritable) {
  TempDir dir;
  const fs::path exe = dir.path / "usr" / "bin" / "lumbra";
  fs::create_directories(exe.parent_path());
  fs::create_directories(dir.path / "usr" / "share" / "lumbra");
  std::ofstream(dir.path / "usr" / "share" / "lumbra" / "TKLocalIndex.lng") << "x";
  EXPECT_TRUE(IsInstalledCopy(exe.string()));
  EXPECT_EQ(DataFolder(exe.string()), (dir.path / "usr" / "share" / "lumbra").string());
  EXPECT_EQ(fs::path(SettingsFilePath(exe.string(), "/cfg")), fs::path("/cfg/lumbra/lumbra.xml"));

  std::ofstream(exe.parent_path() / "TKLocalIndex.lng") << "x";
  EXPECT_FALSE(IsInstalledCopy(exe.string()));
  EXPECT_EQ(DataFolder(exe.string()), exe.parent_path().string());
  EXPECT_EQ(SettingsFilePath(exe.string(), "/cfg"), (exe.parent_path() / "lumbra.xml").string());
}

TEST(FallbackSettingsPath, TheConfigFolderElseASiblingOfAFileAlreadyThere) {
  // Compared as paths: Windows joins with its own separator.
  EXPECT_EQ(fs::path(FallbackSettingsPath("/opt/app/lumbra.xml", "/cfg")),
            fs::path("/cfg/lumbra/lumbra.xml"));
  EXPECT_EQ(fs::path(FallbackSettingsPath("/cfg/lumbra/lumbra.xml", "/cfg")),
            fs::path("/cfg/lumbra/lumbra.new.xml"));
  EXPECT_EQ(fs::path(FallbackSettingsPath("/cfg/lumbra/./lumbra.xml", "/cfg/")),
            fs::path("/cfg/lumbra/./lumbra.new.xml"));
}

TEST(SimpleCipher, RoundTripsAndChains) {
  for (const std::string text : {"", "a", "qorvi", "Pass Word 123", "\xC3\xA8\xC3\xA9"}) {
    std::string c = SimpleEncrypt(text, kPasswordKey);
    EXPECT_EQ(SimpleDecrypt(c, kPasswordKey), text);
  }
  EXPECT_EQ(SimpleEncrypt("a", kPasswordKey).size(), 2u);
  // k=247, x='a'(97): 247^97 = 150 = 0b10010110; rotl3 = 0b10110100 = 180; not = 75 = 0x4B.
  EXPECT_EQ(SimpleEncrypt("a", kPasswordKey), "4B");
  std::string a = SimpleEncrypt("abcdef", kPasswordKey), b = SimpleEncrypt("abXdef", kPasswordKey);
  EXPECT_EQ(a.substr(0, 4), b.substr(0, 4));
  for (size_t i = 4; i < a.size(); i += 2) EXPECT_NE(a.substr(i, 2), b.substr(i, 2)) << i;
  EXPECT_EQ(SimpleDecrypt("4", kPasswordKey), "");
  EXPECT_EQ(SimpleDecrypt("4B7", kPasswordKey), "a");
  EXPECT_THROW(SimpleDecrypt("ZZ", kPasswordKey), EConvertError);
}

}  // namespace
}  // namespace lumbra::app
