// A window with a one-line text field that reports every key it receives,
// one line per key on standard output:
//   R                       the window has the keyboard focus (once)
//   F                       the focus went elsewhere
//   C <code point> <ns>     a character
//   N <key name> <ns>       a key without a character (Return, Tab, F1...),
//                           prefixed "C-"/"A-" when Ctrl/Alt were down, or
//                           #<keycode> for a key with no symbol
// <ns> is CLOCK_MONOTONIC when the key was read. Keys are decoded as
// XKB-based toolkits decode them: the level the key type selects, then upper
// case when Lock is on and the type leaves it unconsumed. Like toolkit
// windows, it answers _NET_WM_PING once it has read the events before it.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long KeySymToCodePoint(KeySym sym) {
  if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) return static_cast<long>(sym);
  if ((sym & 0xFF000000) == 0x01000000) return static_cast<long>(sym & 0x00FFFFFF);
  // Older keysyms that layouts still use for characters of the Windows code
  // page: the euro sign, quotes, dashes and a few letters.
  static const struct {
    KeySym sym;
    long cp;
  } kLegacy[] = {
      {0x20AC, 0x20AC},  // EuroSign
      {0x0AFD, 0x201A},  // singlelowquotemark
      {0x08F6, 0x0192},  // function
      {0x0AFE, 0x201E},  // doublelowquotemark
      {0x0AAE, 0x2026},  // ellipsis
      {0x0AF1, 0x2020},  // dagger
      {0x0AF2, 0x2021},  // doubledagger
      {0x0AD5, 0x2030},  // permille
      {0x01A9, 0x0160},  // Scaron
      {0x13BC, 0x0152},  // OE
      {0x01AE, 0x017D},  // Zcaron
      {0x0AD0, 0x2018},  // leftsinglequotemark
      {0x0AD1, 0x2019},  // rightsinglequotemark
      {0x0AD2, 0x201C},  // leftdoublequotemark
      {0x0AD3, 0x201D},  // rightdoublequotemark
      {0x0AE6, 0x2022},  // enfilledcircbullet
      {0x0AAA, 0x2013},  // endash
      {0x0AA9, 0x2014},  // emdash
      {0x0AC9, 0x2122},  // trademark
      {0x01B9, 0x0161},  // scaron
      {0x13BD, 0x0153},  // oe
      {0x01BE, 0x017E},  // zcaron
      {0x13BE, 0x0178},  // Ydiaeresis
  };
  for (const auto& l : kLegacy)
    if (l.sym == sym) return l.cp;
  return -1;
}

bool IsModifierSym(KeySym sym) {
  return IsModifierKey(sym) || sym == XK_ISO_Level3_Shift || sym == XK_ISO_Level5_Shift ||
         sym == XK_Caps_Lock || sym == XK_Num_Lock || sym == XK_ISO_Group_Shift;
}

}  // namespace

int main(int argc, char** argv) {
  const char* title = argc > 1 ? argv[1] : "lumbra-xtarget";
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) {
    std::fprintf(stderr, "xtarget: cannot open the X display\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  int xkbEvent = 0, xkbError = 0, major = XkbMajorVersion, minor = XkbMinorVersion, opcode = 0;
  XkbQueryExtension(dpy, &opcode, &xkbEvent, &xkbError, &major, &minor);
  XkbSelectEvents(dpy, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                  XkbMapNotifyMask | XkbNewKeyboardNotifyMask);

  int screen = DefaultScreen(dpy);
  Window win = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 50, 50, 600, 60, 1,
                                   BlackPixel(dpy, screen), WhitePixel(dpy, screen));
  XStoreName(dpy, win, title);
  XWMHints hints{};
  hints.flags = InputHint;
  hints.input = True;
  XSetWMHints(dpy, win, &hints);
  Atom wmProtocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
  Atom netWmPing = XInternAtom(dpy, "_NET_WM_PING", False);
  XSetWMProtocols(dpy, win, &netWmPing, 1);
  XSelectInput(dpy, win, KeyPressMask | FocusChangeMask | ExposureMask | StructureNotifyMask);
  XMapRaised(dpy, win);
  GC gc = XCreateGC(dpy, win, 0, nullptr);

  std::string shown;  // the tail of the text, for a person watching
  bool ready = false;
  for (;;) {
    // Whatever was decoded goes out before waiting for more.
    if (XPending(dpy) == 0) std::fflush(stdout);
    XEvent ev;
    XNextEvent(dpy, &ev);
    if (ev.type == MappingNotify) {
      XRefreshKeyboardMapping(&ev.xmapping);
    } else if (ev.type == xkbEvent) {
      auto* xkbEv = reinterpret_cast<XkbEvent*>(&ev);
      if (xkbEv->any.xkb_type == XkbMapNotify) XkbRefreshKeyboardMapping(&xkbEv->map);
    } else if (ev.type == ClientMessage && ev.xclient.message_type == wmProtocols &&
               static_cast<Atom>(ev.xclient.data.l[0]) == netWmPing) {
      ev.xclient.window = RootWindow(dpy, screen);
      XSendEvent(dpy, ev.xclient.window, False, SubstructureNotifyMask | SubstructureRedirectMask,
                 &ev);
      XFlush(dpy);
    } else if (ev.type == FocusIn) {
      if (!ready) std::printf("R\n");
      ready = true;
      std::fflush(stdout);
    } else if (ev.type == FocusOut) {
      std::printf("F\n");
      std::fflush(stdout);
    } else if (ev.type == Expose || ev.type == KeyPress) {
      if (ev.type == KeyPress) {
        long long ns = NowNs();
        unsigned consumed = 0;
        KeySym sym = NoSymbol;
        XkbLookupKeySym(dpy, static_cast<KeyCode>(ev.xkey.keycode), ev.xkey.state, &consumed, &sym);
        if ((ev.xkey.state & LockMask) && !(consumed & LockMask)) {
          KeySym lower = 0, upper = 0;
          XConvertCase(sym, &lower, &upper);
          sym = upper;
        }
        if (IsModifierSym(sym)) continue;
        if (sym == NoSymbol) {
          // A key without a symbol still counts: it shows where typing went wrong.
          std::printf("N #%u %lld\n", ev.xkey.keycode, ns);
          continue;
        }
        // Ctrl and Alt count even where a key type lists them (F keys do).
        std::string prefix;
        if (ev.xkey.state & ControlMask) prefix += "C-";
        if (ev.xkey.state & Mod1Mask) prefix += "A-";
        long cp = KeySymToCodePoint(sym);
        if (cp >= 0 && prefix.empty()) {
          std::printf("C %ld %lld\n", cp, ns);
          shown += cp < 0x80 ? static_cast<char>(cp) : '?';
        } else {
          const char* name = XKeysymToString(sym);
          std::printf("N %s%s %lld\n", prefix.c_str(), name != nullptr ? name : "?", ns);
          shown += ' ';
        }
        if (shown.size() > 80) shown.erase(0, shown.size() - 80);
      }
      XClearWindow(dpy, win);
      XDrawString(dpy, win, gc, 10, 35, shown.c_str(), static_cast<int>(shown.size()));
    } else if (ev.type == DestroyNotify) {
      break;
    }
  }
  XCloseDisplay(dpy);
  return 0;
}
