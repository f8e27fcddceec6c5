#!/usr/bin/python3
"""Write the hand-made files of the hostile-input corpus tests/corpus/:
headers that declare huge images, and valid seed files cut short in the
middle of their pixel data (for compressed formats, in the middle of the
compressed stream).  The rest of that folder comes from fuzzing.

    /usr/bin/python3 fuzz/make_hostile.py [SEEDS_DIR [CORPUS_DIR]]
"""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
seeds = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "seeds")
corpus = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "tests", "corpus")


def bmp_header(w, h, bpp, colours, pixel_bytes):
    offset = 14 + 40 + 4 * colours
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bpp, 0, pixel_bytes, 2835, 2835,
                       colours, colours)
    return b"BM" + struct.pack("<IHHI", offset + pixel_bytes, 0, 0, offset) + info


def huge_bmps():
    # 40000 x 40000 at 24 bits: the header alone, 54 bytes.
    yield "bmp-huge-40000x40000-header-only.bmp", bmp_header(40000, 40000, 24, 0, 0)
    # 15,007,781 x 23 at 8 bits: 1.38 GB of 32-bit pixels, which the library
    # could hold, declared by 454 bytes: a header and 100 colours, no pixels.
    pal = b"".join(struct.pack("<BBBB", i, 255 - i, i * 2 & 255, 0) for i in range(100))
    yield "bmp-huge-15007781x23-no-pixels.bmp", bmp_header(15007781, 23, 8, 100, 15007784 * 23) + pal


def read(fmt, name):
    with open(os.path.join(seeds, fmt, name), "rb") as f:
        return f.read()


def png_cut(data):
    """Cut in the middle of the first IDAT chunk's data."""
    at = 8
    while at + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            return data[:at + 8 + length // 2]
        at += 12 + length
    raise ValueError("no IDAT")


def jpeg_cut(data):
    """Cut in the middle of the entropy-coded data after the first SOS."""
    sos = data.index(b"\xff\xda")
    start = sos + 2 + struct.unpack(">H", data[sos + 2:sos + 4])[0]
    return data[:start + (len(data) - 2 - start) // 2]


def iff_body_cut(data):
    """Cut in the middle of the BODY chunk's data."""
    at = data.index(b"BODY")
    length = struct.unpack(">I", data[at + 4:at + 8])[0]
    return data[:at + 8 + length // 2]


def truncated():
    bmp24 = read("bmp", "24bit.bmp")
    offset = struct.unpack("<I", bmp24[10:14])[0]
    yield "truncated-bmp-24bit.bmp", bmp24[:offset + (len(bmp24) - offset) // 2]
    rle = read("bmp", "8bit-rle8.bmp")
    offset = struct.unpack("<I", rle[10:14])[0]
    yield "truncated-bmp-rle8.bmp", rle[:offset + (len(rle) - offset) // 2]
    # PCX data is always run-length encoded; a 256-colour file ends in its palette.
    pcx8 = read("pcx", "8bit-palette.pcx")
    yield "truncated-pcx-8bit.pcx", pcx8[:128 + (len(pcx8) - 769 - 128) // 2]
    pcx24 = read("pcx", "24bit.pcx")
    yield "truncated-pcx-24bit.pcx", pcx24[:128 + (len(pcx24) - 128) // 2]
    tga = read("tga", "24bit.tga")
    yield "truncated-tga-24bit.tga", tga[:18 + (len(tga) - 18) // 2]
    tga_rle = read("tga", "24bit-rle-pillow.tga")
    yield "truncated-tga-rle.tga", tga_rle[:18 + (len(tga_rle) - 18) // 2]
    yield "truncated-lbm-ilbm.lbm", iff_body_cut(read("lbm", "ilbm-4planes.lbm"))
    yield "truncated-lbm-byterun1.lbm", iff_body_cut(read("lbm", "ilbm-8planes-byterun1.lbm"))
    yield "truncated-lbm-pbm.lbm", iff_body_cut(read("lbm", "pbm-16wide.lbm"))
    yield "truncated-png-rgb.png", png_cut(read("png", "rgb.png"))
    yield "truncated-png-palette.png", png_cut(read("png", "palette.png"))
    yield "truncated-jpg-baseline.jpg", jpeg_cut(read("jpg", "baseline.jpg"))
    yield "truncated-jpg-progressive.jpg", jpeg_cut(read("jpg", "progressive.jpg"))


def main():
    os.makedirs(corpus, exist_ok=True)
    for name, data in list(huge_bmps()) + list(truncated()):
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
