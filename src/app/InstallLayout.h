#pragma once
// Where the program's own files lie. A build folder or a portable copy has
// the language files (and the help file) beside the executable; an installed
// copy, <prefix>/bin/lumbra, has them in <prefix>/share/lumbra, and keeps each
// user's settings in the user's configuration folder even when it could write
// beside itself (run by root, /usr/bin is writable).
#include <string>

namespace lumbra::app {

// The data folder of an installed copy, from its bin folder.
inline constexpr char kInstalledDataFolder[] = "../share/lumbra";

// True when the language index is not beside the executable but in the
// installed data folder.
bool IsInstalledCopy(const std::string& executablePath);

// The folder of the language and help files: the installed data folder for an
// installed copy, else the executable's own folder.
std::string DataFolder(const std::string& executablePath);

}  // namespace lumbra::app
