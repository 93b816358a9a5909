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
// - Where the compositor offers KWin's fake input instead (KDE Plasma), keys
//   go into the compositor's own keyboard: characters are looked up in the
//   user's keymap (first layout, up to Shift+AltGr) and one it lacks is not
//   typed but reported by TakeMissingCharacters. KWin grants fake input only
//   to a program whose desktop entry lists it in X-KDE-Wayland-Interfaces.
// - Used only from the UI thread.
#include <memory>
#include <string>

#include "platform/Keyboard.h"

namespace lumbra::platform {

// The keyboard output of the Wayland session (nullptr: $WAYLAND_DISPLAY):
// its virtual keyboard, else KWin's fake input, else an unavailable keyboard
// that says why.
std::unique_ptr<IKeyboard> OpenWaylandKeyboard(const char* displayName = nullptr);

}  // namespace lumbra::platform
