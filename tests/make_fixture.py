#!/usr/bin/python3
"""Make or decode a test fixture with Pillow, for bmp_variants_test.cpp.

  make_fixture.py write RAW W H RAWMODE OUT MODE [KEY=VALUE ...]
      Reads W x H pixels of raw RAWMODE ("RGB" or "RGBA", top row first),
      converts them to MODE ("1", "L", "P", "RGB", "RGBA") and saves OUT,
      the format chosen by its extension; KEY=VALUE pairs are passed to
      save() (integers as integers).  "P" keeps every colour exactly: it
      fails rather than quantise an image of more than 256 colours.

  make_fixture.py decode FILE OUT
      Writes Pillow's own reading of FILE, as RGB, to OUT as a 24-bit BMP.
"""
import sys

from PIL import Image


def exact_palette(im):
    colours = im.getcolors(256)
    if colours is None:
        sys.exit("more than 256 colours")
    index = {c: i for i, (_, c) in enumerate(colours)}
    p = Image.new("P", im.size)
    p.putpalette([v for _, c in colours for v in c])
    p.putdata([index[c] for c in im.getdata()])
    return p


def write(raw, w, h, rawmode, out, mode, *options):
    with open(raw, "rb") as f:
        im = Image.frombytes(rawmode, (int(w), int(h)), f.read())
    if mode == "P":
        im = exact_palette(im.convert("RGB"))
    else:
        im = im.convert(mode)
    kwargs = {}
    for option in options:
        key, value = option.split("=", 1)
        kwargs[key] = int(value) if value.lstrip("-").isdigit() else value
    im.save(out, **kwargs)


def decode(path, out):
    Image.open(path).convert("RGB").save(out, "BMP")


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    {"write": write, "decode": decode}[command](*args)
