#pragma once
// Autostart entries as desktop files in <config>/autostart/<name>.desktop,
// which desktop sessions start at log-on; Exec holds the program's full path.
#include <string>

#include "platform/Autostart.h"

namespace lumbra::platform {

class XdgAutostart final : public IAutostart {
 public:
  // configDir: the user's configuration folder (usually ~/.config).
  explicit XdgAutostart(std::string configDir) : fConfigDir(std::move(configDir)) {}
  std::string Read(const std::string& name) override;
  void Write(const std::string& name, const std::string& programPath) override;
  void Delete(const std::string& name) override;

  std::string EntryPath(const std::string& name) const;
  // The Exec value for a program path, and the path back from an Exec value.
  static std::string QuoteExec(const std::string& path);
  static std::string UnquoteExec(const std::string& exec);

 private:
  std::string fConfigDir;
};

}  // namespace lumbra::platform
