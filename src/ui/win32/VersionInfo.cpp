#include "ui/win32/VersionInfo.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "base/Exceptions.h"
#include "platform/win32/Win32Text.h"

namespace lumbra::ui::win32 {

using platform::win32::Utf8;
using platform::win32::Wide;

std::string ReadVersionString(const std::wstring& file, const std::string& name) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
  if (size == 0) return {};
  if (handle != 0) throw Exception("FileVersionInfo() has failed!");
  try {
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return {};
    unsigned language = 1033, codePage = 1252;
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
        length >= sizeof(DWORD)) {
      const auto* pair = static_cast<const WORD*>(value);
      language = pair[0];
      codePage = pair[1];
    }
    wchar_t path[64];
    std::swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\", language, codePage);
    std::wstring query = path + Wide(name);
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return {};
    const auto* text = static_cast<const wchar_t*>(value);
    std::wstring s(text, length);
    while (!s.empty() && s.back() == L'\0') s.pop_back();
    return Utf8(s);
  } catch (...) {
    return {};
  }
}

std::string ProgramVersionString(const std::string& name) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return ReadVersionString(path, name);
}

}  // namespace lumbra::ui::win32
