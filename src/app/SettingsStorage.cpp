// The one place that talks to the XML library.
#include "app/SettingsStorage.h"

#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <system_error>

#include "app/InstallLayout.h"
#include "base/Exceptions.h"
#include "base/Files.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

constexpr char kRoot[] = "Configuration";

bool ParseInt(const std::string& s, int& out) {
  const char* first = s.data();
  const char* last = first + s.size();
  if (first != last && *first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, out);
  return first != last && ec == std::errc() && ptr == last;
}

std::string DamagedName(const std::string& fileName) {
  auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  std::string base = fileName + ".damaged-" + std::to_string(stamp);
  std::string name = base;
  // A name the file system refuses ends the search: the rename then fails too.
  std::error_code ec;
  for (int i = 1; fs::exists(name, ec); ++i) name = base + "-" + std::to_string(i);
  return name;
}

}  // namespace

TSettingsStorage::LoadResult TSettingsStorage::Load(const std::string& fileName,
                                                    const std::string& fallbackFileName) {
  fRedirected = false;
  fNowhere.clear();
  fModified = true;  // the first Save always writes
  LoadResult result = LoadFile(fileName);
  if (result != LoadResult::Damaged || !fDamagedCopy.empty()) return result;
  // The damaged file could not be set aside: it must never be overwritten.
  std::error_code ec;
  if (fallbackFileName.empty() || fs::equivalent(fileName, fallbackFileName, ec)) {
    fNowhere = fileName;
    fFileName.clear();
    return result;
  }
  fRedirected = true;
  if (LoadFile(fallbackFileName) == LoadResult::Damaged && fDamagedCopy.empty()) {
    fNowhere = fallbackFileName;
    fFileName.clear();
  }
  fDamagedCopy.clear();  // the damaged file the caller asked for stayed where it was
  return result;
}

TSettingsStorage::LoadResult TSettingsStorage::LoadFile(const std::string& fileName) {
  fFileName = fileName;
  fDamagedCopy.clear();
  fEntries.clear();
  std::error_code ec;
  if (!fs::exists(fileName, ec) || fs::file_size(fileName, ec) == 0) return LoadResult::Missing;

  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_file(fileName.c_str());
  pugi::xml_node root = doc.document_element();
  if (!parsed || std::string(root.name()) != kRoot) {
    fDamagedCopy = DamagedName(fileName);
    fs::rename(fileName, fDamagedCopy, ec);
    if (ec) fDamagedCopy.clear();
    return LoadResult::Damaged;
  }
  for (pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element) continue;
    std::string key = child.name();
    if (Find(key) == nullptr) fEntries.emplace_back(key, child.text().get());
  }
  return LoadResult::Loaded;
}

void TSettingsStorage::Save() {
  if (!fNowhere.empty())
    throw Exception("The settings cannot be saved: " + fNowhere +
                    " is damaged and cannot be set aside");
  if (fFileName.empty()) return;
  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = doc.append_child(kRoot);
  for (const auto& [key, value] : fEntries)
    root.append_child(key.c_str()).text().set(value.c_str());

  std::ostringstream text;
  doc.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
  WriteFileAtomically(fFileName, text.str(), "settings file");
  fModified = false;
}

const std::string* TSettingsStorage::Find(const std::string& key) const {
  for (const auto& e : fEntries)
    if (e.first == key) return &e.second;
  return nullptr;
}

bool TSettingsStorage::Has(const std::string& key) const {
  return Find(key) != nullptr;
}

bool TSettingsStorage::ReadBool(const std::string& key, bool def) const {
  const std::string* v = Find(key);
  if (v == nullptr) return def;
  std::string s = LowerAscii(*v);
  if (s == "true" || s == "yes" || s == "y") return true;
  if (s == "false" || s == "no" || s == "n") return false;
  int n = 0;
  return ParseInt(*v, n) ? n != 0 : def;
}

int TSettingsStorage::ReadInteger(const std::string& key, int def) const {
  const std::string* v = Find(key);
  int n = 0;
  return v != nullptr && ParseInt(*v, n) ? n : def;
}

std::string TSettingsStorage::ReadString(const std::string& key, const std::string& def) const {
  const std::string* v = Find(key);
  return v != nullptr ? *v : def;
}

void TSettingsStorage::WriteString(const std::string& key, const std::string& value) {
  for (auto& e : fEntries)
    if (e.first == key) {
      if (e.second != value) fModified = true;
      e.second = value;
      return;
    }
  fEntries.emplace_back(key, value);
  fModified = true;
}

void TSettingsStorage::WriteBool(const std::string& key, bool value) {
  WriteString(key, value ? "TRUE" : "FALSE");
}

void TSettingsStorage::WriteInteger(const std::string& key, int value) {
  WriteString(key, std::to_string(value));
}

std::string SettingsFilePath(const std::string& executablePath, const std::string& configDir) {
  fs::path exe(executablePath);
  fs::path file = exe.filename();
  file.replace_extension(".xml");
  fs::path beside = exe.parent_path() / file;
  if (IsInstalledCopy(executablePath)) return (fs::path(configDir) / "lumbra" / file).string();
  // Writable folder: a portable install keeps its settings with it.
  std::error_code ec;
  fs::path probe = exe.parent_path() /
                   (".lumbra-probe-" + std::to_string(std::hash<std::string>{}(executablePath)));
  {
    std::ofstream out(probe);
    if (out) {
      out.close();
      fs::remove(probe, ec);
      return beside.string();
    }
  }
  return (fs::path(configDir) / "lumbra" / file).string();
}

std::string FallbackSettingsPath(const std::string& fileName, const std::string& configDir) {
  fs::path file(fileName);
  fs::path inConfig = fs::path(configDir) / "lumbra" / file.filename();
  if (file.lexically_normal() != inConfig.lexically_normal()) return inConfig.string();
  fs::path sibling = file;
  sibling.replace_extension(".new.xml");
  return sibling.string();
}

}  // namespace lumbra::app
