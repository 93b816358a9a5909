#pragma once
// Clients of a Wayland test session for tests and benchmarks: child
// processes, and the target windows that log the keys they get.
#include <string>
#include <sys/types.h>
#include <vector>

namespace lumbra::wltest {

// A child process, its standard output in a file or a pipe, ended with it.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outFile, bool pipes);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Waits for the child to end; its exit status, -1 if it did not start.
  int Wait();
  // Sends one command line and waits (5 s at most) for the answer line.
  std::string Ask(const std::string& line);

 private:
  pid_t fPid = -1;
  int fIn = -1, fOut = -1;
};

// A window that logs what it gets: lumbra_wltarget (x false) or
// lumbra_xtarget (x true), its log in $XDG_RUNTIME_DIR.
class Target {
 public:
  Target(const std::string& program, bool x);
  // Waits for the keyboard focus.
  bool Ready();
  // What came after the last read, up to an Escape, rendered (characters as
  // UTF-8, other keys as <Name>); nsLast is when the target read the Escape.
  bool ReadUntilEscape(std::string& text, long long* nsFirst = nullptr, long long* nsLast = nullptr);

 private:
  std::string fLog;
  Child fChild;
  size_t fConsumed = 0;
};

std::string Utf8(unsigned long cp);

}  // namespace lumbra::wltest
