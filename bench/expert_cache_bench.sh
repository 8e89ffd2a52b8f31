#!/usr/bin/env bash
# Expert cache read throughput against raw O_DIRECT reads of the same file, for several I/O thread counts.
#   bench/expert_cache_bench.sh [BUILD_DIR] [FILE] [GIB]
# BUILD_DIR defaults to build; FILE (default BUILD_DIR/bench-experts.bin) must be on the disk to measure, not on
# tmpfs; it is written once with GIB gibibytes (default 4) and removed at the end unless KEEP_FILE=1.
# Both sides read with O_DIRECT, so the page cache plays no part (a virtual disk may still be cached by its host).
# Extra options for the program: BENCH_ARGS (e.g. "--expert-kib 12288 --rounds 10").
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
file=${2:-$build/bench-experts.bin}
gib=${3:-4}
cmake --build "$build" --target expert_cache_bench >/dev/null
bench="$build/bin/expert_cache_bench"
if [ "$(stat -f -c %T "$(dirname "$file")")" = tmpfs ]; then
  echo "$file is on tmpfs: choose a file on the disk to measure" >&2
  exit 1
fi
if [ ! -f "$file" ]; then
  "$bench" "$file" --make "$gib" --threads 1 --seconds 0.1 >/dev/null
fi
for threads in 1 2 4 8; do
  "$bench" "$file" --threads "$threads" ${BENCH_ARGS:-} | grep -E "^(file|mean)"
  echo
done
[ "${KEEP_FILE:-0}" = 1 ] || rm -f "$file"
