#include "app/uLocalize.h"

namespace lumbra::app {
namespace {
TLocalizeLookup& Lookup() {
  static TLocalizeLookup lookup;
  return lookup;
}
}  // namespace

std::string LocalizeString(const std::string& key) {
  const auto& lookup = Lookup();
  return lookup ? lookup(key) : key;
}

void SetLocalizeLookup(TLocalizeLookup lookup) { Lookup() = std::move(lookup); }

}  // namespace lumbra::app
