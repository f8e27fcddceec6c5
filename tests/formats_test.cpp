// Every source format the tool reads, each made by ImageMagick and checked
// against ImageMagick's own decoding of the same file.
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Eight colours whose channels are 0 or 255, in 4 x 4 blocks: exact in any
// palette and almost untouched by JPEG.
Image block_image(int w, int h)
{
    Image img{w, h, std::vector<uint32_t>((size_t)w * h)};
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int k = (x / 4 + 3 * (y / 4)) % 8;
            img.px[(size_t)y * w + x] = (k & 1 ? 0xff0000 : 0) | (k & 2 ? 0xff00 : 0) | (k & 4 ? 0xff : 0);
        }
    return img;
}

struct FormatCase {
    const char *name;
    const char *file;      // source file name; its extension picks the decoder
    const char *options;   // ImageMagick options for writing it
    bool blocks;           // eight-colour blocks instead of coordinates
    int tolerance;         // largest channel difference allowed
    const char *tool = "convert";  // the writer, which also makes the reference
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

const FormatCase format_cases[] = {
    {"bmp_24bit", "in.bmp", "-type TrueColor BMP3:", false, 0},
    {"bmp_8bit_palette", "in.bmp", "-type Palette BMP3:", true, 0},
    {"pcx_24bit", "in.pcx", "-type TrueColor ", false, 0},
    {"pcx_8bit_palette", "in.pcx", "-type Palette ", true, 0},
    // ImageMagick 6 stores TGA rows top first under a bottom-up header (and
    // reads them back the same way); GraphicsMagick and Pillow follow the
    // header, as the tool does.
    {"tga_24bit", "in.tga", "-type TrueColor ", false, 0, "gm convert"},
    {"tga_8bit_palette", "in.tga", "-type Palette ", true, 0, "gm convert"},
    {"png_24bit", "in.png", "-type TrueColor PNG24:", false, 0},
    {"png_8bit_palette", "in.png", "-type Palette PNG8:", true, 0},
    {"jpeg_jpg", "in.jpg", "-quality 100 ", true, 24},
    {"jpeg_jpeg", "in.jpeg", "-quality 100 ", true, 24},
    {"upper_case_extension", "IN.PNG", "PNG24:", false, 0},
};

class Formats : public testing::TestWithParam<FormatCase> {};

TEST_P(Formats, LoadsAndResizes)
{
    const FormatCase &c = GetParam();
    TempDir dir;
    Image pattern = c.blocks ? block_image(16, 12) : coord_image(16, 12);
    write_bmp24(dir / "pattern.bmp", pattern);
    std::string d = dir.path.string() + "/";
    std::string tool = c.tool;
    ASSERT_EQ(shell(tool + " " + d + "pattern.bmp " + c.options + d + c.file), 0);
    // The writer's own decoding of the fixture is the reference.
    ASSERT_EQ(shell(tool + " " + d + c.file + " -type TrueColor BMP3:" + d + "ref.bmp"), 0);
    Image ref = read_bmp(dir / "ref.bmp");

    RunResult r = run_tool(dir.path, {c.file}, "24\n6\n");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompts(16, 12) + SUCCESS);
    Image out = read_bmp(dir / ("new_" + std::string(c.file)));
    ASSERT_EQ(out.w, 24);
    ASSERT_EQ(out.h, 6);
    Image want = nearest(ref, 24, 6);
    for (size_t i = 0; i < out.px.size(); i++)
        for (int shift : {0, 8, 16}) {
            int a = (out.px[i] >> shift) & 255, b = (want.px[i] >> shift) & 255;
            ASSERT_LE(std::abs(a - b), c.tolerance) << "pixel " << i;
        }
}

INSTANTIATE_TEST_SUITE_P(Table, Formats, testing::ValuesIn(format_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// IFF bitmaps, which no common tool writes: uncompressed, with a palette of
// the image's colours (at most 256), chunky (PBM) or in 8 bit planes (ILBM).
std::vector<uint8_t> lbm_bytes(const Image &img, bool planar)
{
    std::vector<uint32_t> palette;
    std::vector<uint8_t> index;
    for (uint32_t c : img.px) {
        size_t i = std::find(palette.begin(), palette.end(), c) - palette.begin();
        if (i == palette.size())
            palette.push_back(c);
        index.push_back((uint8_t)i);
    }
    auto be16 = [](std::vector<uint8_t> &b, uint32_t v) { b.push_back(v >> 8); b.push_back(v & 255); };
    auto be32 = [&](std::vector<uint8_t> &b, uint32_t v) { be16(b, v >> 16); be16(b, v & 0xffff); };
    auto chunk = [&](std::vector<uint8_t> &b, const char *id, const std::vector<uint8_t> &data) {
        b.insert(b.end(), id, id + 4);
        be32(b, (uint32_t)data.size());
        b.insert(b.end(), data.begin(), data.end());
        if (data.size() & 1)
            b.push_back(0);
    };
    std::vector<uint8_t> bmhd;
    be16(bmhd, img.w);
    be16(bmhd, img.h);
    be32(bmhd, 0);                      // position
    bmhd.insert(bmhd.end(), {8, 0, 0, 0});  // planes, no mask, uncompressed, pad
    be16(bmhd, 0);                      // transparent colour
    bmhd.insert(bmhd.end(), {1, 1});    // aspect
    be16(bmhd, img.w);
    be16(bmhd, img.h);
    palette.resize(256);  // a full palette for 8 planes, as writers store it
    std::vector<uint8_t> cmap;
    for (uint32_t c : palette)
        cmap.insert(cmap.end(), {(uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c});
    std::vector<uint8_t> body;
    for (int y = 0; y < img.h; y++) {
        const uint8_t *row = &index[(size_t)y * img.w];
        if (!planar) {
            body.insert(body.end(), row, row + img.w);
            if (img.w & 1)
                body.push_back(0);
            continue;
        }
        size_t words = (img.w + 15) / 16;
        for (int plane = 0; plane < 8; plane++)
            for (size_t byte = 0; byte < words * 2; byte++) {
                uint8_t v = 0;
                for (int bit = 0; bit < 8; bit++) {
                    size_t x = byte * 8 + bit;
                    if (x < (size_t)img.w && (row[x] >> plane & 1))
                        v |= 0x80 >> bit;
                }
                body.push_back(v);
            }
    }
    std::vector<uint8_t> form(planar ? "ILBM" : "PBM ", (planar ? "ILBM" : "PBM ") + 4);
    chunk(form, "BMHD", bmhd);
    chunk(form, "CMAP", cmap);
    chunk(form, "BODY", body);
    std::vector<uint8_t> file;
    chunk(file, "FORM", form);
    return file;
}

// Exact palette colours through both layouts.  Planar rows are padded to
// words at any width; chunky rows are kept even, as the library's decoder
// writes an odd-width row's padding byte past the image (harmless in
// practice, but a sanitizer build refuses the file).
TEST(Formats, LbmChunkyAndPlanar)
{
    for (bool planar : {false, true}) {
        SCOPED_TRACE(planar ? "ILBM" : "PBM");
        Image src = coord_image(planar ? 13 : 14, 9);  // colours not 6-bit exact
        TempDir dir;
        write_file(dir / "in.lbm", lbm_bytes(src, planar));
        RunResult r = run_tool(dir.path, {"in.lbm"}, "20\n7\n");
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, prompts(src.w, 9) + SUCCESS);
        EXPECT_EQ(read_bmp(dir / "new_in.lbm").px, nearest(src, 20, 7).px);
    }
}

TEST(Formats, UnknownOrBrokenFilesAreRefusedWithoutAPrompt)
{
    struct {
        const char *file;
        std::string bytes;
    } cases[] = {
        {"notes.txt", "hello\n"},
        {"empty.bmp", ""},
        {"text.bmp", "this is not a bitmap at all, just words"},
        {"noext", "BM"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        write_file(dir / c.file, c.bytes);
        RunResult r = run_tool(dir.path, {c.file}, "2\n2\n");
        EXPECT_EQ(r.signal, 0) << c.file;
        EXPECT_EQ(r.status, 255) << c.file;
        EXPECT_EQ(r.out, "") << c.file;
    }
}

// A header that declares zero width or height is a source that cannot be
// loaded, not an image to resize.
TEST(Formats, ZeroSizedSourceIsRefused)
{
    for (int which : {0, 1}) {
        TempDir dir;
        std::vector<uint8_t> b = bmp24_bytes(coord_image(2, 2));
        b[which ? 22 : 18] = 0;  // width or height field, little-endian
        write_file(dir / "in.bmp", b);
        RunResult r = run_tool(dir.path, {"in.bmp"}, "2\n2\n");
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
