// The command line, the two-question dialogue and the exit status.
#include "support.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::set<std::string> listing(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

struct DialogueCase {
    const char *name;
    std::vector<std::string> args;
    std::string input;
    bool keep_input_open;  // a read that must not wait for more input
    int status;
    bool prompted;         // both prompts shown
    int W, H;              // result size on success
};

// The source in every case is a 4 x 3 image, in.bmp.
const DialogueCase dialogue_cases[] = {
    {"no_argument", {}, "2\n2\n", false, 255, false, 0, 0},
    {"missing_source", {"missing.bmp"}, "2\n2\n", false, 255, false, 0, 0},
    {"plain_run", {"in.bmp"}, "8\n6\n", false, 0, true, 8, 6},
    {"extra_arguments_ignored", {"in.bmp", "other.bmp", "-x"}, "2\n5\n", false, 0, true, 2, 5},
    {"both_answers_on_one_line", {"in.bmp"}, "640 480\n", true, 0, true, 640, 480},
    {"leading_plus", {"in.bmp"}, "+7\n+1\n", false, 0, true, 7, 1},
    {"letters_leave_both_zero", {"in.bmp"}, "abc\n", true, 255, true, 0, 0},
    {"fraction_leaves_dot_for_second_read", {"in.bmp"}, "12.5\n", true, 255, true, 0, 0},
    {"lone_sign", {"in.bmp"}, "+\n3\n", false, 255, true, 0, 0},
    {"zero_width", {"in.bmp"}, "0\n3\n", false, 255, true, 0, 0},
    {"zero_height", {"in.bmp"}, "3\n0\n", false, 255, true, 0, 0},
    {"negative_width", {"in.bmp"}, "-4\n3\n", false, 255, true, 0, 0},
    {"negative_height", {"in.bmp"}, "4\n-3\n", false, 255, true, 0, 0},
    {"input_closed", {"in.bmp"}, "", false, 255, true, 0, 0},
    {"input_closed_after_width", {"in.bmp"}, "4\n", false, 255, true, 0, 0},
    // Beyond the int range: a plain "%d" would wrap 4294967297 to 1.
    {"width_beyond_int", {"in.bmp"}, "99999999999\n3\n", false, 255, true, 0, 0},
    {"width_wraps_to_one", {"in.bmp"}, "4294967297\n3\n", false, 255, true, 0, 0},
    {"height_wraps_to_one", {"in.bmp"}, "3\n4294967297\n", false, 255, true, 0, 0},
    {"negative_beyond_int", {"in.bmp"}, "-4294967295\n3\n", false, 255, true, 0, 0},
    // Targets whose byte count does not fit the library's 32-bit int.
    {"target_46341_square", {"in.bmp"}, "46341\n46341\n", false, 255, true, 0, 0},
    {"target_40000_square", {"in.bmp"}, "40000\n40000\n", false, 255, true, 0, 0},
    {"target_just_over_limit", {"in.bmp"}, "536870912\n1\n", false, 255, true, 0, 0},
    {"target_wide_and_flat", {"in.bmp"}, "100000\n1\n", false, 0, true, 100000, 1},
};

void PrintTo(const DialogueCase &c, std::ostream *os) { *os << c.name; }

class Dialogue : public testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, StatusOutputAndResult)
{
    const DialogueCase &c = GetParam();
    TempDir dir;
    write_bmp24(dir / "in.bmp", coord_image(4, 3));

    RunOptions opt;
    opt.keep_input_open = c.keep_input_open;
    opt.timeout_seconds = c.keep_input_open ? 10 : 60;
    RunResult r = run_tool(dir.path, c.args, c.input, opt);

    ASSERT_FALSE(r.timed_out) << "the program waited for input it should not need";
    ASSERT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    std::string expected = c.prompted ? prompts(4, 3) : "";
    if (c.status == 0)
        expected += SUCCESS;
    EXPECT_EQ(r.out, expected);

    if (c.status == 0) {
        Image out = read_bmp(dir / "new_in.bmp");
        EXPECT_EQ(out.w, c.W);
        EXPECT_EQ(out.h, c.H);
    } else {
        // A failed run leaves nothing behind.
        EXPECT_EQ(listing(dir.path), std::set<std::string>{"in.bmp"});
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Dialogue, testing::ValuesIn(dialogue_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Read from a pipe until `want` has arrived or a few seconds have passed.
std::string read_until(int fd, const std::string &want)
{
    std::string got;
    while (got.find(want) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        char buf[256];
        ssize_t k = read(fd, buf, sizeof buf);
        if (k <= 0)
            break;
        got.append(buf, k);
    }
    return got;
}

// Each prompt must be on the console before the program waits, even when
// standard output is a pipe rather than a terminal.
TEST(Dialogue, PromptsArriveBeforeTheAnswersThroughAPipe)
{
    TempDir dir;
    write_bmp24(dir / "in.bmp", coord_image(4, 3));
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    std::string bin = tool_path();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (chdir(dir.path.c_str()) != 0)
            _exit(127);
        unsetenv("DISPLAY");
        execl(bin.c_str(), bin.c_str(), "in.bmp", (char *)nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);

    std::string first = "\nX Size is: 4 , Enter new X size:";
    std::string second = "\nY Size is: 3 , Enter new Y size:";
    EXPECT_EQ(read_until(out[0], first), first);
    ASSERT_EQ(write(in[1], "2\n", 2), 2);
    EXPECT_EQ(read_until(out[0], second), second);
    ASSERT_EQ(write(in[1], "2\n", 2), 2);
    EXPECT_EQ(read_until(out[0], SUCCESS), SUCCESS);
    close(in[1]);
    close(out[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

}  // namespace
