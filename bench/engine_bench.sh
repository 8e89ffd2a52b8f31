#!/usr/bin/env bash
# Aggregate decode speed of the engine with 1, 2 and 4 parallel requests beside libllama decoding the same number of
# sequences in one batch per step (what llama.cpp's batched bench measures), on the same GGUF and thread count,
# with every expert resident on our side; llama-bench's single-sequence figure follows for reference.
#   bench/engine_bench.sh [BUILD_DIR] [ARCH] [THREADS] [TOKENS]
# BUILD_DIR defaults to build, ARCH to qwen3moe (or gpt-oss), THREADS to 4, TOKENS to 64. The model is the one
# bench/runner_bench.sh uses (BUILD_DIR/bench-models/ARCH-bench.gguf, written on first use; MODEL=path for another),
# packed once into BUILD_DIR/bench-models. Run it on an otherwise idle machine: ggml's OpenMP threads spin, and other load skews it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
arch=${2:-qwen3moe}
threads=${3:-4}
tokens=${4:-64}
deps=$(grep -E '^MIVRA_DEPS_DIR:' "$build/CMakeCache.txt" | cut -d= -f2)
llama_bench="$deps/bin/llama-bench"

cmake --build "$build" --target mivra-engine-bench mivra mivra-make-model >/dev/null
source bench/bench_model.sh
bench_model "$build" "$arch"
bench_pack "$build" "$build/bin/mivra"
# every expert and the engine's working memory beside them (part of --cache-mb; 4 prompt steps of 512 tokens)
experts_mb=$(( $(stat -c %s "$pack/experts.bin") / 1048576 + 4096 ))

# Both programs run from one folder of links to the build's libraries, so that they load the same ggml CPU variant;
# a variant that stops libllama with an illegal instruction (AMX on some virtual machines) is left out for both.
bin="$build/bench-bin-engine"
make_bin() {  # $1: CPU variant to leave out (or empty)
  rm -rf "$bin" && mkdir -p "$bin"
  for f in "$build"/bin/*.so*; do
    case $(basename "$f") in "libggml-cpu-$1.so") continue ;; esac
    ln -s "$f" "$bin/"
  done
  cp "$build/bin/mivra-engine-bench" "$bin/"
}
make_bin ""
probe() { (cd "$bin" && LD_LIBRARY_PATH=. "$llama_bench" -m "$model" -t "$threads" -p 8 -n 1 -r 1 >/dev/null 2>&1); }
if ! probe; then
  make_bin sapphirerapids
  probe || { echo "llama-bench does not run on this machine" >&2; exit 1; }
  echo "(libggml-cpu-sapphirerapids.so left out: its AMX kernels stop libllama here)" >&2
fi

echo "model $model, $threads threads, $tokens tokens per request, expert cache $experts_mb MiB (all experts)"
(cd "$bin" && LD_LIBRARY_PATH=. ./mivra-engine-bench "$model" "$pack" -t "$threads" -n "$tokens" -np 1,2,4 \
   --cache-mb "$experts_mb" 2>/dev/null)
echo
echo "llama-bench, one sequence:"
(cd "$bin" && LD_LIBRARY_PATH=. "$llama_bench" -m "$model" -t "$threads" -fa on -p 0 -n "$tokens" -r 3 2>/dev/null)
