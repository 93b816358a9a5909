#include "drivers/Drivers.h"
#include "ui/qt/Program.h"

int main(int argc, char** argv) {
  lumbra::ui::ProgramHooks hooks;
  hooks.registerModels = lumbra::RegisterReaderModels;
  hooks.unregisterModels = lumbra::UnregisterReaderModels;
  hooks.createPortHolders = lumbra::CreateSharedPortHolders;
  hooks.freePortHolders = lumbra::FreeSharedPortHolders;
  return lumbra::ui::RunLumbra(argc, argv, hooks);
}
