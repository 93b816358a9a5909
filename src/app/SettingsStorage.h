#pragma once
// The settings document: an XML file whose root "Configuration" holds one
// element per key, text content as the value, in the order keys were first
// written. Changes stay in memory until Save, which replaces the file
// atomically so that a crash never leaves half a file.
#include <string>
#include <utility>
#include <vector>

namespace lumbra::app {

class TSettingsStorage {
 public:
  enum class LoadResult { Loaded, Missing, Damaged };

  // A file that is not well-formed XML or has another root is kept, renamed
  // beside itself (DamagedCopy), and the document starts empty. When it cannot
  // be renamed it is left as it is and never written again: the settings are
  // then read from and saved to fallbackFileName (Redirected).
  LoadResult Load(const std::string& fileName, const std::string& fallbackFileName = "");
  // Where Save writes.
  const std::string& FileName() const { return fFileName; }
  const std::string& DamagedCopy() const { return fDamagedCopy; }
  // The damaged file stayed where it was and FileName is the fallback.
  bool Redirected() const { return fRedirected; }
  // Raises lumbra::Exception when the file cannot be written, or when a
  // damaged file could not be set aside and no usable fallback was left.
  void Save();
  // From Load until the next Save, and again after a write that changes a value.
  bool Modified() const { return fModified; }

  bool Has(const std::string& key) const;
  // "TRUE", "YES", "Y" / "FALSE", "NO", "N" in any case, else an integer
  // (non-zero is true); anything else gives the default.
  bool ReadBool(const std::string& key, bool def) const;
  int ReadInteger(const std::string& key, int def) const;
  std::string ReadString(const std::string& key, const std::string& def) const;
  void WriteBool(const std::string& key, bool value);
  void WriteInteger(const std::string& key, int value);
  void WriteString(const std::string& key, const std::string& value);
  const std::vector<std::pair<std::string, std::string>>& Entries() const { return fEntries; }

 private:
  const std::string* Find(const std::string& key) const;
  LoadResult LoadFile(const std::string& fileName);
  std::string fFileName;
  std::string fDamagedCopy;
  std::string fNowhere;  // the file that could not be kept aside, when there is no place left
  bool fRedirected = false;
  bool fModified = false;
  std::vector<std::pair<std::string, std::string>> fEntries;
};

// Where the settings live: beside the executable, with its extension replaced
// by ".xml", when that folder is writable and not an installed copy's (see
// InstallLayout.h); otherwise the same file name in configDir/lumbra.
std::string SettingsFilePath(const std::string& executablePath, const std::string& configDir);

// Where the settings go when the file at fileName is damaged and cannot be
// set aside: the same file name in configDir/lumbra, or, for a file that is
// already there, a sibling ".new.xml".
std::string FallbackSettingsPath(const std::string& fileName, const std::string& configDir);

}  // namespace lumbra::app
