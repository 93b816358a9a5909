// The program exactly as shipped (its reader models, services and view), plus
// one observer: after every change it writes what the user would see (status
// picture, tray hint, the ticked tracks) to the file named by
// LUMBRA_TEST_STATE, and appends each change to that name with ".history"
// added.
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "drivers/Drivers.h"
#include "ui/qt/MainView.h"
#include "ui/qt/Program.h"

int main(int argc, char** argv) {
  const char* stateFile = std::getenv("LUMBRA_TEST_STATE");
  lumbra::ui::ProgramHooks hooks;
  hooks.registerModels = lumbra::RegisterReaderModels;
  hooks.unregisterModels = lumbra::UnregisterReaderModels;
  hooks.createPortHolders = lumbra::CreateSharedPortHolders;
  hooks.freePortHolders = lumbra::FreeSharedPortHolders;
  // The copies of one test share a claim table of their own.
  if (const char* prefix = std::getenv("LUMBRA_TEST_CLAIM_PREFIX")) hooks.claimTablePrefix = prefix;
  hooks.onRefreshed = [stateFile](lumbra::app::TTkEmuTasMain& m, lumbra::ui::MainView& v) {
    if (stateFile == nullptr) return;
    std::string hint = v.Tray().toolTip().toStdString();
    for (auto& c : hint)
      if (c == '\n' || c == '\r') c = '|';
    const std::string tmp = std::string(stateFile) + ".tmp";
    {
      std::ofstream out(tmp);
      out << "image=" << m.StatusImage() << "\nhint=" << hint << "\ntracks=";
      for (const char* box : {"CheckBox1", "CheckBox2", "CheckBox3"})
        out << (m.C(box).Checked() ? box[8] : '-');
      out << "\n";
    }
    std::rename(tmp.c_str(), stateFile);
    // Every change in order, also one that lasted too little to be seen in the file.
    static std::string last;
    const std::string now = "image=" + std::to_string(m.StatusImage()) + " hint=" + hint;
    if (now != last)
      std::ofstream(std::string(stateFile) + ".history", std::ios::app) << now << "\n";
    last = now;
  };
  return lumbra::ui::RunLumbra(argc, argv, hooks);
}
