#!/usr/bin/env bash
# Prompt and generation speed of the model runner beside llama-bench of the pinned llama.cpp tree, on the same
# GGUF, thread count and ggml CPU variant, every expert resident on our side.
#   bench/runner_bench.sh [BUILD_DIR] [ARCH] [THREADS] [REPS]
# BUILD_DIR defaults to build, ARCH to qwen3moe (or gpt-oss), THREADS to 4, REPS to 5. The bench model (about
# 3.5 GB, written once to BUILD_DIR/bench-models/ARCH-bench.gguf, several minutes) has the per-layer shapes of a
# real model of the architecture with fewer layers; MODEL=path uses another GGUF instead.
# llama-bench loads the ggml CPU variants from its working folder: both programs run in BUILD_DIR/bench-bin, which
# links the build's libraries; a variant that stops llama-bench with an illegal instruction (AMX on some virtual
# machines) is left out for both.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
arch=${2:-qwen3moe}
threads=${3:-4}
reps=${4:-5}
deps=$(grep -E '^MIVRA_DEPS_DIR:' "$build/CMakeCache.txt" | cut -d= -f2)
llama_bench="$deps/bin/llama-bench"

cmake --build "$build" --target runner_bench mivra-make-model >/dev/null
source bench/bench_model.sh
bench_model "$build" "$arch"

bin="$build/bench-bin"
make_bin() {  # $1: CPU variant to leave out (or empty)
  rm -rf "$bin" && mkdir -p "$bin"
  for f in "$build"/bin/*.so*; do
    case $(basename "$f") in "libggml-cpu-$1.so") continue ;; esac
    ln -s "$f" "$bin/"
  done
  cp "$build/bin/runner_bench" "$bin/"
}
make_bin ""
probe() { (cd "$bin" && LD_LIBRARY_PATH=. "$llama_bench" -m "$model" -t "$threads" -p 8 -n 1 -r 1 >/dev/null 2>&1); }
if ! probe; then
  make_bin sapphirerapids
  probe || { echo "llama-bench does not run on this machine" >&2; exit 1; }
  echo "(libggml-cpu-sapphirerapids.so left out: its AMX kernels stop llama-bench here)" >&2
fi

echo "model $model, $threads threads, $reps repetitions"
ours=$(cd "$bin" && ./runner_bench "$model" --threads "$threads" --pp 512 --tg 128 --reps "$reps" 2>/dev/null)
theirs=$(cd "$bin" && LD_LIBRARY_PATH=. "$llama_bench" -m "$model" -t "$threads" -fa on -p 512 -n 128 -r "$reps" 2>/dev/null)
echo "$ours"
echo "$theirs"
rate() { echo "$1" | grep -E "\| +$2 +\|" | head -1 | awk -F'|' '{print $(NF-1)}' | awk '{print $1}'; }
for t in pp512 tg128; do
  a=$(rate "$ours" "$t"); b=$(rate "$theirs" "$t")
  awk -v t="$t" -v a="$a" -v b="$b" 'BEGIN { printf "%s: mivra %.2f t/s, llama.cpp %.2f t/s, ratio %.2f\n", t, a, b, a / b }'
done
