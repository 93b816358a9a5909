#pragma once
// UTF-8 (the program's text) to and from UTF-16 (the system's).
#include <string>

namespace lumbra::platform::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// The system's message for an error code, without the line end.
std::string SystemMessage(unsigned long error);

}  // namespace lumbra::platform::win32
