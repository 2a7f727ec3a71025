#!/usr/bin/env python3
"""Draw the kavriUpdate application icon and write it out.

The picture is a chip seen from above (dark body, light pins on all four
sides) with a bold amber arrow pointing down into it: firmware going into
the device.

Every size is drawn from the same vector shapes, not scaled from one bitmap.
The shapes are laid out on a 16-unit grid and each coordinate is snapped to
whole pixels for the size being drawn, so straight edges land on pixel
boundaries and the 16 px icon stays crisp; only the rounded corners and the
arrow head's slanted sides are anti-aliased.

One rasteriser feeds two writers:

    make_icon.py                 writes kavriupdate.ico next to this script
    make_icon.py --ico PATH      writes the .ico to PATH
    make_icon.py --png DIR       writes DIR/<n>x<n>/apps/kavriupdate.png
                                 (hicolor theme layout) and no .ico

The .ico holds one uncompressed 32-bit BGRA bitmap per size (no PNG
entries) so that every Windows version and resource compiler accepts it.
Output is byte-for-byte reproducible.

Only the Python standard library is used.
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 96, 128)
GRID = 16.0  # design units across the icon

# Three flat colours, (R, G, B).
BODY = (0x22, 0x30, 0x3F)    # dark slate chip body
PINS = (0xB8, 0xC2, 0xCC)    # light grey pins and pin-1 marker
ARROW = (0xFF, 0xA8, 0x1E)   # amber arrow


# --------------------------------------------------------------------------
# Shapes.  Each shape is a signed-distance function in pixel coordinates:
# negative inside, positive outside.  A pixel's coverage is taken as
# clamp(0.5 - d) at its centre, which is exact for an edge that crosses the
# pixel straight and a close approximation for slanted edges.

def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius

    def sdf(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        inside = min(max(qx, qy), 0.0)
        return outside + inside - radius
    return sdf


def rect(x0, y0, x1, y1):
    return rounded_rect(x0, y0, x1, y1, 0.0)


def circle(cx, cy, radius):
    def sdf(x, y):
        return math.hypot(x - cx, y - cy) - radius
    return sdf


def polygon(points):
    edges = list(zip(points, points[1:] + points[:1]))

    def sdf(x, y):
        nearest = float("inf")
        inside = False
        for (ax, ay), (bx, by) in edges:
            ex, ey = bx - ax, by - ay
            t = ((x - ax) * ex + (y - ay) * ey) / (ex * ex + ey * ey)
            t = min(max(t, 0.0), 1.0)
            nearest = min(nearest, math.hypot(x - ax - t * ex, y - ay - t * ey))
            # Even-odd rule: count edges crossed by a ray going right.
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
                inside = not inside
        return -nearest if inside else nearest
    return sdf


# --------------------------------------------------------------------------
# The picture.

def layers(size):
    """Return [(sdf, colour)] for one size, back to front."""
    scale = size / GRID

    def snap(u):
        # Round towards the nearer edge so the picture stays mirror
        # symmetric: a unit value u and GRID - u map to n and size - n.
        # Halves round up (Python's round() would round them to even).
        if u <= GRID / 2:
            return float(math.floor(u * scale + 0.5))
        return size - float(math.floor((GRID - u) * scale + 0.5))

    shapes = []

    # Three pins on each side, 2 units long, centred at 4, 8 and 12.  The
    # pin width is kept to an even number of pixels so that all three pins
    # come out equally wide (the middle one is centred on the pixel grid);
    # it rounds down, which keeps the gaps between pins open at 24 px.
    half = max(1.0, float(math.floor(scale)))
    for centre in (4.0, 8.0, 12.0):
        a, b = snap(centre) - half, snap(centre) + half
        shapes.append((rect(snap(0), a, snap(2), b), PINS))    # left
        shapes.append((rect(snap(14), a, snap(16), b), PINS))  # right
        shapes.append((rect(a, snap(0), b, snap(2)), PINS))    # top
        shapes.append((rect(a, snap(14), b, snap(16)), PINS))  # bottom

    # Chip body, covering the inner ends of the pins.
    shapes.append((rounded_rect(snap(1.5), snap(1.5), snap(14.5), snap(14.5),
                                max(1.0, 1.5 * scale)), BODY))

    # Pin-1 marker, only where there is room for it to read as a dot.
    if size >= 48:
        shapes.append((circle(snap(4), snap(4), 0.7 * scale), PINS))

    # Down arrow: a 4-unit shaft and a 10-unit head.  The head's sides run
    # at exactly 45 degrees from whole-pixel corners and end in a 2-pixel
    # flat tip, so at 16 px the slopes are clean half-covered steps instead
    # of a smeared point.
    top, neck = snap(4), snap(8)
    sl, sr = snap(6), snap(10)        # shaft
    hl, hr = snap(3), snap(13)        # head
    mid = size / 2.0
    tip = neck + (mid - hl) - 1.0
    shapes.append((polygon([(sl, top), (sr, top), (sr, neck), (hr, neck),
                            (mid + 1, tip), (mid - 1, tip),
                            (hl, neck), (sl, neck)]), ARROW))
    return shapes


def render(size):
    """Rasterise one size.  Returns rows top to bottom of (R, G, B, A) bytes
    with straight (non-premultiplied) alpha, as both ICO and PNG expect."""
    shapes = layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x, y = px + 0.5, py + 0.5
            # Composite "over" in premultiplied colour.
            r = g = b = a = 0.0
            for sdf, (cr, cg, cb) in shapes:
                cover = min(max(0.5 - sdf(x, y), 0.0), 1.0)
                if cover > 0.0:
                    keep = 1.0 - cover
                    r = cr * cover + r * keep
                    g = cg * cover + g * keep
                    b = cb * cover + b * keep
                    a = cover + a * keep
            alpha = int(round(a * 255))
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((int(round(r / a)), int(round(g / a)),
                            int(round(b / a)), alpha))
        rows.append(row)
    return rows


# --------------------------------------------------------------------------
# Writers.

def ico_image(size, rows):
    """One ICO payload: BITMAPINFOHEADER, bottom-up BGRA, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII",
                         40,          # biSize
                         size,        # biWidth
                         2 * size,    # biHeight: colour plus mask
                         1,           # biPlanes
                         32,          # biBitCount
                         0,           # biCompression = BI_RGB
                         0,           # biSizeImage, may be 0 for BI_RGB
                         0, 0, 0, 0)  # resolution and palette, unused
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    # 1 bpp mask, set where the pixel is fully transparent; each row is
    # padded to a multiple of 4 bytes.
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def write_ico(path, images):
    """images: [(size, rows)] in the order they should appear."""
    payloads = [ico_image(size, rows) for size, rows in images]
    offset = 6 + 16 * len(payloads)
    out = bytearray(struct.pack("<HHH", 0, 1, len(payloads)))
    for (size, _), data in zip(images, payloads):
        dim = size if size < 256 else 0   # 0 stands for 256
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32,
                           len(data), offset)
        offset += len(data)
    for data in payloads:
        out += data
    with open(path, "wb") as f:
        f.write(out)


def png_bytes(size, rows):
    def chunk(kind, body):
        crc = zlib.crc32(kind + body) & 0xFFFFFFFF
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)

    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type: none
        for pixel in row:
            raw += bytes(pixel)
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def write_pngs(directory, images):
    for size, rows in images:
        folder = os.path.join(directory, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "kavriupdate.png"), "wb") as f:
            f.write(png_bytes(size, rows))


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ico", metavar="PATH",
                        help="write the Windows icon here (default: "
                             "kavriupdate.ico next to this script, unless "
                             "--png is given)")
    parser.add_argument("--png", metavar="DIR",
                        help="write DIR/<n>x<n>/apps/kavriupdate.png per size")
    args = parser.parse_args(argv)

    ico = args.ico
    if ico is None and args.png is None:
        ico = os.path.join(here, "kavriupdate.ico")

    images = [(size, render(size)) for size in SIZES]
    if ico:
        write_ico(ico, images)
    if args.png:
        write_pngs(args.png, images)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
