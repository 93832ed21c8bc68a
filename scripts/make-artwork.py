#!/usr/bin/env python3
"""Draws the updater's artwork: res/bk.png (window background, 640 x 455) and res/logo.ico
(application icon, 16/32/48/256 px). Pure Python, no dependencies; run from anywhere."""
import math
import os
import struct
import zlib

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")


def png_bytes(width, height, pixel):
    """pixel(x, y) -> (r, g, b, a) with components 0..255."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            raw.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")


def clamp(v):
    return max(0, min(255, int(round(v))))


def background(x, y):
    # A blue banner with soft concentric rings across the top, fading into an almost white field
    # below, where the labels sit: the windows' dark texts (#333, #666, black) need a light ground to
    # stay readable (contrast of at least 4.5:1 for #666 needs a relative luminance above 0.77).
    fade = min(1.0, max(0.0, (y - 70) / 60.0))
    t = (x / 640.0) * 0.6 + (y / 455.0) * 0.4
    banner = (20 + 30 * t, 70 + 60 * t, 140 + 70 * t)
    d = math.hypot(x - 560, y - 40)
    ring = (0.5 + 0.5 * math.cos(d / 9.0)) * max(0.0, 1.0 - d / 300.0) * 30
    banner = (banner[0] + ring * 0.4, banner[1] + ring * 0.8, banner[2] + ring)
    # The field: white with a faint blue tint that deepens slightly towards the bottom corners.
    tint = 4 + 6 * (y / 455.0) * abs(x - 320) / 320.0
    field = (250 - 2 * tint, 252 - tint, 255)
    mix = [b + (f - b) * fade for b, f in zip(banner, field)]
    return (clamp(mix[0]), clamp(mix[1]), clamp(mix[2]), 255)


def logo(size):
    c = (size - 1) / 2.0
    outer, inner = size * 0.46, size * 0.30

    def pixel(x, y):
        dx, dy = x - c, y - c
        d = math.hypot(dx, dy)
        angle = math.atan2(dy, dx)
        # A ring (the refresh arrow) with a gap in the upper right, and a downward arrow in the middle.
        in_ring = inner <= d <= outer and not (-1.2 < angle < -0.35)
        head = (-0.35 <= angle <= 0.35 and inner - size * 0.08 <= d <= outer + size * 0.08
                and (angle + 0.35) * size * 0.5 > abs(d - (inner + outer) / 2) * 1.1)
        shaft = abs(dx) <= size * 0.06 and -size * 0.18 <= dy <= size * 0.08
        tip = 0 <= dy - size * 0.02 <= size * 0.16 and abs(dx) <= (size * 0.16 - (dy - size * 0.02))
        if in_ring or head:
            return (40, 150, 240, 255)
        if shaft or tip:
            return (255, 255, 255, 255)
        if d <= outer + 1:
            return (20, 60, 110, 235)
        return (0, 0, 0, 0)

    return png_bytes(size, size, pixel)


def ico(images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, blobs = b"", b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return header + entries + blobs


def main():
    os.makedirs(RES, exist_ok=True)
    with open(os.path.join(RES, "bk.png"), "wb") as f:
        f.write(png_bytes(640, 455, background))
    with open(os.path.join(RES, "logo.ico"), "wb") as f:
        f.write(ico([(s, logo(s)) for s in (16, 32, 48, 256)]))


if __name__ == "__main__":
    main()
