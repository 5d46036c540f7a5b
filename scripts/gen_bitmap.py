#!/usr/bin/env python3
"""Draws the station tree's image strip: gen_bitmap.py OUT.bmp

58 x 16 pixels, 16 colours, images 16 pixels wide, magenta as the mask colour:
0 a node on a network line (the channel), 1 a controller rack hanging on a bus
line (a station), 2 a data symbol, ones and zeros in braces."""
import struct
import sys

W, H = 58, 16
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, DGREEN, NAVY, SILVER, GREY, RED, LIME, BLUE, MAGENTA, WHITE = 0, 2, 4, 7, 8, 9, 10, 12, 13, 15

px = [[MAGENTA] * W for _ in range(H)]


def rect(x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            px[y][x] = c


def pattern(x0, y0, rows, colours):
    for dy, row in enumerate(rows):
        for dx, ch in enumerate(row):
            if ch in colours:
                px[y0 + dy][x0 + dx] = colours[ch]


# 0: a node on a network line: a monitor on a stand over a horizontal cable
rect(0, 13, 15, 13, BLACK)
rect(7, 10, 8, 12, BLACK)
rect(3, 2, 12, 9, BLACK)
rect(4, 3, 11, 8, NAVY)
rect(5, 4, 7, 5, BLUE)
rect(5, 11, 10, 11, GREY)

# 1: a controller rack hanging on a bus line
x = 16
rect(x, 1, x + 15, 1, BLACK)
rect(x + 7, 2, x + 8, 3, BLACK)
rect(x + 3, 4, x + 12, 15, BLACK)
rect(x + 4, 5, x + 11, 14, SILVER)
for y in (6, 9, 12):
    rect(x + 5, y, x + 10, y + 1, GREY)
    px[y][x + 10] = LIME if y != 9 else RED

# 2: ones and zeros in braces
pattern(33, 2, [
    "  B               B  ",
    " B                 B ",
    " B  G  NNN  G  NNN B ",
    " B GG  N N GG  N N B ",
    "B   G  N N  G  N N  B",
    " B  G  N N  G  N N B ",
    " B GGG NNN GGG NNN B ",
    " B                 B ",
    "  B               B  ",
], {"B": BLACK, "G": DGREEN, "N": NAVY})

row_bytes = ((W * 4 + 31) // 32) * 4
pixels = bytearray()
for y in reversed(range(H)):
    row = bytearray()
    for xx in range(0, W, 2):
        hi = px[y][xx]
        lo = px[y][xx + 1] if xx + 1 < W else 0
        row.append(hi << 4 | lo)
    row += b"\0" * (row_bytes - len(row))
    pixels += row
palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
offset = 14 + 40 + len(palette)
header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 4, 0, len(pixels), 2835, 2835, 16, 16)
with open(sys.argv[1], "wb") as f:
    f.write(header + info + palette + pixels)
