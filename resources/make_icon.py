#!/usr/bin/env python3
"""Draws the updater's icon and writes it as resources/korvalup.ico.

One 32x32 image, 8 bits per pixel with a 256-colour palette, plus its
transparency mask. The picture: a faceted gem on a rounded square of deep
blue, with a small gold arrow pointing down into it (an update landing).
Everything is computed here from fixed numbers, so two runs write the same
bytes. Python 3 standard library only.

Usage: make_icon.py [OUTPUT]        write the icon (default: korvalup.ico
                                    beside this script)
       make_icon.py --check [ICON]  exit 1 when ICON differs from what
                                    this script draws
"""

import os
import struct
import sys

SIZE = 32
SAMPLES = 4  # supersampling per axis, for smooth edges inside the ground

# Colours, RGB.
GROUND_TOP = (38, 62, 150)
GROUND_BOTTOM = (14, 24, 70)
GROUND_EDGE = (120, 150, 230)
FACETS = {
    "table": (190, 250, 255),
    "crown_left": (90, 205, 235),
    "crown_right": (40, 150, 205),
    "pavilion_left": (30, 170, 210),
    "pavilion_mid": (20, 120, 180),
    "pavilion_right": (10, 80, 140),
}
GEM_OUTLINE = (8, 40, 90)
ARROW = (255, 200, 60)
ARROW_SHADE = (200, 130, 20)
SPARKLE = (255, 255, 255)


def inside_polygon(x, y, points):
    """Even-odd rule test of the point (x, y) against a closed polygon."""
    inside = False
    count = len(points)
    for i in range(count):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % count]
        if (y1 > y) != (y2 > y):
            cross = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
            if x < cross:
                inside = not inside
    return inside


def inside_rounded_square(x, y, left, top, right, bottom, radius):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def near_segment(x, y, a, b, width):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= (width / 2.0) ** 2


# The gem, in pixel coordinates (0..32). Girdle at y=14, table on top,
# culet at the bottom.
GIRDLE_Y = 14.5
TOP_Y = 9.0
CULET = (16.0, 28.0)
GIRDLE_L = (4.5, GIRDLE_Y)
GIRDLE_R = (27.5, GIRDLE_Y)
TABLE_L = (10.5, TOP_Y)
TABLE_R = (21.5, TOP_Y)
PAV_L = (11.0, GIRDLE_Y)
PAV_R = (21.0, GIRDLE_Y)

GEM_PARTS = [
    ("table", [TABLE_L, TABLE_R, PAV_R, PAV_L]),
    ("crown_left", [GIRDLE_L, TABLE_L, PAV_L]),
    ("crown_right", [TABLE_R, GIRDLE_R, PAV_R]),
    ("pavilion_left", [GIRDLE_L, PAV_L, CULET]),
    ("pavilion_mid", [PAV_L, PAV_R, CULET]),
    ("pavilion_right", [PAV_R, GIRDLE_R, CULET]),
]
GEM_EDGES = [
    (GIRDLE_L, TABLE_L), (TABLE_L, TABLE_R), (TABLE_R, GIRDLE_R),
    (GIRDLE_R, CULET), (CULET, GIRDLE_L), (GIRDLE_L, GIRDLE_R),
    (TABLE_L, PAV_L), (TABLE_R, PAV_R), (PAV_L, CULET), (PAV_R, CULET),
]

# The arrow above the gem: a short shaft and a head pointing down.
ARROW_HEAD = [(11.0, 4.5), (21.0, 4.5), (16.0, 9.5)]
ARROW_SHAFT = [(13.5, 0.5), (18.5, 0.5), (18.5, 4.6), (13.5, 4.6)]


def colour_at(x, y):
    """Colour of the picture at the point (x, y), or None outside the ground."""
    if not inside_rounded_square(x, y, 0.5, 0.5, 31.5, 31.5, 6.0):
        return None
    if not inside_rounded_square(x, y, 1.5, 1.5, 30.5, 30.5, 5.0):
        return GROUND_EDGE
    if inside_polygon(x, y, ARROW_HEAD) or inside_polygon(x, y, ARROW_SHAFT):
        return ARROW_SHADE if x > 16.0 else ARROW
    for start, end in GEM_EDGES:
        if near_segment(x, y, start, end, 0.7):
            return GEM_OUTLINE
    for name, points in GEM_PARTS:
        if inside_polygon(x, y, points):
            if name == "table" and abs(x - 13.5) + abs(y - 11.0) < 1.6:
                return SPARKLE
            return FACETS[name]
    t = y / float(SIZE)
    return tuple(int(round(a + (b - a) * t)) for a, b in zip(GROUND_TOP, GROUND_BOTTOM))


def render():
    """Returns (pixels, mask): rows of RGB tuples and rows of opacity flags."""
    pixels, mask = [], []
    for py in range(SIZE):
        row, row_mask = [], []
        for px in range(SIZE):
            total = [0, 0, 0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            total[i] += c[i]
            opaque = hits * 2 >= SAMPLES * SAMPLES
            row_mask.append(opaque)
            if opaque:
                row.append(tuple((v + hits // 2) // hits for v in total))
            else:
                row.append((0, 0, 0))
        pixels.append(row)
        mask.append(row_mask)
    return pixels, mask


def median_cut(colours, limit):
    """Splits the colour set into at most `limit` boxes; returns their means."""
    boxes = [sorted(set(colours))]
    while len(boxes) < limit:
        best, best_range, best_channel = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                values = [c[ch] for c in box]
                spread = max(values) - min(values)
                if spread > best_range:
                    best, best_range, best_channel = i, spread, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda c: (c[best_channel], c))
        half = len(box) // 2
        boxes.insert(best, box[half:])
        boxes.insert(best, box[:half])
    palette = []
    for box in boxes:
        palette.append(tuple((sum(c[ch] for c in box) + len(box) // 2) // len(box)
                             for ch in range(3)))
    return palette


def nearest(palette, colour):
    best, best_dist = 0, None
    for i, p in enumerate(palette):
        dist = sum((a - b) ** 2 for a, b in zip(p, colour))
        if best_dist is None or dist < best_dist:
            best, best_dist = i, dist
    return best


def build_ico(pixels, mask):
    used = [c for row, row_mask in zip(pixels, mask) for c, m in zip(row, row_mask) if m]
    # Index 0 stays black for the transparent pixels.
    palette = [(0, 0, 0)] + median_cut(used, 255)
    palette += [(0, 0, 0)] * (256 - len(palette))

    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         SIZE * SIZE + SIZE * 4, 0, 0, 256, 0)
    colour_table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    xor_rows, and_rows = [], []
    cache = {}
    for y in reversed(range(SIZE)):  # DIB rows run bottom-up
        indices = bytearray()
        bits = 0
        for x in range(SIZE):
            if mask[y][x]:
                colour = pixels[y][x]
                if colour not in cache:
                    cache[colour] = 1 + nearest(palette[1:], colour)
                indices.append(cache[colour])
            else:
                indices.append(0)
                bits |= 1 << (31 - x)
        xor_rows.append(bytes(indices))
        and_rows.append(struct.pack(">I", bits))
    image = header + colour_table + b"".join(xor_rows) + b"".join(and_rows)

    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


def main(argv):
    check = len(argv) > 1 and argv[1] == "--check"
    args = argv[2:] if check else argv[1:]
    path = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             "korvalup.ico")
    pixels, mask = render()
    data = build_ico(pixels, mask)
    if check:
        with open(path, "rb") as f:
            same = f.read() == data
        print("%s %s what make_icon.py draws" % (path, "matches" if same else "differs from"))
        return 0 if same else 1
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (path, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
