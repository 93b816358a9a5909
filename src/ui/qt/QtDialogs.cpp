#include "ui/qt/QtDialogs.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace lumbra::ui {

static QString Q(const std::string& s) { return QString::fromStdString(s); }

void QtMessageBox::Show(const std::string& text, const std::string& caption,
                        platform::MessageKind) {
  QMessageBox box(QMessageBox::NoIcon, Q(caption), Q(text), QMessageBox::Ok);
  box.setObjectName("TopMessage");
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.setStyleSheet("QMessageBox { background-color: rgb(162, 199, 219); }");
  box.exec();
}

bool RunPasswordDialog(app::TTkETPwdDlg& dlg) {
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

}  // namespace lumbra::ui
