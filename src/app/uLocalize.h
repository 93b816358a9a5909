#pragma once
// Languages of the user interface. The forms are designed in Italian; a
// language manager translates whole forms by component name and single
// message texts by key. The program holds one manager in a global reference
// and goes through the global functions below, which fall back to the
// untranslated text when there is no manager (the program then runs in
// Italian and every message key is its own text).
//
// Form keys: the form's name for its caption; "<form>.<component>" for a
// control's caption or a menu entry's caption; "<form>.<component>.Hint" for a
// hint; "<form>.<component>.<n>" for entry n (from 0) of a combo box's list;
// "<form>.<component>.Title" for a file dialog's title. The form's name is the
// name of its control of kind Form. Edit and number fields are left alone (their
// text is the user's); a missing or empty translation leaves a text as it is,
// except the form's caption, which a missing key empties.
//
// Every public operation of a manager takes its lock, so a manager may be used
// from more than one thread; the program uses it from the UI thread only.
#include <mutex>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "base/Exceptions.h"

namespace lumbra::app {

class ELocalizeError : public Exception {
 public:
  using Exception::Exception;
};

// The name of the form's control of kind Form; ELocalizeError when it has none.
std::string FormName(const TControlSet& form);

// The language list and the current language; no translation of its own.
class TCustomLocalizeManager {
 public:
  TCustomLocalizeManager();
  virtual ~TCustomLocalizeManager();
  TCustomLocalizeManager(const TCustomLocalizeManager&) = delete;
  TCustomLocalizeManager& operator=(const TCustomLocalizeManager&) = delete;

  // An index outside the language list raises "Language code out of range".
  virtual void SetUserLanguage(int index);
  virtual int GetUserLanguage() const;
  // The name of language index; ELocalizeError when out of range.
  virtual std::string GetCampiLang(int index) const;

  // Data modules carry their name in a control of kind Form, as forms do; only
  // their menus and file dialogs are translated.
  virtual void LoadLanguageDataModule(TControlSet& module, int language) = 0;
  virtual void LoadLocalizedDataModule(TControlSet& module) = 0;
  virtual void LoadLocalizedForm(TControlSet& form) = 0;
  // key: the whole caption key ("<form>.<component>"); a non-empty translation
  // replaces the control's caption, respectively its hint (key + ".Hint").
  virtual void LoadLocalizedCaption(TControl& control, const std::string& key) = 0;
  virtual void LoadLocalizedHint(TControl& control, const std::string& key) = 0;
  // Caption-index look-ups; an absent key gives an empty text.
  virtual std::string LocalizedCaptionCompName(const std::string& key) = 0;
  virtual std::string LocalizedHintCompName(const std::string& key) = 0;
  virtual std::string LocalizedCaptionCompID(int id) = 0;
  // The "Language" forms take a language index; for a language other than the
  // current one they read that language's texts just for the one call (a file
  // that cannot be read raises "DLL for localization not found").
  virtual void LoadLanguageForm(TControlSet& form, int language) = 0;
  virtual void LoadLanguageCaption(TControl& control, const std::string& key, int language) = 0;
  virtual void LoadLanguageHint(TControl& control, const std::string& key, int language) = 0;
  virtual std::string LanguageCaptionCompName(const std::string& key, int language) = 0;
  virtual std::string LanguageHintCompName(const std::string& key, int language) = 0;
  virtual std::string LanguageCaptionCompID(int id, int language) = 0;
  // Message texts: a key without an entry is its own text.
  virtual std::string LoadStrByName(const std::string& key) = 0;
  virtual std::string LoadLanguageStrByName(const std::string& key, int language) = 0;
  virtual std::string LoadStrByID(int id) = 0;
  virtual std::string LoadLanguageStrByID(int id, int language) = 0;

  int NumLanguage() const;
  // Selects the language of that name (case ignored); an unknown name raises
  // "Language code out of range".
  void SetLanguageByName(const std::string& name);
  bool LanguageExists(const std::string& name) const;

 protected:
  int IndexOfLanguage(const std::string& name) const;

  mutable std::recursive_mutex fLock;
  int fUserLanguage = 0;
  std::vector<std::string> fCampiLang;
};

// The program's manager; not owned here. Null clears the reference.
TCustomLocalizeManager* LocalizeManager();
void SetLocalizeManager(TCustomLocalizeManager* manager);

// The manager's text of key, or the key itself without a manager.
std::string LocalizeString(const std::string& key);
// Translates the form into the current language; nothing without a manager.
void LocalizeFormControls(TControlSet& form);
// The manager's user language, 0 without a manager.
int CurrentLanguage();
// Selects language index; nothing without a manager. Raises ELocalizeError.
void SelectLanguage(int index);

}  // namespace lumbra::app
