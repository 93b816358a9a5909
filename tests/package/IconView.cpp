// Shows desktop entries the way a menu or a file manager does: each entry's
// name under its icon, the icon looked up by name in the icon theme. Used to
// see that an installed package's entry and icon are found where desktops
// look for them.
//
//   lumbra_iconview ENTRY.desktop...
//
// Prints each entry's name and whether its icon was found; exits 1 when one
// was not.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QListWidget>
#include <QTextStream>
#include <cstdio>

namespace {

// The [Desktop Entry] group's Name and Icon.
bool ReadEntry(const QString& path, QString& name, QString& icon) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&file);
  bool inEntry = false;
  while (!in.atEnd()) {
    const QString line = in.readLine();
    if (line.startsWith('[')) inEntry = line == "[Desktop Entry]";
    if (!inEntry) continue;
    if (line.startsWith("Name=")) name = line.mid(5);
    if (line.startsWith("Icon=")) icon = line.mid(5);
  }
  return !name.isEmpty();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QIcon::setThemeName("hicolor");
  QListWidget list;
  list.setWindowTitle("Applications");
  list.setViewMode(QListView::IconMode);
  list.setIconSize(QSize(48, 48));
  list.setGridSize(QSize(110, 90));
  list.resize(360, 140);
  int missing = 0;
  for (int i = 1; i < argc; ++i) {
    QString name, icon;
    if (!ReadEntry(QString::fromLocal8Bit(argv[i]), name, icon)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    const bool found = QIcon::hasThemeIcon(icon);
    std::printf("%s: icon %s %s\n", qPrintable(name), qPrintable(icon),
                found ? "found" : "missing");
    if (!found) ++missing;
    list.addItem(new QListWidgetItem(QIcon::fromTheme(icon), name));
  }
  std::fflush(stdout);
  list.show();
  return missing == 0 ? app.exec() : 1;
}
