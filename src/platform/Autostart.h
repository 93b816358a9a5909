#pragma once
// One named autostart entry of the current user that starts a program at log-on.
// Errors (the entry store cannot be opened, deleting an entry that is absent)
// raise lumbra::Exception with a text naming the store and the entry.
#include <string>

namespace lumbra::platform {

class IAutostart {
 public:
  virtual ~IAutostart() = default;
  // The program path the entry starts; empty when there is no entry.
  virtual std::string Read(const std::string& name) = 0;
  virtual void Write(const std::string& name, const std::string& programPath) = 0;
  virtual void Delete(const std::string& name) = 0;
};

IAutostart& Autostart();
void SetAutostart(IAutostart* autostart);

}  // namespace lumbra::platform
