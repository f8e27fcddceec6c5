// The result file: its name, its content, and what a failed write leaves.
#include "support.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>

namespace {

std::set<std::string> tree(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        names.insert(fs::relative(e.path(), dir).string());
    return names;
}

TEST(ResultFile, NamingRules)
{
    struct {
        const char *source;       // where the source is made, relative
        const char *argument;     // as typed; "@" stands for the scratch dir
        const char *precreate;    // a directory made before the run, or ""
        const char *result;       // expected result path, relative, or "" for none
    } cases[] = {
        {"cat.bmp", "cat.bmp", "", "new_cat.bmp"},
        {"cat.pcx", "cat.pcx", "", "new_cat.pcx"},
        {"cat.BMP", "cat.BMP", "", "new_cat.BMP"},
        {"pics/cat.bmp", "pics/cat.bmp", "new_pics", "new_pics/cat.bmp"},
        {"pics/cat.bmp", "pics/cat.bmp", "", ""},
        {"pics/cat.bmp", "./pics/cat.bmp", "new_.", ""},
        {"abs/cat.bmp", "@/abs/cat.bmp", "new_@/abs", "new_@/abs/cat.bmp"},
    };
    for (const auto &c : cases) {
        TempDir dir;
        auto expand = [&](std::string s) {
            if (s.rfind("@", 0) == 0)
                s = dir.path.string() + s.substr(1);
            auto at = s.find("_@");
            if (at != std::string::npos)
                s = s.substr(0, at + 1) + dir.path.string() + s.substr(at + 2);
            return s;
        };
        fs::path source = dir / c.source;
        fs::create_directories(source.parent_path());
        Image src = coord_image(5, 4);
        if (source.extension() == ".pcx") {
            write_bmp24(dir / "tmp.bmp", src);
            ASSERT_EQ(shell("convert " + (dir / "tmp.bmp").string() + " " + source.string()), 0);
            fs::remove(dir / "tmp.bmp");
        } else {
            write_bmp24(source, src);
        }
        if (*c.precreate)
            fs::create_directories(dir / expand(c.precreate));
        std::set<std::string> before = tree(dir.path);

        RunResult r = run_tool(dir.path, {expand(c.argument)}, "3\n2\n");
        SCOPED_TRACE(c.argument);
        if (*c.result) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, prompts(5, 4) + SUCCESS);
            Image out = read_bmp(dir / expand(c.result));  // BMP data whatever the name
            EXPECT_EQ(out.px, nearest(src, 3, 2).px);
        } else {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, prompts(5, 4));
            EXPECT_EQ(tree(dir.path), before);
        }
    }
}

// Paths far longer than a fixed 512-byte name buffer would hold.
TEST(ResultFile, LongPaths)
{
    TempDir dir;
    std::string rel;
    for (int i = 0; i < 6; i++)
        rel += std::string(200, 'a' + i) + "/";
    rel += "img.bmp";
    ASSERT_GT(rel.size(), 1200u);
    fs::create_directories((dir / rel).parent_path());
    fs::create_directories((dir / ("new_" + rel)).parent_path());
    write_bmp24(dir / rel, coord_image(3, 3));

    RunResult r = run_tool(dir.path, {rel}, "6\n6\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompts(3, 3) + SUCCESS);
    EXPECT_EQ(read_bmp(dir / ("new_" + rel)).px, nearest(coord_image(3, 3), 6, 6).px);
}

// A write that fails part way, including in the last buffered block,
// leaves neither a partial file nor a damaged earlier result.
TEST(ResultFile, FailedWriteKeepsTheEarlierFile)
{
    const long full = 54 + 300 * 100;  // 100 x 100 at 24 bits
    for (long limit : {0L, 1000L, 20000L, full - 100, full - 1}) {
        SCOPED_TRACE(limit);
        TempDir dir;
        write_bmp24(dir / "in.bmp", coord_image(10, 10));
        write_file(dir / "new_in.bmp", std::string("earlier result"));
        RunOptions opt;
        opt.fsize_limit = limit;
        RunResult r = run_tool(dir.path, {"in.bmp"}, "100\n100\n", opt);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, prompts(10, 10));
        auto kept = read_file(dir / "new_in.bmp");
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "earlier result");
        EXPECT_EQ(tree(dir.path), (std::set<std::string>{"in.bmp", "new_in.bmp"}));
    }
    // With exactly enough room the write succeeds.
    TempDir dir;
    write_bmp24(dir / "in.bmp", coord_image(10, 10));
    RunOptions opt;
    opt.fsize_limit = full;
    EXPECT_EQ(run_tool(dir.path, {"in.bmp"}, "100\n100\n", opt).status, 0);
}

TEST(ResultFile, ReplacesAnEarlierResult)
{
    TempDir dir;
    write_bmp24(dir / "in.bmp", coord_image(4, 4));
    write_file(dir / "new_in.bmp", std::string(100000, 'x'));
    ASSERT_EQ(run_tool(dir.path, {"in.bmp"}, "2\n2\n").status, 0);
    EXPECT_EQ(read_bmp(dir / "new_in.bmp").px, nearest(coord_image(4, 4), 2, 2).px);
    EXPECT_EQ(tree(dir.path), (std::set<std::string>{"in.bmp", "new_in.bmp"}));
}

TEST(ResultFile, OutputPathIsADirectory)
{
    TempDir dir;
    write_bmp24(dir / "in.bmp", coord_image(4, 4));
    fs::create_directory(dir / "new_in.bmp");
    RunResult r = run_tool(dir.path, {"in.bmp"}, "2\n2\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, prompts(4, 4));
    EXPECT_TRUE(fs::is_directory(dir / "new_in.bmp"));
    EXPECT_EQ(tree(dir.path), (std::set<std::string>{"in.bmp", "new_in.bmp"}));
}

TEST(ResultFile, PermissionsOfAPlainNewFile)
{
    for (int mask : {022, 077, 0, 027}) {
        TempDir dir;
        write_bmp24(dir / "in.bmp", coord_image(4, 4));
        RunOptions opt;
        opt.umask = mask;
        ASSERT_EQ(run_tool(dir.path, {"in.bmp"}, "2\n2\n", opt).status, 0);
        struct stat st;
        ASSERT_EQ(stat((dir / "new_in.bmp").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, (unsigned)(0666 & ~mask)) << "umask " << mask;
    }
}

}  // namespace
