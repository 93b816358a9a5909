#pragma once
#include "platform/Environment.h"

namespace lumbra::platform {

class LinuxEnvironment final : public IEnvironment {
 public:
  std::string ExecutablePath() override;
  std::string UserConfigDir() override;
};

}  // namespace lumbra::platform
