// The Windows program's entry: the reader models it ships and the program.
#include "drivers/Drivers.h"
#include "ui/win32/Program.h"
// Windows' headers after the program's (see MainWindow.h).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  lumbra::ui::win32::ProgramHooks hooks;
  hooks.registerModels = lumbra::RegisterReaderModels;
  hooks.unregisterModels = lumbra::UnregisterReaderModels;
  hooks.createPortHolders = lumbra::CreateSharedPortHolders;
  hooks.freePortHolders = lumbra::FreeSharedPortHolders;
  return lumbra::ui::win32::RunLumbra(hooks);
}
