#!/usr/bin/env bash
# mivra against llama.cpp of the same pinned tree, side by side on the same GGUF, threads and ggml CPU variant.
#
#   sudo bench/run.sh            (root: it drops the page cache and puts each run in a memory-limited cgroup)
#   sudo QUICK=1 bench/run.sh    (the two small models, one run per figure: to try the script)
#
# One command does everything: installs the plotting packages (bench/deps.sh), builds the programs it needs in
# Release (and llama.cpp's own server, for the comparison only: bench/llama_server.sh), writes random-weight models
# with the shapes of popular MoEs once into the cache folder (with their packs), measures, and prints the report,
# which is also written to OUT/report.md beside OUT/bench.png. Sections, each repeated REPS times:
#
# resident  Every expert in memory (--cache-mb = all of experts.bin), page cache warm, hot.bin present (a first
#           run writes it), as a user runs it: `mivra run` on a short prompt generating GEN_RESIDENT tokens, and on
#           a prompt of about 512 tokens, against llama-bench -p 512 -n GEN_RESIDENT (default settings: weights
#           repacked in RAM) right after. Both `mivra run`s run under a memory limit of their allowance (cache
#           budget + core.gguf + KV cache, 5% more) plus 256 MiB; their peak RSS is reported against it.
# parallel  The engine decoding 4 concurrent requests on 4 slots against libllama decoding 4 sequences in one batch
#           per step (bench/engine_bench.cpp, every expert resident).
# serve     Time to first token of `mivra serve` on a chat request of about 2000 tokens against llama-server built
#           from the same source, one slot each, every expert resident; mivra serve under its memory limit.
# stream    Experts partly resident (BUDGETS, percent of experts.bin), page cache dropped before every run, one
#           cgroup memory limit for both programs (allowance + 256 MiB): the raw O_DIRECT read throughput of
#           experts.bin into huge-page memory (before and after), mivra's runner and expert cache as `mivra run`
#           builds them fed random tokens (bench/stream_bench.cpp), and libllama on the memory-mapped GGUF with the
#           same workload (bench/llama_mmap_bench.cpp); then `mivra run` and `mivra serve` on the 512-token prompt
#           for their peak RSS.
#
# Models (name: architecture and size of the GGUF): qwen3moe-0.5, qwen3moe-2, qwen3moe-9 (q4_K experts) and
# gpt-oss-0.5, gpt-oss-2, gpt-oss-9 (mxfp4 experts); the 2 and 9 GB ones have the per-layer shapes of the real
# models with fewer layers, the 0.5 GB ones narrower layers.
#
# Settings (environment):
#   BUILD_DIR   build folder (default build-bench in the checkout; configured as Release if new)
#   MIVRA_BENCH_CACHE  folder for the models and their packs (default ~/.cache/mivra-bench; about 48 GB for all)
#   MIN_FREE_GB disk space a new model must leave free in that folder (15)
#   OUT         report folder (default BUILD_DIR/bench-report)
#   RESULTS     where a run that is not QUICK copies report.md, summary.md and bench.png (bench/results; empty: nowhere)
#   SECTIONS    sections to run ("resident parallel serve stream")
#   APPEND      1: add the sections to the report already in OUT instead of starting a new one
#   MODELS      models of the resident section (all six)     PARALLEL_MODELS, SERVE_MODELS  ("qwen3moe-2 gpt-oss-2")
#   STREAM_MODELS  models of the stream section ("qwen3moe-9 gpt-oss-9")
#   BUDGETS     stream budgets in percent of experts.bin ("50 25")
#   THREADS     compute threads of both programs (4)    IO_THREADS  mivra's --io-threads (4)
#   CPUS        CPU list every program is pinned to (taskset -c; default: all)
#   REPS        runs per figure (3)   GEN_RESIDENT  tokens generated with every expert resident (256)
#   GEN         tokens generated with a partial cache (16)   PROMPT_TOKENS  random prompt tokens when streaming (256)
#   PARALLEL_TOKENS  tokens per request of the parallel section (128)   TTFT_TOKENS  prompt of the serve section (2000)
#   PORT        first of the two loopback ports of the serve section (18431)
#   RUN_TIMEOUT seconds before one run is abandoned (900)
#   PLAIN       1: at the smallest budget also run mivra without repacking experts (a diagnostic; default 0)
#   NICE        niceness of the measured runs and of their scheduler autogroup (-10: on a shared machine the
#               compute threads of both programs otherwise lose their time slices to other work, and ggml's
#               thread barriers stall on every lost slice)
set -euo pipefail
# The whole script is one block, read before it starts: editing this file during a run cannot change that run.
{

root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${CPUS:-}" ] && [ -z "${MIVRA_BENCH_PINNED:-}" ]; then
  exec env MIVRA_BENCH_PINNED=1 taskset -c "$CPUS" "$0" "$@"
fi
QUICK=${QUICK:-0}
BUILD_DIR=$(realpath -m "${BUILD_DIR:-$root/build-bench}")
CACHE=$(realpath -m "${MIVRA_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mivra-bench}")
OUT=$(realpath -m "${OUT:-$BUILD_DIR/bench-report}")
RESULTS=${RESULTS-$root/bench/results}
MIN_FREE_GB=${MIN_FREE_GB:-15}
SECTIONS=${SECTIONS:-"resident parallel serve stream"}
if [ "$QUICK" = 1 ]; then
  MODELS=${MODELS:-"qwen3moe-0.5 gpt-oss-0.5"}
  PARALLEL_MODELS=${PARALLEL_MODELS:-$MODELS} SERVE_MODELS=${SERVE_MODELS:-$MODELS}
  STREAM_MODELS=${STREAM_MODELS:-$MODELS}
  REPS=${REPS:-1} GEN_RESIDENT=${GEN_RESIDENT:-64} PARALLEL_TOKENS=${PARALLEL_TOKENS:-32}
  TTFT_TOKENS=${TTFT_TOKENS:-500}
fi
MODELS=${MODELS:-"qwen3moe-0.5 qwen3moe-2 qwen3moe-9 gpt-oss-0.5 gpt-oss-2 gpt-oss-9"}
PARALLEL_MODELS=${PARALLEL_MODELS:-"qwen3moe-2 gpt-oss-2"}
SERVE_MODELS=${SERVE_MODELS:-"qwen3moe-2 gpt-oss-2"}
STREAM_MODELS=${STREAM_MODELS:-"qwen3moe-9 gpt-oss-9"}
THREADS=${THREADS:-4}
IO_THREADS=${IO_THREADS:-4}
REPS=${REPS:-3}
PROMPT_TOKENS=${PROMPT_TOKENS:-256}
GEN=${GEN:-16}
GEN_RESIDENT=${GEN_RESIDENT:-256}
PARALLEL_TOKENS=${PARALLEL_TOKENS:-128}
TTFT_TOKENS=${TTFT_TOKENS:-2000}
PORT=${PORT:-18431}
BUDGETS=${BUDGETS:-"50 25"}
RUN_TIMEOUT=${RUN_TIMEOUT:-900}
NICE=${NICE:--10}
PLAIN=${PLAIN:-0}
CTX=1024        # -c of `mivra run` and of the streamed runs: the prompt and the generated tokens fit
SERVE_CTX=4096  # -c of both servers
mib=1048576

say() { printf 'bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }
has() { [[ " $1 " == *" $2 "* ]]; }

[ "$(id -u)" -eq 0 ] || die "run as root: the page cache is dropped and runs are put in a memory-limited cgroup"
"$root/bench/deps.sh"

# ---- the models: name -> shape ----
# model_spec NAME sets ARCH, SHAPE (mivra-make-model options), EMBD, HEADS_KV, HEAD_DIM, N_USED, SIZE_MB (GGUF)
model_spec() {
  local q=(--experts-used 8 --expert-type q4_K --attn-type q8_0)
  local g=(--experts 32 --experts-used 4 --expert-type mxfp4 --attn-type q8_0 --sliding-window 128)
  case $1 in
    qwen3moe-0.5) ARCH=qwen3moe EMBD=768 HEADS_KV=4 HEAD_DIM=64 N_USED=8 SIZE_MB=520
      SHAPE=(--layers 6 --embd 768 --heads 12 --heads-kv 4 --head-dim 64 --experts 64 --ff 512 "${q[@]}") ;;
    qwen3moe-2) ARCH=qwen3moe EMBD=2048 HEADS_KV=4 HEAD_DIM=128 N_USED=8 SIZE_MB=2100
      SHAPE=(--layers 4 --embd 2048 --heads 32 --heads-kv 4 --head-dim 128 --experts 128 --ff 768 "${q[@]}") ;;
    qwen3moe-9) ARCH=qwen3moe EMBD=2048 HEADS_KV=4 HEAD_DIM=128 N_USED=8 SIZE_MB=9300
      SHAPE=(--layers 24 --embd 2048 --heads 32 --heads-kv 4 --head-dim 128 --experts 128 --ff 768 "${q[@]}") ;;
    gpt-oss-0.5) ARCH=gpt-oss EMBD=768 HEADS_KV=4 HEAD_DIM=64 N_USED=4 SIZE_MB=500
      SHAPE=(--layers 8 --embd 768 --heads 12 --heads-kv 4 --head-dim 64 --ff 768 "${g[@]}") ;;
    gpt-oss-2) ARCH=gpt-oss EMBD=2880 HEADS_KV=8 HEAD_DIM=64 N_USED=4 SIZE_MB=2300
      SHAPE=(--layers 3 --embd 2880 --heads 64 --heads-kv 8 --head-dim 64 --ff 2880 "${g[@]}") ;;
    gpt-oss-9) ARCH=gpt-oss EMBD=2880 HEADS_KV=8 HEAD_DIM=64 N_USED=4 SIZE_MB=9100
      SHAPE=(--layers 18 --embd 2880 --heads 64 --heads-kv 8 --head-dim 64 --ff 2880 "${g[@]}") ;;
    *) die "unknown model $1 (qwen3moe-0.5|2|9, gpt-oss-0.5|2|9)" ;;
  esac
  SHAPE=(--arch "$ARCH" "${SHAPE[@]}")
}
all_models=$(printf '%s\n' $MODELS $PARALLEL_MODELS $SERVE_MODELS $STREAM_MODELS | awk '!seen[$0]++')
for m in $all_models; do model_spec "$m"; done

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
server_pid=""
cleanup() {
  [ -z "${bin:-}" ] || rm -rf "$bin"
  if [ -n "$server_pid" ]; then kill -TERM -- "-$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  for _ in 1 2 3 4 5 6 7 8 9 10; do rmdir "$cg" 2>/dev/null && return; sleep 0.5; done
  say "could not remove $cg"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# set_limit LIMIT_BYTES|max: the limit of the next run; drops the page cache unless DROP=0
set_limit() {
  local limit=$1
  if [ $cg_mode = v1 ]; then
    [ "$limit" = max ] && limit=-1
    echo "$limit" > "$cg/memory.limit_in_bytes"
    echo 0 > "$cg/memory.max_usage_in_bytes"
  else
    echo "$limit" > "$cg/memory.max"
    echo 0 > "$cg/memory.peak" 2>/dev/null || true  # resettable from Linux 6.12 on
  fi
  sync
  [ "${DROP:-1}" = 0 ] || echo 3 > /proc/sys/vm/drop_caches
}
cg_peak() { if [ $cg_mode = v1 ]; then cat "$cg/memory.max_usage_in_bytes"; else cat "$cg/memory.peak" 2>/dev/null || echo 0; fi; }
# A session of its own gets a scheduler autogroup of its own, whose niceness is what counts against the other
# sessions of a shared machine (the niceness of a process only counts within its autogroup).
in_cgroup='echo $$ > "$1/cgroup.procs"; echo "$2" > /proc/$$/autogroup 2>/dev/null; shift 2; exec "$@"'

# limited LIMIT_BYTES|max PREFIX cmd...: runs cmd inside the cgroup with that limit (after dropping the page cache
# unless DROP=0), stdout to PREFIX.out, stderr to PREFIX.err, GNU time's report to PREFIX.time, the group's peak to
# PREFIX.peak, the limit to PREFIX.limit.
limited() {
  local limit=$1 prefix=$2
  shift 2
  set_limit "$limit"
  echo "$limit" > "$prefix.limit"
  local rc=0
  setsid -w sh -c "$in_cgroup" sh "$cg" "$NICE" nice -n "$NICE" timeout "$RUN_TIMEOUT" \
    /usr/bin/time -v -o "$prefix.time" "$@" > "$prefix.out" 2> "$prefix.err" || rc=$?
  cg_peak > "$prefix.peak"
  echo "$rc" > "$prefix.rc"
  [ "$rc" -eq 0 ] || say "$(basename "$(dirname "$prefix")")/$(basename "$prefix") ended with code $rc (see $prefix.err)"
}

# measured LIMIT PREFIX cmd...: limited; when the limit stopped it, once more without a limit (PREFIX-nolimit), so
# that its speed and the memory it needed are known as well
measured() {
  limited "$@"
  [ "$(cat "$2.rc")" != 0 ] || return 0
  local prefix=$2
  shift 2
  say "$(basename "$prefix"): once more without a memory limit"
  limited max "$prefix-nolimit" "$@"
}

# start_server LIMIT PREFIX URL cmd...: like limited, in the background, until the server answers /health
start_server() {
  local limit=$1 prefix=$2 url=$3
  shift 3
  set_limit "$limit"
  echo "$limit" > "$prefix.limit"
  setsid sh -c "$in_cgroup" sh "$cg" "$NICE" nice -n "$NICE" timeout "$RUN_TIMEOUT" \
    /usr/bin/time -v -o "$prefix.time" "$@" > "$prefix.out" 2> "$prefix.err" &
  server_pid=$!
  local waited=0
  until curl -sf -o /dev/null "$url/health"; do
    if ! kill -0 "$server_pid" 2>/dev/null || [ $waited -ge "$RUN_TIMEOUT" ]; then
      say "$(basename "$prefix") did not start (see $prefix.err)"
      stop_server "$prefix"
      return 1
    fi
    sleep 0.5
    waited=$((waited + 1))
  done
}
# stop_server PREFIX: the server's peak RSS (VmHWM) to PREFIX.hwm, then SIGTERM to it and waits for the group
stop_server() {
  local prefix=$1 p=$server_pid c
  while c=$(cat "/proc/$p/task/$p/children" 2>/dev/null) && [ -n "$c" ]; do p=${c%% *}; done  # timeout->time->server
  awk '/^VmHWM:/ { print $2 * 1024 }' "/proc/$p/status" > "$prefix.hwm" 2>/dev/null || true
  local rc=0
  if kill -0 "$p" 2>/dev/null; then kill -TERM "$p" 2>/dev/null || true; fi
  wait "$server_pid" || rc=$?
  server_pid=""
  cg_peak > "$prefix.peak"
  # killed by our SIGTERM (143) is the normal end; anything else before it (a 137 from the memory limit) is not
  if [ -s "$prefix.hwm" ] && grep -q 'Command terminated by signal 15\|Exit status: 0' "$prefix.time" 2>/dev/null; then rc=0; fi
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
cmake --build "$BUILD_DIR" -j "${JOBS:-3}" \
  --target mivra mivra-make-model raw_read_bench llama_mmap_bench mivra_stream_bench mivra-engine-bench \
  > "$BUILD_DIR/bench-build.log" 2>&1 || { cat "$BUILD_DIR/bench-build.log" >&2; die "build failed"; }
deps_dir=$(sed -n 's/^MIVRA_DEPS_DIR:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
llama_bench=$deps_dir/bin/llama-bench

# ---- models and packs, made once ----
mkdir -p "$CACHE"
# make_model NAME: sets gguf and pack of the model, writing them first if missing
make_model() {
  model_spec "$1"
  model_name=$1
  gguf=$CACHE/$1.gguf
  pack=$CACHE/$1.pack
  if [ ! -f "$gguf" ]; then
    local free need=$(( SIZE_MB * 2 + MIN_FREE_GB * 1024 ))
    free=$(df -Pm "$CACHE" | awk 'NR == 2 { print $4 }')
    [ "$free" -gt "$need" ] || die "$CACHE has $free MB free; $1 and its pack need about $(( SIZE_MB * 2 )) MB and $MIN_FREE_GB GB must stay free"
    say "writing $gguf (once; the generator holds the whole model in RAM) ..."
    "$BUILD_DIR/bin/mivra-make-model" "$gguf.part" "${SHAPE[@]}" >/dev/null
    mv "$gguf.part" "$gguf"
  fi
  if [ ! -f "$pack/manifest.json" ]; then
    say "packing $1 (once) ..."
    rm -rf "$pack.part"
    "$BUILD_DIR/bin/mivra" pack "$gguf" "$pack.part" >/dev/null
    rm -rf "$pack"
    mv "$pack.part" "$pack"
  fi
  read -r n_layer n_expert stride experts_bytes <<<"$(python3 - "$pack/manifest.json" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
print(len(m["layers"]), m["n_expert"], m["layers"][0]["stride"], m["experts_bytes"])
PY
)"
  core_file_bytes=$(stat -c %s "$pack/core.gguf")
  all_mb=$(( (experts_bytes + mib - 1) / mib + 1 ))
}
for m in $all_models; do make_model "$m"; done

# kv_bytes CTX: the f16 KV cache of the current model for CTX tokens (rounded up to 256 as the engine does)
kv_bytes() { echo $(( n_layer * ( ($1 + 255) / 256 * 256 ) * 2 * HEADS_KV * HEAD_DIM * 2 )); }
# allowance CACHE_MB CTX: cache budget + core.gguf + KV cache, 5% more
allowance() { echo $(( ($1 * mib + core_file_bytes + $(kv_bytes "$2")) * 105 / 100 )); }

# ---- the programs run from one folder, so all load the same ggml CPU variant ----
# ggml loads the best CPU variant found beside the program. Where llama.cpp's AMX buffers stop it with an illegal
# instruction (virtual machines that report AMX without enabling it), the AMX variant is left out for all.
bin=$BUILD_DIR/bench-run-bin-$$  # one per run: a second run must not pull the programs from under this one
make_bin() {  # $1: CPU variant to leave out (or empty)
  rm -rf "$bin" && mkdir -p "$bin"
  for f in "$BUILD_DIR"/bin/*.so*; do
    [ "$(basename "$f")" = "libggml-cpu-$1.so" ] || ln -s "$f" "$bin/"
  done
  cp "$BUILD_DIR/bin/mivra" "$BUILD_DIR/bin/mivra_stream_bench" "$BUILD_DIR/bin/llama_mmap_bench" \
     "$BUILD_DIR/bin/mivra-engine-bench" "$bin/"
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

# words N SEED: a prompt of N pseudo-words from a fixed seed, so that its tokens vary like real text
words() {
  python3 - "$1" "$2" <<'PY'
import random, sys
r = random.Random(int(sys.argv[2]))
consonants, vowels = "bcdfghjklmnprstvwz", "aeiou"
words = ["".join(r.choice(consonants) + r.choice(vowels) for _ in range(r.randint(1, 4))) for _ in range(int(sys.argv[1]))]
print("Summarise these notes: " + " ".join(words))
PY
}

# resident_mb CTX: the --cache-mb that keeps every expert of the current model resident with a context of CTX: all
# of experts.bin plus the engine's working memory, which --cache-mb covers too (as the engine's note names it)
resident_mb() {
  local d mb
  d=$(mktemp -d)
  DROP=0 limited max "$d/probe" ./mivra run "$pack" -p "Hello" -n 1 -t "$THREADS" -c "$1" --cache-mb "$all_mb" \
    --kv-disk-mb 0 --draft 0
  mb=$(sed -n 's/.*--cache-mb \([0-9]*\) keeps every expert resident.*/\1/p' "$d/probe.err")
  rm -rf "$d"
  echo "${mb:-$all_mb}"
}

# calibrate: the word counts of prompts of about 512 and TTFT_TOKENS tokens for the current model (w512, wlong),
# from the prompt tokens `mivra run` counts for two short prompts (kept beside the model)
calibrate() {
  local f=$CACHE/$model_name.tokens
  if [ ! -f "$f" ]; then
    local n=() d
    d=$(mktemp -d)
    for w in 20 200; do
      DROP=0 limited max "$d/calibrate-$w" ./mivra run "$pack" -p "$(words $w 7)" -n 1 -t "$THREADS" \
        -c "$CTX" --cache-mb "$all_mb" --kv-disk-mb 0 --draft 0
      n+=("$(sed -n 's/^prefill \([0-9]*\) tokens.*/\1/p' "$d/calibrate-$w.err")")
    done
    [ -n "${n[0]}" ] && [ -n "${n[1]}" ] && [ "${n[1]}" -gt "${n[0]}" ] || die "cannot count prompt tokens (see $d)"
    rm -rf "$d"
    echo "${n[0]} ${n[1]}" > "$f"
  fi
  local n20 n200
  read -r n20 n200 < "$f"
  w512=$(( 20 + (512 - n20) * 180 / (n200 - n20) ))
  wlong=$(( 20 + (TTFT_TOKENS - n20) * 180 / (n200 - n20) ))
}

# ---- measurements (from the folder of the programs) ----
cd "$bin"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
date_start=$(date -u +%Y-%m-%dT%H:%MZ)
report_sections=$SECTIONS  # what the report covers; SECTIONS stays what this run measures
if [ "${APPEND:-0}" = 1 ] && [ -f "$OUT/meta.json" ]; then
  # more sections into an earlier run's folder: the report covers both, from the first one's start
  read -r date_start load_before < <(python3 -c 'import json, sys; m = json.load(open(sys.argv[1]))
print(m["date"], m["load"].split(" / ")[0])' "$OUT/meta.json")
  report_sections="$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["sections"])' "$OUT/meta.json") $SECTIONS"
else
  rm -rf "$OUT" && mkdir -p "$OUT"
fi
write_meta() {
  cat > "$OUT/meta.json" <<EOF
{"threads": $THREADS, "io_threads": $IO_THREADS, "reps": $REPS, "gen_resident": $GEN_RESIDENT, "gen": $GEN,
 "prompt_tokens": $PROMPT_TOKENS, "parallel_tokens": $PARALLEL_TOKENS, "ttft_tokens": $TTFT_TOKENS, "ctx": $CTX,
 "serve_ctx": $SERVE_CTX, "sections": "$report_sections", "models": "$MODELS", "parallel_models": "$PARALLEL_MODELS",
 "serve_models": "$SERVE_MODELS", "stream_models": "$STREAM_MODELS", "budgets": "$BUDGETS",
 "cpu_variant": "$variant", "left_out": "$left_out", "cgroup": "$cg_mode", "nice": $NICE, "cpus_pinned": "${CPUS:-}",
 "commit": "$(git -C "$root" rev-parse --short HEAD 2>/dev/null)",
 "cpu_model": "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)", "cpus": $(nproc --all),
 "ram_bytes": $(( $(awk '/MemTotal/ { print $2 }' /proc/meminfo) * 1024 )), "date": "$date_start",
 "date_end": "$(date -u +%Y-%m-%dT%H:%MZ)", "load": "$load_before / $(cut -d' ' -f1-3 /proc/loadavg)",
 "kernel": "$(uname -r)", "complete": $1}
EOF
}
write_meta false
# model_json DIR: what the report needs to know of the current model
model_json() {
  cat > "$1/model.json" <<EOF
{"arch": "$ARCH", "gguf": "$gguf", "gguf_bytes": $(stat -c %s "$gguf"), "n_layer": $n_layer, "n_expert": $n_expert,
 "n_used": $N_USED, "expert_bytes": $stride, "experts_bytes": $experts_bytes, "core_file_bytes": $core_file_bytes,
 "core_bytes": $(( core_file_bytes - 151936 * EMBD * 34 / 32 )), "shape": "${SHAPE[*]}"}
EOF
}
# begin_model SECTION M: makes (or finds) model M, and its folder of the section, OUT/SECTION/M (`d`), with model.json
begin_model() {
  make_model "$2"
  d=$OUT/$1/$2
  mkdir -p "$d"
  model_json "$d"
}

if has "$SECTIONS" resident; then
  for m in $MODELS; do
    begin_model resident "$m"
    say "$m: every expert resident; sizing the prompts and warming up (page cache, hot.bin) ..."
    calibrate
    res_mb=$(resident_mb "$CTX")
    limit=$(( $(allowance "$res_mb" "$CTX") + 256 * mib ))
    opts=(-t "$THREADS" -c "$CTX" --cache-mb "$res_mb" --kv-disk-mb 0 --draft 0)
    DROP=0 limited max "$d/warm" ./mivra run "$pack" -p "$(words 20 100)" -n 16 "${opts[@]}"
    for rep in $(seq 1 "$REPS"); do
      r=$d/r$rep
      mkdir -p "$r"
      say "$m resident, run $rep of $REPS ..."
      DROP=0 measured "$limit" "$r/decode" ./mivra run "$pack" -p "$(words 20 $((100 + rep)))" \
        -n "$GEN_RESIDENT" "${opts[@]}"
      DROP=0 measured "$limit" "$r/prefill" ./mivra run "$pack" -p "$(words "$w512" $((200 + rep)))" \
        -n 2 "${opts[@]}"
      DROP=0 LD_LIBRARY_PATH=. limited max "$r/llamabench" "$llama_bench" -m "$gguf" -t "$THREADS" \
        -p 512 -n "$GEN_RESIDENT" -r 1 -o jsonl
    done
    echo "$limit $(allowance "$res_mb" "$CTX")" > "$d/limit"
  done
fi

if has "$SECTIONS" parallel; then
  for m in $PARALLEL_MODELS; do
    begin_model parallel "$m"
    for rep in $(seq 1 "$REPS"); do
      say "$m, 4 parallel requests, run $rep of $REPS ..."
      DROP=0 LD_LIBRARY_PATH=. limited max "$d/r$rep" ./mivra-engine-bench "$gguf" "$pack" \
        -t "$THREADS" -n "$PARALLEL_TOKENS" -np 4 -r 1 --cache-mb 0
    done
  done
fi

if has "$SECTIONS" stream; then
  for m in $STREAM_MODELS; do
    begin_model stream "$m"
    mkdir -p "$d/runs"
    calibrate
    kv=$(kv_bytes "$CTX")
    say "$m: raw read throughput of experts.bin ..."
    for t in 1 "$IO_THREADS" $(( IO_THREADS * 4 )); do
      nice -n "$NICE" "$BUILD_DIR/bin/raw_read_bench" "$pack/experts.bin" --blob "$stride" --threads "$t" --seconds 2 \
        >> "$d/raw_scaling.txt"
    done
    smallest=$(printf '%s\n' $BUDGETS | sort -n | head -1)
    limits=()
    for b in $BUDGETS; do
      if [ "$b" -ge 100 ]; then cache_mb=$all_mb; else cache_mb=$(( experts_bytes * b / 100 / mib )); fi
      # the same limit for both programs: mivra's allowance (cache budget, core.gguf, KV cache, 5%) + 256 MiB
      limit=$(( $(allowance "$cache_mb" "$CTX") + 256 * mib ))
      gen=$GEN
      [ "$b" -lt 100 ] || gen=$GEN_RESIDENT
      limits+=("$b:$cache_mb:$limit:$gen")
      engine_opts=(-t "$THREADS" -c "$CTX" --cache-mb "$cache_mb" --io-threads "$IO_THREADS")
      for rep in $(seq 1 "$REPS"); do
        r=$d/runs/b$b-r$rep
        mkdir -p "$r"
        say "$m, budget $b%, run $rep of $REPS ..."
        nice -n "$NICE" "$BUILD_DIR/bin/raw_read_bench" "$pack/experts.bin" --blob "$stride" --threads "$IO_THREADS" \
          --seconds 3 >> "$r/raw.out"
        limited "$limit" "$r/mivra" ./mivra_stream_bench "$pack" --pp "$PROMPT_TOKENS" --tg "$gen" \
          "${engine_opts[@]}"
        nice -n "$NICE" "$BUILD_DIR/bin/raw_read_bench" "$pack/experts.bin" --blob "$stride" --threads "$IO_THREADS" \
          --seconds 3 >> "$r/raw.out"
        if [ "$b" = "$smallest" ] && [ "$b" -lt 100 ] && [ "$PLAIN" = 1 ]; then
          # diagnostic: the same run computing on the experts as read, without repacking each one for ggml
          limited "$limit" "$r/plain" ./mivra_stream_bench "$pack" --pp "$PROMPT_TOKENS" --tg "$gen" \
            --plain "${engine_opts[@]}"
        fi
        limited "$limit" "$r/llama" ./llama_mmap_bench "$gguf" -t "$THREADS" -p "$PROMPT_TOKENS" \
          -n "$gen"
      done
      # `mivra run` and `mivra serve` themselves, cold, on the 512-token prompt: their peak RSS under the limit
      say "$m, budget $b%, mivra run and mivra serve ..."
      rm -f "$pack/hot.bin"
      r=$d/runs/b$b-run
      mkdir -p "$r"
      measured "$limit" "$r/mivra" ./mivra run "$pack" -p "$(words "$w512" 9)" -n "$gen" \
        "${engine_opts[@]}" --kv-disk-mb 0 --draft 0
      rm -f "$pack/hot.bin"
      slimit=$(( $(allowance "$cache_mb" "$SERVE_CTX") + 256 * mib ))
      words "$w512" 10 > "$r/serve-prompt.txt"
      if start_server "$slimit" "$r/serve" "http://127.0.0.1:$PORT" ./mivra serve "$pack" \
            --port "$PORT" -np 1 -t "$THREADS" -c "$SERVE_CTX" --cache-mb "$cache_mb" --io-threads "$IO_THREADS" \
            --kv-disk-mb 0 --draft 0; then
        python3 "$root/bench/ttft.py" "http://127.0.0.1:$PORT" "$r/serve-prompt.txt" --max-tokens "$gen" \
          > "$r/serve.ttft" || say "request to mivra serve failed"
        stop_server "$r/serve"
      fi
      echo "$(allowance "$cache_mb" "$SERVE_CTX")" > "$r/serve.allow"
      rm -f "$pack/hot.bin"
    done
    cat > "$d/meta.json" <<EOF
{"model": "$gguf", "pack": "$pack", "arch": "$ARCH", "n_layer": $n_layer, "n_expert": $n_expert, "n_used": $N_USED,
 "expert_bytes": $stride, "experts_bytes": $experts_bytes, "core_bytes": $(( core_file_bytes - 151936 * EMBD * 34 / 32 )),
 "core_file_bytes": $core_file_bytes, "kv_bytes": $kv, "gguf_bytes": $(stat -c %s "$gguf"), "reps": $REPS,
 "threads": $THREADS, "io_threads": $IO_THREADS, "prompt_tokens": $PROMPT_TOKENS, "ctx": $CTX, "budgets": "${limits[*]}"}
EOF
  done
fi

# ttft_session PREFIX LIMIT URL cmd...: one server, a warm-up request, then one request of about TTFT_TOKENS
# tokens per repetition (a different prompt each, so that no prefix is reused), results to PREFIX.ttft
ttft_session() {
  local limit=$2 prefix=$1 url=$3
  shift 3
  : > "$prefix.ttft"
  DROP=0 start_server "$limit" "$prefix" "$url" "$@" || return 0
  words 10 5 > "$prefix.warm.txt"
  python3 "$root/bench/ttft.py" "$url" "$prefix.warm.txt" --max-tokens 4 > /dev/null || say "warm-up request failed"
  for rep in $(seq 1 "$REPS"); do
    words "$wlong" $((300 + rep)) > "$prefix.prompt$rep.txt"
    python3 "$root/bench/ttft.py" "$url" "$prefix.prompt$rep.txt" --max-tokens 1 >> "$prefix.ttft" ||
      echo '{"failed": true}' >> "$prefix.ttft"
  done
  stop_server "$prefix"
}

if has "$SECTIONS" serve; then
  # llama.cpp's server, built when first needed (bench/llama_server.sh), runs from the folder of the programs too
  cp "$("$root/bench/llama_server.sh" "$BUILD_DIR" | tail -1)" "$bin/llama-server"
  for m in $SERVE_MODELS; do
    begin_model serve "$m"
    calibrate
    res_mb=$(resident_mb "$SERVE_CTX")
    limit=$(( $(allowance "$res_mb" "$SERVE_CTX") + 256 * mib ))
    echo "$limit $(allowance "$res_mb" "$SERVE_CTX")" > "$d/limit"
    say "$m: time to first token, mivra serve ..."
    ttft_session "$d/mivra" "$limit" "http://127.0.0.1:$PORT" ./mivra serve "$pack" --port "$PORT" \
      -np 1 -t "$THREADS" -c "$SERVE_CTX" --cache-mb "$res_mb" --kv-disk-mb 0 --draft 0
    if [ "$(cat "$d/mivra.rc")" != 0 ]; then  # stopped by its memory limit: once more without, for the figures
      say "$m: mivra serve once more without a memory limit ..."
      ttft_session "$d/mivra-nolimit" max "http://127.0.0.1:$PORT" ./mivra serve "$pack" --port "$PORT" \
        -np 1 -t "$THREADS" -c "$SERVE_CTX" --cache-mb "$res_mb" --kv-disk-mb 0 --draft 0
    fi
    say "$m: time to first token, llama-server ..."
    LD_LIBRARY_PATH=. ttft_session "$d/llama" max "http://127.0.0.1:$((PORT + 1))" ./llama-server \
      -m "$gguf" --host 127.0.0.1 --port "$((PORT + 1))" -np 1 -t "$THREADS" -c "$SERVE_CTX" --jinja
  done
fi

write_meta true
python3 "$root/bench/report.py" "$OUT"
# a full run replaces the committed results (the README shows their plot and summary)
if [ "$QUICK" != 1 ] && [ -n "$RESULTS" ]; then
  mkdir -p "$RESULTS"
  cp "$OUT/report.md" "$OUT/summary.md" "$RESULTS/"
  [ ! -f "$OUT/bench.png" ] || cp "$OUT/bench.png" "$RESULTS/"
  say "report, summary and plot copied to $RESULTS"
fi
exit
}
