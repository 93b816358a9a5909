#include "app/sndkey32.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/fake/FakeKeyboard.h"
#include "platform/fake/FakeMessageLoop.h"

namespace lumbra::app {
namespace {

using platform::FakeKeyboard;

class RecordingMessageBox final : public platform::IMessageBox {
 public:
  struct Shown {
    std::string text, caption;
    platform::MessageKind kind;
  };
  RecordingMessageBox() { platform::SetMessageBox(this); }
  ~RecordingMessageBox() override { platform::SetMessageBox(nullptr); }
  void Show(const std::string& text, const std::string& caption,
            platform::MessageKind kind) override {
    shown.push_back({text, caption, kind});
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const Shown& s : shown) t.push_back(s.text);
    return t;
  }
  std::vector<Shown> shown;
};

class TypeKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    keyboard.Install();
  }
  platform::FakeMessageLoop loop;
  FakeKeyboard keyboard;
  RecordingMessageBox boxes;
};

struct TraceCase {
  const char* text;
  const char* trace;
};

// Readable test names: the keystroke text rather than its bytes.
void PrintTo(const TraceCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class TypeKeysTrace : public TypeKeysTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TypeKeysTrace, SendsExactlyTheseKeyEvents) {
  EXPECT_TRUE(TypeKeys(GetParam().text, false, false));
  EXPECT_EQ(keyboard.KeyTrace(), GetParam().trace);
  EXPECT_TRUE(boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, TypeKeysTrace,
    ::testing::Values(
        // Each shifted character gets its own Shift press and release.
        TraceCase{"AB", "+160 +65 -65 -160 +160 +66 -66 -160"},
        TraceCase{"a1 ", "+65 -65 +49 -49 +32 -32"},
        // A group keeps the held Shift over all its keys.
        TraceCase{"+(ab)c", "+160 +65 -65 +66 -66 -160 +67 -67"},
        // A held Shift is not pressed a second time for a shifted character.
        TraceCase{"+A", "+160 +65 -65 -160"}, TraceCase{"^c", "+17 +67 -67 -17"},
        TraceCase{"%{F4}", "+18 +115 -115 -18"}, TraceCase{"^%{DEL}", "+17 +18 +46 -46 -17 -18"},
        TraceCase{"~", "+13 -13"},
        // Braced characters lose their command meaning.
        TraceCase{"{~}", "+160 +192 -192 -160"}, TraceCase{"{+}", "+160 +187 -187 -160"},
        TraceCase{"{(}{%}", "+160 +57 -57 -160 +160 +53 -53 -160"},
        TraceCase{"{{}", "+160 +219 -219 -160"}, TraceCase{"{}}", "+160 +221 -221 -160"},
        TraceCase{"{{}{}}", "+160 +219 -219 -160 +160 +221 -221 -160"},
        // "{{" is the opening brace whatever follows, and the character after
        // it is skipped.
        TraceCase{"{{x}", "+160 +219 -219 -160 +160 +221 -221 -160"},
        TraceCase{"{{ab", "+160 +219 -219 -160 +66 -66"}, TraceCase{"{{", "+160 +219 -219 -160"},
        TraceCase{"{{}}", "+160 +219 -219 -160 +160 +221 -221 -160"},
        // A second closing brace is typed before the braced key, and takes the
        // text's modifiers with it.
        TraceCase{"{TAB}}", "+160 +221 -221 -160 +9 -9"},
        TraceCase{"{TAB 2}}x", "+160 +221 -221 -160 +9 -9 +9 -9 +88 -88"},
        TraceCase{"^{ENTER}}", "+17 +160 +221 -221 -160 -17 +13 -13"},
        // An empty name types nothing and is no error.
        TraceCase{"{}", ""}, TraceCase{"a{}b{ 3}", "+65 -65 +66 -66"},
        // The name is upper-cased first, so a braced letter is a capital.
        TraceCase{"{a}", "+160 +65 -65 -160"},
        TraceCase{"{a 3}", "+160 +65 -65 +65 -65 +65 -65 -160"},
        TraceCase{"{TAB 3}", "+9 -9 +9 -9 +9 -9"}, TraceCase{"{tab}", "+9 -9"},
        TraceCase{"{BACKSPACE}{BKSP}{bs}", "+8 -8 +8 -8 +8 -8"}, TraceCase{"{TAB 0}x", "+88 -88"},
        // A count that is not a number counts as 1.
        TraceCase{"{TAB x}", "+9 -9"}, TraceCase{"{TAB 2x}", "+9 -9"},
        TraceCase{"{TAB +2}", "+9 -9 +9 -9"},
        // Counts outside 0..65535 are refused; typing goes on.
        TraceCase{"{TAB 65536}x", "+88 -88"}, TraceCase{"{TAB -1}x", "+88 -88"},
        TraceCase{"{TAB 99999999999999999999}x", "+88 -88"},
        // A modifier left open is released by the end of the text.
        TraceCase{"a+", "+65 -65 +160 -160"}, TraceCase{"+(ab", "+160 +65 -65 +66 -66 -160"}));

TEST_F(TypeKeysTest, EveryTableNameTypesItsKeyInAnyCase) {
  for (const TKeyName& entry : KeyNameTable) {
    if (entry.vk == VK_NUMLOCK_KEY) continue;
    keyboard.Clear();
    std::string lower = LowerAscii(entry.name);
    EXPECT_TRUE(TypeKeys("{" + lower + "}", false, false));
    EXPECT_EQ(keyboard.KeyTrace(), "+" + std::to_string(entry.vk) + " -" + std::to_string(entry.vk))
        << entry.name;
  }
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TypeKeysTest, ExtendedKeysCarryTheFlagAndEveryEventItsScanCode) {
  TypeKeys("{UP}{ENTER}{PGDN}", false, false);
  std::vector<FakeKeyboard::Event> keys = keyboard.KeyEvents();
  ASSERT_EQ(keys.size(), 6u);
  std::vector<std::uint32_t> flags;
  for (const auto& e : keys) {
    flags.push_back(e.flags);
    EXPECT_EQ(e.scan, FakeKeyboard::ScanOf(e.vk) & 0xFF);
  }
  EXPECT_EQ(flags, (std::vector<std::uint32_t>{1, 3, 0, 2, 1, 3}));
}

TEST_F(TypeKeysTest, NumLockChangesTheLockStateWithoutAnyKeyEvent) {
  keyboard.State()[20] = 1;  // CapsLock on: must survive the write-back
  EXPECT_TRUE(TypeKeys("{NUMLOCK}", false, false));
  EXPECT_EQ(keyboard.KeyTrace(), "");
  EXPECT_EQ(keyboard.State()[VK_NUMLOCK_KEY] & 1, 1);
  EXPECT_EQ(keyboard.State()[20], 1);
  EXPECT_TRUE(TypeKeys("{NUMLOCK 5}", false, false));  // the count is ignored
  EXPECT_EQ(keyboard.State()[VK_NUMLOCK_KEY] & 1, 0);
  EXPECT_EQ(keyboard.KeyTrace(), "");
}

TEST_F(TypeKeysTest, EmptyTextTypesNothingAndFails) {
  EXPECT_FALSE(TypeKeys("", true, false));
  EXPECT_TRUE(keyboard.Events().empty());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(TypeKeysTest, UnclosedBraceStopsWithNoCloseAndKeepsWhatWasTyped) {
  EXPECT_FALSE(TypeKeys("AB{CD", false, false));
  EXPECT_EQ(keyboard.KeyTrace(), "+160 +65 -65 -160 +160 +66 -66 -160");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "No Close");
  EXPECT_EQ(boxes.shown[0].caption, "Lumbra");
}

TEST_F(TypeKeysTest, NoCloseReleasesModifiersHeldByTheText) {
  EXPECT_FALSE(TypeKeys("+(a{TAB", false, false));
  EXPECT_EQ(keyboard.KeyTrace(), "+160 +65 -65 -160");
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"No Close"});
  // The backend still gets to undo its temporary changes.
  EXPECT_EQ(keyboard.Events().back().kind, FakeKeyboard::Kind::End);
}

TEST_F(TypeKeysTest, UnknownNameIsReportedAndTypingGoesOn) {
  EXPECT_TRUE(TypeKeys("{XYZ}a{}b{F17 2}", false, false));
  EXPECT_EQ(keyboard.KeyTrace(), "+65 -65 +66 -66");
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Invalid Key Name", "Invalid Key Name"}));
}

TEST_F(TypeKeysTest, CharacterWithoutKeyIsSkipped) {
  keyboard.MapChar('y', platform::kNoKey);
  keyboard.MapChar('Y', platform::kNoKey);
  keyboard.MapChar('{', platform::kNoKey);
  EXPECT_TRUE(TypeKeys("xyz{y 3}{{}w", false, false));
  EXPECT_EQ(keyboard.KeyTrace(), "+88 -88 +90 -90 +87 -87");
}

TEST_F(TypeKeysTest, CharactersAreReadInCodePage1252) {
  keyboard.MapChar(u'\u20AC', 0x0645);                  // the euro sign on AltGr+E
  keyboard.MapChar(u'\u0161', 0x0053);                  // s with caron on a key of its own
  EXPECT_TRUE(TypeKeys("\x80\x9A\x81", false, false));  // 0x81 has no character: skipped
  EXPECT_EQ(keyboard.KeyTrace(), "+17 +18 +69 -69 -17 -18 +83 -83");
}

TEST_F(TypeKeysTest, BracesComeFromTheLayoutNotFromAFixedKey) {
  // A layout where the braces sit on AltGr keys, as on many European ones.
  keyboard.MapChar('{', 0x0637);
  keyboard.MapChar('}', 0x0630);
  EXPECT_TRUE(TypeKeys("{{}{}}{TAB}}", false, false));
  EXPECT_EQ(keyboard.KeyTrace(),
            "+17 +18 +55 -55 -17 -18 +17 +18 +48 -48 -17 -18 +17 +18 +48 -48 -17 -18 +9 -9");
}

struct UserModifierCase {
  std::vector<std::uint8_t> held, latched;
};

void PrintTo(const UserModifierCase& c, std::ostream* os) {
  for (auto vk : c.held) *os << "held " << int(vk) << ' ';
  for (auto vk : c.latched) *os << "latched " << int(vk) << ' ';
}

class TypeKeysUserModifiers : public TypeKeysTest,
                              public ::testing::WithParamInterface<UserModifierCase> {};

TEST_P(TypeKeysUserModifiers, AreSetAsideForTheTextAndGivenBack) {
  const UserModifierCase& c = GetParam();
  for (auto vk : c.held) keyboard.UserPress(vk);
  for (auto vk : c.latched) keyboard.UserLatch(vk);
  // The user's keys act on keys sent outside a typing run: without setting
  // them aside, the badge would come out wrong.
  keyboard.KeybdEvent('A', 0, 0);
  ASSERT_NE(keyboard.Received(), u"a");
  for (auto vk : c.latched) keyboard.UserLatch(vk);
  keyboard.Clear();
  const std::u16string before = keyboard.Received();

  EXPECT_TRUE(TypeKeys("abc123+x{TAB}~{{}", true, false));
  EXPECT_EQ(keyboard.Received().substr(before.size()), u"abc123X\t\r{");
  EXPECT_EQ(keyboard.Events().front().kind, FakeKeyboard::Kind::Begin);
  EXPECT_EQ(keyboard.Events().back().kind, FakeKeyboard::Kind::End);
  // Given back as they were, and nothing the text pressed is left down.
  EXPECT_EQ(keyboard.UserHeld(), std::set<std::uint8_t>(c.held.begin(), c.held.end()));
  EXPECT_EQ(keyboard.UserLatched(), std::set<std::uint8_t>(c.latched.begin(), c.latched.end()));
  EXPECT_TRUE(keyboard.TypedModifiersDown().empty());
}

INSTANTIATE_TEST_SUITE_P(Held, TypeKeysUserModifiers,
                         ::testing::Values(UserModifierCase{{160}, {}},  // Shift
                                           UserModifierCase{{163}, {}},  // right Ctrl
                                           UserModifierCase{{164}, {}},  // Alt
                                           UserModifierCase{{165}, {}},  // AltGr
                                           UserModifierCase{{91}, {}},   // Super
                                           UserModifierCase{{}, {160}},  // latched Shift
                                           UserModifierCase{{161, 162}, {164}}));

TEST_F(TypeKeysTest, WaitModeDrainsKeyboardMessagesAfterEveryEvent) {
  TypeKeys("A", true, false);
  std::vector<FakeKeyboard::Kind> kinds;
  for (const auto& e : keyboard.Events()) kinds.push_back(e.kind);
  using K = FakeKeyboard::Kind;
  EXPECT_EQ(kinds, (std::vector<K>{K::Begin, K::Down, K::Drain, K::Down, K::Drain, K::Up, K::Drain,
                                   K::Up, K::Drain, K::End}));
  keyboard.Clear();
  TypeKeys("A", false, false);
  for (const auto& e : keyboard.Events()) EXPECT_NE(e.kind, K::Drain);
}

std::vector<std::uint64_t> Times(const FakeKeyboard& keyboard) {
  std::vector<std::uint64_t> t;
  for (const auto& e : keyboard.KeyEvents()) t.push_back(e.time);
  return t;
}

TEST_F(TypeKeysTest, PausesFollowModifierCharactersAndFrameTheirRelease) {
  loop.SetTime(1000);
  TypeKeys("+a", false, false);
  // Shift down, 1 ms, a down/up, 2 ms, Shift up, 2 ms.
  EXPECT_EQ(Times(keyboard), (std::vector<std::uint64_t>{1000, 1001, 1001, 1003}));
  EXPECT_EQ(loop.GetTickCount64(), 1005u);

  // A shifted character costs no time: that is what keeps badges fast.
  keyboard.Clear();
  loop.SetTime(2000);
  TypeKeys("AbC{TAB 4}", true, false);
  EXPECT_EQ(loop.GetTickCount64(), 2000u);
}

TEST_F(TypeKeysTest, SlowModeSpacesKeysAndKeepsProcessingMessages) {
  std::vector<std::uint64_t> delivered;
  platform::HWND w = loop.CreateMessageWindow(
      [&](platform::TMessage&) { delivered.push_back(loop.GetTickCount64()); });
  loop.PostMessage(w, platform::WM_USER, 0, 0);
  loop.SetTime(0);
  TypeKeys("ab", false, true);
  // Down, 2 ms, up, then at least 15 ms before the next key.
  EXPECT_EQ(Times(keyboard), (std::vector<std::uint64_t>{0, 2, 17, 19}));
  EXPECT_EQ(loop.GetTickCount64(), 34u);
  EXPECT_EQ(delivered, std::vector<std::uint64_t>{2});
  loop.DestroyMessageWindow(w);
}

TEST_F(TypeKeysTest, WithoutKeyboardOutputTheUserIsToldOnce) {
  platform::UnavailableKeyboard none("no X display (DISPLAY is not set)");
  platform::SetKeyboard(&none);
  EXPECT_FALSE(TypeKeys("1234{TAB}", true, false));
  EXPECT_FALSE(TypeKeys("5678{TAB}", true, false));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(boxes.shown[0].text.find("no X display"), std::string::npos);
  EXPECT_EQ(boxes.shown[0].kind, platform::MessageKind::Error);
  platform::SetKeyboard(&keyboard);
}

}  // namespace
}  // namespace lumbra::app
