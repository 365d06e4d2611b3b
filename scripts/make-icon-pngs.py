#!/usr/bin/env python3
"""Makes the hicolor theme icons of the Linux package from the tray artwork.

    python3 scripts/make-icon-pngs.py Assistant/shell/qt/resources/kestrix-large.png OUT NAME

writes OUT/<size>x<size>/apps/NAME.png for 16, 22, 24, 32, 48, 64, 128 and 256 pixels as 8-bit
RGBA PNG files. Sizes below the artwork's are area-averaged (scripts/make-icon.py's scaler, which
weights colour by alpha), larger ones interpolated bilinearly. Needs nothing beyond Python's
standard library.
"""
import importlib.util
import os
import struct
import sys
import zlib

SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def load_icon_module():
    here = os.path.dirname(os.path.abspath(__file__))
    found = importlib.util.spec_from_file_location("make_icon", os.path.join(here, "make-icon.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def enlarge(src, sw, sh, size):
    """Bilinear, on premultiplied colour so that transparent pixels lend no colour to the edge."""
    out = []
    for y in range(size):
        fy = min(max((y + 0.5) * sh / size - 0.5, 0.0), sh - 1.0)
        y0 = int(fy)
        y1 = min(y0 + 1, sh - 1)
        wy = fy - y0
        row = []
        for x in range(size):
            fx = min(max((x + 0.5) * sw / size - 0.5, 0.0), sw - 1.0)
            x0 = int(fx)
            x1 = min(x0 + 1, sw - 1)
            wx = fx - x0
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy, fy_w in ((y0, 1 - wy), (y1, wy)):
                for sx, fx_w in ((x0, 1 - wx), (x1, wx)):
                    w = fy_w * fx_w
                    r, g, b, a = src[sy][sx]
                    acc[0] += r * a * w
                    acc[1] += g * a * w
                    acc[2] += b * a * w
                    acc[3] += a * w
            if acc[3] > 0:
                rgb = [min(255, round(acc[k] / acc[3])) for k in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((*rgb, min(255, round(acc[3]))))
        out.append(row)
    return out


def png_bytes(pixels, size):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in pixels)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    source, out, name = sys.argv[1:]
    icon = load_icon_module()
    width, height, pixels = icon.read_png(source)
    for size in SIZES:
        if size <= min(width, height):
            scaled = icon.scale(pixels, width, height, size)
        else:
            scaled = enlarge(pixels, width, height, size)
        folder = os.path.join(out, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name + ".png"), "wb") as f:
            f.write(png_bytes(scaled, size))


if __name__ == "__main__":
    main()
