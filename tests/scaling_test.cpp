// Nearest-neighbour mapping, checked pixel for pixel on sources whose
// pixels encode their own coordinates.
#include "support.hpp"

#include <gtest/gtest.h>

namespace {

struct ScaleCase {
    const char *name;
    int w, h, W, H;
};

const ScaleCase scale_cases[] = {
    {"enlarge_3_to_5", 3, 2, 5, 2},
    {"shrink_5_to_3", 5, 2, 3, 2},
    {"halve_4_to_2", 4, 4, 2, 2},
    {"identity", 7, 5, 7, 5},
    {"one_wide_target", 6, 4, 1, 4},
    {"one_high_target", 6, 4, 6, 1},
    {"one_by_one_source", 1, 1, 6, 4},
    {"independent_axes_4x4_to_2x8", 4, 4, 2, 8},
    {"whole_factor_enlarging", 3, 2, 9, 6},
    {"odd_sizes", 37, 23, 101, 59},
    {"odd_shrink", 300, 200, 123, 77},
    // w * (W - 1) and h * (H - 1) beyond the 32-bit range.
    {"column_product_beyond_32_bits", 4000, 1, 600000, 1},
    {"row_product_beyond_32_bits", 1, 4000, 1, 600000},
};

void PrintTo(const ScaleCase &c, std::ostream *os) { *os << c.name; }

class Scaling : public testing::TestWithParam<ScaleCase> {};

TEST_P(Scaling, EveryPixelComesFromTheTopLeftSource)
{
    const ScaleCase &c = GetParam();
    TempDir dir;
    Image src = coord_image(c.w, c.h);
    write_bmp24(dir / "in.bmp", src);

    std::string answers = std::to_string(c.W) + "\n" + std::to_string(c.H) + "\n";
    RunResult r = run_tool(dir.path, {"in.bmp"}, answers);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, prompts(c.w, c.h) + SUCCESS);

    Image out = read_bmp(dir / "new_in.bmp");
    ASSERT_EQ(out.w, c.W);
    ASSERT_EQ(out.h, c.H);
    Image want = nearest(src, c.W, c.H);
    for (int y = 0; y < c.H; y++)
        for (int x = 0; x < c.W; x++)
            ASSERT_EQ(out.at(x, y), want.at(x, y)) << "at (" << x << ", " << y << ")";
}

INSTANTIATE_TEST_SUITE_P(Sizes, Scaling, testing::ValuesIn(scale_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// The worked mappings, written out, so the reference above is checked too.
TEST(Scaling, WorkedColumnMappings)
{
    struct {
        int w, W;
        std::vector<int> columns;
    } cases[] = {
        {3, 5, {0, 0, 1, 1, 2}},
        {5, 3, {0, 1, 3}},
        {4, 2, {0, 2}},
        {4, 4, {0, 1, 2, 3}},
        {2, 6, {0, 0, 0, 1, 1, 1}},
    };
    for (const auto &c : cases) {
        TempDir dir;
        write_bmp24(dir / "in.bmp", coord_image(c.w, 1));
        RunResult r = run_tool(dir.path, {"in.bmp"}, std::to_string(c.W) + "\n1\n");
        ASSERT_EQ(r.status, 0);
        Image out = read_bmp(dir / "new_in.bmp");
        ASSERT_EQ(out.w, c.W);
        std::vector<int> got;
        for (int x = 0; x < out.w; x++)
            got.push_back((int)(out.at(x, 0) >> 16));
        EXPECT_EQ(got, c.columns) << c.w << " -> " << c.W;
    }
}

// An independent implementation of the same top-left rule gives the same
// pixels.
TEST(Scaling, AgreesWithGraphicsMagickSample)
{
    if (shell("command -v gm >/dev/null") != 0)
        GTEST_SKIP() << "gm not installed";
    const int sizes[][4] = {{37, 23, 101, 59}, {300, 200, 123, 77}, {64, 48, 64, 1}};
    for (const auto &s : sizes) {
        TempDir dir;
        write_bmp24(dir / "in.bmp", coord_image(s[0], s[1]));
        std::string geometry = std::to_string(s[2]) + "x" + std::to_string(s[3]);
        ASSERT_EQ(shell("cd " + dir.path.string() + " && gm convert in.bmp -sample " +
                        geometry + "! BMP3:gm.bmp"), 0);
        RunResult r = run_tool(dir.path, {"in.bmp"},
                               std::to_string(s[2]) + "\n" + std::to_string(s[3]) + "\n");
        ASSERT_EQ(r.status, 0);
        Image ours = read_bmp(dir / "new_in.bmp");
        Image theirs = read_bmp(dir / "gm.bmp");
        EXPECT_EQ(ours.px, theirs.px) << geometry;
    }
}

}  // namespace
