#!/usr/bin/env python3
"""Makes the Windows application icon from the tray artwork.

    python3 scripts/make-icon.py Assistant/shell/qt/resources/kestrix-large.png \
        Assistant/shell/win32/resources/kestrix.ico

Reads a non-interlaced RGBA PNG (8 or 16 bits per channel), scales it by area averaging to 16,
32 and 48 pixels and writes an .ico whose images are 32-bit BGRA bitmaps with an AND mask (the
form every Windows version and Wine read). Needs nothing beyond Python's standard library.
"""
import struct
import sys
import zlib


def read_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG file")
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if colour != 6 or depth not in (8, 16) or interlace:
                raise SystemExit(f"{path}: only non-interlaced RGBA PNG files are read")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    bpp = 4 * depth // 8
    stride = width * bpp
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(height):
        ftype, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if ftype == 1:
                line[x] = (line[x] + a) & 255
            elif ftype == 2:
                line[x] = (line[x] + b) & 255
            elif ftype == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    step = depth // 8
    pixels = [[tuple(row[x * bpp + k * step] for k in range(4)) for x in range(width)] for row in rows]
    return width, height, pixels


def scale(src, sw, sh, size):
    """Area-averaged, colour weighted by alpha so transparent edges do not darken."""
    out = []
    for y in range(size):
        y0, y1 = y * sh / size, (y + 1) * sh / size
        row = []
        for x in range(size):
            x0, x1 = x * sw / size, (x + 1) * sw / size
            acc = [0.0, 0.0, 0.0, 0.0]
            area = 0.0
            for sy in range(int(y0), min(sh, int(y1 + 0.999999))):
                wy = min(y1, sy + 1) - max(y0, sy)
                for sx in range(int(x0), min(sw, int(x1 + 0.999999))):
                    w = wy * (min(x1, sx + 1) - max(x0, sx))
                    r, g, b, a = src[sy][sx]
                    acc[0] += r * a * w
                    acc[1] += g * a * w
                    acc[2] += b * a * w
                    acc[3] += a * w
                    area += w
            alpha = acc[3] / area
            if acc[3] > 0:
                rgb = [round(acc[k] / acc[3]) for k in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((*rgb, round(alpha)))
        out.append(row)
    return out


def ico_image(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + colour + mask


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    width, height, pixels = read_png(sys.argv[1])
    images = [(s, ico_image(scale(pixels, width, height, s), s)) for s in (16, 32, 48)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    out += b"".join(blob for _, blob in images)
    open(sys.argv[2], "wb").write(out)


if __name__ == "__main__":
    main()
