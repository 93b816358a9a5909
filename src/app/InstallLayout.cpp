#include "app/InstallLayout.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

constexpr char kIndexFile[] = "TKLocalIndex.lng";

bool HasIndex(const fs::path& folder) {
  std::error_code ec;
  return fs::is_regular_file(folder / kIndexFile, ec);
}

}  // namespace

bool IsInstalledCopy(const std::string& executablePath) {
  const fs::path bin = fs::path(executablePath).parent_path();
  return !HasIndex(bin) && HasIndex(bin / kInstalledDataFolder);
}

std::string DataFolder(const std::string& executablePath) {
  const fs::path bin = fs::path(executablePath).parent_path();
  if (IsInstalledCopy(executablePath))
    return (bin / kInstalledDataFolder).lexically_normal().string();
  return bin.string();
}

}  // namespace lumbra::app
