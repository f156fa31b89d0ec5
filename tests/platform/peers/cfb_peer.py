#!/usr/bin/env python3
"""Compound-file peer for the interoperability tests.

  cfb_peer.py list FILE      every storage ("S<TAB>path") and stream
                             ("F<TAB>path<TAB>size<TAB>sha256") as python3-olefile reads them
  cfb_peer.py writev4 FILE   writes a small version-4 file (4096-byte sectors) by hand,
                             straight from the published layout, for our reader to open
"""
import hashlib
import struct
import sys

FREE, END, FATSECT, NOSTREAM = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFF


def pattern(seed, size):
    return bytes(((i * 31 + seed * 7 + (i >> 8)) & 0xFF) for i in range(size))


def cmd_list(path):
    import olefile
    ole = olefile.OleFileIO(path)
    rows = []
    for entry in ole.listdir(streams=True, storages=True):
        p = "/".join(entry)
        if ole.get_type(entry) == olefile.STGTY_STORAGE:
            rows.append("S\t" + p)
        else:
            data = ole.openstream(entry).read()
            rows.append("F\t%s\t%d\t%s" % (p, len(data), hashlib.sha256(data).hexdigest()))
    for r in sorted(rows):
        print(r)


def cmd_writev4(path):
    ssz = 4096
    # Sector 0 FAT, 1 directory, 2 MiniFAT, 3 mini stream, 4-5 a 6000-byte stream.
    big = pattern(4, 6000)
    small = pattern(5, 100)
    inner = pattern(6, 70)
    mini = small + b"\0" * 28 + inner + b"\0" * 58  # mini sectors 0-1 and 2-3
    fat = [FATSECT, END, END, END, 5, END] + [FREE] * (ssz // 4 - 6)
    minifat = [1, END, 3, END] + [FREE] * (ssz // 4 - 4)

    def entry(name, typ, color, left, right, child, start, size):
        n = name.encode("utf-16-le")
        e = n + b"\0" * (64 - len(n))
        e += struct.pack("<HBBIII", len(n) + 2, typ, color, left, right, child)
        e += b"\0" * 16 + struct.pack("<I", 0) + b"\0" * 16
        e += struct.pack("<IQ", start, size)
        return e

    # Root(0) -> tree {big(1) black, sub(2) red left}; sub -> small(3); root children sorted:
    # "sub" (3) < "big6000" (7): sub is the left child of big.
    dirs = entry("Root Entry", 5, 1, NOSTREAM, NOSTREAM, 1, 3, 256)
    dirs += entry("big6000", 2, 1, 2, NOSTREAM, NOSTREAM, 4, len(big))
    dirs += entry("sub", 1, 0, NOSTREAM, NOSTREAM, 3, 0, 0)
    dirs += entry("small", 2, 1, 4, NOSTREAM, NOSTREAM, 0, len(small))
    dirs += entry("in", 2, 0, NOSTREAM, NOSTREAM, NOSTREAM, 2, len(inner))
    dirs += (b"\0" * 64 + struct.pack("<HBBIII", 0, 0, 0, NOSTREAM, NOSTREAM, NOSTREAM) + b"\0" * 48) * (32 - 5)
    hdr = bytes.fromhex("d0cf11e0a1b11ae1") + b"\0" * 16
    hdr += struct.pack("<HHHHH", 0x3E, 4, 0xFFFE, 12, 6) + b"\0" * 6
    hdr += struct.pack("<IIIIIIIII", 1, 1, 1, 0, 4096, 2, 1, END, 0)
    hdr += struct.pack("<I", 0) + struct.pack("<108I", *([FREE] * 108))
    hdr += b"\0" * (ssz - len(hdr))
    body = struct.pack("<%dI" % (ssz // 4), *fat) + dirs + struct.pack("<%dI" % (ssz // 4), *minifat)
    body += mini + b"\0" * (ssz - len(mini)) + big + b"\0" * (2 * ssz - len(big))
    with open(path, "wb") as f:
        f.write(hdr + body)


if __name__ == "__main__":
    {"list": cmd_list, "writev4": cmd_writev4}[sys.argv[1]](sys.argv[2])
