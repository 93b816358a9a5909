#include "ui/win32/StatusIcons.h"

#include <algorithm>

namespace lumbra::ui::win32 {
namespace {

constexpr std::uint32_t Rgb(int r, int g, int b) {
  return 0xFF000000u | static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 |
         static_cast<std::uint32_t>(b);
}

}  // namespace

std::vector<std::uint32_t> StatusPixels(int index, int size) {
  if (size < 1) size = 16;
  std::vector<std::uint32_t> px(static_cast<size_t>(size) * static_cast<size_t>(size), 0);
  // A rectangle of the 16-unit grid, its edges on the nearest whole pixels.
  auto edge = [size](int units) { return (units * size + 8) / 16; };
  auto fill = [&](int x, int y, int w, int h, std::uint32_t c) {
    const int right = std::max(edge(x + w), edge(x) + 1), bottom = std::max(edge(y + h), edge(y) + 1);
    for (int j = edge(y); j < bottom && j < size; ++j)
      for (int i = edge(x); i < right && i < size; ++i)
        px[static_cast<size_t>(j) * static_cast<size_t>(size) + static_cast<size_t>(i)] = c;
  };
  const std::uint32_t green = Rgb(0, 170, 60), red = Rgb(210, 30, 30);
  if (index != 4) fill(0, 0, 16, 16, index == 3 ? red : green);
  // The reader: a dark body with a slot along its top, and its lamp.
  fill(2, 8, 12, 6, Rgb(40, 40, 48));
  fill(3, 8, 10, 1, Rgb(150, 150, 160));
  fill(11, 11, 2, 2, Rgb(255, 210, 0));
  if (index == 1 || index == 2) {
    // A white card standing in the slot, deep or half out, with a grey edge.
    int top = index == 1 ? 4 : 1;
    int h = 8 - top + (index == 1 ? 0 : 1);
    fill(4, top, 9, h + 1, Rgb(90, 90, 90));
    fill(5, top + 1, 7, h - 1, Rgb(255, 255, 255));
    fill(5, top + 1, 6, 1, Rgb(30, 60, 160));  // its stripe
  }
  if (index == 5) {
    fill(7, 1, 2, 4, red);
    fill(7, 6, 2, 1, red);
  }
  return px;
}

HICON IconFromPixels(const std::uint32_t* pixels, int size) {
  BITMAPV5HEADER bi{};
  bi.bV5Size = sizeof(bi);
  bi.bV5Width = size;
  bi.bV5Height = -size;  // top row first
  bi.bV5Planes = 1;
  bi.bV5BitCount = 32;
  bi.bV5Compression = BI_BITFIELDS;
  bi.bV5RedMask = 0x00FF0000;
  bi.bV5GreenMask = 0x0000FF00;
  bi.bV5BlueMask = 0x000000FF;
  bi.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (colour == nullptr) return nullptr;
  const size_t n = static_cast<size_t>(size) * static_cast<size_t>(size);
  auto* out = static_cast<std::uint32_t*>(bits);
  // The alpha channel says what is transparent; the mask says it too, for
  // whoever draws the icon without alpha.
  const int stride = ((size + 15) / 16) * 2;
  std::vector<BYTE> mask(static_cast<size_t>(stride * size), 0);
  for (size_t i = 0; i < n; ++i) {
    std::uint32_t p = pixels[i];
    // Premultiplied is not wanted here: the icon's colour bitmap is straight alpha.
    out[i] = p;
    if ((p >> 24) == 0) {
      int x = static_cast<int>(i) % size, y = static_cast<int>(i) / size;
      mask[static_cast<size_t>(y * stride + x / 8)] |= static_cast<BYTE>(0x80 >> (x % 8));
    }
  }
  HBITMAP monochrome = CreateBitmap(size, size, 1, 1, mask.data());
  ICONINFO ii{};
  ii.fIcon = TRUE;
  ii.hbmColor = colour;
  ii.hbmMask = monochrome;
  HICON icon = CreateIconIndirect(&ii);
  DeleteObject(colour);
  DeleteObject(monochrome);
  return icon;
}

StatusIcons::StatusIcons(int size) {
  SetSize(size);
}

StatusIcons::~StatusIcons() {
  Release();
}

void StatusIcons::SetSize(int size) {
  if (size == fSize) return;
  Release();
  fSize = size;
  for (int i = 0; i < 6; ++i) {
    auto px = StatusPixels(i, size);
    fIcons[static_cast<size_t>(i)] = IconFromPixels(px.data(), size);
  }
}

void StatusIcons::Release() {
  for (HICON& icon : fIcons) {
    if (icon != nullptr) DestroyIcon(icon);
    icon = nullptr;
  }
}

HICON StatusIcons::Icon(int index) const {
  if (index < 0 || index >= 6) index = 4;
  return fIcons[static_cast<size_t>(index)];
}

}  // namespace lumbra::ui::win32
