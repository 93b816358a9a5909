#include "platform/fake/FakeDesktop.h"

#include "base/Exceptions.h"

namespace lumbra::platform {

std::string FakeAutostart::Read(const std::string& name) {
  if (broken) throw Exception("Cannot open the autostart store");
  auto it = entries.find(name);
  return it == entries.end() ? "" : it->second;
}

void FakeAutostart::Write(const std::string& name, const std::string& programPath) {
  if (broken) throw Exception("Cannot open the autostart store");
  entries[name] = programPath;
}

void FakeAutostart::Delete(const std::string& name) {
  if (broken || entries.erase(name) == 0)
    throw Exception("Cannot delete the autostart entry " + name);
}

void FakeMessageBox::Show(const std::string& text, const std::string& caption, MessageKind kind) {
  shown.push_back(Shown{text, caption, kind});
  if (onShow) onShow(shown.back());
}

std::vector<std::string> FakeMessageBox::Texts() const {
  std::vector<std::string> texts;
  for (const auto& s : shown) texts.push_back(s.text);
  return texts;
}

FakeDesktop::FakeDesktop() {
  SetEnvironment(&environment);
  SetAutostart(&autostart);
  SetMessageBox(&messages);
  SetForeground(&foreground);
  SetSound(&sound);
}

FakeDesktop::~FakeDesktop() {
  SetEnvironment(nullptr);
  SetAutostart(nullptr);
  SetMessageBox(nullptr);
  SetForeground(nullptr);
  SetSound(nullptr);
}

}  // namespace lumbra::platform
