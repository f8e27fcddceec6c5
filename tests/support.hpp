// Test support: run the built binary in a scratch directory, and read and
// write BMP files without the image library under test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Pixels as 0xRRGGBB, row-major, top row first.
struct Image {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
};

// A source whose pixels encode their own coordinates (up to 4096 x 4096):
// red = x & 255, green = y & 255, blue = high nibbles of x and y.
Image coord_image(int w, int h);
uint32_t coord_color(int x, int y);

// Uncompressed bottom-up 24-bit BMP with a 40-byte header.
void write_bmp24(const fs::path &path, const Image &img);
std::vector<uint8_t> bmp24_bytes(const Image &img);

// Reads 24- and 32-bit uncompressed BMPs, bottom-up or top-down.
// Fails the current test (and returns an empty image) on anything else.
Image read_bmp(const fs::path &path);

// The image the tool must produce: target (x, y) takes source
// (w * x / W, h * y / H), rounded down.
Image nearest(const Image &src, int W, int H);

std::vector<uint8_t> read_file(const fs::path &path);
void write_file(const fs::path &path, const std::vector<uint8_t> &bytes);
void write_file(const fs::path &path, const std::string &text);

// A fresh directory that is removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    fs::path operator/(const std::string &name) const { return path / name; }
};

struct RunOptions {
    long fsize_limit = -1;        // RLIMIT_FSIZE in bytes, -1 for none
    int umask = 022;
    int timeout_seconds = 60;
    long address_limit = -1;      // RLIMIT_AS in bytes, -1 for none
    bool keep_input_open = false; // leave standard input open after the text
};

struct RunResult {
    int status = -1;      // exit status, or -1 if killed by a signal
    int signal = 0;       // the signal that ended it, 0 if it exited
    bool timed_out = false;
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
};

// Runs the tool with DISPLAY unset, in dir, with the given arguments and
// standard input (closed after the text is written).
RunResult run_tool(const fs::path &dir, const std::vector<std::string> &args,
                   const std::string &input, const RunOptions &opt = {});

// Runs a shell command; returns its exit status.
int shell(const std::string &command);

// The path of the binary under test.
std::string tool_path();

// The dialogue's prompts and success line.
std::string prompts(int w, int h);
extern const char *const SUCCESS;
