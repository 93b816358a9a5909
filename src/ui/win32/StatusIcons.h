#pragma once
// The six status pictures as icons, by index: 0 reader working, 1 badge in,
// 2 badge half in, 3 reader problem, 4 initial (no background), 5 read error.
// Drawn on a grid of 16 by 16 and at the size of a small icon of the display
// (24 pixels at 144 dpi), every shape on whole pixels so that none is blurred.
// Drawn once per size and shared by the tray and the window: a picture made
// anew at every change of status would cost the process one more GDI object
// per badge.
#include <windows.h>

#include <array>
#include <cstdint>
#include <vector>

namespace lumbra::ui::win32 {

// The picture's size by size pixels, top row first, as 0xAARRGGBB (alpha 0:
// transparent).
std::vector<std::uint32_t> StatusPixels(int index, int size = 16);

class StatusIcons {
 public:
  explicit StatusIcons(int size = 16);
  ~StatusIcons();
  StatusIcons(const StatusIcons&) = delete;
  StatusIcons& operator=(const StatusIcons&) = delete;
  // The icon of index; that of the initial picture for an index out of range.
  HICON Icon(int index) const;
  int Size() const { return fSize; }
  // Draws the set again at another size.
  void SetSize(int size);

 private:
  void Release();
  int fSize = 0;
  std::array<HICON, 6> fIcons{};
};

// An icon of size by size pixels (0xAARRGGBB, top row first); the caller destroys it.
HICON IconFromPixels(const std::uint32_t* pixels, int size);

}  // namespace lumbra::ui::win32
