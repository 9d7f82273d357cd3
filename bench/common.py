"""Shared pieces of the benchmark: generated packages, builds around them,
the Wine prefix, timed runs and memory sampling. /usr/bin/python3, stdlib only."""

import os
import shlex
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO))
from tests.e2e import wine  # noqa: E402  (the end-to-end tests' Wine harness)

BENCH_DIR = REPO / "bench"
OUT = REPO / "build" / "bench"
X64 = REPO / "build" / "x64"
X86 = REPO / "build" / "x86"
TOOLS = X64 / "tests" / "e2e" / "tools"

MINGW_GCC = "x86_64-w64-mingw32-gcc"
WINDRES = "x86_64-w64-mingw32-windres"
# Compiler and resource compiler of each build (the CMake preset's name).
TOOLCHAIN = {"x64": (MINGW_GCC, WINDRES),
             "x86": ("i686-w64-mingw32-gcc", "i686-w64-mingw32-windres")}
# The entry symbol of a function `name` (WINAPI, no arguments) in each build.
ENTRY_SYMBOL = {"x64": "{}", "x86": "_{}@0"}
FINISH_IMAGE = REPO / "cmake" / "finish-image.py"

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
PACKAGE_NAME = "VeltraneWindowsDriverInstaller.msi"
MiB = 1024 * 1024
GiB = 1024 * MiB

# The stand-in engine's exit code for the second msiexec call (the install):
# a failure, so the launcher leaves its copy of the package for checking.
ENGINE_EXIT_CODE = 1603

# Where things go inside the prefix. TEMP ends with a backslash, as the
# system's own temporary path does.
TEMP_WINDOWS = "C:\\bench-temp\\"
TIMER_WINDOWS = "C:\\bench\\timer.exe"
RESULT_WINDOWS = "C:\\bench\\result.txt"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def size_label(size):
    if size % GiB == 0:
        return f"{size // GiB} GiB"
    if size % MiB == 0:
        return f"{size // MiB} MiB"
    return f"{size / 1024:.0f} KiB" if size >= 1024 else f"{size} B"


def short_label(size):
    return size_label(size).replace(" ", "").replace("iB", "")


def run_quiet(argv, **kwargs):
    """Runs a build step; its output is shown only when it fails."""
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode("utf-8", "replace"))
        raise RuntimeError(f"failed ({result.returncode}): {shlex.join(map(str, argv))}")
    return result


def newer(target, *sources):
    """True when target exists and is at least as new as every source."""
    if not Path(target).exists():
        return False
    built = Path(target).stat().st_mtime
    return all(Path(s).stat().st_mtime <= built for s in sources)


def ensure_free_space(path, needed_bytes, what):
    Path(path).mkdir(parents=True, exist_ok=True)
    free = shutil.disk_usage(path).free
    if free < needed_bytes:
        raise SystemExit(f"bench: {what} needs about {needed_bytes / GiB:.1f} GiB in {path}, "
                         f"{free / GiB:.1f} GiB free")


# -- packages ----------------------------------------------------------------

def package(size):
    """build/bench/package-<size>.msi: the compound-file signature, then
    random bytes. Kept between runs; made again only when it is not whole."""
    path = OUT / f"package-{short_label(size)}.msi"
    if path.exists() and path.stat().st_size == size:
        with open(path, "rb") as f:
            if f.read(8) == SIGNATURE:
                return path, 0.0
    started = time.monotonic()
    OUT.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as f:
        f.write(SIGNATURE)
        left = size - len(SIGNATURE)
        while left > 0:
            chunk = min(left, 16 * MiB)
            f.write(os.urandom(chunk))
            left -= chunk
    partial.replace(path)
    return path, time.monotonic() - started


# -- builds ------------------------------------------------------------------

def build_launcher(package_path, build_dir, preset="x64"):
    """The launcher around package_path, built by the project's own CMake
    preset (x64 or x86) in build_dir (configure and build are no-ops when up
    to date)."""
    started = time.monotonic()
    # The generated packages are stand-ins whose names no tool can read:
    # configuring asks for the version block's texts.
    run_quiet(["cmake", "--preset", preset, "-B", str(build_dir),
               f"-DSETUP_PACKAGE={package_path}", "-DSETUP_PRODUCT=Bench Drivers",
               "-DSETUP_COMPANY=Veltrane"], cwd=REPO)
    run_quiet(["cmake", "--build", str(build_dir), "--target", "setup"], cwd=REPO)
    return Path(build_dir) / "setup.exe", time.monotonic() - started


def launcher_link_options(build_dir):
    """The launcher's link options as CMake wrote them for build_dir, less its
    objects, output and import library: a program linked with these is laid
    out as the launcher is (alignment, subsystem, entry without C runtime)."""
    link_txt = Path(build_dir) / "CMakeFiles" / "setup.dir" / "link.txt"
    rsp = Path(build_dir) / "CMakeFiles" / "setup.dir" / "linkLibs.rsp"
    line = next(l for l in link_txt.read_text().splitlines() if " -o setup.exe" in l)
    tokens = shlex.split(line)[1:]
    options = []
    skip_next = False
    for token in tokens:
        if skip_next:
            skip_next = False
            continue
        if token == "-o":
            skip_next = True
            continue
        if not token.startswith("-") or token.startswith(("-O", "-D")):
            continue  # objects, response files
        if "whole-archive" in token or "--out-implib" in token or "-Map=" in token:
            continue
        options.append(token)
    libraries = shlex.split(rsp.read_text()) if rsp.exists() else ["-lkernel32"]
    if not any(t.startswith("-Wl,-e,") for t in options):
        raise RuntimeError(f"no entry option in {link_txt}; the launcher's link line changed")
    return options, libraries


def build_windows_program(source, entry, package_path, out_exe, link_options, libraries,
                          work_dir, compile_options=("-Os",), arch="x64", page_aligned=None):
    """Links source with the package as resource MSI/129, using the given
    link options with the entry replaced by the function entry (None: keep
    the C runtime's entry and drop -nostartfiles), for the arch build (x64 or
    x86). The image is then finished as the launcher's is (finish-image.py:
    read-only resources, and their page-aligned start checked where
    page_aligned says so; by default for x86, as the launcher's).
    Intermediate files go to work_dir."""
    gcc, windres = TOOLCHAIN[arch]
    started = time.monotonic()
    work = Path(work_dir)
    work.mkdir(parents=True, exist_ok=True)
    rc = work / "package.rc"
    res = work / "package.res"
    obj = work / (Path(source).stem + ".o")
    rc_path = str(package_path).replace("\\", "\\\\").replace('"', '""')
    rc.write_text(f'129 MSI "{rc_path}"\n')
    run_quiet([windres, "-O", "coff", str(rc), str(res)])
    run_quiet([gcc, "-Wall", "-Wextra", "-Werror", "-municode", *compile_options,
               "-c", str(source), "-o", str(obj)])
    options = []
    for token in link_options:
        if token.startswith("-Wl,-e,"):
            if entry is None:
                continue
            token = "-Wl,-e," + ENTRY_SYMBOL[arch].format(entry)
        if entry is None and token == "-nostartfiles":
            continue
        options.append(token)
    run_quiet([gcc, *options, str(obj), str(res), "-o", str(out_exe), *libraries])
    res.unlink()
    if page_aligned is None:
        page_aligned = arch == "x86"
    finish = ["--page-aligned-resources"] if page_aligned else []
    run_quiet([sys.executable, str(FINISH_IMAGE), str(out_exe), *finish])
    return Path(out_exe), time.monotonic() - started


def launcher_constant(name):
    """A size constant of the launcher's package stage (package_stage.h),
    such as kPackageChunkSize (bytes per write of the copy) or
    kPackageViewSize (bytes per view of its read-back)."""
    header = REPO / "installer" / "setup" / "package" / "package_stage.h"
    for line in header.read_text().splitlines():
        if line.startswith(f"constexpr uint32_t {name} = "):
            value = 1
            for factor in line.split("=", 1)[1].rstrip(";").split("*"):
                value *= int(factor.strip())
            return value
    raise RuntimeError(f"no {name} in {header}")


def launcher_chunk_size():
    return launcher_constant("kPackageChunkSize")


def section_table(exe):
    """Markdown rows of the image's section table (pefile)."""
    import pefile  # python3-pefile, installed by make deps
    image = pefile.PE(str(exe), fast_load=True)
    rows = ["| section | virtual address | virtual size | file offset | size in file "
            "| characteristics |", "|---|---:|---:|---:|---:|---|"]
    for section in image.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        rows.append(f"| {name} | 0x{section.VirtualAddress:X} | {section.Misc_VirtualSize} "
                    f"| 0x{section.PointerToRawData:X} | {section.SizeOfRawData} "
                    f"| 0x{section.Characteristics:08X} |")
    image.close()
    return rows


def build_probe(package_path, launcher_dir, work_dir, arch="x64"):
    """bench/probe.c around package_path, laid out as the launcher of
    launcher_dir but with the C runtime's entry (wmain)."""
    probe = Path(work_dir) / "probe.exe"
    if not newer(probe, package_path, BENCH_DIR / "probe.c", FINISH_IMAGE):
        options, libraries = launcher_link_options(launcher_dir)
        # The 32-bit launcher's linker script leaves out what the C runtime's
        # start needs; without it, whole pages in the file keep the resource
        # section mapped from the file, as the launcher's is.
        options = ["-Wl,--file-alignment,4096" if o.startswith("-Wl,--file-alignment,") else o
                   for o in options if not o.startswith("-Wl,-T,")]
        build_windows_program(BENCH_DIR / "probe.c", None, package_path, probe, options,
                              libraries, Path(work_dir) / "obj", compile_options=("-O2",),
                              arch=arch)
    return probe


def probe_run(bench, probe, mode):
    """Runs the probe directly (no timer: it times its own steps) and returns
    its step times in seconds by name."""
    if bench.result_unix.exists():
        bench.result_unix.unlink()
    code = bench.prefix.run(bench.windows_path(probe), f"{RESULT_WINDOWS} {mode}",
                            temp=TEMP_WINDOWS, timeout=600)
    if code != 0:
        raise RuntimeError(f"probe {mode} failed with {code}")
    return {k: float(v) for k, v in
            (f.split("=") for f in bench.result_unix.read_text().split()[1:])}


def file_alignment(exe):
    with open(exe, "rb") as f:
        header = f.read(4096)
    pe = int.from_bytes(header[0x3C:0x40], "little")
    # Optional header starts 24 bytes into the PE header; FileAlignment at +36.
    return int.from_bytes(header[pe + 24 + 36:pe + 24 + 40], "little")


def build_timer(out_dir):
    exe = Path(out_dir) / "timer.exe"
    source = BENCH_DIR / "timer.c"
    if not newer(exe, source):
        Path(out_dir).mkdir(parents=True, exist_ok=True)
        run_quiet([MINGW_GCC, "-Wall", "-Wextra", "-Werror", "-municode", "-static", "-O2",
                   str(source), "-o", str(exe)])
    return exe


# -- Wine --------------------------------------------------------------------

class ImageNotStarted(RuntimeError):
    """Wine could not start the image at all (the timer's CreateProcessW
    failed)."""


# The timer's own exit codes, for a run it could not make (bench/timer.c).
TIMER_FAILURES = range(0xBE000001, 0xBE000005)


class BenchPrefix:
    """One Wine prefix for all runs: the stand-in msiexec, the timer, and a
    temporary directory whose Unix side the benchmark can reach."""

    def __init__(self, arch="x64"):
        """arch: the build whose launcher runs here (x86: under 32-bit Wine,
        with a 32-bit stand-in msiexec in the 32-bit system folder)."""
        for path in (TOOLS / "e2e_runner.exe", TOOLS / "msiexec.exe"):
            if not path.exists():
                raise SystemExit(f"bench: {path} is missing: run `make x64` first")
        self.prefix = wine.WinePrefix(TOOLS / "e2e_runner.exe")
        self.prefix.create()
        if arch == "x86":
            _, standin = wine.build_tools(OUT / "tools-x86", machine="i686")
            self.prefix.install_standin(standin, bits=32)
        else:
            self.prefix.install_standin(TOOLS / "msiexec.exe")
        self.prefix.put_file(build_timer(OUT / "tools"), TIMER_WINDOWS)
        self.temp_unix = Path(self.prefix.mkdir(TEMP_WINDOWS))
        self.copy_unix = self.temp_unix / PACKAGE_NAME
        self.result_unix = Path(self.prefix.unix_path(RESULT_WINDOWS))

    def close(self):
        self.prefix.close()

    def windows_path(self, unix_path):
        return self.prefix.windows_path(unix_path)

    def clear_temp(self):
        for entry in self.temp_unix.iterdir():
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()

    def timed_run(self, exe_unix, arguments="", standin=True):
        """Runs exe through the timer. Returns (exit code, seconds inside Wine
        from CreateProcess to the end of the process, seconds on the Unix side
        around the whole harness run)."""
        if standin:
            self.prefix.reset_standin()
            self.prefix.set_exit_code(2, ENGINE_EXIT_CODE)
        if self.result_unix.exists():
            self.result_unix.unlink()
        command = f'{RESULT_WINDOWS} "{self.windows_path(exe_unix)}"'
        if arguments:
            command += " " + arguments
        started = time.perf_counter()
        code = self.prefix.run(TIMER_WINDOWS, command, temp=TEMP_WINDOWS, standin=standin,
                               timeout=600)
        unix_seconds = time.perf_counter() - started
        if code in TIMER_FAILURES and not self.result_unix.exists():
            raise ImageNotStarted(f"{exe_unix.name} ({exe_unix.stat().st_size / MiB:.0f} MiB) "
                                  f"could not be started (timer code {code:#x})")
        reported_code, seconds = self.result_unix.read_text().split()
        if int(reported_code) != code:
            raise RuntimeError(f"timer saw exit code {reported_code}, runner {code}")
        return code, float(seconds), unix_seconds

    def calls(self):
        return self.prefix.calls()


def cached_fraction(path):
    """Share of the file's pages in the page cache (util-linux fincore)."""
    result = subprocess.run(["fincore", "--bytes", "--noheadings", "--raw", "-o", "RES",
                             str(path)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True)
    try:
        # The last page counts whole.
        return min(1.0, int(result.stdout.split()[0]) / max(1, Path(path).stat().st_size))
    except (IndexError, ValueError):
        return float("nan")


def settle():
    """Writes dirty pages out before a timed step, so that one step's
    write-back does not land in the next; the page cache is left as it is."""
    os.sync()


# -- memory ------------------------------------------------------------------

def _status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            value = value.split()
            if key == "Name":
                fields[key] = value[0] if value else ""
            elif value and value[-1] == "kB":
                fields[key] = int(value[0]) * 1024
    return fields


def _pss(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


class MemorySampler:
    """Samples /proc every `interval` seconds while active. Processes of the
    prefix are those whose environment names it (WINEPREFIX=...).

    Reports the peak RSS (VmHWM, kept by the kernel, so no peak is missed
    while the process lives) and the largest anonymous and file-backed RSS
    seen of the process running `exe_name`, and the largest sum of PSS over
    all the prefix's processes (wineserver and Wine's services included).
    PSS splits each shared page among the processes mapping it: the child
    the launcher forks to start msiexec briefly maps all of the launcher's
    pages, which a sum of RSS would count twice."""

    def __init__(self, prefix_path, exe_name, interval=0.005):
        self.marker = f"WINEPREFIX={prefix_path}\0".encode()
        # Wine names the process after its executable; the kernel keeps 15 characters.
        self.name = exe_name[:15]
        self.interval = interval
        self.ours = {}
        self.peak_hwm = 0
        self.peak_anon = 0
        self.peak_file = 0
        self.peak_pss_sum = 0
        self.samples_with_target = 0
        self._stop = threading.Event()
        self._thread = None

    def _is_ours(self, pid):
        if pid not in self.ours:
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    environment = f.read()
            except OSError:
                return False
            if not environment:
                return False  # between fork and exec: ask again next time
            self.ours[pid] = self.marker in environment + b"\0"
        return self.ours[pid]

    def sample(self):
        total = 0
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or not self._is_ours(entry):
                continue
            try:
                fields = _status_fields(entry)
            except OSError:
                continue
            total += _pss(entry)
            if fields.get("Name") == self.name:
                self.samples_with_target += 1
                self.peak_hwm = max(self.peak_hwm, fields.get("VmHWM", 0))
                self.peak_anon = max(self.peak_anon, fields.get("RssAnon", 0))
                self.peak_file = max(self.peak_file, fields.get("RssFile", 0))
        self.peak_pss_sum = max(self.peak_pss_sum, total)
        return total

    def _loop(self):
        while not self._stop.is_set():
            self.sample()
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


# -- figures -----------------------------------------------------------------

class Series:
    """Repeated measurements of one quantity, in seconds."""

    def __init__(self):
        self.values = []

    def add(self, value):
        self.values.append(value)

    @property
    def median(self):
        return statistics.median(self.values)

    def ms(self):
        """median (min–max) in milliseconds."""
        return (f"{self.median * 1000:.0f} ({min(self.values) * 1000:.0f}–"
                f"{max(self.values) * 1000:.0f})")


def mib(value):
    return f"{value / MiB:.0f} MiB"


def machine_summary():
    with open("/proc/meminfo") as f:
        total = next(int(l.split()[1]) * 1024 for l in f if l.startswith("MemTotal:"))
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    version = subprocess.run([wine.WINE, "--version"], stdout=subprocess.PIPE,
                             text=True).stdout.strip()
    return (f"{os.cpu_count()} cores (nproc {len(os.sched_getaffinity(0))}), {cpu}; "
            f"{total / GiB:.1f} GiB memory; {version}; Linux {os.uname().release}; "
            f"32-bit Linux programs: {x86_execution()}")


def x86_execution():
    """How this machine runs 32-bit Linux programs (32-bit Wine): natively,
    or through which qemu."""
    kind = subprocess.run([str(REPO / "tests" / "e2e" / "x86-wine.sh"), "kind"],
                          stdout=subprocess.PIPE, text=True).stdout.strip()
    if kind != "qemu":
        return kind
    # With QEMU_VERSION set, qemu prints its version instead of the program's.
    version = subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.PIPE,
                             text=True, env={**os.environ, "QEMU_VERSION": "1"}).stdout
    return f"through {version.splitlines()[0] if version else 'qemu'} (binfmt_misc)"
