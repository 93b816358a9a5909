#include "platform/linux/WaylandKeyboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "fake-input-client-protocol.h"
#include "keystate-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace lumbra::platform {
namespace {

constexpr std::uint8_t kVkShift = 16, kVkLShift = 160, kVkRShift = 161;
constexpr std::uint8_t kVkControl = 17, kVkLControl = 162, kVkRControl = 163;
constexpr std::uint8_t kVkMenu = 18, kVkLMenu = 164, kVkRMenu = 165;

// Real modifier masks: xkbcommon numbers the real modifiers in X order.
constexpr std::uint32_t kShiftMask = 1u << 0, kControlMask = 1u << 2, kMod1Mask = 1u << 3;

// Keycodes are evdev codes + 8; X clients (through XWayland) take no more
// than 255, and evdev code 0 is no key.
constexpr int kMinKeycode = 9, kMaxKeycode = 255;

// A compositor that takes no key for this long is taken for gone.
constexpr int kFlushLimitMs = 5000;

struct NamedKey {
  std::uint8_t vk;
  int evdev;  // where a physical keyboard has it, so keycode-minded clients agree
  xkb_keysym_t sym;
  xkb_keysym_t shifted;  // 0: one level
};

// Also the modifiers: X clients learn from their keys which modifier is which.
constexpr NamedKey kNamedKeys[] = {
    {3, 119, XKB_KEY_Break, 0},         {8, 14, XKB_KEY_BackSpace, 0},
    {9, 15, XKB_KEY_Tab, XKB_KEY_ISO_Left_Tab},
    {12, 0, XKB_KEY_Clear, 0},          {13, 28, XKB_KEY_Return, 0},
    {20, 58, XKB_KEY_Caps_Lock, 0},     {27, 1, XKB_KEY_Escape, 0},
    {33, 104, XKB_KEY_Prior, 0},        {34, 109, XKB_KEY_Next, 0},
    {35, 107, XKB_KEY_End, 0},          {36, 102, XKB_KEY_Home, 0},
    {37, 105, XKB_KEY_Left, 0},         {38, 103, XKB_KEY_Up, 0},
    {39, 106, XKB_KEY_Right, 0},        {40, 108, XKB_KEY_Down, 0},
    {42, 99, XKB_KEY_Print, 0},         {45, 110, XKB_KEY_Insert, 0},
    {46, 111, XKB_KEY_Delete, 0},       {47, 138, XKB_KEY_Help, 0},
    {112, 59, XKB_KEY_F1, 0},           {113, 60, XKB_KEY_F2, 0},
    {114, 61, XKB_KEY_F3, 0},           {115, 62, XKB_KEY_F4, 0},
    {116, 63, XKB_KEY_F5, 0},           {117, 64, XKB_KEY_F6, 0},
    {118, 65, XKB_KEY_F7, 0},           {119, 66, XKB_KEY_F8, 0},
    {120, 67, XKB_KEY_F9, 0},           {121, 68, XKB_KEY_F10, 0},
    {122, 87, XKB_KEY_F11, 0},          {123, 88, XKB_KEY_F12, 0},
    {124, 183, XKB_KEY_F13, 0},         {125, 184, XKB_KEY_F14, 0},
    {126, 185, XKB_KEY_F15, 0},         {127, 186, XKB_KEY_F16, 0},
    {144, 69, XKB_KEY_Num_Lock, 0},     {145, 70, XKB_KEY_Scroll_Lock, 0},
    {kVkLShift, 42, XKB_KEY_Shift_L, 0}, {kVkLControl, 29, XKB_KEY_Control_L, 0},
    {kVkLMenu, 56, XKB_KEY_Alt_L, 0},
};

bool IsModifierVk(std::uint8_t vk) {
  return ModifierOfVk(vk) != ModifierVk::NoModifier;
}

const NamedKey* FindNamed(std::uint8_t vk) {
  for (const NamedKey& k : kNamedKeys)
    if (k.vk == vk && !IsModifierVk(vk)) return &k;
  return nullptr;
}

// The user's keys that stay where they are in the keymap uploaded here: the
// ones a user types with around a badge. Media and vendor keys give their
// keycodes to the characters the layout lacks.
bool WorthKeeping(xkb_keysym_t sym) {
  if (xkb_keysym_to_utf32(sym) >= 0x20) return true;
  if (sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal) return true;  // keypad
  if (sym >= XKB_KEY_Shift_L && sym <= XKB_KEY_Hyper_R) return true;    // modifiers
  if (sym >= XKB_KEY_ISO_Lock && sym <= XKB_KEY_ISO_Last_Group_Lock) return true;
  for (const NamedKey& k : kNamedKeys)
    if (k.sym == sym) return true;
  return false;
}

std::uint32_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

// Sends everything queued, waiting while the compositor reads slower than
// keys come; events coming meanwhile are read, so that the compositor never
// waits on us in turn. False when the connection failed or stalled.
bool FlushDisplay(wl_display* dpy) {
  int waited = 0;
  while (wl_display_flush(dpy) < 0) {
    if (errno != EAGAIN || waited >= kFlushLimitMs) return false;
    pollfd p{wl_display_get_fd(dpy), POLLOUT | POLLIN, 0};
    if (::poll(&p, 1, 10) < 0 && errno != EINTR) continue;
    if (p.revents == 0) waited += 10;
    if (p.revents & POLLIN) {
      if (wl_display_prepare_read(dpy) == 0 && wl_display_read_events(dpy) < 0) return false;
      wl_display_dispatch_pending(dpy);
    }
  }
  return true;
}

struct Globals {
  wl_seat* seat = nullptr;
  zwp_virtual_keyboard_manager_v1* manager = nullptr;
  std::uint32_t fakeInputName = 0, fakeInputVersion = 0;
  std::uint32_t keystateName = 0;
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && g->seat == nullptr)
    g->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0 &&
           g->manager == nullptr)
    g->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  else if (std::strcmp(interface, org_kde_kwin_keystate_interface.name) == 0)
    g->keystateName = name;
  else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
    g->fakeInputName = name;
    g->fakeInputVersion = version;
  }
}

void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

wl_display* Connect(const char* displayName) {
  const char* name = displayName != nullptr ? displayName : std::getenv("WAYLAND_DISPLAY");
  // Without a name libwayland would try "wayland-0" even in an X session.
  if ((name == nullptr || *name == '\0') && std::getenv("WAYLAND_SOCKET") == nullptr)
    return nullptr;
  return wl_display_connect(displayName);
}

// Marks the keymap as this keyboard's own among the seat's keymap events.
constexpr const char* kKeycodesName = "lumbra-virtual-keyboard";

struct SeatKeyboardEvents;
extern const wl_keyboard_listener kSeatKeyboardListener;

class WaylandKeyboard final : public IKeyboard {
 public:
  WaylandKeyboard(wl_display* dpy, wl_registry* registry, const Globals& g);
  ~WaylandKeyboard() override;

  bool Available() const override { return fLost.empty(); }
  std::string TakeUnavailableReason() override { return std::exchange(fLostToTell, {}); }
  std::uint16_t VkKeyScan(char16_t ch) override;
  std::uint32_t MapVirtualKey(std::uint8_t vk) override;
  void KeybdEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override;
  std::int16_t GetKeyState(int vk) override;
  void GetKeyboardState(KeyboardStateTable& state) override;
  // No toggle of the user's keyboard can be changed from here, and the keys
  // typed here are not affected by it.
  void SetKeyboardState(const KeyboardStateTable&) override {}
  // Keys for the program's own windows come on the toolkit's connection.
  void DrainKeyboardMessages() override {}
  void BeginTyping() override;
  void EndTyping() override;

 private:
  struct Key {
    xkb_keysym_t syms[2] = {XKB_KEY_NoSymbol, XKB_KEY_NoSymbol};
  };
  struct Place {
    int keycode;
    int level;
  };

  void BuildKeys(xkb_keymap* user);
  void OnSeatKeymap(std::uint32_t format, int fd, std::uint32_t size);
  void TakeUserKeymap();
  std::optional<Place> PlaceOf(char32_t cp);
  int TakeFreeKeycode();
  bool UploadKeymap();
  std::string KeymapText() const;
  int KeycodeOfVk(std::uint8_t vk) const;
  void SendKey(int keycode, bool down);
  bool CheckConnection();
  void Flush();

  wl_display* fDpy;
  wl_registry* fRegistry;
  wl_seat* fSeat;
  zwp_virtual_keyboard_manager_v1* fManager;
  zwp_virtual_keyboard_v1* fKeyboard = nullptr;
  wl_keyboard* fSeatKeyboard = nullptr;
  xkb_context* fContext = nullptr;
  std::string fUserKeymapText;
  bool fUserKeymapChanged = false;

  std::array<Key, kMaxKeycode + 1> fKeys{};
  std::map<char32_t, Place> fPlaces;
  std::array<int, 256> fNamedKeycode{};  // by virtual key
  bool fUploadPending = false;

  friend struct SeatKeyboardEvents;

  // Character keys' virtual keys, handed out round-robin.
  std::array<int, 256> fTokenKeycode{};  // 0: no character key
  std::vector<std::uint8_t> fFreeVks;
  size_t fNextVk = 0;

  bool fShift = false, fCtrl = false, fAlt = false;
  std::uint32_t fSentMods = 0;
  std::vector<int> fDown;  // keycodes this side holds down
  std::string fLost, fLostToTell;
};

// Only the keymap matters here: no surface of ours has the keyboard focus.
struct SeatKeyboardEvents {
  static void Keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    static_cast<WaylandKeyboard*>(data)->OnSeatKeymap(format, fd, size);
  }
  static void Enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void Leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void Key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
  static void Modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                        std::uint32_t, std::uint32_t) {}
};
const wl_keyboard_listener kSeatKeyboardListener = {
    SeatKeyboardEvents::Keymap, SeatKeyboardEvents::Enter, SeatKeyboardEvents::Leave,
    SeatKeyboardEvents::Key, SeatKeyboardEvents::Modifiers, nullptr};

WaylandKeyboard::WaylandKeyboard(wl_display* dpy, wl_registry* registry, const Globals& g)
    : fDpy(dpy), fRegistry(registry), fSeat(g.seat), fManager(g.manager) {
  fContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  for (int vk = 1; vk < 255; ++vk)
    if (FindNamed(static_cast<std::uint8_t>(vk)) == nullptr &&
        !IsModifierVk(static_cast<std::uint8_t>(vk)))
      fFreeVks.push_back(static_cast<std::uint8_t>(vk));
  BuildKeys(nullptr);
  fKeyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(fManager, fSeat);
  // The seat's keymap events tell the user's keymap whenever the user's
  // keyboard takes over again.
  fSeatKeyboard = wl_seat_get_keyboard(fSeat);
  wl_keyboard_add_listener(fSeatKeyboard, &kSeatKeyboardListener, this);
  if (!UploadKeymap() || wl_display_roundtrip(fDpy) < 0) CheckConnection();
}

// The user's keys keep their keycodes and symbols (first group, the base and
// Shift levels) in the keymap uploaded here: an X client that reads a key
// with the other keyboard's keymap, because the keyboards took turns faster
// than it read, still gets the same symbol for every key both have. The
// characters the user's layout has are typed on the user's keys; the others,
// and the named keys it lacks, get keycodes the user's keymap leaves free.
void WaylandKeyboard::BuildKeys(xkb_keymap* user) {
  fKeys.fill(Key{});
  fPlaces.clear();
  fNamedKeycode.fill(0);
  fTokenKeycode.fill(0);
  if (user != nullptr) {
    const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(user, XKB_MOD_NAME_SHIFT);
    for (int kc = kMinKeycode; kc <= kMaxKeycode; ++kc) {
      auto code = static_cast<xkb_keycode_t>(kc);
      if (xkb_keymap_num_layouts_for_key(user, code) == 0) continue;
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(user, code, 0, 0, &syms) != 1 || !WorthKeeping(syms[0]))
        continue;
      fKeys[kc].syms[0] = syms[0];
      xkb_mod_mask_t masks[8];
      size_t n = xkb_keymap_key_get_mods_for_level(user, code, 0, 1, masks, 8);
      bool byShift = false;
      for (size_t i = 0; i < n; ++i) byShift = byShift || masks[i] == shift;
      if (byShift && xkb_keymap_key_get_syms_by_level(user, code, 0, 1, &syms) == 1 &&
          syms[0] != fKeys[kc].syms[0])
        fKeys[kc].syms[1] = syms[0];
    }
    auto findSym = [&](xkb_keysym_t sym) -> std::optional<Place> {
      for (int level = 0; level < 2; ++level)
        for (int kc = kMinKeycode; kc <= kMaxKeycode; ++kc)
          if (fKeys[kc].syms[level] == sym) return Place{kc, level};
      return std::nullopt;
    };
    for (const NamedKey& k : kNamedKeys)
      if (std::optional<Place> p = findSym(k.sym); p && p->level == 0) fNamedKeycode[k.vk] = p->keycode;
    for (int c = 0x20; c <= 0xFF; ++c) {
      char32_t cp = AnsiCharToUnicode(static_cast<char>(c));
      if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) continue;
      if (std::optional<Place> p = findSym(xkb_utf32_to_keysym(cp))) fPlaces[cp] = *p;
    }
  }
  // Named keys the user's keymap lacks: at their usual place where it is
  // free, else anywhere free.
  for (int pass = 0; pass < 2; ++pass)
    for (const NamedKey& k : kNamedKeys) {
      if (fNamedKeycode[k.vk] != 0) continue;
      int keycode = k.evdev > 0 ? k.evdev + 8 : 0;
      if (pass == 0 && (keycode == 0 || fKeys[keycode].syms[0] != XKB_KEY_NoSymbol)) continue;
      if (pass == 1) keycode = TakeFreeKeycode();
      if (keycode == 0) continue;
      fKeys[keycode].syms[0] = k.sym;
      fKeys[keycode].syms[1] = k.shifted;
      fNamedKeycode[k.vk] = keycode;
    }
  // Every other character of the code page up front: the keymap then does
  // not change while keys are on their way. Case pairs share a key.
  for (int c = 0x20; c <= 0xFF; ++c) {
    char32_t cp = AnsiCharToUnicode(static_cast<char>(c));
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || fPlaces.count(cp)) continue;
    xkb_keysym_t sym = xkb_utf32_to_keysym(cp);
    xkb_keysym_t upper = xkb_keysym_to_upper(sym);
    char32_t upperCp = xkb_keysym_to_utf32(upper);
    if (upper != sym && xkb_keysym_to_lower(upper) == sym && !fPlaces.count(upperCp)) {
      int keycode = TakeFreeKeycode();
      if (keycode == 0) continue;
      fKeys[keycode].syms[0] = sym;
      fKeys[keycode].syms[1] = upper;
      fPlaces[cp] = Place{keycode, 0};
      fPlaces[upperCp] = Place{keycode, 1};
    }
  }
  for (int c = 0x20; c <= 0xFF; ++c) {
    char32_t cp = AnsiCharToUnicode(static_cast<char>(c));
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || fPlaces.count(cp)) continue;
    int keycode = TakeFreeKeycode();
    if (keycode == 0) continue;
    fKeys[keycode].syms[0] = xkb_utf32_to_keysym(cp);
    fPlaces[cp] = Place{keycode, 0};
  }
}

void WaylandKeyboard::OnSeatKeymap(std::uint32_t format, int fd, std::uint32_t size) {
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      std::string text(static_cast<const char*>(map), strnlen(static_cast<const char*>(map), size));
      munmap(map, size);
      // Our own keymap comes back whenever this keyboard takes over.
      if (text.find(kKeycodesName) == std::string::npos && text != fUserKeymapText) {
        fUserKeymapText = std::move(text);
        fUserKeymapChanged = true;
      }
    }
  }
  ::close(fd);
}

WaylandKeyboard::~WaylandKeyboard() {
  if (fLost.empty()) {
    EndTyping();
    zwp_virtual_keyboard_v1_destroy(fKeyboard);
    wl_keyboard_destroy(fSeatKeyboard);
    zwp_virtual_keyboard_manager_v1_destroy(fManager);
    wl_seat_destroy(fSeat);
    wl_registry_destroy(fRegistry);
    wl_display_roundtrip(fDpy);
  }
  wl_display_disconnect(fDpy);
  xkb_context_unref(fContext);
}

int WaylandKeyboard::TakeFreeKeycode() {
  for (int kc = kMinKeycode; kc <= kMaxKeycode; ++kc)
    if (fKeys[kc].syms[0] == XKB_KEY_NoSymbol) return kc;
  return 0;
}

std::string WaylandKeyboard::KeymapText() const {
  std::string keycodes, symbols;
  auto name = [](xkb_keysym_t sym) {
    char buf[64];
    xkb_keysym_get_name(sym, buf, sizeof buf);
    return std::string(buf);
  };
  for (int kc = kMinKeycode; kc <= kMaxKeycode; ++kc) {
    const Key& k = fKeys[kc];
    if (k.syms[0] == XKB_KEY_NoSymbol) continue;
    std::string key = "<I" + std::to_string(kc) + ">";
    keycodes += "    " + key + " = " + std::to_string(kc) + ";\n";
    symbols += "    key " + key + " { ";
    if (k.syms[1] != XKB_KEY_NoSymbol)
      symbols += "type = \"TWO_LEVEL\", [ " + name(k.syms[0]) + ", " + name(k.syms[1]) + " ]";
    else
      symbols += "type = \"ONE_LEVEL\", [ " + name(k.syms[0]) + " ]";
    symbols += " };\n";
  }
  // Which key is which modifier, for X clients that look it up.
  symbols += "    modifier_map Shift { <I" + std::to_string(fNamedKeycode[kVkLShift]) + "> };\n";
  symbols +=
      "    modifier_map Control { <I" + std::to_string(fNamedKeycode[kVkLControl]) + "> };\n";
  symbols += "    modifier_map Mod1 { <I" + std::to_string(fNamedKeycode[kVkLMenu]) + "> };\n";
  return "xkb_keymap {\n"
         "  xkb_keycodes \"" + std::string(kKeycodesName) + "\" {\n    minimum = 8;\n    maximum = 255;\n" +
         keycodes +
         "  };\n"
         "  xkb_types \"lumbra\" { include \"complete\" };\n"
         "  xkb_compatibility \"lumbra\" { include \"complete\" };\n"
         "  xkb_symbols \"lumbra\" {\n" +
         symbols + "  };\n};\n";
}

bool WaylandKeyboard::UploadKeymap() {
  std::string text = KeymapText();
  int fd = memfd_create("lumbra-keymap", MFD_CLOEXEC);
  if (fd < 0) return false;
  // The compositor maps it: the size includes the terminating zero.
  bool ok = ::write(fd, text.c_str(), text.size() + 1) == static_cast<ssize_t>(text.size() + 1);
  if (ok)
    zwp_virtual_keyboard_v1_keymap(fKeyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(text.size() + 1));
  ::close(fd);
  fUploadPending = false;
  return ok;
}

bool WaylandKeyboard::CheckConnection() {
  if (!fLost.empty()) return false;
  if (wl_display_get_error(fDpy) == 0) return true;
  fLost = "the connection to the Wayland compositor was lost";
  fLostToTell = fLost;
  return false;
}

std::optional<WaylandKeyboard::Place> WaylandKeyboard::PlaceOf(char32_t cp) {
  auto it = fPlaces.find(cp);
  if (it != fPlaces.end()) return it->second;
  xkb_keysym_t sym = xkb_utf32_to_keysym(cp);
  int keycode = sym == XKB_KEY_NoSymbol ? 0 : TakeFreeKeycode();
  if (keycode == 0) return std::nullopt;
  fKeys[keycode].syms[0] = sym;
  fPlaces[cp] = Place{keycode, 0};
  fUploadPending = true;
  return fPlaces[cp];
}

std::uint16_t WaylandKeyboard::VkKeyScan(char16_t ch) {
  if (std::uint8_t vk = ControlCharVk(ch)) return vk;
  if (ch < 0x20 || (ch >= 0x7F && ch < 0xA0) || (ch >= 0xD800 && ch <= 0xDFFF)) return kNoKey;
  std::optional<Place> place = PlaceOf(ch);
  if (!place) return kNoKey;
  std::uint8_t vk = fFreeVks[fNextVk];
  fNextVk = (fNextVk + 1) % fFreeVks.size();
  fTokenKeycode[vk] = place->keycode;
  return static_cast<std::uint16_t>((place->level == 1 ? 0x100 : 0) | vk);
}

int WaylandKeyboard::KeycodeOfVk(std::uint8_t vk) const {
  if (fTokenKeycode[vk] != 0) return fTokenKeycode[vk];
  if (FindNamed(vk) != nullptr) return fNamedKeycode[vk];
  return 0;
}

std::uint32_t WaylandKeyboard::MapVirtualKey(std::uint8_t vk) {
  if (vk == kVkShift || vk == kVkRShift) vk = kVkLShift;
  if (vk == kVkControl || vk == kVkRControl) vk = kVkLControl;
  if (vk == kVkMenu || vk == kVkRMenu) vk = kVkLMenu;
  int keycode = IsModifierVk(vk) ? fNamedKeycode[vk] : KeycodeOfVk(vk);
  return keycode >= 8 ? static_cast<std::uint32_t>(keycode - 8) : 0u;
}

void WaylandKeyboard::SendKey(int keycode, bool down) {
  if (!fLost.empty()) return;
  if (down) {
    // A character new to the keymap: the keymap goes up before its key.
    if (fUploadPending) UploadKeymap();
    std::uint32_t mods =
        (fShift ? kShiftMask : 0u) | (fCtrl ? kControlMask : 0u) | (fAlt ? kMod1Mask : 0u);
    if (mods != fSentMods) {
      zwp_virtual_keyboard_v1_modifiers(fKeyboard, mods, 0, 0, 0);
      fSentMods = mods;
    }
    fDown.push_back(keycode);
  } else {
    std::erase(fDown, keycode);
  }
  zwp_virtual_keyboard_v1_key(fKeyboard, NowMs(), static_cast<std::uint32_t>(keycode - 8),
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  Flush();
}

// libwayland fails a request for good when its buffer is still full, so a
// run faster than the compositor reads waits until the compositor has taken
// everything queued.
void WaylandKeyboard::Flush() {
  if (!FlushDisplay(fDpy)) {
    CheckConnection();
    if (fLost.empty()) fLost = fLostToTell = "the Wayland compositor stopped taking keys";
  }
}

void WaylandKeyboard::KeybdEvent(std::uint8_t vk, std::uint8_t, std::uint32_t flags) {
  bool down = (flags & KEYEVENTF_KEYUP) == 0;
  if (TakeModifierEvent(vk, down, fShift, fCtrl, fAlt)) return;
  int keycode = KeycodeOfVk(vk);
  if (keycode != 0) SendKey(keycode, down);
}

std::int16_t WaylandKeyboard::GetKeyState(int vk) {
  bool down = ((vk == kVkShift || vk == kVkLShift) && fShift) ||
              ((vk == kVkControl || vk == kVkLControl) && fCtrl) ||
              ((vk == kVkMenu || vk == kVkLMenu) && fAlt);
  return down ? static_cast<std::int16_t>(0x8000) : std::int16_t{0};
}

void WaylandKeyboard::GetKeyboardState(KeyboardStateTable& state) {
  state.fill(0);
  for (int vk : {kVkShift, kVkLShift, kVkControl, kVkLControl, kVkMenu, kVkLMenu})
    if (GetKeyState(vk) & 0x8000) state[vk] = 0x80;
}

void WaylandKeyboard::BeginTyping() {
  // Whatever came before (the keyboard created at start, a run long ago),
  // the compositor has it all before the first key of this run.
  if (CheckConnection() && wl_display_roundtrip(fDpy) < 0) CheckConnection();
  TakeUserKeymap();
}

// Between runs only, so that the keys of one run all have one keymap.
void WaylandKeyboard::TakeUserKeymap() {
  if (!fUserKeymapChanged || !fLost.empty()) return;
  fUserKeymapChanged = false;
  xkb_keymap* user = xkb_keymap_new_from_string(fContext, fUserKeymapText.c_str(),
                                                XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (user == nullptr) return;
  BuildKeys(user);
  xkb_keymap_unref(user);
  if (!UploadKeymap() || wl_display_roundtrip(fDpy) < 0) CheckConnection();
}

void WaylandKeyboard::EndTyping() {
  if (!fLost.empty()) return;
  while (!fDown.empty()) SendKey(fDown.back(), false);
  fShift = fCtrl = fAlt = false;
  if (fSentMods != 0) {
    zwp_virtual_keyboard_v1_modifiers(fKeyboard, 0, 0, 0, 0);
    fSentMods = 0;
  }
  if (wl_display_roundtrip(fDpy) < 0) CheckConnection();
}

// KWin's fake input: key events go into the compositor's own keyboard with
// the user's keymap, so each character is looked up there, as evdev code and
// the modifiers of its level. A character the keymap lacks cannot be typed
// and is reported instead.
class KdeFakeInputKeyboard final : public IKeyboard {
 public:
  KdeFakeInputKeyboard(wl_display* dpy, wl_registry* registry, wl_seat* seat,
                       org_kde_kwin_fake_input* fake, org_kde_kwin_keystate* keystate)
      : fDpy(dpy), fRegistry(registry), fSeat(seat), fFake(fake), fKeystate(keystate) {
    fContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    for (int vk = 1; vk < 255; ++vk)
      if (FindNamed(static_cast<std::uint8_t>(vk)) == nullptr &&
          !IsModifierVk(static_cast<std::uint8_t>(vk)))
        fFreeVks.push_back(static_cast<std::uint8_t>(vk));
    org_kde_kwin_fake_input_authenticate(fFake, "Lumbra",
                                         "types the badges read by the badge reader");
    // The keymap of the seat's keyboard is the user's: KWin offers no
    // keyboard of a client's own.
    fSeatKeyboard = wl_seat_get_keyboard(fSeat);
    wl_keyboard_add_listener(fSeatKeyboard, &kListener, this);
    // The keys go into the compositor's keyboard state, CapsLock included.
    if (fKeystate != nullptr) org_kde_kwin_keystate_add_listener(fKeystate, &kKeystateListener, this);
    wl_display_roundtrip(fDpy);
  }
  ~KdeFakeInputKeyboard() override {
    EndTyping();
    wl_keyboard_destroy(fSeatKeyboard);
    if (fKeystate != nullptr) org_kde_kwin_keystate_destroy(fKeystate);
    org_kde_kwin_fake_input_destroy(fFake);
    wl_seat_destroy(fSeat);
    wl_registry_destroy(fRegistry);
    wl_display_roundtrip(fDpy);
    wl_display_disconnect(fDpy);
    if (fKeymap != nullptr) xkb_keymap_unref(fKeymap);
    xkb_context_unref(fContext);
  }

  bool Available() const override { return fLost.empty(); }
  std::string TakeUnavailableReason() override { return std::exchange(fLostToTell, {}); }
  std::string TakeMissingCharacters() override { return std::exchange(fMissing, {}); }

  std::uint16_t VkKeyScan(char16_t ch) override {
    if (std::uint8_t vk = ControlCharVk(ch)) return vk;
    if (ch < 0x20 || (ch >= 0x7F && ch < 0xA0) || (ch >= 0xD800 && ch <= 0xDFFF)) return kNoKey;
    std::optional<Found> f = Find(xkb_utf32_to_keysym(ch));
    if (!f) {
      AppendUtf8(fMissing, ch);
      return kNoKey;
    }
    std::uint8_t vk = fFreeVks[fNextVk];
    fNextVk = (fNextVk + 1) % fFreeVks.size();
    fTokens[vk] = *f;
    return static_cast<std::uint16_t>(((f->shift ? 1 : 0) | (f->altGr ? 6 : 0)) << 8 | vk);
  }
  std::uint32_t MapVirtualKey(std::uint8_t vk) override {
    std::optional<Found> f = Resolve(vk);
    return f ? static_cast<std::uint32_t>(f->keycode - 8) : 0u;
  }
  void KeybdEvent(std::uint8_t vk, std::uint8_t, std::uint32_t flags) override {
    bool down = (flags & KEYEVENTF_KEYUP) == 0;
    if (TakeModifierEvent(vk, down, fShift, fCtrl, fAlt)) return;
    if (vk == 20) {
      // The text toggles the lock the user gets back; the run itself goes
      // on typing with it off.
      if (down) fCapsUnlocked = !fCapsUnlocked;
      return;
    }
    std::optional<Found> f = Resolve(vk);
    if (!f) return;
    if (down) {
      // Ctrl+Alt on an AltGr character is the AltGr of the shift state.
      SetMods(fShift || f->shift, fCtrl && !f->altGr, fAlt && !f->altGr, f->altGr);
      Send(f->keycode, true);
    } else {
      Send(f->keycode, false);
      SetMods(false, false, false, false);
    }
    if (!FlushDisplay(fDpy)) Lose();
  }
  std::int16_t GetKeyState(int vk) override {
    if (vk == 20) {
      if (fKeystate != nullptr) org_kde_kwin_keystate_fetchStates(fKeystate);
      if (wl_display_roundtrip(fDpy) < 0) Lose();
      return fCapsLocked != fCapsUnlocked ? 1 : 0;
    }
    bool down = (ModifierOfVk(static_cast<std::uint8_t>(vk)) == ModifierVk::Shift && fShift) ||
                (ModifierOfVk(static_cast<std::uint8_t>(vk)) == ModifierVk::Control && fCtrl) ||
                (ModifierOfVk(static_cast<std::uint8_t>(vk)) == ModifierVk::Alt && fAlt);
    return down ? static_cast<std::int16_t>(0x8000) : std::int16_t{0};
  }
  void GetKeyboardState(KeyboardStateTable& state) override {
    state.fill(0);
    for (int vk : {16, 160, 17, 162, 18, 164})
      if (GetKeyState(vk) & 0x8000) state[vk] = 0x80;
  }
  void SetKeyboardState(const KeyboardStateTable&) override {}
  void DrainKeyboardMessages() override {}
  // CapsLock is the compositor's, shared with the user's keyboard: a run
  // types with it off (no case rule of the layout can then apply) and puts
  // it back on at the end.
  void BeginTyping() override {
    fMissing.clear();
    if (fKeystate != nullptr) org_kde_kwin_keystate_fetchStates(fKeystate);
    if (wl_display_roundtrip(fDpy) < 0) Lose();
    if (fCapsLocked && !fCapsUnlocked) {
      TapCapsLock();
      fCapsUnlocked = true;
    }
  }
  void EndTyping() override {
    SetMods(false, false, false, false);
    fShift = fCtrl = fAlt = false;
    if (fCapsUnlocked) {
      TapCapsLock();
      fCapsUnlocked = false;
    }
    if (fLost.empty() && wl_display_roundtrip(fDpy) < 0) Lose();
  }

 private:
  struct Found {
    int keycode = 0;
    bool shift = false, altGr = false;
  };

  static void OnKeymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    auto* self = static_cast<KdeFakeInputKeyboard*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
      void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (map != MAP_FAILED) {
        xkb_keymap* km = xkb_keymap_new_from_buffer(
            self->fContext, static_cast<const char*>(map),
            strnlen(static_cast<const char*>(map), size), XKB_KEYMAP_FORMAT_TEXT_V1,
            XKB_KEYMAP_COMPILE_NO_FLAGS);
        munmap(map, size);
        if (km != nullptr) {
          if (self->fKeymap != nullptr) xkb_keymap_unref(self->fKeymap);
          self->fKeymap = km;
        }
      }
    }
    ::close(fd);
  }
  static void OnKeyState(void* data, org_kde_kwin_keystate*, std::uint32_t key, std::uint32_t state) {
    if (key == ORG_KDE_KWIN_KEYSTATE_KEY_CAPSLOCK)
      static_cast<KdeFakeInputKeyboard*>(data)->fCapsLocked =
          state != ORG_KDE_KWIN_KEYSTATE_STATE_UNLOCKED;
  }
  static constexpr org_kde_kwin_keystate_listener kKeystateListener = {OnKeyState};

  static void OnEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void OnLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void OnKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
  static void OnModifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t, std::uint32_t) {}
  static constexpr wl_keyboard_listener kListener = {OnKeymap, OnEnter, OnLeave,
                                                     OnKey,    OnModifiers, nullptr};

  // The key and level of a symbol in the first layout: the plain level, then
  // Shift, AltGr, Shift+AltGr; the main block before the keypad.
  std::optional<Found> Find(xkb_keysym_t sym) const {
    if (fKeymap == nullptr || sym == XKB_KEY_NoSymbol) return std::nullopt;
    const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(fKeymap, XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t l3 = Level3Mask();
    const xkb_mod_mask_t choices[] = {0, shift, l3, shift | l3};
    for (xkb_mod_mask_t want : choices) {
      if (want & l3 && (l3 == 0 || Level3Key() == 0)) break;
      for (xkb_keycode_t kc = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(fKeymap), 9);
           kc <= xkb_keymap_max_keycode(fKeymap); ++kc) {
        xkb_level_index_t levels = xkb_keymap_num_levels_for_key(fKeymap, kc, 0);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
          const xkb_keysym_t* syms = nullptr;
          if (xkb_keymap_key_get_syms_by_level(fKeymap, kc, 0, level, &syms) != 1 || syms[0] != sym)
            continue;
          xkb_mod_mask_t masks[16];
          size_t n = xkb_keymap_key_get_mods_for_level(fKeymap, kc, 0, level, masks, 16);
          for (size_t i = 0; i < n; ++i)
            if (masks[i] == want || (level == 0 && want == 0))
              return Found{static_cast<int>(kc), (want & shift) != 0, (want & l3) != 0};
        }
      }
    }
    return std::nullopt;
  }
  xkb_mod_mask_t Level3Mask() const {
    // The real modifier of the level-three shift (AltGr) in the keymaps
    // the desktops make.
    xkb_mod_index_t mod5 = xkb_keymap_mod_get_index(fKeymap, "Mod5");
    return mod5 == XKB_MOD_INVALID ? 0 : 1u << mod5;
  }
  int Level3Key() const { return KeyOf(XKB_KEY_ISO_Level3_Shift); }
  int KeyOf(xkb_keysym_t sym) const {
    if (fKeymap == nullptr) return 0;
    for (xkb_keycode_t kc = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(fKeymap), 9);
         kc <= xkb_keymap_max_keycode(fKeymap); ++kc) {
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(fKeymap, kc, 0, 0, &syms) == 1 && syms[0] == sym)
        return static_cast<int>(kc);
    }
    return 0;
  }
  std::optional<Found> Resolve(std::uint8_t vk) const {
    if (fTokens[vk].keycode != 0) return fTokens[vk];
    if (const NamedKey* k = FindNamed(vk))
      if (int kc = KeyOf(k->sym)) return Found{kc, false, false};
    return std::nullopt;
  }
  void Send(int keycode, bool down) {
    if (!fLost.empty() || keycode < 8) return;
    org_kde_kwin_fake_input_keyboard_key(fFake, static_cast<std::uint32_t>(keycode - 8),
                                         down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                              : WL_KEYBOARD_KEY_STATE_RELEASED);
  }
  void SetMods(bool shift, bool ctrl, bool alt, bool altGr) {
    const struct {
      bool want;
      bool& down;
      xkb_keysym_t sym;
    } mods[] = {{shift, fShiftDown, XKB_KEY_Shift_L},
                {ctrl, fCtrlDown, XKB_KEY_Control_L},
                {alt, fAltDown, XKB_KEY_Alt_L},
                {altGr, fAltGrDown, XKB_KEY_ISO_Level3_Shift}};
    for (const auto& m : mods)
      if (m.want != m.down) {
        Send(KeyOf(m.sym), m.want);
        m.down = m.want;
      }
  }
  void TapCapsLock() {
    int kc = KeyOf(XKB_KEY_Caps_Lock);
    Send(kc, true);
    Send(kc, false);
    if (!FlushDisplay(fDpy)) Lose();
  }
  void Lose() {
    if (!fLost.empty()) return;
    fLost = fLostToTell = "the connection to the Wayland compositor was lost";
  }

  wl_display* fDpy;
  wl_registry* fRegistry;
  wl_seat* fSeat;
  org_kde_kwin_fake_input* fFake;
  org_kde_kwin_keystate* fKeystate;
  bool fCapsLocked = false;    // as the compositor last said
  bool fCapsUnlocked = false;  // CapsLock is to be tapped at the end of the run
  wl_keyboard* fSeatKeyboard = nullptr;
  xkb_context* fContext = nullptr;
  xkb_keymap* fKeymap = nullptr;
  std::array<Found, 256> fTokens{};
  std::vector<std::uint8_t> fFreeVks;
  size_t fNextVk = 0;
  bool fShift = false, fCtrl = false, fAlt = false;
  bool fShiftDown = false, fCtrlDown = false, fAltDown = false, fAltGrDown = false;
  std::string fMissing, fLost, fLostToTell;
};

}  // namespace

std::unique_ptr<IKeyboard> OpenWaylandKeyboard(const char* displayName) {
  wl_display* dpy = Connect(displayName);
  if (dpy == nullptr)
    return std::make_unique<UnavailableKeyboard>("there is no Wayland compositor to connect to");
  Globals g;
  wl_registry* registry = wl_display_get_registry(dpy);
  wl_registry_add_listener(registry, &kRegistryListener, &g);
  // The virtual keyboard where there is one: it types what the layout lacks.
  bool connected = wl_display_roundtrip(dpy) >= 0;
  if (connected && g.seat != nullptr && g.manager == nullptr && g.fakeInputVersion >= 4) {
    auto* fake = static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(registry, g.fakeInputName, &org_kde_kwin_fake_input_interface, 4));
    org_kde_kwin_keystate* keystate =
        g.keystateName == 0 ? nullptr
                            : static_cast<org_kde_kwin_keystate*>(wl_registry_bind(
                                  registry, g.keystateName, &org_kde_kwin_keystate_interface, 1));
    return std::make_unique<KdeFakeInputKeyboard>(dpy, registry, g.seat, fake, keystate);
  }
  if (!connected || g.seat == nullptr || g.manager == nullptr) {
    if (g.manager != nullptr) zwp_virtual_keyboard_manager_v1_destroy(g.manager);
    if (g.seat != nullptr) wl_seat_destroy(g.seat);
    wl_registry_destroy(registry);
    wl_display_disconnect(dpy);
    return std::make_unique<UnavailableKeyboard>(
        "the Wayland compositor offers no virtual keyboard");
  }
  auto keyboard = std::make_unique<WaylandKeyboard>(dpy, registry, g);
  if (!keyboard->Available()) {
    std::string reason = keyboard->TakeUnavailableReason();
    return std::make_unique<UnavailableKeyboard>(reason);
  }
  return keyboard;
}

}  // namespace lumbra::platform
