#pragma once
// Keyboard output on a Wayland desktop whose compositor offers virtual
// keyboards (zwp_virtual_keyboard_v1, the wlroots compositors).
//
// - One virtual keyboard for the program's lifetime, on the first seat: a
//   seat without a keyboard only gains one when it is created, and clients
//   that bind their keyboard late miss keys. A roundtrip follows its keymap
//   and opens every run, so the compositor has both before the first key.
// - The keymap is the program's own and is uploaded once: every character of
//   the code page has a key of its own (a case pair shares one, the capital
//   with Shift), named keys sit at their usual evdev codes. Whatever layout
//   the user has, a character is typed exactly and the keymap never changes
//   under keys a client has not read yet. A character outside it gets a free
//   key and the keymap goes up again, before the key that needs it.
// - The compositor gives a key the state of the keyboard it came from, so
//   the modifiers and locks the user holds on the physical keyboard do not
//   reach the keys typed here: they are set aside without doing anything.
//   Modifier events only change the modifiers sent with the next key.
// - A key event is flushed to the compositor; EndTyping waits for the
//   compositor to have processed the whole run.
// - Used only from the UI thread.
#include <memory>
#include <string>

#include "platform/Keyboard.h"

namespace lumbra::platform {

// What the Wayland session offers for keyboard output.
struct WaylandOffer {
  bool connected = false;       // a compositor answered on $WAYLAND_DISPLAY
  bool virtualKeyboard = false; // zwp_virtual_keyboard_manager_v1 and a seat
  bool kdeFakeInput = false;    // org_kde_kwin_fake_input
};

// Lists the session's globals; nothing connected without $WAYLAND_DISPLAY.
WaylandOffer ProbeWayland(const char* displayName = nullptr);

// The virtual keyboard of the session (nullptr: $WAYLAND_DISPLAY), or an
// unavailable keyboard that says why.
std::unique_ptr<IKeyboard> OpenWaylandKeyboard(const char* displayName = nullptr);

}  // namespace lumbra::platform
