#pragma once
#include <QPixmap>

namespace lumbra::ui {

// The six 16-by-16 status pictures, by index: 0 reader working, 1 badge in,
// 2 badge half in, 3 reader problem, 4 initial (no background), 5 read error.
QPixmap StatusPicture(int index);

}  // namespace lumbra::ui
