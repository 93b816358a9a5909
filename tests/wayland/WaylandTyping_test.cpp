// Typing through the compositor's virtual keyboard into a native Wayland
// client and into an X client through XWayland, inside a headless sway
// session (tests/wayland/in_sway.sh), with the user's own keyboard on
// several layouts standing beside it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/WaylandKeyboard.h"
#include "support/TypingSamples.h"

extern char** environ;

namespace lumbra {
namespace {

using Clock = std::chrono::steady_clock;

std::string Utf8(unsigned long cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// A child process, its standard output in a file or a pipe, ended with it.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outFile, bool pipes) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipes && (::pipe(in) < 0 || ::pipe(out) < 0)) return;
    if (pipes) {
      posix_spawn_file_actions_adddup2(&fa, in[0], 0);
      posix_spawn_file_actions_adddup2(&fa, out[1], 1);
      posix_spawn_file_actions_addclose(&fa, in[1]);
      posix_spawn_file_actions_addclose(&fa, out[0]);
    } else {
      posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&fPid, args[0], &fa, nullptr, args.data(), environ) != 0) fPid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (pipes) {
      ::close(in[0]);
      ::close(out[1]);
      fIn = in[1];
      fOut = out[0];
    }
  }
  ~Child() {
    if (fIn >= 0) ::close(fIn);
    if (fOut >= 0) ::close(fOut);
    if (fPid > 0) {
      ::kill(fPid, SIGTERM);
      ::waitpid(fPid, nullptr, 0);
    }
  }
  bool Running() const { return fPid > 0 && ::waitpid(fPid, nullptr, WNOHANG) == 0; }
  // Sends one command line and waits for the child's answer line.
  std::string Ask(const std::string& line) {
    std::string msg = line + "\n";
    if (::write(fIn, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return "";
    std::string answer;
    pollfd p{fOut, POLLIN, 0};
    char c = 0;
    while (::poll(&p, 1, 5000) > 0 && ::read(fOut, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  }

 private:
  pid_t fPid = -1;
  int fIn = -1, fOut = -1;
};

// A window that logs what it gets (lumbra_wltarget or lumbra_xtarget).
class Target {
 public:
  Target(const std::string& program, bool x)
      : fLog(std::string(std::getenv("XDG_RUNTIME_DIR")) + (x ? "/x.log" : "/wl.log")),
        fChild(x ? std::vector<std::string>{program, "badge-target"}
                 : std::vector<std::string>{program, "target"},
               fLog, false) {}

  // Waits for the keyboard focus.
  bool Ready() {
    return WaitFor([](const std::string& log) { return log.find("R\n") != std::string::npos; });
  }
  // What came after the last read, up to an Escape, rendered.
  bool ReadUntilEscape(std::string& text) {
    std::string log;
    bool ok = WaitFor([&](const std::string& l) {
      log = l;
      return l.find("N Escape", fConsumed) != std::string::npos;
    });
    std::istringstream in(log.substr(fConsumed));
    text.clear();
    std::string kind, value;
    long long ns = 0;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      if (!(fields >> kind)) continue;
      if (kind == "C" && fields >> value >> ns) text += Utf8(std::stoul(value));
      if (kind == "N" && fields >> value >> ns) {
        if (value == "Escape") break;
        text += "<" + value + ">";
      }
    }
    size_t end = log.find("N Escape", fConsumed);
    if (end != std::string::npos) fConsumed = log.find('\n', end) + 1;
    return ok;
  }

 private:
  template <typename Pred>
  bool WaitFor(Pred pred) {
    auto end = Clock::now() + std::chrono::seconds(10);
    do {
      std::ifstream f(fLog);
      std::stringstream ss;
      ss << f.rdbuf();
      if (pred(ss.str())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < end);
    return false;
  }

  std::string fLog;
  Child fChild;
  size_t fConsumed = 0;
};

struct Layout {
  const char* layout;
  const char* variant;
};
const Layout kLayouts[] = {{"us", ""}, {"de", ""}, {"fr", ""}, {"ch", "fr"}};

class WaylandTyping : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() {
    keyboard = platform::OpenWaylandKeyboard().release();
    platform::SetKeyboard(keyboard);
  }
  static void TearDownTestSuite() {
    platform::SetKeyboard(nullptr);
    delete keyboard;
  }
  void SetUp() override {
    ASSERT_NE(std::getenv("WAYLAND_DISPLAY"), nullptr) << "run through in_sway.sh";
    ASSERT_TRUE(keyboard->Available()) << keyboard->TakeUnavailableReason();
    target = std::make_unique<Target>(GetParam() ? LUMBRA_XTARGET_PATH : LUMBRA_WLTARGET_PATH,
                                      GetParam());
    ASSERT_TRUE(target->Ready()) << "the target did not get the focus";
  }

  // The user's keyboard with the layout, made the seat's last used one (so
  // the target holds its keymap when the text comes).
  static std::unique_ptr<Child> UserKeyboard(const Layout& l) {
    std::vector<std::string> argv{LUMBRA_WLTARGET_PATH, "keyboard", l.layout};
    if (*l.variant != '\0') argv.push_back(l.variant);
    auto child = std::make_unique<Child>(argv, "", true);
    EXPECT_EQ(child->Ask("tap Shift_L"), "ok") << l.layout;
    return child;
  }

  // Keys typed on the user's keyboard (keysym names), then its Escape.
  std::string UserTypes(Child& user, const std::string& sym) {
    EXPECT_EQ(user.Ask("tap " + sym), "ok");
    EXPECT_EQ(user.Ask("tap Escape"), "ok");
    std::string text;
    EXPECT_TRUE(target->ReadUntilEscape(text)) << "no Escape from the user's keyboard";
    return text;
  }

  std::string TypeAndRead(const std::string& utf8Text) {
    EXPECT_TRUE(app::TypeKeys(TextToAnsi(utf8Text) + "{ESC}", true, false)) << utf8Text;
    std::string text;
    EXPECT_TRUE(target->ReadUntilEscape(text)) << "no Escape after " << utf8Text;
    return text;
  }

  static inline platform::IKeyboard* keyboard = nullptr;
  std::unique_ptr<Target> target;
};

TEST_P(WaylandTyping, EveryLayoutOfTheUserGetsExactlyTheText) {
  const std::string page = samples::CodePageText();
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(std::string(l.layout) + " " + l.variant);
    std::unique_ptr<Child> user = UserKeyboard(l);
    for (const samples::TypingSample& s : samples::kTypingSamples)
      EXPECT_EQ(TypeAndRead(s.keys), s.expected);
    EXPECT_EQ(TypeAndRead(page), page);
    // The user types on the own keyboard right before a badge: an X client
    // may read that key only once the badge's keymap is in force.
    EXPECT_EQ(user->Ask("tap a"), "ok");
    EXPECT_EQ(TypeAndRead("Zy1"), "aZy1");
  }
}

TEST_P(WaylandTyping, ModifiersOfTheTextAndNamedKeys) {
  EXPECT_EQ(TypeAndRead("^a%{F6}+{TAB}^(ab)x"), "<C-a><A-F6><ISO_Left_Tab><C-a><C-b>x");
  EXPECT_EQ(TypeAndRead("{BS}{DEL}{INS}{HOME}{END}{PGUP}{PGDN}{LEFT}{RIGHT}{UP}{DOWN}"),
            "<BackSpace><Delete><Insert><Home><End><Prior><Next><Left><Right><Up><Down>");
  EXPECT_EQ(TypeAndRead("{F1}{F12}{F13}{F16}{HELP}{CLEAR}{BREAK}{NUMLOCK}1"),
            "<F1><F12><F13><F16><Help><Clear><Break>1");
}

TEST_P(WaylandTyping, ModifiersTheUserHoldsDoNotChangeTheText) {
  const struct {
    const char* what;
    Layout layout;
    std::vector<const char*> held;
  } cases[] = {
      {"Shift", {"us", ""}, {"Shift_L"}},
      {"Ctrl", {"de", ""}, {"Control_L"}},
      {"AltGr", {"ch", "fr"}, {"ISO_Level3_Shift"}},
      {"Shift and Alt", {"fr", ""}, {"Shift_L", "Alt_L"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Child> user = UserKeyboard(c.layout);
    for (const char* key : c.held) ASSERT_EQ(user->Ask(std::string("down ") + key), "ok");
    EXPECT_EQ(TypeAndRead("abc123+x{TAB}q{{}\u00e9"), "abc123X<Tab>q{\u00e9");
    for (const char* key : c.held) ASSERT_EQ(user->Ask(std::string("up ") + key), "ok");
    // The user's keyboard is as it was: its own keys type plainly again.
    EXPECT_EQ(UserTypes(*user, "a"), "a");
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, WaylandTyping, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "XWayland" : "Native"; });

}  // namespace
}  // namespace lumbra
