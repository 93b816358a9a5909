// The one place that talks to the XML library.
#include "app/SettingsStorage.h"

#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app/InstallLayout.h"
#include "base/Exceptions.h"
#include "base/Files.h"
#include "base/Text.h"

#ifdef _WIN32
// Windows' own XML library, so the program needs no DLL beside it.
#include <windows.h>
// the rest need windows.h first
#include <objbase.h>
#include <shlwapi.h>
#include <xmllite.h>
#else
#include <pugixml.hpp>
#endif

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

#ifdef _WIN32

std::string Utf8Of(const wchar_t* text, UINT length) {
  if (length == 0) return {};
  int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring WideOf(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// Releases a COM interface when it goes out of scope.
template <class T>
struct ComRef {
  T* p = nullptr;
  ~ComRef() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
};

// The root's name and its element children as (name, first text), in document
// order; false when the text is not well-formed XML.
bool ParseXml(const std::string& bytes, std::string& rootName,
              std::vector<std::pair<std::string, std::string>>& children) {
  ComRef<IStream> stream;
  stream.p = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<UINT>(bytes.size()));
  ComRef<IXmlReader> reader;
  if (stream.p == nullptr ||
      FAILED(CreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader.p), nullptr)) ||
      FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
      FAILED(reader->SetInput(stream.p)))
    return false;
  // Depth is counted here rather than asked of the reader: Wine's reader
  // gives end tags another depth than Windows does, closes elements left open
  // at the end with end tags placed where their start tags are (a real end tag
  // never is), and for text cut short reports no end at all (hence the cap:
  // every node takes at least one byte).
  std::vector<std::pair<UINT, UINT>> starts;  // where each open element began
  auto position = [&] {
    std::pair<UINT, UINT> at{0, 0};
    reader->GetLineNumber(&at.first);
    reader->GetLinePosition(&at.second);
    return at;
  };
  UINT open = 0;
  bool childHasText = false;
  std::size_t nodes = 0;
  XmlNodeType type;
  HRESULT hr;
  while ((hr = reader->Read(&type)) == S_OK) {
    if (++nodes > bytes.size()) return false;
    UINT length = 0;
    const wchar_t* text = nullptr;
    switch (type) {
      case XmlNodeType_Element:
        reader->GetQualifiedName(&text, &length);
        if (open == 0) {
          if (!rootName.empty()) return false;  // a second root
          rootName = Utf8Of(text, length);
        } else if (open == 1) {
          children.emplace_back(Utf8Of(text, length), std::string());
          childHasText = false;
        }
        if (!reader->IsEmptyElement()) {
          ++open;
          starts.push_back(position());
        }
        break;
      case XmlNodeType_EndElement:
        if (open == 0 || position() == starts.back()) return false;
        --open;
        starts.pop_back();
        break;
      case XmlNodeType_Text:
      case XmlNodeType_CDATA:
        // The element's first piece of text is its value, as with pugixml's text().
        if (open == 2 && !childHasText) {
          reader->GetValue(&text, &length);
          children.back().second = Utf8Of(text, length);
          childHasText = true;
        }
        break;
      default:
        break;
    }
  }
  return SUCCEEDED(hr) && !rootName.empty() && open == 0;
}

std::string WriteXml(const std::vector<std::pair<std::string, std::string>>& entries) {
  const std::string failure = "Cannot write the settings as XML";
  ComRef<IStream> stream;
  stream.p = SHCreateMemStream(nullptr, 0);
  ComRef<IXmlWriter> writer;
  if (stream.p == nullptr ||
      FAILED(CreateXmlWriter(__uuidof(IXmlWriter), reinterpret_cast<void**>(&writer.p), nullptr)) ||
      FAILED(writer->SetProperty(XmlWriterProperty_Indent, TRUE)) ||
      FAILED(writer->SetOutput(stream.p)) ||
      FAILED(writer->WriteStartDocument(XmlStandalone_Omit)) ||
      FAILED(writer->WriteStartElement(nullptr, L"Configuration", nullptr)))
    throw Exception(failure);
  // Start, text and end rather than WriteElementString: Wine's writer does not
  // escape the text given to that one.
  for (const auto& [key, value] : entries)
    if (FAILED(writer->WriteStartElement(nullptr, WideOf(key).c_str(), nullptr)) ||
        FAILED(writer->WriteString(WideOf(value).c_str())) || FAILED(writer->WriteFullEndElement()))
      throw Exception(failure + ": " + key);
  if (FAILED(writer->WriteEndDocument()) || FAILED(writer->Flush())) throw Exception(failure);
  STATSTG stat{};
  LARGE_INTEGER zero{};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) ||
      FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr)))
    throw Exception(failure);
  std::string bytes(static_cast<std::size_t>(stat.cbSize.QuadPart), '\0');
  ULONG read = 0;
  if (!bytes.empty() && FAILED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read)))
    throw Exception(failure);
  bytes.resize(read);
  return bytes;
}

#endif

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

#ifdef _WIN32
  std::string rootName;
  std::vector<std::pair<std::string, std::string>> children;
  std::optional<std::string> bytes = ReadFileBytes(Utf8Path(fileName));
  bool parsed = bytes && ParseXml(*bytes, rootName, children);
#else
  pugi::xml_document doc;
  bool parsed = doc.load_file(fileName.c_str());
  std::string rootName = doc.document_element().name();
  std::vector<std::pair<std::string, std::string>> children;
  for (pugi::xml_node child : doc.document_element().children())
    if (child.type() == pugi::node_element) children.emplace_back(child.name(), child.text().get());
#endif
  if (!parsed || rootName != kRoot) {
    fDamagedCopy = DamagedName(fileName);
    fs::rename(fileName, fDamagedCopy, ec);
    if (ec) fDamagedCopy.clear();
    return LoadResult::Damaged;
  }
  for (auto& [key, value] : children)
    if (Find(key) == nullptr) fEntries.emplace_back(std::move(key), std::move(value));
  return LoadResult::Loaded;
}

void TSettingsStorage::Save() {
  if (!fNowhere.empty())
    throw Exception("The settings cannot be saved: " + fNowhere +
                    " is damaged and cannot be set aside");
  if (fFileName.empty()) return;
#ifdef _WIN32
  WriteFileAtomically(fFileName, WriteXml(fEntries), "settings file");
#else
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
#endif
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
