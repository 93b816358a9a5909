#pragma once
// The program: platform services, the main window model and its view, the
// message loop until the program ends.
#include <functional>
#include <string>

#include "app/UEmuTas.h"

namespace lumbra::ui {

class MainView;

struct ProgramHooks {
  std::function<void()> registerModels;
  std::function<void()> unregisterModels;
  // Makes the process-wide port holders right after the main window, and
  // frees them at the end, after the main window and its reader are gone.
  std::function<void()> createPortHolders;
  std::function<void()> freePortHolders;
  // Lets a caller adjust the services before the main window is made.
  std::function<void(app::TAppServices&)> adjustServices;
  // Put before the names of the shared claim tables: a test's copies keep
  // to a table of their own. Empty for the program.
  std::string claimTablePrefix;
  // Called after every change the view shows.
  std::function<void(app::TTkEmuTasMain&, MainView&)> onRefreshed;
};

int RunLumbra(int argc, char** argv, const ProgramHooks& hooks);

}  // namespace lumbra::ui
