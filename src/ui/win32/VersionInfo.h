#pragma once
// A version string ("ProductVersion", "FileVersion", ...) from the version
// resource of a file: the block of the file's first translation, or of
// English (US) with the Western code page when it names none. Empty when the
// file has no version resource or no such string.
#include <string>

namespace lumbra::ui::win32 {

std::string ReadVersionString(const std::wstring& file, const std::string& name);
// The same from the running program's own file.
std::string ProgramVersionString(const std::string& name);

}  // namespace lumbra::ui::win32
