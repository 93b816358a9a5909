// Typing through KWin's fake input into a native client, inside a headless
// KWin (tests/wayland/in_kwin.sh) whose keyboard has the layout named by
// LUMBRA_KWIN_LAYOUT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "WlClients.h"
#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/MessageBox.h"
#include "platform/fake/FakeDesktop.h"
#include "platform/linux/WaylandKeyboard.h"

namespace lumbra {
namespace {

struct LayoutCase {
  const char* layout;
  const char* own;      // characters the layout has, some on Shift or AltGr
  const char* lacking;  // characters it has no key for
};
const LayoutCase kCases[] = {
    {"us", "@{}[]|\\<>", "\u00e9\u00df"},
    {"de", "\u00e4\u00f6\u00fc\u00df\u00c4\u00d6\u00dc@\u20ac{}[]|\\<>", "\u00e9\u00e7"},
    {"fr", "\u00e9\u00e8\u00e0\u00e7\u00f9@\u20ac{}[]|\\<>", "\u00f1\u00e4"},
};

class KdeTyping : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* layout = std::getenv("LUMBRA_KWIN_LAYOUT");
    ASSERT_NE(layout, nullptr) << "run through in_kwin.sh";
    for (const LayoutCase& c : kCases)
      if (std::string(c.layout) == layout) layoutCase = &c;
    ASSERT_NE(layoutCase, nullptr) << layout;
    keyboard = platform::OpenWaylandKeyboard();
    ASSERT_TRUE(keyboard->Available()) << keyboard->TakeUnavailableReason();
    platform::SetKeyboard(keyboard.get());
    platform::SetMessageBox(&boxes);
    target = std::make_unique<wltest::Target>(LUMBRA_WLTARGET_PATH, false);
    ASSERT_TRUE(target->Ready()) << "the target did not get the focus";
  }
  void TearDown() override {
    platform::SetMessageBox(nullptr);
    platform::SetKeyboard(nullptr);
  }
  std::string TypeAndRead(const std::string& utf8Text) {
    EXPECT_TRUE(app::TypeKeys(TextToAnsi(utf8Text) + "{ESC}", true, false)) << utf8Text;
    std::string text;
    EXPECT_TRUE(target->ReadUntilEscape(text)) << "no Escape after " << utf8Text;
    return text;
  }

  const LayoutCase* layoutCase = nullptr;
  std::unique_ptr<platform::IKeyboard> keyboard;
  platform::FakeMessageBox boxes;
  std::unique_ptr<wltest::Target> target;
};

TEST_F(KdeTyping, TrackCharactersAndTheLayoutsOwnArriveExactly) {
  const std::string track = "%B4000123456789012&DOE/JOHN&2512?;4000123456789012=2512?";
  EXPECT_EQ(TypeAndRead("{%}B4000123456789012&DOE/JOHN&2512?;4000123456789012=2512?"), track);
  std::string own = layoutCase->own;
  std::string keys;
  for (char c : own) keys += (c == '{' ? "{{}" : c == '}' ? "{}}" : std::string(1, c));
  EXPECT_EQ(TypeAndRead(keys), own);
  EXPECT_EQ(TypeAndRead("x{TAB}Zy{ENTER}+(ab)"), "x<Tab>Zy<Return>AB");
  EXPECT_TRUE(boxes.shown.empty()) << boxes.shown.front().text;
}

TEST_F(KdeTyping, CapsLockDoesNotChangeTheText) {
  // The lock is the compositor's own, as the user's would be.
  EXPECT_EQ(TypeAndRead("{CAPSLOCK}"), "");
  ASSERT_EQ(keyboard->GetKeyState(20) & 1, 1);
  std::string own = layoutCase->own;
  std::string keys;
  for (char c : own) keys += (c == '{' ? "{{}" : c == '}' ? "{}}" : std::string(1, c));
  EXPECT_EQ(TypeAndRead("Ab1zY" + keys), "Ab1zY" + own);
  EXPECT_EQ(keyboard->GetKeyState(20) & 1, 1) << "the run did not lock it again";
  EXPECT_EQ(TypeAndRead("{CAPSLOCK}aB"), "aB");
  EXPECT_EQ(keyboard->GetKeyState(20) & 1, 0) << "not off, as the text left it";
}

TEST_F(KdeTyping, ACharacterTheLayoutLacksIsReportedNeverTypedWrong) {
  std::string lacking = layoutCase->lacking;
  EXPECT_EQ(TypeAndRead("a" + lacking + "b"), "ab");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(boxes.shown[0].text.find(lacking), std::string::npos) << boxes.shown[0].text;
  EXPECT_EQ(boxes.shown[0].kind, platform::MessageKind::Error);
}

}  // namespace
}  // namespace lumbra
