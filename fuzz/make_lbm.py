#!/usr/bin/python3
"""Write tiny IFF images for the fuzz seed corpus, since no common tool does:
an uncompressed planar ILBM, a ByteRun1-compressed ILBM and chunky PBMs.

    /usr/bin/python3 fuzz/make_lbm.py OUTPUT_DIR
"""
import os
import struct
import sys


def chunk(name, data):
    pad = b"\0" if len(data) % 2 else b""
    return name + struct.pack(">I", len(data)) + data + pad


def bmhd(w, h, planes, compression):
    # w, h, x, y, planes, masking, compression, pad, transparent colour,
    # x and y aspect, page width and height
    return chunk(b"BMHD", struct.pack(">HHhhBBBBHBBhh", w, h, 0, 0, planes, 0,
                                      compression, 0, 0, 1, 1, w, h))


def cmap(colours):
    return chunk(b"CMAP", bytes(c for rgb in colours for c in rgb))


def form(kind, chunks):
    body = kind + b"".join(chunks)
    return b"FORM" + struct.pack(">I", len(body)) + body


def palette(n):
    return [((i * 37) & 255, (i * 91) & 255, (255 - i * 17) & 255) for i in range(n)]


def pixels(w, h, n):
    return [[(x + 3 * y) % n for x in range(w)] for y in range(h)]


def planar_rows(px, w, planes):
    """Each row as `planes` bit planes, each padded to a 16-bit word."""
    row_bytes = (w + 15) // 16 * 2
    rows = []
    for line in px:
        out = b""
        for p in range(planes):
            plane = bytearray(row_bytes)
            for x, v in enumerate(line):
                if v >> p & 1:
                    plane[x // 8] |= 0x80 >> (x % 8)
            out += bytes(plane)
        rows.append(out)
    return rows


def byterun1(data):
    """Pack one row: literal runs of up to 128 bytes and repeats of 2..128."""
    out, i = bytearray(), 0
    while i < len(data):
        j = i
        while j + 1 < len(data) and data[j + 1] == data[i] and j - i < 127:
            j += 1
        if j > i:
            out += bytes([257 - (j - i + 1), data[i]])
            i = j + 1
            continue
        j = i
        while j < len(data) and j - i < 128 and (j + 1 >= len(data) or data[j + 1] != data[j]):
            j += 1
        out += bytes([j - i - 1]) + data[i:j]
        i = j
    return bytes(out)


def ilbm(w, h, planes, compressed):
    n = 1 << planes
    rows = planar_rows(pixels(w, h, n), w, planes)
    if compressed:
        row_bytes = (w + 15) // 16 * 2
        body = b"".join(byterun1(r[k:k + row_bytes]) for r in rows
                        for k in range(0, len(r), row_bytes))
    else:
        body = b"".join(rows)
    return form(b"ILBM", [bmhd(w, h, planes, 1 if compressed else 0),
                          cmap(palette(n)), chunk(b"BODY", body)])


def pbm(w, h):
    """Chunky 8-bit pixels, each row padded to an even length."""
    px = pixels(w, h, 256)
    body = b"".join(bytes(line) + (b"\0" if w % 2 else b"") for line in px)
    return form(b"PBM ", [bmhd(w, h, 8, 0), cmap(palette(256)), chunk(b"BODY", body)])


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    files = {
        "ilbm-4planes.lbm": ilbm(10, 6, 4, False),
        "ilbm-8planes-byterun1.lbm": ilbm(24, 5, 8, True),
        "pbm-16wide.lbm": pbm(16, 4),
        "pbm-6wide.lbm": pbm(6, 3),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
