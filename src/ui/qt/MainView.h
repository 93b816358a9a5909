#pragma once
// The main window, its tray icon and menu: widgets that mirror the controls of
// the main window model and hand every user action to it.
#include <QWidget>
#include <functional>

#include "app/UEmuTas.h"
#include "ui/qt/TrayPictures.h"

class QFrame;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTabWidget;

namespace lumbra::ui {

class RowTabBar;

class MainView final : public QWidget {
 public:
  explicit MainView(app::TTkEmuTasMain& model);
  ~MainView() override;

  QSystemTrayIcon& Tray() const { return *fTray; }
  // Mirrors the model's view, visibility, status and end.
  void Refresh();
  std::function<void()> OnRefreshed;
  // Opens the window and puts it in front (another start of the program).
  void BringForward();
  // Whether the desktop has a notification area to hide the window into.
  static bool TrayAvailable();

 protected:
  void closeEvent(QCloseEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  QWidget* Bind(const std::string& name, QWidget* parent);
  QWidget* BuildAdvancedTab();
  QWidget* BuildReadTab();
  QWidget* BuildSoundTab(int slot);

  app::TTkEmuTasMain& fModel;
  QLabel* fImage = nullptr;
  QFrame* fIndicator = nullptr;
  QWidget* fOptions = nullptr;
  QTabWidget* fTabs = nullptr;
  RowTabBar* fTabRows = nullptr;
  QSystemTrayIcon* fTray = nullptr;
  QMenu* fMenu = nullptr;
  bool fQuitting = false;
  int fShownImage = -1;  // status image on screen, -1 before the first
  StatusPictures fPictures;
};

}  // namespace lumbra::ui
