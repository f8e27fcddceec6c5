#include "support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

const char *const SUCCESS = "Creating and saving: success !!\n";

std::string prompts(int w, int h)
{
    return "\nX Size is: " + std::to_string(w) + " , Enter new X size:" +
           "\nY Size is: " + std::to_string(h) + " , Enter new Y size:";
}

std::string tool_path() { return IMGRESIZE_BIN; }

uint32_t coord_color(int x, int y)
{
    uint32_t r = x & 255, g = y & 255, b = ((x >> 8) & 15) << 4 | ((y >> 8) & 15);
    return r << 16 | g << 8 | b;
}

Image coord_image(int w, int h)
{
    Image img{w, h, std::vector<uint32_t>((size_t)w * h)};
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            img.px[(size_t)y * w + x] = coord_color(x, y);
    return img;
}

static void put16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = v & 255;
    b[at + 1] = (v >> 8) & 255;
}

static void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xffff);
    put16(b, at + 2, v >> 16);
}

static uint32_t get16(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8;
}

static uint32_t get32(const std::vector<uint8_t> &b, size_t at)
{
    return get16(b, at) | get16(b, at + 2) << 16;
}

std::vector<uint8_t> bmp24_bytes(const Image &img)
{
    size_t row = ((size_t)img.w * 3 + 3) / 4 * 4;
    std::vector<uint8_t> b(54 + row * img.h);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, (uint32_t)b.size());
    put32(b, 10, 54);
    put32(b, 14, 40);
    put32(b, 18, (uint32_t)img.w);
    put32(b, 22, (uint32_t)img.h);
    put16(b, 26, 1);
    put16(b, 28, 24);
    put32(b, 34, (uint32_t)(row * img.h));
    for (int y = 0; y < img.h; y++) {
        size_t at = 54 + (size_t)(img.h - 1 - y) * row;
        for (int x = 0; x < img.w; x++) {
            uint32_t c = img.at(x, y);
            b[at + 3 * x] = c & 255;
            b[at + 3 * x + 1] = (c >> 8) & 255;
            b[at + 3 * x + 2] = (c >> 16) & 255;
        }
    }
    return b;
}

void write_bmp24(const fs::path &path, const Image &img)
{
    write_file(path, bmp24_bytes(img));
}

Image read_bmp(const fs::path &path)
{
    std::vector<uint8_t> b = read_file(path);
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') {
        ADD_FAILURE() << path << " is not a BMP file";
        return {};
    }
    uint32_t offset = get32(b, 10);
    int w = (int32_t)get32(b, 18);
    int h = (int32_t)get32(b, 22);
    int bpp = get16(b, 28);
    uint32_t compression = get32(b, 30);
    bool top_down = h < 0;
    if (top_down)
        h = -h;
    if ((bpp != 24 && bpp != 32) || compression != 0 || w <= 0 || h <= 0) {
        ADD_FAILURE() << path << ": unexpected BMP layout, " << bpp << " bpp";
        return {};
    }
    size_t bytes = bpp / 8;
    size_t row = ((size_t)w * bytes + 3) / 4 * 4;
    if (offset + row * h > b.size()) {
        ADD_FAILURE() << path << " is truncated";
        return {};
    }
    Image img{w, h, std::vector<uint32_t>((size_t)w * h)};
    for (int y = 0; y < h; y++) {
        size_t at = offset + (top_down ? y : h - 1 - y) * row;
        for (int x = 0; x < w; x++) {
            const uint8_t *p = &b[at + x * bytes];
            img.px[(size_t)y * w + x] = p[2] << 16 | p[1] << 8 | p[0];
        }
    }
    return img;
}

Image nearest(const Image &src, int W, int H)
{
    Image out{W, H, std::vector<uint32_t>((size_t)W * H)};
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            out.px[(size_t)y * W + x] =
                src.at((int)((int64_t)src.w * x / W), (int)((int64_t)src.h * y / H));
    return out;
}

std::vector<uint8_t> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

void write_file(const fs::path &path, const std::string &text)
{
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

TempDir::TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "imgresize-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}

TempDir::~TempDir()
{
    if (getenv("IMGRESIZE_KEEP_TEMP"))  // keep the scratch files for a look
        return;
    std::error_code ec;
    fs::remove_all(path, ec);
}

static double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

RunResult run_tool(const fs::path &dir, const std::vector<std::string> &args,
                   const std::string &input, const RunOptions &opt)
{
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");

    std::string bin = tool_path();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        umask(opt.umask);
        if (opt.fsize_limit >= 0) {
            rlimit rl{(rlim_t)opt.fsize_limit, (rlim_t)opt.fsize_limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        if (opt.address_limit >= 0) {
            rlimit rl{(rlim_t)opt.address_limit, (rlim_t)opt.address_limit};
            setrlimit(RLIMIT_AS, &rl);
        }
        signal(SIGPIPE, SIG_DFL);
        unsetenv("DISPLAY");
        std::vector<char *> argv{bin.data()};
        std::vector<std::string> copy = args;
        for (std::string &a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Feed the input and collect both outputs without deadlocking.
    signal(SIGPIPE, SIG_IGN);
    RunResult r;
    size_t written = 0;
    int in_fd = in[1];
    int held_fd = -1;  // standard input kept open but no longer written
    if (input.empty()) {
        if (opt.keep_input_open)
            held_fd = in_fd;
        else
            close(in_fd);
        in_fd = -1;
    }
    double deadline = now_seconds() + opt.timeout_seconds;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        if (out_open)
            fds[n++] = {out[0], POLLIN, 0};
        if (err_open)
            fds[n++] = {err[0], POLLIN, 0};
        if (in_fd >= 0)
            fds[n++] = {in_fd, POLLOUT, 0};
        int left = (int)((deadline - now_seconds()) * 1000);
        if (left <= 0 || poll(fds, n, left) == 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < n; i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in_fd) {
                ssize_t k = write(in_fd, input.data() + written, input.size() - written);
                if (k > 0)
                    written += k;
                if (k < 0 || written == input.size()) {
                    if (opt.keep_input_open && k >= 0)
                        held_fd = in_fd;
                    else
                        close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t k = read(fds[i].fd, buf, sizeof buf);
            std::string &dest = fds[i].fd == out[0] ? r.out : r.err;
            if (k > 0)
                dest.append(buf, k);
            else if (fds[i].fd == out[0])
                out_open = false;
            else
                err_open = false;
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    if (held_fd >= 0)
        close(held_fd);
    close(out[0]);
    close(err[0]);

    int ws = 0;
    waitpid(pid, &ws, 0);
    if (WIFEXITED(ws))
        r.status = WEXITSTATUS(ws);
    else if (WIFSIGNALED(ws))
        r.signal = WTERMSIG(ws);
    return r;
}

int shell(const std::string &command)
{
    int ws = std::system(command.c_str());
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}
