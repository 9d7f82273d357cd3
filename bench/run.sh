#!/bin/sh
# Extraction speed, memory and size figures of the launcher (make bench).
#
#   bench/run.sh             the table, also written to build/bench/results.md
#   bench/run.sh --explore   where the time goes: image file alignment and the
#                            write path under Wine (temporary builds; slower)
#
# Needs `make all` (build/x86, build/x64 and the Wine helper programs).
set -eu
cd "$(dirname "$0")/.."
case "${1:-}" in
  --explore) exec /usr/bin/python3 -B bench/explore.py ;;
  "") exec /usr/bin/python3 -B bench/bench.py ;;
  *) echo "usage: bench/run.sh [--explore]" >&2; exit 2 ;;
esac
