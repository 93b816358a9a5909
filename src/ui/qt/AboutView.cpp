#include "ui/qt/AboutView.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/About.h"
#include "ui/qt/QtDialogs.h"
#include "ui/qt/TrayPictures.h"

namespace lumbra::ui {
namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// A label that acts as a link: underlined under the mouse, a click runs the model's handler.
class LinkLabel final : public QLabel {
 public:
  LinkLabel(app::TControl& c, bool bold, QWidget* parent)
      : QLabel(Q(c.Caption()), parent), fControl(c) {
    setObjectName(Q(c.Name()));
    setToolTip(Q(c.Hint()));
    setCursor(Qt::PointingHandCursor);
    QFont f = font();
    f.setBold(bold);
    setFont(f);
    setStyleSheet("color: navy;");
  }

 protected:
  void enterEvent(QEnterEvent*) override { SetUnderline(true); }
  void leaveEvent(QEvent*) override { SetUnderline(false); }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
      fControl.UserClick();
  }

 private:
  void SetUnderline(bool on) {
    QFont f = font();
    f.setUnderline(on);
    setFont(f);
  }
  app::TControl& fControl;
};

class AboutDialog final : public QDialog {
 public:
  AboutDialog(app::TfmAbout& model, QWidget* parent) : QDialog(parent), fModel(model) {}

 protected:
  // Keys reach the window before its controls.
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape) {
      fModel.FormKeyPress(27);
      if (fModel.ModalResult() == app::TModalResult::Ok) accept();
      return;
    }
    QDialog::keyPressEvent(e);
  }

 private:
  app::TfmAbout& fModel;
};

}  // namespace

void RunAboutDialog() {
  if (ModalWindowsEnded()) return;
  app::TfmAbout model(
      [](const std::string& address) { QDesktopServices::openUrl(QUrl(Q(address))); });
  model.FormCreate();
  model.FormShow();

  AboutDialog d(model, nullptr);
  d.setObjectName("fmAbout");
  d.setWindowTitle(Q(model.Form().Caption()));
  d.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  d.setFixedSize(328, 218);
  d.setStyleSheet("QDialog#fmAbout { background-color: rgb(221, 238, 255); }");

  auto* root = new QVBoxLayout(&d);
  auto* bevel = new QFrame(&d);
  bevel->setFrameShape(QFrame::Panel);
  bevel->setFrameShadow(QFrame::Sunken);
  auto* inner = new QVBoxLayout(bevel);
  inner->setSpacing(1);
  auto label = [&](const char* name, bool bold = false) {
    auto* l = new QLabel(Q(model.Controls[name].Caption()), bevel);
    l->setObjectName(name);
    if (bold) {
      QFont f = l->font();
      f.setBold(true);
      l->setFont(f);
    }
    return l;
  };
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(bevel);
  icon->setObjectName("Image1");
  icon->setPixmap(StatusPicture(0).scaled(32, 32));
  top->addWidget(icon);
  auto* names = new QVBoxLayout;
  names->addWidget(label("Label4", true));
  auto* version = new QHBoxLayout;
  version->addWidget(label("Label7"));
  version->addWidget(label("lbVer"));
  version->addStretch();
  names->addLayout(version);
  names->addWidget(label("lbBuild"));
  top->addLayout(names, 1);
  inner->addLayout(top);
  inner->addWidget(label("Label5"));
  inner->addWidget(label("Label8"));
  inner->addWidget(label("Label1"));
  inner->addWidget(new LinkLabel(model.Controls["Label3"], true, bevel));
  inner->addWidget(label("Label2"));
  inner->addWidget(new LinkLabel(model.Controls["Label6"], false, bevel));
  root->addWidget(bevel);

  auto* ok = new QPushButton(Q(model.Controls["XiButton4"].Caption()), &d);
  ok->setObjectName("XiButton4");
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &d, [&] {
    model.Controls["XiButton4"].UserClick();
    d.accept();
  });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  root->addLayout(buttons);
  d.exec();
}

}  // namespace lumbra::ui
