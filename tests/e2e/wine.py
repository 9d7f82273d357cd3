r"""Wine harness for end-to-end tests of the setup launcher (x64 and x86 builds).

Runs Windows programs inside a throwaway Wine prefix and reports their full
32-bit exit codes. Python 3 standard library only; run with /usr/bin/python3.

Helper programs (tests/e2e/tools, built by the x64 CMake build, or by
build_tools() below when no build tree is at hand):
  e2e_runner.exe  starts one command line inside Wine, prints its exit code
  msiexec.exe     stand-in msiexec that records every call under C:\standin

The prefix is a 64-bit one; the 64-bit runner starts 32-bit programs as well
(Wine hands them to its 32-bit loader). A 32-bit launcher finds msiexec.exe in
the 32-bit system folder, syswow64: install_standin(exe, bits=32) puts a
32-bit stand-in there (build_tools(dir, machine="i686") compiles one).

Typical use from a unittest module:

    import wine

    runner, standin = wine.build_tools("/tmp/e2e-tools")  # or the CMake outputs

    with wine.WinePrefix(runner) as prefix:               # one prefix per test run
        prefix.put_file("build-x64/setup.exe", r"C:\Temp Dir\setup.exe")
        prefix.mkdir(r"C:\Temp Dir\John Smith")

        # Stand-in msiexec: every call is recorded, exit codes are planned.
        prefix.install_standin(standin)
        prefix.reset_standin()                            # between cases
        prefix.set_exit_code(2, 3010)                     # second call returns 3010
        code = prefix.run(r"C:\Temp Dir\setup.exe", "/quiet",
                          temp=r"C:\Temp Dir\John Smith", standin=True)
        calls = prefix.calls()                            # list of dicts, call 1 first
        calls[0]["command_line"]   # raw GetCommandLineW() text of call 1
        calls[0]["files"]          # {name: size} of the files in %TEMP% at that moment
        calls[0]["self"]           # full path of the msiexec.exe that ran

        # Real msiexec engine: just leave standin False (the default); the
        # stand-in file may stay in system32, Wine prefers its builtin then.
        code = prefix.run(r"C:\Temp Dir\setup.exe", "")

        # The arguments of the launcher's calls into a Wine DLL:
        prefix.set_relay_filter(["user32.MessageBoxW"])
        job = prefix.start(r"C:\Temp Dir\setup.exe", "/?",
                           wine_env={"WINEDEBUG": "+relay"})
        job.wait()
        job.stderr      # "...Call user32.MessageBoxW(00000000,...,00000030) ret=..."

        # Message boxes: without a display (the default) MessageBoxW returns -1
        # at once without showing anything. Under Xvfb it is a real window:
        with wine.Xvfb() as x:
            job = prefix.start(r"C:\Temp Dir\setup.exe", "", display=x)
            assert x.answer_message_box("Install", timeout=30)
            code = job.wait()

run() returns the launcher's exit code as an int in 0..4294967295 and raises
LaunchError if the program could not be started at all (CreateProcess
failure: missing file, not an executable, ...) and TimeoutError when it does
not finish in time (all Windows processes of the prefix are killed then).

Notes on Wine behaviour the harness takes care of:
  * The command line reaches the launcher byte for byte: it is handed to the
    runner through an environment variable, because Wine re-quotes a Unix argv
    into a Windows command line by its own rules.
  * TEMP/TMP come from the prefix registry, not from the Unix environment; the
    runner sets them in the Windows environment when temp= is given
    (otherwise they are C:\users\<user>\Temp).
  * The launcher's current directory is C:\ unless cwd= is given.
  * A persistent wineserver keeps running between runs (warm run ~0.1 s; no
    `wineserver -w` needed between runs). When the display changes between
    runs the server is restarted (next run ~1.5 s), because a session started
    without a display keeps showing no windows even when DISPLAY is set later.
  * Under Xvfb, MessageBoxW returns about 2 s after the answering key press
    (Wine without a window manager); budget for it in timeouts.
"""

import atexit
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


class Engine:
    """A Wine installation: its loader and server, and the command that
    every call of them goes through (none for the machine's own Wine)."""

    def __init__(self, name, wrapper=()):
        self.name = name
        self.wrapper = list(wrapper)

    def command(self, program, *args):
        return [*self.wrapper, program, *args]


# The machine's Wine 8, and Debian 13's Wine 10 in its own tree, entered
# through tests/e2e/wine10.sh (same paths inside; the current directory
# and the environment pass through).
WINE8 = Engine("Wine 8")
WINE10 = Engine("Wine 10", [str(Path(__file__).resolve().parent / "wine10.sh"), "run"])
# The cross compiler for each machine build_tools() can build for.
MINGW_GCC = {"x86_64": "x86_64-w64-mingw32-gcc", "i686": "i686-w64-mingw32-gcc"}
TOOLS_DIR = Path(__file__).resolve().parent / "tools"

RUNNER_WINDOWS_PATH = "C:\\e2e-harness\\runner.exe"
STANDIN_WINDOWS_DIR = "C:\\standin"
_COMMAND_LINE_VARIABLE = "E2E_RUNNER_COMMAND_LINE"
# Unix variables handed to Wine; everything else is left out so the Windows
# environment of the launcher does not depend on who runs the tests.
_PASSED_VARIABLES = ("PATH", "HOME", "USER", "LOGNAME", "TZ")


# Limits for Wine's own steps (a new prefix, stopping a server, a reg.exe
# call): far above what they take (a new prefix about 10 s under Wine 8 and
# 20 s under Wine 10, also through qemu), so that a Wine start that hangs
# ends the test with a reason instead of never.
PREFIX_CREATION_TIMEOUT = 300
WINE_STEP_TIMEOUT = 120


def _run_wine_step(argv, what, timeout=WINE_STEP_TIMEOUT, **kwargs):
    try:
        return subprocess.run(argv, timeout=timeout, **kwargs)
    except subprocess.TimeoutExpired:
        raise TimeoutError(f"{what} did not finish within {timeout} s ({' '.join(argv)}); "
                           "a Wine start that hangs, as a 32-bit one can through qemu "
                           "without the preloader?") from None


class LaunchError(RuntimeError):
    """The runner could not start the program (CreateProcessW failed)."""

    def __init__(self, message, error_code=None):
        super().__init__(message)
        self.error_code = error_code


def build_tools(out_dir, machine="x86_64"):
    """Compiles e2e_runner.exe and msiexec.exe (stand-in) for machine
    ("x86_64" or "i686") into out_dir with the same flags as
    tools/CMakeLists.txt; returns their Unix paths."""
    gcc = MINGW_GCC[machine]
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    flags = ["-Wall", "-Wextra", "-Werror", "-municode", "-static", "-O2"]
    runner = out / "e2e_runner.exe"
    standin = out / "msiexec.exe"
    subprocess.run([gcc, *flags, str(TOOLS_DIR / "runner.c"), "-o", str(runner)],
                   check=True)
    subprocess.run([gcc, *flags, "-mwindows", str(TOOLS_DIR / "standin_msiexec.c"),
                    "-o", str(standin)], check=True)
    return str(runner), str(standin)


def engine_tag(engine):
    return "".join(c for c in engine.name.lower() if c.isalnum()) + "-"


def build_tool(source, out_dir, machine="x86_64"):
    """Compiles one more helper, tools/<source>.c, for machine into
    out_dir/<source>.exe with build_tools()' flags; returns its Unix path."""
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    exe = out / f"{source}.exe"
    subprocess.run([MINGW_GCC[machine], "-Wall", "-Wextra", "-Werror", "-municode", "-static",
                    "-O2", str(TOOLS_DIR / f"{source}.c"), "-o", str(exe)], check=True)
    return str(exe)


def _display_name(display):
    if display is None:
        return None
    return display if isinstance(display, str) else display.display


class Run:
    """A started runner; wait() returns the program's full exit code."""

    def __init__(self, prefix, process, stdout, stderr):
        self._prefix = prefix
        self._process = process
        self._stdout = stdout
        self._stderr = stderr
        # Everything Wine and the programs wrote to stderr (WINEDEBUG traces
        # among it), once wait() has returned.
        self.stderr = None

    def wait(self, timeout=300):
        try:
            self._process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._prefix.kill_all()
            self._process.wait()
            raise TimeoutError(f"program still running after {timeout} s; prefix processes killed")
        finally:
            out, err = self._read(self._stdout), self._read(self._stderr)
            self.stderr = err.decode("utf-8", "replace")
        text = out.decode("utf-8", "replace").strip()
        status = self._process.returncode
        if status == 0 and text.isdigit():
            return int(text)
        if status == 1 and text.startswith("start-failed "):
            code = int(text.split()[1])
            raise LaunchError(f"CreateProcessW failed with error {code}", code)
        raise RuntimeError(f"runner failed (status {status}): stdout={text!r} "
                           f"stderr={err.decode('utf-8', 'replace').strip()!r}")

    @staticmethod
    def _read(file):
        file.seek(0)
        data = file.read()
        file.close()
        return data


class WinePrefix:
    """A throwaway 64-bit Wine prefix under /tmp; use as a context manager."""

    def __init__(self, runner_exe, parent_dir="/tmp", engine=WINE8):
        self.runner_exe = str(runner_exe)
        self.engine = engine
        self.parent_dir = parent_dir
        self.path = None
        self.standin_exe = None
        # Display of the running wineserver session; "unset": no session.
        self._server_display = "unset"
        self.creation_seconds = None

    # -- life cycle ---------------------------------------------------------

    def __enter__(self):
        self.create()
        return self

    def __exit__(self, *exc):
        self.close()

    def create(self):
        started = time.monotonic()
        self.path = tempfile.mkdtemp(prefix="e2e-wine-" + engine_tag(self.engine), dir=self.parent_dir)
        atexit.register(self.close)
        try:
            env = self._env(display=None)
            # No Mono/Gecko install attempts: the tests need neither.
            env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
            self._boot(env)
            _run_wine_step(self.engine.command(WINESERVER, "-w"), "wineserver -w",
                           PREFIX_CREATION_TIMEOUT, env=env, check=True, cwd="/")
            self._server_display = "unset"
            self.put_file(self.runner_exe, RUNNER_WINDOWS_PATH)
        except BaseException:
            self.close()
            raise
        self.creation_seconds = time.monotonic() - started

    def _boot(self, env):
        """wineboot -i in the new prefix. A failed one is told with what Wine
        wrote and tried once more in an emptied prefix: once, a bench run's
        wineboot ended with status 53 and the next run's did not."""
        for attempt in (1, 2):
            # A file, not a pipe: Wine's services inherit it.
            with tempfile.TemporaryFile() as errors:
                status = _run_wine_step(self.engine.command(WINE, "wineboot", "-i"),
                                        f"a new {self.engine.name} prefix (wineboot -i)",
                                        PREFIX_CREATION_TIMEOUT, env=env,
                                        stdout=subprocess.DEVNULL, stderr=errors).returncode
                if status == 0:
                    return
                errors.seek(0)
                said = errors.read().decode("utf-8", "replace").strip()[-2000:]
            message = (f"wineboot -i in a new {self.engine.name} prefix ended with status "
                       f"{status}: {said or '(nothing on stderr)'}")
            if attempt == 2:
                raise RuntimeError(message)
            print(f"{message}\ntrying once more", file=sys.stderr, flush=True)
            self.kill_all()
            for entry in Path(self.path).iterdir():
                if entry.is_dir() and not entry.is_symlink():
                    shutil.rmtree(entry)
                else:
                    entry.unlink()

    def close(self):
        """Kills every process of the prefix and deletes it (idempotent)."""
        if self.path is None:
            return
        self.kill_all()
        shutil.rmtree(self.path, ignore_errors=True)
        self.path = None

    def kill_all(self):
        """Kills all Windows processes of the prefix and its wineserver."""
        env = self._env(display=None)
        for flag in ("-k", "-w"):
            _run_wine_step(self.engine.command(WINESERVER, flag), f"wineserver {flag}",
                           env=env, cwd="/", stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self._server_display = "unset"

    def _env(self, display, standin=False, extra=None, wine_env=None):
        env = {name: os.environ[name] for name in _PASSED_VARIABLES if name in os.environ}
        env.setdefault("PATH", "/usr/bin:/bin")
        env["LANG"] = "C.UTF-8"
        env["WINEPREFIX"] = self.path
        env["WINEDEBUG"] = "-all"
        if display is not None:
            env["DISPLAY"] = display
        if standin:
            env["WINEDLLOVERRIDES"] = "msiexec.exe=n"
        for name, value in (wine_env or {}).items():
            if name not in ("WINEDEBUG", "WINEDLLOVERRIDES"):
                raise ValueError(f"wine_env takes WINEDEBUG and WINEDLLOVERRIDES, not {name}")
            # Overrides add to the stand-in's rather than replace it.
            env[name] = ";".join(filter(None, (env.get(name), value))) \
                if name == "WINEDLLOVERRIDES" else value
        if extra:
            env.update(extra)
        return env

    # -- paths and files ----------------------------------------------------

    def _drives(self):
        """Maps drive letters ("c:") to the real Unix directory behind them."""
        devices = Path(self.path, "dosdevices")
        return {entry.name.lower(): os.path.realpath(entry)
                for entry in devices.iterdir()
                if len(entry.name) == 2 and entry.name.endswith(":")}

    def unix_path(self, windows_path):
        """C:\\Temp Dir\\x.msi -> /tmp/e2e-wine-.../drive_c/Temp Dir/x.msi.
        Existing components are matched case-insensitively, as Wine does."""
        match = re.match(r"^([A-Za-z]:)(.*)$", windows_path)
        if not match:
            raise ValueError(f"not an absolute Windows path: {windows_path!r}")
        current = self._drives()[match.group(1).lower()]
        for part in [p for p in re.split(r"[\\/]+", match.group(2)) if p]:
            candidate = os.path.join(current, part)
            if not os.path.exists(candidate) and os.path.isdir(current):
                folded = [n for n in os.listdir(current) if n.lower() == part.lower()]
                if folded:
                    candidate = os.path.join(current, folded[0])
            current = candidate
        return current

    def windows_path(self, unix_path):
        """Unix path -> Windows path through the prefix's drive letters
        (drive_c -> C:, anything else through Z:)."""
        real = os.path.realpath(unix_path)
        best = None
        for letter, root in self._drives().items():
            if real == root or real.startswith(root.rstrip("/") + "/"):
                if best is None or len(root) > len(best[1]):
                    best = (letter, root)
        if best is None:
            raise ValueError(f"{unix_path} is not reachable from the prefix")
        rest = real[len(best[1]):].strip("/")
        return best[0].upper() + "\\" + rest.replace("/", "\\")

    def mkdir(self, windows_path):
        """Creates a directory (and its parents) inside the prefix."""
        path = self.unix_path(windows_path)
        os.makedirs(path, exist_ok=True)
        return path

    def put_file(self, source, windows_path):
        """Copies a Unix file into the prefix; creates missing parent folders."""
        target = self.unix_path(windows_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        return target

    def write_file(self, windows_path, data):
        """Writes bytes (or str as UTF-8) to a file inside the prefix."""
        target = self.unix_path(windows_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        Path(target).write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return target

    # -- stand-in msiexec ---------------------------------------------------

    # The system folder a 64-bit or a 32-bit program starts msiexec.exe from.
    _SYSTEM_DIRS = {64: "C:\\windows\\system32", 32: "C:\\windows\\syswow64"}

    def _system_msiexec(self, bits=64):
        return self.unix_path(self._SYSTEM_DIRS[bits] + "\\msiexec.exe")

    def _msiexec_backup(self, bits):
        return os.path.join(self.path, f"msiexec.exe.original-{bits}")

    def install_standin(self, msiexec_exe, bits=64):
        """Puts the stand-in over msiexec.exe in the system folder of bits-bit
        programs (system32 or syswow64; the original is kept aside). It only
        runs in runs started with standin=True."""
        backup = self._msiexec_backup(bits)
        if not os.path.exists(backup):
            shutil.copyfile(self._system_msiexec(bits), backup)
        shutil.copyfile(msiexec_exe, self._system_msiexec(bits))
        self.standin_exe = str(msiexec_exe)
        self.reset_standin()

    def remove_standin(self):
        """Restores Wine's own msiexec.exe wherever a stand-in was put."""
        for bits in self._SYSTEM_DIRS:
            if os.path.exists(self._msiexec_backup(bits)):
                shutil.copyfile(self._msiexec_backup(bits), self._system_msiexec(bits))
        self.standin_exe = None

    def set_relay_filter(self, functions):
        """Limits WINEDEBUG=+relay to calls of these functions, e.g.
        ["user32.MessageBoxW"]: a full relay trace of one run is hundreds of
        thousands of lines. Each traced call appears in Run.stderr as
        "Call user32.MessageBoxW(<arguments in hex>) ret=...". None removes
        the filter. Processes read it when they start."""
        key = "HKCU\\Software\\Wine\\Debug"
        if functions is None:
            command, check = ["delete", key, "/v", "RelayInclude", "/f"], False
        else:
            command = ["add", key, "/v", "RelayInclude", "/t", "REG_SZ", "/d",
                       ";".join(functions), "/f"]
            check = True
        # In the running session, if any (see start_command_line()).
        display = None if self._server_display == "unset" else self._server_display
        # reg.exe exits with 0 or 1, which Wine passes on whole.
        _run_wine_step(self.engine.command(WINE, "reg", *command), "reg.exe", env=self._env(display),
                       cwd=self.unix_path("C:\\"), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=check)

    def reset_standin(self):
        """Forgets recorded calls and planned exit codes."""
        folder = self.unix_path(STANDIN_WINDOWS_DIR)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)

    def set_exit_code(self, call_number, code):
        """Call number call_number (1-based) of the stand-in exits with code."""
        if not (call_number >= 1 and 0 <= code <= 0xFFFFFFFF):
            raise ValueError(f"bad call number {call_number} or exit code {code}")
        self.write_file(f"{STANDIN_WINDOWS_DIR}\\exit-{call_number}.txt", str(code))

    def probe_packages(self):
        """Until the next reset_standin(), each stand-in call also tries to
        read, write, rename and delete every *.msi file in %TEMP%; calls()
        reports the outcomes under "probes"."""
        self.write_file(f"{STANDIN_WINDOWS_DIR}\\probe-package", "")

    def calls(self):
        """Parsed stand-in calls in call order. Each is a dict:
        n, command_line, self, temp, cwd, files {name: size}, dirs [names],
        probes {name: {"read": e, "write": e, "rename": e, "delete": e}}
        (e: 0 if it worked, else the Windows error code)."""
        folder = Path(self.unix_path(STANDIN_WINDOWS_DIR))
        numbered = []
        for entry in folder.glob("call-*.txt"):
            match = re.fullmatch(r"call-(\d+)\.txt", entry.name)
            if match:
                numbered.append((int(match.group(1)), entry))
        records = []
        for n, entry in sorted(numbered):
            lines = entry.read_text(encoding="utf-8").split("\n")
            record = {"n": n, "command_line": lines[0], "self": None, "temp": None,
                      "cwd": None, "files": {}, "dirs": [], "probes": {}}
            for line in lines[1:]:
                key, _, value = line.partition(" ")
                if key in ("self", "temp", "cwd"):
                    record[key] = value
                elif key == "file":
                    name, _, size = value.rpartition(" ")
                    record["files"][name] = int(size)
                elif key == "dir":
                    record["dirs"].append(value)
                elif key == "probe":
                    match = re.fullmatch(r"(.*) read=(\d+) write=(\d+) rename=(\d+) delete=(\d+)",
                                         value)
                    record["probes"][match.group(1)] = {
                        action: int(match.group(i + 2))
                        for i, action in enumerate(("read", "write", "rename", "delete"))}
            records.append(record)
        return records

    # -- running ------------------------------------------------------------

    def start(self, exe_windows_path, args_text="", temp=None, cwd=None,
              standin=False, display=None, wine_env=None):
        """Starts exe_windows_path inside Wine without waiting; see run()."""
        if '"' in exe_windows_path:
            raise ValueError("program path must not contain quotes")
        command_line = f'"{exe_windows_path}"' + (f" {args_text}" if args_text else "")
        return self.start_command_line(command_line, temp=temp, cwd=cwd,
                                       standin=standin, display=display, wine_env=wine_env)

    def run(self, exe_windows_path, args_text="", temp=None, cwd=None,
            standin=False, display=None, timeout=300, wine_env=None):
        """Runs "exe_windows_path" args_text and returns its full exit code.

        temp:    Windows folder for TEMP and TMP (None: the prefix default).
        cwd:     Windows folder to start in (None: C:\\).
        standin: True runs the stand-in msiexec (WINEDLLOVERRIDES=msiexec.exe=n),
                 False leaves Wine's own msiexec in charge.
        display: None (no X display), ":N" or an Xvfb instance.
        wine_env: {"WINEDEBUG": ..., "WINEDLLOVERRIDES": ...} for this run
                 (Wine services already running keep theirs); overrides are
                 added to the stand-in's. Traces land in Run.stderr (start()).
        """
        return self.start(exe_windows_path, args_text, temp, cwd, standin,
                          display, wine_env).wait(timeout)

    def start_command_line(self, command_line, temp=None, cwd=None, standin=False,
                           display=None, wine_env=None):
        """Starts a complete Windows command line (program name included,
        quoted as the caller likes); it reaches CreateProcessW unchanged."""
        if standin and self.standin_exe is None:
            raise ValueError("standin=True but install_standin() was not called")
        display = _display_name(display)
        if display != self._server_display and self._server_display != "unset":
            self.kill_all()
        # A persistent server keeps Wine's service processes up between runs:
        # a warm run costs ~0.1 s instead of ~1.3 s. It refuses harmlessly
        # when one is already running.
        _run_wine_step(self.engine.command(WINESERVER, "-p"), "wineserver -p",
                       env=self._env(display), cwd="/", stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self._server_display = display
        argv = self.engine.command(WINE, RUNNER_WINDOWS_PATH)
        if temp is not None:
            argv.append(f"--temp={temp}")
        if cwd is not None:
            argv.append(f"--cwd={cwd}")
        argv.append(f"--rest-env={_COMMAND_LINE_VARIABLE}")
        env = self._env(display, standin, {_COMMAND_LINE_VARIABLE: command_line}, wine_env)
        # Output goes to files, not pipes: Wine's service processes inherit
        # the descriptors and would hold a pipe open long after the run.
        stdout, stderr = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen(argv, env=env, cwd=self.unix_path("C:\\"),
                                   stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
        return Run(self, process, stdout, stderr)

    def run_command_line(self, command_line, timeout=300, **options):
        """run() for a complete command line; options as for run()."""
        return self.start_command_line(command_line, **options).wait(timeout)


def _ere_escape(text):
    """Escapes text for the POSIX extended regular expressions of xdotool."""
    return re.sub(r"([.\[\]{}()\\*+?^$|])", r"\\\1", text)


class Xvfb:
    """A private X server for message-box tests; use as a context manager.
    The display number is picked by Xvfb itself (-displayfd)."""

    def __init__(self, screen="1024x768x24"):
        self.screen = screen
        self.display = None
        self._process = None

    def __enter__(self):
        read_end, write_end = os.pipe()
        try:
            self._process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen,
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + 30
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], max(0, deadline - time.monotonic()))
                chunk = os.read(read_end, 16) if ready else b""
                if not chunk:
                    raise RuntimeError("Xvfb did not report a display")
                number += chunk
            self.display = ":" + number.decode().strip()
        except BaseException:
            self.__exit__()
            raise
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        return self

    def __exit__(self, *exc):
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._process = None

    def _xdotool(self, *args):
        result = subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": self.display},
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        return result.stdout.split("\n") if result.returncode == 0 else []

    def _windows_named(self, title):
        """Ids of visible windows whose name is exactly title."""
        ids = [w for w in self._xdotool("search", "--onlyvisible", "--name",
                                        f"^{_ere_escape(title)}$") if w]
        return [w for w in ids if self._xdotool("getwindowname", w)[:1] == [title]]

    def window_names(self):
        """Names of all visible windows (for diagnostics and assertions)."""
        ids = [w for w in self._xdotool("search", "--onlyvisible", "--name", "") if w]
        return [name for w in ids for name in self._xdotool("getwindowname", w)[:1]]

    def find_window(self, title, timeout=30):
        """Waits for a visible window named exactly title; returns its id or None."""
        deadline = time.monotonic() + timeout
        while True:
            found = self._windows_named(title)
            if found:
                return found[0]
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.2)

    def answer_message_box(self, title, timeout=30, key="Return"):
        """Waits for a visible window named exactly title and presses key
        (Return: the default button, e.g. OK) until the window goes away.
        Returns True if the window was found."""
        deadline = time.monotonic() + timeout
        window = self.find_window(title, timeout)
        if window is None:
            return False
        while True:
            self._xdotool("windowfocus", "--sync", window)
            self._xdotool("key", key)
            gone_by = time.monotonic() + 2
            while time.monotonic() < gone_by:
                if window not in self._windows_named(title):
                    return True
                time.sleep(0.1)
            if time.monotonic() >= deadline:
                return True
