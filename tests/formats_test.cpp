// Every source format the tool reads, each made by ImageMagick and checked
// against ImageMagick's own decoding of the same file.
#include "support.hpp"

#include <gtest/gtest.h>

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
