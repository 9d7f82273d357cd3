"""bench/run.sh --explore [SECTION...]: where the launcher's time goes.

1. layout: the do-nothing program around the 256 MiB package, 32 bits,
   linked with the product's image layout (cmake/compact-i386.ld), with the
   layout before it (LAYOUT_BEFORE) and with the toolchain's own at 512 and
   4096 bytes of file alignment: whether Wine maps the package or reads it.
2. probe: the write path under Wine: bench/probe.c around the 1 GiB package
   writes it to %TEMP% in several ways (chunk sizes, reading it back as the
   launcher does) and times each step from inside.
3. native: the same writes natively (Python, no Wine) and cp, for comparison.

Without SECTION, all three. Needs the builds of `bench/run.sh` (it makes them
when missing). Writes build/bench/explore.md.
"""

import mmap
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import common
from common import GiB, MiB, OUT, Series, log, mib

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
SECTIONS = ("layout", "probe", "native")
# The last commit whose 32-bit layout padded .text to the page where .rsrc
# starts (the code before the package); its linker script is read from git.
LAYOUT_BEFORE = "6b36ec7"


def prepared(size):
    package, _ = common.package(size)
    launcher, _ = common.build_launcher(package, OUT / f"launcher-{common.short_label(size)}")
    return package, launcher


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


def layout_section():
    """The do-nothing program's start around the 256 MiB package under 32-bit
    Wine, in each layout: time, private and file-backed memory."""
    size = 256 * MiB
    package, _ = common.package(size)
    launcher_dir = OUT / f"launcher-x86-{common.short_label(size)}"
    common.build_launcher(package, launcher_dir, preset="x86")
    options, libraries = common.launcher_link_options(launcher_dir)
    work = EXPLORE / "layout-256M"
    work.mkdir(parents=True, exist_ok=True)
    before_script = work / f"compact-i386-{LAYOUT_BEFORE}.ld"
    before_script.write_bytes(subprocess.run(
        ["git", "show", f"{LAYOUT_BEFORE}:cmake/compact-i386.ld"], cwd=common.REPO,
        check=True, stdout=subprocess.PIPE).stdout)

    def script(path):
        return [o if not o.startswith("-Wl,-T,") else f"-Wl,-T,{path}" for o in options]

    def toolchain(alignment):
        return [o if not o.startswith("-Wl,--file-alignment,") else
                f"-Wl,--file-alignment,{alignment}" for o in options if not o.startswith("-Wl,-T,")]

    layouts = (
        ("as built", options, True),
        (f"before ({LAYOUT_BEFORE})", script(before_script), True),
        ("toolchain's, 512-byte file alignment", toolchain(512), False),
        ("toolchain's, 4 KiB file alignment", toolchain(4096), False),
    )
    subjects = []
    for index, (name, link_options, page_aligned) in enumerate(layouts):
        nothing = work / f"nothing-{index}.exe"
        common.build_windows_program(common.BENCH_DIR / "nothing.c", "NothingEntry", package,
                                     nothing, link_options, libraries, work / f"obj-{index}",
                                     arch="x86", page_aligned=page_aligned)
        subjects.append((name, nothing))

    rows = ["| 256 MiB package, 32-bit do-nothing, layout | file | `.rsrc` file offset "
            "| start, ms | peak RSS (private / file-backed) |", "|---|---:|---:|---:|---:|"]
    bench = common.BenchPrefix(arch="x86")
    try:
        for name, nothing in subjects:
            log(f"explore: layout {name}")
            series, memory = timed_series(bench, nothing, RUNS, False, 0)
            offset = resource_offset(nothing)
            where = f"0x{offset:X}" + (" (a page)" if offset % 4096 == 0 else " (not a page)")
            rows.append(f"| {name} | {nothing.stat().st_size - size:,} bytes + package "
                        f"| {where} | {series.ms()} | {memory_text(memory)} |")
    finally:
        bench.close()
    return rows


def resource_offset(exe):
    """The file offset of the section that holds the resource directory."""
    import pefile  # python3-pefile, installed by make deps
    image = pefile.PE(str(exe), fast_load=True)
    rva = image.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
    offset = image.get_section_by_rva(rva).PointerToRawData
    image.close()
    return offset


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
    if "layout" in sections:
        parts += [
            f"Image layout (median (min–max) of {RUNS} runs after a warm-up; memory from one "
            "more run with /proc sampled every 5 ms):",
            "", *layout_section(), ""]
    if "probe" in sections:
        bench = common.BenchPrefix()
        try:
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
