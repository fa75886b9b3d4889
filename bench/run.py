"""Times update_cfg against the floor (open and save the three files) and
against xmlstarlet on the same generated data, and prints the figures.

Usage: run.py BUILD_DIR [--smoke] [--no-xmlstarlet] [--baseline OTHER_BUILD_DIR]
       run.py BUILD_DIR --instructions [--smoke] [--baseline OTHER_BUILD_DIR]

With --baseline, the tool of another build (an earlier commit's, say) runs
in the same turns as this one's, for a before-and-after in one run.

With --instructions, it prints for a few fixed shapes of file the
instructions (valgrind's callgrind) of the tool, of the floor and of one
xml_file_write on average, the heap peak of the tool (massif: it holds one
store at a time) and the tool's and the floor's median wall time on tmpfs:
figures that a later change can be compared by whatever the machine's load.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import generate

CONFIGS = ["mnt/mtd/app/config.xml", "mnt/mtd/app/config.xml.default",
           "config/config.xml.default"]
UPDATE = "mnt/mtd/app/update.cfg"


def run(argv, cwd):
    """Wall seconds of one run, started with posix_spawn so that neither a
    wrapper nor the copying of this process's pages is counted."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    here = os.getcwd()
    os.chdir(cwd)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter() - start
    finally:
        os.chdir(here)
        os.close(devnull)
    if status != 0:
        sys.exit("benchmark: %s failed in %s" % (argv[0], cwd))
    return elapsed


def peak_rss(argv, cwd):
    """Peak resident KiB of one run, from GNU time: a child of this Python
    process would report this process's pages as its own."""
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=cwd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        sys.exit("benchmark: %s failed in %s" % (argv[0], cwd))
    return int(proc.stderr.strip().splitlines()[-1])


class Tree:
    """A scratch device tree restored to the generated files before each run."""

    def __init__(self, root, config_text, update_text):
        self.root = root
        self.config_text = config_text
        self.update_text = update_text
        for folder in ("mnt/mtd/app", "config"):
            os.makedirs(os.path.join(root, folder), exist_ok=True)

    def reset(self, with_update=True):
        for config in CONFIGS:
            with open(os.path.join(self.root, config), "w") as f:
                f.write(self.config_text)
        if with_update:
            with open(os.path.join(self.root, UPDATE), "w") as f:
                f.write(self.update_text)

    def paths(self):
        return [os.path.join(self.root, c) for c in CONFIGS]


def heap_peak(argv, cwd):
    """Peak heap KiB of one run, blocks and allocator overhead, from
    valgrind's massif."""
    out = os.path.join(cwd, "massif.out")
    subprocess.run(["valgrind", "-q", "--tool=massif", "--massif-out-file=" + out] + argv,
                   cwd=cwd, stdout=subprocess.DEVNULL, check=True)
    peak, heap = 0, 0
    with open(out) as f:
        for line in f:
            if line.startswith("mem_heap_B="):
                heap = int(line.split("=")[1])
            elif line.startswith("mem_heap_extra_B="):
                peak = max(peak, heap + int(line.split("=")[1]))
    os.remove(out)
    return peak // 1024


def timed(tree, tool_argv, floor_argv, repeats, baseline_argv=None):
    """Wall times of the tool, of the floor and of the baseline tool, run in
    turns so that a slow spell of the machine falls on all, and the tool's
    peak memory."""
    tool_times, floor_times, baseline_times = [], [], []
    for _ in range(repeats):
        tree.reset()
        tool_times.append(run(tool_argv, tree.root))
        tree.reset(with_update=False)
        floor_times.append(run(floor_argv, tree.root))
        if baseline_argv:
            tree.reset()
            baseline_times.append(run(baseline_argv, tree.root))
    peaks = []
    for _ in range(5):  # the kernel maps library pages around each fault: peaks vary
        tree.reset()
        peaks.append(peak_rss(tool_argv, tree.root))
    tree.reset()
    return tool_times, floor_times, baseline_times, statistics.median(peaks), heap_peak(
        tool_argv, tree.root)


def io_of(tree, argv):
    """Bytes written into the configuration folders and fsync calls, from an
    strace of one run."""
    tree.reset()
    log = os.path.join(tree.root, "trace")
    subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                    "trace=openat,write,pwrite64,fsync,fdatasync,close"] + argv,
                   cwd=tree.root, stdout=subprocess.DEVNULL, check=True)
    fds, written, syncs = {}, 0, 0
    with open(log) as f:
        for line in f:
            m = re.match(r"(?:\d+ +)?(\w+)\((.*)\) += (-?\d+)", line)
            if not m:
                continue
            name, args, result = m.group(1), m.group(2), int(m.group(3))
            fd = args.split(",")[0]
            if name == "openat" and result >= 0:
                path = args.split('"')[1]
                fds[str(result)] = path.endswith(".tmp") or "/mnt/" in path or (
                    "/config" in path or path.startswith("./") or path.startswith(tree.root))
            elif name in ("write", "pwrite64") and fds.get(fd) and result > 0:
                written += result
            elif name in ("fsync", "fdatasync"):
                syncs += 1
            elif name == "close":
                fds.pop(fd, None)
    os.remove(log)
    return written, syncs


def xmlstarlet_edits(entries, existing_sections):
    """The -u / -s options that make xmlstarlet apply entries."""
    ops, created = [], set()
    for path, value, kind in entries:
        parts = path.split(".")
        xpath = "/DVR_CFG/" + "/".join("%s[1]" % p for p in parts)
        if kind != "new":
            ops += ["-u", xpath, "-v", value]
            continue
        section = parts[0]
        if section not in existing_sections and section not in created:
            ops += ["-s", "/DVR_CFG", "-t", "elem", "-n", section]
            created.add(section)
        ops += ["-s", "/DVR_CFG/%s[1]" % section, "-t", "elem", "-n", parts[1], "-v", value]
    return ops


def fmt(seconds):
    return "%.1f ms" % (seconds * 1000)


# (settings, sections, update lines): the shapes the store's cost per write
# is judged on.  Crowded sections of 100 and of 2,500 settings, a small
# file, and a small file with a short update, where nothing must get slower.
SHAPES = [(50000, 500, 1000), (50000, 20, 1000), (2000, 40, 100), (2000, 40, 10)]


def callgrind(argv, cwd, function):
    """Instructions of one run, and the calls of function with the
    instructions spent in them (inclusive), from callgrind's output: each
    call line there is followed by the cost of those calls."""
    out = os.path.join(cwd, "callgrind.out")
    subprocess.run(["valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                   cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    names, total, calls, inclusive = {}, 0, 0, 0
    counting = pending = False
    with open(out) as f:
        for line in f:
            if line.startswith("cfn="):
                m = re.match(r"cfn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                counting = names.get(m.group(1)) == function
            elif line.startswith("fn="):
                m = re.match(r"fn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m and m.group(2):
                    names[m.group(1)] = m.group(2)
                counting = False
            elif line.startswith("calls="):
                if counting:
                    calls += int(line.split()[0].split("=")[1])
                pending = counting
            elif pending:
                inclusive += int(line.split()[-1])
                pending = False
            elif line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    os.remove(out)
    return total, calls, inclusive


def instructions(build, smoke, baseline_build):
    """The --instructions mode: one line a shape and build."""
    tool = os.path.join(build, "tests", "update_cfg_rooted")
    floor = os.path.join(build, "bench", "bench_floor")
    builds = [("this", tool)]
    if baseline_build:
        builds.append(("baseline", os.path.join(baseline_build, "tests", "update_cfg_rooted")))
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None  # tmpfs: no disk in the times
    print("%-28s %-8s %-8s %-8s %-7s %-12s %-10s %-16s %-15s %-7s" % (
        "shape", "build", "tool", "floor", "tool/fl", "write, avg", "heap",
        "heap target", "wall tool/fl", "wall"))
    for settings, sections, entries in SHAPES[2:3] if smoke else SHAPES:
        config_text, paths = generate.configuration(settings, seed=settings, sections=sections)
        size = len(config_text.encode())
        update = generate.update(paths, entries, seed=entries)
        shape = "%d in %dx%d, N=%d" % (settings, sections, settings // sections, entries)
        with tempfile.TemporaryDirectory(dir=scratch) as root:
            tree = Tree(root, config_text, generate.update_file(update))
            floor_argv = [floor, "DVR_CFG." + paths[0][0]] + tree.paths()
            tree.reset(with_update=False)
            floor_ir, _, _ = callgrind(floor_argv, root, "xml_file_write")
            repeats = 3 if smoke else 21 if settings < 10000 else 11
            for label, argv0 in builds:
                tree.reset()
                tool_ir, calls, write_ir = callgrind([argv0], root, "xml_file_write")
                tree.reset()
                heap = heap_peak([argv0], root)
                tool_times, floor_times = [], []
                for _ in range(repeats):
                    tree.reset()
                    tool_times.append(run([argv0], root))
                    tree.reset(with_update=False)
                    floor_times.append(run(floor_argv, root))
                wall_tool = statistics.median(tool_times)
                wall_floor = statistics.median(floor_times)
                print("%-28s %-8s %-8s %-8s %-7s %-12s %-10s %-16s %-15s %-7s" % (
                    shape, label, "%.1f M" % (tool_ir / 1e6), "%.1f M" % (floor_ir / 1e6),
                    "%.2f" % (tool_ir / floor_ir),
                    "%d" % (write_ir // calls) if calls else "-", "%d KiB" % heap,
                    "%d KiB (%.1fx)" % ((5 * size) // 1024 + 1024, heap * 1024 / size),
                    "%.2f" % (wall_tool / wall_floor), fmt(wall_tool)))
        print("%-28s file %d B; write: instructions of xml_file_write over its %d calls;"
              " heap target 5 x file + 1 MiB" % ("", size, calls))


def main():
    build = os.path.abspath(sys.argv[1])
    if "--instructions" in sys.argv:
        baseline = None
        if "--baseline" in sys.argv:
            baseline = os.path.abspath(sys.argv[sys.argv.index("--baseline") + 1])
        instructions(build, "--smoke" in sys.argv, baseline)
        return
    smoke = "--smoke" in sys.argv
    tool = os.path.join(build, "tests", "update_cfg_rooted")
    floor = os.path.join(build, "bench", "bench_floor")
    sizes = [2000] if smoke else [2000, 50000]
    counts = [10] if smoke else [10, 1000, 10000]
    repeats = 3 if smoke else 31  # a third of that for the large files
    have_xmlstarlet = shutil.which("xmlstarlet") is not None and "--no-xmlstarlet" not in sys.argv
    baseline = None
    if "--baseline" in sys.argv:
        baseline = os.path.join(os.path.abspath(sys.argv[sys.argv.index("--baseline") + 1]),
                                "tests", "update_cfg_rooted")

    print("%-7s %-6s %-22s %-10s %-8s %-9s %-9s %-10s %-7s %-12s %-9s %-12s %-9s" % (
        "M", "N", "tool median (spread)", "floor", "tool/fl", "peak RSS", "heap", "written",
        "fsyncs", "xmlstarlet", "xml/tool", "xml loop", "loop/tool"))
    results = {}
    for settings in sizes:
        config_text, paths = generate.configuration(settings, seed=settings)
        size = len(config_text.encode())
        sections = {p.split(".")[0] for p, _ in paths}
        for entries in counts:
            update = generate.update(paths, entries, seed=entries)
            with tempfile.TemporaryDirectory() as root:
                tree = Tree(root, config_text, generate.update_file(update))
                tool_times, floor_times, baseline_times, peak, heap = timed(
                    tree, [tool], [floor, "DVR_CFG." + paths[0][0]] + tree.paths(),
                    repeats if settings < 10000 else repeats // 3,
                    [baseline] if baseline else None)
                written, syncs = io_of(tree, [tool])
                xml_single = xml_loop = None
                if have_xmlstarlet:
                    edits = xmlstarlet_edits(update, sections)
                    def one_call():
                        tree.reset()
                        start = time.perf_counter()
                        for p in tree.paths():
                            subprocess.run(["xmlstarlet", "ed", "-L"] + edits + [p], check=True)
                        return time.perf_counter() - start
                    xml_single = statistics.median(one_call() for _ in range(1 if smoke else 3))
                    if entries <= 1000 and not smoke:
                        tree.reset()
                        start = time.perf_counter()
                        for p in tree.paths():
                            for entry in update:
                                subprocess.run(["xmlstarlet", "ed", "-L"] +
                                               xmlstarlet_edits([entry], sections) + [p],
                                               check=True)
                        xml_loop = time.perf_counter() - start
            tool_median = statistics.median(tool_times)
            floor_median = statistics.median(floor_times)
            results[(settings, entries)] = (tool_median, floor_median)
            print("%-7d %-6d %-22s %-10s %-8s %-9s %-9s %-10s %-7d %-12s %-9s %-12s %-9s" % (
                settings, entries,
                "%s (%s-%s)" % (fmt(tool_median), fmt(min(tool_times)), fmt(max(tool_times))),
                fmt(floor_median), "%.2f" % (tool_median / floor_median),
                "%d KiB" % peak, "%d KiB" % heap, "%d B" % written, syncs,
                fmt(xml_single) if xml_single else "-",
                "%.1f" % (xml_single / tool_median) if xml_single else "-",
                fmt(xml_loop) if xml_loop else "-",
                "%.0f" % (xml_loop / tool_median) if xml_loop else "-"))
            if baseline_times:
                baseline_median = statistics.median(baseline_times)
                print("        baseline: %s (%s-%s), %.2f x the floor; this build %+.1f %%" % (
                    fmt(baseline_median), fmt(min(baseline_times)), fmt(max(baseline_times)),
                    baseline_median / floor_median,
                    100 * (tool_median / baseline_median - 1)))
        print("        file size at M=%d: %d B; heap target 4 x file + 1 MiB = %d KiB"
              " (peak RSS: median of five runs; heap: massif)" % (
            settings, size, (4 * size) // 1024 + 1024))

    def beyond(key):
        return results[key][0] - results[key][1]
    for settings in sizes:
        if (settings, 1000) in results and (settings, 10000) in results:
            print("growth N 1,000 -> 10,000 at M=%d: %.1fx beyond the floor" % (
                settings, beyond((settings, 10000)) / beyond((settings, 1000))))
    for entries in counts:
        if (2000, entries) in results and (50000, entries) in results:
            print("growth M 2,000 -> 50,000 at N=%d: %.1fx (tool), %.1fx (floor)" % (
                entries, results[(50000, entries)][0] / results[(2000, entries)][0],
                results[(50000, entries)][1] / results[(2000, entries)][1]))

    # An update that changes nothing must leave the folder alone.
    config_text, paths = generate.configuration(2000, seed=2000)
    with tempfile.TemporaryDirectory() as root:
        equal = [(p, v, "equal") for p, v in paths[:100]]
        tree = Tree(root, config_text, generate.update_file(equal))
        written, syncs = io_of(tree, [tool])
        print("update of 100 equal values: %d bytes written, %d fsync calls" % (written, syncs))


if __name__ == "__main__":
    main()
