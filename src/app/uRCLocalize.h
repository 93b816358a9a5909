#pragma once
// The language manager the program uses. Its texts come from plain text files
// in one folder (the executable's), written by the build from the tables in
// lang/:
//
//   TKLocalIndex.lng   the two indexes, each under its header line:
//                        [3001]            caption index (form keys)
//                        [3002]            message index (message keys)
//                      one entry a line: the key, one space, a decimal string
//                      ID. Keys may contain spaces; the ID is the last word.
//   TK<language>.lng   one per language of the list: "<ID> <text>" a line.
//                      In a text, \n, \r, \t and \\ stand for newline, carriage
//                      return, tab and backslash; every other character is
//                      itself, trailing spaces included.
//
// Both kinds of file are UTF-8, with or without a byte-order mark; UTF-16 with
// a byte-order mark (either byte order) is read too. Lines end with LF or
// CR LF; empty lines and lines starting with '#' are comments. A text keeps at
// most 512 UTF-16 units. A damaged line (no ID, an ID that is not a number
// from 1 to 65535, invalid UTF-8, an unknown escape) is skipped, so that its
// text stays untranslated; a damaged file never stops the program. Of two
// lines with the same ID the first counts.
//
// Language list: 0 "English", 1 "Italiano", 2 "Español".
//
// When neither the newly selected language nor the previous one can be read,
// no language is loaded: the user language is the previous index, message keys
// with an index entry read "!!!", forms are left as they are, and the
// selection raises "DLL for localization not found".
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/uLocalize.h"

namespace lumbra::app {

// Index lines ("key ID") sorted without regard to ASCII case, with the search
// position of the last hit. Not locked: the manager that owns it is.
class TSortedNameStrings {
 public:
  void Clear();
  void Add(std::string line);
  void Sort();
  int Count() const { return static_cast<int>(fLines.size()); }
  const std::string& operator[](int i) const { return fLines.at(static_cast<size_t>(i)); }
  int SPos() const { return fSPos; }

  // The rest of the line that starts with name + " " (case ignored), empty
  // without a hit. A halving search from 0, or from SPos when progressive, to
  // the last line; a hit moves SPos there. An unsorted list is sorted first.
  std::string FindValue(const std::string& name, bool progressive);

 private:
  std::vector<std::string> fLines;
  int fSPos = 0;
  bool fSorted = true;
};

// The texts of one language file by string ID.
using TLanguageTexts = std::map<int, std::string>;

class TRCLocalizeManager : public TCustomLocalizeManager {
 public:
  // Reads the indexes from folder/TKLocalIndex.lng; raises
  // "TKLocalIndex.lng not found" when it cannot be read. No language is
  // loaded until the first SetUserLanguage.
  explicit TRCLocalizeManager(const std::string& folder);
  ~TRCLocalizeManager() override;

  // Loads the language's file; one that cannot be read raises
  // "DLL for localization not found" and the previous language is loaded again.
  void SetUserLanguage(int index) override;

  void LoadLanguageDataModule(TControlSet& module, int language) override;
  void LoadLocalizedDataModule(TControlSet& module) override;
  void LoadLocalizedForm(TControlSet& form) override;
  void LoadLocalizedCaption(TControl& control, const std::string& key) override;
  void LoadLocalizedHint(TControl& control, const std::string& key) override;
  std::string LocalizedCaptionCompName(const std::string& key) override;
  std::string LocalizedHintCompName(const std::string& key) override;
  std::string LocalizedCaptionCompID(int id) override;
  void LoadLanguageForm(TControlSet& form, int language) override;
  void LoadLanguageCaption(TControl& control, const std::string& key, int language) override;
  void LoadLanguageHint(TControl& control, const std::string& key, int language) override;
  std::string LanguageCaptionCompName(const std::string& key, int language) override;
  std::string LanguageHintCompName(const std::string& key, int language) override;
  std::string LanguageCaptionCompID(int id, int language) override;
  std::string LoadStrByName(const std::string& key) override;
  std::string LoadLanguageStrByName(const std::string& key, int language) override;
  // "!!!" when no language is loaded; empty when the language has no such text.
  std::string LoadStrByID(int id) override;
  std::string LoadLanguageStrByID(int id, int language) override;

  // The string ID an index gives a key, 0 without a usable entry.
  int CaptionID(const std::string& key);
  int MessageID(const std::string& key);
  bool LanguageLoaded() const;
  const std::string& Folder() const { return fFolder; }

 private:
  class TSwitch;
  std::shared_ptr<const TLanguageTexts> ReadLanguage(int index) const;
  std::string CaptionText(const std::string& key, bool progressive);
  void TranslateComponents(TControlSet& form, const std::string& root, bool dataModule);
  void TranslateMenuEntry(const std::string& root, TControl& entry);
  void TranslateCaptionAndHint(TControl& control, const std::string& key);

  std::string fFolder;
  // The current language's texts; none until a language is selected.
  std::shared_ptr<const TLanguageTexts> fTexts;
  bool fHintAfterCaption = false;
  TSortedNameStrings CaptionIndex;
  TSortedNameStrings MessageIndex;
};

}  // namespace lumbra::app
