#pragma once
// The program's arguments as UTF-8, whatever the platform's narrow encoding:
// Windows hands main() its arguments in the ANSI code page, which cannot hold
// every name ("TKEspañol.lng" in a Greek code page, say).
#include <string>
#include <vector>

namespace lumbra {

// argv[0] included, as main() got them.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace lumbra
