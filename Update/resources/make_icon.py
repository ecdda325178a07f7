#!/usr/bin/env python3
"""Draws the updater's icon and writes ZEMLOUpdater.ico.

The artwork is a page of the editor's document with a green "update" arrow
pointing down into it, drawn from the shapes below on a 256-unit canvas and
rendered at each size with supersampling (8x8, 4x4 for the largest); at small sizes the outlines stay
at least one pixel wide and the page loses its text lines so the mark still
reads. Only the standard library is used.

The icon holds six images, in this order: 32x32 and 16x16 with 256 colours,
256x256 32-bit stored as PNG, then 48x48, 32x32 and 16x16 32-bit.

    python3 make_icon.py [OUTPUT.ico] [--preview PREVIEW.png]
"""

import struct
import sys
import zlib
from pathlib import Path

# ---- the drawing ------------------------------------------------------------------

PAGE = [(44, 20), (156, 20), (204, 68), (204, 236), (44, 236)]  # folded top-right corner
FOLD = [(156, 20), (204, 68), (156, 68)]
CIRCLE = (176, 180, 68)  # centre x, centre y, radius
# The arrow, around the circle's centre: shaft half-width, shaft top, neck, head
# half-width, tip. The 16-pixel image gets a larger circle and a bolder arrow.
ARROW = (16, -48, -2, 38, 42)
CIRCLE_16 = (172, 176, 78)
ARROW_16 = (23, -52, 2, 46, 48)


def arrow_polygon(cx, cy, shape):
    shaft, top, neck, head, tip = shape
    return [(cx - shaft, cy + top), (cx + shaft, cy + top), (cx + shaft, cy + neck),
            (cx + head, cy + neck), (cx, cy + tip), (cx - head, cy + neck), (cx - shaft, cy + neck)]

OUTLINE = (70, 84, 104)
PAGE_TOP = (255, 255, 255)
PAGE_BOTTOM = (226, 233, 242)
FOLD_COLOUR = (200, 210, 224)
LINES = (150, 164, 184)
GREEN_TOP = (76, 187, 92)
GREEN_BOTTOM = (30, 128, 56)
GREEN_RIM = (20, 96, 40)
WHITE = (255, 255, 255)


def inside_polygon(x, y, points):
    inside = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def inset(points, d):
    """The polygon moved inwards by d (for convex, counter-clockwise-free shapes
    made of horizontal, vertical and 45-degree edges, as these are)."""
    n = len(points)
    lines = []
    for i in range(n):
        (x1, y1), (x2, y2) = points[i], points[(i + 1) % n]
        dx, dy = x2 - x1, y2 - y1
        length = (dx * dx + dy * dy) ** 0.5
        nx, ny = -dy / length, dx / length  # inward for clockwise screen polygons
        lines.append(((x1 + nx * d, y1 + ny * d), (dx, dy)))
    result = []
    for i in range(n):
        (p1, d1), (p2, d2) = lines[i - 1], lines[i]
        cross = d1[0] * d2[1] - d1[1] * d2[0]
        t = ((p2[0] - p1[0]) * d2[1] - (p2[1] - p1[1]) * d2[0]) / cross
        result.append((p1[0] + d1[0] * t, p1[1] + d1[1] * t))
    return result


def mix(a, b, t):
    return tuple(a[k] + (b[k] - a[k]) * t for k in range(3))


def painter(size):
    """The colour (r, g, b) or None at a canvas point, for an image of `size` pixels."""
    unit = 256 / size
    stroke = max(7.0, unit)  # never thinner than one pixel
    page_inner = inset(PAGE, stroke)
    fold_inner = inset(FOLD, stroke * 0.7)
    cx, cy, r = CIRCLE_16 if size <= 16 else CIRCLE
    arrow = arrow_polygon(cx, cy, ARROW_16 if size <= 16 else ARROW)
    rim = max(6.0, unit)
    ring = r + max(8.0, unit * 1.2)  # a white gap that parts the circle from the page
    show_lines = size >= 32
    line_rows = [70, 102, 134, 166, 198] if size >= 48 else [84, 132]

    def colour(x, y):
        dist2 = (x - cx) ** 2 + (y - cy) ** 2
        if dist2 <= r * r:
            if inside_polygon(x, y, arrow):
                return WHITE
            if dist2 >= (r - rim) ** 2:
                return GREEN_RIM
            return mix(GREEN_TOP, GREEN_BOTTOM, (y - (cy - r)) / (2 * r))
        if dist2 <= ring * ring and inside_polygon(x, y, PAGE):
            return WHITE if size >= 24 else None
        if inside_polygon(x, y, FOLD):
            return FOLD_COLOUR if inside_polygon(x, y, fold_inner) else OUTLINE
        if inside_polygon(x, y, PAGE):
            if not inside_polygon(x, y, page_inner):
                return OUTLINE
            if show_lines and 68 <= x <= 140 + (40 if y < 100 else 0):
                for row in line_rows:
                    if row <= y < row + max(10, unit):
                        return LINES
            return mix(PAGE_TOP, PAGE_BOTTOM, (y - 20) / 216)
        return None

    return colour


def render(size, samples=8):
    """RGBA rows, top row first, with coverage-based edges."""
    colour = painter(size)
    scale = 256 / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(samples):
                y = (py + (sy + 0.5) / samples) * scale
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    c = colour(x, y)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        covered += 1
            if covered:
                row.append((round(r / covered), round(g / covered), round(b / covered),
                            round(255 * covered / (samples * samples))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# ---- encodings ------------------------------------------------------------------

def png(rows):
    width, height = len(rows[0]), len(rows)
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def and_mask(opaque_rows):
    """1-bit mask, bottom row first, rows padded to 32 bits; 1 = transparent."""
    out = b""
    for row in reversed(opaque_rows):
        line = bytearray((len(row) + 31) // 32 * 4)
        for x, opaque in enumerate(row):
            if not opaque:
                line[x // 8] |= 0x80 >> (x % 8)
        out += bytes(line)
    return out


def bitmap_header(size, bit_count, colours_used, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0, image_bytes, 0, 0,
                       colours_used, 0)


def dib32(rows):
    size = len(rows)
    pixels = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(rows) for p in row)
    mask = and_mask([[p[3] > 0 for p in row] for row in rows])
    return bitmap_header(size, 32, 0, len(pixels) + len(mask)) + pixels + mask


def median_cut(colours, count):
    """A palette of at most count colours for the given (r, g, b) list."""
    boxes = [sorted(set(colours))]
    while len(boxes) < count:
        boxes.sort(key=lambda box: max(max(c[k] for c in box) - min(c[k] for c in box)
                                       for k in range(3)) if len(box) > 1 else -1)
        box = boxes.pop()
        if len(box) < 2:
            boxes.append(box)
            break
        channel = max(range(3), key=lambda k: max(c[k] for c in box) - min(c[k] for c in box))
        box.sort(key=lambda c: c[channel])
        half = len(box) // 2
        boxes += [box[:half], box[half:]]
    return [tuple(round(sum(c[k] for c in box) / len(box)) for k in range(3)) for box in boxes]


def dib8(rows):
    """256 colours: edges with at least half coverage become opaque, others clear."""
    size = len(rows)
    opaque = [[p[3] >= 128 for p in row] for row in rows]
    used = [p[:3] for row in rows for p in row if p[3] >= 128]
    palette = median_cut(used, 256) if used else [(0, 0, 0)]
    palette += [(0, 0, 0)] * (256 - len(palette))

    def nearest(c):
        return min(range(256), key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))

    cache = {}
    stride = (size + 3) // 4 * 4
    pixels = b""
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] >= 128:
                key = p[:3]
                if key not in cache:
                    cache[key] = nearest(key)
                line[x] = cache[key]
        pixels += bytes(line)
    table = b"".join(bytes((c[2], c[1], c[0], 0)) for c in palette)
    mask = and_mask(opaque)
    return bitmap_header(size, 8, 256, len(pixels) + len(mask)) + table + pixels + mask


def ico(images):
    """images: (size, bit_count, data) in the order they go into the file."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = b""
    for size, bit_count, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, bit_count, len(data),
                               offset)
        offset += len(data)
    return header + entries + b"".join(data for _, _, data in images)


def main():
    args = sys.argv[1:]
    preview = None
    if "--preview" in args:
        preview = Path(args[args.index("--preview") + 1])
        del args[args.index("--preview"):args.index("--preview") + 2]
    output = Path(args[0]) if args else Path(__file__).with_name("ZEMLOUpdater.ico")

    renders = {size: render(size, 8 if size <= 48 else 4) for size in (16, 32, 48, 256)}
    images = [
        (32, 8, dib8(renders[32])),
        (16, 8, dib8(renders[16])),
        (256, 32, png(renders[256])),
        (48, 32, dib32(renders[48])),
        (32, 32, dib32(renders[32])),
        (16, 32, dib32(renders[16])),
    ]
    output.write_bytes(ico(images))
    print(f"wrote {output} ({output.stat().st_size} bytes)")
    if preview:
        sheet = [[(255, 255, 255, 255)] * (256 + 48 + 32 + 16 + 40) for _ in range(256)]
        x = 0
        for size in (256, 48, 32, 16):
            for y, row in enumerate(renders[size]):
                for dx, p in enumerate(row):
                    a = p[3] / 255
                    sheet[y][x + dx] = tuple(round(p[k] * a + 255 * (1 - a)) for k in range(3)) + (255,)
            x += size + 10
        preview.write_bytes(png(sheet))
        print(f"wrote {preview}")


if __name__ == "__main__":
    main()
