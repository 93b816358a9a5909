#pragma once
// A private X display for tests and benchmarks: Xvfb on a free display number
// (kept alive with -noreset so that a layout set once stays), openbox for
// realistic focus, and the xtarget client to type into. Everything started
// here is stopped by the destructor.
#include <sys/types.h>

#include <array>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace lumbra::xtest {

// One key as the target reported it.
struct Received {
  bool character = false;
  long codePoint = 0;  // characters
  std::string name;    // other keys
  long long ns = 0;    // CLOCK_MONOTONIC when the target read it
};

// Every key that is down and every modifier in force (core masks).
struct KeyboardSnapshot {
  std::array<char, 32> keys{};
  unsigned base = 0, latched = 0, locked = 0;
  bool operator==(const KeyboardSnapshot&) const = default;
};
inline constexpr unsigned kShiftMask = 1, kControlMask = 4;
void PrintTo(const KeyboardSnapshot& s, std::ostream* os);

class XSession {
 public:
  XSession() = default;
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  // False (with Error() saying why) when a server or the window manager would not start.
  bool Start();
  const std::string& Display() const { return fDisplay; }
  const std::string& Error() const { return fError; }

  bool SetLayout(const std::string& layout);
  // Presses CapsLock until the lock is in the wanted state; false if it never is.
  bool SetCapsLock(bool on);
  bool CapsLockOn();
  // Every keycode's core keysyms, to see that a map came back as it was.
  std::vector<unsigned long> CoreKeymap();

  // The user's hands, on a connection of their own as another input to the
  // server would be: a key held or let go by its keysym name ("Shift_L"),
  // modifiers latched or locked and cleared again.
  bool UserKey(const std::string& keysymName, bool down);
  void UserLatch(unsigned mods, bool on);
  void UserLock(unsigned mods, bool on);
  KeyboardSnapshot Keyboard();

  // Starts the target and waits until it has the focus.
  bool StartTarget();
  // Stops or resumes the target process: a stopped target reads nothing, like
  // an application busy elsewhere, and reads everything once resumed.
  bool PauseTarget(bool paused);
  // Reads the target's keys up to and including an Escape key. False on a
  // time-out or when the target lost the focus.
  bool ReadUntilEscape(std::vector<Received>& keys,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  // quiet: the servers' chatter on standard error (and output) goes to /dev/null.
  pid_t Spawn(const std::vector<std::string>& argv, int stdoutFd = -1, bool quiet = false);
  bool ReadLine(std::string& line, std::chrono::steady_clock::time_point deadline);
  void Stop(pid_t& pid);

  std::string fDisplay;
  std::string fError;
  pid_t fXvfb = -1, fWm = -1, fTarget = -1;
  int fTargetOut = -1;
  std::string fBuffer;
};

// "Ab<Tab>" style rendering of received keys, for readable comparisons.
std::string Render(const std::vector<Received>& keys);
std::string Utf8(long codePoint);

}  // namespace lumbra::xtest
