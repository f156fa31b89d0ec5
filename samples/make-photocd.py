#!/usr/bin/env python3
"""Writes a Kodak PhotoCD image pack holding the three uncompressed base
resolutions (192 x 128, 384 x 256, 768 x 512) of a picture, in standard PhotoYCC.

    make-photocd.py BASE16.ppm BASE4.ppm BASE.ppm OUT.pcd

The inputs are binary PPMs of exactly those sizes (ImageMagick makes them).
Luma is stored as Y / 1.3584 and the chroma differences around 156 (C1, blue)
and 137 (C2, red) with the scales of the PhotoYCC matrix; chroma is averaged over
each 2 x 2 block. Each resolution starts on its fixed 2048-byte sector."""
import sys

SECTOR = 2048
LAYOUT = [(192, 128, 4), (384, 256, 23), (768, 512, 96)]


def read_ppm(path):
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b'P6' or int(fields[3]) != 255:
        raise SystemExit(f'{path}: not an 8-bit binary PPM')
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def clamp(v):
    return 0 if v < 0 else 255 if v > 255 else int(v + 0.5)


def encode(w, h, rgb):
    luma = [0.0] * (w * h)
    c1 = [0.0] * (w * h)
    c2 = [0.0] * (w * h)
    for i in range(w * h):
        r, g, b = rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]
        y = 0.299 * r + 0.587 * g + 0.114 * b
        luma[i] = y / 1.3584
        c1[i] = (b - y) / 2.2179 + 156
        c2[i] = (r - y) / 1.8215 + 137
    out = bytearray()
    for y in range(0, h, 2):
        out += bytes(clamp(v) for v in luma[y * w:(y + 1) * w])
        out += bytes(clamp(v) for v in luma[(y + 1) * w:(y + 2) * w])
        for plane in (c1, c2):
            row = bytearray()
            for x in range(0, w, 2):
                s = plane[y * w + x] + plane[y * w + x + 1] + plane[(y + 1) * w + x] + plane[(y + 1) * w + x + 1]
                row.append(clamp(s / 4))
            out += row
    return out


def main():
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    pack = bytearray(b'\xff' * 32) + bytearray(SECTOR - 32)
    ipi = bytearray(SECTOR)
    ipi[0:7] = b'PCD_IPI'
    ipi[0x0E02 - SECTOR] = 0  # rotation code: stored upright
    pack += ipi
    for (w, h, sector), path in zip(LAYOUT, sys.argv[1:4]):
        pw, ph, rgb = read_ppm(path)
        if (pw, ph) != (w, h):
            raise SystemExit(f'{path}: need {w} x {h}, got {pw} x {ph}')
        pack += bytearray(sector * SECTOR - len(pack))
        pack += encode(w, h, rgb)
    pack += bytearray(-len(pack) % SECTOR)
    open(sys.argv[4], 'wb').write(pack)


main()
