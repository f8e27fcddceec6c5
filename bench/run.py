#!/usr/bin/python3
"""Side-by-side benchmark of imgresize against the image library's own floor
and three other resizers, all doing the same nearest-neighbour jobs.

    /usr/bin/python3 bench/run.py              # 5 runs per program per job
    /usr/bin/python3 bench/run.py -n 9         # more runs
    /usr/bin/python3 bench/run.py --only half identity
    /usr/bin/python3 bench/run.py --markdown   # tables for the README

Programs, run round-robin (one run of each in turn, N rounds):
  imgresize   the tool, built Release in build-bench/ (or --tool PATH)
  floor       bench/floor.cpp: library start-up, load_bitmap, create_bitmap,
              clear_bitmap, save_bmp and nothing else, i.e. the least the
              library itself costs for the job
  im          ImageMagick 6   convert IN -sample WxH! BMP3:OUT
  gm          GraphicsMagick  gm convert IN -sample WxH! OUT.bmp
  vips        libvips         vips resize IN OUT.bmp[format=bmp3] SX
                                  --vscale SY --kernel nearest

Every run is checked: exit status 0 and an output BMP of the asked size.
Wall time is measured around the run; peak memory is GNU time's %M, which
the kernel fills from wait4(): the largest resident set of the process and
of every descendant it waited for (the largest single one, not a sum).  The
script checks that claim at start-up with a forking probe.

Inputs are generated on first use and cached in the work directory
(bench/cache/ by default, git-ignored).  Needs: imagemagick graphicsmagick
libvips-tools time python3-pil g++ pkg-config and the library's -dev
packages (see the README).
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MiB = 1 << 20

IM = "/usr/bin/convert"   # not whatever "convert" is first on PATH
GM = "/usr/bin/gm"
VIPS = "/usr/bin/vips"
GNU_TIME = "/usr/bin/time"

# (id, label, source file, source w, h, target W, H)
JOBS = [
    ("up256", "256x256 BMP -> 512x512", "s256.bmp", 256, 256, 512, 512),
    ("half", "4000x3000 BMP -> 2000x1500", "s4000.bmp", 4000, 3000, 2000, 1500),
    ("half-png", "4000x3000 PNG -> 2000x1500", "s4000.png", 4000, 3000, 2000, 1500),
    ("double", "4000x3000 BMP -> 8000x6000", "s4000.bmp", 4000, 3000, 8000, 6000),
    ("identity", "4000x3000 BMP -> 4000x3000", "s4000.bmp", 4000, 3000, 4000, 3000),
    ("row", "4000x3000 BMP -> 4000x1", "s4000.bmp", 4000, 3000, 4000, 1),
    ("column", "4000x3000 BMP -> 1x3000", "s4000.bmp", 4000, 3000, 1, 3000),
    ("big", "12000x9000 BMP -> 3000x2250", "s12000.bmp", 12000, 9000, 3000, 2250),
]

PROGRAMS = ["imgresize", "floor", "im", "gm", "vips"]


def die(msg):
    print("bench: " + msg, file=sys.stderr)
    sys.exit(1)


def run_quiet(argv, **kw):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
    if r.returncode != 0:
        die("failed: %s\n%s" % (" ".join(argv), r.stdout.decode(errors="replace")[-2000:]))
    return r.stdout.decode(errors="replace")


# ---------------------------------------------------------------- inputs

def bmp_header(path):
    """(info header size, width, height, bits per pixel) of a BMP file."""
    with open(path, "rb") as f:
        h = f.read(30)
    if len(h) < 30 or h[:2] != b"BM":
        return None
    size, w, hgt = struct.unpack_from("<Iii", h, 14)
    bpp = struct.unpack_from("<H", h, 28)[0]
    return size, w, abs(hgt), bpp


def make_inputs(work):
    """Photo-like 24-bit BMPs with a 40-byte header: a fractal plasma
    (smooth colour regions), softened, enlarged, with Gaussian grain; and a
    PNG of the 4000x3000 one.  The 12000x9000 one is the 4000x3000 one
    enlarged bilinearly with fresh per-channel grain, made with Pillow
    because ImageMagick's default Debian policy makes that size very slow."""
    def build(name, make):
        path = os.path.join(work, name)
        if os.path.exists(path):
            return path
        print("bench: making %s ..." % name, flush=True)
        tmp = os.path.join(work, ".tmp-" + name)
        make(tmp)
        os.replace(tmp, path)
        return path

    build("s256.bmp", lambda out: run_quiet(
        [IM, "-seed", "3", "-size", "256x256", "plasma:fractal", "-blur", "0x1",
         "-seed", "3", "-attenuate", "0.4", "+noise", "Gaussian", "BMP3:" + out]))
    s4000 = build("s4000.bmp", lambda out: run_quiet(
        [IM, "-seed", "7", "-size", "500x375", "plasma:fractal", "-blur", "0x1",
         "-resize", "4000x3000!", "-seed", "7", "-attenuate", "0.4",
         "+noise", "Gaussian", "BMP3:" + out]))
    build("s4000.png", lambda out: run_quiet([IM, s4000, "PNG24:" + out]))
    build("s12000.bmp", lambda out: run_quiet([sys.executable, "-c", r"""
import sys
from PIL import Image, ImageChops
src = Image.open(sys.argv[1]).convert("RGB")
big = src.resize((12000, 9000), Image.BILINEAR)
del src
grain = Image.merge("RGB", [Image.effect_noise(big.size, 10) for _ in range(3)])
ImageChops.add(big, grain, 1.0, -128).save(sys.argv[2], "BMP")
""", s4000, out]))

    for job in JOBS:
        path = os.path.join(work, job[2])
        if path.endswith(".bmp"):
            hdr = bmp_header(path)
            if hdr != (40, job[3], job[4], 24):
                die("%s is not a %dx%d 24-bit BMP with a 40-byte header: %r"
                    % (path, job[3], job[4], hdr))


# ---------------------------------------------------------------- programs

def build_tool():
    build = os.path.join(ROOT, "build-bench")
    run_quiet(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
               "-DIMGRESIZE_TESTS=OFF"])
    run_quiet(["cmake", "--build", build])
    return os.path.join(build, "imgresize")


def build_floor(work):
    src = os.path.join(HERE, "floor.cpp")
    exe = os.path.join(work, "floor")
    if os.path.exists(exe) and os.path.getmtime(exe) >= os.path.getmtime(src):
        return exe
    flags = run_quiet(["pkg-config", "--cflags", "--libs", "allegro", "loadpng",
                       "jpgalleg"]).split()
    run_quiet(["g++", "-std=c++17", "-O3", "-DNDEBUG", "-Wall", "-Wextra",
               "-o", exe, src] + flags)
    return exe


def command(prog, job, src, outdir, tools, floor):
    """(argv, stdin bytes, cwd, output path) for one run of prog on job."""
    _, _, name, w, h, W, H = job
    if prog in tools:
        tool = tools[prog]
        # The tool writes "new_" + its argument: run it beside a link to
        # the source so the result lands in outdir.
        link = os.path.join(outdir, name)
        if not os.path.islink(link):
            os.symlink(src, link)
        return ([tool, name], b"%d\n%d\n" % (W, H), outdir,
                os.path.join(outdir, "new_" + name))
    out = os.path.join(outdir, "out.bmp")
    if prog == "floor":
        return [floor, src, str(W), str(H), out], None, outdir, out
    if prog == "im":
        return [IM, src, "-sample", "%dx%d!" % (W, H), "BMP3:" + out], None, outdir, out
    if prog == "gm":
        return [GM, "convert", src, "-sample", "%dx%d!" % (W, H), out], None, outdir, out
    if prog == "vips":
        return ([VIPS, "resize", src, out + "[format=bmp3]", repr(W / w),
                 "--vscale", repr(H / h), "--kernel", "nearest"], None, outdir, out)
    raise ValueError(prog)


def timed_run(argv, stdin, cwd, out, W, H):
    """Run once; return (wall seconds, peak RSS KiB) or an error string."""
    if os.path.exists(out):
        os.unlink(out)
    fd, tfile = tempfile.mkstemp(prefix="time-", dir=cwd)
    os.close(fd)
    try:
        t0 = time.perf_counter()
        r = subprocess.run([GNU_TIME, "-f", "%M", "-o", tfile] + argv, input=stdin,
                           cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - t0
        with open(tfile) as f:
            lines = f.read().split()
    finally:
        os.unlink(tfile)
    if r.returncode != 0:
        return "exit %d: %s" % (r.returncode, r.stderr.decode(errors="replace").strip()[-300:])
    hdr = bmp_header(out) if os.path.exists(out) else None
    if not hdr or hdr[1:3] != (W, H):
        return "wrong output: %r" % (hdr,)
    return wall, int(lines[-1])


# ---------------------------------------------------------------- checks

RSS_PROBE = r"""
import os, sys
def hold(mib):
    b = bytearray(mib << 20)
    for i in range(0, len(b), 4096): b[i] = 1
    return b
pid = os.fork()
if pid == 0:
    hold(int(sys.argv[1])); os._exit(0)
os.waitpid(pid, 0)
hold(int(sys.argv[2]))
"""


def check_rss_meaning():
    """A parent that touches 64 MiB waits for a child that touched 256 MiB:
    %M must come out near 256 MiB (largest process), not 320 (a sum) nor 64
    (the parent alone)."""
    out = subprocess.run([GNU_TIME, "-f", "%M", sys.executable, "-c", RSS_PROBE,
                          "256", "64"], stderr=subprocess.PIPE, check=True)
    kib = int(out.stderr.decode().split()[-1])
    ok = 256 * 1024 <= kib < 300 * 1024
    print("rss check: child 256 MiB, parent 64 MiB -> %%M = %.0f MiB (%s)"
          % (kib / 1024, "largest single process, as expected" if ok else "UNEXPECTED"))
    return ok


def versions(tool, built):
    def first(argv):
        try:
            return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
                                  ).stdout.decode().splitlines()[0].strip()
        except (OSError, IndexError):
            return "?"
    allegro = first(["pkg-config", "--modversion", "allegro"])
    rev = first(["git", "-C", ROOT, "log", "-1", "--format=%h %s", "--", "test.cpp"])
    dirty = subprocess.run(["git", "-C", ROOT, "diff", "--quiet", "HEAD", "--", "test.cpp"]
                           ).returncode != 0
    if built:
        what = "%s, built from test.cpp at %s%s" % (tool, rev,
                                                    " (+ uncommitted edits)" if dirty else "")
    else:
        what = "%s (given with --tool)" % tool
    return ["imgresize: " + what,
            "allegro %s (floor: bench/floor.cpp)" % allegro,
            first([IM, "-version"]).replace("Version: ", ""),
            first([GM, "version"]),
            first([VIPS, "--version"]),
            "%d cores, %s" % (os.cpu_count(), first(["uname", "-sr"]))]


# ---------------------------------------------------------------- report

def fmt_s(s):
    return "%.3f" % s if s < 10 else "%.2f" % s


def mib(kib):
    return kib / 1024.0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", "--runs", type=int, default=5, help="runs per program per job (5)")
    ap.add_argument("--work", default=os.path.join(HERE, "cache"),
                    help="cache and scratch directory (bench/cache)")
    ap.add_argument("--tool", help="imgresize binary to use instead of building build-bench/")
    ap.add_argument("--also", action="append", default=[], metavar="NAME=PATH",
                    help="another imgresize build to run alongside, e.g. a candidate change")
    ap.add_argument("--only", nargs="+", metavar="JOB", choices=[j[0] for j in JOBS],
                    help="jobs to run: " + " ".join(j[0] for j in JOBS))
    ap.add_argument("--programs", nargs="+", choices=PROGRAMS, default=PROGRAMS,
                    help="programs to run (imgresize and floor are needed for ratios)")
    ap.add_argument("--markdown", action="store_true", help="print Markdown tables")
    args = ap.parse_args()
    if args.runs < 1:
        die("--runs must be at least 1")

    for exe in (GNU_TIME, IM, GM, VIPS):
        if not os.access(exe, os.X_OK):
            die("%s is missing: apt-get install imagemagick graphicsmagick "
                "libvips-tools time" % exe)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    tool = os.path.abspath(args.tool) if args.tool else build_tool()
    tools = {"imgresize": tool}
    programs = list(args.programs)
    for entry in args.also:
        label, sep, path = entry.partition("=")
        if not sep or not label or label in PROGRAMS or label in tools:
            die("--also wants NAME=PATH with a new NAME: %r" % entry)
        tools[label] = os.path.abspath(path)
        programs.append(label)
    floor = build_floor(work)
    make_inputs(work)

    started = time.time()
    print("\n".join(versions(tool, not args.tool)))
    for label in list(tools)[1:]:
        print("%s: %s" % (label, tools[label]))
    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    check_rss_meaning()
    print("runs per program per job: %d, round-robin\n" % args.runs)

    jobs = [j for j in JOBS if not args.only or j[0] in args.only]
    results = []
    for job in jobs:
        jid, label, name, w, h, W, H = job
        src = os.path.join(work, name)
        with open(src, "rb") as f:          # page cache warm for everyone
            while f.read(1 << 24):
                pass
        dirs = {}
        for p in programs:
            d = os.path.join(work, "run", p)
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
            dirs[p] = d
        samples = {p: [] for p in programs}
        failed = {}
        for r in range(args.runs):
            k = r % len(programs)           # rotate who goes first each round
            for p in programs[k:] + programs[:k]:
                if p in failed:
                    continue
                argv, stdin, cwd, out = command(p, job, src, dirs[p], tools, floor)
                res = timed_run(argv, stdin, cwd, out, W, H)
                if isinstance(res, str):
                    failed[p] = res
                else:
                    samples[p].append(res)
        shutil.rmtree(os.path.join(work, "run"), ignore_errors=True)
        results.append((job, samples, failed))
        report_job(job, samples, failed, args.markdown)
        sys.stdout.flush()

    if args.markdown:
        report_budget_markdown(results)
    print("\nload average at end: %.2f %.2f %.2f" % os.getloadavg())
    print("total benchmark time: %.0f s" % (time.time() - started))


def stats(samples):
    walls = [s[0] for s in samples]
    rss = [s[1] for s in samples]
    return (statistics.median(walls), min(walls), max(walls),
            statistics.median(rss), max(rss))


def budget_kib(job):
    _, _, _, w, h, W, H = job
    return (8 * w * h + 4 * W * H + 32 * MiB) / 1024.0


def report_job(job, samples, failed, markdown):
    jid, label, name, w, h, W, H = job
    st = {p: stats(s) for p, s in samples.items() if s}
    base = st.get("imgresize")
    flo = st.get("floor")

    def ratio(a, b):
        return "%.2f" % (a / b) if b else "-"

    rows = []
    for p in samples:
        if p in failed:
            rows.append((p, "failed: " + failed[p], "", "", "", "", ""))
            continue
        m, lo, hi, r, _ = st[p]
        rows.append((p, "%s (%s-%s)" % (fmt_s(m), fmt_s(lo), fmt_s(hi)),
                     ratio(m, base[0]) if base else "-", ratio(m, flo[0]) if flo else "-",
                     "%.1f" % mib(r),
                     ratio(r, base[3]) if base else "-", ratio(r, flo[3]) if flo else "-"))
    budget = budget_kib(job)
    if base:
        verdict = "tool peak %.1f MiB (max of runs): %s" % (
            mib(base[4]), "within" if base[4] <= budget else "OVER")
    else:
        verdict = "tool did not run"
    head = ("program", "wall s median (min-max)", "x tool", "x floor",
            "peak RSS MiB median", "x tool", "x floor")
    if markdown:
        print("\n**%s** (`%s`): memory budget %.1f MiB; %s\n"
              % (label, jid, mib(budget), verdict))
        print("| " + " | ".join(head) + " |")
        print("|---|---|--:|--:|--:|--:|--:|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        print("== %s  [%s]  budget %.1f MiB; %s" % (label, jid, mib(budget), verdict))
        widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
        for row in [head] + rows:
            print("  " + "  ".join(str(c).ljust(widths[i]) if i < 2 else str(c).rjust(widths[i])
                                   for i, c in enumerate(row)))
        print()


def report_budget_markdown(results):
    print("\n| job | budget MiB (8 B/source px + 4 B/target px + 32 MiB) "
          "| tool peak RSS MiB, max of runs | within |")
    print("|---|--:|--:|---|")
    for job, samples, failed in results:
        b = budget_kib(job)
        s = samples.get("imgresize")
        if s and "imgresize" not in failed:
            peak = max(x[1] for x in s)
            print("| %s | %.1f | %.1f | %s |" % (job[1], mib(b), mib(peak),
                                                 "yes" if peak <= b else "**no**"))
        else:
            print("| %s | %.1f | - | - |" % (job[1], mib(b)))


if __name__ == "__main__":
    main()
