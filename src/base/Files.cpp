#include "base/Files.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "base/Exceptions.h"

namespace fs = std::filesystem;

namespace lumbra {

fs::path Utf8Path(const std::string& name) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(name.data()), name.size()));
}

std::optional<std::string> ReadFileBytes(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

void WriteFileAtomically(const fs::path& path, const std::string& content,
                         const std::string& what) {
  const std::string failure = "Cannot write the " + what + " " + path.string();
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  fs::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) {
      fs::remove(tmp, ec);
      throw Exception(failure);
    }
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(tmp, ignored);
    throw Exception(failure + ": " + ec.message());
  }
}

}  // namespace lumbra
