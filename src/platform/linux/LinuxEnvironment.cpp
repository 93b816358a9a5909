#include "platform/linux/LinuxEnvironment.h"

#include <filesystem>
#include <system_error>

namespace lumbra::platform {

std::string LinuxEnvironment::ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string LinuxEnvironment::UserConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;  // relative values are to be ignored
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

}  // namespace lumbra::platform
