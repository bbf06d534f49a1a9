#!/usr/bin/env python3
"""Writes the small sample images of samples/ (drawn here, from nothing but arithmetic)."""
import math
import os
import struct
import sys
import zlib

W, H = 96, 64


def pixel(x, y):
    """A soft colour field with a circle, so that scaling and turning are easy to see."""
    r = int(255 * x / (W - 1))
    g = int(255 * y / (H - 1))
    b = 128 + int(127 * math.sin(x / 7.0))
    if (x - W * 0.65) ** 2 + (y - H * 0.4) ** 2 < (H * 0.25) ** 2:
        r, g, b = 250, 250, 240
    return r, g, b


def rows():
    return [[pixel(x, y) for x in range(W)] for y in range(H)]


def write_bmp24(path, img):
    stride = (W * 3 + 3) & ~3
    data = b"".join(
        b"".join(struct.pack("BBB", b, g, r) for r, g, b in row).ljust(stride, b"\0")
        for row in reversed(img))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    open(path, "wb").write(header + info + data)


def write_bmp8(path, img):
    palette = b"".join(struct.pack("BBBB", b * 51, g * 51, r * 51, 0)
                       for r in range(6) for g in range(6) for b in range(6))
    palette = palette.ljust(256 * 4, b"\0")
    stride = (W + 3) & ~3
    data = b"".join(
        bytes((r * 6 // 256) * 36 + (g * 6 // 256) * 6 + b * 6 // 256 for r, g, b in row)
        .ljust(stride, b"\0") for row in reversed(img))
    off = 54 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", off + len(data), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 8, 0, len(data), 2835, 2835, 256, 0)
    open(path, "wb").write(header + info + palette + data)


def write_png(path, img):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in img)
    ihdr = struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0)
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
           + chunk(b"IEND", b""))
    open(path, "wb").write(png)


def write_ppm(path, img):
    body = bytes(c for row in img for p in row for c in p)
    open(path, "wb").write(b"P6\n# xevra sample\n%d %d\n255\n" % (W, H) + body)


def write_tiff_pages(path, pages):
    """An uncompressed RGB TIFF with one directory per page."""
    out = bytearray(b"II*\0\0\0\0\0")
    prev_link = 4
    for img in pages:
        data = bytes(c for row in img for p in row for c in p)
        data_off = len(out)
        out += data
        if len(out) % 2:
            out += b"\0"
        bps_off = len(out)
        out += struct.pack("<HHH", 8, 8, 8)
        tags = [(256, 3, 1, W), (257, 3, 1, H), (258, 3, 3, bps_off), (259, 3, 1, 1),
                (262, 3, 1, 2), (273, 4, 1, data_off), (277, 3, 1, 3), (278, 3, 1, H),
                (279, 4, 1, len(data)), (284, 3, 1, 1)]
        ifd_off = len(out)
        struct.pack_into("<I", out, prev_link, ifd_off)
        out += struct.pack("<H", len(tags))
        for tag, kind, count, value in tags:
            if kind == 3 and count == 1:
                out += struct.pack("<HHIHH", tag, kind, count, value, 0)
            else:
                out += struct.pack("<HHII", tag, kind, count, value)
        prev_link = len(out)
        out += b"\0\0\0\0"
    open(path, "wb").write(bytes(out))


def lzw_gif(indices, min_code=8):
    """GIF LZW with a clear code before every 254 codes, which keeps the code size fixed."""
    clear, end = 1 << min_code, (1 << min_code) + 1
    size = min_code + 1
    codes = []
    for i, v in enumerate(indices):
        if i % 254 == 0:
            codes.append(clear)
        codes.append(v)
    codes.append(end)
    bits, nbits, out = 0, 0, bytearray()
    for c in codes:
        bits |= c << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        out.append(bits & 0xFF)
    blocks = b"".join(bytes([len(out[i:i + 255])]) + out[i:i + 255]
                      for i in range(0, len(out), 255))
    return bytes([min_code]) + blocks + b"\0"


def write_gif_frames(path, frames):
    palette = b"".join(bytes((r * 51, g * 51, b * 51)) for r in range(6) for g in range(6)
                       for b in range(6)).ljust(768, b"\0")
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", W, H, 0xF7, 0, 0) + palette)
    out += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\0\0\0"
    for img in frames:
        out += b"\x21\xf9\x04\x04" + struct.pack("<H", 20) + b"\0\0"
        out += b"\x2c" + struct.pack("<HHHHB", 0, 0, W, H, 0)
        out += lzw_gif([(r * 6 // 256) * 36 + (g * 6 // 256) * 6 + b * 6 // 256
                        for row in img for r, g, b in row])
    out += b"\x3b"
    open(path, "wb").write(bytes(out))


def shifted(img, k):
    return [[(g, b, r) if k == 1 else (b, r, g) if k == 2 else (r, g, b) for r, g, b in row]
            for row in img]


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__),
                                                              "..", "samples")
    os.makedirs(os.path.join(root, "more", "deeper"), exist_ok=True)
    img = rows()
    write_bmp24(os.path.join(root, "field.bmp"), img)
    write_bmp8(os.path.join(root, "field-256.bmp"), img)
    write_png(os.path.join(root, "more", "field.png"), img)
    write_ppm(os.path.join(root, "more", "deeper", "field.ppm"), img)
    write_tiff_pages(os.path.join(root, "scan.tif"), [shifted(img, k) for k in range(3)])
    write_gif_frames(os.path.join(root, "more", "blink.gif"), [shifted(img, k) for k in range(3)])


if __name__ == "__main__":
    main()
