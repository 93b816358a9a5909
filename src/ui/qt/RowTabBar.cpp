#include "ui/qt/RowTabBar.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>

namespace lumbra::ui {

RowTabBar::RowTabBar(QTabWidget* pages, QWidget* parent) : QWidget(parent), fPages(pages) {
  fPages->tabBar()->hide();
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  connect(fPages, &QTabWidget::currentChanged, this, [this] { Relayout(); });
}

int RowTabBar::Count() const {
  return fPages->count();
}

QRect RowTabBar::TabRect(int i) const {
  return i >= 0 && static_cast<size_t>(i) < fRects.size() ? fRects[static_cast<size_t>(i)]
                                                           : QRect();
}

// As the page control's own bar measures a tab (the caption, the style's
// spacing beside it, then the style's frame), but with little room above and
// below: several rows of tabs take their height from the pages.
QSize RowTabBar::TabSize(int i) const {
  QStyleOptionTab opt;
  opt.initFrom(this);
  opt.shape = QTabBar::RoundedNorth;
  opt.text = fPages->tabText(i);
  const QSize text = fontMetrics().size(Qt::TextShowMnemonic, opt.text);
  const QSize content(text.width() + style()->pixelMetric(QStyle::PM_TabBarTabHSpace, &opt, this),
                      text.height() + 4);
  return style()->sizeFromContents(QStyle::CT_TabBarTab, &opt, content, this);
}

std::vector<std::vector<int>> RowTabBar::Arrange(int width) const {
  std::vector<std::vector<int>> rows;
  int used = 0;
  for (int i = 0; i < Count(); ++i) {
    const int w = TabSize(i).width();
    if (rows.empty() || (used + w > width && !rows.back().empty())) {
      rows.emplace_back();
      used = 0;
    }
    rows.back().push_back(i);
    used += w;
  }
  const int current = fPages->currentIndex();
  auto at = std::find_if(rows.begin(), rows.end(), [current](const std::vector<int>& r) {
    return std::find(r.begin(), r.end(), current) != r.end();
  });
  if (at != rows.end()) std::rotate(at, at + 1, rows.end());
  return rows;
}

void RowTabBar::Relayout() {
  fRects.assign(static_cast<size_t>(Count()), QRect());
  const auto rows = Arrange(width());
  int height = 0;
  for (int i = 0; i < Count(); ++i) height = std::max(height, TabSize(i).height());
  int y = 0;
  for (const auto& row : rows) {
    int natural = 0;
    for (int i : row) natural += TabSize(i).width();
    // The room left over is shared out, so that the row ends at the edge.
    const int spare = std::max(0, width() - natural);
    const int n = static_cast<int>(row.size());
    int x = 0;
    for (int k = 0; k < n; ++k) {
      const int i = row[static_cast<size_t>(k)];
      const int w = k + 1 == n ? width() - x : TabSize(i).width() + spare / n;
      fRects[static_cast<size_t>(i)] = QRect(x, y, w, height);
      x += w;
    }
    y += height;
  }
  const int rowCount = std::max<int>(1, static_cast<int>(rows.size()));
  if (rowCount != fRows) {
    fRows = rowCount;
    updateGeometry();
  }
  update();
}

QSize RowTabBar::sizeHint() const {
  int height = 0;
  for (int i = 0; i < Count(); ++i) height = std::max(height, TabSize(i).height());
  return {width() > 0 ? width() : 100, height * fRows};
}

QSize RowTabBar::minimumSizeHint() const {
  return sizeHint();
}

void RowTabBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int current = fPages->currentIndex();
  // The current tab last: it overlaps its neighbours, as a selected tab does.
  std::vector<int> order;
  for (int i = 0; i < Count(); ++i)
    if (i != current) order.push_back(i);
  if (current >= 0 && current < Count()) order.push_back(current);
  for (int i : order) {
    QStyleOptionTab opt;
    opt.initFrom(this);
    opt.shape = QTabBar::RoundedNorth;
    opt.text = fPages->tabText(i);
    opt.rect = fRects[static_cast<size_t>(i)];
    opt.position = QStyleOptionTab::Middle;
    const bool first = opt.rect.left() == 0, last = opt.rect.right() == width() - 1;
    if (first && last)
      opt.position = QStyleOptionTab::OnlyOneTab;
    else if (first)
      opt.position = QStyleOptionTab::Beginning;
    else if (last)
      opt.position = QStyleOptionTab::End;
    if (i == current)
      opt.state |= QStyle::State_Selected;
    else
      opt.state &= ~QStyle::State_Selected;
    if (i == current && hasFocus())
      opt.state |= QStyle::State_HasFocus;
    else
      opt.state &= ~QStyle::State_HasFocus;
    style()->drawControl(QStyle::CE_TabBarTab, &opt, &p, this);
  }
}

void RowTabBar::mousePressEvent(QMouseEvent* e) {
  for (int i = 0; i < Count(); ++i)
    if (fRects[static_cast<size_t>(i)].contains(e->position().toPoint())) {
      fPages->setCurrentIndex(i);
      return;
    }
  QWidget::mousePressEvent(e);
}

void RowTabBar::keyPressEvent(QKeyEvent* e) {
  const int step = e->key() == Qt::Key_Left ? -1 : e->key() == Qt::Key_Right ? 1 : 0;
  if (step == 0 || Count() == 0) return QWidget::keyPressEvent(e);
  fPages->setCurrentIndex((fPages->currentIndex() + step + Count()) % Count());
}

void RowTabBar::resizeEvent(QResizeEvent*) {
  Relayout();
}

void RowTabBar::changeEvent(QEvent* e) {
  if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) Relayout();
  QWidget::changeEvent(e);
}

}  // namespace lumbra::ui
