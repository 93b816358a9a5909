#pragma once
// The keyboard output for the desktop session the program runs in, chosen by
// what the session offers rather than by the desktop's name: a Wayland
// compositor's virtual keyboard where there is one, XTest otherwise (an X11
// session, or the X applications of a Wayland session through XWayland).
#include <memory>
#include <string>

#include "platform/Keyboard.h"

namespace lumbra::platform {

// The message text key (Italian, as the program's message table has it) of
// a Wayland session where only X applications can be typed into.
inline constexpr const char* kOnlyXApplicationsNotice =
    "Su questo desktop Wayland Lumbra può scrivere le tessere solo nelle applicazioni X11 "
    "(XWayland): il desktop non offre la tastiera virtuale che serve per le altre applicazioni.";

struct DesktopKeyboard {
  std::unique_ptr<IKeyboard> keyboard;  // never null; may be unavailable
  std::string notice;  // a message key to tell the user once at start, or empty
};

DesktopKeyboard OpenDesktopKeyboard();

}  // namespace lumbra::platform
