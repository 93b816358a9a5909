#include "platform/linux/X11Keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/Clock.h"

namespace lumbra::platform {
namespace {

// A client decodes a key with the map it fetches when it reads the map change
// before the key, which may be long after the key was typed: a spare's
// binding may only change once the client has read every key typed on it.
// The client with the focus proves that by answering a ping queued behind the
// keys; one that does not answer pings in time gets a grace instead. Unbinding
// at the end of a text waits the short grace; reusing a spare within a text
// (only when a text needs more missing characters than there are spare
// places) waits the long one.
constexpr std::uint32_t kFocusPingTimeoutMs = 2000;
constexpr std::uint32_t kSpareUnbindGraceMs = 30;
constexpr std::uint32_t kSpareReuseGraceMs = 250;

int IgnoreXErrors(Display*, XErrorEvent*) {
  return 0;
}

struct Pong {
  Atom protocols, ping;
  long stamp;
  Window window;
};

Bool IsPong(Display*, XEvent* ev, XPointer arg) {
  const auto* p = reinterpret_cast<const Pong*>(arg);
  const XClientMessageEvent& m = ev->xclient;
  return ev->type == ClientMessage && m.message_type == p->protocols && m.format == 32 &&
         static_cast<Atom>(m.data.l[0]) == p->ping && m.data.l[1] == p->stamp &&
         static_cast<Window>(m.data.l[2]) == p->window;
}

constexpr std::uint8_t kVkShift = 16, kVkLShift = 160, kVkRShift = 161;
constexpr std::uint8_t kVkControl = 17, kVkLControl = 162, kVkRControl = 163;
constexpr std::uint8_t kVkMenu = 18, kVkLMenu = 164, kVkRMenu = 165;
constexpr std::uint8_t kVkCapital = 20, kVkNumLock = 144, kVkScroll = 145;

KeySym NamedKeySym(std::uint8_t vk) {
  if (vk >= 112 && vk <= 127) return XK_F1 + (vk - 112);
  switch (vk) {
    case 3:
      return XK_Break;
    case 8:
      return XK_BackSpace;
    case 9:
      return XK_Tab;
    case 12:
      return XK_Clear;
    case 13:
      return XK_Return;
    case 20:
      return XK_Caps_Lock;
    case 27:
      return XK_Escape;
    case 32:
      return XK_space;
    case 33:
      return XK_Prior;
    case 34:
      return XK_Next;
    case 35:
      return XK_End;
    case 36:
      return XK_Home;
    case 37:
      return XK_Left;
    case 38:
      return XK_Up;
    case 39:
      return XK_Right;
    case 40:
      return XK_Down;
    case 42:
      return XK_Print;
    case 45:
      return XK_Insert;
    case 46:
      return XK_Delete;
    case 47:
      return XK_Help;
    case 144:
      return XK_Num_Lock;
    case 145:
      return XK_Scroll_Lock;
    default:
      return NoSymbol;
  }
}

bool IsModifierVk(std::uint8_t vk) {
  return ModifierOfVk(vk) != ModifierVk::NoModifier;
}

KeySym CharKeySym(char16_t ch) {
  if ((ch >= 0x20 && ch <= 0x7E) || (ch >= 0xA0 && ch <= 0xFF)) return ch;
  if (ch > 0xFF && !(ch >= 0xD800 && ch <= 0xDFFF)) return 0x01000000 | ch;
  return NoSymbol;
}

// The older keysyms of the code page's characters above Latin-1: layouts put
// the euro sign, the quotes and dashes on keys under these.
KeySym LegacyKeySym(char16_t ch) {
  static const std::map<char16_t, KeySym> kLegacy = {
      {0x20AC, 0x20AC},  // EuroSign
      {0x201A, 0x0AFD},  // singlelowquotemark
      {0x0192, 0x08F6},  // function
      {0x201E, 0x0AFE},  // doublelowquotemark
      {0x2026, 0x0AAE},  // ellipsis
      {0x2020, 0x0AF1},  // dagger
      {0x2021, 0x0AF2},  // doubledagger
      {0x2030, 0x0AD5},  // permille
      {0x0160, 0x01A9},  // Scaron
      {0x0152, 0x13BC},  // OE
      {0x017D, 0x01AE},  // Zcaron
      {0x2018, 0x0AD0},  // leftsinglequotemark
      {0x2019, 0x0AD1},  // rightsinglequotemark
      {0x201C, 0x0AD2},  // leftdoublequotemark
      {0x201D, 0x0AD3},  // rightdoublequotemark
      {0x2022, 0x0AE6},  // enfilledcircbullet
      {0x2013, 0x0AAA},  // endash
      {0x2014, 0x0AA9},  // emdash
      {0x2122, 0x0AC9},  // trademark
      {0x0161, 0x01B9},  // scaron
      {0x0153, 0x13BD},  // oe
      {0x017E, 0x01BE},  // zcaron
      {0x0178, 0x13BE},  // Ydiaeresis
  };
  auto it = kLegacy.find(ch);
  return it == kLegacy.end() ? NoSymbol : it->second;
}

class X11Keyboard final : public IKeyboard {
 public:
  explicit X11Keyboard(Display* dpy);
  ~X11Keyboard() override;

  std::uint16_t VkKeyScan(char16_t ch) override;
  std::uint32_t MapVirtualKey(std::uint8_t vk) override;
  void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override;
  std::int16_t GetKeyState(int vk) override;
  void GetKeyboardState(KeyboardStateTable& state) override;
  void SetKeyboardState(const KeyboardStateTable& state) override;
  // Keys for the program's own windows arrive on the toolkit's connection in
  // the order the server sends them; there is nothing queued here to drain.
  void DrainKeyboardMessages() override {}
  void BeginTyping() override;
  void EndTyping() override;

 private:
  // What a virtual key presses: a keycode, with the group and level it was
  // found at for character keys.
  struct Target {
    KeyCode keycode = 0;
    int group = 0;
    int level = 0;
    bool character = false;
    unsigned mods = 0;  // named keys: the modifiers their level needs
  };
  struct Found {
    KeyCode keycode;
    int group;  // the key's own group index for the effective group
    int level;
    unsigned mods;  // real modifiers that select the level with no lock active
  };
  struct Solution {
    unsigned mods;
    bool unlockCaps;
  };

  bool OwnKeys(int first, int count) const;
  void ProcessEvents();
  void LoadMap();
  void ReloadKey(KeyCode kc);
  int KeyGroup(KeyCode kc, int group) const;
  int LevelOf(XkbKeyTypePtr type, unsigned mods, unsigned* preserve) const;
  KeySym ClientKeySym(KeyCode kc, int keyGroup, unsigned mods) const;
  std::optional<Found> Find(KeySym sym, int group);
  std::optional<Found> FindOrBind(KeySym sym, int group);
  bool BindSpare(KeySym sym);
  std::uint8_t TokenFor(const Found& found);
  Solution Solve(KeyCode kc, int keyGroup, KeySym wanted, unsigned passMods, unsigned lockedMods);
  void PressKey(std::uint8_t vk);
  void ReleaseKey(std::uint8_t vk);
  void SetRealMods(unsigned mods);
  void GiveBackUserMods();
  std::optional<Target> Resolve(std::uint8_t vk);
  XkbStateRec State();
  Window PingableFocus();
  bool FocusClientCaughtUp();

  Display* fDpy;
  Atom fWmProtocols = None, fNetWmPing = None, fNetWmPid = None;
  long fPingStamp = 0;
  Window fSilentFocus = None;  // left a ping unanswered in this run
  int fXkbEventBase = 0;
  XkbDescPtr fXkb = nullptr;
  bool fStale = true;
  std::map<std::pair<KeySym, int>, std::optional<Found>> fFindCache;

  // Modifier keys and their real masks on this map.
  KeyCode fShiftKc = 0, fCtrlKc = 0, fAltKc = 0, fLevel3Kc = 0;
  unsigned fAltMask = 0, fLevel3Mask = 0, fNumLockMask = 0;

  // Character keys' virtual keys, handed out round-robin.
  std::array<Target, 256> fTokens{};
  std::vector<std::uint8_t> fFreeVks;
  size_t fNextVk = 0;
  std::map<std::pair<KeyCode, int>, std::uint8_t> fTokenOf;

  // Spare keycodes bound during this run, in binding order.
  std::vector<KeyCode> fSpares;
  struct Binding {
    KeyCode keycode;
    int level;
    KeySym sym;
    std::uint64_t lastUse;  // clock ticks of the last key event on it
  };
  std::vector<Binding> fBound;
  std::set<KeyCode> fOwnKeys;  // every spare ever bound or unbound here

  // State the typed text asked for, and what this backend holds down.
  bool fShift = false, fCtrl = false, fAlt = false;
  unsigned fDownMods = 0;
  bool fRelockCaps = false;

  // Lock state and effective group, kept current by state events.
  unsigned fLockedMods = 0;
  int fGroup = 0;

  // The user's modifiers set aside for a run: keys released for it, and
  // latches and locks cleared for it.
  std::vector<KeyCode> fHeldAside;
  unsigned fLatchedAside = 0, fLockedAside = 0;
};

X11Keyboard::X11Keyboard(Display* dpy) : fDpy(dpy) {
  fWmProtocols = XInternAtom(fDpy, "WM_PROTOCOLS", False);
  fNetWmPing = XInternAtom(fDpy, "_NET_WM_PING", False);
  fNetWmPid = XInternAtom(fDpy, "_NET_WM_PID", False);
  int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  XkbQueryExtension(fDpy, &opcode, &fXkbEventBase, &error, &major, &minor);
  constexpr unsigned kEvents = XkbMapNotifyMask | XkbNewKeyboardNotifyMask | XkbStateNotifyMask;
  XkbSelectEvents(fDpy, XkbUseCoreKbd, kEvents, kEvents);
  // Only lock, latch and group changes: the state a key is typed under is
  // then known without a round trip per key.
  constexpr unsigned long kStateParts =
      XkbModifierLockMask | XkbModifierLatchMask | XkbGroupStateMask;
  XkbSelectEventDetails(fDpy, XkbUseCoreKbd, XkbStateNotify, XkbAllStateComponentsMask,
                        kStateParts);
  for (int vk = 1; vk < 255; ++vk)
    if (NamedKeySym(static_cast<std::uint8_t>(vk)) == NoSymbol &&
        !IsModifierVk(static_cast<std::uint8_t>(vk)))
      fFreeVks.push_back(static_cast<std::uint8_t>(vk));
  LoadMap();
  XkbStateRec st = State();
  fLockedMods = st.locked_mods | st.latched_mods;
  fGroup = st.group;
}

X11Keyboard::~X11Keyboard() {
  SetRealMods(0);
  EndTyping();
  if (fXkb != nullptr) XkbFreeKeyboard(fXkb, 0, True);
  XCloseDisplay(fDpy);
}

// Map changes on spare keys are our own and already in our copy of the map;
// reloading the whole map for each would cost more than typing the key.
bool X11Keyboard::OwnKeys(int first, int count) const {
  if (count <= 0) return false;
  for (int kc = first; kc < first + count; ++kc)
    if (!fOwnKeys.count(static_cast<KeyCode>(kc))) return false;
  return true;
}

void X11Keyboard::ProcessEvents() {
  while (XPending(fDpy) > 0) {
    XEvent ev;
    XNextEvent(fDpy, &ev);
    if (ev.type == MappingNotify) {
      XRefreshKeyboardMapping(&ev.xmapping);
      if (ev.xmapping.request != MappingKeyboard ||
          !OwnKeys(ev.xmapping.first_keycode, ev.xmapping.count))
        fStale = true;
    } else if (ev.type == fXkbEventBase) {
      const auto& xkbEv = reinterpret_cast<const XkbEvent&>(ev);
      if (xkbEv.any.xkb_type == XkbStateNotify) {
        fLockedMods = xkbEv.state.locked_mods | xkbEv.state.latched_mods;
        fGroup = xkbEv.state.group;
      } else if (xkbEv.any.xkb_type != XkbMapNotify ||
                 !OwnKeys(xkbEv.map.first_key_sym, xkbEv.map.num_key_syms)) {
        fStale = true;
      }
    }
  }
}

void X11Keyboard::LoadMap() {
  if (fXkb != nullptr) XkbFreeKeyboard(fXkb, 0, True);
  fXkb = XkbGetMap(fDpy, XkbKeyTypesMask | XkbKeySymsMask | XkbModifierMapMask, XkbUseCoreKbd);
  fStale = false;
  fFindCache.clear();
  fTokenOf.clear();
  fShiftKc = fCtrlKc = fAltKc = fLevel3Kc = 0;
  fAltMask = fLevel3Mask = fNumLockMask = 0;
  if (fXkb == nullptr || fXkb->map == nullptr) return;

  fSpares.clear();
  for (int kc = fXkb->max_key_code; kc >= fXkb->min_key_code; --kc) {
    auto code = static_cast<KeyCode>(kc);
    if (XkbKeyNumGroups(fXkb, code) == 0 && fXkb->map->modmap[code] == 0) fSpares.push_back(code);
  }
  // Bound spares are spares too: they are ours until EndTyping.
  for (const Binding& b : fBound) fSpares.push_back(b.keycode);

  auto modifierKey = [&](KeySym sym, KeyCode& kc, unsigned* mask) {
    for (int k = fXkb->min_key_code; k <= fXkb->max_key_code; ++k) {
      auto code = static_cast<KeyCode>(k);
      if (XkbKeyNumGroups(fXkb, code) > 0 && XkbKeySymEntry(fXkb, code, 0, 0) == sym &&
          fXkb->map->modmap[code] != 0) {
        kc = code;
        if (mask != nullptr) *mask = fXkb->map->modmap[code];
        return;
      }
    }
  };
  modifierKey(XK_Shift_L, fShiftKc, nullptr);
  modifierKey(XK_Control_L, fCtrlKc, nullptr);
  modifierKey(XK_Alt_L, fAltKc, &fAltMask);
  modifierKey(XK_ISO_Level3_Shift, fLevel3Kc, &fLevel3Mask);
  KeyCode numKc = 0;
  modifierKey(XK_Num_Lock, numKc, &fNumLockMask);
  if (fAltKc == 0) fAltMask = Mod1Mask;
}

void X11Keyboard::ReloadKey(KeyCode kc) {
  XkbMapChangesRec changes{};
  changes.changed = XkbKeySymsMask;
  changes.first_key_sym = kc;
  changes.num_key_syms = 1;
  if (XkbGetMapChanges(fDpy, fXkb, &changes) != Success) LoadMap();
}

XkbStateRec X11Keyboard::State() {
  XkbStateRec st{};
  XkbGetState(fDpy, XkbUseCoreKbd, &st);
  return st;
}

// The top-level window of the focus that answers pings, unless it is one of
// this program's own: their toolkit waits on the thread that is typing.
Window X11Keyboard::PingableFocus() {
  Window w = None;
  int revert = 0;
  XGetInputFocus(fDpy, &w, &revert);
  const Window root = DefaultRootWindow(fDpy);
  while (w != None && w != PointerRoot && w != root) {
    Atom* protocols = nullptr;
    int count = 0;
    bool pings = false;
    if (XGetWMProtocols(fDpy, w, &protocols, &count) != 0) {
      pings = std::find(protocols, protocols + count, fNetWmPing) != protocols + count;
      XFree(protocols);
    }
    if (pings) {
      Atom type = None;
      int format = 0;
      unsigned long n = 0, after = 0;
      unsigned char* data = nullptr;
      bool own = XGetWindowProperty(fDpy, w, fNetWmPid, 0, 1, False, XA_CARDINAL, &type, &format,
                                    &n, &after, &data) == Success &&
                 data != nullptr && format == 32 && n == 1 &&
                 *reinterpret_cast<unsigned long*>(data) == static_cast<unsigned long>(getpid());
      if (data != nullptr) XFree(data);
      return own ? None : w;
    }
    Window rootOut = None, parent = None, *children = nullptr;
    unsigned nChildren = 0;
    if (XQueryTree(fDpy, w, &rootOut, &parent, &children, &nChildren) == 0) return None;
    if (children != nullptr) XFree(children);
    w = parent;
  }
  return None;
}

// Pings the focus client and waits for the answer, which it sends once it has
// read every event queued before the ping: every key typed so far, and the
// map changes before them. False when there is no such client or it did not
// answer in time.
bool X11Keyboard::FocusClientCaughtUp() {
  auto old = XSetErrorHandler(IgnoreXErrors);
  const Window root = DefaultRootWindow(fDpy);
  bool answered = false;
  // A client that left one ping unanswered is not waited for again in the
  // run: a text reusing many spares would otherwise wait for it each time.
  if (Window target = PingableFocus(); target != None && target != fSilentFocus) {
    // Answers go to the root window; listened to only while waiting.
    XSelectInput(fDpy, root, SubstructureNotifyMask);
    Pong pong{fWmProtocols, fNetWmPing, ++fPingStamp, target};
    XEvent ping{};
    ping.xclient.type = ClientMessage;
    ping.xclient.window = target;
    ping.xclient.message_type = fWmProtocols;
    ping.xclient.format = 32;
    ping.xclient.data.l[0] = static_cast<long>(fNetWmPing);
    ping.xclient.data.l[1] = pong.stamp;
    ping.xclient.data.l[2] = static_cast<long>(target);
    XSendEvent(fDpy, target, False, NoEventMask, &ping);
    XFlush(fDpy);
    const std::uint64_t deadline = Clock().GetTickCount64() + kFocusPingTimeoutMs;
    for (;;) {
      XEvent ev;
      if (XCheckIfEvent(fDpy, &ev, IsPong, reinterpret_cast<XPointer>(&pong)) != 0) {
        answered = true;
        break;
      }
      const std::uint64_t now = Clock().GetTickCount64();
      if (now >= deadline) break;
      pollfd pfd{ConnectionNumber(fDpy), POLLIN, 0};
      poll(&pfd, 1, static_cast<int>(std::min<std::uint64_t>(deadline - now, 50)));
    }
    XSelectInput(fDpy, root, NoEventMask);
    if (!answered) fSilentFocus = target;
  }
  XSync(fDpy, False);
  XSetErrorHandler(old);
  return answered;
}

int X11Keyboard::KeyGroup(KeyCode kc, int group) const {
  int n = XkbKeyNumGroups(fXkb, kc);
  if (n == 0) return -1;
  if (group < n) return group;
  unsigned info = XkbKeyGroupInfo(fXkb, kc);
  switch (XkbOutOfRangeGroupAction(info)) {
    case XkbRedirectIntoRange: {
      int r = XkbOutOfRangeGroupNumber(info);
      return r >= n ? 0 : r;
    }
    case XkbClampIntoRange:
      return n - 1;
    default:
      return group % n;
  }
}

int X11Keyboard::LevelOf(XkbKeyTypePtr type, unsigned mods, unsigned* preserve) const {
  unsigned relevant = mods & type->mods.mask;
  if (preserve != nullptr) *preserve = 0;
  for (int i = 0; i < type->map_count; ++i) {
    const XkbKTMapEntryRec& e = type->map[i];
    if (e.active && e.mods.mask == relevant) {
      if (preserve != nullptr && type->preserve != nullptr) *preserve = type->preserve[i].mask;
      return e.level;
    }
  }
  return 0;
}

// The keysym a client decodes for the key under these modifiers: the level
// the key type selects, then upper case when Lock is on and the type did not
// consume it (what XKB-based toolkits and Xlib do).
KeySym X11Keyboard::ClientKeySym(KeyCode kc, int keyGroup, unsigned mods) const {
  XkbKeyTypePtr type = XkbKeyKeyType(fXkb, kc, keyGroup);
  unsigned preserve = 0;
  int level = LevelOf(type, mods, &preserve);
  KeySym sym = XkbKeySymEntry(fXkb, kc, level, keyGroup);
  unsigned consumed = type->mods.mask & ~preserve;
  if ((mods & LockMask) && !(consumed & LockMask)) {
    KeySym lower = 0, upper = 0;
    XConvertCase(sym, &lower, &upper);
    sym = upper;
  }
  return sym;
}

std::optional<X11Keyboard::Found> X11Keyboard::Find(KeySym sym, int group) {
  auto key = std::make_pair(sym, group);
  auto cached = fFindCache.find(key);
  if (cached != fFindCache.end()) return cached->second;

  std::optional<Found> best;
  int bestRank = 4;
  const unsigned choices[] = {0, ShiftMask, fLevel3Mask, ShiftMask | fLevel3Mask};
  for (int k = fXkb->min_key_code; k <= fXkb->max_key_code; ++k) {
    auto kc = static_cast<KeyCode>(k);
    int g = KeyGroup(kc, group);
    if (g < 0) continue;
    XkbKeyTypePtr type = XkbKeyKeyType(fXkb, kc, g);
    for (int level = 0; level < type->num_levels; ++level) {
      if (XkbKeySymEntry(fXkb, kc, level, g) != sym) continue;
      // Fewer modifiers win; among equals, the lower keycode (the main block
      // comes before the keypad). A level no plain choice reaches is skipped.
      for (int rank = 0; rank < bestRank; ++rank) {
        if (rank >= 2 && (fLevel3Mask == 0 || fLevel3Kc == 0)) break;
        if (LevelOf(type, choices[rank], nullptr) != level) continue;
        best = Found{kc, g, level, choices[rank]};
        bestRank = rank;
        break;
      }
    }
  }
  fFindCache[key] = best;
  return best;
}

// Each spare keycode carries two symbols (the second with Shift). Adding a
// symbol leaves the first one as it was, so keys still in a client's queue
// decode as typed; only evicting a keycode changes what it meant.
bool X11Keyboard::BindSpare(KeySym sym) {
  for (const Binding& b : fBound)
    if (b.sym == sym) return true;
  if (fSpares.empty()) return false;
  auto usedLevels = [&](KeyCode kc) {
    int used = 0;
    for (const Binding& b : fBound)
      if (b.keycode == kc) used |= 1 << b.level;
    return used;
  };
  KeyCode kc = 0;
  int level = -1;
  for (KeyCode s : fSpares) {
    int used = usedLevels(s);
    if (used == 1) {
      kc = s;
      level = 1;
      break;
    }
    if (used == 0 && level < 0) {
      kc = s;
      level = 0;
    }
  }
  if (level < 0) {
    // Every spare is taken in this run: the least recently used keycode goes,
    // once a client has had the grace to decode what was typed on it.
    const Binding* oldest = nullptr;
    for (const Binding& b : fBound) {
      std::uint64_t last = 0;
      for (const Binding& o : fBound)
        if (o.keycode == b.keycode) last = std::max(last, o.lastUse);
      if (oldest == nullptr || last < oldest->lastUse) oldest = &b;
    }
    kc = oldest->keycode;
    std::uint64_t last = 0;
    for (const Binding& b : fBound)
      if (b.keycode == kc) last = std::max(last, b.lastUse);
    if (!FocusClientCaughtUp()) {
      std::uint64_t since = Clock().GetTickCount64() - last;
      if (since < kSpareReuseGraceMs)
        Clock().Sleep(static_cast<std::uint32_t>(kSpareReuseGraceMs - since));
    }
    std::erase_if(fBound, [kc](const Binding& b) { return b.keycode == kc; });
    level = 0;
  }
  fBound.push_back(Binding{kc, level, sym, Clock().GetTickCount64()});
  KeySym syms[2] = {NoSymbol, NoSymbol};
  for (const Binding& b : fBound)
    if (b.keycode == kc) syms[b.level] = b.sym;
  // A lone symbol is written twice: the server would otherwise make a lone
  // letter a case pair and move it to the Shift level, which the second
  // symbol would then take over.
  if (syms[1] == NoSymbol) syms[1] = syms[0];
  fOwnKeys.insert(kc);
  XChangeKeyboardMapping(fDpy, kc, 2, syms, 1);
  XSync(fDpy, False);
  // The server chose the key's type; read back just this key.
  ReloadKey(kc);
  fFindCache.clear();
  return true;
}

std::optional<X11Keyboard::Found> X11Keyboard::FindOrBind(KeySym sym, int group) {
  if (std::optional<Found> f = Find(sym, group)) return f;
  if (!BindSpare(sym)) return std::nullopt;
  return Find(sym, group);
}

std::uint8_t X11Keyboard::TokenFor(const Found& found) {
  auto key = std::make_pair(found.keycode, found.group);
  auto it = fTokenOf.find(key);
  if (it != fTokenOf.end()) {
    fTokens[it->second].level = found.level;
    return it->second;
  }
  std::uint8_t vk = fFreeVks[fNextVk];
  fNextVk = (fNextVk + 1) % fFreeVks.size();
  std::erase_if(fTokenOf, [vk](const auto& entry) { return entry.second == vk; });
  fTokens[vk] = Target{found.keycode, found.group, found.level, true};
  fTokenOf[key] = vk;
  return vk;
}

std::uint16_t X11Keyboard::VkKeyScan(char16_t ch) {
  if (std::uint8_t vk = ControlCharVk(ch)) return vk;
  KeySym sym = CharKeySym(ch);
  if (sym == NoSymbol) return kNoKey;
  ProcessEvents();
  if (fStale) LoadMap();
  if (fXkb == nullptr || fXkb->map == nullptr) return kNoKey;
  // A key of the layout under either keysym; a spare gets the Unicode one,
  // which every client decodes.
  std::optional<Found> found;
  if (KeySym legacy = LegacyKeySym(ch); legacy != NoSymbol) found = Find(legacy, fGroup);
  if (!found) found = FindOrBind(sym, fGroup);
  if (!found) return kNoKey;
  std::uint16_t shift = 0;
  if (found->mods & ShiftMask) shift |= 1;
  if (found->mods & fLevel3Mask) shift |= 2 | 4;  // AltGr, as Ctrl+Alt
  return static_cast<std::uint16_t>(shift << 8 | TokenFor(*found));
}

std::optional<X11Keyboard::Target> X11Keyboard::Resolve(std::uint8_t vk) {
  if (fTokens[vk].character) return fTokens[vk];
  KeySym sym = NamedKeySym(vk);
  if (sym == NoSymbol) return std::nullopt;
  ProcessEvents();
  if (fStale) LoadMap();
  if (fXkb == nullptr || fXkb->map == nullptr) return std::nullopt;
  std::optional<Found> found = FindOrBind(sym, fGroup);
  if (!found) return std::nullopt;
  return Target{found->keycode, found->group, found->level, false, found->mods};
}

std::uint32_t X11Keyboard::MapVirtualKey(std::uint8_t vk) {
  if (IsModifierVk(vk)) {
    KeyCode kc = (vk == kVkShift || vk == kVkLShift || vk == kVkRShift) ? fShiftKc
                 : (vk == kVkMenu || vk == kVkLMenu || vk == kVkRMenu)  ? fAltKc
                                                                        : fCtrlKc;
    return kc >= 8 ? kc - 8u : 0u;
  }
  std::optional<Target> t = Resolve(vk);
  return t && t->keycode >= 8 ? t->keycode - 8u : 0u;
}

X11Keyboard::Solution X11Keyboard::Solve(KeyCode kc, int keyGroup, KeySym wanted, unsigned passMods,
                                         unsigned lockedMods) {
  const unsigned choices[] = {0, ShiftMask, fLevel3Mask, ShiftMask | fLevel3Mask};
  const bool canUnlock = (lockedMods & LockMask) != 0;
  for (int unlock = 0; unlock <= (canUnlock ? 1 : 0); ++unlock) {
    unsigned locks = unlock ? lockedMods & ~LockMask : lockedMods;
    for (int c = 0; c < 4; ++c) {
      if (c >= 2 && (fLevel3Mask == 0 || fLevel3Kc == 0)) break;
      if (ClientKeySym(kc, keyGroup, choices[c] | passMods | locks) == wanted)
        return Solution{choices[c], unlock != 0};
    }
  }
  return Solution{0, false};
}

void X11Keyboard::SetRealMods(unsigned mods) {
  auto set = [&](unsigned mask, KeyCode kc) {
    if (kc == 0 || mask == 0) return;
    bool want = (mods & mask) != 0, down = (fDownMods & mask) != 0;
    if (want != down) XTestFakeKeyEvent(fDpy, kc, want ? True : False, CurrentTime);
  };
  set(ShiftMask, fShiftKc);
  set(ControlMask, fCtrlKc);
  set(fAltMask, fAltKc);
  set(fLevel3Mask, fLevel3Kc);
  fDownMods = mods;
}

void X11Keyboard::PressKey(std::uint8_t vk) {
  std::optional<Target> t = Resolve(vk);
  if (!t) return;
  ProcessEvents();
  unsigned locked = fLockedMods;
  unsigned mods = 0;
  bool unlockCaps = false;
  // A map reloaded since the key was looked up may have dropped its group.
  if (t->character && t->group >= XkbKeyNumGroups(fXkb, t->keycode)) t->character = false;
  if (t->character) {
    XkbKeyTypePtr type = XkbKeyKeyType(fXkb, t->keycode, t->group);
    bool altGr = fCtrl && fAlt && fLevel3Mask != 0 && (type->mods.mask & fLevel3Mask) != 0;
    unsigned levelMods = (fShift ? ShiftMask : 0u) | (altGr ? fLevel3Mask : 0u);
    unsigned passMods = altGr ? 0u : (fCtrl ? ControlMask : 0u) | (fAlt ? fAltMask : 0u);
    KeySym wanted = XkbKeySymEntry(fXkb, t->keycode, LevelOf(type, levelMods, nullptr), t->group);
    // A spare key's type is the server's guess and changes as its second
    // symbol comes and goes; it is typed with CapsLock off so that no client
    // case rule can apply to it.
    bool spare = fOwnKeys.count(t->keycode) > 0 && (locked & LockMask);
    Solution s = wanted == NoSymbol ? Solution{levelMods, false}
                 : spare ? Solve(t->keycode, t->group, wanted, passMods, locked & ~LockMask)
                         : Solve(t->keycode, t->group, wanted, passMods, locked);
    if (spare) s.unlockCaps = true;
    mods = s.mods | passMods;
    unlockCaps = s.unlockCaps;
  } else {
    mods =
        t->mods | (fShift ? ShiftMask : 0u) | (fCtrl ? ControlMask : 0u) | (fAlt ? fAltMask : 0u);
  }
  SetRealMods(mods);
  if (unlockCaps) {
    XkbLockModifiers(fDpy, XkbUseCoreKbd, LockMask, 0);
    fRelockCaps = true;
  }
  XTestFakeKeyEvent(fDpy, t->keycode, True, CurrentTime);
  XFlush(fDpy);
}

void X11Keyboard::ReleaseKey(std::uint8_t vk) {
  std::optional<Target> t = Resolve(vk);
  if (!t) return;
  XTestFakeKeyEvent(fDpy, t->keycode, False, CurrentTime);
  for (Binding& b : fBound)
    if (b.keycode == t->keycode) b.lastUse = Clock().GetTickCount64();
  SetRealMods(0);
  if (fRelockCaps) {
    XkbLockModifiers(fDpy, XkbUseCoreKbd, LockMask, LockMask);
    fRelockCaps = false;
  }
  XSync(fDpy, False);
}

void X11Keyboard::KeybdEvent(std::uint8_t vk, std::uint8_t, std::uint32_t flags) {
  bool down = (flags & KEYEVENTF_KEYUP) == 0;
  if (TakeModifierEvent(vk, down, fShift, fCtrl, fAlt)) return;
  if (down)
    PressKey(vk);
  else
    ReleaseKey(vk);
}

std::int16_t X11Keyboard::GetKeyState(int vk) {
  XkbStateRec st = State();
  std::int16_t result = 0;
  if (vk == kVkCapital && (st.locked_mods & LockMask)) result |= 1;
  if (vk == kVkNumLock && fNumLockMask != 0 && (st.locked_mods & fNumLockMask)) result |= 1;
  if (vk == kVkScroll) {
    Atom scroll = XInternAtom(fDpy, "Scroll Lock", False);
    int index = 0;
    Bool on = False;
    if (XkbGetNamedIndicator(fDpy, scroll, &index, &on, nullptr, nullptr) && on) result |= 1;
  }
  bool down = ((vk == kVkShift || vk == kVkLShift) && fShift) ||
              ((vk == kVkControl || vk == kVkLControl) && fCtrl) ||
              ((vk == kVkMenu || vk == kVkLMenu) && fAlt);
  if (down) result = static_cast<std::int16_t>(result | 0x8000);
  return result;
}

void X11Keyboard::GetKeyboardState(KeyboardStateTable& state) {
  state.fill(0);
  for (int vk : {kVkCapital, kVkNumLock, kVkScroll, kVkShift, kVkLShift, kVkControl, kVkLControl,
                 kVkMenu, kVkLMenu}) {
    std::int16_t s = GetKeyState(vk);
    state[vk] = static_cast<std::uint8_t>((s & 1) | ((s & 0x8000) ? 0x80 : 0));
  }
}

void X11Keyboard::SetKeyboardState(const KeyboardStateTable& state) {
  if (fNumLockMask == 0) return;
  bool want = (state[kVkNumLock] & 1) != 0;
  bool on = (GetKeyState(kVkNumLock) & 1) != 0;
  if (want != on) {
    XkbLockModifiers(fDpy, XkbUseCoreKbd, fNumLockMask, want ? fNumLockMask : 0);
    XSync(fDpy, False);
  }
}

// Like a careful typist's tool: every modifier key the user holds is let go
// for the run and pressed again afterwards; latched and locked modifiers are
// cleared and set again. CapsLock and NumLock stay: keys are chosen for them.
void X11Keyboard::BeginTyping() {
  GiveBackUserMods();  // a run left open must not lose what it set aside
  fSilentFocus = None;
  ProcessEvents();
  if (fStale) LoadMap();
  if (fXkb == nullptr || fXkb->map == nullptr) return;
  const unsigned aside =
      (ShiftMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask) &
      ~fNumLockMask;
  auto isDown = [](const char* keys, int kc) { return (keys[kc / 8] >> (kc % 8)) & 1; };
  char keys[32] = {};
  XQueryKeymap(fDpy, keys);
  for (int kc = fXkb->min_key_code; kc <= fXkb->max_key_code; ++kc) {
    if (!isDown(keys, kc) || (fXkb->map->modmap[kc] & aside) == 0) continue;
    XTestFakeKeyEvent(fDpy, static_cast<KeyCode>(kc), False, CurrentTime);
    fHeldAside.push_back(static_cast<KeyCode>(kc));
  }
  XkbStateRec st = State();
  fLatchedAside = st.latched_mods & aside;
  fLockedAside = st.locked_mods & aside;
  if (fLatchedAside != 0) XkbLatchModifiers(fDpy, XkbUseCoreKbd, fLatchedAside, 0);
  if (fLockedAside != 0) XkbLockModifiers(fDpy, XkbUseCoreKbd, fLockedAside, 0);
  XSync(fDpy, False);
  if (!fHeldAside.empty()) {
    // A key held on another input device may not take a release sent from
    // here; pressing it again afterwards would then leave it down for good.
    XQueryKeymap(fDpy, keys);
    std::erase_if(fHeldAside, [&](KeyCode kc) { return isDown(keys, kc); });
  }
  st = State();
  fLockedMods = st.locked_mods | st.latched_mods;
}

void X11Keyboard::GiveBackUserMods() {
  if (fHeldAside.empty() && fLatchedAside == 0 && fLockedAside == 0) return;
  for (KeyCode kc : fHeldAside) XTestFakeKeyEvent(fDpy, kc, True, CurrentTime);
  // Pressing a modifier key does not break a latch, so the latch comes last.
  if (fLockedAside != 0) XkbLockModifiers(fDpy, XkbUseCoreKbd, fLockedAside, fLockedAside);
  if (fLatchedAside != 0) XkbLatchModifiers(fDpy, XkbUseCoreKbd, fLatchedAside, fLatchedAside);
  XSync(fDpy, False);
  fHeldAside.clear();
  fLatchedAside = fLockedAside = 0;
}

void X11Keyboard::EndTyping() {
  SetRealMods(0);
  GiveBackUserMods();
  if (fBound.empty()) return;
  if (!FocusClientCaughtUp()) Clock().Sleep(kSpareUnbindGraceMs);
  std::set<KeyCode> keys;
  for (const Binding& b : fBound) keys.insert(b.keycode);
  for (KeyCode kc : keys) {
    KeySym none[2] = {NoSymbol, NoSymbol};
    XChangeKeyboardMapping(fDpy, kc, 2, none, 1);
  }
  XSync(fDpy, False);
  for (KeyCode kc : keys) ReloadKey(kc);
  fBound.clear();
  fFindCache.clear();
}

}  // namespace

std::unique_ptr<IKeyboard> OpenX11Keyboard(const char* displayName) {
  const char* name = displayName != nullptr ? displayName : std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0')
    return std::make_unique<UnavailableKeyboard>("there is no X display (DISPLAY is not set)");
  Display* dpy = XOpenDisplay(name);
  if (dpy == nullptr)
    return std::make_unique<UnavailableKeyboard>(std::string("the X display \"") + name +
                                                 "\" cannot be opened");
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(dpy, &event, &error, &major, &minor)) {
    XCloseDisplay(dpy);
    return std::make_unique<UnavailableKeyboard>("the X display has no XTest extension");
  }
  int opcode = 0;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  if (!XkbQueryExtension(dpy, &opcode, &event, &error, &major, &minor)) {
    XCloseDisplay(dpy);
    return std::make_unique<UnavailableKeyboard>("the X display has no XKB extension");
  }
  return std::make_unique<X11Keyboard>(dpy);
}

}  // namespace lumbra::platform
