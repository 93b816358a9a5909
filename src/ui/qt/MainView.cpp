#include "ui/qt/MainView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>

#include "ui/qt/RowTabBar.h"
#include "ui/qt/TrayPictures.h"

namespace lumbra::ui {
namespace {

using app::ControlKind;
using app::TControl;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Colour values keep blue in the high byte.
QString CssColour(std::uint32_t c) {
  return QString("background-color: rgb(%1, %2, %3);")
      .arg(c & 0xFF)
      .arg((c >> 8) & 0xFF)
      .arg((c >> 16) & 0xFF);
}

}  // namespace

MainView::MainView(app::TTkEmuTasMain& model) : fModel(model) {
  setObjectName("TkEmuTasMain");
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);

  // Status panel.
  auto* status = new QFrame(this);
  status->setObjectName("PanMain");
  status->setFixedHeight(app::kStatusPanelHeight);
  auto* sl = new QHBoxLayout(status);
  sl->setContentsMargins(6, 4, 6, 4);
  auto* imgFrame = new QFrame(status);
  imgFrame->setFrameShape(QFrame::Box);
  imgFrame->setFixedSize(22, 22);
  fImage = new QLabel(imgFrame);
  fImage->setObjectName("ImgTes");
  fImage->setGeometry(3, 3, 16, 16);
  fIndicator = new QFrame(status);
  fIndicator->setObjectName("BadgeReader");
  fIndicator->setFrameShape(QFrame::Box);
  fIndicator->setFixedSize(16, 16);
  auto* pics = new QVBoxLayout;
  pics->addWidget(imgFrame);
  pics->addWidget(fIndicator, 0, Qt::AlignHCenter);
  sl->addLayout(pics);
  auto* labels = new QVBoxLayout;
  labels->addWidget(Bind("lbStatusReader", status));
  auto* tes = static_cast<QLabel*>(Bind("lbStatusTes", status));
  QFont bold = tes->font();
  bold.setBold(true);
  tes->setFont(bold);
  labels->addWidget(tes);
  sl->addLayout(labels, 1);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(Bind("XiButton1", status));
  buttons->addWidget(Bind("XiButton3", status));
  sl->addLayout(buttons);
  root->addWidget(status);

  // Settings panel with its five tabs.
  fOptions = new QFrame(this);
  fOptions->setObjectName("PanOpt");
  fOptions->setFixedHeight(app::kSettingsPanelHeight);
  auto* ol = new QVBoxLayout(fOptions);
  ol->setContentsMargins(2, 2, 2, 2);
  ol->setSpacing(0);
  fTabs = new QTabWidget(fOptions);
  fTabs->setObjectName("JvPageControl1");
  fTabs->addTab(BuildAdvancedTab(), Q(fModel.C("TabSheet3").Caption()));
  fTabs->addTab(BuildReadTab(), Q(fModel.C("TabSheet1").Caption()));
  for (int s = 1; s < 4; ++s) fTabs->addTab(BuildSoundTab(s), QString());
  const char* tabNames[] = {"TabSheet3", "TabSheet1", "TabSheet4", "TabSheet5", "TabSheet6"};
  for (int i = 0; i < 5; ++i) {
    TControl& tab = fModel.C(tabNames[i]);
    fTabs->setTabText(i, Q(tab.Caption()));
    tab.OnUpdate = [this, i](TControl& c) {
      fTabs->setTabText(i, Q(c.Caption()));
      fTabRows->Relayout();
    };
  }
  // The captions are long: in rows, whole, rather than scrolled.
  fTabRows = new RowTabBar(fTabs, fOptions);
  fTabRows->setObjectName("JvPageControl1.Tabs");
  ol->addWidget(fTabRows);
  ol->addWidget(fTabs);
  root->addWidget(fOptions);

  TControl& form = fModel.C("TkEmuTasMain");
  setWindowTitle(Q(form.Caption()));
  form.OnUpdate = [this](TControl& c) { setWindowTitle(Q(c.Caption())); };

  // Tray icon and its menu.
  fMenu = new QMenu(this);
  for (const char* item : {"Apri1", "N1", "Aiuto1", "N2", "erminagestionelettore1"}) {
    TControl& c = fModel.C(item);
    if (c.Caption() == "-") {
      fMenu->addSeparator();
      continue;
    }
    QAction* a = fMenu->addAction(Q(c.Caption()));
    a->setObjectName(item);
    connect(a, &QAction::triggered, this, [this, &c] { fModel.Perform([&c] { c.UserClick(); }); });
    c.OnUpdate = [a](TControl& m) { a->setText(Q(m.Caption())); };
  }
  fTray = new QSystemTrayIcon(this);
  fTray->setContextMenu(fMenu);
  connect(fTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) fModel.Perform([this] { fModel.Apri1Click(); });
  });
  fTray->setIcon(fPictures.Icon(fModel.StatusImage()));
  fTray->show();

  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  Refresh();
}

MainView::~MainView() {
  // The model outlives the widgets: stop it from calling into them.
  for (const auto& c : fModel.Controls.All()) c->OnUpdate = nullptr;
}

QWidget* MainView::Bind(const std::string& name, QWidget* parent) {
  TControl& c = fModel.C(name);
  auto perform = [this](std::function<void()> f) { fModel.Perform(f); };
  QWidget* w = nullptr;
  std::function<void(TControl&)> follow;
  switch (c.Kind()) {
    case ControlKind::Label: {
      auto* l = new QLabel(Q(c.Caption()), parent);
      follow = [l](TControl& m) { l->setText(Q(m.Caption())); };
      w = l;
      break;
    }
    case ControlKind::Button:
    case ControlKind::CheckBox:
    case ControlKind::RadioButton: {
      QAbstractButton* b;
      if (c.Kind() == ControlKind::Button) {
        b = new QPushButton(Q(c.Caption()), parent);
      } else if (c.Kind() == ControlKind::CheckBox) {
        b = new QCheckBox(Q(c.Caption()), parent);
      } else {
        auto* r = new QRadioButton(Q(c.Caption()), parent);
        r->setAutoExclusive(false);  // the model keeps the group exclusive
        b = r;
      }
      bool checkable = c.Kind() != ControlKind::Button;
      if (checkable) b->setChecked(c.Checked());
      connect(b, &QAbstractButton::clicked, this, [perform, &c, b, checkable] {
        // The model decides the check state; a radio button clicked twice stays checked.
        if (checkable) b->setChecked(c.Checked());
        perform([&c] { c.UserClick(); });
      });
      follow = [b, checkable](TControl& m) {
        b->setText(Q(m.Caption()));
        if (checkable) b->setChecked(m.Checked());
      };
      w = b;
      break;
    }
    case ControlKind::Edit: {
      auto* e = new QLineEdit(Q(c.Text()), parent);
      connect(e, &QLineEdit::textEdited, this, [perform, &c](const QString& t) {
        perform([&c, s = t.toStdString()] { c.UserSetText(s); });
      });
      follow = [e](TControl& m) {
        if (e->text().toStdString() != m.Text()) e->setText(Q(m.Text()));
      };
      w = e;
      break;
    }
    case ControlKind::SpinEdit: {
      auto* s = new QSpinBox(parent);
      if (c.MaxValue() > c.MinValue())
        s->setRange(c.MinValue(), c.MaxValue());
      else
        s->setRange(INT_MIN, INT_MAX);
      s->setValue(c.Value());
      connect(s, &QSpinBox::valueChanged, this,
              [perform, &c](int v) { perform([&c, v] { c.UserSetText(std::to_string(v)); }); });
      follow = [s](TControl& m) { s->setValue(m.Value()); };
      w = s;
      break;
    }
    case ControlKind::ComboBox: {
      auto* b = new QComboBox(parent);
      follow = [b](TControl& m) {
        QStringList items;
        for (const auto& i : m.Items()) items << Q(i);
        QStringList now;
        for (int i = 0; i < b->count(); ++i) now << b->itemText(i);
        if (now != items) {
          b->clear();
          b->addItems(items);
        }
        b->setCurrentIndex(m.ItemIndex());
      };
      follow(c);
      connect(b, &QComboBox::activated, this,
              [perform, &c](int i) { perform([&c, i] { c.UserSelect(i); }); });
      w = b;
      break;
    }
    case ControlKind::Panel:
      w = new QFrame(parent);
      break;
    default:
      return new QWidget(parent);
  }
  w->setObjectName(Q(c.Name()));
  w->setEnabled(c.Enabled());
  w->setToolTip(Q(c.Hint()));
  // Everything the model may change later (a new language among others) follows it.
  c.OnUpdate = [w, follow](TControl& m) {
    QSignalBlocker block(w);
    if (follow) follow(m);
    w->setToolTip(Q(m.Hint()));
    w->setEnabled(m.Enabled());
  };
  return w;
}

QWidget* MainView::BuildAdvancedTab() {
  auto* tab = new QWidget;
  auto* g = new QGridLayout(tab);
  g->addWidget(Bind("lbModel", tab), 0, 0);
  g->addWidget(Bind("cbModel", tab), 0, 1);
  g->addWidget(Bind("lbCom", tab), 1, 0);
  g->addWidget(Bind("cbCom", tab), 1, 1);
  g->addWidget(Bind("ckAvvioAutomatico", tab), 2, 0, 1, 2);
  g->addWidget(Bind("lbLingua", tab), 3, 0);
  g->addWidget(Bind("cbLingua", tab), 3, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(Bind("XiButton2", tab));
  row->addWidget(Bind("XiButton4", tab));
  row->addStretch();
  g->addLayout(row, 4, 0, 1, 2);
  g->setRowStretch(5, 1);
  return tab;
}

QWidget* MainView::BuildReadTab() {
  auto* tab = new QWidget;
  auto* v = new QVBoxLayout(tab);
  // Close together: the tabs' rows above take part of the panel's height.
  v->setContentsMargins(4, 0, 4, 0);
  v->setSpacing(1);
  auto* pre = new QHBoxLayout;
  pre->addWidget(Bind("lbPreChar", tab));
  pre->addWidget(Bind("cbPreChar", tab), 1);
  v->addLayout(pre);
  auto* g = new QGridLayout;
  g->setVerticalSpacing(1);
  g->addWidget(Bind("lbDa", tab), 0, 1);
  g->addWidget(Bind("lbNCarat", tab), 0, 2);
  g->addWidget(Bind("lbSeguito", tab), 0, 3);
  g->addWidget(Bind("lbAllineam", tab), 0, 4);
  const char* rows[3][5] = {{"CheckBox1", "SpinEdit1", "SpinEdit2", "ComboBox1", "eAll1"},
                            {"CheckBox2", "SpinEdit3", "SpinEdit4", "ComboBox2", "eAll2"},
                            {"CheckBox3", "SpinEdit5", "SpinEdit6", "ComboBox3", "eAll3"}};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 5; ++k) g->addWidget(Bind(rows[r][k], tab), r + 1, k);
  v->addLayout(g);
  v->addWidget(Bind("ckSoundTes", tab));
  QWidget* panel = Bind("PanSoundTes", tab);
  v->addWidget(panel);
  auto* pl = new QGridLayout(panel);
  pl->setContentsMargins(0, 0, 0, 0);
  pl->setVerticalSpacing(1);
  pl->addWidget(Bind("rbBeeptes", panel), 0, 0);
  pl->addWidget(Bind("SpeedButton3", panel), 0, 2);
  pl->addWidget(Bind("rbSoundTes", panel), 1, 0);
  pl->addWidget(Bind("eSoundTes", panel), 1, 1);
  pl->addWidget(Bind("btSoundTes", panel), 1, 2);
  v->addStretch();
  return tab;
}

QWidget* MainView::BuildSoundTab(int slot) {
  static const char* names[4][7] = {
      {"ckSoundTes", "PanSoundTes", "rbBeeptes", "rbSoundTes", "eSoundTes", "btSoundTes",
       "SpeedButton3"},
      {"ckSoundErrTes", "panSoundErrtes", "rbBeepErrTes", "rbSoundErrTes", "eSoundErrTes",
       "btSoundErrTes", "SpeedButton1"},
      {"ckSoundErrReader", "panSoundErrReader", "rbBeepErrReader", "rbSoundErrReader",
       "eSoundErrReader", "btSoundErrReader", "SpeedButton2"},
      {"ckSoundExitTes", "PanSoundExitTes", "rbBeepExitTes", "rbSoundExittes", "eSoundExitTes",
       "btSoundExitTes", "SpeedButton4"}};
  static const char* messages[4] = {nullptr, "ckMsgErrTes", "ckMsgErrReader", nullptr};
  auto* tab = new QWidget;
  auto* v = new QVBoxLayout(tab);
  v->addWidget(Bind(names[slot][0], tab));
  QWidget* panel = Bind(names[slot][1], tab);
  auto* pl = new QGridLayout(panel);
  pl->addWidget(Bind(names[slot][2], panel), 0, 0);
  pl->addWidget(Bind(names[slot][6], panel), 0, 2);
  pl->addWidget(Bind(names[slot][3], panel), 1, 0);
  pl->addWidget(Bind(names[slot][4], panel), 1, 1);
  pl->addWidget(Bind(names[slot][5], panel), 1, 2);
  v->addWidget(panel);
  if (messages[slot] != nullptr) v->addWidget(Bind(messages[slot], tab));
  v->addStretch();
  return tab;
}

void MainView::Refresh() {
  using View = app::TTkEmuTasMain::TView;
  fOptions->setVisible(fModel.View() == View::Settings);
  setFixedSize(app::kClientWidth, fModel.ClientHeight());
  // Pictures change only with the status image, and always to the same
  // picture for the same image (see StatusPictures).
  const int image = fModel.StatusImage();
  const bool newImage = image != fShownImage;
  fShownImage = image;
  if (newImage) fImage->setPixmap(fPictures.Picture(image));
  fIndicator->setStyleSheet(CssColour(fModel.BadgeReader().Color()));
  if (fTray != nullptr) {
    if (newImage) fTray->setIcon(fPictures.Icon(image));
    // The tooltip is one text of two lines: reader status, then badge status.
    fTray->setToolTip(Q(fModel.TrayHint()).replace("\r\n", "\n"));
  }
  if (fModel.Terminated()) {
    if (!fQuitting) {
      fQuitting = true;
      hide();
      // Leave the loop after the current handler has returned.
      QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
  } else if (fModel.Visible()) {
    if (!isVisible() || isMinimized()) {
      showNormal();
      raise();
      activateWindow();
    }
  } else if (isVisible()) {
    // Without a notification area a hidden window could not be reached again:
    // the taskbar keeps it instead.
    if (TrayAvailable())
      hide();
    else if (!isMinimized())
      showMinimized();
  }
  if (OnRefreshed) OnRefreshed();
}

bool MainView::TrayAvailable() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainView::BringForward() {
  fModel.Perform([this] {
    if (!fModel.Visible()) fModel.Apri1Click();
  });
  if (fModel.Terminated()) return;
  showNormal();
  raise();
  activateWindow();
}

void MainView::closeEvent(QCloseEvent* e) {
  if (fQuitting) {
    e->accept();
    return;
  }
  e->ignore();
  fModel.Perform([this] { fModel.FormCloseQuery(); });
}

void MainView::changeEvent(QEvent* e) {
  // Minimising hides the window into the notification area (or, without one,
  // leaves it in the taskbar, closed to the compact view); restoring it from
  // the taskbar opens it again.
  if (e->type() == QEvent::WindowStateChange && !fQuitting) {
    if (isMinimized() && fModel.Visible())
      QTimer::singleShot(0, this, [this] { fModel.Perform([this] { fModel.FormCloseQuery(); }); });
    else if (!isMinimized() && isVisible() && !fModel.Visible())
      QTimer::singleShot(0, this, [this] {
        if (!isMinimized() && isVisible() && !fModel.Visible())
          fModel.Perform([this] { fModel.Apri1Click(); });
      });
  }
  QWidget::changeEvent(e);
}

}  // namespace lumbra::ui
