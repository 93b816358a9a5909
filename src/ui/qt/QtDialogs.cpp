#include "ui/qt/QtDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>
#include <QVBoxLayout>
#include <cstdio>

#include "app/uLocalize.h"

namespace lumbra::ui {

static QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

static bool gModalWindowsEnded = false;

void EndModalWindows() {
  gModalWindowsEnded = true;
  // Each rejected window leaves its own loop as soon as control gets back to it.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
}

bool ModalWindowsEnded() {
  return gModalWindowsEnded;
}

void QtMessageBox::Show(const std::string& text, const std::string& caption,
                        platform::MessageKind) {
  if (gModalWindowsEnded) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, Q(caption), Q(text), QMessageBox::Ok);
  box.setObjectName("TopMessage");
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.setStyleSheet("QMessageBox { background-color: rgb(162, 199, 219); }");
  box.exec();
}

bool RunPasswordDialog(app::TTkETPwdDlg& dlg) {
  if (gModalWindowsEnded) return false;
  QDialog d;
  d.setObjectName("TkETPwdDlg");
  d.setWindowTitle(Q(dlg.Form().Caption()));
  d.setFixedSize(233, 111);
  auto* layout = new QVBoxLayout(&d);
  auto* prompt = new QLabel(Q(dlg.Prompt().Caption()), &d);
  prompt->setWordWrap(true);
  auto* entry = new QLineEdit(Q(dlg.Entry().Text()), &d);
  entry->setEchoMode(QLineEdit::Password);
  auto* ok = new QPushButton(Q(dlg.Controls["XiButton3"].Caption()), &d);
  auto* cancel = new QPushButton(Q(dlg.Controls["XiButton1"].Caption()), &d);
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &d, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, &d, &QDialog::reject);  // Escape too
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addWidget(prompt);
  layout->addWidget(entry);
  layout->addLayout(buttons);
  entry->setFocus();
  d.setWindowFlag(Qt::WindowStaysOnTopHint);
  bool accepted = d.exec() == QDialog::Accepted;
  dlg.Entry().SetText(entry->text().toStdString());
  return accepted;
}

bool BrowseFile(const std::string& title, const std::string& filter, std::string& fileName) {
  if (gModalWindowsEnded) return false;
  QStringList parts = Q(filter).split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    filters << QString("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(';', ' '));
  // The dialog's own texts (buttons, columns) in the program's language, as far
  // as the toolkit has them.
  static const char* const kToolkitLanguages[] = {"en", "it", "es"};
  QTranslator toolkit;
  int language = app::CurrentLanguage();
  bool translated = language >= 0 && language < 3 &&
                    toolkit.load(QString("qtbase_") + kToolkitLanguages[language],
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
                    QCoreApplication::installTranslator(&toolkit);
  QFileDialog d;
  d.setObjectName("SoundDlg");
  if (!title.empty()) d.setWindowTitle(Q(title));
  d.setFileMode(QFileDialog::ExistingFile);  // the path and the file must exist
  d.setAcceptMode(QFileDialog::AcceptOpen);
  d.setNameFilters(filters);
  d.setSizeGripEnabled(true);
  if (!fileName.empty()) {
    QFileInfo initial(Q(fileName));
    d.setDirectory(initial.absolutePath());
    d.selectFile(initial.fileName());
  }
  d.setWindowFlag(Qt::WindowStaysOnTopHint);
  bool chosen = d.exec() == QDialog::Accepted && !d.selectedFiles().isEmpty();
  if (translated) QCoreApplication::removeTranslator(&toolkit);
  if (!chosen) return false;
  fileName = QFileInfo(d.selectedFiles().first()).absoluteFilePath().toStdString();
  return true;
}

}  // namespace lumbra::ui
