#include "ui/qt/TrayPictures.h"

#include <QPainter>
#include <QPainterPath>
#include <utility>

namespace lumbra::ui {

QPixmap StatusPicture(int index) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QColor green(0, 170, 60), red(210, 30, 30);
  if (index != 4) p.fillRect(0, 0, 16, 16, index == 3 ? red : green);

  // The reader: a dark body with a slot along its top.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 40, 48));
  p.drawRect(2, 8, 12, 6);
  p.setBrush(QColor(150, 150, 160));
  p.drawRect(3, 8, 10, 1);
  p.setBrush(QColor(255, 210, 0));
  p.drawRect(11, 11, 2, 2);  // its lamp

  if (index == 1 || index == 2) {
    // A white card standing in the slot, deep or half out.
    int top = index == 1 ? 4 : 1;
    p.setBrush(Qt::white);
    p.setPen(QColor(90, 90, 90));
    p.drawRect(4, top, 8, 8 - top + (index == 1 ? 0 : 1));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 60, 160));
    p.drawRect(5, top + 1, 6, 1);  // its stripe
  }
  if (index == 5) {
    p.setBrush(red);
    p.drawRect(7, 1, 2, 4);
    p.drawRect(7, 6, 2, 1);
  }
  return pm;
}

StatusPictures::Entry& StatusPictures::Drawn(int index) {
  auto it = fDrawn.find(index);
  if (it == fDrawn.end()) {
    QPixmap pm = StatusPicture(index);
    QIcon icon(pm);
    it = fDrawn.emplace(index, Entry{std::move(pm), std::move(icon)}).first;
  }
  return it->second;
}

}  // namespace lumbra::ui
