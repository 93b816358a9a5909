#include "base/CommandLine.h"

#ifdef _WIN32
#include <windows.h>
// needs windows.h first
#include <shellapi.h>
#endif

namespace lumbra {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
      int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
      std::string arg(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
      if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
      args.push_back(std::move(arg));
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace lumbra
