#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "XSession.h"
#include "support/TypingSamples.h"
#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/X11Keyboard.h"

namespace lumbra {
namespace {

using xtest::Received;
using xtest::XSession;

class X11Typing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session = new XSession;
    if (!session->Start() || !session->StartTarget()) {
      startError = session->Error();
      return;
    }
    keyboard = platform::OpenX11Keyboard(session->Display().c_str()).release();
    platform::SetKeyboard(keyboard);
  }
  static void TearDownTestSuite() {
    platform::SetKeyboard(nullptr);
    delete keyboard;
    delete session;
  }
  void SetUp() override {
    ASSERT_TRUE(startError.empty()) << startError;
    ASSERT_TRUE(keyboard->Available());
  }

  // Types the text, then Escape as the end mark, and returns what the target
  // got, rendered.
  static std::string TypeAndRead(const std::string& utf8Text) {
    EXPECT_TRUE(app::TypeKeys(TextToAnsi(utf8Text) + "{ESC}", true, false)) << utf8Text;
    std::vector<Received> keys;
    EXPECT_TRUE(session->ReadUntilEscape(keys)) << session->Error();
    return xtest::Render(keys);
  }

  static inline XSession* session = nullptr;
  static inline platform::IKeyboard* keyboard = nullptr;
  static inline std::string startError;
};

TEST_F(X11Typing, EveryLayoutGetsExactlyTheTextWithCapsLockOffAndOn) {
  for (const char* layout : {"us", "it", "de", "fr"}) {
    ASSERT_TRUE(session->SetLayout(layout)) << layout;
    for (bool caps : {false, true}) {
      ASSERT_TRUE(session->SetCapsLock(caps)) << layout;
      std::vector<unsigned long> before = session->CoreKeymap();
      for (const samples::TypingSample& s : samples::kTypingSamples)
        EXPECT_EQ(TypeAndRead(s.keys), s.expected)
            << "layout " << layout << (caps ? ", CapsLock on" : ", CapsLock off");
      // Spare keys are unbound again and the lock is as the user left it.
      EXPECT_EQ(session->CoreKeymap(), before) << layout;
      EXPECT_EQ(session->CapsLockOn(), caps) << layout;
    }
  }
}

TEST_F(X11Typing, EveryCharacterOfTheCodePageArrivesOnEveryLayout) {
  // Most of these have no key on any of the layouts: more than there are
  // spare keycodes, so spares are also reused within one text. The euro sign
  // is on a key of its own on all but "us".
  const std::string all = samples::CodePageText();
  // The layout's own key, not a spare one, where the layout has one.
  ASSERT_TRUE(session->SetLayout("de"));
  EXPECT_EQ(keyboard->VkKeyScan(u'\u20AC') >> 8, 6) << "the euro sign on AltGr";
  keyboard->EndTyping();
  for (const char* layout : {"us", "it", "de", "fr"}) {
    ASSERT_TRUE(session->SetLayout(layout));
    for (bool caps : {false, true}) {
      ASSERT_TRUE(session->SetCapsLock(caps));
      EXPECT_EQ(TypeAndRead(all), all) << layout << (caps ? ", CapsLock on" : "");
    }
  }
}

TEST_F(X11Typing, SpareKeysKeepTheirCharactersForAClientThatReadsLate) {
  // The target reads nothing while the text is typed, as an application busy
  // elsewhere or starved on a loaded machine, and reads it all afterwards: it
  // then fetches the map for the spare keys only when it reaches them.
  const std::string page = samples::CodePageText();
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"spares unbound at the end", "a\u00e9\u00df\u00e7z"},
      {"spares reused within the text", page},
  };
  ASSERT_TRUE(session->SetLayout("us"));
  ASSERT_TRUE(session->SetCapsLock(false));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(session->PauseTarget(true));
    std::thread resume([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
      session->PauseTarget(false);
    });
    bool typed = app::TypeKeys(TextToAnsi(c.text) + "{ESC}", true, false);
    resume.join();
    EXPECT_TRUE(typed);
    std::vector<Received> keys;
    EXPECT_TRUE(session->ReadUntilEscape(keys)) << session->Error();
    EXPECT_EQ(xtest::Render(keys), c.text);
  }
}

TEST_F(X11Typing, NamedKeysArriveAsTheirKeys) {
  ASSERT_TRUE(session->SetLayout("us"));
  ASSERT_TRUE(session->SetCapsLock(false));
  EXPECT_EQ(TypeAndRead("{BS}{DEL}{INS}{HOME}{END}{PGUP}{PGDN}{LEFT}{RIGHT}{UP}{DOWN}"),
            "<BackSpace><Delete><Insert><Home><End><Prior><Next><Left><Right><Up><Down>");
  // Keys the layout lacks (F13 to F16, Clear, Break, Help here) come through spare
  // keycodes. Print is left out: the window manager takes it.
  EXPECT_EQ(TypeAndRead("{F1}{F12}{F13}{F16}{HELP}{CLEAR}{BREAK}{ESC 0}{CAPSLOCK}{CAPSLOCK}"),
            "<F1><F12><F13><F16><Help><Clear><Break>");
  EXPECT_EQ(TypeAndRead("^a%{F6}+{TAB}"), "<C-a><A-F6><ISO_Left_Tab>");
}

struct UserModifierCase {
  const char* what;
  const char* layout;
  std::vector<const char*> held;  // keysym names
  unsigned latched = 0, locked = 0;
  bool capsLock = false;
};

TEST_F(X11Typing, ModifiersTheUserHoldsOrLatchesDoNotChangeTheTextAndAreGivenBack) {
  using xtest::kControlMask;
  using xtest::kShiftMask;
  // A badge with a shifted character, a character on AltGr on some layouts,
  // a named key and a brace the layout may put on AltGr.
  const char* keys = "abc123+x{TAB}q{{}";
  const char* expected = "abc123X<Tab>q{";
  const UserModifierCase cases[] = {
      {"Shift", "us", {"Shift_L"}},
      {"Shift with CapsLock on", "us", {"Shift_L"}, 0, 0, true},
      {"right Ctrl", "us", {"Control_R"}},
      {"Shift and Alt", "us", {"Shift_R", "Alt_L"}},
      {"Super", "us", {"Super_L"}},
      {"AltGr", "de", {"ISO_Level3_Shift"}},
      {"AltGr and Ctrl", "it", {"ISO_Level3_Shift", "Control_L"}},
      {"latched Shift", "us", {}, kShiftMask},
      {"latched Ctrl and Shift", "de", {}, kControlMask | kShiftMask},
      {"locked Shift", "us", {}, 0, kShiftMask},
      {"Shift held and Ctrl latched", "us", {"Shift_L"}, kControlMask},
  };
  for (const UserModifierCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(session->SetLayout(c.layout));
    ASSERT_TRUE(session->SetCapsLock(c.capsLock));
    const xtest::KeyboardSnapshot idle = session->Keyboard();
    for (const char* key : c.held) ASSERT_TRUE(session->UserKey(key, true)) << key;
    if (c.locked != 0) session->UserLock(c.locked, true);
    if (c.latched != 0) session->UserLatch(c.latched, true);
    const xtest::KeyboardSnapshot holding = session->Keyboard();
    ASSERT_NE(holding, idle);  // the user's modifiers really are in force

    EXPECT_EQ(TypeAndRead(keys), expected);
    // Held, latched and locked again, exactly as the user left them.
    EXPECT_EQ(session->Keyboard(), holding);

    // Once the user lets go, nothing is left down or in force.
    for (const char* key : c.held) session->UserKey(key, false);
    if (c.latched != 0) session->UserLatch(c.latched, false);
    if (c.locked != 0) session->UserLock(c.locked, false);
    EXPECT_EQ(session->Keyboard(), idle);
    EXPECT_EQ(TypeAndRead("a"), "a");
  }
}

TEST_F(X11Typing, NumLockChangesOnlyTheLock) {
  ASSERT_TRUE(session->SetLayout("us"));
  int before = keyboard->GetKeyState(144) & 1;
  EXPECT_EQ(TypeAndRead("{NUMLOCK}1"), "1");
  EXPECT_EQ(keyboard->GetKeyState(144) & 1, 1 - before);
  EXPECT_EQ(TypeAndRead("{NUMLOCK}"), "");
  EXPECT_EQ(keyboard->GetKeyState(144) & 1, before);
}

}  // namespace
}  // namespace lumbra
