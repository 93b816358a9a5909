#pragma once
// Keyboard output into the X client that has the focus, through XTest, with
// characters looked up in the live XKB map and group.
//
// - Character keys get virtual keys of their own, handed out by VkKeyScan; the
//   shift state reports level 2 as Shift and level 3 (AltGr) as Ctrl+Alt.
// - Modifier events only record the state. When a key goes down, the real
//   modifiers are chosen for the level wanted under the current lock state:
//   with CapsLock on, "A" goes without Shift, and a key that CapsLock would
//   turn upper case regardless is typed with CapsLock briefly unlocked.
//   Ctrl+Alt on a key with a third level presses the level-3 modifier.
// - A character or named key that the layout lacks is bound to a spare keycode
//   for the run and unbound at EndTyping. Clients fetch the map when they read
//   the change, however late, so a spare is unbound or rebound only once the
//   focus client has answered a _NET_WM_PING sent after the keys typed on it
//   (a client that answers none gets a short grace instead).
// - For a run, the modifier keys the user holds are released through XTest and
//   pressed again at EndTyping; latched and locked modifiers other than the
//   lock keys are cleared and set again. A key held on another input device
//   that does not take the release is left alone and never pressed again, so
//   nothing can stay down.
// - A key's down event is flushed, its up event synced (XSync): when the key
//   is through, the server has handed it to the client.
// - One display connection, used only from the UI thread.
#include <memory>
#include <string>

#include "platform/Keyboard.h"

namespace lumbra::platform {

// The X keyboard of the display (nullptr: $DISPLAY), or an unavailable
// keyboard that says why (no display, no XTest, no XKB).
std::unique_ptr<IKeyboard> OpenX11Keyboard(const char* displayName = nullptr);

}  // namespace lumbra::platform
