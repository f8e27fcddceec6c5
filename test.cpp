/*
 * imgresize: rescale one raster image by nearest-neighbour sampling and
 * write the result as a BMP file named "new_" + the argument.
 *
 *   imgresize photo.bmp
 *
 * The program asks for the new width and height on the console, scales,
 * writes new_photo.bmp, prints a success line and exits 0.  Every failure
 * exits -1 without a message.
 */
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* Run state. */
int W, H;               /* target width and height typed by the user */
int x, y;               /* current target column and row of the walk */
BITMAP *loaded;         /* the source image */
BITMAP *new_one;        /* the target image */
std::string new_name;   /* the output path, "new_" + the argument */

/* The library sizes a memory image's pixel data in a 32-bit int. */
static const long long MAX_IMAGE_BYTES = INT_MAX;

/* Start the library as a plain image toolkit: no display, no input, no
 * sound, so that it works on servers and in containers alike. */
static bool start_library(void)
{
    set_color_depth(32);
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return false;
    loadpng_init();
    jpgalleg_init();
    register_bitmap_file_type("jpeg", load_jpg, NULL);
    return true;
}

/* Decode the source file into a 32-bit image, or NULL. */
static BITMAP *load_source(const char *path)
{
    BITMAP *bmp = load_bitmap(path, NULL);
    if (bmp && (bmp->w <= 0 || bmp->h <= 0)) {
        destroy_bitmap(bmp);
        return NULL;
    }
    return bmp;
}

/* Read one decimal integer as "%d" does, leaving *v as it was when
 * nothing converts.  A number outside the int range becomes -1 (invalid)
 * rather than whatever a plain "%d" would wrap it to. */
static void read_size(int *v)
{
    long long n;
    if (scanf("%lld", &n) != 1)
        return;
    *v = (n < INT_MIN || n > INT_MAX) ? -1 : (int)n;
}

/* Show the current size, ask for the new one. */
static void ask_size(const char *prompt, int current, int *answer)
{
    printf(prompt, current);
    fflush(stdout);
    read_size(answer);
}

static bool valid_target_size(void)
{
    if (W <= 0 || H <= 0)
        return false;
    return (long long)W * H * 4 <= MAX_IMAGE_BYTES;
}

/* Fill new_one from loaded: target pixel (x, y) takes source pixel
 * (w * x / W, h * y / H), rounded down.  The walk goes row by row to
 * follow the memory layout; each column's source index is computed once. */
static void scale_image(void)
{
    std::vector<int> src_col(W);
    for (x = 0; x < W; x++)
        src_col[x] = (int)((int64_t)loaded->w * x / W);

    for (y = 0; y < H; y++) {
        int src_row = (int)((int64_t)loaded->h * y / H);
        for (x = 0; x < W; x++)
            putpixel(new_one, x, y, getpixel(loaded, src_col[x], src_row));
    }
}

/* Size of the 24-bit BMP file the library writes for a w x h image. */
static long long bmp_file_size(int w, int h)
{
    long long row = ((long long)w * 3 + 3) / 4 * 4;
    return 54 + row * h;
}

/* Write new_one to path as BMP without ever leaving a partial file there:
 * write a temporary file in the same directory, check it, then rename it
 * over the destination.  The result gets a new file's usual permissions. */
static bool write_bmp_atomically(const std::string &path)
{
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "." + base + ".XXXXXX";

    std::vector<char> tmpbuf(tmp.begin(), tmp.end());
    tmpbuf.push_back('\0');
    int fd = mkstemp(tmpbuf.data());
    if (fd < 0)
        return false;
    tmp = tmpbuf.data();

    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    close(fd);

    errno = 0;
    ok = ok && save_bmp(tmp.c_str(), new_one, NULL) == 0;

    /* The library does not report a failure of its last buffered write,
     * so check that the whole file reached the disk. */
    struct stat st;
    ok = ok && stat(tmp.c_str(), &st) == 0 &&
         st.st_size == bmp_file_size(new_one->w, new_one->h);

    ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(tmp.c_str());
    return ok;
}

/* Name the result after the argument, write it and say so. */
static bool save_result(const char *arg)
{
    new_name = std::string("new_") + arg;
    if (!write_bmp_atomically(new_name))
        return false;
    printf("Creating and saving: success !!\n");
    return true;
}

int main(int argc, char *argv[])
{
    /* arguments */
    if (argc <= 1)
        return -1;

    /* a file-size limit must fail the write, not kill the process */
    signal(SIGXFSZ, SIG_IGN);

    if (!start_library())
        return -1;

    /* source */
    loaded = load_source(argv[1]);
    if (!loaded)
        return -1;

    /* dialogue: both questions are asked before either answer is tested */
    ask_size("\nX Size is: %d , Enter new X size:", loaded->w, &W);
    ask_size("\nY Size is: %d , Enter new Y size:", loaded->h, &H);
    if (!valid_target_size())
        return -1;

    /* target */
    new_one = create_bitmap(W, H);
    if (!new_one)
        return -1;
    clear(new_one);

    scale_image();

    if (!save_result(argv[1]))
        return -1;

    /* clean up */
    destroy_bitmap(new_one);
    destroy_bitmap(loaded);
    allegro_exit();
    return 0;
}
END_OF_MAIN()
