#include "Win32TestChild.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32/Win32ClaimTable.h"

namespace lumbra::platform::win32::test {
namespace {

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

// claim TABLE READY GO: writes its mark into slot 2 and holds it, checks the
// parent's mark in slot 0 and that the parent's reader cannot be held, says
// ready, and when told to go ends without clearing or letting go of
// anything, as a crashed copy would. Exit 0 when all was as it should be.
int Claim(int argc, char** argv) {
  if (argc != 3) return 10;
  Win32ClaimTables tables;
  auto table = tables.Open(argv[0], 80);
  if (!table) return 11;
  std::uint32_t* slots = table->Map();
  if (slots == nullptr) return 12;
  bool sawParent = slots[0] == 0xA11CEu && table->Held(0xA11CEu) && !table->Hold(0xA11CEu);
  slots[2] = 0xC0FFEEu;
  if (!table->Hold(0xC0FFEEu)) return 15;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, Wide(argv[1]).c_str());
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, Wide(argv[2]).c_str());
  if (ready == nullptr || go == nullptr) return 13;
  SetEvent(ready);
  WaitForSingleObject(go, 10000);
  ExitProcess(sawParent ? 0 : 14);
}

}  // namespace

int RunChild(int argc, char** argv) {
  if (argc >= 1 && std::strcmp(argv[0], "claim") == 0) return Claim(argc - 1, argv + 1);
  return 2;
}

std::uintptr_t StartChild(const std::string& name, const std::vector<std::string>& args) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child " + Wide(name);
  for (const auto& a : args) command += L" \"" + Wide(a) + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return 0;
  CloseHandle(pi.hThread);
  return reinterpret_cast<std::uintptr_t>(pi.hProcess);
}

int WaitChild(std::uintptr_t process, unsigned timeoutMs) {
  HANDLE h = reinterpret_cast<HANDLE>(process);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(h, &code);
  CloseHandle(h);
  return static_cast<int>(code);
}

}  // namespace lumbra::platform::win32::test
