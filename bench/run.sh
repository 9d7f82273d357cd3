#!/bin/sh
# Extraction speed, memory and size figures of the launcher (make bench).
#
#   bench/run.sh             the table, also written to build/bench/results.md
#   bench/run.sh --explore [SECTION...]
#                            where the time goes: the 32-bit image layout, the write
#                            path under Wine and natively (temporary builds;
#                            slower); SECTION is layout, probe or native
#
# Needs `make all` (build/x86, build/x64 and the Wine helper programs).
set -eu
cd "$(dirname "$0")/.."

# Where 32-bit programs run through qemu, Debian 12's qemu 7.2 finds no room
# in a 32-bit process for a launcher image of 256 MiB or more (Wine cannot
# start it); Debian 13's qemu 10, in the Wine 10 tree (tests/e2e/wine10.sh),
# does. Where the kernel gives a user namespace a binfmt_misc of its own
# (Linux 6.7 and later), the bench runs in one whose qemu-i386 entry is that
# qemu; elsewhere it measures what qemu 7.2 can start and says what it could not.
QEMU10=/var/lib/setup-e2e/trixie/usr/bin/qemu-i386
if [ -z "${SETUP_BENCH_QEMU10:-}" ] && [ -x "$QEMU10" ] &&
  [ "$(tests/e2e/x86-wine.sh kind)" = qemu ]; then
  if unshare --user --map-root-user --mount \
    sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
    echo "bench: 32-bit programs through $QEMU10, in a user namespace of its own"
    exec unshare --user --map-root-user --mount sh -c '
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
        tests/e2e/x86-wine.sh register "$1" && shift &&
        SETUP_BENCH_QEMU10=1 exec "$@"' sh "$QEMU10" "$0" "$@"
  fi
  echo "bench: no binfmt_misc of its own in a user namespace here: 32-bit programs run" \
    "through the machine's qemu"
fi
case "${1:-}" in
  --explore) shift; exec /usr/bin/python3 -B bench/explore.py "$@" ;;
  "") exec /usr/bin/python3 -B bench/bench.py ;;
  *) echo "usage: bench/run.sh [--explore [layout|probe|native]...]" >&2; exit 2 ;;
esac
