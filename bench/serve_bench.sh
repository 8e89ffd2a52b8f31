#!/usr/bin/env bash
# Time to first token and aggregate tokens/s of `mivra serve` under 1, 4 and 16 concurrent streaming clients.
#   bench/serve_bench.sh [BUILD_DIR] [PACK_DIR]
# Without a pack it makes a random-weight qwen3moe model of moderate size (8 layers, 512 wide, 32 experts of which
# 4 are used, q8_0) with the real Qwen3 template and packs it under BUILD_DIR/bench-serve.
# Extra options for the program: BENCH_ARGS (e.g. "-np 4 -t 8 -n 256 --clients 1,2,4,8,16").
# llama.cpp's llama-server is not part of the pinned dependency build (only llama-bench is), so no side-by-side run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target mivra mivra-test-server mivra-make-model mivra-serve-bench >/dev/null
pack=${2:-}
if [ -z "$pack" ]; then
  dir=$build/bench-serve
  mkdir -p "$dir"
  pack=$dir/qwen3moe-bench
  if [ ! -f "$pack/manifest.json" ]; then
    "$build/bin/mivra-make-model" --arch qwen3moe --seed 7 --layers 8 --embd 512 --heads 8 --heads-kv 4 \
      --head-dim 64 --experts 32 --experts-used 4 --ff 256 --expert-type q8_0 --out "$dir/qwen3moe-bench.gguf"
    "$build/bin/mivra" pack "$dir/qwen3moe-bench.gguf" "$pack" >/dev/null 2>&1
  fi
fi
"$build/bin/mivra-serve-bench" "$pack" ${BENCH_ARGS:-}
