#!/usr/bin/env python3
"""Draws the control library's pictures: a 32 x 32 16-colour icon (a blue disc with a white
arrow pointing up: "a newer version"), a 16 x 16 globe icon for the About box's web frame,
and the 16 x 15 24-bit toolbox bitmap. Run once; the outputs are checked in."""
import math
import struct

# The standard 16-colour palette (index: (r, g, b)).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
TRANSPARENT = None


def disc(size, colour):
    """A disc filling a square of `size` pixels, row 0 at the top: each pixel inside it gets
    colour(dx, dy, d, r) by its offset from the centre, its distance d and the radius r."""
    c = (size - 1) / 2
    r = size / 2 - 0.5
    px = [[TRANSPARENT] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d <= r:
                px[y][x] = colour(x - c, y - c, d, r)
    return px


def update_picture(size):
    """Pixels (palette index or None) of the update picture, row 0 at the top."""
    # A dark rim around a bright blue disc.
    px = disc(size, lambda dx, dy, d, r: 4 if d > r - 1.5 else 12)
    s = size / 32
    # Arrow: a triangle head and a shaft, white.
    for y in range(size):
        for x in range(size):
            yy, xx = y / s, x / s
            head = 6 <= yy <= 16 and abs(xx - 15.5) <= (yy - 6) * 0.9
            shaft = 16 <= yy <= 25 and abs(xx - 15.5) <= 3
            if (head or shaft) and px[y][x] is not None:
                px[y][x] = 15
    return px


def globe_colour(dx, dy, d, r):
    if d > r - 1:
        return 4  # rim
    if abs(dx) < 0.6 or abs(dy) < 0.6 or abs(d - r * 0.55) < 0.5:
        return 10  # meridian, equator and a parallel
    return 6


def globe_picture(size):
    return disc(size, globe_colour)


def ico_4bpp(px):
    size = len(px)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    andm = bytearray()
    for y in reversed(range(size)):  # bottom-up rows
        row = bytearray(xor_stride)
        mrow = bytearray(and_stride)
        for x in range(size):
            v = px[y][x]
            idx = 0 if v is None else v
            if x % 2 == 0:
                row[x // 2] |= idx << 4
            else:
                row[x // 2] |= idx
            if v is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
        xor += row
        andm += mrow
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(andm),
                         0, 0, 16, 0)
    pal = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + pal + bytes(xor) + bytes(andm)
    icondir = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', size % 256, size % 256, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def bmp_24(px, width, height):
    stride = ((width * 3 + 3) // 4) * 4
    data = bytearray()
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            v = px[y][x] if y < len(px) and x < len(px[0]) else None
            r, g, b = (192, 192, 192) if v is None else PALETTE[v]
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        data += row
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    file_header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(data), 0, 0, 14 + 40)
    return file_header + info + bytes(data)


if __name__ == '__main__':
    open('orvane.ico', 'wb').write(ico_4bpp(update_picture(32)))
    open('web.ico', 'wb').write(ico_4bpp(globe_picture(16)))
    open('toolbox.bmp', 'wb').write(bmp_24(update_picture(16)[:15], 16, 15))
