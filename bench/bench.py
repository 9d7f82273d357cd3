"""make bench: how long the launcher takes to put its package into %TEMP%,
against what Wine needs to start an image of that size and what cp needs to
copy the package; the memory it uses meanwhile; what it adds to a package.

Prints the tables and writes them, with the method, to build/bench/results.md.
"""

import filecmp
import subprocess
import time

import common
from common import GiB, MiB, OUT, Series, log, mib, size_label, short_label

# The product: the 32-bit launcher, run under 32-bit Wine.
ARCH = "x86"
BUILD = common.X86
SIZES = (16 * MiB, 256 * MiB, GiB)
# Timed runs of each kind per package size; the kinds take turns, in an
# order that rotates from round to round.
RUNS = 7
LAUNCHER_ARGUMENTS = "/q"


class Subject:
    """One package size: the package, the launcher and the do-nothing program
    built around it, and what was measured."""

    def __init__(self, size, package, launcher, nothing, probe=None, is_sample=False):
        self.size = size
        self.is_sample = is_sample
        self.package = package
        self.launcher = launcher
        self.nothing = nothing
        self.probe = probe               # bench/probe.c around the package, or None
        self.probe_write = Series()      # inside the probe: write and close the copy
        self.probe_verify = Series()     # inside the probe: read it back (ReadFile) and compare
        self.probe_map = Series()        # the same through a read-only mapping
        self.launcher_wine = Series()    # inside Wine, through the timer
        self.launcher_unix = Series()    # Unix side, around the harness run
        self.nothing_wine = Series()
        self.cp = Series()
        self.memory = None
        self.cached = []  # page-cache share of (launcher, package) before timed runs

    @property
    def label(self):
        return f"{size_label(self.size)} (sample)" if self.is_sample else size_label(self.size)


def prepare(build_times):
    """Packages and builds, reused from earlier runs when still current."""
    subjects = []
    # The sample package with the launcher `make all` built: the fixed cost of
    # a run (two stand-in engine starts) with next to nothing to extract.
    sample_package = BUILD / "package" / "VeltraneUsbDrivers.msi"
    options, libraries = common.launcher_link_options(BUILD)
    nothing = build_nothing(sample_package, OUT / f"nothing-{ARCH}-sample", options, libraries,
                            build_times, "sample")
    subjects.append(Subject(sample_package.stat().st_size, sample_package,
                            BUILD / "setup.exe", nothing, is_sample=True))
    chunk = common.launcher_chunk_size()

    for size in SIZES:
        label = short_label(size)
        launcher_dir = OUT / f"launcher-{ARCH}-{label}"
        missing = 0 if (launcher_dir / "setup.exe").exists() else 5 * size
        common.ensure_free_space(OUT, missing + 2 * size, f"the {size_label(size)} builds")
        package, seconds = common.package(size)
        if seconds:
            build_times.append(f"package {label}: generated in {seconds:.1f} s")
        launcher, seconds = common.build_launcher(package, launcher_dir, preset=ARCH)
        build_times.append(f"launcher {label}: cmake configure + build {seconds:.1f} s")
        options, libraries = common.launcher_link_options(launcher_dir)
        nothing = build_nothing(package, OUT / f"nothing-{ARCH}-{label}", options, libraries,
                                build_times, label)
        if common.file_alignment(nothing) != common.file_alignment(launcher):
            raise RuntimeError(f"{nothing} is not laid out as {launcher}")
        started = time.monotonic()
        probe = common.build_probe(package, launcher_dir, OUT / f"probe-{ARCH}-{label}",
                                   arch=ARCH)
        build_times.append(f"probe {label}: {time.monotonic() - started:.1f} s")
        subjects.append(Subject(size, package, launcher, nothing, (probe, chunk)))
    return subjects


def build_nothing(package, work_dir, options, libraries, build_times, label):
    exe = work_dir / "nothing.exe"
    source = common.BENCH_DIR / "nothing.c"
    flags = work_dir / "link-options.txt"
    wanted = " ".join(options + libraries)
    if (common.newer(exe, package, source, common.FINISH_IMAGE) and flags.exists()
            and flags.read_text() == wanted):
        return exe
    _, seconds = common.build_windows_program(source, "NothingEntry", package, exe, options,
                                              libraries, work_dir, arch=ARCH)
    flags.write_text(wanted)
    build_times.append(f"do-nothing {label}: windres + compile + link {seconds:.1f} s")
    return exe


def check_copy(bench, subject, compare_bytes):
    calls = bench.calls()
    if len(calls) != 2:
        raise RuntimeError(f"{subject.launcher}: expected 2 msiexec calls, saw {len(calls)}")
    if calls[1]["files"].get(common.PACKAGE_NAME) != subject.size:
        raise RuntimeError(f"{subject.launcher}: package copy incomplete when the engine started")
    if bench.copy_unix.stat().st_size != subject.size:
        raise RuntimeError(f"{subject.launcher}: package copy has the wrong size")
    if compare_bytes and not filecmp.cmp(subject.package, bench.copy_unix, shallow=False):
        raise RuntimeError(f"{subject.launcher}: package copy differs from the package")


def run_launcher(bench, subject, check_bytes):
    bench.clear_temp()
    common.settle()
    code, wine_seconds, unix_seconds = bench.timed_run(subject.launcher, LAUNCHER_ARGUMENTS)
    if code != common.ENGINE_EXIT_CODE:
        raise RuntimeError(f"{subject.launcher} exited with {code}, "
                           f"expected the engine's {common.ENGINE_EXIT_CODE}")
    check_copy(bench, subject, check_bytes)
    return wine_seconds, unix_seconds


def run_nothing(bench, subject):
    bench.clear_temp()
    common.settle()
    code, wine_seconds, _ = bench.timed_run(subject.nothing, standin=False)
    if code != 0:
        raise RuntimeError(f"{subject.nothing} exited with {code}")
    return wine_seconds


def run_cp(bench, subject):
    bench.clear_temp()
    common.settle()
    started = time.perf_counter()
    subprocess.run(["cp", "--", str(subject.package), str(bench.copy_unix)], check=True)
    seconds = time.perf_counter() - started
    if bench.copy_unix.stat().st_size != subject.size:
        raise RuntimeError("cp made a copy of the wrong size")
    return seconds


def measure(bench, subject):
    log(f"bench: {subject.label}: {RUNS} runs each")
    # Untimed: brings the images into the page cache and Wine's caches up to
    # speed, as for any run after the first.
    run_launcher(bench, subject, check_bytes=True)
    run_nothing(bench, subject)
    def launcher():
        subject.cached.append((common.cached_fraction(subject.launcher),
                               common.cached_fraction(subject.package)))
        wine_seconds, unix_seconds = run_launcher(bench, subject, check_bytes=False)
        subject.launcher_wine.add(wine_seconds)
        subject.launcher_unix.add(unix_seconds)

    steps = [launcher,
             lambda: subject.nothing_wine.add(run_nothing(bench, subject)),
             lambda: subject.cp.add(run_cp(bench, subject))]
    for round_number in range(RUNS):
        first = round_number % len(steps)
        for step in steps[first:] + steps[:first]:
            step()
    # Memory in a run of its own, so that sampling /proc costs the timed runs nothing.
    bench.clear_temp()
    common.settle()
    with common.MemorySampler(bench.prefix.path, subject.launcher.name) as sampler:
        code, _, _ = bench.timed_run(subject.launcher, LAUNCHER_ARGUMENTS)
    if code != common.ENGINE_EXIT_CODE or sampler.samples_with_target == 0:
        raise RuntimeError(f"memory run of {subject.launcher} failed (code {code}, "
                           f"{sampler.samples_with_target} samples)")
    subject.memory = sampler
    bench.clear_temp()
    if subject.probe:
        measure_read_back(bench, subject)


def read_back_modes():
    """The probe's modes for the two ways of reading the copy back: ReadFile
    into a buffer of the write size (the earlier launcher's), and views of a
    read-only mapping (the launcher's now)."""
    chunk = common.launcher_chunk_size()
    view = common.launcher_constant("kPackageViewSize")
    return f"chunk:{chunk},new,readback", f"chunk:{chunk},new,readmap:{view}"


def measure_read_back(bench, subject):
    """The launcher's write and its read-back timed apart, from inside the
    probe, which writes and checks the copy the way the launcher does; the
    read-back both ways, taking turns."""
    probe, _ = subject.probe
    by_read, by_mapping = read_back_modes()
    for attempt in range(RUNS + 1):
        for mode in ((by_read, by_mapping) if attempt % 2 else (by_mapping, by_read)):
            bench.clear_temp()
            common.settle()
            fields = common.probe_run(bench, probe, mode)
            if bench.copy_unix.stat().st_size != subject.size:
                raise RuntimeError(f"probe {mode} wrote a copy of the wrong size")
            if attempt == 0:
                continue  # the first run of each warms up
            if mode == by_read:
                subject.probe_write.add(fields["create"] + fields["write"] + fields["close"])
                subject.probe_verify.add(fields["verify"])
            else:
                subject.probe_map.add(fields["verify"])
    bench.clear_temp()


def idle_memory(bench, subject):
    """ΣPSS of the prefix between runs: wineserver and Wine's services, which
    stay up after a first run."""
    run_nothing(bench, subject)
    return common.MemorySampler(bench.prefix.path, "-").sample()


def table(subjects, tiny_start):
    header = ("| package | launcher run, ms | do-nothing run, ms | cp, ms "
              "| extraction = launcher − do-nothing, ms | size-dependent part (− sample row), ms "
              "| size-dependent part ÷ cp (goal ≤ 1.5) | extraction ÷ cp "
              "| private memory (peak anon RSS) "
              "| launcher ÷ (tiny start + cp) | launcher run from Unix side, ms "
              "| launcher peak RSS (anon / file) | peak RSS − package | Wine processes ΣPSS peak |")
    rows = [header, "|---|" + "---:|" * (header.count("|") - 2)]
    fixed = subjects[0].launcher_wine.median - subjects[0].nothing_wine.median
    for s in subjects:
        extraction = s.launcher_wine.median - s.nothing_wine.median
        variable = "—" if s.is_sample else f"{(extraction - fixed) * 1000:.0f}"
        variable_ratio = "—" if s.is_sample else f"{(extraction - fixed) / s.cp.median:.2f}"
        ratio = extraction / s.cp.median if s.cp.median > 0 else float("nan")
        goal = s.launcher_wine.median / (tiny_start + s.cp.median)
        m = s.memory
        rows.append(
            f"| {s.label} | {s.launcher_wine.ms()} | {s.nothing_wine.ms()} | {s.cp.ms()} "
            f"| {extraction * 1000:.0f} | {variable} | {variable_ratio} | {ratio:.1f} "
            f"| {mib(m.peak_anon)} | {goal:.2f} | {s.launcher_unix.ms()} "
            f"| {mib(m.peak_hwm)} ({mib(m.peak_anon)} / {mib(m.peak_file)}) "
            f"| {(m.peak_hwm - s.size) / MiB:+.0f} MiB | {mib(m.peak_pss_sum)} |")
    return "\n".join(rows)


def not_measured_lines(unmeasured):
    """Why a package size has no row: through Debian 12's qemu 7.2 a 32-bit
    process does not find room for an image of 256 MiB or more (the same run
    works natively and through Debian 13's qemu 10, see bench/run.sh)."""
    if not unmeasured:
        return []
    lines = [f"- {s.label}: not measured on this machine: {error}. 32-bit programs run "
             f"{common.x86_execution()} here; a 32-bit process there has no free range of "
             "address space for an image that large (the same run works where the kernel "
             "runs 32-bit programs itself, and through Debian 13's qemu 10)."
             for s, error in unmeasured]
    return [*lines, ""]


def read_back_table(subjects):
    rows = ["| package | write: create, WriteFile calls, close, ms "
            "| read-back by ReadFile: open, ReadFile calls, memcmp, close, ms | ÷ cp "
            "| read-back by mapping: open, size, mapping, views, memcmp, close, ms | ÷ cp "
            "| mapping ÷ ReadFile |", "|---|---:|---:|---:|---:|---:|---:|"]
    for s in subjects:
        if not s.probe:
            continue
        rows.append(f"| {s.label} | {s.probe_write.ms()} "
                    f"| {s.probe_verify.ms()} | {s.probe_verify.median / s.cp.median:.2f} "
                    f"| {s.probe_map.ms()} | {s.probe_map.median / s.cp.median:.2f} "
                    f"| {s.probe_map.median / s.probe_verify.median:.2f} |")
    return "\n".join(rows)


def residency(subjects):
    parts = []
    for s in subjects:
        launcher = min(c[0] for c in s.cached)
        package = min(c[1] for c in s.cached)
        parts.append(f"{s.label} {launcher:.0%} / {package:.0%}")
    return "; ".join(parts)


def overhead_lines():
    lines = []
    for arch, build, goal in (("x86", common.X86, 20 * 1024), ("x64", common.X64, None)):
        exe = build / "setup.exe"
        package = build / "package" / "VeltraneUsbDrivers.msi"
        overhead = exe.stat().st_size - package.stat().st_size
        verdict = ""
        if goal is not None:
            verdict = f" — goal ≤ {goal // 1024} KiB: {'met' if overhead <= goal else 'NOT met'}"
        lines.append(f"- {arch}: build/{arch}/setup.exe {exe.stat().st_size} bytes − package "
                     f"{package.stat().st_size} bytes = {overhead} bytes "
                     f"({overhead / 1024:.1f} KiB){verdict}")
    sizes = []
    for size in SIZES:
        exe = OUT / f"launcher-{ARCH}-{short_label(size)}" / "setup.exe"
        sizes.append(f"{size_label(size)} {exe.stat().st_size - size} bytes")
    lines.append(f"- {ARCH} around the benchmark's packages: " + "; ".join(sizes))
    return lines


def main():
    started = time.monotonic()
    build_times = []
    subjects = prepare(build_times)
    for line in build_times:
        log("bench: build:", line)
    bench = common.BenchPrefix(ARCH)
    # Packages whose launcher Wine cannot start here, with the reason.
    unmeasured = []
    try:
        idle = idle_memory(bench, subjects[0])
        for subject in list(subjects):
            try:
                measure(bench, subject)
            except common.ImageNotStarted as error:
                if subject.is_sample:
                    raise
                log(f"bench: {subject.label}: not measured: {error}")
                unmeasured.append((subject, error))
                subjects.remove(subject)
    finally:
        bench.close()
    tiny_start = subjects[0].nothing_wine.median
    options, libraries = common.launcher_link_options(BUILD)
    chunk = common.launcher_chunk_size()
    view = common.launcher_constant("kPackageViewSize")
    by_read, by_mapping = read_back_modes()
    elapsed = time.monotonic() - started

    text = "\n".join([
        "# Launcher benchmark",
        "",
        f"Machine: {common.machine_summary()}.",
        "",
        table(subjects, tiny_start),
        "",
        *not_measured_lines(unmeasured),
        f"The launcher's write and read-back apart, both ways of reading back on the same "
        f"copies (bench/probe.c, modes `{by_read}` and `{by_mapping}` taking turns, timed "
        f"inside the process; median (min–max) of {RUNS} runs each after a warm-up):",
        "",
        read_back_table(subjects),
        "",
        "Launcher size overhead (exe − package):",
        "",
        *overhead_lines(),
        "",
        f"Section table of build/{ARCH}/setup.exe:",
        "",
        *common.section_table(BUILD / "setup.exe"),
        "",
        "How it is measured:",
        "",
        f"- Times are median (min–max) of {RUNS} runs; launcher, do-nothing and cp take "
        "turns (order rotating each round), after one untimed warm-up run of each program.",
        "- what the launcher does in a run: it finds its package resource (mapped with the "
        "image), deletes whatever stands at the copy's path in %TEMP%, creates the copy with "
        f"CREATE_NEW, writes it from the mapped resource in WriteFile calls of {chunk} bytes "
        "(kPackageChunkSize), closes it, opens it again with GENERIC_READ and FILE_SHARE_READ "
        "only, checks its size (GetFileSizeEx) and compares it with the resource through a "
        f"read-only mapping (CreateFileMappingW) in views of {view} bytes (kPackageViewSize; "
        "MapViewOfFile, memcmp, UnmapViewOfFile), and keeps that handle open while it runs "
        "the removal and the engine (two stand-in msiexec starts).",
        f"- launcher run: the 32-bit product ({ARCH} preset, under 32-bit Wine) built around "
        "the package, "
        f"started with `{LAUNCHER_ARGUMENTS}` in one Wine prefix, timed inside Wine by "
        "bench/timer.c from just before CreateProcessW to the end of the process. The stand-in "
        f"msiexec exits at once: 0 for the removal call, {common.ENGINE_EXIT_CODE} for the "
        "engine call, so the copy stays; it is checked (size, and bytes in the warm-up run) "
        "and deleted from the Unix side between runs, so every run writes a new file.",
        "- launcher run from Unix side: the same runs timed around the harness's "
        "WinePrefix.run() (adds the wine64 start of the harness's runner and the timer).",
        "- do-nothing run: bench/nothing.c (its entry only calls ExitProcess(0)) linked with "
        "the launcher's own link options (from its CMake link line: linker script, file "
        "alignment) around the same package as resource MSI/129 and finished as the launcher "
        "is (cmake/finish-image.py), timed the same way: Wine's cost of starting that image.",
        "- cp: `cp` of the package into the prefix's temporary directory, Unix side; the "
        "target is deleted before each copy. Nothing is dropped from the page cache (the "
        "package and images are cached after the warm-up, as on a machine that just "
        "downloaded them); `sync` runs, untimed, before every timed step.",
        "- extraction = launcher − do-nothing medians; it includes the two stand-in msiexec "
        "starts, see the sample row for that fixed part. tiny start = do-nothing run around "
        f"the sample package ({tiny_start * 1000:.0f} ms). size-dependent part = extraction "
        "less the sample row's extraction.",
        "- write and read-back: bench/probe.c linked as the do-nothing program (but with the "
        "C runtime's entry) around the same package; write = CreateFileW (CREATE_NEW, after "
        "deleting the old copy), the WriteFile calls and CloseHandle; read-back = CreateFileW "
        "(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), the ReadFile calls with a memcmp "
        "each, and CloseHandle; by mapping = the same CreateFileW, GetFileSizeEx, "
        "CreateFileMappingW (PAGE_READONLY), per view MapViewOfFile, memcmp and "
        "UnmapViewOfFile, then both CloseHandle.",
        "- memory: a separate launcher run with /proc sampled every 5 ms. launcher peak RSS is "
        "the process's VmHWM (kept by the kernel); anon / file are the largest RssAnon and "
        "RssFile seen (file pages include the mapped image and the read-back's views); "
        "private memory is that largest RssAnon. ΣPSS: the largest sum of "
        "proportional set sizes (smaps_rollup) over every process of the prefix (wineserver "
        "and Wine's services included; a page shared by n processes counts 1/n in each); "
        f"idle prefix between runs: {mib(idle)}.",
        "- page cache: this machine pages out file data left untouched for about a minute "
        "(DAMON); share of launcher image / package in the page cache before the timed runs "
        f"(lowest seen): {residency(subjects)}.",
        f"- Link options of launcher and do-nothing program (entry NothingEntry for the "
        f"latter): `{' '.join(options)}`.",
        "",
        "Build times (this run; reused builds are not rebuilt):",
        "",
        *[f"- {line}" for line in build_times],
        "",
        f"Total benchmark time: {elapsed:.0f} s.",
        "",
    ])
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "results.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
