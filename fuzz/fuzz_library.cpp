// libFuzzer target for the image library's own decoders, called in this
// process with no checks and no sandbox, to learn what they do with
// malformed files: which inputs crash them, hang them or make them take
// huge amounts of memory.  Its findings are the library's, not the
// program's; run it with -fork=1 -ignore_crashes=1 (see README.md) to
// collect them.
//
// The format comes from FUZZ_FORMAT=bmp|pcx|tga|lbm|png|jpg or else from the
// first input byte, modulo 6 in that order, which is then not part of the
// file.  The bytes are read through a memory PACKFILE that behaves like a
// plain file (end of file at the end, short reads), except for JPEG, which
// the add-on decodes from memory, and LBM, whose decoder reads only by name.
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <csignal>

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

namespace {

const char *const extensions[] = {"bmp", "pcx", "tga", "lbm", "png", "jpg"};
int fixed_format = -1;
std::string lbm_path;

struct Memory {
    const uint8_t *data;
    size_t size, pos;
};

// Counters the fuzzer reads after each run, as features of that run.
const size_t REGIONS = 512;  // 16-byte regions of the file
enum Event { READ, READ_PAST_END, SEEK, SEEK_PAST_END, UNGET, JPEG_PROGRESS, EVENTS };
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t reached[EVENTS][REGIONS];

void note(Event e, size_t pos)
{
    uint8_t &c = reached[e][pos / 16 < REGIONS ? pos / 16 : REGIONS - 1];
    if (c < 255)
        c++;
}

int m_getc(void *f)
{
    Memory *m = (Memory *)f;
    if (m->pos >= m->size) {
        note(READ_PAST_END, m->pos);
        return EOF;
    }
    note(READ, m->pos);
    return m->data[m->pos++];
}

int m_ungetc(int c, void *f)
{
    Memory *m = (Memory *)f;
    note(UNGET, m->pos);
    if (m->pos > 0)
        m->pos--;
    return c;
}

long m_fread(void *p, long n, void *f)
{
    Memory *m = (Memory *)f;
    if (n <= 0)
        return 0;
    size_t k = m->size - m->pos < (size_t)n ? m->size - m->pos : (size_t)n;
    note(k < (size_t)n ? READ_PAST_END : READ, m->pos + k);
    memcpy(p, m->data + m->pos, k);
    m->pos += k;
    return (long)k;
}

int m_fseek(void *f, int offset)
{
    Memory *m = (Memory *)f;
    if (offset < 0)
        return -1;
    if ((size_t)offset > m->size - m->pos) {
        note(SEEK_PAST_END, m->pos);
        m->pos = m->size;
        return -1;
    }
    m->pos += (size_t)offset;
    note(SEEK, m->pos);
    return 0;
}

int m_feof(void *f) { return ((Memory *)f)->pos >= ((Memory *)f)->size; }
int m_ferror(void *) { return 0; }
int m_fclose(void *) { return 0; }
int m_putc(int, void *) { return EOF; }
long m_fwrite(const void *, long, void *) { return 0; }

void jpeg_progress(int percent) { note(JPEG_PROGRESS, (size_t)(percent & 511) * 16); }

const PACKFILE_VTABLE vtable = {
    m_fclose, m_getc, m_ungetc, m_fread, m_putc, m_fwrite, m_fseek, m_feof, m_ferror,
};

// A decoder that corrupts the heap and then faults sends the fuzzer's own
// crash handler, which allocates, into a deadlock on the heap's lock, and the
// run stops there.  So a fault is handled here first, with no allocation:
// the input is saved as <artifact prefix>crash-<signal>-<hash>.<ext> (or
// where -exact_artifact_path says), and the process dies of the signal.
char artifact_prefix[2048] = "./";
char exact_path[2048];
const uint8_t *current;
size_t current_size;
const char *current_ext = "bin";

void append(char *&p, const char *end, const char *s)
{
    while (*s && p < end)
        *p++ = *s++;
}

void on_fault(int sig)
{
    const char *name = sig == SIGSEGV ? "segv" : sig == SIGBUS ? "bus" : sig == SIGFPE ? "fpe"
                     : sig == SIGILL ? "ill" : sig == SIGABRT ? "abrt" : "signal";
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < current_size; i++)
        h = (h ^ current[i]) * 1099511628211ULL;
    char hex[17];
    for (int i = 0; i < 16; i++)
        hex[i] = "0123456789abcdef"[h >> (60 - 4 * i) & 15];
    hex[16] = 0;
    char path[2200], *p = path, *end = path + sizeof path - 1;
    append(p, end, artifact_prefix);
    append(p, end, "crash-");
    append(p, end, name);
    append(p, end, "-");
    append(p, end, hex);
    append(p, end, ".");
    append(p, end, current_ext);
    *p = 0;
    int fd = open(exact_path[0] ? exact_path : path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        for (size_t done = 0; done < current_size;) {
            ssize_t k = write(fd, current + done, current_size - done);
            if (k <= 0)
                break;
            done += (size_t)k;
        }
        close(fd);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// After the fuzzer has set its handlers, which it does after initialising
// this target.
void take_faults()
{
    static char stack[1 << 16];
    stack_t ss = {};
    ss.ss_sp = stack;
    ss.ss_size = sizeof stack;
    sigaltstack(&ss, NULL);
    struct sigaction sa = {};
    sa.sa_handler = on_fault;
    sa.sa_flags = SA_ONSTACK | SA_NODEFER | SA_RESETHAND;
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(s, &sa, NULL);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    for (int i = 1; i < *argc; i++)
        if (strncmp((*argv)[i], "-artifact_prefix=", 17) == 0)
            snprintf(artifact_prefix, sizeof artifact_prefix, "%s", (*argv)[i] + 17);
        else if (strncmp((*argv)[i], "-exact_artifact_path=", 21) == 0)
            snprintf(exact_path, sizeof exact_path, "%s", (*argv)[i] + 21);
    if (const char *f = getenv("FUZZ_FORMAT")) {
        for (int i = 0; i < 6; i++)
            if (strcasecmp(f, extensions[i]) == 0 || (i == 5 && strcasecmp(f, "jpeg") == 0))
                fixed_format = i;
        if (fixed_format < 0) {
            fprintf(stderr, "fuzz_library: FUZZ_FORMAT must be bmp, pcx, tga, lbm, png or jpg\n");
            exit(2);
        }
    }
    lbm_path = "/tmp/fuzz_library-" + std::to_string(getpid()) + ".lbm";
    set_color_depth(32);
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        exit(2);
    set_color_conversion(COLORCONV_NONE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int which = fixed_format;
    if (which < 0) {
        if (size == 0)
            return 0;
        which = data[0] % 6;
        data++;
        size--;
    }
    static bool faults_taken = false;
    if (!faults_taken) {
        take_faults();
        faults_taken = true;
    }
    current = data;
    current_size = size;
    current_ext = extensions[which];

    PALETTE pal;
    BITMAP *bmp = NULL;
    if (which == 5) {
        bmp = load_memory_jpg_ex((void *)data, (int)size, pal, jpeg_progress);
    } else if (which == 3) {
        FILE *f = fopen(lbm_path.c_str(), "wb");
        if (!f)
            abort();
        fwrite(data, 1, size, f);
        fclose(f);
        bmp = load_lbm(lbm_path.c_str(), pal);
        unlink(lbm_path.c_str());
    } else {
        Memory m = {data, size, 0};
        PACKFILE *f = pack_fopen_vtable(&vtable, &m);
        if (!f)
            return 0;
        switch (which) {
        case 0: bmp = load_bmp_pf(f, pal); break;
        case 1: bmp = load_pcx_pf(f, pal); break;
        case 2: bmp = load_tga_pf(f, pal); break;
        case 4: bmp = load_png_pf(f, pal); break;
        }
        pack_fclose(f);
    }
    if (bmp)
        destroy_bitmap(bmp);
    return 0;
}
