#include "base/Component.h"

#include <algorithm>

namespace lumbra {

void TObject::Free(TObject* obj) {
  if (obj == nullptr) return;
  obj->BeforeDestruction();
  delete obj;
}

TComponent::TComponent(TComponent* AOwner) : fOwner(AOwner) {
  if (fOwner != nullptr) fOwner->Insert(this);
}

void TComponent::BeforeDestruction() {
  // Owned components go first, while their owner is still whole.
  while (!fComponents.empty()) {
    TComponent* c = fComponents.back();
    Free(c);  // its destructor removes it from the list
  }
}

TComponent::~TComponent() {
  // Reached without Free(): still release what is owned.
  while (!fComponents.empty()) delete fComponents.back();
  if (fOwner != nullptr) fOwner->Remove(this);
}

void TComponent::Insert(TComponent* c) { fComponents.push_back(c); }

void TComponent::Remove(TComponent* c) {
  auto it = std::find(fComponents.begin(), fComponents.end(), c);
  if (it != fComponents.end()) fComponents.erase(it);
}

}  // namespace lumbra
