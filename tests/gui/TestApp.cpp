// The program with a scripted reader, for tests under a virtual display.
//
// The reader model "SLX-44" is replaced by one whose port is a named pipe:
// each line written to it is a device event (see Run below). The program's
// visible state is written to the file named by LUMBRA_TEST_STATE after every
// change, so that a test can follow what a user would see.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "reader/CustomBadgeReader.h"
#include "ui/qt/MainView.h"
#include "ui/qt/Program.h"
#include "ui/qt/RowTabBar.h"

namespace {

using namespace lumbra;

class TPipeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TPipeReader)
 public:
  using TCustomBadgeReader::TCustomBadgeReader;
  ~TPipeReader() override { FreeProtocol(); }
  static bool IsStripe() { return true; }
  static bool TrackSupported(std::int32_t t) { return t >= 1 && t <= 7; }
  static bool CoercitivitySupported(TCoercitivity c) { return c == loco; }

  void SetActive(bool value) override {
    if (value == fActive) return;
    if (value)
      CreateProtocol();
    else
      FreeProtocol();
    TCustomBadgeReader::SetActive(value);
  }
  AnsiString GetReadData() override {
    std::lock_guard lock(fMutex);
    return fData;
  }
  TStatiDispo Status() const override { return fStatus; }
  std::uint8_t StatoTessera() override { return fCard; }

  void CreateProtocol() override {
    fFd = ::open(COM().c_str(), O_RDWR | O_NONBLOCK);
    if (fFd < 0) throw EBadgeError("Cannot open " + COM());
    fStop = false;
    fStatus = sdAttivo;
    HWND h = Handle();
    fThread = std::thread([this, h] { Run(h); });
  }
  void FreeProtocol() override {
    if (!fThread.joinable()) return;
    fStop = true;
    fThread.join();
    ::close(fFd);
  }

 private:
  // Lines: "read <data>" (\r written as \\r), "status <n>", "timeout",
  // "restore", "fail", "badcrc", "badinsert", "error <command> <code>", and
  // "die": the application gets the Quit event a session manager's "die" sends.
  void Run(HWND h) {
    std::string pending;
    while (!fStop) {
      pollfd p{fFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(fFd, buf, sizeof buf);
      if (n <= 0) continue;
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        Execute(h, pending.substr(0, nl));
        pending.erase(0, nl + 1);
      }
    }
  }
  void Execute(HWND h, const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    auto& loop = platform::MessageLoop();
    if (cmd == "read") {
      std::string data;
      for (size_t i = 5; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'r') {
          data += '\r';
          ++i;
        } else {
          data += line[i];
        }
      }
      {
        std::lock_guard lock(fMutex);
        fData = data;
      }
      loop.PostMessage(h, WM_TESSERA_READ, 0, trDataReady);
    } else if (cmd == "status") {
      int s = 0;
      in >> s;
      fCard = static_cast<std::uint8_t>(s);
      loop.PostMessage(h, WM_TESSERA_STATUS, 0, s);
    } else if (cmd == "timeout") {
      fStatus = sdTimeout;
      loop.PostMessage(h, WM_DISP_TIMEOUT, 0, 0);
    } else if (cmd == "restore") {
      fStatus = sdAttivo;
      loop.PostMessage(h, WM_DISP_RESTORE, 0, 0);
    } else if (cmd == "fail") {
      loop.PostMessage(h, WM_TESSERA_READ, 0, trReadFailed);
    } else if (cmd == "badcrc") {
      loop.PostMessage(h, WM_TESSERA_READ, 0, trCheckFailed);
    } else if (cmd == "badinsert") {
      loop.PostMessage(h, WM_BAD_INSERT, 0, 0);
    } else if (cmd == "die") {
      QMetaObject::invokeMethod(
          qApp,
          [] {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(qApp, &quit);
          },
          Qt::QueuedConnection);
    } else if (cmd == "error") {
      int c = 0, e = 0;
      in >> c >> e;
      loop.PostMessage(h, WM_DISP_ERROR, static_cast<WPARAM>(c), e);
    }
  }

  int fFd = -1;
  std::thread fThread;
  std::atomic<bool> fStop{false};
  std::atomic<TStatiDispo> fStatus{sdStart};
  std::atomic<std::uint8_t> fCard{csNoBadge};
  std::mutex fMutex;
  AnsiString fData;
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const char* stateFile = std::getenv("LUMBRA_TEST_STATE");
  lumbra::ui::ProgramHooks hooks;
  hooks.registerModels = [] { RegisterBadgeReader("SLX-44", ReaderClassOf<TPipeReader>()); };
  hooks.unregisterModels = [] { UnregisterBadgeReader("SLX-44"); };
  hooks.onRefreshed = [stateFile](lumbra::app::TTkEmuTasMain& m, lumbra::ui::MainView& v) {
    if (stateFile == nullptr) return;
    // Places as they will be drawn: the tab rows settle their height through
    // posted layout requests, which may still be waiting right after a switch
    // of view.
    for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QRect tray = v.Tray().geometry();
    std::string tmp = std::string(stateFile) + ".tmp";
    {
      std::ofstream out(tmp);
      out << "visible=" << (v.isVisible() ? 1 : 0) << "\n"
          << "view="
          << (m.View() == lumbra::app::TTkEmuTasMain::TView::Settings ? "settings" : "compact")
          << "\n"
          << "image=" << m.StatusImage() << "\n"
          << "tooltip=" << Escape(v.Tray().toolTip().toStdString()) << "\n"
          << "tray=" << (v.Tray().isVisible() && QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0)
          << "\n"
          << "tray_geometry=" << tray.x() << " " << tray.y() << " " << tray.width() << " "
          << tray.height() << "\n"
          << "terminated=" << (m.Terminated() ? 1 : 0) << "\n"
          << "title=" << v.windowTitle().toStdString() << "\n"
          << "reader_status=" << m.ReaderStatusText() << "\n"
          << "lingua=" << m.C("cbLingua").ItemIndex() << "\n";
      // Where a test can click the controls it needs.
      for (const char* name : {"cbLingua", "XiButton4", "btSoundErrTes"}) {
        auto* w = v.findChild<QWidget*>(name);
        if (w == nullptr || !w->isVisible()) continue;
        QPoint at = w->mapToGlobal(QPoint(0, 0));
        out << "geometry_" << name << "=" << at.x() << " " << at.y() << " " << w->width() << " "
            << w->height() << "\n";
      }
      // The tabs as shown, each with the width its caption needs whole.
      auto* tabs = v.findChild<QTabWidget*>("JvPageControl1");
      auto* rows = v.findChild<lumbra::ui::RowTabBar*>("JvPageControl1.Tabs");
      if (tabs != nullptr && tabs->isVisible()) {
        out << "tab=" << tabs->currentIndex() << "\n";
        const QPoint window = v.mapToGlobal(QPoint(0, 0));
        out << "geometry_window=" << window.x() << " " << window.y() << " " << v.width() << " "
            << v.height() << "\n";
        const bool own = tabs->tabBar()->isVisible();
        QWidget* bar = own ? static_cast<QWidget*>(tabs->tabBar()) : rows;
        for (int i = 0; bar != nullptr && i < tabs->count(); ++i) {
          QRect r = own ? tabs->tabBar()->tabRect(i) : rows->TabRect(i);
          // Clipped to what the bar shows: a tab scrolled away has no room.
          r = r.intersected(bar->rect());
          QPoint at = bar->mapToGlobal(r.topLeft());
          out << "geometry_tab" << i << "=" << at.x() << " " << at.y() << " " << r.width() << " "
              << r.height() << "\n";
          out << "caption_width_tab" << i << "="
              << bar->fontMetrics().size(Qt::TextShowMnemonic, tabs->tabText(i)).width() << "\n";
          // The height the page's controls need, and the height it has.
          QWidget* page = tabs->widget(i);
          out << "page_height_tab" << i << "=" << page->minimumSizeHint().height() << " "
              << tabs->currentWidget()->height() << "\n";
        }
      }
      std::string menu;
      for (QAction* a : v.Tray().contextMenu()->actions())
        if (!a->isSeparator()) menu += a->text().toStdString() + "|";
      out << "menu=" << menu << "\n";
    }
    std::rename(tmp.c_str(), stateFile);
  };
  return lumbra::ui::RunLumbra(argc, argv, hooks);
}
