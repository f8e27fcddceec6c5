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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    return true;
}

/* ------------------------------------------------------------------------
 * Loading the source
 *
 * The library's decoders are not safe on malformed files.  Decoding runs in
 * a child process that reads the file, checks the size its header declares,
 * then gives up every right it does not need (resource limits, file-system
 * access, all system calls but writing to one pipe) before the library
 * decodes the bytes.  The child sends back the width, the height and the
 * pixels as 32-bit values; this process checks what arrives and holds it in
 * an image of its own.  A child that dies, hits a limit or sends anything
 * inconsistent means the source cannot be loaded.
 * ---------------------------------------------------------------------- */

/* What the decoding process sends before the pixels. */
struct PixelHeader {
    uint32_t magic;
    int32_t w, h;
};
static const uint32_t PIXEL_MAGIC = 0x31786970; /* "pix1" */

/* Exit codes of the decoding process. */
enum { DECODED = 0, REFUSED = 1, TRUNCATED = 2 };

/* No image the library can hold comes in a larger file. */
static const uint64_t MAX_SOURCE_BYTES = 4ULL << 30;

/* Image formats and where their decoders find the bytes. */
enum Format { FMT_NONE, FMT_BMP, FMT_PCX, FMT_TGA, FMT_LBM, FMT_PNG, FMT_JPEG };

/* The size a header declares. */
struct Declared {
    long long w, h;
};

/* End the decoding process at once, running no exit handlers (nor a
 * sanitizer's leak check, which the process is no longer allowed to do). */
[[noreturn]] static void quit_decoder(int code)
{
    syscall(SYS_exit_group, code);
    __builtin_unreachable();
}

/* The signal that ended the last decoding process, 0 if none did. */
static int decoder_signal;

static Format format_of(const char *path)
{
    static const struct {
        const char *ext;
        Format format;
    } formats[] = {
        {"bmp", FMT_BMP}, {"pcx", FMT_PCX}, {"tga", FMT_TGA}, {"lbm", FMT_LBM},
        {"png", FMT_PNG}, {"jpg", FMT_JPEG}, {"jpeg", FMT_JPEG},
    };
    const char *ext = get_extension(path);
    for (const auto &f : formats)
        if (strcasecmp(ext, f.ext) == 0)
            return f.format;
    return FMT_NONE;
}

/* The source's bytes: the file mapped into memory, or a rewritten copy. */
struct Bytes {
    const uint8_t *p = nullptr;
    size_t n = 0;
    std::vector<uint8_t> own;

    size_t size() const { return n; }
    uint8_t operator[](size_t i) const { return p[i]; }
    void adopt(std::vector<uint8_t> &v)
    {
        own.swap(v);
        p = own.data();
        n = own.size();
    }
};

/* Map a regular file; read anything else (a pipe, say) up to the limit. */
static bool read_source(const char *path, Bytes &bytes)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        ok = (uint64_t)st.st_size <= MAX_SOURCE_BYTES;
        if (ok && st.st_size > 0) {
            void *map = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
            ok = map != MAP_FAILED;
            if (ok) {
                bytes.p = (const uint8_t *)map;
                bytes.n = (size_t)st.st_size;
            }
        }
    } else if (ok) {
        std::vector<uint8_t> v;
        uint8_t buf[65536];
        ssize_t k;
        while ((k = read(fd, buf, sizeof buf)) > 0 && v.size() + k <= MAX_SOURCE_BYTES)
            v.insert(v.end(), buf, buf + k);
        ok = k == 0;
        bytes.adopt(v);
    }
    close(fd);
    return ok;
}

/* Bounds-checked readers of header fields. */
static uint32_t le16(const Bytes &b, size_t at)
{
    return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0;
}

static uint32_t le32(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? le16(b, at) | le16(b, at + 2) << 16 : 0;
}

static uint32_t be16(const Bytes &b, size_t at)
{
    return at + 2 <= b.size() ? b[at] << 8 | b[at + 1] : 0;
}

static uint32_t be32(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? be16(b, at) << 16 | be16(b, at + 2) : 0;
}

static bool has_bytes(const Bytes &b, size_t at, const char *s)
{
    size_t n = strlen(s);
    return at + n <= b.size() && memcmp(b.p + at, s, n) == 0;
}

/* Positive sizes whose 32-bit pixels fit the library's int byte count. */
static bool fits_library(long long w, long long h)
{
    return w > 0 && h > 0 && w <= MAX_IMAGE_BYTES / 4 / h;
}

/* Uncompressed pixel data must be in the file. */
static bool data_fits(const Bytes &b, uint64_t offset, uint64_t bytes)
{
    return offset <= b.size() && bytes <= b.size() - offset;
}

static bool check_bmp(const Bytes &b, Declared &d)
{
    if (b.size() < 26 || !has_bytes(b, 0, "BM"))
        return false;
    uint32_t offset = le32(b, 10), header = le32(b, 14);
    uint32_t bpp, compression = 0;
    if (header == 12) {
        d.w = le16(b, 18);
        d.h = le16(b, 20);
        bpp = le16(b, 24);
    } else if (header >= 40 && b.size() >= 14 + 40) {
        d.w = (int32_t)le32(b, 18);
        d.h = (int32_t)le32(b, 22);
        bpp = le16(b, 28);
        compression = le32(b, 30);
    } else {
        return false;
    }
    long long rows = d.h < 0 ? -d.h : d.h;
    if (!fits_library(d.w, rows))
        return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return false;
    if (compression == 1 || compression == 2)  /* run-length encoded */
        return offset < b.size();
    if (compression != 0 && compression != 3)
        return false;
    /* Rows are padded to 4 bytes; writers may leave out the last row's padding. */
    uint64_t row = ((uint64_t)d.w * bpp + 31) / 32 * 4;
    uint64_t last = ((uint64_t)d.w * bpp + 7) / 8;
    return data_fits(b, offset, row * (rows - 1) + last);
}

/* Give an uncompressed BMP whose last row lacks its padding the missing
 * bytes, so the decoder never reads past the end. */
static void pad_bmp(Bytes &b)
{
    uint32_t header = le32(b, 14);
    if (header < 40 || le32(b, 30) == 1 || le32(b, 30) == 2)
        return;
    long long w = (int32_t)le32(b, 18), h = (int32_t)le32(b, 22);
    uint64_t row = ((uint64_t)w * le16(b, 28) + 31) / 32 * 4;
    uint64_t end = le32(b, 10) + row * (h < 0 ? -h : h);
    if (b.size() < end) {
        std::vector<uint8_t> v(b.p, b.p + b.size());
        v.resize(end, 0);
        b.adopt(v);
    }
}

/* The library reads BMP info headers of 12 and 40 bytes, rows bottom-up,
 * and bit fields only in the common 5-5-5, 5-6-5 and 8-8-8 layouts.
 * Present any other file as the 40-byte, bottom-up file with the same
 * fields and pixels, and other bit fields as plain 24-bit pixels. */

struct BitField {
    uint32_t mask;
    int shift, bits;
};

static BitField bit_field(uint32_t mask)
{
    BitField f = {mask, 0, 0};
    if (mask) {
        f.shift = __builtin_ctz(mask);
        f.bits = __builtin_popcount(mask);
    }
    return f;
}

/* A channel at 8 bits: wider fields keep their top bits, narrower ones
 * are scaled to the full range and rounded. */
static uint8_t channel(uint32_t pixel, const BitField &f)
{
    if (f.bits == 0)
        return 0;
    uint32_t v = (pixel & f.mask) >> f.shift;
    if (f.bits >= 8)
        return (uint8_t)(v >> (f.bits - 8));
    uint32_t max = (1u << f.bits) - 1;
    return (uint8_t)((v * 255 + max / 2) / max);
}

static bool library_reads_masks(uint32_t bpp, const uint32_t *m)
{
    if (bpp == 16)
        return (m[0] == 0x7c00 && m[1] == 0x03e0 && m[2] == 0x001f) ||
               (m[0] == 0xf800 && m[1] == 0x07e0 && m[2] == 0x001f);
    return bpp == 32 && m[0] == 0xff0000 && m[1] == 0xff00 && m[2] == 0xff;
}

static void put_le16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = v & 0xff;
    b[at + 1] = (v >> 8) & 0xff;
}

static void put_le32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    put_le16(b, at, v & 0xffff);
    put_le16(b, at + 2, v >> 16);
}

/* Bit-field pixels as 24-bit rows, padded to 4 bytes. */
static std::vector<uint8_t> bit_fields_to_24(const uint8_t *data, long long w, long long rows,
                                             uint32_t bpp, const uint32_t *masks)
{
    BitField r = bit_field(masks[0]), g = bit_field(masks[1]), b = bit_field(masks[2]);
    uint64_t in_row = ((uint64_t)w * bpp + 31) / 32 * 4, out_row = ((uint64_t)w * 3 + 3) / 4 * 4;
    std::vector<uint8_t> out(out_row * rows, 0);
    for (long long y = 0; y < rows; y++) {
        const uint8_t *p = data + y * in_row;
        uint8_t *q = &out[y * out_row];
        for (long long x = 0; x < w; x++, q += 3) {
            uint32_t v = bpp == 16 ? p[2 * x] | p[2 * x + 1] << 8
                                   : p[4 * x] | p[4 * x + 1] << 8 | p[4 * x + 2] << 16 |
                                         (uint32_t)p[4 * x + 3] << 24;
            q[0] = channel(v, b);
            q[1] = channel(v, g);
            q[2] = channel(v, r);
        }
    }
    return out;
}

/* Some writers end each run-length row of an odd width with one pixel too
 * many, from the padding; the library would carry such pixels into the
 * next row.  Rewrite the RLE8 stream without pixels past the width. */
static void clip_rle8_rows(Bytes &b)
{
    uint32_t offset = le32(b, 10);
    long long w = (int32_t)le32(b, 18);
    std::vector<uint8_t> out(b.p, b.p + offset);
    bool clipped = false;
    long long x = 0;
    size_t at = offset;
    auto emit = [&](std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); };
    while (at + 2 <= b.size()) {
        uint32_t count = b[at], value = b[at + 1];
        if (count > 0) {  /* a run of one index */
            long long keep = std::max(0LL, std::min<long long>(count, w - x));
            if (keep > 0)
                emit({(uint8_t)keep, (uint8_t)value});
            clipped |= keep != count;
            x += count;
            at += 2;
        } else if (value == 0 || value == 1) {  /* end of the row, of the image */
            emit({0, (uint8_t)value});
            x = 0;
            at += 2;
            if (value == 1)
                break;
        } else if (value == 2) {  /* move right and down */
            if (at + 4 > b.size())
                break;
            emit({0, 2, b[at + 2], b[at + 3]});
            x += b[at + 2];
            at += 4;
        } else {  /* indexes as they are, padded to an even count */
            size_t n = value, pad = n & 1;
            if (at + 2 + n + pad > b.size())
                break;
            long long keep = std::max(0LL, std::min<long long>((long long)n, w - x));
            const uint8_t *p = b.p + at + 2;
            if (keep >= 3) {
                emit({0, (uint8_t)keep});
                out.insert(out.end(), p, p + keep);
                if (keep & 1)
                    out.push_back(0);
            } else {
                for (long long i = 0; i < keep; i++)
                    emit({1, p[i]});
            }
            clipped |= keep != (long long)n;
            x += (long long)n;
            at += 2 + n + pad;
        }
    }
    if (!clipped)
        return;
    out.insert(out.end(), b.p + at, b.p + b.size());  /* whatever follows, as it is */
    put_le32(out, 2, (uint32_t)out.size());
    put_le32(out, 34, (uint32_t)(out.size() - offset));
    b.adopt(out);
}

/* The 40-byte, bottom-up file with the same fields and pixels, bit fields
 * the library cannot read turned into 24-bit pixels. */
static bool rewrite_bmp(Bytes &b, uint32_t header, const uint32_t *masks, bool fields,
                        bool convert)
{
    long long w = (int32_t)le32(b, 18), h = (int32_t)le32(b, 22);
    uint32_t bpp = le16(b, 28), compression = le32(b, 30), offset = le32(b, 10);
    bool top_down = h < 0, rle = compression == 1 || compression == 2;
    long long rows = top_down ? -h : h;

    /* The palette follows the header (and a 40-byte header's masks). */
    size_t palette_at = 14 + header + (header == 40 && fields ? 12 : 0);
    size_t palette_bytes = 0;
    if (bpp <= 8) {
        uint32_t colours = le32(b, 46);
        if (colours == 0 || colours > (1u << bpp))
            colours = 1u << bpp;
        palette_bytes = (size_t)colours * 4;
        if (palette_at > offset)
            return false;
        if (palette_bytes > offset - palette_at)
            palette_bytes = offset - palette_at;
    }

    uint64_t row = ((uint64_t)w * bpp + 31) / 32 * 4;
    std::vector<uint8_t> pixels;
    if (rle) {
        pixels.assign(b.p + offset, b.p + b.size());
    } else {
        /* rows bottom-up, complete (pad_bmp has run) */
        pixels.resize(row * rows);
        for (long long y = 0; y < rows; y++) {
            long long from = top_down ? rows - 1 - y : y;
            memcpy(&pixels[y * row], b.p + offset + from * row, row);
        }
        if (convert)
            pixels = bit_fields_to_24(pixels.data(), w, rows, bpp, masks);
    }

    size_t mask_bytes = fields && !convert ? 12 : 0;
    size_t start = 14 + 40 + mask_bytes + palette_bytes;
    std::vector<uint8_t> n(start + pixels.size());
    memcpy(&n[0], b.p, 14 + 40);
    put_le32(n, 2, (uint32_t)n.size());
    put_le32(n, 10, (uint32_t)start);
    put_le32(n, 14, 40);
    put_le32(n, 22, (uint32_t)rows);
    if (convert) {
        put_le16(n, 28, 24);
        put_le32(n, 30, 0);
        put_le32(n, 34, (uint32_t)pixels.size());
    }
    for (size_t i = 0; i < mask_bytes / 4; i++)
        put_le32(n, 54 + 4 * i, masks[i]);
    if (palette_bytes)
        memcpy(&n[54 + mask_bytes], b.p + palette_at, palette_bytes);
    if (!pixels.empty())
        memcpy(&n[start], pixels.data(), pixels.size());
    b.adopt(n);
    return true;
}

static bool normalise_bmp(Bytes &b)
{
    uint32_t header = le32(b, 14);
    if (header == 12)
        return true;
    uint32_t bpp = le16(b, 28), compression = le32(b, 30), offset = le32(b, 10);
    bool top_down = (int32_t)le32(b, 22) < 0, rle = compression == 1 || compression == 2;
    if (top_down && rle)  /* run-length data always runs bottom-up */
        return false;

    /* Bit-field masks follow a 40-byte header, and are inside longer ones. */
    uint32_t masks[3] = {0, 0, 0};
    bool fields = compression == 3;
    if (fields) {
        if (header == 40 && offset < 14 + 40 + 12)
            return false;
        for (int i = 0; i < 3; i++)
            masks[i] = le32(b, 14 + 40 + 4 * i);
        if (bpp != 16 && bpp != 32)
            return false;
    }
    bool convert = fields && !library_reads_masks(bpp, masks);
    if ((header != 40 || top_down || convert) && !rewrite_bmp(b, header, masks, fields, convert))
        return false;
    if (compression == 1)
        clip_rle8_rows(b);
    return true;
}

static bool check_pcx(const Bytes &b, Declared &d)
{
    if (b.size() < 128 || b[0] != 0x0a)
        return false;
    d.w = (long long)le16(b, 8) - le16(b, 4) + 1;
    d.h = (long long)le16(b, 10) - le16(b, 6) + 1;
    if (!fits_library(d.w, d.h))
        return false;
    if (b[2] == 0)  /* uncompressed */
        return data_fits(b, 128, (uint64_t)le16(b, 66) * b[65] * d.h);
    return true;
}

static bool check_tga(const Bytes &b, Declared &d)
{
    if (b.size() < 18)
        return false;
    uint32_t type = b[2], bpp = b[16];
    d.w = le16(b, 12);
    d.h = le16(b, 14);
    if (!fits_library(d.w, d.h))
        return false;
    uint64_t offset = 18 + b[0] + (b[1] ? (uint64_t)le16(b, 5) * ((b[7] + 7) / 8) : 0);
    if (type == 1 || type == 2 || type == 3)
        return data_fits(b, offset, (uint64_t)d.w * d.h * ((bpp + 7) / 8));
    if (type == 9 || type == 10 || type == 11)
        return offset <= b.size();
    return false;
}

/* IFF: a FORM of chunks; the header chunk BMHD gives the size and the
 * BODY chunk must be whole. */
static bool check_lbm(const Bytes &b, Declared &d)
{
    if (!has_bytes(b, 0, "FORM") || !(has_bytes(b, 8, "ILBM") || has_bytes(b, 8, "PBM ")))
        return false;
    bool have_header = false;
    uint32_t planes = 0, masking = 0, compression = 0;
    for (uint64_t at = 12; at + 8 <= b.size();) {
        uint64_t len = be32(b, at + 4);
        if (!data_fits(b, at + 8, len))
            return false;
        if (has_bytes(b, at, "BMHD") && len >= 20) {
            d.w = be16(b, at + 8);
            d.h = be16(b, at + 10);
            planes = b[at + 16];
            masking = b[at + 17];
            compression = b[at + 18];
            have_header = true;
        } else if (has_bytes(b, at, "BODY")) {
            if (!have_header || !fits_library(d.w, d.h))
                return false;
            /* planar rows of whole 16-bit words, or one byte a pixel */
            bool chunky = has_bytes(b, 8, "PBM ");
            uint64_t row = chunky ? (d.w + 1) / 2 * 2
                                  : (d.w + 15) / 16 * 2 * (planes + (masking == 1));
            return compression != 0 || len >= row * d.h;
        }
        at += 8 + len + (len & 1);
    }
    return false;
}

static bool check_png(const Bytes &b, Declared &d)
{
    if (!has_bytes(b, 0, "\x89PNG\r\n\x1a\n") || !has_bytes(b, 12, "IHDR"))
        return false;
    d.w = be32(b, 16);
    d.h = be32(b, 20);
    return fits_library(d.w, d.h);
}

/* The size is in the first start-of-frame marker.  The decoder does not
 * notice missing data, so the image data that starts at the first scan
 * marker must run to an end-of-image marker. */
static bool check_jpeg(const Bytes &b, Declared &d)
{
    if (b.size() < 4 || b[0] != 0xff || b[1] != 0xd8)
        return false;
    bool have_size = false;
    for (size_t at = 2; at + 4 <= b.size();) {
        if (b[at] != 0xff)
            return false;
        uint32_t marker = b[at + 1];
        if (marker == 0xff) {
            at++;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            at += 2;
            continue;
        }
        if (marker == 0xd9)
            return false;
        if (marker == 0xda) {
            if (!have_size)
                return false;
            for (size_t i = at + 2; i + 1 < b.size(); i++)
                if (b[i] == 0xff && b[i + 1] == 0xd9)
                    return true;
            return false;
        }
        bool sof = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
                   marker != 0xcc;
        if (sof && !have_size) {
            if (at + 9 > b.size())
                return false;
            d.h = be16(b, at + 5);
            d.w = be16(b, at + 7);
            if (!fits_library(d.w, d.h))
                return false;
            have_size = true;
        }
        at += 2 + be16(b, at + 2);
    }
    return false;
}

/* Check what the header declares before any decoder sees the file, and
 * bring the bytes into the form the decoder reads. */
static bool check_source(Format format, Bytes &b, Declared &d)
{
    switch (format) {
    case FMT_BMP:
        if (!check_bmp(b, d))
            return false;
        pad_bmp(b);
        return normalise_bmp(b);
    case FMT_PCX:  return check_pcx(b, d);
    case FMT_TGA:  return check_tga(b, d);
    case FMT_LBM:  return check_lbm(b, d);
    case FMT_PNG:  return check_png(b, d);
    case FMT_JPEG: return check_jpeg(b, d);
    case FMT_NONE: break;
    }
    return false;
}

/* The source bytes as the decoders read them.  A decoder that asks for a
 * byte past the end is decoding a truncated file: the process stops. */
struct MemoryFile {
    const uint8_t *data;
    size_t size, pos;
};

static int mem_getc(void *f)
{
    MemoryFile *m = (MemoryFile *)f;
    if (m->pos >= m->size)
        quit_decoder(TRUNCATED);
    return m->data[m->pos++];
}

static int mem_ungetc(int c, void *f)
{
    MemoryFile *m = (MemoryFile *)f;
    if (m->pos > 0)
        m->pos--;
    return c;
}

static long mem_fread(void *p, long n, void *f)
{
    MemoryFile *m = (MemoryFile *)f;
    if (n < 0 || (size_t)n > m->size - m->pos)
        quit_decoder(TRUNCATED);
    memcpy(p, m->data + m->pos, (size_t)n);
    m->pos += (size_t)n;
    return n;
}

static int mem_fseek(void *f, int offset)
{
    MemoryFile *m = (MemoryFile *)f;
    if (offset < 0)
        return -1;
    if ((size_t)offset > m->size - m->pos)
        quit_decoder(TRUNCATED);
    m->pos += (size_t)offset;
    return 0;
}

static int mem_feof(void *f) { return ((MemoryFile *)f)->pos >= ((MemoryFile *)f)->size; }
static int mem_ferror(void *) { return 0; }
static int mem_fclose(void *) { return 0; }
static int mem_putc(int, void *) { return EOF; }
static long mem_fwrite(const void *, long, void *) { return 0; }

static const PACKFILE_VTABLE memory_vtable = {
    mem_fclose, mem_getc, mem_ungetc, mem_fread, mem_putc, mem_fwrite,
    mem_fseek, mem_feof, mem_ferror,
};

/* Decode the source bytes with the library, at the file's own depth. */
static BITMAP *decode(Format format, const char *path, const Bytes &bytes, RGB *pal)
{
    if (format == FMT_JPEG)
        return bytes.size() <= INT_MAX ? load_memory_jpg((void *)bytes.p, (int)bytes.size(), pal)
                                       : NULL;
    if (format == FMT_LBM)  /* this decoder reads only by name */
        return load_bitmap(path, pal);
    MemoryFile file = {bytes.p, bytes.size(), 0};
    PACKFILE *f = pack_fopen_vtable(&memory_vtable, &file);
    if (!f)
        return NULL;
    BITMAP *bmp = NULL;
    switch (format) {
    case FMT_BMP: bmp = load_bmp_pf(f, pal); break;
    case FMT_PCX: bmp = load_pcx_pf(f, pal); break;
    case FMT_TGA: bmp = load_tga_pf(f, pal); break;
    case FMT_PNG: bmp = load_png_pf(f, pal); break;
    default: break;
    }
    pack_fclose(f);
    return bmp;
}

/* ---- the decoding process's restrictions ---- */

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

/* Memory for the file, a decoded copy at up to 4 bytes per pixel and the
 * decoders' working space, which for JPEG is another copy; CPU time far
 * beyond what decoding that many pixels takes; no file writing, no core. */
static void limit_resources(const Declared &d, size_t file_bytes)
{
    uint64_t pixel_bytes = (uint64_t)d.w * d.h * 4;
    rlimit cpu;
    cpu.rlim_cur = cpu.rlim_max = 1 + (uint64_t)(d.w * d.h) / 2000000;
    setrlimit(RLIMIT_CPU, &cpu);
    rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    setrlimit(RLIMIT_CORE, &none);
#ifndef UNDER_ASAN  /* the sanitizer's shadow memory needs the address space */
    rlimit as;
    as.rlim_cur = as.rlim_max = (rlim_t)(file_bytes + 3 * pixel_bytes + (512ULL << 20));
    setrlimit(RLIMIT_AS, &as);
#else
    (void)file_bytes;
    (void)pixel_bytes;
#endif
}

/* No file-system access, except reading the source for a decoder that
 * opens it by name. */
static void restrict_filesystem(const char *readable)
{
    long abi = syscall(SYS_landlock_create_ruleset, NULL, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return;  /* not offered by this kernel; the system-call filter still holds */
    landlock_ruleset_attr attr = {};
    /* Every right of the first version, then linking across folders (2)
     * and truncating (3, bit 14, newer than these headers). */
    attr.handled_access_fs = (1ULL << 13) - 1;
    if (abi >= 2)
        attr.handled_access_fs |= 1ULL << 13;
    if (abi >= 3)
        attr.handled_access_fs |= 1ULL << 14;
    int ruleset = (int)syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (ruleset < 0)
        quit_decoder(REFUSED);
    if (readable) {
        landlock_path_beneath_attr rule = {};
        rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
        rule.parent_fd = open(readable, O_PATH | O_CLOEXEC);
        if (rule.parent_fd < 0 ||
            syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
            quit_decoder(REFUSED);
        close(rule.parent_fd);
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        quit_decoder(REFUSED);
    close(ruleset);
}

/* From here on the process may manage its memory, write to the pipe and
 * exit; for a decoder that opens the source by name, also open files for
 * reading and read them. */
static void filter_system_calls(int out_fd, bool may_open)
{
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!ctx)
        quit_decoder(REFUSED);
    int rc = 0;
    for (int call : {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise),
                     SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn),
                     SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(getpid), SCMP_SYS(gettid)})
        rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0);
    /* memory, but never executable */
    rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                           SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1,
                           SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    /* the pipe, and the null device on standard output and error, where a
     * decoder's warnings go */
    for (int fd : {out_fd, 1, 2})
        rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(write), 1,
                               SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)fd));
#ifdef UNDER_ASAN  /* the sanitizer switches stacks around calls that do not return */
    rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 0);
#endif
    if (may_open) {
        rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(openat), 1,
                               SCMP_A2(SCMP_CMP_MASKED_EQ, O_ACCMODE | O_CREAT | O_TRUNC, O_RDONLY));
        for (int call : {SCMP_SYS(read), SCMP_SYS(lseek), SCMP_SYS(close)})
            rc |= seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0);
    }
    if (rc != 0 || seccomp_load(ctx) != 0)
        quit_decoder(REFUSED);
    seccomp_release(ctx);
}

/* ---- sending the pixels ---- */

static void write_all(int fd, const void *p, size_t n)
{
    const char *c = (const char *)p;
    while (n > 0) {
        ssize_t k = write(fd, c, n);
        if (k <= 0)
            quit_decoder(REFUSED);
        c += k;
        n -= (size_t)k;
    }
}

/* ---- exact palette colours ----
 *
 * The library keeps palette entries at 6 bits per channel.  Take the 8-bit
 * entries from the file itself, each one only where it agrees with what the
 * library read for that index, so a misread palette can never slip in. */

struct Colour {
    uint8_t r, g, b;
};

/* Entries stored as blue, green, red (and a spare byte when stride is 4). */
static int bgr_entries(const Bytes &b, size_t at, size_t count, size_t stride,
                       Colour *out)
{
    int n = 0;
    for (; n < 256 && (size_t)n < count && at + stride * n + 3 <= b.size(); n++) {
        const uint8_t *p = b.p + at + stride * n;
        out[n] = {p[2], p[1], p[0]};
    }
    return n;
}

static int rgb_entries(const Bytes &b, size_t at, size_t count, Colour *out)
{
    int n = 0;
    for (; n < 256 && (size_t)n < count && at + 3 * n + 3 <= b.size(); n++) {
        const uint8_t *p = b.p + at + 3 * n;
        out[n] = {p[0], p[1], p[2]};
    }
    return n;
}

/* Grey images: the index is the level. */
static int grey_ramp(Colour *out)
{
    for (int i = 0; i < 256; i++)
        out[i] = {(uint8_t)i, (uint8_t)i, (uint8_t)i};
    return 256;
}

/* The palette a file stores; returns how many entries were found. */
static int file_palette(Format format, const Bytes &b, Colour *out)
{
    switch (format) {
    case FMT_BMP: {  /* normalised: after the header, four bytes an entry */
        uint32_t header = le32(b, 14);
        if (header == 12)
            return bgr_entries(b, 26, (le32(b, 10) - 26) / 3, 3, out);
        size_t at = 14 + header + (le32(b, 30) == 3 ? 12 : 0);
        return bgr_entries(b, at, (le32(b, 10) - at) / 4, 4, out);
    }
    case FMT_PCX:  /* 256 entries at the end, after a marker byte */
        if (b.size() >= 128 + 769 && b[b.size() - 769] == 0x0c)
            return rgb_entries(b, b.size() - 768, 256, out);
        return rgb_entries(b, 16, 16, out);
    case FMT_TGA:
        if (b[2] == 3 || b[2] == 11)
            return grey_ramp(out);
        if (b[1] == 1 && (b[7] == 24 || b[7] == 32))
            return bgr_entries(b, 18 + b[0], le16(b, 5), b[7] / 8, out);
        return 0;
    case FMT_PNG:
    case FMT_LBM: {  /* a chunk of entries: PLTE or CMAP */
        bool png = format == FMT_PNG;
        for (size_t at = png ? 8 : 12; at + 8 <= b.size();) {
            uint32_t len = be32(b, png ? at : at + 4);
            const char *name = png ? "PLTE" : "CMAP";
            if (has_bytes(b, png ? at + 4 : at, name))
                return rgb_entries(b, at + 8, len / 3, out);
            at += png ? 12 + (uint64_t)len : 8 + (uint64_t)len + (len & 1);
        }
        return 0;
    }
    case FMT_JPEG:  /* only grey images decode to 8 bits */
        return grey_ramp(out);
    case FMT_NONE:
        break;
    }
    return 0;
}

/* The 32-bit value of each index of an 8-bit decoded image. */
static void palette_colours(Format format, const Bytes &bytes, const RGB *pal,
                            uint32_t *colours)
{
    Colour exact[256];
    int n = file_palette(format, bytes, exact);
    for (int i = 0; i < 256; i++) {
        const RGB &c = pal[i];
        bool agrees = i < n && exact[i].r >> 2 == c.r && exact[i].g >> 2 == c.g &&
                      exact[i].b >> 2 == c.b;
        colours[i] = agrees ? makecol32(exact[i].r, exact[i].g, exact[i].b)
                            : makecol32(_rgb_scale_6[c.r & 63], _rgb_scale_6[c.g & 63],
                                        _rgb_scale_6[c.b & 63]);
    }
}

/* One row as 32-bit pixel values, converted the way the library converts
 * a loaded image to 32 bits. */
static void convert_row(BITMAP *bmp, const uint32_t *colours, int row, uint32_t *out)
{
    const uint8_t *p = bmp->line[row];
    switch (bitmap_color_depth(bmp)) {
    case 8:
        for (int i = 0; i < bmp->w; i++)
            out[i] = colours[p[i]];
        break;
    case 15:
        for (int i = 0; i < bmp->w; i++) {
            int c = ((const uint16_t *)p)[i];
            out[i] = makecol32(getr15(c), getg15(c), getb15(c));
        }
        break;
    case 16:
        for (int i = 0; i < bmp->w; i++) {
            int c = ((const uint16_t *)p)[i];
            out[i] = makecol32(getr16(c), getg16(c), getb16(c));
        }
        break;
    case 24:
        for (int i = 0; i < bmp->w; i++, p += 3)
            out[i] = (uint32_t)p[2] << 16 | p[1] << 8 | p[0];
        break;
    case 32:
        memcpy(out, p, (size_t)bmp->w * 4);
        break;
    }
}

/* The header, then the rows top to bottom, converted in batches of about
 * a megabyte so that the pipe is crossed in few, large writes. */
static void send_pixels(int fd, BITMAP *bmp, const uint32_t *colours)
{
    PixelHeader header = {PIXEL_MAGIC, bmp->w, bmp->h};
    write_all(fd, &header, sizeof header);
    size_t batch_rows = std::min((size_t)bmp->h, 1 + (1u << 18) / (size_t)bmp->w);
    std::vector<uint32_t> batch(batch_rows * (size_t)bmp->w);
    for (int r = 0; r < bmp->h;) {
        size_t n = 0;
        for (; n < batch_rows && r < bmp->h; n++, r++)
            convert_row(bmp, colours, r, &batch[n * bmp->w]);
        write_all(fd, batch.data(), n * (size_t)bmp->w * 4);
    }
}

/* The decoding process: it never returns. */
[[noreturn]] static void run_decoder(const char *path, int out_fd)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    /* Nothing it does may reach the console, and a file-size limit must
     * not apply to an inherited standard output that is a file. */
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0)
        quit_decoder(REFUSED);
    for (int fd = 0; fd <= 2; fd++)
        dup2(null_fd, fd);
    if (null_fd > 2)
        close(null_fd);

    Format format = format_of(path);
    Bytes bytes;
    Declared declared = {0, 0};
    if (format == FMT_NONE || !read_source(path, bytes) ||
        !check_source(format, bytes, declared))
        quit_decoder(REFUSED);

    limit_resources(declared, bytes.size());
    restrict_filesystem(format == FMT_LBM ? path : NULL);
    filter_system_calls(out_fd, format == FMT_LBM);

    PALETTE pal = {};  /* entries a decoder does not set stay black */
    set_color_conversion(COLORCONV_NONE);
    BITMAP *bmp = decode(format, path, bytes, pal);
    if (!bmp || bmp->w != declared.w || bmp->h != (declared.h < 0 ? -declared.h : declared.h))
        quit_decoder(REFUSED);
    uint32_t colours[256];
    if (bitmap_color_depth(bmp) == 8)
        palette_colours(format, bytes, pal, colours);
    send_pixels(out_fd, bmp, colours);
    quit_decoder(DECODED);
}

/* ---- receiving the pixels ---- */

static bool read_all(int fd, void *p, size_t n)
{
    char *c = (char *)p;
    while (n > 0) {
        ssize_t k = read(fd, c, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        c += k;
        n -= (size_t)k;
    }
    return true;
}

/* Large images are filled and read once from end to end: on huge pages
 * that takes a fraction of the page faults. */
static void prefer_huge_pages(BITMAP *bmp)
{
    uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t start = ((uintptr_t)bmp->line[0] + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)bmp->line[bmp->h - 1] + (uintptr_t)bmp->w * 4) & ~(page - 1);
    if (end > start)
        madvise((void *)start, end - start, MADV_HUGEPAGE);
}

/* How many rows from r on follow each other in memory. */
static int contiguous_rows(BITMAP *bmp, int r)
{
    int n = 1;
    while (r + n < bmp->h && bmp->line[r + n] == bmp->line[r] + (size_t)n * bmp->w * 4)
        n++;
    return n;
}

/* Take the image the decoding process sends: a checked header, exactly
 * the pixels it announces, then the end of the stream. */
static BITMAP *receive_pixels(int fd)
{
    PixelHeader header;
    if (!read_all(fd, &header, sizeof header) || header.magic != PIXEL_MAGIC ||
        !fits_library(header.w, header.h))
        return NULL;
    BITMAP *bmp = create_bitmap(header.w, header.h);
    if (!bmp)
        return NULL;
    prefer_huge_pages(bmp);
    for (int r = 0; r < bmp->h;) {
        int n = contiguous_rows(bmp, r);
        if (!read_all(fd, bmp->line[r], (size_t)n * bmp->w * 4)) {
            destroy_bitmap(bmp);
            return NULL;
        }
        r += n;
    }
    char extra;
    if (read(fd, &extra, 1) != 0) {
        destroy_bitmap(bmp);
        return NULL;
    }
    return bmp;
}

/* Decode the source file into a 32-bit image, or NULL. */
static BITMAP *load_source(const char *path)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return NULL;
    fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);  /* fewer round trips; best effort */
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return NULL;
    }
    if (pid == 0) {
        close(fds[0]);
        run_decoder(path, fds[1]);
    }
    close(fds[1]);
    BITMAP *bmp = receive_pixels(fds[0]);
    close(fds[0]);  /* a child still writing now gets EPIPE and stops */

    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    decoder_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    bool decoded = WIFEXITED(status) && WEXITSTATUS(status) == DECODED;
    if (bmp && !decoded) {
        destroy_bitmap(bmp);
        bmp = NULL;
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
    prefer_huge_pages(new_one);
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
