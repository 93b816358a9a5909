#include "app/SettingsStorage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
            "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
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
  EXPECT_EQ(SettingsFilePath((dir.path / "bin.x" / "lumbra.bin").string(), "/cfg"),
            "/cfg/lumbra/lumbra.xml");  // the folder does not exist, so it cannot be written
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
