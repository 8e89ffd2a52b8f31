#!/usr/bin/env bash
# mivra against llama.cpp on a Mixture-of-Experts model whose experts do not all fit in the memory allowed.
#
#   sudo bench/run.sh            (root: it drops the page cache and puts each run in a memory-limited cgroup)
#
# One command does everything: installs the plotting packages (bench/deps.sh), builds the programs it needs in
# Release, writes a random-weight model with the shapes of a popular MoE once into the cache folder (with its
# pack), measures, and prints the report, which is also written to OUT/report.md beside OUT/tokens_per_s.png.
#
# For each expert-cache budget (every expert resident, then about 50% and 25% of experts.bin), repeated REPS
# times, side by side under one cgroup memory limit: the raw O_DIRECT read throughput of experts.bin (before and
# after mivra's run); mivra's
# runner and expert cache built as `mivra run` builds them with --cache-mb set to the budget, fed PROMPT_TOKENS
# random prompt tokens and then GEN random tokens one at a time (bench/stream_bench.cpp); and libllama on the same
# GGUF, memory-mapped, with the same random-token workload (bench/llama_mmap_bench.cpp). With every expert
# resident the real llama-bench (default settings: weights repacked in RAM) runs as well. Then `mivra run` itself
# once per budget, for its peak RSS and its speed on its own greedy output. The page cache is dropped before every
# run, so reads come from the disk.
#
# Settings (environment):
#   BUILD_DIR   build folder (default build-bench in the checkout; configured as Release if new)
#   MIVRA_BENCH_CACHE  folder for the model and its pack (default ~/.cache/mivra-bench; about 20 GB)
#   OUT         report folder (default BUILD_DIR/bench-report)
#   THREADS     compute threads of both programs (4)    IO_THREADS  mivra's --io-threads (4)
#   REPS        runs per figure, medians reported (3)    LAYERS      layers of the model (24: 8.2 GB of experts)
#   PROMPT_TOKENS random prompt tokens (256)   PROMPT_WORDS  words of the prompt of `mivra run` (150)
#   GEN         tokens generated with a limited budget (16)   GEN_RESIDENT  with every expert resident (128)
#   BUDGETS     budgets in percent of experts.bin ("100 50 25")
#   RUN_TIMEOUT seconds before one run is abandoned (900)
#   PLAIN       1: at the smallest budget also run mivra without repacking experts (a diagnostic; 0 skips it)
#   NICE        niceness of the measured runs and of their scheduler autogroup (-10: on a shared machine the
#               compute threads of both programs otherwise lose their time slices to other work, and ggml's
#               thread barriers stall on every lost slice)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$root/build-bench}")
CACHE=$(realpath -m "${MIVRA_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mivra-bench}")
OUT=$(realpath -m "${OUT:-$BUILD_DIR/bench-report}")
THREADS=${THREADS:-4}
IO_THREADS=${IO_THREADS:-4}
REPS=${REPS:-3}
LAYERS=${LAYERS:-24}
PROMPT_TOKENS=${PROMPT_TOKENS:-256}
PROMPT_WORDS=${PROMPT_WORDS:-150}
GEN=${GEN:-16}
GEN_RESIDENT=${GEN_RESIDENT:-128}
BUDGETS=${BUDGETS:-"100 50 25"}
RUN_TIMEOUT=${RUN_TIMEOUT:-900}
NICE=${NICE:--10}
PLAIN=${PLAIN:-1}

# The shapes of the model: a 30B-class MoE with 3B active parameters (2048 embedding, 32 query and 4 KV heads of
# 128, 128 experts of width 768 with 8 used per token, q4_K experts, q8_0 attention), fewer layers.
SHAPE=(--arch qwen3moe --layers "$LAYERS" --embd 2048 --heads 32 --heads-kv 4 --head-dim 128 --experts 128
       --experts-used 8 --ff 768 --expert-type q4_K --attn-type q8_0)
N_USED=8 HEADS_KV=4 HEAD_DIM=128
CTX=1024  # mivra's -c: the prompt and the generated tokens fit; llama gets prompt + generated, as llama-bench

say() { printf 'bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || die "run as root: the page cache is dropped and runs are put in a memory-limited cgroup"
"$root/bench/deps.sh"

# ---- cgroup: one child group for every run, its limit set per run ----
cg_mode="" cg=""
if [ -d /sys/fs/cgroup/memory ] && [ -w /sys/fs/cgroup/memory ]; then
  cg_mode=v1
  cg=/sys/fs/cgroup/memory$(awk -F: '$2 == "memory" { print $3 }' /proc/self/cgroup)
  cg=${cg%/}/mivra-bench-$$
elif [ -f /sys/fs/cgroup/cgroup.controllers ] && grep -qw memory /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null; then
  cg_mode=v2
  cg=/sys/fs/cgroup/mivra-bench-$$
else
  die "no writable memory cgroup (v1 /sys/fs/cgroup/memory, or v2 with the memory controller at the root)"
fi
mkdir "$cg"
cleanup() {
  for _ in 1 2 3 4 5 6 7 8 9 10; do rmdir "$cg" 2>/dev/null && return; sleep 0.5; done
  say "could not remove $cg"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# limited LIMIT_BYTES|max PREFIX cmd...: runs cmd inside the cgroup with that limit after dropping the page cache,
# stdout to PREFIX.out, stderr to PREFIX.err, GNU time's report to PREFIX.time, the group's peak to PREFIX.peak.
limited() {
  local limit=$1 prefix=$2
  shift 2
  if [ $cg_mode = v1 ]; then
    [ "$limit" = max ] && limit=-1
    echo "$limit" > "$cg/memory.limit_in_bytes"
    echo 0 > "$cg/memory.max_usage_in_bytes"
  else
    echo "$limit" > "$cg/memory.max"
    echo 0 > "$cg/memory.peak" 2>/dev/null || true  # resettable from Linux 6.12 on
  fi
  sync
  echo 3 > /proc/sys/vm/drop_caches
  local rc=0
  # A session of its own gets a scheduler autogroup of its own, whose niceness is what counts against the other
  # sessions of a shared machine (the niceness of a process only counts within its autogroup).
  setsid -w sh -c 'echo $$ > "$1/cgroup.procs"; echo "$2" > /proc/$$/autogroup 2>/dev/null; shift 2; exec "$@"' \
    sh "$cg" "$NICE" nice -n "$NICE" timeout "$RUN_TIMEOUT" /usr/bin/time -v -o "$prefix.time" "$@" > "$prefix.out" 2> "$prefix.err" || rc=$?
  if [ $cg_mode = v1 ]; then cat "$cg/memory.max_usage_in_bytes"; else cat "$cg/memory.peak" 2>/dev/null || echo 0; fi > "$prefix.peak"
  echo "$rc" > "$prefix.rc"
  [ "$rc" -eq 0 ] || say "$(basename "$prefix") ended with code $rc (see $prefix.err)"
}

# ---- build ----
deps=$("$root/scripts/deps.sh" | tail -1)
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIVRA_DEPS_DIR="$deps" >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD_DIR/CMakeCache.txt")
[ "$build_type" = Release ] || say "warning: $BUILD_DIR is a $build_type build, not Release"
cmake --build "$BUILD_DIR" -j "${JOBS:-4}" \
  --target mivra mivra-make-model raw_read_bench llama_mmap_bench mivra_stream_bench \
  > "$BUILD_DIR/bench-build.log" 2>&1 || { cat "$BUILD_DIR/bench-build.log" >&2; die "build failed"; }
llama_bench=$(sed -n 's/^MIVRA_DEPS_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")/bin/llama-bench

# ---- model and pack, made once ----
mkdir -p "$CACHE"
name=qwen3moe-e2048-x128-ff768-q4k-l$LAYERS
gguf=$CACHE/$name.gguf
pack=$CACHE/$name.pack
if [ ! -f "$gguf" ]; then
  need=$(( LAYERS * 680 + 2000 ))  # MB for the GGUF and its pack
  free=$(df -Pm "$CACHE" | awk 'NR == 2 { print $4 }')
  [ "$free" -gt "$need" ] || die "$CACHE has $free MB free; the model and its pack need about $need MB"
  say "writing $gguf (once; the generator holds the whole model in RAM, takes a while) ..."
  "$BUILD_DIR/bin/mivra-make-model" "$gguf.part" "${SHAPE[@]}" >/dev/null
  mv "$gguf.part" "$gguf"
fi
if [ ! -f "$pack/manifest.json" ]; then
  say "packing into $pack (once) ..."
  rm -rf "$pack.part"
  "$BUILD_DIR/bin/mivra" pack "$gguf" "$pack.part" >/dev/null
  rm -rf "$pack"
  mv "$pack.part" "$pack"
fi

# ---- the programs run from one folder, so both load the same ggml CPU variant ----
# ggml loads the best CPU variant found beside the program. Where llama.cpp's AMX buffers stop it with an illegal
# instruction (virtual machines that report AMX without enabling it), the AMX variant is left out for both.
bin=$BUILD_DIR/bench-run-bin
make_bin() {  # $1: CPU variant to leave out (or empty)
  rm -rf "$bin" && mkdir -p "$bin"
  for f in "$BUILD_DIR"/bin/*.so*; do
    [ "$(basename "$f")" = "libggml-cpu-$1.so" ] || ln -s "$f" "$bin/"
  done
  cp "$BUILD_DIR/bin/mivra" "$BUILD_DIR/bin/mivra_stream_bench" "$BUILD_DIR/bin/llama_mmap_bench" "$bin/"
}
probe=$CACHE/probe-q8.gguf
[ -f "$probe" ] || "$BUILD_DIR/bin/mivra-make-model" "$probe" --embd 256 --heads 4 --heads-kv 2 --head-dim 64 \
  --ff 256 --expert-type q4_K --attn-type q8_0 >/dev/null
probe_llama_bench() {  # the ggml CPU variant that llama-bench loaded, or nothing when it failed
  (cd "$bin" && LD_LIBRARY_PATH=. "$llama_bench" -m "$probe" -t 2 -p 8 -n 1 -r 1 2>&1 >/dev/null) 2>/dev/null |
    sed -n 's/.*loaded CPU backend from .*libggml-cpu-\(.*\)\.so.*/\1/p' | head -1
  return "${PIPESTATUS[0]}"
}
left_out=none
make_bin ""
if ! variant=$(probe_llama_bench); then
  make_bin sapphirerapids
  variant=$(probe_llama_bench) || die "llama-bench does not run on this machine"
  left_out=sapphirerapids
fi

# ---- the prompt: pseudo-words from a fixed seed, so that its tokens vary like real text ----
prompt=$(python3 - "$PROMPT_WORDS" <<'PY'
import random, sys
r = random.Random(7)
consonants, vowels = "bcdfghjklmnprstvwz", "aeiou"
words = ["".join(r.choice(consonants) + r.choice(vowels) for _ in range(r.randint(1, 4))) for _ in range(int(sys.argv[1]))]
print("Summarise these notes: " + " ".join(words))
PY
)

# ---- measurements ----
rm -rf "$OUT" && mkdir -p "$OUT/runs"
read -r n_layer n_expert stride experts_bytes <<<"$(python3 - "$pack/manifest.json" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
print(len(m["layers"]), m["n_expert"], m["layers"][0]["stride"], m["experts_bytes"])
PY
)"
# the core tensors mivra holds in memory: core.gguf without the token embedding (q8_0), which stays on disk
core_file_bytes=$(stat -c %s "$pack/core.gguf")
core_bytes=$(( core_file_bytes - 151936 * 2048 * 34 / 32 ))
ctx_rounded=$(( (CTX + 255) / 256 * 256 ))
kv_bytes=$(( n_layer * ctx_rounded * 2 * HEADS_KV * HEAD_DIM * 2 ))
mib=1048576

# raw_read FILE: appends the raw O_DIRECT read throughput of experts.bin with mivra's I/O thread count to FILE
raw_read() {
  nice -n "$NICE" "$BUILD_DIR/bin/raw_read_bench" "$pack/experts.bin" --blob "$stride" --threads "$IO_THREADS" \
    --seconds 3 >> "$1"
}

say "raw read throughput of experts.bin ..."
for t in 1 "$IO_THREADS" $(( IO_THREADS * 4 )); do
  nice -n "$NICE" "$BUILD_DIR/bin/raw_read_bench" "$pack/experts.bin" --blob "$stride" --threads "$t" --seconds 2 \
    >> "$OUT/raw_scaling.txt"
done

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
smallest=$(printf '%s\n' $BUDGETS | sort -n | head -1)
limits=()
for b in $BUDGETS; do
  if [ "$b" -ge 100 ]; then
    cache_mb=$(( (experts_bytes + mib - 1) / mib + 1 ))
    limit=max gen=$GEN_RESIDENT
  else
    cache_mb=$(( experts_bytes * b / 100 / mib ))
    # The same limit for both programs: the cache budget, core.gguf (mivra's loader allocates and zeroes room for
    # all of it, the token embedding included) and the KV cache, 5% and 512 MiB more for the program itself.
    limit=$(( (cache_mb * mib + core_file_bytes + kv_bytes) * 105 / 100 + 512 * mib ))
    gen=$GEN
  fi
  limits+=("$b:$cache_mb:$limit:$gen")
  engine_opts=(-t "$THREADS" -c "$CTX" --cache-mb "$cache_mb" --io-threads "$IO_THREADS")
  for rep in $(seq 1 "$REPS"); do
    d=$OUT/runs/b$b-r$rep
    mkdir -p "$d"
    say "budget $b%, run $rep of $REPS ..."
    raw_read "$d/raw.out"
    (cd "$bin" && limited "$limit" "$d/mivra" ./mivra_stream_bench "$pack" --pp "$PROMPT_TOKENS" --tg "$gen" \
      "${engine_opts[@]}")
    raw_read "$d/raw.out"
    if [ "$b" = "$smallest" ] && [ "$b" -lt 100 ] && [ "$PLAIN" = 1 ]; then
      # diagnostic: the same run computing on the experts as read, without repacking each one for ggml
      (cd "$bin" && limited "$limit" "$d/plain" ./mivra_stream_bench "$pack" --pp "$PROMPT_TOKENS" --tg "$gen" \
        --plain "${engine_opts[@]}")
    fi
    (cd "$bin" && limited "$limit" "$d/llama" ./llama_mmap_bench "$gguf" -t "$THREADS" -p "$PROMPT_TOKENS" -n "$gen")
    if [ "$b" -ge 100 ]; then
      (cd "$bin" && LD_LIBRARY_PATH=. limited max "$d/llamabench" "$llama_bench" -m "$gguf" -t "$THREADS" \
        -p "$PROMPT_TOKENS" -n "$gen" -r 1 -o jsonl)
    fi
  done
  # `mivra run` itself, once per budget: its peak RSS, and its speeds on its own greedy output
  say "budget $b%, mivra run ..."
  rm -f "$pack/hot.bin"
  mkdir -p "$OUT/runs/b$b-run"
  (cd "$bin" && limited "$limit" "$OUT/runs/b$b-run/mivra" ./mivra run "$pack" -p "$prompt" -n "$gen" \
    "${engine_opts[@]}" --kv-disk-mb 0 --draft 0)
  rm -f "$pack/hot.bin"
done

cat > "$OUT/meta.json" <<EOF
{"model": "$gguf", "pack": "$pack", "n_layer": $n_layer, "n_expert": $n_expert, "n_used": $N_USED,
 "expert_bytes": $stride, "experts_bytes": $experts_bytes, "core_bytes": $core_bytes, "kv_bytes": $kv_bytes,
 "gguf_bytes": $(stat -c %s "$gguf"), "threads": $THREADS, "io_threads": $IO_THREADS, "reps": $REPS,
 "prompt_tokens": $PROMPT_TOKENS, "ctx": $CTX, "budgets": "${limits[*]}", "cpu_variant": "$variant",
 "left_out": "$left_out", "cgroup": "$cg_mode", "nice": $NICE, "commit": "$(git -C "$root" rev-parse --short HEAD 2>/dev/null)",
 "date": "$(date -u +%Y-%m-%dT%H:%MZ)", "load": "$load_before / $(cut -d' ' -f1-3 /proc/loadavg)", "cpus": $(nproc), "ram_bytes": $(( $(awk '/MemTotal/ { print $2 }' /proc/meminfo) * 1024 ))}
EOF
python3 "$root/bench/report.py" "$OUT"
