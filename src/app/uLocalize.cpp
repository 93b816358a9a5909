#include "app/uLocalize.h"

#include <atomic>

#include "base/Text.h"

namespace lumbra::app {
namespace {
std::atomic<TCustomLocalizeManager*> gManager{nullptr};
}  // namespace

std::string FormName(const TControlSet& form) {
  for (const auto& c : form.All())
    if (c->Kind() == ControlKind::Form) return c->Name();
  throw ELocalizeError("Form without a name");
}

TCustomLocalizeManager::TCustomLocalizeManager() = default;
TCustomLocalizeManager::~TCustomLocalizeManager() = default;

void TCustomLocalizeManager::SetUserLanguage(int index) {
  std::lock_guard lock(fLock);
  if (index < 0 || index >= NumLanguage()) throw ELocalizeError("Language code out of range");
  fUserLanguage = index;
}

int TCustomLocalizeManager::GetUserLanguage() const {
  std::lock_guard lock(fLock);
  return fUserLanguage;
}

std::string TCustomLocalizeManager::GetCampiLang(int index) const {
  std::lock_guard lock(fLock);
  if (index < 0 || index >= NumLanguage()) throw ELocalizeError("Language code out of range");
  return fCampiLang[static_cast<size_t>(index)];
}

int TCustomLocalizeManager::NumLanguage() const {
  std::lock_guard lock(fLock);
  return static_cast<int>(fCampiLang.size());
}

int TCustomLocalizeManager::IndexOfLanguage(const std::string& name) const {
  std::lock_guard lock(fLock);
  for (size_t i = 0; i < fCampiLang.size(); ++i)
    if (SameText(fCampiLang[i], name)) return static_cast<int>(i);
  return -1;
}

void TCustomLocalizeManager::SetLanguageByName(const std::string& name) {
  std::lock_guard lock(fLock);
  SetUserLanguage(IndexOfLanguage(name));
}

bool TCustomLocalizeManager::LanguageExists(const std::string& name) const {
  return IndexOfLanguage(name) >= 0;
}

TCustomLocalizeManager* LocalizeManager() {
  return gManager.load();
}

void SetLocalizeManager(TCustomLocalizeManager* manager) {
  gManager.store(manager);
}

std::string LocalizeString(const std::string& key) {
  TCustomLocalizeManager* m = LocalizeManager();
  return m != nullptr ? m->LoadStrByName(key) : key;
}

void LocalizeFormControls(TControlSet& form) {
  if (TCustomLocalizeManager* m = LocalizeManager()) m->LoadLocalizedForm(form);
}

int CurrentLanguage() {
  TCustomLocalizeManager* m = LocalizeManager();
  return m != nullptr ? m->GetUserLanguage() : 0;
}

void SelectLanguage(int index) {
  if (TCustomLocalizeManager* m = LocalizeManager()) m->SetUserLanguage(index);
}

}  // namespace lumbra::app
