#include "app/uRCLocalize.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>

#include "base/Files.h"
#include "base/Text.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

constexpr char kIndexFile[] = "TKLocalIndex.lng";
constexpr int kCaptionIndexId = 3001;
constexpr int kMessageIndexId = 3002;
constexpr size_t kMaxTextUnits = 512;  // UTF-16 units, as a string resource holds
constexpr char kNoLanguage[] = "!!!";

// UTF-16 becomes UTF-8; an unpaired surrogate becomes a byte that is never
// valid UTF-8, so that only its line is dropped later.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) -> char16_t {
    auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
    auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
    return static_cast<char16_t>(hi << 8 | lo);
  };
  size_t n = bytes.size() / 2 * 2;
  for (size_t i = 0; i < n; i += 2) {
    char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 2 < n) {
      char16_t v = unit(i + 2);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF)
      out.push_back('\xFF');
    else
      AppendUtf8(out, u);
  }
  return out;
}

std::string DecodeText(const std::string& bytes) {
  std::string_view b(bytes);
  if (b.starts_with("\xEF\xBB\xBF")) return std::string(b.substr(3));
  if (b.starts_with("\xFF\xFE")) return Utf16ToUtf8(b.substr(2), false);
  if (b.starts_with("\xFE\xFF")) return Utf16ToUtf8(b.substr(2), true);
  return bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// A string ID: decimal digits only, 1 to 65535 (the range of resource IDs).
int ParseId(std::string_view s) {
  if (s.empty() || s.size() > 5) return 0;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535 ? v : 0;
}

std::optional<std::string> Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out.push_back(s[i]);
      continue;
    }
    if (++i == s.size()) return std::nullopt;
    switch (s[i]) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

bool IsComment(const std::string& line) {
  return line.empty() || line[0] == '#';
}

// "[3001]" and the like; 0 for any other line.
int SectionHeader(const std::string& line) {
  if (line.size() < 3 || line.front() != '[' || line.back() != ']') return 0;
  return ParseId(std::string_view(line).substr(1, line.size() - 2));
}

unsigned char Fold(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Compares the first n characters of a (all of it when shorter) with b[0, n).
int CompareFolded(std::string_view a, std::string_view b, size_t n) {
  size_t la = std::min(a.size(), n), lb = std::min(b.size(), n);
  for (size_t i = 0; i < la && i < lb; ++i) {
    unsigned char x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

}  // namespace

// --- TSortedNameStrings -----------------------------------------------------------

void TSortedNameStrings::Clear() {
  fLines.clear();
  fSPos = 0;
  fSorted = true;
}

void TSortedNameStrings::Add(std::string line) {
  fLines.push_back(std::move(line));
  fSorted = false;
}

void TSortedNameStrings::Sort() {
  std::stable_sort(fLines.begin(), fLines.end(), [](const std::string& a, const std::string& b) {
    return CompareFolded(a, b, std::max(a.size(), b.size())) < 0;
  });
  fSPos = 0;
  fSorted = true;
}

std::string TSortedNameStrings::FindValue(const std::string& name, bool progressive) {
  if (!fSorted) Sort();
  const std::string prefix = name + " ";
  int lo = progressive ? fSPos : 0;
  int hi = Count() - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    const std::string& line = fLines[static_cast<size_t>(mid)];
    int c = CompareFolded(line, prefix, prefix.size());
    if (c < 0) {
      lo = mid + 1;
    } else if (c > 0) {
      hi = mid - 1;
    } else {
      fSPos = mid;
      return line.substr(prefix.size());
    }
  }
  return "";
}

// --- TRCLocalizeManager ---------------------------------------------------------

// Makes another language the current one for the duration of one call.
class TRCLocalizeManager::TSwitch {
 public:
  TSwitch(TRCLocalizeManager& m, int language) : fM(m) {
    if (language < 0 || language >= m.NumLanguage())
      throw ELocalizeError("Language code out of range");
    if (language == m.fUserLanguage) return;
    auto texts = m.ReadLanguage(language);
    if (!texts) throw ELocalizeError("DLL for localization not found");
    fLanguage = m.fUserLanguage;
    fTexts = std::move(m.fTexts);
    m.fUserLanguage = language;
    m.fTexts = std::move(texts);
    fSwitched = true;
  }
  ~TSwitch() {
    if (!fSwitched) return;
    fM.fUserLanguage = fLanguage;
    fM.fTexts = std::move(fTexts);
  }
  TSwitch(const TSwitch&) = delete;
  TSwitch& operator=(const TSwitch&) = delete;

 private:
  TRCLocalizeManager& fM;
  bool fSwitched = false;
  int fLanguage = 0;
  std::shared_ptr<const TLanguageTexts> fTexts;
};

TRCLocalizeManager::TRCLocalizeManager(const std::string& folder) : fFolder(folder) {
  fCampiLang = {"English", "Italiano", "Español"};
  auto bytes = ReadFileBytes(Utf8Path(folder) / kIndexFile);
  if (!bytes) throw ELocalizeError("TKLocalIndex.lng not found");
  TSortedNameStrings* index = nullptr;
  for (const std::string& line : SplitLines(DecodeText(*bytes))) {
    if (IsComment(line)) continue;
    if (int section = SectionHeader(line)) {
      index = section == kCaptionIndexId   ? &CaptionIndex
              : section == kMessageIndexId ? &MessageIndex
                                           : nullptr;
      continue;
    }
    size_t space = line.rfind(' ');
    if (index == nullptr || space == std::string::npos || space == 0 || !Utf16Length(line) ||
        ParseId(std::string_view(line).substr(space + 1)) == 0)
      continue;
    index->Add(line);
  }
  CaptionIndex.Sort();
  MessageIndex.Sort();
}

TRCLocalizeManager::~TRCLocalizeManager() = default;

std::shared_ptr<const TLanguageTexts> TRCLocalizeManager::ReadLanguage(int index) const {
  auto bytes = ReadFileBytes(Utf8Path(fFolder) /
                             Utf8Path("TK" + fCampiLang.at(static_cast<size_t>(index)) + ".lng"));
  if (!bytes) return nullptr;
  auto texts = std::make_shared<TLanguageTexts>();
  for (const std::string& line : SplitLines(DecodeText(*bytes))) {
    if (IsComment(line) || !Utf16Length(line)) continue;
    size_t space = line.find(' ');
    int id = ParseId(std::string_view(line).substr(0, space));
    if (id == 0) continue;
    auto text = Unescape(space == std::string::npos ? std::string_view()
                                                    : std::string_view(line).substr(space + 1));
    if (!text) continue;
    text->resize(Utf8PrefixWithin(*text, kMaxTextUnits));
    texts->emplace(id, std::move(*text));  // a repeated ID keeps its first text
  }
  return texts;
}

void TRCLocalizeManager::SetUserLanguage(int index) {
  std::lock_guard lock(fLock);
  int previous = fUserLanguage;
  TCustomLocalizeManager::SetUserLanguage(index);  // raises for an index out of range
  fTexts.reset();
  fTexts = ReadLanguage(index);
  if (fTexts) return;
  fUserLanguage = previous;
  fTexts = ReadLanguage(previous);  // may fail too: then no language is loaded
  throw ELocalizeError("DLL for localization not found");
}

bool TRCLocalizeManager::LanguageLoaded() const {
  std::lock_guard lock(fLock);
  return fTexts != nullptr;
}

int TRCLocalizeManager::CaptionID(const std::string& key) {
  std::lock_guard lock(fLock);
  return ParseId(CaptionIndex.FindValue(key, false));
}

int TRCLocalizeManager::MessageID(const std::string& key) {
  std::lock_guard lock(fLock);
  return ParseId(MessageIndex.FindValue(key, false));
}

std::string TRCLocalizeManager::CaptionText(const std::string& key, bool progressive) {
  int id = ParseId(CaptionIndex.FindValue(key, progressive));
  return id == 0 ? std::string() : LocalizedCaptionCompID(id);
}

std::string TRCLocalizeManager::LocalizedCaptionCompName(const std::string& key) {
  std::lock_guard lock(fLock);
  return CaptionText(key, false);
}

std::string TRCLocalizeManager::LocalizedHintCompName(const std::string& key) {
  std::lock_guard lock(fLock);
  // While a form is translated the hint follows its caption in the sorted index.
  return CaptionText(key + ".Hint", fHintAfterCaption);
}

std::string TRCLocalizeManager::LocalizedCaptionCompID(int id) {
  std::lock_guard lock(fLock);
  if (!fTexts) return "";
  auto it = fTexts->find(id);
  return it == fTexts->end() ? std::string() : it->second;
}

void TRCLocalizeManager::LoadLocalizedCaption(TControl& control, const std::string& key) {
  std::lock_guard lock(fLock);
  std::string text = LocalizedCaptionCompName(key);
  if (!text.empty()) control.SetCaption(text);
}

void TRCLocalizeManager::LoadLocalizedHint(TControl& control, const std::string& key) {
  std::lock_guard lock(fLock);
  std::string text = LocalizedHintCompName(key);
  if (!text.empty()) control.SetHint(text);
}

void TRCLocalizeManager::LoadLocalizedForm(TControlSet& form) {
  std::lock_guard lock(fLock);
  LoadLanguageForm(form, fUserLanguage);
}

void TRCLocalizeManager::LoadLocalizedDataModule(TControlSet& module) {
  std::lock_guard lock(fLock);
  LoadLanguageDataModule(module, fUserLanguage);
}

void TRCLocalizeManager::TranslateCaptionAndHint(TControl& control, const std::string& key) {
  // One control that cannot take its text must not stop the rest of the form.
  try {
    LoadLocalizedCaption(control, key);
  } catch (const std::exception&) {
  }
  try {
    LoadLocalizedHint(control, key);
  } catch (const std::exception&) {
  }
}

void TRCLocalizeManager::TranslateMenuEntry(const std::string& root, TControl& entry) {
  TranslateCaptionAndHint(entry, root + "." + entry.Name());
  for (TControl* sub : entry.Children())
    if (sub->Kind() == ControlKind::MenuItem) TranslateMenuEntry(root, *sub);
}

void TRCLocalizeManager::TranslateComponents(TControlSet& form, const std::string& root,
                                             bool dataModule) {
  for (const auto& owned : form.All()) {
    TControl& c = *owned;
    const std::string key = root + "." + c.Name();
    switch (c.Kind()) {
      case ControlKind::Form:
        break;
      case ControlKind::PopupMenu:
        for (TControl* entry : c.Children())
          if (entry->Kind() == ControlKind::MenuItem) TranslateMenuEntry(root, *entry);
        break;
      case ControlKind::MenuItem:
        // Entries are translated through their menu.
        if (c.Parent() == nullptr) TranslateMenuEntry(root, c);
        break;
      case ControlKind::OpenDialog: {
        std::string title = LocalizedCaptionCompName(key + ".Title");
        if (!title.empty()) c.SetCaption(title);
        break;
      }
      case ControlKind::Edit:
      case ControlKind::SpinEdit:
        break;  // their text is the user's
      case ControlKind::ComboBox:
        if (!dataModule) {
          std::vector<std::string> items = c.Items();
          for (size_t n = 0; n < items.size(); ++n) {
            std::string text = LocalizedCaptionCompName(key + "." + std::to_string(n));
            if (!text.empty()) items[n] = std::move(text);
          }
          if (items != c.Items()) c.SetItems(std::move(items));  // keeps the selection
          TranslateCaptionAndHint(c, key);
        }
        break;
      default:
        if (!dataModule) TranslateCaptionAndHint(c, key);
        break;
    }
  }
}

void TRCLocalizeManager::LoadLanguageForm(TControlSet& form, int language) {
  std::lock_guard lock(fLock);
  const std::string root = FormName(form);
  TSwitch use(*this, language);
  if (!fTexts) return;  // no language could be loaded: the form stays as designed
  struct TClearFlag {
    bool& flag;
    ~TClearFlag() { flag = false; }
  } clear{fHintAfterCaption};
  fHintAfterCaption = true;
  for (const auto& c : form.All())
    if (c->Kind() == ControlKind::Form) {
      c->SetCaption(LocalizedCaptionCompName(root));  // also when empty
      break;
    }
  TranslateComponents(form, root, false);
}

void TRCLocalizeManager::LoadLanguageDataModule(TControlSet& module, int language) {
  std::lock_guard lock(fLock);
  const std::string root = FormName(module);
  TSwitch use(*this, language);
  if (!fTexts) return;
  struct TClearFlag {
    bool& flag;
    ~TClearFlag() { flag = false; }
  } clear{fHintAfterCaption};
  fHintAfterCaption = true;
  TranslateComponents(module, root, true);
}

void TRCLocalizeManager::LoadLanguageCaption(TControl& control, const std::string& key,
                                             int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  LoadLocalizedCaption(control, key);
}

void TRCLocalizeManager::LoadLanguageHint(TControl& control, const std::string& key, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  LoadLocalizedHint(control, key);
}

std::string TRCLocalizeManager::LanguageCaptionCompName(const std::string& key, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  return LocalizedCaptionCompName(key);
}

std::string TRCLocalizeManager::LanguageHintCompName(const std::string& key, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  return LocalizedHintCompName(key);
}

std::string TRCLocalizeManager::LanguageCaptionCompID(int id, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  return LocalizedCaptionCompID(id);
}

std::string TRCLocalizeManager::LoadStrByName(const std::string& key) {
  std::lock_guard lock(fLock);
  int id = ParseId(MessageIndex.FindValue(key, false));
  return id == 0 ? key : LoadStrByID(id);
}

std::string TRCLocalizeManager::LoadLanguageStrByName(const std::string& key, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  return LoadStrByName(key);
}

std::string TRCLocalizeManager::LoadStrByID(int id) {
  std::lock_guard lock(fLock);
  if (!fTexts) return kNoLanguage;
  return LocalizedCaptionCompID(id);
}

std::string TRCLocalizeManager::LoadLanguageStrByID(int id, int language) {
  std::lock_guard lock(fLock);
  TSwitch use(*this, language);
  return LoadStrByID(id);
}

}  // namespace lumbra::app
