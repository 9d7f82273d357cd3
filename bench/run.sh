#!/bin/sh
# Extraction speed, memory and size figures of the launcher (make bench).
#
#   bench/run.sh             the table, also written to build/bench/results.md
#   bench/run.sh --explore [SECTION...]
#                            where the time goes: image file alignment, the write
#                            path under Wine and natively (temporary builds;
#                            slower); SECTION is alignment, probe or native
#
# Needs `make all` (build/x86, build/x64 and the Wine helper programs).
set -eu
cd "$(dirname "$0")/.."
case "${1:-}" in
  --explore) shift; exec /usr/bin/python3 -B bench/explore.py "$@" ;;
  "") exec /usr/bin/python3 -B bench/bench.py ;;
  *) echo "usage: bench/run.sh [--explore [alignment|probe|native]...]" >&2; exit 2 ;;
esac
