#include "XSession.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace lumbra::xtest {
namespace {

using Clock = std::chrono::steady_clock;

bool WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string Utf8(long cp) {
  std::string s;
  auto c = static_cast<unsigned long>(cp);
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

std::string Render(const std::vector<Received>& keys) {
  std::string s;
  for (const Received& k : keys) s += k.character ? Utf8(k.codePoint) : "<" + k.name + ">";
  return s;
}

XSession::~XSession() {
  if (fTargetOut >= 0) close(fTargetOut);
  Stop(fTarget);
  Stop(fWm);
  Stop(fXvfb);
}

void XSession::Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (!WaitExit(pid, std::chrono::seconds(3))) {
    kill(pid, SIGKILL);
    WaitExit(pid, std::chrono::seconds(3));
  }
  pid = -1;
}

pid_t XSession::Spawn(const std::vector<std::string>& argv, int stdoutFd, bool quiet) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) posix_spawn_file_actions_adddup2(&actions, devnull, 0);
  int sink = quiet ? open("/dev/null", O_WRONLY) : -1;
  if (sink >= 0) {
    posix_spawn_file_actions_adddup2(&actions, sink, 2);
    if (stdoutFd < 0) posix_spawn_file_actions_adddup2(&actions, sink, 1);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (devnull >= 0) close(devnull);
  if (sink >= 0) close(sink);
  return rc == 0 ? pid : -1;
}

bool XSession::Start() {
  int fds[2];
  if (pipe(fds) != 0) {
    fError = "pipe failed";
    return false;
  }
  // -displayfd lets the server pick a free display number and tell us.
  fXvfb = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten", "tcp",
                 "-screen", "0", "1024x768x24"},
                -1, true);
  close(fds[1]);
  if (fXvfb < 0) {
    close(fds[0]);
    fError = "Xvfb would not start";
    return false;
  }
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (poll(&p, 1, 10000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    fError = "Xvfb gave no display number";
    return false;
  }
  fDisplay = ":" + number;
  setenv("DISPLAY", fDisplay.c_str(), 1);

  fWm = Spawn({"openbox", "--sm-disable"}, -1, true);
  if (fWm < 0) {
    fError = "openbox would not start";
    return false;
  }
  // The window manager has announced itself once its check window is on the
  // root window.
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) {
    fError = "cannot open " + fDisplay;
    return false;
  }
  Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
  bool up = false;
  for (int i = 0; i < 500 && !up; ++i) {
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, AnyPropertyType, &type,
                           &format, &n, &after, &data) == Success &&
        n > 0)
      up = true;
    if (data != nullptr) XFree(data);
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  XCloseDisplay(dpy);
  if (!up) fError = "openbox did not come up";
  return up;
}

bool XSession::SetLayout(const std::string& layout) {
  pid_t pid = Spawn({"setxkbmap", "-display", fDisplay, "-layout", layout});
  if (pid < 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool XSession::CapsLockOn() {
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return false;
  XkbStateRec st{};
  XkbGetState(dpy, XkbUseCoreKbd, &st);
  XCloseDisplay(dpy);
  return (st.locked_mods & LockMask) != 0;
}

std::vector<unsigned long> XSession::CoreKeymap() {
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return {};
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(dpy, &min, &max);
  KeySym* syms = XGetKeyboardMapping(dpy, static_cast<KeyCode>(min), max - min + 1, &per);
  std::vector<unsigned long> map(syms, syms + (max - min + 1) * per);
  XFree(syms);
  XCloseDisplay(dpy);
  return map;
}

bool XSession::UserKey(const std::string& keysymName, bool down) {
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return false;
  KeySym sym = XStringToKeysym(keysymName.c_str());
  KeyCode kc = sym == NoSymbol ? 0 : XKeysymToKeycode(dpy, sym);
  if (kc != 0) XTestFakeKeyEvent(dpy, kc, down ? True : False, CurrentTime);
  XSync(dpy, False);
  XCloseDisplay(dpy);
  return kc != 0;
}

void XSession::UserLatch(unsigned mods, bool on) {
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return;
  XkbLatchModifiers(dpy, XkbUseCoreKbd, mods, on ? mods : 0);
  XSync(dpy, False);
  XCloseDisplay(dpy);
}

void XSession::UserLock(unsigned mods, bool on) {
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return;
  XkbLockModifiers(dpy, XkbUseCoreKbd, mods, on ? mods : 0);
  XSync(dpy, False);
  XCloseDisplay(dpy);
}

void PrintTo(const KeyboardSnapshot& s, std::ostream* os) {
  *os << "keys down:";
  for (int kc = 0; kc < 256; ++kc)
    if ((s.keys[kc / 8] >> (kc % 8)) & 1) *os << ' ' << kc;
  *os << ", base " << s.base << ", latched " << s.latched << ", locked " << s.locked;
}

KeyboardSnapshot XSession::Keyboard() {
  KeyboardSnapshot s;
  ::Display* dpy = XOpenDisplay(fDisplay.c_str());
  if (dpy == nullptr) return s;
  XQueryKeymap(dpy, s.keys.data());
  XkbStateRec st{};
  XkbGetState(dpy, XkbUseCoreKbd, &st);
  s.base = st.base_mods;
  s.latched = st.latched_mods;
  s.locked = st.locked_mods;
  XCloseDisplay(dpy);
  return s;
}

bool XSession::SetCapsLock(bool on) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (CapsLockOn() == on) return true;
    ::Display* dpy = XOpenDisplay(fDisplay.c_str());
    if (dpy == nullptr) return false;
    KeyCode kc = XKeysymToKeycode(dpy, XK_Caps_Lock);
    XTestFakeKeyEvent(dpy, kc, True, CurrentTime);
    XTestFakeKeyEvent(dpy, kc, False, CurrentTime);
    XSync(dpy, False);
    XCloseDisplay(dpy);
  }
  return CapsLockOn() == on;
}

bool XSession::PauseTarget(bool paused) {
  return fTarget > 0 && kill(fTarget, paused ? SIGSTOP : SIGCONT) == 0;
}

bool XSession::StartTarget() {
  // A window mapped while the window manager is still starting stays
  // unmanaged and never gets the focus: such a target is started again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (fTargetOut >= 0) close(fTargetOut);
    fTargetOut = -1;
    fBuffer.clear();
    Stop(fTarget);
    int fds[2];
    if (pipe(fds) != 0) return false;
    fTarget = Spawn({LUMBRA_XTARGET_PATH}, fds[1]);
    close(fds[1]);
    fTargetOut = fds[0];
    if (fTarget < 0) break;
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (ReadLine(line, deadline))
      if (line == "R") return true;
  }
  fError = "the target never got the focus";
  return false;
}

bool XSession::ReadLine(std::string& line, Clock::time_point deadline) {
  for (;;) {
    size_t nl = fBuffer.find('\n');
    if (nl != std::string::npos) {
      line = fBuffer.substr(0, nl);
      fBuffer.erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fTargetOut, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fTargetOut, buf, sizeof buf);
    if (n <= 0) return false;
    fBuffer.append(buf, static_cast<size_t>(n));
  }
}

bool XSession::ReadUntilEscape(std::vector<Received>& keys, std::chrono::milliseconds timeout) {
  keys.clear();
  auto deadline = Clock::now() + timeout;
  std::string line;
  while (ReadLine(line, deadline)) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "F") {
      fError = "the target lost the focus";
      return false;
    }
    Received k;
    if (kind == "C") {
      k.character = true;
      in >> k.codePoint >> k.ns;
    } else if (kind == "N") {
      in >> k.name >> k.ns;
      if (k.name == "Escape") return true;
    } else {
      continue;
    }
    keys.push_back(k);
  }
  fError = "no end mark from the target in time";
  return false;
}

}  // namespace lumbra::xtest
