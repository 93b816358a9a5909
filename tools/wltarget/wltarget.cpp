// Two helpers for tests and benchmarks on a Wayland session.
//
//   lumbra_wltarget target
//     A native window that logs every key it gets, as lumbra_xtarget does:
//     "R" when it has the keyboard focus, "F" when it loses it, "C <code
//     point> <ns>" for a character, "N <name> <ns>" for other keys (C- and A-
//     in front when Ctrl or Alt is down), ns being CLOCK_MONOTONIC.
//   lumbra_wltarget keyboard LAYOUT [VARIANT]
//     The user's own keyboard, as a physical one with that layout: reads
//     "down SYM", "up SYM" and "tap SYM" (keysym names) from standard input
//     and answers "ok" once the compositor has each one.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace {

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct App {
  wl_display* dpy = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  xdg_wm_base* wm = nullptr;
  zwp_virtual_keyboard_manager_v1* vkm = nullptr;
  wl_keyboard* keyboard = nullptr;
  wl_surface* surface = nullptr;
  xkb_context* ctx = nullptr;
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
  bool configured = false;
  bool closed = false;
};

void OnGlobal(void* data, wl_registry* reg, std::uint32_t name, const char* iface,
              std::uint32_t version) {
  auto* a = static_cast<App*>(data);
  if (std::strcmp(iface, wl_compositor_interface.name) == 0)
    a->compositor = static_cast<wl_compositor*>(wl_registry_bind(reg, name, &wl_compositor_interface, 4));
  else if (std::strcmp(iface, wl_shm_interface.name) == 0)
    a->shm = static_cast<wl_shm*>(wl_registry_bind(reg, name, &wl_shm_interface, 1));
  else if (std::strcmp(iface, wl_seat_interface.name) == 0 && a->seat == nullptr)
    a->seat = static_cast<wl_seat*>(
        wl_registry_bind(reg, name, &wl_seat_interface, version < 5 ? version : 5));
  else if (std::strcmp(iface, xdg_wm_base_interface.name) == 0)
    a->wm = static_cast<xdg_wm_base*>(wl_registry_bind(reg, name, &xdg_wm_base_interface, 1));
  else if (std::strcmp(iface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
    a->vkm = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(reg, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistry = {OnGlobal, OnGlobalRemove};

// --- the target window -------------------------------------------------------

void OnKeymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
  auto* a = static_cast<App*>(data);
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map != MAP_FAILED) {
      xkb_keymap* km = xkb_keymap_new_from_string(a->ctx, static_cast<const char*>(map),
                                                  XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
      // For a person looking into a failure: the last keymap the target got.
      if (const char* dump = std::getenv("WLTARGET_KEYMAP_DUMP")) {
        if (FILE* f = std::fopen(dump, "w")) {
          std::fputs(static_cast<const char*>(map), f);
          std::fclose(f);
        }
      }
      munmap(map, size);
      if (km != nullptr) {
        if (a->state != nullptr) xkb_state_unref(a->state);
        if (a->keymap != nullptr) xkb_keymap_unref(a->keymap);
        a->keymap = km;
        a->state = xkb_state_new(km);
      } else {
        std::fprintf(stderr, "wltarget: a keymap did not compile\n");
      }
    }
  }
  close(fd);
}
void OnEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {
  std::printf("R\n");
  std::fflush(stdout);
}
void OnLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {
  std::printf("F\n");
  std::fflush(stdout);
}

bool IsModifierSym(xkb_keysym_t s) {
  return (s >= XKB_KEY_Shift_L && s <= XKB_KEY_Hyper_R) ||
         (s >= XKB_KEY_ISO_Lock && s <= XKB_KEY_ISO_Level5_Lock) || s == XKB_KEY_Num_Lock;
}

void OnKey(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key,
           std::uint32_t st) {
  auto* a = static_cast<App*>(data);
  if (st != WL_KEYBOARD_KEY_STATE_PRESSED || a->state == nullptr) return;
  long long ns = NowNs();
  xkb_keycode_t kc = key + 8;
  xkb_keysym_t sym = xkb_state_key_get_one_sym(a->state, kc);
  if (xkb_state_mod_name_is_active(a->state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_EFFECTIVE) > 0 &&
      !xkb_state_mod_index_is_consumed(a->state, kc,
                                       xkb_keymap_mod_get_index(a->keymap, XKB_MOD_NAME_CAPS)))
    sym = xkb_keysym_to_upper(sym);
  if (IsModifierSym(sym)) return;
  if (sym == XKB_KEY_NoSymbol) {
    std::printf("N #%u %lld\n", kc, ns);
    return;
  }
  std::string prefix;
  if (xkb_state_mod_name_is_active(a->state, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0)
    prefix += "C-";
  if (xkb_state_mod_name_is_active(a->state, XKB_MOD_NAME_ALT, XKB_STATE_MODS_EFFECTIVE) > 0)
    prefix += "A-";
  std::uint32_t cp = xkb_keysym_to_utf32(sym);
  if (cp >= 0x20 && cp != 0x7F && prefix.empty()) {
    std::printf("C %u %lld\n", cp, ns);
  } else {
    char name[64];
    xkb_keysym_get_name(sym, name, sizeof name);
    std::printf("N %s%s %lld\n", prefix.c_str(), name, ns);
  }
}
void OnModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                 std::uint32_t latched, std::uint32_t locked, std::uint32_t group) {
  auto* a = static_cast<App*>(data);
  if (a->state != nullptr) xkb_state_update_mask(a->state, depressed, latched, locked, 0, 0, group);
}
void OnRepeat(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener kKeyboard = {OnKeymap, OnEnter, OnLeave, OnKey, OnModifiers, OnRepeat};

void OnCapabilities(void* data, wl_seat* seat, std::uint32_t caps) {
  auto* a = static_cast<App*>(data);
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && a->keyboard == nullptr) {
    a->keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(a->keyboard, &kKeyboard, a);
  }
}
void OnSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeat = {OnCapabilities, OnSeatName};

void OnPing(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
const xdg_wm_base_listener kWm = {OnPing};

void OnToplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
void OnToplevelClose(void* data, xdg_toplevel*) { static_cast<App*>(data)->closed = true; }
// Bound at version 1: the later events never come.
const xdg_toplevel_listener kToplevel = {OnToplevelConfigure, OnToplevelClose, nullptr, nullptr};

wl_buffer* MakeBuffer(App& a, int w, int h) {
  int stride = w * 4, size = stride * h;
  int fd = memfd_create("wltarget", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) < 0) return nullptr;
  void* px = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (px != MAP_FAILED) {
    std::memset(px, 0xCC, static_cast<size_t>(size));
    munmap(px, static_cast<size_t>(size));
  }
  wl_shm_pool* pool = wl_shm_create_pool(a.shm, fd, size);
  wl_buffer* buf = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return buf;
}

void OnSurfaceConfigure(void* data, xdg_surface* xs, std::uint32_t serial) {
  auto* a = static_cast<App*>(data);
  xdg_surface_ack_configure(xs, serial);
  if (!a->configured) {
    a->configured = true;
    wl_surface_attach(a->surface, MakeBuffer(*a, 320, 120), 0, 0);
    wl_surface_commit(a->surface);
  }
}
const xdg_surface_listener kXdgSurface = {OnSurfaceConfigure};

int RunTarget(App& a) {
  if (a.compositor == nullptr || a.shm == nullptr || a.seat == nullptr || a.wm == nullptr) {
    std::fprintf(stderr, "wltarget: the compositor lacks a window or seat interface\n");
    return 1;
  }
  a.ctx = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  wl_seat_add_listener(a.seat, &kSeat, &a);
  xdg_wm_base_add_listener(a.wm, &kWm, &a);
  a.surface = wl_compositor_create_surface(a.compositor);
  xdg_surface* xs = xdg_wm_base_get_xdg_surface(a.wm, a.surface);
  xdg_surface_add_listener(xs, &kXdgSurface, &a);
  xdg_toplevel* top = xdg_surface_get_toplevel(xs);
  xdg_toplevel_add_listener(top, &kToplevel, &a);
  xdg_toplevel_set_title(top, "badge-target");
  xdg_toplevel_set_app_id(top, "badge-target");
  wl_surface_commit(a.surface);
  // Whatever was decoded goes out before waiting for more.
  while (!a.closed) {
    while (wl_display_prepare_read(a.dpy) != 0) wl_display_dispatch_pending(a.dpy);
    std::fflush(stdout);
    wl_display_flush(a.dpy);
    pollfd p{wl_display_get_fd(a.dpy), POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      wl_display_cancel_read(a.dpy);
      break;
    }
    if (wl_display_read_events(a.dpy) < 0) break;
    wl_display_dispatch_pending(a.dpy);
  }
  return 0;
}

// --- the user's keyboard -----------------------------------------------------

xkb_keycode_t KeyOf(xkb_keymap* km, xkb_keysym_t sym) {
  for (xkb_keycode_t kc = xkb_keymap_min_keycode(km); kc <= xkb_keymap_max_keycode(km); ++kc) {
    const xkb_keysym_t* syms = nullptr;
    if (xkb_keymap_key_get_syms_by_level(km, kc, 0, 0, &syms) > 0 && syms[0] == sym) return kc;
  }
  return 0;
}

int RunKeyboard(App& a, const char* layout, const char* variant) {
  if (a.seat == nullptr || a.vkm == nullptr) {
    std::fprintf(stderr, "wltarget: the compositor offers no virtual keyboard\n");
    return 1;
  }
  a.ctx = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_rule_names names{"evdev", "pc105", layout, variant, nullptr};
  a.keymap = xkb_keymap_new_from_names(a.ctx, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (a.keymap == nullptr) {
    std::fprintf(stderr, "wltarget: no layout %s %s\n", layout, variant ? variant : "");
    return 1;
  }
  char* text = xkb_keymap_get_as_string(a.keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  size_t size = std::strlen(text) + 1;
  int fd = memfd_create("wltarget-keymap", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text, size) != static_cast<ssize_t>(size)) return 1;
  std::free(text);
  zwp_virtual_keyboard_v1* kb = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(a.vkm, a.seat);
  zwp_virtual_keyboard_v1_keymap(kb, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<std::uint32_t>(size));
  close(fd);
  wl_display_roundtrip(a.dpy);
  std::string cmd, symName;
  std::uint32_t t = 0;
  while (std::cin >> cmd >> symName) {
    xkb_keysym_t sym = xkb_keysym_from_name(symName.c_str(), XKB_KEYSYM_NO_FLAGS);
    xkb_keycode_t kc = KeyOf(a.keymap, sym);
    if (kc == 0) {
      std::printf("no key %s\n", symName.c_str());
      std::fflush(stdout);
      continue;
    }
    auto send = [&](bool down) {
      zwp_virtual_keyboard_v1_key(kb, ++t, kc - 8,
                                  down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    };
    // The compositor follows the state of a virtual keyboard from what the
    // client says, as for a physical one.
    xkb_state* st = a.state != nullptr ? a.state : (a.state = xkb_state_new(a.keymap));
    auto update = [&](bool down) {
      xkb_state_update_key(st, kc, down ? XKB_KEY_DOWN : XKB_KEY_UP);
      zwp_virtual_keyboard_v1_modifiers(
          kb, xkb_state_serialize_mods(st, XKB_STATE_MODS_DEPRESSED),
          xkb_state_serialize_mods(st, XKB_STATE_MODS_LATCHED),
          xkb_state_serialize_mods(st, XKB_STATE_MODS_LOCKED),
          xkb_state_serialize_layout(st, XKB_STATE_LAYOUT_EFFECTIVE));
    };
    if (cmd == "down" || cmd == "tap") {
      send(true);
      update(true);
    }
    if (cmd == "up" || cmd == "tap") {
      send(false);
      update(false);
    }
    wl_display_roundtrip(a.dpy);
    std::printf("ok\n");
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lumbra_wltarget target | keyboard LAYOUT [VARIANT]\n");
    return 2;
  }
  App a;
  a.dpy = wl_display_connect(nullptr);
  if (a.dpy == nullptr) {
    std::fprintf(stderr, "wltarget: no Wayland compositor\n");
    return 1;
  }
  wl_registry* reg = wl_display_get_registry(a.dpy);
  wl_registry_add_listener(reg, &kRegistry, &a);
  wl_display_roundtrip(a.dpy);
  std::string mode = argv[1];
  if (mode == "target") return RunTarget(a);
  if (mode == "keyboard" && argc >= 3) return RunKeyboard(a, argv[2], argc >= 4 ? argv[3] : nullptr);
  std::fprintf(stderr, "wltarget: unknown mode %s\n", argv[1]);
  return 2;
}
