"""make test: every test stage in turn, each within a time limit, then a
table of where the time went.

    /usr/bin/python3 tests/stages.py [--via-qemu]

Each stage is a make target of its own (make unit-test, make e2e-test, ...).
Its output goes to build/test-logs/<stage>.log and is copied to standard
output as it grows. A pipe would be simpler, but Wine's background services
inherit it and would hold it open until their wineserver stops.

A stage that is still running at its limit is stopped (SIGINT first, so the
test harness deletes its Wine prefixes, then SIGKILL) and reported as timed
out: a 32-bit start that hangs ends the run with a reason, not never. Every
stage runs even when an earlier one failed, so one run shows them all.

--via-qemu hands 32-bit Linux programs to qemu-i386-static for the run even
where the kernel runs them itself (tests/e2e/x86-wine.sh qemu-on), and puts
the machine back as it was afterwards: both kinds of machine can then be
tested on one.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
LOGS = REPO / "build" / "test-logs"
X86_WINE = REPO / "tests" / "e2e" / "x86-wine.sh"

# (make target, time limit in seconds). The limits are far above the
# measured times (README, "Two commands") and together stay inside CI's
# 90 minutes.
STAGES = (
    ("unit-test", 600),
    ("lint", 600),
    ("image-test", 900),
    ("e2e-test", 900),
    ("fuzz-test", 300),
    ("e2e-x86-test", 600),
    ("e2e-wine10-test", 600),
)
# Time from SIGINT to SIGKILL for a stage past its limit.
GRACE_SECONDS = 30

KIND_TEXT = {
    "native": "the kernel runs them itself",
    "qemu": "binfmt_misc hands them to qemu-i386-static",
    "none": "they do not run here",
}


class Outcome:
    def __init__(self, stage):
        self.stage = stage
        self.result = "not run"
        self.seconds = 0.0
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.counted = False  # whether the log named a number of tests

    @property
    def tests(self):
        return self.passed + self.failed + self.skipped if self.counted else None


def count_tests(text, outcome):
    """Reads the test runner's closing lines (ctest's, unittest's, the
    fuzzing script's) into outcome."""
    ctest = re.findall(r"\d+% tests passed, (\d+) tests failed out of (\d+)", text)
    ran = re.findall(r"^Ran (\d+) tests? in ", text, re.MULTILINE)
    if ctest:
        failed, total = map(int, ctest[-1])
        outcome.passed, outcome.failed, outcome.counted = total - failed, failed, True
    elif ran:
        total = int(ran[-1])
        verdict = re.findall(r"^(OK|FAILED)(?: \((.*)\))?$", text, re.MULTILINE)
        details = dict(re.findall(r"(\w+)=(\d+)", verdict[-1][1])) if verdict else {}
        outcome.failed = int(details.get("failures", 0)) + int(details.get("errors", 0)) \
            + int(details.get("unexpected_successes", 0))
        if not verdict:  # the run broke off before its summary
            outcome.failed = max(outcome.failed, 1)
        outcome.skipped = int(details.get("skipped", 0))
        outcome.passed = max(0, total - outcome.failed - outcome.skipped)
        outcome.counted = True
    elif re.search(r"^findings: none$", text, re.MULTILINE):
        outcome.passed, outcome.counted = 1, True


def copy_growing_file(path, done, out):
    """Copies path to out as it grows, until done is set and all is read."""
    with open(path, "rb") as source:
        while True:
            finished = done.is_set()
            chunk = source.read(65536)
            if chunk:
                out.write(chunk)
                out.flush()
            elif finished:
                return
            else:
                time.sleep(0.2)


def stop(process):
    """SIGINT to the stage's process group, then SIGKILL after the grace."""
    for sig, wait in ((signal.SIGINT, GRACE_SECONDS), (signal.SIGKILL, None)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            pass


def run_stage(stage, limit, outcome):
    LOGS.mkdir(parents=True, exist_ok=True)
    log = LOGS / f"{stage}.log"
    print(f"\n=== make {stage} (limit {limit} s; log {log.relative_to(REPO)})", flush=True)
    started = time.monotonic()
    with open(log, "wb") as sink:
        process = subprocess.Popen(["make", "--no-print-directory", stage], cwd=REPO,
                                   stdin=subprocess.DEVNULL, stdout=sink, stderr=subprocess.STDOUT,
                                   start_new_session=True)
    done = threading.Event()
    copier = threading.Thread(target=copy_growing_file, args=(log, done, sys.stdout.buffer))
    copier.start()
    timed_out = False
    try:
        process.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        timed_out = True
        stop(process)
    except BaseException:
        stop(process)
        raise
    finally:
        done.set()
        copier.join()
        outcome.seconds = time.monotonic() - started
    text = log.read_text(encoding="utf-8", errors="replace")
    count_tests(text, outcome)
    if timed_out:
        outcome.result = "TIMED OUT"
        print(f"\n{stage}: still running after its limit of {limit} s; stopped. The last lines "
              f"of {log} show where it was.", flush=True)
    elif process.returncode != 0:
        outcome.result = "FAILED"
    elif re.search(rf"^{re.escape(stage)}: SKIPPED", text, re.MULTILINE):
        outcome.result = "skipped"
    else:
        outcome.result = "passed"


def x86_wine(*args):
    result = subprocess.run([str(X86_WINE), *args], cwd=REPO, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, text=True)
    return result.returncode, result.stdout.strip()


def table(outcomes, kind):
    lines = ["", "stage              tests  result        time"]
    for o in outcomes:
        tests = "-" if o.tests is None else str(o.tests)
        lines.append(f"{o.stage:<17} {tests:>6}  {o.result:<10} {o.seconds:6.0f} s")
    total = sum(o.seconds for o in outcomes)
    lines.append(f"{'all':<17} {sum(o.tests or 0 for o in outcomes):>6}  {'':<10} {total:6.0f} s")
    lines.append(f"32-bit Linux programs on this machine: {kind} ({KIND_TEXT.get(kind, '?')})")
    passed = sum(o.passed for o in outcomes)
    # Stages that failed without naming a failed test count as one failure.
    failed = sum(max(o.failed, 1 if o.result in ("FAILED", "TIMED OUT") else 0)
                 for o in outcomes)
    skipped = sum(o.skipped for o in outcomes)
    lines.append(f"total: {passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return "\n".join(lines)


def interrupt(_signal, _frame):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--via-qemu", action="store_true",
                        help="run 32-bit Linux programs through qemu for this run")
    options = parser.parse_args()

    # SIGTERM (a CI runner giving up) unwinds like Ctrl-C: the running stage
    # is stopped and the machine put back.
    signal.signal(signal.SIGTERM, interrupt)
    before = None
    if options.via_qemu:
        status, before = x86_wine("qemu-on")
        if status != 0:
            print("--via-qemu: 32-bit programs could not be handed to qemu (see above)")
            return 1
    outcomes = [Outcome(stage) for stage, _ in STAGES]
    try:
        kind = x86_wine("kind")[1]
        print(f"32-bit Linux programs on this machine: {kind} ({KIND_TEXT.get(kind, '?')})",
              flush=True)
        for (stage, limit), outcome in zip(STAGES, outcomes):
            run_stage(stage, limit, outcome)
    finally:
        if before is not None:
            x86_wine("qemu-restore", before)
            print(f"--via-qemu: binfmt_misc entry put back ({before}); "
                  f"32-bit programs now: {x86_wine('kind')[1]}")
    print(table(outcomes, kind), flush=True)
    return 0 if all(o.result in ("passed", "skipped") for o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
