// Types each argument (a keystroke text, UTF-8) into the window that has the
// focus, as a badge would be typed. Without a display it still runs, says once
// why nothing can be typed, and fails.
#include <cstdio>
#include <memory>
#include <utility>

#include "app/sndkey32.h"
#include "base/Text.h"
#include "platform/Keyboard.h"
#include "platform/linux/DesktopKeyboard.h"

int main(int argc, char** argv) {
  using namespace lumbra;
  platform::DesktopKeyboard desktop = platform::OpenDesktopKeyboard();
  if (!desktop.notice.empty()) std::fprintf(stderr, "%s\n", desktop.notice.c_str());
  std::unique_ptr<platform::IKeyboard> keyboard = std::move(desktop.keyboard);
  platform::SetKeyboard(keyboard.get());
  int failed = 0;
  for (int i = 1; i < argc; ++i)
    if (!app::TypeKeys(TextToAnsi(argv[i]), true, false)) ++failed;
  platform::SetKeyboard(nullptr);
  std::printf("%d of %d texts typed\n", argc - 1 - failed, argc - 1);
  return failed == 0 ? 0 : 1;
}
