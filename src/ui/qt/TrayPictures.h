#pragma once
#include <QIcon>
#include <QPixmap>
#include <map>

namespace lumbra::ui {

// The six 16-by-16 status pictures, by index: 0 reader working, 1 badge in,
// 2 badge half in, 3 reader problem, 4 initial (no background), 5 read error.
QPixmap StatusPicture(int index);

// Each status picture drawn once, with its icon, for the life of a view. Qt
// keeps an icon's painted copies in its pixmap cache under the picture's
// identity: a picture drawn anew at every change of status (three per badge
// on a reader that reports the badge going in and out) would leave one more
// copy there each time, and the program would grow all day.
class StatusPictures {
 public:
  const QPixmap& Picture(int index) { return Drawn(index).picture; }
  const QIcon& Icon(int index) { return Drawn(index).icon; }

 private:
  struct Entry {
    QPixmap picture;
    QIcon icon;
  };
  Entry& Drawn(int index);
  std::map<int, Entry> fDrawn;
};

}  // namespace lumbra::ui
