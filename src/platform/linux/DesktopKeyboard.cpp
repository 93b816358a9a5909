#include "platform/linux/DesktopKeyboard.h"

#include <cstdlib>

#include "platform/linux/WaylandKeyboard.h"
#include "platform/linux/X11Keyboard.h"

namespace lumbra::platform {

DesktopKeyboard OpenDesktopKeyboard() {
  DesktopKeyboard result;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  bool waylandSession = wayland != nullptr && *wayland != '\0';
  if (waylandSession) {
    std::unique_ptr<IKeyboard> native = OpenWaylandKeyboard();
    if (native->Available()) {
      result.keyboard = std::move(native);
      return result;
    }
  }
  result.keyboard = OpenX11Keyboard();
  // XTest reaches XWayland's clients only: the user must know why a native
  // application gets nothing.
  if (waylandSession) result.notice = kOnlyXApplicationsNotice;
  return result;
}

}  // namespace lumbra::platform
