#!/usr/bin/python3
"""Where imgresize spends its CPU time on one benchmark job.

    /usr/bin/python3 bench/profile.py                 # jobs half and identity
    /usr/bin/python3 bench/profile.py --only double -r 5

It builds the tool as the benchmark does (Release) but with debug info, in
bench/cache/build-prof, runs it R times under `perf record -e cpu-clock`
with DWARF call stacks (the decoding child process included; a software
clock, since this machine's virtual CPU exposes no hardware counters), and
sorts every sample by the outermost step of the program it belongs to:
the library's own work (decoding, create/clear, save_bmp, the per-pixel
getpixel/putpixel calls), the program's own code (reading the file,
checking it, sandbox set-up, the pixel pipe, the scaling loop) and process
start and end.  Kernel time (page faults, copies, system calls) counts for
the step that caused it.  Needs linux-perf; run bench/run.py once first so
that the inputs exist.
"""
import argparse
import collections
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import run as bench  # noqa: E402  (the job list and the inputs)

# (bucket, frame names); the first bucket with a frame anywhere in a
# sample's stack takes the sample.  Order matters: library calls first, so
# that e.g. create_bitmap inside the pipe reader counts as the library's.
BUCKETS = [
    ("library: decode (load_*_pf, incl. the tool's byte reader callbacks)",
     {"load_bmp_pf", "load_png_pf", "load_pcx_pf", "load_tga_pf", "load_bitmap",
      "load_bmp", "load_png", "load_memory_jpg", "load_lbm", "load_jpg"}),
    ("library: save_bmp", {"save_bmp", "save_bmp_pf", "save_bitmap"}),
    ("library: create_bitmap", {"create_bitmap", "create_bitmap_ex"}),
    ("library: clear", {"clear_bitmap", "clear_to_color", "_linear_clear_to_color32",
                        "_linear_clear_to_color24"}),
    ("library: getpixel/putpixel, called per pixel by the loop",
     {"_linear_getpixel32", "_linear_putpixel32", "getpixel", "putpixel",
      "_linear_getpixel24", "_linear_putpixel24"}),
    ("library: start-up and shut-down", {"install_allegro", "_install_allegro_version_check",
                                         "allegro_exit", "_install_allegro"}),
    ("tool: scaling loop (its own code)", {"scale_image"}),
    ("tool: read the source file", {"read_source"}),
    ("tool: check / rewrite the header", {"check_source", "normalise_bmp", "check_bmp",
                                          "pad_bmp", "bit_fields_to_24"}),
    ("tool: decoder sandbox set-up", {"limit_resources", "restrict_filesystem",
                                      "filter_system_calls"}),
    ("tool: convert rows and write the pipe (child)", {"send_pixels", "convert_row",
                                                       "write_all"}),
    ("tool: read the pipe into the source image", {"receive_pixels", "read_all"}),
    ("process: fork", {"fork", "_Fork", "__libc_fork"}),
    ("process: start (loader, relocation)", {"_dl_start", "_dl_start_user", "_dl_init",
                                             "dl_main", "_dl_relocate_object"}),
    ("process: exit (unmapping memory)", {"exit", "__run_exit_handlers", "_exit",
                                          "quit_decoder", "do_exit", "do_group_exit",
                                          "exit_mmap", "destroy_bitmap"}),
]


def build(work):
    d = os.path.join(work, "build-prof")
    bench.run_quiet(["cmake", "-S", ROOT, "-B", d, "-DCMAKE_BUILD_TYPE=Release",
                     "-DCMAKE_CXX_FLAGS=-g", "-DIMGRESIZE_TESTS=OFF"])
    bench.run_quiet(["cmake", "--build", d, "--target", "imgresize"])
    return os.path.join(d, "imgresize")


def samples(data):
    """Yield (pid, [frame names, leaf first]) for each sample in data."""
    out = subprocess.run(["perf", "script", "-i", data, "-F", "pid,ip,sym"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    pid, frames = None, []
    for line in out.stdout.decode(errors="replace").splitlines():
        if not line.strip():
            if pid is not None:
                yield pid, frames
            pid, frames = None, []
        elif not line.startswith("\t"):
            pid = int(line.split()[0])
        else:
            parts = line.split(None, 1)
            name = parts[1] if len(parts) > 1 else "?"
            frames.append(name.replace(" (inlined)", "").split("+")[0].strip())
    if pid is not None:
        yield pid, frames


def classify(frames):
    names = set(frames)
    for bucket, marks in BUCKETS:
        if names & marks:
            return bucket
    user = [f for f in frames if f and not f.startswith(("[", "0x"))]
    return "other (%s)" % (user[0] if user else "?")


def leaf(frames):
    """What a sample was doing at the moment it was taken."""
    names = set(frames)
    if names & {"asm_exc_page_fault", "exc_page_fault"}:
        return "kernel: page faults (first touch of memory)"
    if any(f.startswith("entry_SYSCALL") for f in frames):
        return "kernel: system calls"
    return frames[0] if frames else "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", nargs="+", default=["half", "identity"],
                    choices=[j[0] for j in bench.JOBS])
    ap.add_argument("-r", "--repeat", type=int, default=3, help="runs per job (3)")
    ap.add_argument("-F", "--freq", type=int, default=1999, help="samples per second")
    ap.add_argument("--work", default=os.path.join(HERE, "cache"))
    args = ap.parse_args()

    work = os.path.abspath(args.work)
    tool = build(work)
    pdir = os.path.join(work, "prof")
    os.makedirs(pdir, exist_ok=True)
    for job in bench.JOBS:
        if job[0] not in args.only:
            continue
        jid, label, name, w, h, W, H = job
        src = os.path.join(work, name)
        if not os.path.exists(src):
            bench.die("%s is missing: run bench/run.py first" % src)
        link = os.path.join(pdir, name)
        if not os.path.islink(link):
            os.symlink(src, link)
        counts = collections.Counter()
        detail = collections.defaultdict(collections.Counter)
        per_pid = collections.Counter()
        for r in range(args.repeat):
            data = os.path.join(pdir, "perf-%s-%d.data" % (jid, r))
            subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", str(args.freq),
                            "--call-graph", "dwarf,32768", "-o", data, tool, name],
                           input=b"%d\n%d\n" % (W, H), cwd=pdir, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            pids = []
            for pid, frames in samples(data):
                if pid not in pids:
                    pids.append(pid)
                bucket = classify(frames)
                counts[bucket] += 1
                detail[bucket][leaf(frames)] += 1
                per_pid["decoding child" if "run_decoder" in frames else "main process"] += 1
            os.unlink(data)
        total = sum(counts.values())
        ms = 1000.0 / args.freq / args.repeat
        print("== %s [%s]: %d samples in %d runs, %.0f ms CPU per run"
              % (label, jid, total, args.repeat, total * ms))
        for k, n in sorted(per_pid.items(), key=lambda kv: -kv[1]):
            print("   %-66s %7.0f ms %5.1f%%" % (k, n * ms, 100.0 * n / total))
        lib = sum(n for k, n in counts.items() if k.startswith("library"))
        own = sum(n for k, n in counts.items() if k.startswith("tool"))
        print("   %-66s %7.0f ms %5.1f%%" % ("all library steps", lib * ms, 100.0 * lib / total))
        print("   %-66s %7.0f ms %5.1f%%" % ("all of the tool's own code", own * ms,
                                              100.0 * own / total))
        print("   --")
        small = 0
        for k, n in counts.most_common():
            if k.startswith("other") and n < total / 200:
                small += n
                continue
            print("   %-66s %7.0f ms %5.1f%%" % (k, n * ms, 100.0 * n / total))
            if n >= total / 20:
                for sub, m in detail[k].most_common(5):
                    if m >= total / 200:
                        print("       %-62s %7.0f ms %5.1f%%"
                              % (sub[:62], m * ms, 100.0 * m / total))
        print("   %-66s %7.0f ms %5.1f%%" % ("other, each under 0.5%", small * ms,
                                              100.0 * small / total))
        print()
        sys.stdout.flush()


if __name__ == "__main__":
    main()
