/*
 * The library floor for the benchmark: the least work the image library
 * itself must do for one resize job, with no scaling at all.
 *
 *   floor SOURCE WIDTH HEIGHT OUTPUT
 *
 * It starts the library as the tool does, decodes SOURCE, makes a WIDTH x
 * HEIGHT 32-bit image, clears it and writes it to OUTPUT as BMP.  The
 * difference between the tool and this program is the tool's own code.
 */
#include <allegro.h>
#include <loadpng.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 5)
        return 2;
    int w = std::atoi(argv[2]);
    int h = std::atoi(argv[3]);
    if (w <= 0 || h <= 0)
        return 2;

    set_color_depth(32);
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 1;
    loadpng_init();

    BITMAP *src = load_bitmap(argv[1], NULL);
    if (!src)
        return 1;
    BITMAP *dst = create_bitmap(w, h);
    if (!dst)
        return 1;
    clear_bitmap(dst);
    if (save_bmp(argv[4], dst, NULL) != 0)
        return 1;

    destroy_bitmap(dst);
    destroy_bitmap(src);
    return 0;
}
END_OF_MAIN()
