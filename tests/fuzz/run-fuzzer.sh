#!/bin/sh
# Runs a libFuzzer target for a bounded time on a scratch copy of the seed
# corpus, so the repository is never written to.
#   tests/fuzz/run-fuzzer.sh FUZZER SECONDS
# Prints the executions and the findings; exits 1 on any finding (crash,
# oracle failure, leak, timeout, out-of-memory) and keeps the reproducers,
# naming where they are. A fuzzer that could not start, or stopped without a
# finding (a bad option, a missing folder, killed from outside), is no
# finding: the script then says so and exits 2, keeping the log.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 FUZZER SECONDS" >&2
  exit 2
fi
fuzzer=$1
seconds=$2
case $seconds in
  '' | *[!0-9]*) echo "$0: SECONDS must be a whole number: $seconds" >&2; exit 2 ;;
esac
if [ ! -x "$fuzzer" ]; then
  echo "$0: not an executable: $fuzzer (build it with: make fuzz)" >&2
  exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/command-line-fuzz.XXXXXX")
keep=0
cleanup() { if [ "$keep" -eq 0 ]; then rm -rf "$work"; fi; }
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir "$work/corpus" "$work/findings"
cp "$here"/corpus/* "$work/corpus/"
# The dictionary, when there is one, is the only optional argument: it is
# set as the positional parameters so that a path with blanks stays one.
set --
if [ -f "$here/command_line.dict" ]; then set -- "-dict=$here/command_line.dict"; fi

echo "fuzzing $fuzzer for ${seconds}s on $(ls "$work/corpus" | wc -l) seeds"
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$@" "$work/corpus" >"$work/log" 2>&1 || status=$?

grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
  "$work/log" || true
echo "corpus after the run: $(ls "$work/corpus" | wc -l) inputs"

findings=$(ls "$work/findings")
if [ "$status" -eq 0 ] && [ -z "$findings" ]; then
  echo "findings: none"
  exit 0
fi

keep=1
# A finding leaves a reproducer, or at least a sanitizer's or the oracle's
# report (a leak found at exit, say). Anything else that ended the run
# early is the fuzzer failing to run, and says nothing about the code.
if [ -z "$findings" ] &&
  ! grep -q '^==[0-9]*== *ERROR\|^\*\*\* command line oracle\|^SUMMARY: \|deadly signal' "$work/log"; then
  echo "fuzzer did not run to the end (exit status $status) and reported no finding:" >&2
  tail -n 20 "$work/log" >&2
  echo "full log: $work/log" >&2
  exit 2
fi
echo "findings: fuzzer exit status $status" >&2
sed -n '/^==[0-9]*==\|^\*\*\* command line oracle\|SUMMARY\|^INFO: .*Fuzzer\|^MS:/,$p' \
  "$work/log" | tail -n 60 >&2
for f in $findings; do
  # libFuzzer names its artifacts crash-<sha1>, leak-<sha1> and so on: no blanks.
  echo "reproducer: $work/findings/$f ($(wc -c <"$work/findings/$f") bytes): $(od -An -c "$work/findings/$f" | tr -s ' ' | head -c 400)" >&2
done
echo "full log: $work/log; replay one with: $fuzzer <reproducer>" >&2
exit 1
