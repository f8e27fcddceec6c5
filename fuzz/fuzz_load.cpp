// libFuzzer target for the program's load path.
//
// For each input: pick the format (FUZZ_FORMAT=bmp|pcx|tga|lbm|png|jpg, or
// else the first input byte, modulo 6 in that order, which is then not part
// of the file), run the header checks in this process on a copy of the bytes
// so that the fuzzer sees their coverage, write the bytes to a temporary
// file with the format's extension and load it through load_source(), which
// decodes in the sandboxed child.  The fuzzer's finding is a fault of THIS
// process: a crash, a hang, a leak, or an image that breaks the size rules.
// A decoding child killed by a signal is what the library does with the
// file; those are counted, summarised on standard error at exit and, with
// FUZZ_SAVE_DIR set, saved there as <signal>-<hash>.<ext>.
#define main imgresize_main
#include "../test.cpp"
#undef main

#include <map>
#include <pthread.h>

namespace fuzz {

struct FormatName {
    const char *ext;
    Format format;
};
const FormatName formats[] = {
    {"bmp", FMT_BMP}, {"pcx", FMT_PCX}, {"tga", FMT_TGA},
    {"lbm", FMT_LBM}, {"png", FMT_PNG}, {"jpg", FMT_JPEG},
};

int fixed_format = -1;          // index into formats, -1 for "first byte"
std::string work_dir;           // holds the temporary source files
const char *save_dir;           // FUZZ_SAVE_DIR, or NULL

struct Counts {
    unsigned long inputs = 0, header_refused = 0, loaded = 0, not_loaded = 0;
    std::map<int, unsigned long> by_signal;
} counts;

// Run the header checks on a copy of the input, as the child does on the
// file's bytes.
bool run_checks(Format format, const uint8_t *data, size_t size, Declared &declared)
{
    std::vector<uint8_t> copy(data, data + size);
    Bytes b;
    b.adopt(copy);
    return check_source(format, b, declared);
}

// A sanitizer that finds a fault in the decoding child reports it to the
// child's null device and then calls this instead of the fuzzer's crash
// handler: a breakpoint trap, a signal that neither the library's faults nor
// the child's filter give, so that the parent can tell these deaths apart.
void child_sanitizer_death()
{
    __builtin_debugtrap();
    quit_decoder(REFUSED);
}

extern "C" void __sanitizer_set_death_callback(void (*)(void)) __attribute__((weak));

// The child starts with the default action for every signal that the
// fuzzer or a sanitizer catches, so that a fault in the decoder ends it by
// that signal, as it would the program's decoder, instead of running a crash
// handler (which, writing reports and files, the child's filter forbids).
void child_defaults()
{
    if (__sanitizer_set_death_callback)
        __sanitizer_set_death_callback(child_sanitizer_death);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGXCPU,
                  SIGXFSZ, SIGALRM, SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        signal(s, SIG_DFL);
}

const char *signal_name(int s)
{
    const char *n = sigabbrev_np(s);
    static char buf[16];
    if (n)
        snprintf(buf, sizeof buf, "SIG%s", n);
    else
        snprintf(buf, sizeof buf, "SIG%d", s);
    return buf;
}

// What a decoding child's death by each signal usually means.
const char *meaning(int s)
{
    switch (s) {
    case SIGSEGV: return "bad memory access in the decoder";
    case SIGBUS: return "bad memory access in the decoder";
    case SIGFPE: return "arithmetic fault (division by zero) in the decoder";
    case SIGILL: return "illegal instruction in the decoder";
    case SIGSYS: return "a system call outside the filter (the C library's abort on "
                        "heap corruption, or a report)";
    case SIGXCPU: return "the CPU-time limit: a decoder that does not finish";
    case SIGKILL: return "the CPU-time limit (its soft and hard values are equal), "
                         "or killed from outside";
    case SIGPIPE: return "the parent stopped reading";
    case SIGTRAP: return "a SANITIZER REPORT in the child: look at the program's code";
    default: return "";
    }
}

void summary()
{
    fprintf(stderr,
            "fuzz_load: %lu inputs: %lu refused by the header checks in-process, "
            "%lu loaded, %lu not loaded\n",
            counts.inputs, counts.header_refused, counts.loaded, counts.not_loaded);
    if (counts.by_signal.empty())
        fprintf(stderr, "fuzz_load: no decoder was killed by a signal\n");
    for (const auto &[sig, n] : counts.by_signal)
        fprintf(stderr, "fuzz_load: decoder killed by %s: %lu (%s)\n", signal_name(sig), n,
                meaning(sig));
    if (!work_dir.empty()) {
        for (const FormatName &f : formats)
            unlink((work_dir + "/in." + f.ext).c_str());
        rmdir(work_dir.c_str());
    }
}

uint64_t fnv1a(const uint8_t *p, size_t n)
{
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

bool write_whole(const std::string &path, const uint8_t *p, size_t n)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    while (n > 0 && ok) {
        ssize_t k = write(fd, p, n);
        ok = k > 0;
        if (ok) {
            p += k;
            n -= (size_t)k;
        }
    }
    return close(fd) == 0 && ok;
}

void save_death(int sig, const char *ext, const uint8_t *p, size_t n)
{
    if (!save_dir)
        return;
    char name[64];
    snprintf(name, sizeof name, "/%s-%016llx.%s", signal_name(sig),
             (unsigned long long)fnv1a(p, n), ext);
    write_whole(save_dir + std::string(name), p, n);
}

}  // namespace fuzz

// Sanitizer reports must not start the symbolizer (a new process) or look at
// the terminal, which the decoding child may not do: the child would die of
// the system-call filter before its report is done.  ASAN_OPTIONS=symbolize=1
// (or UBSAN_OPTIONS) on the command line brings names back when replaying a
// crash of this process.
extern "C" const char *__asan_default_options() { return "symbolize=0:color=never"; }
extern "C" const char *__ubsan_default_options() { return "symbolize=0:color=never"; }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    using namespace fuzz;
    if (const char *f = getenv("FUZZ_FORMAT")) {
        for (size_t i = 0; i < sizeof formats / sizeof formats[0]; i++)
            if (strcasecmp(f, formats[i].ext) == 0 || (strcasecmp(f, "jpeg") == 0 && i == 5))
                fixed_format = (int)i;
        if (fixed_format < 0) {
            fprintf(stderr, "fuzz_load: FUZZ_FORMAT must be bmp, pcx, tga, lbm, png or jpg\n");
            exit(2);
        }
    }
    save_dir = getenv("FUZZ_SAVE_DIR");
    if (save_dir && *save_dir)
        mkdir(save_dir, 0755);
    else
        save_dir = NULL;
    char tmpl[] = "/tmp/fuzz_load-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("fuzz_load: mkdtemp");
        exit(2);
    }
    work_dir = tmpl;
    pthread_atfork(NULL, NULL, child_defaults);
    if (!start_library()) {
        fprintf(stderr, "fuzz_load: the image library did not start\n");
        exit(2);
    }
    atexit(summary);  // after the library's own handler, so it runs first
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace fuzz;
    int which = fixed_format;
    if (which < 0) {
        if (size == 0)
            return 0;
        which = data[0] % 6;
        data++;
        size--;
    }
    const FormatName &f = formats[which];
    counts.inputs++;

    // The header checks, in this process.
    Declared declared = {0, 0};
    bool accepted = run_checks(f.format, data, size, declared);
    long long rows = declared.h < 0 ? -declared.h : declared.h;
    if (!accepted)
        counts.header_refused++;
    else if (!fits_library(declared.w, rows))
        abort();  // the checks let through a size the library cannot hold

    // The whole load path, with the decoder in its child.
    std::string path = work_dir + "/in." + f.ext;
    if (!write_whole(path, data, size)) {
        fprintf(stderr, "fuzz_load: cannot write %s\n", path.c_str());
        abort();
    }
    decoder_signal = 0;
    BITMAP *bmp = load_source(path.c_str());
    if (bmp) {
        if (bmp->w <= 0 || bmp->h <= 0 || (long long)bmp->w * bmp->h * 4 > INT_MAX ||
            bitmap_color_depth(bmp) != 32)
            abort();
        // The child runs the same checks on the same bytes.
        if (!accepted || bmp->w != declared.w || bmp->h != rows)
            abort();
        counts.loaded++;
        destroy_bitmap(bmp);
    } else {
        counts.not_loaded++;
    }
    if (decoder_signal != 0) {
        counts.by_signal[decoder_signal]++;
        save_death(decoder_signal, f.ext, data, size);
    }
    return 0;
}
