#pragma once
// Texts of the current language. Keys are usually the Italian texts
// themselves; without a language manager a key is its own text.
#include <functional>
#include <string>

namespace lumbra::app {

std::string LocalizeString(const std::string& key);

// The language manager installs its look-up here (null removes it).
using TLocalizeLookup = std::function<std::string(const std::string&)>;
void SetLocalizeLookup(TLocalizeLookup lookup);

}  // namespace lumbra::app
