#pragma once
// Second processes for the Win32 backend tests: the test program started
// again with "--child NAME ARGS...".
#include <cstdint>
#include <string>
#include <vector>

namespace lumbra::platform::win32::test {

int RunChild(int argc, char** argv);

// Starts the child NAME with args; returns its process handle (0 on failure).
std::uintptr_t StartChild(const std::string& name, const std::vector<std::string>& args);
// Waits for it to end; its exit status, or -1 after timeoutMs.
int WaitChild(std::uintptr_t process, unsigned timeoutMs);

}  // namespace lumbra::platform::win32::test
