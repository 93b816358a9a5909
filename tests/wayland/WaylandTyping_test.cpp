// Typing through the compositor's virtual keyboard into a native Wayland
// client and into an X client through XWayland, inside a headless sway
// session (tests/wayland/in_sway.sh), with the user's own keyboard on
// several layouts standing beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/WaylandKeyboard.h"
#include "support/TypingSamples.h"
#include "WlClients.h"

namespace lumbra {
namespace {

using wltest::Child;
using wltest::Target;

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
