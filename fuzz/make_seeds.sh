#!/bin/sh
# Remake the seed corpus fuzz/seeds/<format>/: a few tiny valid files per
# format, written by ImageMagick, GraphicsMagick and Pillow from one 12 x 8
# picture, and by make_lbm.py for LBM.
set -eu
cd "$(dirname "$0")"
IM=/usr/bin/convert   # ImageMagick itself, whatever else is first on PATH
PY=/usr/bin/python3   # the one with Pillow
rm -rf seeds
mkdir -p seeds/bmp seeds/pcx seeds/tga seeds/lbm seeds/png seeds/jpg
base=$(mktemp -d)
trap 'rm -rf "$base"' EXIT
$PY - "$base" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
im = Image.new("RGB", (12, 8))
im.putdata([((x * 21) & 255, (y * 33) & 255, (x * y * 7 + 40) & 255)
            for y in range(8) for x in range(12)])
im.save(d + "/base.png")
im.convert("RGBA").save(d + "/rgba.png")
# Pillow's own writers, for files laid out differently from ImageMagick's
im.convert("RGBA").save("seeds/bmp/32bit-bi_rgb.bmp")
im.save("seeds/tga/24bit-rle-pillow.tga", compression="tga_rle")
im.convert("L").save("seeds/tga/gray.tga")
im.quantize(16).save("seeds/pcx/4bit-palette-pillow.pcx")
im.convert("1").save("seeds/pcx/1bit.pcx")
PY
b=$base/base.png
a=$base/rgba.png

$IM $b -strip -colors 2 -type Palette BMP3:seeds/bmp/1bit.bmp
$IM $b -strip -colors 16 -type Palette -compress None BMP3:seeds/bmp/4bit.bmp
$IM $b -strip -colors 64 -type Palette -compress None BMP3:seeds/bmp/8bit.bmp
$IM $b -strip -colors 64 -type Palette -compress RLE BMP3:seeds/bmp/8bit-rle8.bmp
$IM $b -strip -type TrueColor BMP3:seeds/bmp/24bit.bmp
$IM $b -strip -type TrueColor BMP:seeds/bmp/24bit-v5-header.bmp
$IM $a -strip BMP:seeds/bmp/32bit-v5-bitfields.bmp
$IM $b -strip BMP2:seeds/bmp/24bit-os2-header.bmp

$IM $b -strip -colors 64 -type Palette seeds/pcx/8bit-palette.pcx
$IM $b -strip -type TrueColor seeds/pcx/24bit.pcx

gm convert $b -type TrueColor -compress None seeds/tga/24bit.tga
$IM $b -strip -type TrueColor -compress RLE seeds/tga/24bit-rle.tga
gm convert $b -colors 64 -type Palette -compress None seeds/tga/8bit-palette.tga
$IM $a -strip -compress None seeds/tga/32bit-alpha.tga

$IM $b -strip PNG24:seeds/png/rgb.png
$IM $b -strip -colors 64 PNG8:seeds/png/palette.png
$IM $b -strip -colorspace Gray PNG:seeds/png/gray.png
$IM $a -strip PNG32:seeds/png/rgba.png
$IM $b -strip -interlace PNG PNG24:seeds/png/rgb-interlaced.png

$IM $b -strip -quality 85 seeds/jpg/baseline.jpg
$IM $b -strip -quality 85 -interlace Plane seeds/jpg/progressive.jpg
$IM $b -strip -colorspace Gray -quality 85 seeds/jpg/gray.jpg

$PY make_lbm.py seeds/lbm
