#!/usr/bin/env python3
"""Render icon-source.svg into velmora.ico (16, 32, 48, 64, 128 and 256 px).

Standard library only. The output must be byte-for-byte reproducible on any
machine, so the renderer sticks to IEEE-exact float operations (+ - * / sqrt)
and the 256 px PNG is compressed by the small deflate encoder below rather
than by zlib, whose output differs between zlib builds.

    make-icon.py                 write velmora.ico next to this script
    make-icon.py --check         exit 1 if the committed velmora.ico is stale
    make-icon.py --preview DIR   also write each size as a PNG, for viewing
"""

import argparse
import math
import os
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

SIZES = (16, 32, 48, 64, 128, 256)
PNG_SIZES = (256,)          # larger images go in as PNG to keep the exe small
SUBROWS = 32                # vertical samples per pixel; horizontal coverage is exact
SVG_NS = "{http://www.w3.org/2000/svg}"

HERE = os.path.dirname(os.path.abspath(__file__))


# --------------------------------------------------------------------------
# SVG subset


class SvgError(Exception):
    pass


NAMED_COLOURS = {"white": (255, 255, 255), "black": (0, 0, 0)}


def parse_colour(text):
    text = text.strip()
    if text in NAMED_COLOURS:
        return NAMED_COLOURS[text]
    if text.startswith("#") and len(text) == 7:
        return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))
    if text.startswith("#") and len(text) == 4:
        return tuple(int(c * 2, 16) for c in text[1:])
    raise SvgError("unsupported colour %r" % text)


def parse_number(text):
    try:
        return float(text)
    except ValueError:
        raise SvgError("not a plain number: %r" % text) from None


def parse_offset(text):
    text = text.strip()
    if text.endswith("%"):
        return parse_number(text[:-1]) / 100.0
    return parse_number(text)


def parse_translate(text):
    text = text.strip()
    if not (text.startswith("translate(") and text.endswith(")")):
        raise SvgError("only translate() transforms are supported: %r" % text)
    parts = text[len("translate("):-1].replace(",", " ").split()
    if len(parts) not in (1, 2):
        raise SvgError("bad translate(): %r" % text)
    dx = parse_number(parts[0])
    dy = parse_number(parts[1]) if len(parts) == 2 else 0.0
    return dx, dy


class Gradient:
    def __init__(self, element):
        allowed = {"id", "x1", "y1", "x2", "y2", "gradientUnits"}
        check_attributes(element, allowed)
        self.units = element.get("gradientUnits", "objectBoundingBox")
        if self.units not in ("objectBoundingBox", "userSpaceOnUse"):
            raise SvgError("bad gradientUnits %r" % self.units)
        self.x1 = parse_offset(element.get("x1", "0"))
        self.y1 = parse_offset(element.get("y1", "0"))
        self.x2 = parse_offset(element.get("x2", "1"))
        self.y2 = parse_offset(element.get("y2", "0"))
        self.stops = []
        for stop in element:
            if stop.tag != SVG_NS + "stop":
                raise SvgError("unexpected %s in linearGradient" % stop.tag)
            check_attributes(stop, {"offset", "stop-color", "stop-opacity"})
            offset = min(1.0, max(0.0, parse_offset(stop.get("offset", "0"))))
            if self.stops:
                offset = max(offset, self.stops[-1][0])
            r, g, b = parse_colour(stop.get("stop-color", "black"))
            a = parse_number(stop.get("stop-opacity", "1"))
            self.stops.append((offset, (r / 255.0, g / 255.0, b / 255.0, a)))
        if not self.stops:
            raise SvgError("gradient without stops")

    def colour_at(self, x, y, bbox):
        if self.units == "objectBoundingBox":
            bx, by, bw, bh = bbox
            x = (x - bx) / bw
            y = (y - by) / bh
        dx = self.x2 - self.x1
        dy = self.y2 - self.y1
        length2 = dx * dx + dy * dy
        t = 0.0 if length2 == 0 else ((x - self.x1) * dx + (y - self.y1) * dy) / length2
        stops = self.stops
        if t <= stops[0][0]:
            return stops[0][1]
        for (o0, c0), (o1, c1) in zip(stops, stops[1:]):
            if t <= o1:
                f = 0.0 if o1 == o0 else (t - o0) / (o1 - o0)
                return tuple(a + (b - a) * f for a, b in zip(c0, c1))
        return stops[-1][1]


def check_attributes(element, allowed):
    for name in element.attrib:
        if name not in allowed:
            raise SvgError("unsupported attribute %s on %s" % (name, element.tag))


class Shape:
    """A filled shape: yields, for a horizontal line, the spans it covers."""

    def __init__(self, element, gradients):
        fill = element.get("fill", "black").strip()
        if fill.startswith("url(#") and fill.endswith(")"):
            ref = fill[5:-1]
            if ref not in gradients:
                raise SvgError("unknown gradient %r" % ref)
            self.paint = gradients[ref]
        elif fill == "none":
            raise SvgError("unfilled shapes are not supported")
        else:
            r, g, b = parse_colour(fill)
            self.paint = (r / 255.0, g / 255.0, b / 255.0, 1.0)
        self.opacity = (parse_number(element.get("fill-opacity", "1"))
                        * parse_number(element.get("opacity", "1")))

    def colour_at(self, x, y):
        if isinstance(self.paint, Gradient):
            return self.paint.colour_at(x, y, self.bbox)
        return self.paint


class RoundedRect(Shape):
    def __init__(self, element, gradients):
        check_attributes(element, {"x", "y", "width", "height", "rx", "ry",
                                   "fill", "fill-opacity", "opacity"})
        super().__init__(element, gradients)
        self.x = parse_number(element.get("x", "0"))
        self.y = parse_number(element.get("y", "0"))
        self.w = parse_number(element.get("width"))
        self.h = parse_number(element.get("height"))
        rx = element.get("rx")
        ry = element.get("ry")
        rx = parse_number(rx) if rx is not None else None
        ry = parse_number(ry) if ry is not None else None
        if rx is None:
            rx = ry if ry is not None else 0.0
        if ry is None:
            ry = rx
        self.rx = min(rx, self.w / 2)
        self.ry = min(ry, self.h / 2)
        self.bbox = (self.x, self.y, self.w, self.h)

    def spans(self, y):
        top, bottom = self.y, self.y + self.h
        if y < top or y >= bottom:
            return []
        inset = 0.0
        if self.rx > 0 and self.ry > 0:
            if y < top + self.ry:
                d = (top + self.ry - y) / self.ry
            elif y > bottom - self.ry:
                d = (y - (bottom - self.ry)) / self.ry
            else:
                d = 0.0
            if d > 0:
                inset = self.rx - self.rx * math.sqrt(max(0.0, 1.0 - d * d))
        return [(self.x + inset, self.x + self.w - inset)]


class Polygon(Shape):
    def __init__(self, element, gradients):
        check_attributes(element, {"points", "transform", "fill",
                                   "fill-opacity", "opacity"})
        super().__init__(element, gradients)
        numbers = [parse_number(v) for v in element.get("points", "").replace(",", " ").split()]
        if len(numbers) < 6 or len(numbers) % 2:
            raise SvgError("bad polygon points")
        dx, dy = parse_translate(element.get("transform", "translate(0)"))
        pts = [(numbers[i] + dx, numbers[i + 1] + dy) for i in range(0, len(numbers), 2)]
        self.edges = [(pts[i], pts[(i + 1) % len(pts)]) for i in range(len(pts))]
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        self.bbox = (min(xs), min(ys), max(xs) - min(xs), max(ys) - min(ys))

    def spans(self, y):
        # Nonzero winding, SVG's default fill rule.
        crossings = []
        for (x0, y0), (x1, y1) in self.edges:
            if y0 == y1:
                continue
            if (y0 <= y < y1) or (y1 <= y < y0):
                x = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
                crossings.append((x, 1 if y1 > y0 else -1))
        crossings.sort()
        result = []
        winding = 0
        start = 0.0
        for x, direction in crossings:
            before = winding
            winding += direction
            if before == 0 and winding != 0:
                start = x
            elif before != 0 and winding == 0:
                result.append((start, x))
        return result


def load_svg(path):
    root = ET.parse(path).getroot()
    if root.tag != SVG_NS + "svg":
        raise SvgError("not an SVG document")
    view = [parse_number(v) for v in root.get("viewBox", "").replace(",", " ").split()]
    if len(view) != 4 or view[2] != view[3] or view[2] <= 0:
        raise SvgError("need a square viewBox")
    gradients = {}
    shapes = []
    for element in root:
        tag = element.tag
        if tag == SVG_NS + "defs":
            for child in element:
                if child.tag != SVG_NS + "linearGradient":
                    raise SvgError("unsupported %s in defs" % child.tag)
                gradients[child.get("id")] = Gradient(child)
        elif tag == SVG_NS + "rect":
            shapes.append(RoundedRect(element, gradients))
        elif tag == SVG_NS + "polygon":
            shapes.append(Polygon(element, gradients))
        else:
            raise SvgError("unsupported element %s" % tag)
    return view, shapes


# --------------------------------------------------------------------------
# Rasteriser


def coverage(shape, size, view):
    """Fraction of each pixel the shape covers, row-major."""
    vx, vy, vw, _ = view
    scale = size / vw
    cov = [0.0] * (size * size)
    for py in range(size):
        row = py * size
        full = [0] * (size + 1)      # runs of fully covered pixels, as differences
        for s in range(SUBROWS):
            y = vy + (py + (s + 0.5) / SUBROWS) / scale
            for a, b in shape.spans(y):
                a = max(0.0, (a - vx) * scale)
                b = min(float(size), (b - vx) * scale)
                if b <= a:
                    continue
                ia = int(a)
                ib = int(b)
                if ia == ib:
                    cov[row + ia] += b - a
                    continue
                cov[row + ia] += (ia + 1) - a
                full[ia + 1] += 1
                full[ib] -= 1
                if ib < size:
                    cov[row + ib] += b - ib
        run = 0
        for px in range(size):
            run += full[px]
            cov[row + px] = min(1.0, (cov[row + px] + run) / SUBROWS)
    return cov


def render(view, shapes, size):
    """Composite the shapes; returns straight-alpha RGBA bytes, top row first."""
    vx, vy, vw, _ = view
    scale = size / vw
    n = size * size
    acc = [[0.0, 0.0, 0.0, 0.0] for _ in range(n)]    # premultiplied
    for shape in shapes:
        cov = coverage(shape, size, view)
        for i in range(n):
            c = cov[i]
            if c <= 0.0:
                continue
            x = vx + ((i % size) + 0.5) / scale
            y = vy + ((i // size) + 0.5) / scale
            r, g, b, a = shape.colour_at(x, y)
            a = a * shape.opacity * c
            if a <= 0.0:
                continue
            p = acc[i]
            keep = 1.0 - a
            p[0] = r * a + p[0] * keep
            p[1] = g * a + p[1] * keep
            p[2] = b * a + p[2] * keep
            p[3] = a + p[3] * keep
    out = bytearray()
    for r, g, b, a in acc:
        a8 = to_byte(a)
        if a8 == 0:
            out += b"\0\0\0\0"
        else:
            out += bytes((to_byte(r / a), to_byte(g / a), to_byte(b / a), a8))
    return bytes(out)


def to_byte(v):
    return min(255, max(0, int(v * 255.0 + 0.5)))


# --------------------------------------------------------------------------
# Deflate (fixed Huffman codes, greedy LZ77): simple and deterministic.


def _reverse(code, nbits):
    out = 0
    for _ in range(nbits):
        out = (out << 1) | (code & 1)
        code >>= 1
    return out


def _fixed_litlen_codes():
    codes = []
    for sym in range(288):
        if sym < 144:
            code, n = 0x30 + sym, 8
        elif sym < 256:
            code, n = 0x190 + sym - 144, 9
        elif sym < 280:
            code, n = sym - 256, 7
        else:
            code, n = 0xC0 + sym - 280, 8
        codes.append((_reverse(code, n), n))
    return codes


_LEN_BASE = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51,
             59, 67, 83, 99, 115, 131, 163, 195, 227, 258]
_LEN_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
_DIST_BASE = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385,
              513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577]
_DIST_EXTRA = [0, 0, 0, 0] + [i // 2 for i in range(2, 28)]


def _symbol(value, bases):
    lo, hi = 0, len(bases) - 1
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if bases[mid] <= value:
            lo = mid
        else:
            hi = mid - 1
    return lo


class _BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.nbits = 0

    def write(self, value, nbits):
        self.acc |= value << self.nbits
        self.nbits += nbits
        while self.nbits >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.nbits -= 8

    def finish(self):
        if self.nbits:
            self.out.append(self.acc & 0xFF)
        return bytes(self.out)


def deflate(data, max_chain=48):
    litlen = _fixed_litlen_codes()
    dist_codes = [(_reverse(i, 5), 5) for i in range(30)]
    bits = _BitWriter()
    bits.write(1, 1)        # final block
    bits.write(1, 2)        # fixed Huffman codes
    n = len(data)
    head = {}
    prev = [-1] * n
    i = 0

    def insert(pos):
        if pos + 2 < n:
            key = data[pos:pos + 3]
            prev[pos] = head.get(key, -1)
            head[key] = pos

    while i < n:
        best_len = 0
        best_dist = 0
        if i + 2 < n:
            key = data[i:i + 3]
            cand = head.get(key, -1)
            limit = min(258, n - i)
            chain = 0
            while cand >= 0 and i - cand <= 32768 and chain < max_chain:
                length = 0
                while length < limit and data[cand + length] == data[i + length]:
                    length += 1
                if length > best_len:
                    best_len, best_dist = length, i - cand
                    if length == limit:
                        break
                cand = prev[cand]
                chain += 1
        if best_len >= 3:
            s = _symbol(best_len, _LEN_BASE)
            bits.write(*litlen[257 + s])
            bits.write(best_len - _LEN_BASE[s], _LEN_EXTRA[s])
            d = _symbol(best_dist, _DIST_BASE)
            bits.write(*dist_codes[d])
            bits.write(best_dist - _DIST_BASE[d], _DIST_EXTRA[d])
            for p in range(i, i + best_len):
                insert(p)
            i += best_len
        else:
            bits.write(*litlen[data[i]])
            insert(i)
            i += 1
    bits.write(*litlen[256])
    return bits.finish()


def zlib_stream(data):
    return b"\x78\x9c" + deflate(data) + struct.pack(">I", zlib.adler32(data) & 0xFFFFFFFF)


# --------------------------------------------------------------------------
# PNG and ICO writers


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def png_bytes(rgba, size):
    stride = size * 4
    raw = bytearray()
    prior = bytes(stride)
    for y in range(size):
        line = rgba[y * stride:(y + 1) * stride]
        candidates = []
        for ftype in range(5):
            f = bytearray(stride)
            for x in range(stride):
                left = line[x - 4] if x >= 4 else 0
                up = prior[x]
                upleft = prior[x - 4] if x >= 4 else 0
                pred = (0, left, up, (left + up) >> 1, _paeth(left, up, upleft))[ftype]
                f[x] = (line[x] - pred) & 0xFF
            cost = sum(v if v < 128 else 256 - v for v in f)
            candidates.append((cost, ftype, f))
        cost, ftype, f = min(candidates, key=lambda c: (c[0], c[1]))
        raw.append(ftype)
        raw += f
        prior = line
    compressed = zlib_stream(bytes(raw))
    if zlib.decompress(compressed) != bytes(raw):
        raise RuntimeError("deflate encoder produced a bad stream")

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", compressed) + chunk(b"IEND", b""))


def dib_bytes(rgba, size):
    """32-bpp BGRA DIB with the 1-bpp AND mask icons carry for old readers."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4, 0, 0, 0, 0)
    pixels = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(size)):          # bottom-up
        row_mask = bytearray(mask_stride)
        for x in range(size):
            i = (y * size + x) * 4
            r, g, b, a = rgba[i:i + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                row_mask[x // 8] |= 0x80 >> (x % 8)
        mask += row_mask
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, encoded image data)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return out


def build(svg_path, preview_dir=None):
    view, shapes = load_svg(svg_path)
    images = []
    for size in SIZES:
        rgba = render(view, shapes, size)
        if size in PNG_SIZES:
            images.append((size, png_bytes(rgba, size)))
        else:
            images.append((size, dib_bytes(rgba, size)))
        if preview_dir:
            path = os.path.join(preview_dir, "icon-%d.png" % size)
            with open(path, "wb") as f:
                f.write(png_bytes(rgba, size))
    return ico_bytes(images)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=os.path.join(HERE, "icon-source.svg"))
    parser.add_argument("--output", default=os.path.join(HERE, "velmora.ico"))
    parser.add_argument("--check", action="store_true",
                        help="compare with the existing output instead of writing it")
    parser.add_argument("--preview", metavar="DIR",
                        help="also write each size as a PNG into DIR")
    args = parser.parse_args()

    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
    try:
        ico = build(args.source, args.preview)
    except SvgError as e:
        sys.exit("%s: %s" % (args.source, e))

    if args.check:
        try:
            with open(args.output, "rb") as f:
                current = f.read()
        except OSError as e:
            sys.exit("cannot read %s: %s" % (args.output, e))
        if current != ico:
            sys.exit("%s is out of date with %s: run %s"
                     % (args.output, args.source, os.path.basename(__file__)))
        print("%s is up to date (%d bytes)" % (args.output, len(ico)))
        return
    with open(args.output, "wb") as f:
        f.write(ico)
    print("wrote %s (%d bytes)" % (args.output, len(ico)))


if __name__ == "__main__":
    main()
