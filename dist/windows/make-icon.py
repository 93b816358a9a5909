#!/usr/bin/env python3
# Writes lumbra.ico, the Windows program's icon, from the Linux icon
# (dist/linux/lumbra.svg): 16, 32 and 48 pixels as 32-bit bitmaps (read by
# every Windows and by Wine), 256 pixels as PNG. Needs rsvg-convert.
#   dist/windows/make-icon.py
import os
import struct
import subprocess
import zlib

here = os.path.dirname(os.path.abspath(__file__))
svg = os.path.join(here, '..', 'linux', 'lumbra.svg')


def png_of(size):
    return subprocess.run(['rsvg-convert', '-w', str(size), '-h', str(size), svg],
                          check=True, capture_output=True).stdout


def rgba_of(png):
    # rsvg-convert writes 8-bit RGBA, not interlaced.
    pos, idat, width, height = 8, b'', 0, 0
    while pos < len(png):
        n, kind = struct.unpack('>I4s', png[pos:pos + 8])
        data = png[pos + 8:pos + 8 + n]
        if kind == b'IHDR':
            width, height, depth, colour = struct.unpack('>IIBB', data[:10])
            assert depth == 8 and colour == 6, 'expected 8-bit RGBA'
        elif kind == b'IDAT':
            idat += data
        pos += 12 + n
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, rows


def bitmap_entry(size):
    w, h, rows = rgba_of(png_of(size))
    pixels = b''
    for line in reversed(rows):  # bottom-up, BGRA
        for x in range(w):
            r, g, b, a = line[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
    mask_stride = ((w + 31) // 32) * 4
    mask = b''
    for line in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(w):
            if line[4 * x + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


entries = [(s, bitmap_entry(s)) for s in (16, 32, 48)] + [(256, png_of(256))]
out = struct.pack('<HHH', 0, 1, len(entries))
offset = 6 + 16 * len(entries)
for size, data in entries:
    out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
for _, data in entries:
    out += data
with open(os.path.join(here, 'lumbra.ico'), 'wb') as f:
    f.write(out)
