// Every file in tests/corpus/ (inputs that crash, hang or bloat the image
// library's decoders, found by fuzzing, plus headers declaring huge images
// and valid files cut short) goes through the real binary.  The tool must
// come back in time, under a memory bound, without dying of a signal, and
// either refuse the file silently or, for a file that is in fact an image,
// hold the whole dialogue and write the result.  A file cut short is not an
// image: its name starts with "truncated-", and it must be refused.
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::vector<std::string> corpus_files()
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(IMGRESIZE_CORPUS))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Hostile : public testing::TestWithParam<std::string> {};

TEST_P(Hostile, RefusedOrLoadedNeverCrashes)
{
    const std::string name = GetParam();
    TempDir dir;
    fs::copy_file(fs::path(IMGRESIZE_CORPUS) / name, dir / name);

    RunOptions opt;
    opt.timeout_seconds = 20;
#ifndef IMGRESIZE_SANITIZED  // the sanitizers' shadow memory needs the address space
    opt.address_limit = 4L << 30;
#endif
    RunResult r = run_tool(dir.path, {name}, "3\n3\n", opt);

    ASSERT_FALSE(r.timed_out) << name << " took more than " << opt.timeout_seconds << " s";
    ASSERT_EQ(r.signal, 0) << name << " killed the tool: " << strsignal(r.signal);
    EXPECT_EQ(r.err, "");
    if (r.status == 0 && name.rfind("truncated-", 0) != 0) {
        int w = 0, h = 0;
        sscanf(r.out.c_str(), "\nX Size is: %d , Enter new X size:\nY Size is: %d", &w, &h);
        EXPECT_GT(w, 0);
        EXPECT_GT(h, 0);
        EXPECT_EQ(r.out, prompts(w, h) + SUCCESS);
        Image out = read_bmp(dir / ("new_" + name));
        EXPECT_EQ(out.w, 3);
        EXPECT_EQ(out.h, 3);
    } else {
        EXPECT_EQ(r.status, 255) << name << " was not refused";
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(dir / ("new_" + name)));
    }
}

// Each file is its own test, named after it.
std::string case_name(const testing::TestParamInfo<std::string> &info)
{
    std::string s = info.param;
    for (char &c : s)
        if (!isalnum((unsigned char)c))
            c = '_';
    return s;
}

INSTANTIATE_TEST_SUITE_P(Corpus, Hostile, testing::ValuesIn(corpus_files()), case_name);

}  // namespace
