#!/usr/bin/env python3
"""orvel's benchmark: orvel against the I/O floor, a yyjson peer, a RapidJSON peer, jq and
Python's json.tool.

Two floors are timed: `floor` rewrites each file with its own bytes, `floor_out` with as many
bytes as orvel's output for it has (pretty text is two to three times the size of minified
text, and the kernel's share grows with it). Ratios are to `floor`.

Run through `make bench`, which builds the optimised tool first. Every timed run works on a fresh
copy of its data (the copy is not timed), each program runs once untimed on each data set
first, programs take turns in a rotating order over several rounds, and the table reports
medians with the fastest and slowest run. Results are printed and
written to bench/RESULTS.md, with a chart of them in bench/results.svg.

jq and json.tool start a process per file, which on small10k took 4 and 13 minutes a round; they
are timed on small500 (the first 500 of those files, which every program is timed on too) and
not on small10k.

Nothing is installed: a missing peer is skipped with a note saying how to install it.

Environment:
  BUILD_DIR          the release build holding orvel and liborvel_lib.a (default build/release)
  ORVEL_BENCH_DIR    where generated data and scratch copies live (default /tmp/orvel-bench)
  BENCH_ROUNDS       rounds per program and data set (default 9)
  BENCH_SLOW_ROUNDS  rounds for jq and python on gen100 and small500 (default 1)
  BENCH_SHORT_ROUNDS rounds for the other programs on the data sets that take milliseconds:
                     twitter, citm_catalog, canada, small500 (default 45)
  BENCH_PROGRAMS     comma-separated subset of programs to time (default all)
  BENCH_DATASETS     comma-separated subset of data sets (default all)
  JOBS               parallel jobs for building the bench tools (default 2)
  ORVEL_PEERS_DIR    the folder of peers built on third-party libraries (default ../shared/peers
                     beside the repository); optional, and the run says whether it was found.
                     Its yyjson peer is built into build/bench-tools, never into that folder
"""

import datetime
import decimal
import hashlib
import html
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
BUILD_DIR = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build/release"))
TOOLS = os.path.join(ROOT, "build", "bench-tools")
DATA = os.environ.get("ORVEL_BENCH_DIR") or "/tmp/orvel-bench"
BENCH_DATA = os.path.join(BENCH, "data")
# Peers built on third-party libraries are kept outside the repository; a folder of them beside
# it adds their rows, and the bench runs without them when it is absent.
PEERS = os.path.normpath(os.environ.get("ORVEL_PEERS_DIR")
                         or os.path.join(ROOT, "..", "shared", "peers"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "9"))
SLOW_ROUNDS = int(os.environ.get("BENCH_SLOW_ROUNDS", "1"))
# A run of a few milliseconds moves by as much again from one round to the next on a shared
# machine, so nine rounds leave its median a coin toss between programs a few percent apart;
# these data sets cost little to run more often.
SHORT_ROUNDS = int(os.environ.get("BENCH_SHORT_ROUNDS", "45"))
JOBS = os.environ.get("JOBS", "2")

FILE_SETS = ["twitter", "citm_catalog", "canada"]
ALL_SETS = FILE_SETS + ["gen100", "small10k", "small500"]
ALL_PROGRAMS = ["floor", "floor_out", "orvel", "yyjson", "rapidjson", "jq", "python"]
SLOW_PROGRAMS = {"jq", "python"}
SLOW_SETS = {"gen100", "small500"}
SHORT_SETS = {"twitter", "citm_catalog", "canada", "small500"}
SUBSET_FILES = 500  # small500: the first files of small10k, by name


def die(message):
    sys.exit(f"bench: {message}")


def log(message):
    print(message, flush=True)


def run_checked(argv, **kwargs):
    result = subprocess.run(argv, **kwargs)
    if result.returncode != 0:
        die(f"command failed ({result.returncode}): {' '.join(argv)}")
    return result


# Setup ------------------------------------------------------------------------------------------

def check_prerequisites():
    """The bench installs nothing. It stops when a build tool is missing, and leaves out a peer
    whose tool or library is missing; either way it says what to install. Returns the programs
    left out, each with the reason."""
    missing = [package for command, package in
               (("cmake", "cmake"), ("ninja", "ninja-build"), ("cc", "gcc"), ("c++", "g++"))
               if shutil.which(command) is None]
    if missing:
        die(f"missing {', '.join(missing)}: install with `sudo apt-get install {' '.join(missing)}`")
    skipped = {}
    if shutil.which("jq") is None:
        skipped["jq"] = "jq is not installed (`sudo apt-get install jq`)"
    if not os.path.exists("/usr/include/rapidjson/document.h"):
        skipped["rapidjson"] = ("RapidJSON's headers are not installed "
                                "(`sudo apt-get install rapidjson-dev`)")
    if not os.path.isfile(os.path.join(PEERS, "yyjson", "build.sh")):
        skipped["yyjson"] = (f"{os.path.join(PEERS, 'yyjson')} not found (put the peers folder "
                             "at ../shared/peers beside the repository, or name it in "
                             "ORVEL_PEERS_DIR)")
    return skipped


def system_python():
    """The interpreter itself, not a version-manager shim that would add its own start-up time."""
    if os.access("/usr/bin/python3", os.X_OK):
        return "/usr/bin/python3"
    return os.path.realpath(sys.executable)


def build_tools(skipped):
    library = os.path.join(BUILD_DIR, "liborvel_lib.a")
    if not os.path.exists(os.path.join(BUILD_DIR, "orvel")) or not os.path.exists(library):
        die(f"no release build in {BUILD_DIR}: run `make all` first (or use `make bench`)")
    run_checked(["cmake", "-S", BENCH, "-B", TOOLS, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DORVEL_LIB={library}"], stdout=subprocess.DEVNULL)
    run_checked(["cmake", "--build", TOOLS, "-j", JOBS], stdout=subprocess.DEVNULL)
    if "yyjson" not in skipped:
        # Into our build folder: the peers' folder may be read-only.
        build = subprocess.run([os.path.join(PEERS, "yyjson", "build.sh"), TOOLS],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if build.returncode != 0 or not os.access(tool("yyjson_sort"), os.X_OK):
            skipped["yyjson"] = f"its build failed: {build.stderr.strip()}"


def tool(name):
    return os.path.join(TOOLS, name)


def file_sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def ensure_data():
    """The data sets kept in bench/data must exist; generated ones are made once and reused while
    the generator is unchanged (a stamp holds the generator source's hash)."""
    paths = {}
    for name in FILE_SETS:
        path = os.path.join(BENCH_DATA, name + ".json")
        if not os.path.isfile(path):
            die(f"missing benchmark data: {path}")
        paths[name] = path
    os.makedirs(DATA, exist_ok=True)
    stamp_path = os.path.join(DATA, "generator.sha256")
    stamp = file_sha256(os.path.join(BENCH, "gen.cc"))
    try:
        with open(stamp_path) as f:
            current = f.read().strip() == stamp
    except OSError:
        current = False
    gen100 = os.path.join(DATA, "gen100.json")
    small = os.path.join(DATA, "small10k")
    if not current or not os.path.isfile(gen100):
        log(f"generating {gen100}")
        run_checked([tool("gen"), "gen100", gen100])
    if not current or not os.path.isdir(small) or len(os.listdir(small)) != 10000:
        log(f"generating {small}")
        shutil.rmtree(small, ignore_errors=True)
        run_checked([tool("gen"), "small10k", small])
    with open(stamp_path, "w") as f:
        f.write(stamp + "\n")
    subset = os.path.join(DATA, "small500")
    names = sorted(os.listdir(small), key=os.fsencode)[:SUBSET_FILES]
    if (not current or not os.path.isdir(subset)
            or sorted(os.listdir(subset), key=os.fsencode) != names):
        shutil.rmtree(subset, ignore_errors=True)
        os.makedirs(subset)
        for name in names:
            shutil.copyfile(os.path.join(small, name), os.path.join(subset, name))
    paths["gen100"] = gen100
    paths["small10k"] = small
    paths["small500"] = subset
    return paths


def peers_note():
    """Whether the folder of third-party peers is here, in words for the log and the report. Its
    peers are optional: without the folder the bench times orvel's own peers and says so."""
    if not os.path.isdir(PEERS):
        return f"{PEERS} not found: only the peers kept in bench/ are timed"
    names = sorted(n for n in os.listdir(PEERS) if os.path.isdir(os.path.join(PEERS, n)))
    return f"{PEERS} found, holding {', '.join(names) if names else 'no peer'}"


def data_size(path):
    if os.path.isdir(path):
        names = os.listdir(path)
        return sum(os.path.getsize(os.path.join(path, n)) for n in names), len(names)
    return os.path.getsize(path), 1


def fresh_copy(source, slot="run"):
    """A scratch copy of a data set, flushed to disk so that its write-back does not land inside
    the next timed run. Each slot holds one copy; making a new one replaces the old."""
    work = os.path.join(DATA, "work", slot)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    target = os.path.join(work, os.path.basename(source))
    if os.path.isdir(source):
        shutil.copytree(source, target)
    else:
        shutil.copyfile(source, target)
    os.sync()
    return target


# Programs ---------------------------------------------------------------------------------------

def shell_loop(command, target):
    """How a user runs a one-file tool over files: per file, into a temporary, moved over."""
    one = f'{command} "$f" > "$f.tmp" && mv "$f.tmp" "$f" || st=1'
    if os.path.isdir(target):
        script = f'st=0; for f in "$1"/*.json; do {one}; done; exit $st'
    else:
        script = f'st=0; f="$1"; {one}; exit $st'
    return ["sh", "-c", script, "sh", target]


def sizes_path(dataset):
    """Where orvel's output sizes for a data set are kept for floor_out, one per line in the
    order the floor selects the files (by name, bytewise)."""
    return os.path.join(DATA, "sizes", dataset + ".txt")


def record_sizes(dataset, output):
    files = ([os.path.join(output, n) for n in sorted(os.listdir(output), key=os.fsencode)]
             if os.path.isdir(output) else [output])
    os.makedirs(os.path.dirname(sizes_path(dataset)), exist_ok=True)
    with open(sizes_path(dataset), "w") as f:
        f.writelines(f"{os.path.getsize(path)}\n" for path in files)


def command_for(program, dataset, target, python):
    if program == "floor":
        return [tool("floor"), target]
    if program == "floor_out":
        return [tool("floor"), "--sizes", sizes_path(dataset), target]
    if program == "orvel":
        return [os.path.join(BUILD_DIR, "orvel"), target]
    if program == "yyjson":
        return [tool("yyjson_sort"), "-i", target]
    if program == "rapidjson":
        return [tool("rapidjson_peer"), target]
    if program == "jq":
        return shell_loop("jq -S --indent 2 .", target)
    if program == "python":
        return shell_loop(f"{python} -m json.tool --sort-keys --indent 2 --no-ensure-ascii", target)
    raise ValueError(program)


def measure(argv):
    """Runs argv under the runner: (wall seconds, peak RSS in KiB, exit status, CPU seconds)."""
    result = subprocess.run([tool("runner")] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    fields = dict(item.split("=") for item in result.stdout.split())
    if "wall_seconds" not in fields:
        die(f"runner printed nothing for {' '.join(argv)}: {result.stderr.strip()}")
    if result.stderr.strip():
        sys.stderr.write(result.stderr)
    return (float(fields["wall_seconds"]), int(fields["max_rss_kib"]), int(fields["status"]),
            float(fields["cpu_seconds"]))


def run_ok(program, status):
    # orvel's status 1 means that a rule failed on some file (the data sets use camelCase keys,
    # for one); the file is still rewritten. Anything else is a failure of the run.
    return status == 0 or (program == "orvel" and status == 1)


# Correctness ------------------------------------------------------------------------------------

def natural_key(key):
    """Tokens of a key: a digit run is one number token that sorts before any byte token."""
    data = key.encode("utf-8", "surrogatepass")
    tokens = []
    i = 0
    while i < len(data):
        if 0x30 <= data[i] <= 0x39:
            j = i
            while j < len(data) and 0x30 <= data[j] <= 0x39:
                j += 1
            significant = data[i:j].lstrip(b"0")
            tokens.append((0, len(significant), significant))
            i = j
        else:
            tokens.append((1, data[i]))
            i += 1
    return tokens


class OrderError(Exception):
    pass


def ordered_object(pairs):
    keys = [natural_key(k) for k, _ in pairs]
    for a, b in zip(keys, keys[1:]):
        if a > b:
            raise OrderError("keys out of natural order")
    return dict(pairs)


def load_exact(data, check_order):
    """Decodes JSON with numbers as exact values, so 1E5 and 1e+5 or -0 and 0 compare equal but
    no digit may change."""
    hook = ordered_object if check_order else None
    return json.loads(data, parse_float=decimal.Decimal, object_pairs_hook=hook)


def semantic_check(original_path, output_path):
    """orvel's output, read back, holds the same values as the original with every object's
    keys in natural order."""
    files = ([(os.path.join(original_path, n), os.path.join(output_path, n))
              for n in sorted(os.listdir(original_path))]
             if os.path.isdir(original_path) else [(original_path, output_path)])
    for before, after in files:
        with open(before, "rb") as f:
            expected = load_exact(f.read(), False)
        with open(after, "rb") as f:
            text = f.read()
        try:
            actual = load_exact(text, True)
        except OrderError as error:
            return f"{after}: {error}"
        if actual != expected:
            return f"{after}: content differs from {before}"
        if not text.endswith(b"\n") or text.endswith(b"\n\n"):
            return f"{after}: does not end in exactly one line feed"
    return None


def read_all(path):
    if os.path.isdir(path):
        return {n: read_all(os.path.join(path, n)) for n in sorted(os.listdir(path))}
    with open(path, "rb") as f:
        return f.read()


def check_correctness(paths, programs):
    """orvel's output against the RapidJSON peer's (byte for byte where their number and escape
    formats agree), else read back and compared by value; and a second run must change nothing."""
    lines = []
    orvel = os.path.join(BUILD_DIR, "orvel")
    for name, source in paths.items():
        target = fresh_copy(source, "orvel")
        status = measure([orvel, target])[2]
        if not run_ok("orvel", status):
            lines.append((name, f"FAILED: orvel exited with status {status}"))
            continue
        orvel_output = read_all(target)
        record_sizes(name, target)
        checks = []
        if name in FILE_SETS and "rapidjson" in programs:
            peer_target = fresh_copy(source, "peer")
            measure([tool("rapidjson_peer"), peer_target])
            if read_all(peer_target) == orvel_output:
                checks.append("identical to the RapidJSON peer's output")
        if not checks:
            problem = semantic_check(source, target)
            if problem:
                lines.append((name, f"FAILED: {problem}"))
                continue
            checks.append("same values as the original when read back by Python's json "
                          "(numbers as exact decimals), keys in natural order")
        measure([orvel, target])
        if read_all(target) != orvel_output:
            lines.append((name, "FAILED: a second run changed orvel's own output"))
            continue
        checks.append("a second run leaves it unchanged")
        lines.append((name, "ok: " + "; ".join(checks)))
    shutil.rmtree(os.path.join(DATA, "work"), ignore_errors=True)
    return lines


# Timing -----------------------------------------------------------------------------------------

def rounds_for(program, dataset):
    if program in SLOW_PROGRAMS and dataset == "small10k":
        return 0  # timed on small500 instead
    if program in SLOW_PROGRAMS:
        return SLOW_ROUNDS if dataset in SLOW_SETS else ROUNDS
    return SHORT_ROUNDS if dataset in SHORT_SETS else ROUNDS


def time_all(paths, programs, python):
    results = {}  # (dataset, program) -> list of (seconds, rss_kib, status)
    for dataset, source in paths.items():
        # floor_out needs orvel's output sizes, which the output check records.
        programs_here = [p for p in programs if rounds_for(p, dataset) > 0
                         and (p != "floor_out" or os.path.isfile(sizes_path(dataset)))]
        most = max(rounds_for(p, dataset) for p in programs_here)
        # One untimed run of each program first, except of jq and python where they run once: the
        # first runs after a pause, or after another data set, wait on memory that the virtual
        # machine's host has to back afresh, which says more about the host than the program.
        for program in programs_here:
            if program in SLOW_PROGRAMS and dataset in SLOW_SETS:
                continue
            target = fresh_copy(source)
            sample = measure(command_for(program, dataset, target, python))
            log(f"  {dataset:13} {program:10} warm-up: {sample[0]:.3f} s (status {sample[2]})")
        for r in range(most):
            # Rotating order: no program always runs first (cold) or right after a heavy one.
            k = r % len(programs_here)
            order = programs_here[k:] + programs_here[:k]
            for program in order:
                if r >= rounds_for(program, dataset):
                    continue
                target = fresh_copy(source)
                sample = measure(command_for(program, dataset, target, python))
                results.setdefault((dataset, program), []).append(sample)
                log(f"  {dataset:13} {program:10} round {r + 1}: {sample[0]:.3f} s")
    shutil.rmtree(os.path.join(DATA, "work"), ignore_errors=True)
    return results


def summarise(paths, programs, results):
    """Per data set, per program: the figures the table and the chart show. A program that
    failed a run gets its statuses instead."""
    rows = []
    for dataset, source in paths.items():
        size, count = data_size(source)
        floor_samples = results.get((dataset, "floor"))
        floor_median = (statistics.median(s[0] for s in floor_samples)
                        if floor_samples and all(run_ok("floor", s[2]) for s in floor_samples)
                        else None)
        for program in programs:
            samples = results.get((dataset, program), [])
            if not samples:
                continue
            row = {"dataset": dataset, "size": size, "count": count, "program": program,
                   "runs": len(samples), "floor": floor_median}
            if not all(run_ok(program, s[2]) for s in samples):
                row["failed"] = sorted({s[2] for s in samples if not run_ok(program, s[2])})
            else:
                seconds = [s[0] for s in samples]
                row.update(median=statistics.median(seconds), min=min(seconds), max=max(seconds),
                           rss_mib=max(s[1] for s in samples) / 1024,
                           cpu=statistics.median(s[3] for s in samples))
            rows.append(row)
    return rows


def size_text(row):
    return f"{row['size'] / 1e6:.1f} MB" + (f" in {row['count']} files" if row["count"] > 1 else "")


def results_table(rows):
    header = ("| data set | size | program | runs | median s | min s | max s | MB/s | peak RSS MiB "
              "| x floor | median CPU s |\n|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n")
    lines = []
    for row in rows:
        start = f"| {row['dataset']} | {size_text(row)} | {row['program']} | {row['runs']} | "
        if "failed" in row:
            lines.append(start + f"FAILED (status {', '.join(map(str, row['failed']))}) "
                         "| | | | | | |")
            continue
        ratio = f"{row['median'] / row['floor']:.1f}" if row["floor"] else "-"
        lines.append(start + f"{row['median']:.3f} | {row['min']:.3f} | {row['max']:.3f} | "
                     f"{row['size'] / 1e6 / row['median']:.1f} | {row['rss_mib']:.1f} | {ratio} | "
                     f"{row['cpu']:.3f} |")
    return header + "\n".join(lines) + "\n"


def phases_table(source):
    steps = ["read", "decode", "render", "write"]
    samples = {s: [] for s in steps}
    for _ in range(ROUNDS):
        target = fresh_copy(source)
        result = subprocess.run([tool("phases"), target], stdout=subprocess.PIPE, text=True)
        if result.returncode != 0:
            return f"phases failed with status {result.returncode}\n"
        for line in result.stdout.splitlines():
            step, seconds = line.split()
            samples[step].append(float(seconds))
    shutil.rmtree(os.path.join(DATA, "work"), ignore_errors=True)
    medians = {s: statistics.median(samples[s]) for s in steps}
    total = sum(medians.values())
    size = os.path.getsize(source)
    lines = ["| step | what it does | median s | share | MB/s of input |", "|---|---|---:|---:|---:|"]
    what = {"read": "open, fstat, read loop",
            "decode": "read_document into the arena, each object sorted as it closes", "render": "write_pretty with two-space indent",
            "write": "rewrite in place"}
    for s in steps:
        lines.append(f"| {s} | {what[s]} | {medians[s]:.3f} | {100 * medians[s] / total:.0f}% | "
                     f"{size / 1e6 / medians[s]:.0f} |")
    lines.append(f"| total | | {total:.3f} | 100% | {size / 1e6 / total:.0f} |")
    return "\n".join(lines) + "\n"


# Report -----------------------------------------------------------------------------------------

# The chart is drawn here, in plain SVG, so that the bench needs no plotting package.
CHART_COLOURS = {"floor": "#7f7f7f", "floor_out": "#b0b0b0", "orvel": "#d62728",
                 "yyjson": "#1f77b4", "rapidjson": "#2ca02c", "jq": "#9467bd", "python": "#8c564b"}


def ratio_text(ratio):
    return f"{ratio:.0f}x" if ratio >= 100 else f"{ratio:.1f}x" if ratio >= 10 else f"{ratio:.2f}x"


def chart_svg(rows):
    """Each program's median time on each data set as a multiple of the floor's median, on a log
    scale, with a whisker from its fastest to its slowest run (both also divided by the floor's
    median). Rows without a floor or with a failed run are left out."""
    drawn = [r for r in rows if r["floor"] and "failed" not in r]
    if not drawn:
        return '<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"/>\n'
    low = min(1.0, min(r["min"] / r["floor"] for r in drawn))
    high = max(r["max"] / r["floor"] for r in drawn)
    steps = [m * 10.0 ** e for e in range(-3, 7) for m in (1, 2, 5)]
    ticks = [t for t in steps if max(u for u in steps if u <= low) <= t
             <= min(u for u in steps if u >= high * 1.05)]
    left, right, top, row_h, head_h = 190, 690, 44, 15, 20
    width = right + 70

    def x_of(ratio):
        start, end = math.log10(ticks[0]), math.log10(ticks[-1])
        return left + (right - left) * (math.log10(ratio) - start) / (end - start)

    body, y = [], top
    for dataset in dict.fromkeys(r["dataset"] for r in drawn):
        mine = [r for r in drawn if r["dataset"] == dataset]
        y += head_h
        body.append(f'<text x="8" y="{y - 5}" font-weight="bold">'
                    f'{html.escape(dataset)} ({html.escape(size_text(mine[0]))})</text>')
        for r in mine:
            colour = CHART_COLOURS.get(r["program"], "#000000")
            mid = y + row_h / 2
            x0, xm, x1 = (x_of(r[k] / r["floor"]) for k in ("min", "median", "max"))
            body.append(f'<text x="{left - 8}" y="{mid + 4:.1f}" text-anchor="end">'
                        f'{html.escape(r["program"])}</text>')
            body.append(f'<line x1="{x0:.1f}" y1="{mid:.1f}" x2="{x1:.1f}" y2="{mid:.1f}" '
                        f'stroke="{colour}" stroke-width="1.5"/>')
            for xe in (x0, x1):
                body.append(f'<line x1="{xe:.1f}" y1="{mid - 4:.1f}" x2="{xe:.1f}" '
                            f'y2="{mid + 4:.1f}" stroke="{colour}" stroke-width="1.5"/>')
            body.append(f'<circle cx="{xm:.1f}" cy="{mid:.1f}" r="4" fill="{colour}"/>')
            body.append(f'<text x="{x1 + 8:.1f}" y="{mid + 4:.1f}" fill="#444">'
                        f'{ratio_text(r["median"] / r["floor"])}</text>')
            y += row_h
    bottom = y + 8
    grid = []
    for t in ticks:
        xt = x_of(t)
        major = abs(math.log10(t) - round(math.log10(t))) < 1e-9
        grid.append(f'<line x1="{xt:.1f}" y1="{top}" x2="{xt:.1f}" y2="{bottom}" '
                    f'stroke="{"#bbbbbb" if major else "#e4e4e4"}"/>')
        label = f"{t:g}x"
        grid.append(f'<text x="{xt:.1f}" y="{top - 6}" text-anchor="middle" fill="#444">'
                    f'{label}</text>')
    height = bottom + 28
    return "\n".join(
        [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
         f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
         f'<rect width="{width}" height="{height}" fill="#ffffff"/>',
         '<text x="8" y="16" font-size="13" font-weight="bold">Time as a multiple of the I/O '
         'floor (log scale): dot = median, whisker = fastest to slowest run</text>']
        + grid + body +
        [f'<text x="8" y="{height - 10}" fill="#444">Lower is better. Each data set\'s times '
         'are divided by the median of its floor, which reads and rewrites the files without '
         'parsing.</text>', "</svg>", ""])



README_START = "<!-- bench table: written by bench/run.py -->"
README_END = "<!-- end of bench table -->"
README_NAMES = {"floor": "floor", "floor_out": "floor_out", "orvel": "orvel",
                "yyjson": "yyjson peer", "rapidjson": "RapidJSON peer", "jq": "jq",
                "python": "python json.tool"}


def readme_summary(rows):
    """The README's table: per data set, each program's median wall time with its ratio to the
    floor; then peak memory on gen100."""
    programs = [p for p in ALL_PROGRAMS if any(r["program"] == p for r in rows)]
    lines = ["| data set | " + " | ".join(README_NAMES[p] for p in programs) + " |",
             "|---|" + "---:|" * len(programs)]
    for dataset in dict.fromkeys(r["dataset"] for r in rows):
        mine = {r["program"]: r for r in rows if r["dataset"] == dataset}
        cells = []
        for p in programs:
            r = mine.get(p)
            if r is None:
                cells.append("-")
            elif "failed" in r:
                cells.append("failed")
            elif r["floor"] and p != "floor":
                cells.append(f"{r['median']:.3f} s ({r['median'] / r['floor']:.1f}x)")
            else:
                cells.append(f"{r['median']:.3f} s")
        first = next(iter(mine.values()))
        lines.append(f"| {dataset} ({size_text(first)}) | " + " | ".join(cells) + " |")
    gen100 = [r for r in rows if r["dataset"] == "gen100" and "failed" not in r
              and not r["program"].startswith("floor")]
    if gen100:
        lines += ["", "Peak resident memory on gen100: " + ", ".join(
            f"{README_NAMES[r['program']]} {r['rss_mib']:.0f} MiB "
            f"({r['rss_mib'] * 1024 * 1024 / r['size']:.1f}x its size)" for r in gen100) + "."]
    return "\n".join(lines) + "\n"


def update_readme(summary):
    """Replaces the table between the README's markers. Only a run of every program on every
    data set does this, so a partial run never leaves a partial table there."""
    path = os.path.join(ROOT, "README.md")
    with open(path) as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        log("README.md has no bench table markers; its table is left as it is")
        return
    text = text[:start + len(README_START)] + "\n" + summary + text[end:]
    with open(path, "w") as f:
        f.write(text)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def version_of(argv):
    try:
        result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return result.stdout.strip().splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def git_revision():
    result = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return result.stdout.strip() or "unknown"


def selected(variable, everything):
    names = [n for n in os.environ.get(variable, "").split(",") if n]
    unknown = [n for n in names if n not in everything]
    if unknown:
        die(f"{variable}: unknown {', '.join(unknown)} (choose from {', '.join(everything)})")
    return [n for n in everything if n in names] if names else list(everything)


def load_average():
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


def main():
    started = time.monotonic()
    load_before = load_average()
    revision = git_revision()  # before the run rewrites README.md and makes the tree dirty
    programs = selected("BENCH_PROGRAMS", ALL_PROGRAMS)
    datasets = selected("BENCH_DATASETS", ALL_SETS)
    skipped = check_prerequisites()
    peers = peers_note()
    log(f"third-party peers: {peers}")
    build_tools(skipped)
    for program, reason in skipped.items():
        if program in programs:
            log(f"leaving out {program}: {reason}")
    programs = [p for p in programs if p not in skipped]
    python = system_python()
    paths = {name: path for name, path in ensure_data().items() if name in datasets}

    log("checking orvel's output")
    checks = check_correctness(paths, programs)
    for name, text in checks:
        log(f"  {name}: {text}")

    log(f"timing ({ROUNDS} rounds, {SHORT_ROUNDS} on {', '.join(sorted(SHORT_SETS))} and "
        f"{SLOW_ROUNDS} for jq and python on gen100 and small500)")
    results = time_all(paths, programs, python)
    rows = summarise(paths, programs, results)
    table = results_table(rows)
    phases = phases_table(paths["gen100"]) if "gen100" in paths else None
    with open(os.path.join(BENCH, "results.svg"), "w") as f:
        f.write(chart_svg(rows))
    if "BENCH_PROGRAMS" not in os.environ and "BENCH_DATASETS" not in os.environ:
        update_readme(readme_summary(rows))

    elapsed = time.monotonic() - started
    settings = " ".join(f"{v}={os.environ[v]}" for v in
                        ("BENCH_ROUNDS", "BENCH_SHORT_ROUNDS", "BENCH_SLOW_ROUNDS", "BENCH_PROGRAMS",
                         "BENCH_DATASETS")
                        if v in os.environ)
    command = (settings + " " if settings else "") + "make bench"
    if os.environ.get("BUILD_DIR", "build/release") != "build/release":
        command += f" BUILD_DIR={os.environ['BUILD_DIR']}"
    versions = []
    if "yyjson" in programs:
        versions.append("yyjson 0.12.0 (yyjson_sort -i)")
    if "rapidjson" in programs:
        versions.append("RapidJSON " +
                        version_of(["dpkg-query", "-W", "-f=${Version}", "rapidjson-dev"]))
    if "jq" in programs:
        versions.append(version_of(["jq", "--version"]))
    if "python" in programs:
        versions.append(version_of([python, "--version"]))
    report = [
        "# orvel benchmark results",
        "",
        f"- date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
        f"- machine: {os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {cpu_model()}, "
        f"Linux {platform.release()}",
        f"- command: `{command}` (whole run {elapsed / 60:.1f} min)",
        f"- orvel: {revision}; peers: {', '.join(versions) if versions else 'none'}",
        f"- third-party peers: {peers}",
    ]
    report += [f"- left out: {program}: {reason}" for program, reason in skipped.items()
               if program in selected("BENCH_PROGRAMS", ALL_PROGRAMS)]
    report += [
        f"- load average (1/5/15 min) at start {load_before}, at end {load_average()}: other "
        "work on the machine inflates wall time; the CPU column (user + system) is steadier",
        f"- rounds: {ROUNDS}; {SHORT_ROUNDS} on twitter, citm_catalog, canada and small500, whose "
        f"runs take milliseconds (jq and python: {ROUNDS} on the first three); {SLOW_ROUNDS} for jq "
        "and python on gen100 and small500; after one "
        "untimed warm-up run of each program on each data set (none for jq and python on those "
        "two); each run on a fresh copy of the data (copy not timed), programs in rotating order; "
        "seconds and "
        "MB/s are medians of wall time, with the fastest (min) and slowest (max) run beside them; "
        "peak RSS is the largest seen",
        "- floor: read whole and rewrite in place with orvel's system calls, no parsing; "
        "x floor = median / floor's median; floor_out: the same, but writing as many bytes as "
        "orvel's output for the file has, the least that writing the new text can cost",
        "- jq (`jq -S --indent 2 . F > tmp && mv tmp F`) and python (`python3 -m json.tool "
        "--sort-keys --indent 2 --no-ensure-ascii F > tmp && mv tmp F`) run once per file in one "
        "shell loop; orvel, floor and the yyjson and RapidJSON peers take a directory in one "
        "process",
        f"- small500 is the first {SUBSET_FILES} files of small10k by name. jq and python start "
        "a process per file, which took 4 and 13 minutes a round on small10k, so they are timed "
        "on small500 only; every other program is timed on both",
        "",
        "## Times",
        "",
        "![median time as a multiple of the floor, min to max](results.svg)",
        "",
        table,
        "## Correctness of orvel's output",
        "",
    ]
    report += [f"- {name}: {text}" for name, text in checks]
    if phases:
        report += ["", "## Where the time goes in orvel (gen100, one file, medians)", "", phases]
    text = "\n".join(report).rstrip("\n") + "\n"
    print()
    print(text, end="")
    with open(os.path.join(BENCH, "RESULTS.md"), "w") as f:
        f.write(text)
    if any(not t.startswith("ok") for _, t in checks):
        sys.exit(1)

if __name__ == "__main__":
    main()
