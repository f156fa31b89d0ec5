#!/usr/bin/env python3
"""Writes a Display P3 ICC profile (version 4, matrix and parametric curves).

Display P3: the DCI-P3 primaries with the D65 white point and the sRGB transfer
curve, as phones and newer screens use it. The matrix is adapted to the D50
profile connection space with the Bradford transform, as ICC profiles require.

Usage: make-p3-profile.py OUT.icc [--srgb]
(--srgb writes an sRGB profile the same way instead, for converting into P3.)
"""
import struct
import sys


def mat_mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]


def mat_vec(a, v):
    return [sum(a[i][k] * v[k] for k in range(3)) for i in range(3)]


def mat_inv(m):
    a, b, c = m[0]
    d, e, f = m[1]
    g, h, i = m[2]
    det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)
    return [
        [(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det],
        [(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det],
        [(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det],
    ]


def xyz(x, y):
    return [x / y, 1.0, (1 - x - y) / y]


def rgb_to_xyz(primaries, white):
    cols = [xyz(*p) for p in primaries]
    m = [[cols[j][i] for j in range(3)] for i in range(3)]
    s = mat_vec(mat_inv(m), xyz(*white))
    return [[m[i][j] * s[j] for j in range(3)] for i in range(3)]


BRADFORD = [[0.8951, 0.2664, -0.1614], [-0.7502, 1.7135, 0.0367], [0.0389, -0.0685, 1.0296]]
D50 = [0.9642, 1.0, 0.8249]


def adaptation(src_white):
    cs = mat_vec(BRADFORD, src_white)
    cd = mat_vec(BRADFORD, D50)
    scale = [[cd[i] / cs[i] if i == j else 0.0 for j in range(3)] for i in range(3)]
    return mat_mul(mat_inv(BRADFORD), mat_mul(scale, BRADFORD))


def s15(v):
    return struct.pack(">i", int(round(v * 65536)))


def xyz_tag(v):
    return b"XYZ " + b"\0" * 4 + b"".join(s15(c) for c in v)


def mluc(text):
    data = text.encode("utf-16-be")
    return b"mluc" + b"\0" * 4 + struct.pack(">II", 1, 12) + b"enUS" + struct.pack(">II", len(data), 28) + data


def para_srgb():
    g, a, b, c, d = 2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045
    return b"para" + b"\0" * 4 + struct.pack(">HH", 3, 0) + b"".join(s15(x) for x in (g, a, b, c, d))


def sf32(m):
    return b"sf32" + b"\0" * 4 + b"".join(s15(m[i][j]) for i in range(3) for j in range(3))


def main(out, srgb):
    white = (0.3127, 0.3290)
    if srgb:
        m = rgb_to_xyz([(0.640, 0.330), (0.300, 0.600), (0.150, 0.060)], white)
    else:
        m = rgb_to_xyz([(0.680, 0.320), (0.265, 0.690), (0.150, 0.060)], white)
    chad = adaptation(xyz(*white))
    m50 = mat_mul(chad, m)
    curve = para_srgb()
    tags = [
        (b"desc", mluc("sRGB" if srgb else "Display P3")),
        (b"cprt", mluc("No copyright, use freely")),
        (b"wtpt", xyz_tag(D50)),
        (b"chad", sf32(chad)),
        (b"rXYZ", xyz_tag([m50[i][0] for i in range(3)])),
        (b"gXYZ", xyz_tag([m50[i][1] for i in range(3)])),
        (b"bXYZ", xyz_tag([m50[i][2] for i in range(3)])),
        (b"rTRC", curve),
        (b"gTRC", curve),
        (b"bTRC", curve),
    ]
    table_size = 4 + 12 * len(tags)
    offset = 128 + table_size
    table = struct.pack(">I", len(tags))
    data = b""
    shared = {}
    for sig, body in tags:
        if body in shared:
            at = shared[body]
        else:
            while (offset + len(data)) % 4:
                data += b"\0"
            at = offset + len(data)
            shared[body] = at
            data += body
        table += sig + struct.pack(">II", at, len(body))
    while len(data) % 4:
        data += b"\0"
    size = 128 + table_size + len(data)
    header = struct.pack(">I", size) + b"\0" * 4 + struct.pack(">I", 0x04300000) + b"mntrRGB XYZ "
    header += struct.pack(">6H", 2026, 1, 1, 0, 0, 0) + b"acsp" + b"\0" * 4 + b"\0" * 4 + b"\0" * 8 + b"\0" * 8
    header += struct.pack(">I", 0) + b"".join(s15(c) for c in D50) + b"\0" * 4
    header += b"\0" * (128 - len(header))
    with open(out, "wb") as f:
        f.write(header + table + data)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] != "--srgb"):
        sys.exit(__doc__)
    main(sys.argv[1], len(sys.argv) == 3)
