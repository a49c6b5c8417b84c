#!/usr/bin/env python3
"""Draws the updater's icon (a green disc with a white arrow into a tray, the
same artwork as the Linux window's) and writes it as a Windows .ico with six
images: 16, 32 and 48 pixels, each in 16 and in 256 colours."""
import struct
import sys




def pixel(x, y, s):
    """Colour index at (x, y) of an s-pixel image: 0 clear, 1 disc, 2 rim, 3 white."""
    cx = cy = (s - 1) / 2.0
    r = s * 0.46
    d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
    if d > r:
        return 0
    fx, fy = (x + 0.5) / s, (y + 0.5) / s
    shaft = 0.42 <= fx <= 0.58 and 0.20 <= fy <= 0.48
    head = 0.48 <= fy <= 0.70 and abs(fx - 0.5) <= (0.70 - fy)
    tray = 0.26 <= fx <= 0.74 and 0.74 <= fy <= 0.82
    if shaft or head or tray:
        return 3
    return 2 if d > r - max(1.0, s / 16.0) else 1


def image(s, bits):
    palette_size = 16 if bits == 4 else 256
    palette = [(0, 0, 0), (0, 170, 60), (0, 110, 0), (255, 255, 255)] + [(0, 0, 0)] * (palette_size - 4)
    rows = []
    for y in reversed(range(s)):  # bottom-up
        idx = [pixel(x, y, s) for x in range(s)]
        if bits == 4:
            row = bytes((idx[i] << 4) | (idx[i + 1] if i + 1 < s else 0) for i in range(0, s, 2))
        else:
            row = bytes(idx)
        row += b"\0" * ((4 - len(row) % 4) % 4)
        rows.append((row, idx))
    xor = b"".join(r for r, _ in rows)
    and_rows = []
    for _, idx in rows:
        bitsrow = 0
        out = bytearray()
        for i, v in enumerate(idx):
            bitsrow = (bitsrow << 1) | (1 if v == 0 else 0)
            if i % 8 == 7:
                out.append(bitsrow)
                bitsrow = 0
        if s % 8:
            out.append(bitsrow << (8 - s % 8))
        out += b"\0" * ((4 - len(out) % 4) % 4)
        and_rows.append(bytes(out))
    header = struct.pack("<IiiHHIIiiII", 40, s, s * 2, 1, bits, 0, len(xor) + sum(map(len, and_rows)), 0, 0,
                         palette_size, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + pal + xor + b"".join(and_rows), palette_size


def main(path):
    images = [(s, bits) + image(s, bits) for s in (16, 32, 48) for bits in (4, 8)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, bits, data, colours in images:
        out += struct.pack("<BBBBHHII", s, s, colours % 256, 0, 1, bits, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data, _ in images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
