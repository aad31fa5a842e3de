#!/usr/bin/env python3
"""Draws Quorbel's mark and writes the program icons.

Image/logo.ico  nine images: 16, 24, 32, 48, 64, 72, 96, 128 px as 32-bit bitmaps, 256 px as PNG
Image/logo1.ico one 64 px 32-bit bitmap
--hicolor DIR   only DIR/<n>x<n>/apps/quorbel.png at 16, 32, 48, 64, 128 and 256 px, the icon
                theme layout that Linux desktop menus read (the Debian package installs them)

The mark is a blue rounded square carrying a white arrow that points up above a battery
outline: "new firmware for a battery device". It is drawn from geometry in unit coordinates
(x to the right, y downwards, the square spanning 0..1), so every size is rendered from the
shapes themselves rather than scaled from another bitmap.

Standard library only, and deterministic: the same bytes on every run, so the generated files
can be committed and `--check` can tell when they have drifted from this script.
"""

import argparse
import math
import pathlib
import struct
import sys
import zlib

BLUE = (0x4A, 0x9F, 0xD8)
WHITE = (0xFF, 0xFF, 0xFF)

LOGO_SIZES = (16, 24, 32, 48, 64, 72, 96, 128, 256)
LOGO1_SIZES = (64,)
# Only the largest image is PNG-compressed: as a bitmap it would be a quarter megabyte, and
# readers too old for PNG entries never ask for 256 px anyway.
PNG_FROM = 256
HICOLOR_SIZES = (16, 32, 48, 64, 128, 256)

# Horizontal edges are covered exactly; vertically each pixel row is sampled this many times.
ROW_SAMPLES = 16

# Geometry of the mark, in units of the icon's side, before snapping to the pixel grid.
TILE = (0.03, 0.03, 0.97, 0.97)
TILE_RADIUS = 0.21
ARROW_TIP_Y = 0.13
ARROW_HEAD_BASE_Y = 0.40
ARROW_HEAD_HALF_WIDTH = 0.21
ARROW_SHAFT_HALF_WIDTH = 0.075
ARROW_SHAFT_END_Y = 0.56
BATTERY = (0.23, 0.61, 0.71, 0.85)
BATTERY_RADIUS = 0.05
BATTERY_STROKE = 0.065
BATTERY_NUB = (0.71, 0.68, 0.77, 0.78)


class Geometry:
    """The mark at one size. Straight edges sit on pixel boundaries: a one-pixel stroke that
    straddles two pixels turns into a pale smear at 16 and 24 px."""

    def __init__(self, size):
        def snap(v):
            return round(v * size) / size

        def snap_rect(r):
            return tuple(snap(v) for v in r)

        self.tile = snap_rect(TILE)
        self.tile_radius = TILE_RADIUS
        self.tip_y = snap(ARROW_TIP_Y)
        self.head_base_y = snap(ARROW_HEAD_BASE_Y)
        self.head_half_width = snap(ARROW_HEAD_HALF_WIDTH)
        self.shaft_half_width = max(snap(ARROW_SHAFT_HALF_WIDTH), 1 / size)
        self.shaft_end_y = snap(ARROW_SHAFT_END_Y)
        self.battery = snap_rect(BATTERY)
        self.battery_radius = BATTERY_RADIUS
        # Rounded down: at 24 px a two-pixel outline leaves the battery a one-pixel slot.
        self.stroke = max(math.floor(BATTERY_STROKE * size + 0.25), 1) / size
        self.nub = snap_rect(BATTERY_NUB)


# --- spans: every shape answers "which x intervals of row y are inside me" -------------------


def rounded_rect_span(rect, radius, y):
    x0, y0, x1, y1 = rect
    if y < y0 or y >= y1:
        return []
    dy = max(y0 + radius - y, y - (y1 - radius), 0.0)
    inset = radius - math.sqrt(max(radius * radius - dy * dy, 0.0))
    return [(x0 + inset, x1 - inset)]


def arrow_spans(g, y):
    if g.tip_y <= y < g.head_base_y:
        half = g.head_half_width * (y - g.tip_y) / (g.head_base_y - g.tip_y)
        return [(0.5 - half, 0.5 + half)]
    if g.head_base_y <= y < g.shaft_end_y:
        return [(0.5 - g.shaft_half_width, 0.5 + g.shaft_half_width)]
    return []


def subtract(spans, holes):
    out = []
    for a, b in spans:
        pieces = [(a, b)]
        for ha, hb in holes:
            next_pieces = []
            for pa, pb in pieces:
                if hb <= pa or ha >= pb:
                    next_pieces.append((pa, pb))
                    continue
                if ha > pa:
                    next_pieces.append((pa, ha))
                if hb < pb:
                    next_pieces.append((hb, pb))
            pieces = next_pieces
        out.extend(pieces)
    return out


def battery_spans(g, y):
    x0, y0, x1, y1 = g.battery
    s = g.stroke
    outer = rounded_rect_span(g.battery, g.battery_radius, y)
    inner_rect = (x0 + s, y0 + s, x1 - s, y1 - s)
    inner = rounded_rect_span(inner_rect, max(g.battery_radius - s, 0.0), y)
    nub = rounded_rect_span(g.nub, 0.0, y)
    return subtract(outer, inner) + nub


def glyph_spans(g, y):
    return arrow_spans(g, y) + battery_spans(g, y)


def union(spans):
    merged = []
    for a, b in sorted(spans):
        if merged and a <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], b))
        else:
            merged.append((a, b))
    return merged


def add_coverage(acc, spans, size, weight):
    """Adds to acc[i] the share of pixel i covered by spans (given in unit coordinates)."""
    for a, b in union(spans):
        a, b = max(a * size, 0.0), min(b * size, float(size))
        i = int(a)
        while i < size and i < b:
            overlap = min(b, i + 1) - max(a, i)
            if overlap > 0:
                acc[i] += overlap * weight
            i += 1


# --- rendering -------------------------------------------------------------------------------


def render(size):
    """Returns size rows, top row first, of (r, g, b, a) tuples in straight alpha."""
    g = Geometry(size)
    rows = []
    weight = 1.0 / ROW_SAMPLES
    for py in range(size):
        tile = [0.0] * size
        glyph = [0.0] * size
        for k in range(ROW_SAMPLES):
            y = (py + (k + 0.5) / ROW_SAMPLES) / size
            add_coverage(tile, rounded_rect_span(g.tile, g.tile_radius, y), size, weight)
            add_coverage(glyph, glyph_spans(g, y), size, weight)
        row = []
        for px in range(size):
            alpha = round(min(tile[px], 1.0) * 255)
            if alpha == 0:
                row.append((0, 0, 0, 0))
                continue
            # The glyph lies wholly inside the tile, so its share of the covered area is the
            # white share of the pixel's colour.
            white = min(glyph[px] / tile[px], 1.0)
            rgb = tuple(round(c * (1.0 - white) + w * white) for c, w in zip(BLUE, WHITE))
            row.append(rgb + (alpha,))
        rows.append(row)
    return rows


# --- encoders --------------------------------------------------------------------------------


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def encode_png(rows):
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def mask_row_bytes(width):
    return (width + 31) // 32 * 4


def encode_dib(rows):
    """An icon bitmap: header with doubled height, BGRA rows bottom-up, then the AND mask."""
    height, width = len(rows), len(rows[0])
    mask_stride = mask_row_bytes(width)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            xor += bytes((b, g, r, a))
            # Readers that ignore alpha fall back to the mask: hide what is fully transparent.
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def encode_ico(images):
    """images: list of (size, payload bytes). Directory entries keep the given order."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, payload in images:
        dim = size if size < 256 else 0  # a zero byte means 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(payload), offset)
        offset += len(payload)
    for _, payload in images:
        out += payload
    return bytes(out)


def rendered(size, cache):
    if size not in cache:
        cache[size] = render(size)
    return cache[size]


def build_ico(sizes, cache):
    images = []
    for size in sizes:
        rows = rendered(size, cache)
        images.append((size, encode_png(rows) if size >= PNG_FROM else encode_dib(rows)))
    return encode_ico(images)


def write_hicolor(folder, cache):
    for size in HICOLOR_SIZES:
        path = folder / f"{size}x{size}" / "apps" / "quorbel.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(encode_png(rendered(size, cache)))


def enlarge(rows, factor):
    """Nearest-neighbour enlargement, so that small previews can be inspected pixel by pixel."""
    out = []
    for row in rows:
        wide = [p for p in row for _ in range(factor)]
        out.extend([wide] * factor)
    return out


def main(argv):
    here = pathlib.Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=here.parent / "Image",
                        help="folder for logo.ico and logo1.ico (default: the project's Image/)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; fail if the files in --out differ from a fresh run")
    parser.add_argument("--preview", type=pathlib.Path,
                        help="also write every size as PNG into this folder")
    parser.add_argument("--hicolor", type=pathlib.Path,
                        help="write only the icon theme's PNGs, into this folder")
    args = parser.parse_args(argv)

    cache = {}
    # A build writes here, into its own tree; the committed .ico files are not its business.
    if args.hicolor:
        write_hicolor(args.hicolor, cache)
        return 0
    outputs = {
        "logo.ico": build_ico(LOGO_SIZES, cache),
        "logo1.ico": build_ico(LOGO1_SIZES, cache),
    }

    if args.preview:
        args.preview.mkdir(parents=True, exist_ok=True)
        for size, rows in sorted(cache.items()):
            (args.preview / f"logo_{size}.png").write_bytes(encode_png(rows))
            if size <= 64:
                big = enlarge(rows, 512 // size)
                (args.preview / f"logo_{size}_enlarged.png").write_bytes(encode_png(big))

    if args.check:
        stale = [name for name, data in outputs.items()
                 if not (args.out / name).is_file() or (args.out / name).read_bytes() != data]
        for name in stale:
            print(f"{args.out / name} is not what {pathlib.Path(__file__).name} draws; "
                  f"run it again and commit the result", file=sys.stderr)
        return 1 if stale else 0

    args.out.mkdir(parents=True, exist_ok=True)
    for name, data in outputs.items():
        (args.out / name).write_bytes(data)
        print(f"wrote {args.out / name} ({len(data)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
