#pragma once
// The six 16-by-16 status pictures as icons, by index: 0 reader working,
// 1 badge in, 2 badge half in, 3 reader problem, 4 initial (no background),
// 5 read error. Drawn once for the life of the set and shared by the tray and
// the window: a picture made anew at every change of status would cost the
// process one more GDI object per badge.
#include <windows.h>

#include <array>
#include <cstdint>

namespace lumbra::ui::win32 {

// The picture's pixels, top row first, as 0xAARRGGBB (alpha 0: transparent).
std::array<std::uint32_t, 16 * 16> StatusPixels(int index);

class StatusIcons {
 public:
  StatusIcons();
  ~StatusIcons();
  StatusIcons(const StatusIcons&) = delete;
  StatusIcons& operator=(const StatusIcons&) = delete;
  // The icon of index; that of the initial picture for an index out of range.
  HICON Icon(int index) const;

 private:
  std::array<HICON, 6> fIcons{};
};

// An icon of 16 by 16 pixels (0xAARRGGBB, top row first); the caller destroys it.
HICON IconFromPixels(const std::uint32_t* pixels, int size);

}  // namespace lumbra::ui::win32
