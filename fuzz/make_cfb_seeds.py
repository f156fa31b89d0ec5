#!/usr/bin/env python3
"""Writes the large seeds of the compound-file fuzzer into fuzz/corpus/fuzz_cfb.

The small seeds never reach the code that sizes tables by what the FAT covers:
these are 100 KB to 2 MB, with many FAT sectors and a DIFAT chain of several
sectors; one places a FAT sector just past what the FAT covers (a file that
must be refused, not read past a table sized by that cover).

    python3 fuzz/make_cfb_seeds.py [OUTDIR]
"""
import os
import struct
import sys

SSZ = 512
FREE, END, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC
NOSTREAM = 0xFFFFFFFF


def entry(name, typ, left=NOSTREAM, right=NOSTREAM, child=NOSTREAM, start=END, size=0):
    raw = name.encode("utf-16-le") + b"\0\0" if name else b""
    e = raw.ljust(64, b"\0")
    e += struct.pack("<HBB", len(raw), typ, 1)  # name length, type, black
    e += struct.pack("<III", left, right, child)
    e += b"\0" * 16 + struct.pack("<I", 0) + b"\0" * 16  # class id, state, times
    e += struct.pack("<IQ", start, size)
    assert len(e) == 128
    return e


def build(num_fat, sizes, fat_beyond=False):
    """A version-3 file with streams of the given sizes (all past the mini cutoff)
    and num_fat FAT sectors, 109 in the header and the rest through the DIFAT."""
    num_difat = max(0, -(-(num_fat - 109) // 127))
    dir_sectors = -(-(1 + len(sizes)) // 4)
    data = [-(-s // SSZ) for s in sizes]
    total = num_fat + num_difat + dir_sectors + sum(data)
    assert num_fat * (SSZ // 4) >= total, "the FAT must cover the file"
    fat_locs = list(range(num_fat))
    difat_locs = list(range(num_fat, num_fat + num_difat))
    first_dir = num_fat + num_difat
    dir_chain = list(range(first_dir, first_dir + dir_sectors))
    chains, at = [], first_dir + dir_sectors
    for n in data:
        chains.append(list(range(at, at + n)))
        at += n
    cover = num_fat * (SSZ // 4)
    if fat_beyond:
        # The last FAT sector is said to lie past what the FAT covers.
        fat_locs[-1] = cover + 3

    fat = [FREE] * cover
    for s in fat_locs:
        if s < cover:
            fat[s] = FATSECT
    for s in difat_locs:
        if s < cover:
            fat[s] = DIFSECT
    for chain in [dir_chain] + chains:
        for i, s in enumerate(chain):
            fat[s] = chain[i + 1] if i + 1 < len(chain) else END

    sectors = {}
    for k, s in enumerate(fat_locs):
        sectors[s] = struct.pack("<128I", *fat[k * 128:(k + 1) * 128])
    rest = fat_locs[109:]
    for j, s in enumerate(difat_locs):
        part = rest[j * 127:(j + 1) * 127]
        part += [FREE] * (127 - len(part))
        nxt = difat_locs[j + 1] if j + 1 < len(difat_locs) else END
        sectors[s] = struct.pack("<128I", *(part + [nxt]))
    names = ["s%d" % i for i in range(len(sizes))]
    ents = [entry("Root Entry", 5, child=1 if sizes else NOSTREAM)]
    for i, (name, size) in enumerate(zip(names, sizes)):
        right = i + 2 if i + 1 < len(sizes) else NOSTREAM
        ents.append(entry(name, 2, right=right, start=chains[i][0], size=size))
    blob = b"".join(ents).ljust(dir_sectors * SSZ, b"\0")
    for i, s in enumerate(dir_chain):
        sectors[s] = blob[i * SSZ:(i + 1) * SSZ]
    for i, chain in enumerate(chains):
        for k, s in enumerate(chain):
            sectors[s] = bytes(((i * 7 + k + b) & 0xFF) for b in range(SSZ))

    hdr = bytes([0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1]) + b"\0" * 16
    hdr += struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6
    hdr += struct.pack("<IIIIIIII", 0, num_fat, first_dir, 0, 4096, END, 0,
                       difat_locs[0] if difat_locs else END)
    hdr += struct.pack("<I", num_difat)
    head = fat_locs[:109] + [FREE] * (109 - min(109, num_fat))
    hdr += struct.pack("<109I", *head)
    assert len(hdr) == SSZ
    last = max(sectors)
    body = b"".join(sectors.get(s, b"\0" * SSZ) for s in range(last + 1))
    return hdr + body


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "fuzz_cfb")
    os.makedirs(out, exist_ok=True)
    seeds = {
        # about 100 KB: 120 FAT sectors, one DIFAT sector
        "many-fat-100k.cfb": build(120, [30000, 9000]),
        # about 600 KB: 400 FAT sectors, three DIFAT sectors
        "many-fat-600k.cfb": build(400, [150000, 40000, 5000]),
        # about 2 MB: 1,200 FAT sectors, nine DIFAT sectors
        "many-fat-2m.cfb": build(1200, [900000, 300000, 70000, 8192]),
        # crafted: the second of two FAT sectors lies past the 256 sectors they cover
        "fat-past-cover-130k.cfb": build(2, [60000], fat_beyond=True),
    }
    for name, data in seeds.items():
        if data is None:
            continue
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print("%s: %d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
