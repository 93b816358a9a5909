#include "ui/qt/Program.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QUrl>
#include <cerrno>
#include <csignal>
#include <functional>

#include "app/SystemServices.h"
#include "app/uLocalize.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/HidapiBackend.h"
#include "platform/linux/LinuxEnvironment.h"
#include "platform/linux/PosixClaimTable.h"
#include "platform/linux/SysfsSerialTable.h"
#include "platform/linux/TermiosSerial.h"
#include "platform/linux/UdevSerialMonitor.h"
#include "platform/linux/X11Foreground.h"
#include "platform/linux/DesktopKeyboard.h"
#include "platform/linux/XdgAutostart.h"
#include "platform/linux/qt/QtMessageLoop.h"
#include "ui/qt/AboutView.h"
#include "ui/qt/MainView.h"
#include "ui/qt/QtDialogs.h"
#include "ui/qt/SingleInstance.h"

namespace lumbra::ui {
namespace {

int gSignalPipe[2] = {-1, -1};

void OnTerminateSignal(int) {
  char c = 1;
  // Only async-signal-safe work here: the loop picks it up. The write end
  // never blocks; one byte waiting is as good as many.
  int saved = errno;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
  errno = saved;
}

// Catches the application's Quit event before the windows are asked to close
// (the main window refuses unless the program is ending).
class QuitFilter final : public QObject {
 public:
  explicit QuitFilter(std::function<bool()> onQuit) : fOnQuit(std::move(onQuit)) {}
  bool eventFilter(QObject* watched, QEvent* e) override {
    return e->type() == QEvent::Quit && watched == qApp && fOnQuit();
  }

 private:
  std::function<bool()> fOnQuit;
};

}  // namespace

int RunLumbra(int argc, char** argv, const ProgramHooks& hooks) {
  // The end signals are caught from the very start: one that comes while the
  // program is still starting waits in the pipe until a loop runs, instead of
  // ending the program before its settings are saved.
  bool signalsCaught =
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, gSignalPipe) == 0;
  if (signalsCaught) {
    struct sigaction sa {};
    sa.sa_handler = OnTerminateSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
  }
  // Without a display the program still runs (reading, saving settings) on an
  // off-screen surface, and its messages go to standard error.
  // On a Wayland desktop the windows go through XWayland where it runs: X
  // keeps the window activation and the single-instance key the program
  // relies on. Without it they are native Wayland windows where Qt has the
  // plugin, and off-screen where it has not.
  const char* xDisplay = std::getenv("DISPLAY");
  const char* wlDisplay = std::getenv("WAYLAND_DISPLAY");
  bool haveX = xDisplay != nullptr && xDisplay[0] != '\0';
  bool haveWayland = wlDisplay != nullptr && wlDisplay[0] != '\0';
  bool headless = !haveX && !haveWayland;
  QString display = haveX ? QString::fromLocal8Bit(xDisplay)
                          : "wayland-" + QString::fromLocal8Bit(haveWayland ? wlDisplay : "");
  if (headless)
    qputenv("QT_QPA_PLATFORM", "offscreen");
  else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", haveX ? "xcb" : "wayland;offscreen");
  QApplication qapp(argc, argv);
  // A Wayland session without Qt's Wayland plug-in and without XWayland ends
  // up off-screen too: nothing shown there could be seen or closed.
  const bool offscreen = QGuiApplication::platformName() == "offscreen";
  QApplication::setApplicationName("Lumbra");
  QApplication::setApplicationDisplayName(app::kApplicationTitle);
  QApplication::setQuitOnLastWindowClosed(false);  // it lives in the notification area
  // A second start in the same desktop session brings the first copy forward.
  MainView* shownView = nullptr;
  SingleInstance instance;
  if (!headless && instance.Start(display, [&shownView] {
        if (shownView != nullptr) shownView->BringForward();
      }) == SingleInstance::Result::Forward)
    return 0;

  platform::QtMessageLoop loop;
  platform::SetMessageLoop(&loop);
  platform::LinuxEnvironment environment;
  platform::SetEnvironment(&environment);
  platform::XdgAutostart autostart(environment.UserConfigDir());
  platform::SetAutostart(&autostart);
  platform::X11Foreground foreground;
  platform::SetForeground(&foreground);
  platform::TCanberraSound sound;
  platform::SetSound(&sound);
  QtMessageBox messageBox;
  if (!offscreen) platform::SetMessageBox(&messageBox);
  // Without a display the keyboard says once, when a badge comes, that it cannot type.
  platform::DesktopKeyboard desktopKeyboard = platform::OpenDesktopKeyboard();
  std::unique_ptr<platform::IKeyboard> keyboard = std::move(desktopKeyboard.keyboard);
  platform::SetKeyboard(keyboard.get());
  if (!keyboard->Available())
    platform::MessageBoxes().Show(keyboard->TakeUnavailableReason(), app::kApplicationTitle,
                                  platform::MessageKind::Warning);
  platform::TermiosSerialBackend serial;
  platform::SetSerialBackend(&serial);
  platform::SysfsSerialDeviceTable serialTable;
  platform::SetSerialDeviceTable(&serialTable);
  // Pulled serial adapters become device-change broadcasts; gone before the loop.
  auto serialMonitor = std::make_unique<platform::UdevSerialMonitor>();
  // USB HID readers (and virtual ones), and the table the running copies share them by.
  auto hid = std::make_unique<platform::HidapiBackend>();
  platform::SetHidBackend(hid.get());
  platform::PosixClaimTableBackend claimTables(hooks.claimTablePrefix);
  platform::SetClaimTableBackend(&claimTables);

  if (hooks.registerModels) hooks.registerModels();
  int rc = 0;
  {
    app::TAppServices services = app::SystemServices(environment.ExecutablePath());
    services.runPasswordDialog = RunPasswordDialog;
    services.openDocument = [](const std::string& path) {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
    };
    services.autostartAtLogIn = true;
    services.showAbout = [] { RunAboutDialog(); };
    services.browseFile = BrowseFile;
    if (hooks.adjustServices) hooks.adjustServices(services);

    Owned<app::TTkEmuTasMain> model(new app::TTkEmuTasMain(std::move(services)));
    MainView view(*model);
    model->OnStateChanged = [&view] { view.Refresh(); };
    if (hooks.onRefreshed) view.OnRefreshed = [&] { hooks.onRefreshed(*model, view); };

    // The end of the session (SIGTERM, SIGHUP, SIGINT, or the session
    // manager's "die", which Qt sends as a Quit event) ends the program
    // without a password, with the settings saved, from wherever it is: also
    // from inside a modal window's own loop, or before the main loop runs
    // (the start-up error message).
    bool ending = false;
    auto endSession = [&] {
      if (ending) return;
      ending = true;
      EndModalWindows();
      model->Perform([&] { model->QueryEndSession(); });
      // Every running loop leaves, the main one included; a loop started
      // from now on returns at once.
      QCoreApplication::exit(0);
    };
    QuitFilter quitFilter([&] {
      if (model->Terminated()) return false;  // the program's own way out
      endSession();
      return true;
    });
    qapp.installEventFilter(&quitFilter);
    // The session manager asks for the data to be safe (before a log-off, or a
    // checkpoint that goes on running): the settings are written.
    QObject::connect(&qapp, &QGuiApplication::commitDataRequest, &qapp,
                     [&](QSessionManager&) { model->Perform([&] { model->SaveSettings(); }); });
    std::unique_ptr<QSocketNotifier> notifier;
    if (signalsCaught) {
      notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
      QObject::connect(notifier.get(), &QSocketNotifier::activated, &qapp, [&] {
        char c[16];
        while (::read(gSignalPipe[0], c, sizeof c) > 0) {
        }
        endSession();
      });
    }

    model->FormCreate();
    view.Refresh();
    // Once the language is known: what this session's keyboard cannot reach.
    if (!desktopKeyboard.notice.empty() && !model->Terminated())
      platform::MessageBoxes().Show(app::LocalizeString(desktopKeyboard.notice),
                                    app::kApplicationTitle, platform::MessageKind::Warning);
    // Without a notification area there would be nothing to see or click: the
    // window opens at start (and closing it minimises it, see MainView).
    if (!offscreen && !model->Terminated() && !MainView::TrayAvailable())
      model->Perform([&] { model->Apri1Click(); });
    shownView = &view;
    if (hooks.createPortHolders) hooks.createPortHolders();
    if (!model->Terminated()) rc = qapp.exec();
    shownView = nullptr;
    qapp.removeEventFilter(&quitFilter);
    model->OnStateChanged = nullptr;
  }
  if (hooks.freePortHolders) hooks.freePortHolders();
  if (hooks.unregisterModels) hooks.unregisterModels();
  serialMonitor.reset();
  platform::SetClaimTableBackend(nullptr);
  platform::SetHidBackend(nullptr);
  hid.reset();
  platform::SetKeyboard(nullptr);
  platform::SetSerialDeviceTable(nullptr);
  platform::SetSerialBackend(nullptr);
  platform::SetMessageBox(nullptr);
  platform::SetSound(nullptr);
  platform::SetForeground(nullptr);
  platform::SetAutostart(nullptr);
  platform::SetEnvironment(nullptr);
  platform::SetMessageLoop(nullptr);
  return rc;
}

}  // namespace lumbra::ui
