#include "platform/win32/Win32Autostart.h"

#include <windows.h>

#include "base/Exceptions.h"
#include "platform/win32/Win32Text.h"

namespace lumbra::platform::win32 {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kStore = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

[[noreturn]] void Fail(const std::string& what, const std::string& name, LONG error) {
  throw Exception("Cannot " + what + " the autostart value " + name + " in " + kStore + ": " +
                  SystemMessage(static_cast<unsigned long>(error)));
}

}  // namespace

std::string Win32Autostart::Read(const std::string& name) {
  HKEY key;
  LONG got = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key);
  if (got == ERROR_FILE_NOT_FOUND) return "";
  if (got != ERROR_SUCCESS) Fail("read", name, got);
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    DWORD type = 0, bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    got = RegQueryValueExW(key, Wide(name).c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (got == ERROR_MORE_DATA) {
      value.resize(bytes / sizeof(wchar_t) + 1);
      continue;
    }
    RegCloseKey(key);
    if (got == ERROR_FILE_NOT_FOUND ||
        (got == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
      return "";
    if (got != ERROR_SUCCESS) Fail("read", name, got);
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return Utf8(value);
  }
}

void Win32Autostart::Write(const std::string& name, const std::string& programPath) {
  HKEY key;
  LONG got = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                             &key, nullptr);
  if (got != ERROR_SUCCESS) Fail("write", name, got);
  std::wstring path = Wide(programPath);
  got = RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (got != ERROR_SUCCESS) Fail("write", name, got);
}

void Win32Autostart::Delete(const std::string& name) {
  HKEY key;
  LONG got = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key);
  if (got == ERROR_SUCCESS) {
    got = RegDeleteValueW(key, Wide(name).c_str());
    RegCloseKey(key);
  }
  if (got != ERROR_SUCCESS) Fail("delete", name, got);
}

}  // namespace lumbra::platform::win32
