#pragma once
// The Windows program: the Win32 platform services, the main window model and
// its view, the message loop until the program ends.
#include <functional>

#include "app/UEmuTas.h"

namespace lumbra::ui::win32 {

class MainWindow;

struct ProgramHooks {
  std::function<void()> registerModels;
  std::function<void()> unregisterModels;
  // Makes the process-wide port holders right after the main window, and
  // frees them at the end, after the main window and its reader are gone.
  std::function<void()> createPortHolders;
  std::function<void()> freePortHolders;
};

// Runs the program; its exit code. A second start in the same session brings
// the first copy's window forward and returns 0 at once.
int RunLumbra(const ProgramHooks& hooks);

}  // namespace lumbra::ui::win32
