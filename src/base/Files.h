#pragma once
// Whole-file reads and writes shared by the settings, the autostart entry and
// the language files.
#include <filesystem>
#include <optional>
#include <string>

namespace lumbra {

// A path from a UTF-8 name ("TKEspañol.lng"), whatever the platform's narrow encoding.
std::filesystem::path Utf8Path(const std::string& name);

// The whole content; nothing when the path is not a readable regular file.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& path);

// Writes beside the file, then renames it into place (creating its folder),
// so that a failure never leaves half a file. Raises Exception
// "Cannot write the <what> <path>", with the reason when there is one.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& content,
                         const std::string& what);

}  // namespace lumbra
