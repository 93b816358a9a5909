#pragma once
// Where the program is and where a user's configuration goes.
#include <string>

namespace lumbra::platform {

class IEnvironment {
 public:
  virtual ~IEnvironment() = default;
  // Full path of the running executable.
  virtual std::string ExecutablePath() = 0;
  // The user's configuration folder ($XDG_CONFIG_HOME, else ~/.config).
  virtual std::string UserConfigDir() = 0;
};

// The installed environment; there is no default: the program or a test installs one.
IEnvironment& Environment();
void SetEnvironment(IEnvironment* env);

}  // namespace lumbra::platform
