"""bench/run.sh --explore [SECTION...]: where the launcher's extraction time goes.

1. alignment: the do-nothing program and the launcher around the 256 MiB
   package, linked with 4096 (as built) and with 512.
2. probe: the write path under Wine: bench/probe.c around the 1 GiB package
   writes it to %TEMP% in several ways (chunk sizes, reading it back as the
   launcher does) and times each step from inside.
3. native: the same writes natively (Python, no Wine) and cp, for comparison.

Without SECTION, all three. Needs the builds of `bench/run.sh` (it makes them
when missing). Writes build/bench/explore.md.
"""

import mmap
import os
import shlex
import statistics
import subprocess
import sys
import time
from pathlib import Path

import common
from common import GiB, MiB, OUT, Series, log, mib, run_quiet

EXPLORE = OUT / "explore"
RUNS = 5
PROBE_RUNS = 7
# The chunk size of the launcher's writes and reads: each size written as
# the launcher writes (the old file deleted, the copy created new), then
# with the read-back the launcher does after it. "single" is the old way.
PROBE_CHUNKS = (65536, 262144, 1048576, 8388608)
PROBE_MODES = (
    "single",
    *(f"chunk:{chunk},new" for chunk in PROBE_CHUNKS),
    *(f"chunk:{chunk},new,readback" for chunk in PROBE_CHUNKS),
)
PHASES = ("prepare", "write", "close", "verify", "total")
SECTIONS = ("alignment", "probe", "native")


def prepared(size):
    package, _ = common.package(size)
    launcher, _ = common.build_launcher(package, OUT / f"launcher-{common.short_label(size)}")
    return package, launcher


def relink_launcher(build_dir, alignment, out_exe):
    """The launcher of build_dir linked again with another file alignment."""
    link_txt = Path(build_dir) / "CMakeFiles" / "setup.dir" / "link.txt"
    line = next(l for l in link_txt.read_text().splitlines() if " -o setup.exe" in l)
    tokens = []
    skip = False
    for token in shlex.split(line):
        if skip:
            skip = False
            tokens.append(str(out_exe))
            continue
        if token == "-o":
            skip = True
        if token.startswith("-Wl,--out-implib"):
            continue
        tokens.append(token.replace("--file-alignment,4096", f"--file-alignment,{alignment}"))
    run_quiet(tokens, cwd=build_dir)
    return Path(out_exe)


def timed_series(bench, exe, runs, standin, expected_code, size=None):
    """A warm-up run, `runs` timed runs, then one run with /proc sampled;
    returns (Series, sampler)."""
    series = Series()
    for attempt in range(runs + 2):
        bench.clear_temp()
        common.settle()
        if attempt == runs + 1:
            with common.MemorySampler(bench.prefix.path, exe.name) as sampler:
                code, _, _ = bench.timed_run(exe, "/q" if standin else "", standin=standin)
        else:
            code, seconds, _ = bench.timed_run(exe, "/q" if standin else "", standin=standin)
            if attempt > 0:  # the first run warms up
                series.add(seconds)
        if code != expected_code:
            raise RuntimeError(f"{exe} exited with {code}")
        if size is not None and bench.copy_unix.stat().st_size != size:
            raise RuntimeError(f"{exe} wrote a copy of the wrong size")
    bench.clear_temp()
    return series, sampler


def alignment_section(bench):
    size = 256 * MiB
    package, launcher = prepared(size)
    options, libraries = common.launcher_link_options(launcher.parent)
    work = EXPLORE / "alignment-256M"
    subjects = []
    for alignment in (4096, 512):
        aligned = [o.replace("--file-alignment,4096", f"--file-alignment,{alignment}")
                   for o in options]
        nothing = work / f"nothing-fa{alignment}.exe"
        if not common.newer(nothing, package, common.BENCH_DIR / "nothing.c", launcher):
            common.build_windows_program(common.BENCH_DIR / "nothing.c", "NothingEntry", package,
                                         nothing, aligned, libraries, work / "obj")
        relinked = work / f"setup-fa{alignment}.exe"
        if not common.newer(relinked, launcher):
            relink_launcher(launcher.parent, alignment, relinked)
        for exe in (nothing, relinked):
            if common.file_alignment(exe) != alignment:
                raise RuntimeError(f"{exe}: file alignment is not {alignment}")
        subjects.append((alignment, nothing, relinked))

    rows = ["| 256 MiB package, file alignment | do-nothing run, ms | do-nothing peak RSS "
            "(anon / file) | launcher run, ms | launcher peak RSS (anon / file) |",
            "|---|---:|---:|---:|---:|"]
    for alignment, nothing, relinked in subjects:
        log(f"explore: alignment {alignment}")
        n_series, n_mem = timed_series(bench, nothing, RUNS, False, 0)
        l_series, l_mem = timed_series(bench, relinked, RUNS, True, common.ENGINE_EXIT_CODE, size)
        rows.append(f"| {alignment} | {n_series.ms()} | {memory_text(n_mem)} "
                    f"| {l_series.ms()} | {memory_text(l_mem)} |")
    return rows


def memory_text(sampler):
    if sampler.samples_with_target == 0:
        return "(ended between samples)"
    return f"{mib(sampler.peak_hwm)} ({mib(sampler.peak_anon)} / {mib(sampler.peak_file)})"


def probe_section(bench):
    size = GiB
    package, launcher = prepared(size)
    probe = common.build_probe(package, launcher.parent, EXPLORE / "probe-1G")
    results = {mode: {phase: [] for phase in PHASES} for mode in PROBE_MODES}
    for repetition in range(PROBE_RUNS + 1):
        log(f"explore: write path, round {repetition + 1} of {PROBE_RUNS + 1}")
        # The order rotates from round to round, so that no mode always
        # follows the same other one (whose deletion or write-back it might
        # pay for).
        first = repetition % len(PROBE_MODES)
        for mode in PROBE_MODES[first:] + PROBE_MODES[:first]:
            bench.clear_temp()
            common.settle()
            fields = common.probe_run(bench, probe, mode)
            if "none" not in mode and bench.copy_unix.stat().st_size != size:
                raise RuntimeError(f"probe {mode} wrote a copy of the wrong size")
            if repetition == 0:
                continue  # warm-up round
            for phase in PHASES:
                results[mode][phase].append(fields[phase])
    bench.clear_temp()
    rows = ["| probe mode (1 GiB) | prepare, ms | WriteFile(s), ms | CloseHandle, ms "
            "| read-back and compare, ms | total, ms |", "|---|---:|---:|---:|---:|---:|"]
    for mode in PROBE_MODES:
        cells = []
        for phase in PHASES:
            values = results[mode][phase]
            if phase == "verify" and "readback" not in mode:
                cells.append("—")
                continue
            cells.append(ms(values))
        rows.append(f"| {mode} | " + " | ".join(cells) + " |")
    return rows


def native_section():
    """The same writes without Wine: a file mapping of the package written
    with write(2) into a new file in /tmp, and cp."""
    package, _ = common.package(GiB)
    target = Path("/tmp") / f"bench-native-{os.getpid()}.bin"
    kinds = ("one write(2)", "write(2) of 64 KiB", "one write(2), ftruncate(0) first",
             "write(2) of 1 MiB, read back and compared", "cp")
    results = {kind: ([], []) for kind in kinds}
    try:
        with open(package, "rb") as source:
            for repetition in range(PROBE_RUNS + 1):
                for kind in kinds:
                    if target.exists():
                        target.unlink()
                    common.settle()
                    write_seconds, close_seconds = native_write(source, package, target, kind)
                    if repetition:
                        results[kind][0].append(write_seconds)
                        results[kind][1].append(close_seconds)
    finally:
        if target.exists():
            target.unlink()
    rows = ["| native (no Wine), 1 GiB | write, ms | close (and read-back), ms |",
            "|---|---:|---:|"]
    for kind in kinds:
        writes, closes = results[kind]
        rows.append(f"| {kind} | {ms(writes)} | {ms(closes)} |")
    return rows


def ms(values):
    return (f"{statistics.median(values) * 1000:.0f} "
            f"({min(values) * 1000:.0f}–{max(values) * 1000:.0f})")


# Bytes per write(2) of the native kinds that do not write all at once.
NATIVE_STEPS = {"write(2) of 64 KiB": 65536, "write(2) of 1 MiB, read back and compared": MiB}


def native_write(source, package, target, kind):
    if kind == "cp":
        started = time.perf_counter()
        subprocess.run(["cp", "--", str(package), str(target)], check=True)
        return time.perf_counter() - started, 0.0
    mapped = mmap.mmap(source.fileno(), 0, prot=mmap.PROT_READ)
    view = memoryview(mapped)
    try:
        started = time.perf_counter()
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        if "ftruncate" in kind:
            os.ftruncate(fd, 0)
        step = NATIVE_STEPS.get(kind, len(view))
        done = 0
        while done < len(view):
            done += os.write(fd, view[done:done + step])
        written = time.perf_counter()
        os.close(fd)
        if "read back" in kind and not read_back_matches(target, view, step):
            raise RuntimeError(f"{target} differs from {package}")
        return written - started, time.perf_counter() - written
    finally:
        view.release()
        mapped.close()


def read_back_matches(path, expected, step):
    """True when the file at path holds exactly `expected`, read in reads of
    `step` bytes and compared one by one, as the launcher checks its copy.
    Each piece of `expected` is copied to bytes first: Python compares bytes
    with memcmp but a memoryview item by item, which would cost more than the
    copy."""
    offset = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            part = f.read(step)
            if not part:
                return offset == len(expected)
            if part != bytes(expected[offset:offset + len(part)]):
                return False
            offset += len(part)


def main(argv):
    sections = argv or SECTIONS
    unknown = [s for s in sections if s not in SECTIONS]
    if unknown:
        raise SystemExit(f"explore: unknown section {unknown[0]}; sections: {' '.join(SECTIONS)}")
    started = time.monotonic()
    common.ensure_free_space(OUT, 4 * GiB, "the exploration builds")
    parts = []
    if "alignment" in sections or "probe" in sections:
        bench = common.BenchPrefix()
        try:
            if "alignment" in sections:
                parts += [
                    f"Image file alignment (median (min–max) of {RUNS} runs after a warm-up; "
                    "memory from one more run with /proc sampled every 5 ms):",
                    "", *alignment_section(bench), ""]
            if "probe" in sections:
                parts += [
                    "Write path under Wine: bench/probe.c around the 1 GiB package, median "
                    f"(min–max) of {PROBE_RUNS} rounds after a warm-up round (the order of the "
                    "modes rotating each round); prepare = "
                    "touch/heap step, WriteFile(s) = the writes (or the copy into a file "
                    "mapping), CloseHandle = closing the new file, read-back = opening it "
                    "again read-shared, reading it in reads of the write size and comparing "
                    "each with the resource:",
                    "", *probe_section(bench), ""]
        finally:
            bench.close()
    if "native" in sections:
        parts += [*native_section(), ""]
    text = "\n".join([
        "# Where the extraction time goes",
        "",
        f"Machine: {common.machine_summary()}.",
        "",
        *parts,
        f"Total time: {time.monotonic() - started:.0f} s.",
        "",
    ])
    name = "explore.md" if not argv else f"explore-{'-'.join(sections)}.md"
    (OUT / name).write_text(text)
    print(text)


if __name__ == "__main__":
    main(sys.argv[1:])
