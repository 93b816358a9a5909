#include "app/Controls.h"

#include <charconv>

#include "base/Exceptions.h"

namespace lumbra::app {

TControl::TControl(ControlKind kind, std::string name, TControl* parent)
    : fKind(kind), fName(std::move(name)), fParent(parent) {}

void TControl::Changed() {
  if (OnUpdate) OnUpdate(*this);
}

void TControl::SetCaption(const std::string& v) {
  if (v == fCaption) return;
  fCaption = v;
  Changed();
}

void TControl::SetHint(const std::string& v) {
  if (v == fHint) return;
  fHint = v;
  Changed();
}

void TControl::SetItems(std::vector<std::string> items) {
  fItems = std::move(items);
  if (fItemIndex >= static_cast<int>(fItems.size())) fItemIndex = -1;
  if (fKind == ControlKind::ComboBox) fText = fItemIndex >= 0 ? fItems[fItemIndex] : "";
  Changed();
}

void TControl::SetEnabled(bool v) {
  if (v == fEnabled) return;
  fEnabled = v;
  Changed();
}

void TControl::SetVisible(bool v) {
  if (v == fVisible) return;
  fVisible = v;
  Changed();
}

void TControl::SetChecked(bool v) {
  if (v == fChecked) return;
  fChecked = v;
  if (fKind == ControlKind::RadioButton && v && fParent != nullptr) {
    for (TControl* sibling : fParent->fChildren)
      if (sibling != this && sibling->fKind == ControlKind::RadioButton &&
          sibling->fGroup == fGroup && sibling->fChecked) {
        sibling->fChecked = false;
        sibling->Changed();
      }
  }
  Changed();
  // A radio button runs its handler only when it becomes the chosen one.
  if (fKind == ControlKind::RadioButton && !v) return;
  if (OnClick) OnClick();
}

void TControl::SetText(const std::string& v) {
  if (v == fText) return;
  fText = v;
  Changed();
  if (OnChange) OnChange();
}

int TControl::Value() const {
  int value = 0;
  const char* first = fText.data();
  const char* last = first + fText.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (fText.empty() || ec != std::errc() || ptr != last) return fMin;
  return value;
}

void TControl::SetValue(int v) {
  if (fMax > fMin) v = v < fMin ? fMin : (v > fMax ? fMax : v);
  SetText(std::to_string(v));
}

void TControl::SetItemIndex(int i) {
  if (i < 0 || i >= static_cast<int>(fItems.size())) i = -1;
  std::string text = i >= 0 ? fItems[i] : "";
  if (i == fItemIndex && text == fText) return;
  fItemIndex = i;
  fText = text;
  Changed();
}

void TControl::SelectText(const std::string& s) {
  for (size_t i = 0; i < fItems.size(); ++i)
    if (fItems[i] == s) return SetItemIndex(static_cast<int>(i));
  SetItemIndex(-1);
}

void TControl::UserClick() {
  if (!fEnabled) return;
  switch (fKind) {
    case ControlKind::CheckBox:
      SetChecked(!fChecked);
      break;
    case ControlKind::RadioButton:
      SetChecked(true);
      break;
    default:
      if (OnClick) OnClick();
      break;
  }
}

void TControl::UserSelect(int index) {
  if (!fEnabled) return;
  SetItemIndex(index);
  if (OnChange) OnChange();
}

TControl& TControlSet::Add(ControlKind kind, const std::string& name, TControl* parent,
                           const std::string& caption) {
  fControls.push_back(std::make_unique<TControl>(kind, name, parent));
  TControl& c = *fControls.back();
  if (parent != nullptr) parent->fChildren.push_back(&c);
  c.fCaption = caption;
  return c;
}

TControl* TControlSet::Find(const std::string& name) const {
  for (const auto& c : fControls)
    if (c->Name() == name) return c.get();
  return nullptr;
}

TControl& TControlSet::operator[](const std::string& name) const {
  TControl* c = Find(name);
  if (c == nullptr) throw Exception("Component " + name + " not found");
  return *c;
}

}  // namespace lumbra::app
