#!/usr/bin/env python3
"""Draws the editor's icons and writes them as .ico files (32-bit images with alpha).

app.ico  the editor: a page of update information with an arrow pointing up (32 and 16 px)
web.ico  the "On the Web" picture of the About box: a globe (16 px)

Run it from this folder after changing a drawing; the .ico files are checked in.
"""
import math
import struct

SS = 4  # supersampling per axis, for smooth edges


def blend(dst, src):
    """src over dst, both (r, g, b, a) with components 0..1."""
    sr, sg, sb, sa = src
    dr, dg, db, da = dst
    a = sa + da * (1 - sa)
    if a == 0:
        return (0, 0, 0, 0)
    f = lambda s, d: (s * sa + d * da * (1 - sa)) / a
    return (f(sr, dr), f(sg, dg), f(sb, db), a)


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]

    def fill(self, inside, color):
        """Paints `color` with coverage = share of sub-samples for which inside(x, y) holds.
        Coordinates are in a 0..1 square so one drawing serves every size."""
        n = self.size
        for py in range(n):
            for px in range(n):
                hits = 0
                for sy in range(SS):
                    for sx in range(SS):
                        x = (px + (sx + 0.5) / SS) / n
                        y = (py + (sy + 0.5) / SS) / n
                        hits += inside(x, y)
                if hits:
                    r, g, b = color
                    self.px[py][px] = blend(self.px[py][px], (r, g, b, hits / (SS * SS)))

    def ico_image(self):
        n = self.size
        header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
        rows = []
        for y in reversed(range(n)):  # bottom-up DIB
            row = b""
            for x in range(n):
                r, g, b, a = self.px[y][x]
                row += bytes((round(b * 255), round(g * 255), round(r * 255), round(a * 255)))
            rows.append(row)
        mask_row = ((n + 31) // 32) * 4
        mask = bytes(mask_row * n)  # alpha decides; the AND mask stays clear
        return header + b"".join(rows) + mask


def write_ico(path, canvases):
    images = [c.ico_image() for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, img in zip(canvases, images):
        dim = c.size % 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def polygon(points):
    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return inside


def app_icon(size):
    c = Canvas(size)
    # The page with a folded corner.
    page = polygon([(0.16, 0.04), (0.64, 0.04), (0.84, 0.24), (0.84, 0.96), (0.16, 0.96)])
    border = polygon([(0.12, 0.0), (0.66, 0.0), (0.88, 0.22), (0.88, 1.0), (0.12, 1.0)])
    c.fill(border, (0.25, 0.30, 0.40))
    c.fill(page, (1.0, 1.0, 1.0))
    c.fill(polygon([(0.62, 0.04), (0.84, 0.26), (0.62, 0.26)]), (0.78, 0.82, 0.88))
    # Lines of text on the page (left out at 16 px, where they would only blur).
    if size >= 32:
        for i, w in enumerate((0.36, 0.5, 0.44)):
            y = 0.14 + i * 0.1
            c.fill(rect(0.24, y, 0.24 + w * (0.9 if i == 0 else 1.0), y + 0.04), (0.6, 0.65, 0.75))
    # A green disc with a white arrow pointing up: a newer version is available.
    c.fill(circle(0.62, 0.68, 0.33), (0.10, 0.45, 0.20))
    c.fill(circle(0.62, 0.68, 0.29), (0.18, 0.66, 0.30))
    c.fill(polygon([(0.62, 0.44), (0.80, 0.66), (0.69, 0.66), (0.69, 0.88), (0.55, 0.88),
                    (0.55, 0.66), (0.44, 0.66)]), (1.0, 1.0, 1.0))
    return c


def web_icon(size):
    c = Canvas(size)
    c.fill(circle(0.5, 0.5, 0.48), (0.08, 0.25, 0.55))
    c.fill(circle(0.5, 0.5, 0.42), (0.25, 0.55, 0.90))
    land = (0.20, 0.62, 0.25)
    c.fill(polygon([(0.22, 0.30), (0.45, 0.18), (0.55, 0.30), (0.42, 0.48), (0.30, 0.52)]), land)
    c.fill(polygon([(0.58, 0.50), (0.80, 0.45), (0.78, 0.70), (0.60, 0.82), (0.52, 0.66)]), land)
    ring = lambda x, y: abs(math.hypot(x - 0.5, y - 0.5) - 0.42) < 0.035
    c.fill(ring, (0.08, 0.25, 0.55))
    return c


if __name__ == "__main__":
    write_ico("app.ico", [app_icon(32), app_icon(16)])
    write_ico("web.ico", [web_icon(16)])
