#pragma once
// The tabs of a page control in as many rows as their captions need, every
// caption whole, in place of the page control's own bar (which scrolls the
// tabs that do not fit). The row of the current tab lies next to the pages,
// as multi-row tabs do; the tabs of a row share its whole width.
#include <QWidget>
#include <vector>

class QTabWidget;

namespace lumbra::ui {

class RowTabBar final : public QWidget {
 public:
  // Shown above pages, whose own bar it hides.
  explicit RowTabBar(QTabWidget* pages, QWidget* parent = nullptr);

  int Count() const;
  // Where tab i lies in this widget.
  QRect TabRect(int i) const;
  int Rows() const { return fRows; }
  // The captions changed: lays the tabs out again.
  void Relayout();

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  QSize TabSize(int i) const;
  // Rows of tab indexes for a width, the current tab's row last.
  std::vector<std::vector<int>> Arrange(int width) const;

  QTabWidget* fPages;
  std::vector<QRect> fRects;
  int fRows = 1;
};

}  // namespace lumbra::ui
