// BMP sources in every layout the common writers produce (header size, row
// order, depth, compression), and palette sources in BMP, PCX and TGA, each
// checked pixel for pixel, with no tolerance, against the writer's own
// reading of the same file.
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <ostream>
#include <set>

namespace {

// The source has an odd width, so that rows of every depth end in padding
// (and 4-bit rows in half a byte); the target enlarges it by uneven steps,
// so that every source pixel is used and most are repeated.
constexpr int SW = 15, SH = 12;
constexpr int TW = 23, TH = 17;
constexpr int PIXELS = SW * SH;

// Channel values that a palette cut to 6 bits per channel would change: it
// keeps k = v / 4 and reads k back as 4k + k/16, which is v again exactly
// when v % 4 == v / 64 (0, 4, ..., 60, 65, 69, ..., 251, 255).  Only the
// other values are used, so any such rounding shows.
std::vector<int> fragile_values()
{
    std::vector<int> v;
    for (int c = 1; c < 255; c++)
        if (c % 4 != 0 && c % 4 != c / 64)
            v.push_back(c);
    return v;  // 144 values
}

uint32_t palette_colour(int j)
{
    static const std::vector<int> f = fragile_values();
    int n = (int)f.size();
    return (uint32_t)f[j * 37 % n] << 16 | (uint32_t)f[(j * 91 + 17) % n] << 8 |
           (uint32_t)f[(j / 2 * 29 + 40) % n];
}

uint32_t scramble(uint32_t v)
{
    v ^= v >> 16;
    v *= 0x85ebca6bu;
    v ^= v >> 13;
    v *= 0xc2b2ae35u;
    return v ^ (v >> 16);
}

// SW x SH pixels in `colours` distinct colours (at most PIXELS; with PIXELS
// colours every pixel differs from every other), shuffled so that no two
// rows or columns are alike and any row or column mix-up shows.
Image pattern(int colours)
{
    std::vector<int> order(PIXELS);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [](int a, int b) { return scramble(a) < scramble(b); });
    Image img{SW, SH, std::vector<uint32_t>(PIXELS)};
    for (int rank = 0; rank < PIXELS; rank++)
        img.px[order[rank]] = palette_colour(rank % colours);
    return img;
}

// Opacity for the alpha cases: fully transparent at the top left, and 180
// other levels across the image, so that premultiplying or blending shows.
uint8_t alpha_at(int x, int y) { return (uint8_t)((x * 37 + y * 23) % 256); }

// The pattern as raw bytes, top row first: RGB, or RGBA with alpha_at.
std::vector<uint8_t> raw_pixels(const Image &img, bool alpha)
{
    std::vector<uint8_t> b;
    for (int y = 0; y < img.h; y++)
        for (int x = 0; x < img.w; x++) {
            uint32_t c = img.at(x, y);
            b.insert(b.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
            if (alpha)
                b.push_back(alpha_at(x, y));
        }
    return b;
}

// A little-endian header field the fixture must hold.
struct Field {
    int at, bytes;
    long value;
    bool is_signed = false;
};
using Layout = std::vector<Field>;

long field(const std::vector<uint8_t> &b, int at, int bytes, bool is_signed = false)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | b[at + i];
    return is_signed ? (long)(int32_t)v : (long)v;
}

void set_field(std::vector<uint8_t> &b, int at, int bytes, uint32_t v)
{
    for (int i = 0; i < bytes; i++)
        b[at + i] = (uint8_t)(v >> 8 * i);
}

enum Compression { RGB = 0, RLE8 = 1, RLE4 = 2, BITFIELDS = 3 };

// Windows BMP: info header size, bits per pixel, compression, row order
// (the sign of the height), and the colour masks when they matter.
Layout bmp(int header, int bpp, int compression, bool top_down = false,
           std::vector<uint32_t> masks = {})
{
    Layout l{{14, 4, header}, {28, 2, bpp}, {30, 4, compression}, {22, 4, top_down ? -SH : SH, true}};
    for (size_t i = 0; i < masks.size(); i++)
        l.push_back({54 + 4 * (int)i, 4, (long)masks[i]});
    return l;
}

// OS/2 BMP: 12-byte header with 16-bit fields.
Layout os2(int bpp) { return {{14, 4, 12}, {24, 2, bpp}}; }

Layout pcx(int bits, int planes) { return {{0, 1, 10}, {3, 1, bits}, {65, 1, planes}}; }

// TGA with a colour map: image type (1 plain, 9 run-length), pixel depth,
// and the descriptor byte (0x20 when the top row comes first).
Layout tga(int type, int depth, bool top_down = false)
{
    return {{1, 1, 1}, {2, 1, type}, {16, 1, depth}, {17, 1, top_down ? 0x20 : 0}};
}

enum class Writer { Magick, Graphics, Pillow };

// Layouts no writer makes, made by rewriting the writer's file.
enum class Patch {
    None,
    TopDown,        // negate the height, store the rows top first
    Header40Masks,  // a V4/V5 bit-field header cut to 40 bytes + 3 masks after it
    Header52,       // ... cut to 52 bytes: 40 + red, green, blue masks
    Header56,       // ... cut to 56 bytes: 40 + red, green, blue, alpha masks
    Rle4,           // a 4-bit uncompressed file re-encoded as RLE4
    NoLastPadding,  // the final row's padding bytes left off the end
    Truncate,       // the pixel data cut in half: must be refused
};

struct Case {
    const char *name;
    const char *file;     // the fixture; its extension picks the decoder
    Writer writer;        // makes the fixture and decodes the reference
    const char *options;  // Magick/Graphics: options + output prefix;
                          // Pillow: mode, then save() arguments
    int colours;          // in the pattern
    bool alpha;           // the pattern carries alpha_at
    Layout layout;        // what the fixture must be, after the patch
    bool exact;           // the writer keeps every colour of the pattern
    Patch patch = Patch::None;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Writer IM = Writer::Magick, GM = Writer::Graphics, PIL = Writer::Pillow;
const bool EXACT = true, LOSSY = false, ALPHA = true, OPAQUE = false;
const std::vector<uint32_t> RGB565{0xf800, 0x7e0, 0x1f, 0}, RGB555{0x7c00, 0x3e0, 0x1f, 0},
    ARGB1555{0x7c00, 0x3e0, 0x1f, 0x8000}, ARGB4444{0xf00, 0xf0, 0xf, 0xf000},
    ARGB8888{0xff0000, 0xff00, 0xff, 0xff000000u};
std::vector<uint32_t> rgb_only(std::vector<uint32_t> masks)
{
    masks.resize(3);
    return masks;
}

// ImageMagick 6: BMP3: writes the 40-byte header, BMP: the 124-byte V5 one
// (the 108-byte V4 one when the image has no rendering intent), BMP2: the
// 12-byte OS/2 one.  -type Palette picks 1, 4 or 8 bits by the number of
// colours, and 8 bits come out RLE8 unless -compress None; it writes no
// RLE4.  16-bit subtypes work in the V4/V5 header only (BMP3: declares bit
// fields but leaves out the masks), ARGB ones only with alpha; 32 bits come
// only with alpha, as ARGB8888 whatever the subtype.  At this odd width its
// RLE8 rows hold 16 pixels, the padding byte encoded too; readers (its own,
// GraphicsMagick's, Pillow's) drop the extra one.
const Case cases[] = {
    {"magick_bmp3_1bit", "in.bmp", IM, "-type Palette BMP3:", 2, OPAQUE, bmp(40, 1, RGB), EXACT},
    {"magick_bmp3_bilevel", "in.bmp", IM, "-type Bilevel BMP3:", PIXELS, OPAQUE, bmp(40, 1, RGB), LOSSY},
    {"magick_bmp3_4bit", "in.bmp", IM, "-type Palette BMP3:", 16, OPAQUE, bmp(40, 4, RGB), EXACT},
    {"magick_bmp3_8bit", "in.bmp", IM, "-type Palette -compress None BMP3:", PIXELS, OPAQUE, bmp(40, 8, RGB), EXACT},
    {"magick_bmp3_rle8", "in.bmp", IM, "-type Palette -compress RLE BMP3:", PIXELS, OPAQUE, bmp(40, 8, RLE8), EXACT},
    {"magick_bmp3_rle8_16_colours", "in.bmp", IM, "-type Palette -compress RLE BMP3:", 16, OPAQUE, bmp(40, 8, RLE8), EXACT},
    {"magick_bmp3_24bit", "in.bmp", IM, "BMP3:", PIXELS, OPAQUE, bmp(40, 24, RGB), EXACT},
    {"magick_bmp3_32bit_alpha", "in.bmp", IM, "-define bmp3:alpha=true BMP3:", PIXELS, ALPHA, bmp(40, 32, RGB), EXACT},

    {"magick_v4_1bit", "in.bmp", IM, "-intent Undefined -type Palette BMP:", 2, OPAQUE, bmp(108, 1, RGB), EXACT},
    {"magick_v4_4bit", "in.bmp", IM, "-intent Undefined -type Palette BMP:", 16, OPAQUE, bmp(108, 4, RGB), EXACT},
    {"magick_v4_8bit", "in.bmp", IM, "-intent Undefined -type Palette -compress None BMP:", PIXELS, OPAQUE, bmp(108, 8, RGB), EXACT},
    {"magick_v4_rle8", "in.bmp", IM, "-intent Undefined -type Palette -compress RLE BMP:", PIXELS, OPAQUE, bmp(108, 8, RLE8), EXACT},
    {"magick_v4_16bit_rgb565", "in.bmp", IM, "-intent Undefined -define bmp:subtype=RGB565 BMP:", PIXELS, OPAQUE, bmp(108, 16, BITFIELDS, false, RGB565), LOSSY},
    {"magick_v4_24bit", "in.bmp", IM, "-intent Undefined BMP:", PIXELS, OPAQUE, bmp(108, 24, RGB), EXACT},
    {"magick_v4_32bit_argb8888", "in.bmp", IM, "-intent Undefined BMP:", PIXELS, ALPHA, bmp(108, 32, BITFIELDS, false, ARGB8888), EXACT},

    {"magick_v5_1bit", "in.bmp", IM, "-type Palette BMP:", 2, OPAQUE, bmp(124, 1, RGB), EXACT},
    {"magick_v5_4bit", "in.bmp", IM, "-type Palette BMP:", 16, OPAQUE, bmp(124, 4, RGB), EXACT},
    {"magick_v5_8bit", "in.bmp", IM, "-type Palette -compress None BMP:", PIXELS, OPAQUE, bmp(124, 8, RGB), EXACT},
    {"magick_v5_rle8", "in.bmp", IM, "-type Palette -compress RLE BMP:", PIXELS, OPAQUE, bmp(124, 8, RLE8), EXACT},
    {"magick_v5_16bit_rgb565", "in.bmp", IM, "-define bmp:subtype=RGB565 BMP:", PIXELS, OPAQUE, bmp(124, 16, BITFIELDS, false, RGB565), LOSSY},
    {"magick_v5_16bit_rgb555", "in.bmp", IM, "-define bmp:subtype=RGB555 BMP:", PIXELS, OPAQUE, bmp(124, 16, BITFIELDS, false, RGB555), LOSSY},
    {"magick_v5_16bit_argb1555", "in.bmp", IM, "-define bmp:subtype=ARGB1555 BMP:", PIXELS, ALPHA, bmp(124, 16, BITFIELDS, false, ARGB1555), LOSSY},
    {"magick_v5_16bit_argb4444", "in.bmp", IM, "-define bmp:subtype=ARGB4444 BMP:", PIXELS, ALPHA, bmp(124, 16, BITFIELDS, false, ARGB4444), LOSSY},
    {"magick_v5_24bit", "in.bmp", IM, "BMP:", PIXELS, OPAQUE, bmp(124, 24, RGB), EXACT},
    {"magick_v5_32bit_argb8888", "in.bmp", IM, "BMP:", PIXELS, ALPHA, bmp(124, 32, BITFIELDS, false, ARGB8888), EXACT},

    {"magick_os2_1bit", "in.bmp", IM, "-type Palette BMP2:", 2, OPAQUE, os2(1), EXACT},
    {"magick_os2_4bit", "in.bmp", IM, "-type Palette BMP2:", 16, OPAQUE, os2(4), EXACT},
    {"magick_os2_8bit", "in.bmp", IM, "-type Palette BMP2:", PIXELS, OPAQUE, os2(8), EXACT},
    {"magick_os2_24bit", "in.bmp", IM, "BMP2:", PIXELS, OPAQUE, os2(24), EXACT},

    // Pillow writes the 40-byte header, uncompressed, for every mode: "1"
    // with a black and white palette, "L" with a grey ramp, "P" with the
    // image's own palette, "RGBA" as 32 bits (BI_RGB).
    {"pillow_1bit", "in.bmp", PIL, "1", 2, OPAQUE, bmp(40, 1, RGB), LOSSY},
    {"pillow_8bit_grey", "in.bmp", PIL, "L", PIXELS, OPAQUE, bmp(40, 8, RGB), LOSSY},
    {"pillow_8bit_palette", "in.bmp", PIL, "P", PIXELS, OPAQUE, bmp(40, 8, RGB), EXACT},
    {"pillow_24bit", "in.bmp", PIL, "RGB", PIXELS, OPAQUE, bmp(40, 24, RGB), EXACT},
    {"pillow_32bit_alpha", "in.bmp", PIL, "RGBA", PIXELS, ALPHA, bmp(40, 32, RGB), EXACT},

    // Top-down files: no writer here makes them, so a bottom-up one is
    // rewritten with a negative height and its rows in the opposite order.
    {"top_down_bmp3_1bit", "in.bmp", IM, "-type Palette BMP3:", 2, OPAQUE, bmp(40, 1, RGB, true), EXACT, Patch::TopDown},
    {"top_down_bmp3_4bit", "in.bmp", IM, "-type Palette BMP3:", 16, OPAQUE, bmp(40, 4, RGB, true), EXACT, Patch::TopDown},
    {"top_down_pillow_8bit", "in.bmp", PIL, "P", PIXELS, OPAQUE, bmp(40, 8, RGB, true), EXACT, Patch::TopDown},
    {"top_down_pillow_24bit", "in.bmp", PIL, "RGB", PIXELS, OPAQUE, bmp(40, 24, RGB, true), EXACT, Patch::TopDown},
    {"top_down_pillow_32bit_alpha", "in.bmp", PIL, "RGBA", PIXELS, ALPHA, bmp(40, 32, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v4_4bit", "in.bmp", IM, "-intent Undefined -type Palette BMP:", 16, OPAQUE, bmp(108, 4, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v4_24bit", "in.bmp", IM, "-intent Undefined BMP:", PIXELS, OPAQUE, bmp(108, 24, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v5_1bit", "in.bmp", IM, "-type Palette BMP:", 2, OPAQUE, bmp(124, 1, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v5_8bit", "in.bmp", IM, "-type Palette -compress None BMP:", PIXELS, OPAQUE, bmp(124, 8, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v5_16bit_rgb565", "in.bmp", IM, "-define bmp:subtype=RGB565 BMP:", PIXELS, OPAQUE, bmp(124, 16, BITFIELDS, true, RGB565), LOSSY, Patch::TopDown},
    {"top_down_v5_24bit", "in.bmp", IM, "BMP:", PIXELS, OPAQUE, bmp(124, 24, RGB, true), EXACT, Patch::TopDown},
    {"top_down_v5_32bit_argb8888", "in.bmp", IM, "BMP:", PIXELS, ALPHA, bmp(124, 32, BITFIELDS, true, ARGB8888), EXACT, Patch::TopDown},

    // Bit-field headers of 40 bytes with the masks after them, and of 52 and
    // 56 bytes: no writer here makes them, so a V5 file's header is cut down.
    {"header40_masks_16bit_rgb565", "in.bmp", IM, "-define bmp:subtype=RGB565 BMP:", PIXELS, OPAQUE, bmp(40, 16, BITFIELDS, false, rgb_only(RGB565)), LOSSY, Patch::Header40Masks},
    {"header40_masks_32bit", "in.bmp", IM, "BMP:", PIXELS, ALPHA, bmp(40, 32, BITFIELDS, false, rgb_only(ARGB8888)), EXACT, Patch::Header40Masks},
    {"header52_16bit_rgb555", "in.bmp", IM, "-define bmp:subtype=RGB555 BMP:", PIXELS, OPAQUE, bmp(52, 16, BITFIELDS, false, rgb_only(RGB555)), LOSSY, Patch::Header52},
    {"header52_32bit", "in.bmp", IM, "BMP:", PIXELS, ALPHA, bmp(52, 32, BITFIELDS, false, rgb_only(ARGB8888)), EXACT, Patch::Header52},
    {"header56_16bit_argb4444", "in.bmp", IM, "-define bmp:subtype=ARGB4444 BMP:", PIXELS, ALPHA, bmp(56, 16, BITFIELDS, false, ARGB4444), LOSSY, Patch::Header56},
    {"header56_32bit_argb8888", "in.bmp", IM, "BMP:", PIXELS, ALPHA, bmp(56, 32, BITFIELDS, false, ARGB8888), EXACT, Patch::Header56},

    // RLE4: ImageMagick writes 4-bit files uncompressed only, so one is
    // re-encoded, with both runs and literal stretches.
    {"rle4_from_bmp3", "in.bmp", IM, "-type Palette BMP3:", 16, OPAQUE, bmp(40, 4, RLE4), EXACT, Patch::Rle4},

    {"no_padding_after_last_row_24bit", "in.bmp", PIL, "RGB", PIXELS, OPAQUE, bmp(40, 24, RGB), EXACT, Patch::NoLastPadding},
    {"no_padding_after_last_row_8bit", "in.bmp", PIL, "P", PIXELS, OPAQUE, bmp(40, 8, RGB), EXACT, Patch::NoLastPadding},
    {"truncated_24bit", "in.bmp", IM, "BMP3:", PIXELS, OPAQUE, bmp(40, 24, RGB), EXACT, Patch::Truncate},
    {"truncated_8bit", "in.bmp", IM, "-type Palette -compress None BMP3:", PIXELS, OPAQUE, bmp(40, 8, RGB), EXACT, Patch::Truncate},
    {"truncated_rle8", "in.bmp", IM, "-type Palette -compress RLE BMP3:", PIXELS, OPAQUE, bmp(40, 8, RLE8), EXACT, Patch::Truncate},

    // Palette sources in the other formats keep their exact colours too.
    // (ImageMagick 6 stores TGA rows top first under a bottom-up header, so
    // TGA fixtures come from GraphicsMagick and Pillow.)
    {"pcx_8bit_palette_magick", "in.pcx", IM, "-type Palette ", PIXELS, OPAQUE, pcx(8, 1), EXACT},
    {"pcx_16_colours_magick", "in.pcx", IM, "-type Palette ", 16, OPAQUE, pcx(8, 1), EXACT},
    {"pcx_8bit_palette_pillow", "in.pcx", PIL, "P", PIXELS, OPAQUE, pcx(8, 1), EXACT},
    {"tga_palette_graphicsmagick", "in.tga", GM, "-type Palette ", PIXELS, OPAQUE, tga(1, 8), EXACT},
    {"tga_palette_pillow", "in.tga", PIL, "P", PIXELS, OPAQUE, tga(1, 8), EXACT},
    {"tga_palette_rle_pillow", "in.tga", PIL, "P compression=tga_rle", PIXELS, OPAQUE, tga(9, 8), EXACT},
    {"tga_palette_top_down_pillow", "in.tga", PIL, "P orientation=1", PIXELS, OPAQUE, tga(1, 8, true), EXACT},
};

size_t row_bytes(int bpp) { return ((size_t)SW * bpp + 31) / 32 * 4; }

bool uncompressed(const std::vector<uint8_t> &b)
{
    long c = field(b, 30, 4);
    return c == RGB || c == BITFIELDS;
}

void make_top_down(std::vector<uint8_t> &b)
{
    ASSERT_TRUE(uncompressed(b));
    size_t off = field(b, 10, 4), row = row_bytes((int)field(b, 28, 2));
    ASSERT_EQ(field(b, 22, 4, true), SH);
    ASSERT_GE(b.size(), off + row * SH);
    set_field(b, 22, 4, (uint32_t)-SH);
    for (int y = 0; y < SH / 2; y++)
        std::swap_ranges(b.begin() + off + y * row, b.begin() + off + (y + 1) * row,
                         b.begin() + off + (SH - 1 - y) * row);
}

// Keeps the first `keep` bytes of a V4/V5 header (the 40-byte core, then
// the masks), drops the rest, and declares `declared` as its size.
void cut_header(std::vector<uint8_t> &b, int keep, int declared)
{
    long size = field(b, 14, 4), off = field(b, 10, 4);
    ASSERT_GE(size, 108);
    ASSERT_EQ(off, 14 + size) << "no colour table expected";
    b.erase(b.begin() + 14 + keep, b.begin() + 14 + size);
    set_field(b, 14, 4, declared);
    set_field(b, 10, 4, (uint32_t)(14 + keep));
    set_field(b, 2, 4, (uint32_t)b.size());
}

// RLE4 from an uncompressed bottom-up 4-bit file: wherever three or more
// pixels alternate between two values (or repeat one) they become a run,
// other stretches of three or more a literal, shorter ones short runs;
// an end-of-line after each row but the last, then end-of-bitmap.
void make_rle4(std::vector<uint8_t> &b)
{
    ASSERT_EQ(field(b, 28, 2), 4);
    ASSERT_EQ(field(b, 30, 4), RGB);
    size_t off = field(b, 10, 4), row = row_bytes(4);
    ASSERT_GE(b.size(), off + row * SH);
    auto run_at = [](const std::vector<int> &p, int x) {
        int n = std::min(2, SW - x);
        while (x + n < SW && n < 255 && p[x + n] == p[x + n - 2])
            n++;
        return n;
    };
    std::vector<uint8_t> data;
    int runs = 0, literals = 0;
    for (int r = 0; r < SH; r++) {
        std::vector<int> p(SW);
        for (int x = 0; x < SW; x++)
            p[x] = b[off + r * row + x / 2] >> (x % 2 ? 0 : 4) & 15;
        for (int x = 0; x < SW;) {
            int n = run_at(p, x);
            if (n >= 3 || x + n == SW) {
                data.push_back((uint8_t)n);
                data.push_back((uint8_t)(p[x] << 4 | p[n > 1 ? x + 1 : x]));
                runs += n >= 3;
                x += n;
                continue;
            }
            int end = x + 1;
            while (end < SW && end - x < 255 && run_at(p, end) < 3)
                end++;
            int count = end - x;
            if (count < 3) {
                data.push_back((uint8_t)count);
                data.push_back((uint8_t)(p[x] << 4 | p[count > 1 ? x + 1 : x]));
            } else {
                data.push_back(0);
                data.push_back((uint8_t)count);
                size_t start = data.size();
                for (int i = 0; i < count; i += 2)
                    data.push_back((uint8_t)(p[x + i] << 4 | (i + 1 < count ? p[x + i + 1] : 0)));
                if ((data.size() - start) % 2)
                    data.push_back(0);
                literals++;
            }
            x = end;
        }
        data.push_back(0);
        data.push_back(r + 1 < SH ? 0 : 1);
    }
    ASSERT_GT(runs, 0) << "the RLE4 fixture has no runs";
    ASSERT_GT(literals, 0) << "the RLE4 fixture has no literal stretches";
    b.resize(off);
    b.insert(b.end(), data.begin(), data.end());
    set_field(b, 30, 4, RLE4);
    set_field(b, 34, 4, (uint32_t)data.size());
    set_field(b, 2, 4, (uint32_t)b.size());
}

void apply(Patch patch, std::vector<uint8_t> &b)
{
    size_t off = field(b, 10, 4);
    switch (patch) {
    case Patch::None:
        break;
    case Patch::TopDown:
        make_top_down(b);
        break;
    case Patch::Header40Masks:
        cut_header(b, 52, 40);
        break;
    case Patch::Header52:
        cut_header(b, 52, 52);
        break;
    case Patch::Header56:
        cut_header(b, 56, 56);
        break;
    case Patch::Rle4:
        make_rle4(b);
        break;
    case Patch::NoLastPadding: {
        // The last row stored is the top one; only its padding goes.
        size_t used = ((size_t)SW * field(b, 28, 2) + 7) / 8, row = row_bytes((int)field(b, 28, 2));
        ASSERT_TRUE(uncompressed(b));
        ASSERT_LT(used, row);
        ASSERT_EQ(b.size(), off + row * SH);
        b.resize(b.size() - (row - used));
        set_field(b, 2, 4, (uint32_t)b.size());
        break;
    }
    case Patch::Truncate:
        ASSERT_GT(b.size(), off + 8);
        b.resize(off + (b.size() - off) / 2);
        break;
    }
}

std::string shell_word(const fs::path &p) { return "'" + p.string() + "'"; }

std::string pillow_script()
{
    return "/usr/bin/python3 " + shell_word(fs::path(__FILE__).parent_path() / "make_fixture.py");
}

std::string magick(Writer w) { return w == GM ? "gm convert " : "convert "; }

// Writes the fixture from pattern.raw.
std::string write_command(const Case &c, const TempDir &dir)
{
    fs::path raw = dir / "pattern.raw";
    if (c.writer == PIL)
        return pillow_script() + " write " + shell_word(raw) + " " + std::to_string(SW) + " " +
               std::to_string(SH) + (c.alpha ? " RGBA " : " RGB ") + shell_word(dir / c.file) +
               " " + c.options;
    return magick(c.writer) + "-size " + std::to_string(SW) + "x" + std::to_string(SH) +
           " -depth 8 " + (c.alpha ? "rgba:" : "rgb:") + shell_word(raw) + " " + c.options +
           shell_word(dir / c.file);
}

// Writes the writer's own reading of a file to a 24-bit BMP.
std::string decode_command(Writer w, const fs::path &file, const fs::path &out)
{
    if (w == PIL)
        return pillow_script() + " decode " + shell_word(file) + " " + shell_word(out);
    return magick(w) + shell_word(file) + " -type TrueColor BMP3:" + shell_word(out);
}

std::string hex(uint32_t c)
{
    char s[8];
    snprintf(s, sizeof s, "%06x", c & 0xffffff);
    return s;
}

// Empty when equal, else how many pixels differ and where the first is.
std::string differences(const Image &got, const Image &want)
{
    if (got.w != want.w || got.h != want.h)
        return std::to_string(got.w) + "x" + std::to_string(got.h) + " instead of " +
               std::to_string(want.w) + "x" + std::to_string(want.h);
    int count = 0;
    std::string first;
    for (int y = 0; y < want.h; y++)
        for (int x = 0; x < want.w; x++)
            if (got.at(x, y) != want.at(x, y) && count++ == 0)
                first = "(" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
                        hex(got.at(x, y)) + ", not " + hex(want.at(x, y));
    return count ? std::to_string(count) + " pixels differ, first " + first : "";
}

std::set<std::string> names_in(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

bool four_bit_channels(const std::vector<uint8_t> &b)
{
    return field(b, 28, 2) == 16 && field(b, 30, 4) == BITFIELDS && field(b, 54, 4) == 0xf00;
}

// ImageMagick 6 reads a 4-bit channel level v as v << 4, so that 15 comes
// back as 240, not 255; the full-scale reading, v * 17, is that value with
// its high nibble repeated below.
void full_scale_4bit(Image &ref)
{
    for (uint32_t &p : ref.px) {
        ASSERT_EQ(p & 0x0f0f0f, 0u) << "not ImageMagick's reading of 4-bit channels";
        p |= p >> 4;
    }
}

class BmpVariant : public testing::TestWithParam<Case> {};

TEST_P(BmpVariant, LoadWithTheWritersExactColours)
{
    const Case &c = GetParam();
    TempDir dir;  // the writer's files; the tool runs in run/ beside them
    fs::path run = dir / "run", written = dir / c.file, fixture = run / c.file;
    fs::create_directory(run);
    Image pat = pattern(c.colours);
    write_file(dir / "pattern.raw", raw_pixels(pat, c.alpha));
    ASSERT_EQ(shell(write_command(c, dir)), 0) << "the writer failed: " << write_command(c, dir);
    std::vector<uint8_t> b = read_file(written);
    ASSERT_GT(b.size(), 70u);
    if (c.patch != Patch::None && c.patch != Patch::Truncate) {
        ASSERT_EQ(shell(decode_command(c.writer, written, dir / "unpatched.bmp")), 0);
    }
    apply(c.patch, b);
    ASSERT_FALSE(HasFatalFailure()) << "the writer's file cannot be patched";
    write_file(fixture, b);
    // The fixture must be the kind of file this case is about: a writer
    // that changes what it makes fails here, not in the tool.
    for (const Field &f : c.layout) {
        ASSERT_EQ(field(b, f.at, f.bytes, f.is_signed), f.value)
            << "the fixture is not the file this case is for: header byte " << f.at;
    }

    RunResult r = run_tool(run, {c.file}, std::to_string(TW) + "\n" + std::to_string(TH) + "\n");
    if (c.patch == Patch::Truncate) {
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(names_in(run), std::set<std::string>{c.file});
        return;
    }

    ASSERT_EQ(shell(decode_command(c.writer, fixture, dir / "ref.bmp")), 0)
        << "the writer cannot read the fixture";
    Image ref = read_bmp(dir / "ref.bmp");
    ASSERT_FALSE(HasFailure());
    if (c.patch != Patch::None) {
        ASSERT_EQ(differences(ref, read_bmp(dir / "unpatched.bmp")), "")
            << "the writer reads the patched file differently from its own";
    }
    if (c.writer == IM && four_bit_channels(b))
        full_scale_4bit(ref);
    if (c.exact) {
        ASSERT_EQ(differences(ref, pat), "") << "the writer's reading is not the pattern";
    }

    ASSERT_EQ(r.signal, 0);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompts(SW, SH) + SUCCESS);
    Image out = read_bmp(run / ("new_" + std::string(c.file)));
    EXPECT_EQ(differences(out, nearest(ref, TW, TH)), "");
}

INSTANTIATE_TEST_SUITE_P(BmpVariants, BmpVariant, testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
