#!/usr/bin/env bash
# Peak memory of `mivra run` and `mivra serve` against what the user allowed: at each expert-cache budget (every
# expert, then about 50% and 25% of experts.bin) each program runs under a cgroup memory limit of
#   goal + 256 MiB,  goal = (cache budget + core + KV cache) x 1.05,
# with a prompt of several prompt batches, so prefill is part of the peak. Core is the core tensors held in memory
# (core.gguf less the token embedding, which stays on disk when the model has its own output matrix; the ratio to
# the goal counted with all of core.gguf is shown beside it); KV is the runner's KV cache at -c CTX. Reported per run: peak RSS (the kernel's high-water mark), its ratio to the goal,
# the cgroup's peak (page cache included) and whether the process was killed.
#
#   sudo bench/memory_bench.sh [BUILD_DIR] [ARCH]          (root: cgroups and dropping the page cache)
#
# ARCH is qwen3moe (default) or gpt-oss; the model is bench/runner_bench.sh's (BUILD_DIR/bench-models/ARCH-bench.gguf,
# written on first use; MODEL=path for another), packed once beside it.
# Settings (environment): THREADS (4), IO_THREADS (4), CTX (4096), PROMPT_WORDS (600, about 1400 tokens),
# GEN (8), BUDGETS ("100 50 25"), PORT (18431), RUN_TIMEOUT (900 s), OUT (BUILD_DIR/memory-bench),
# MIVRA (the program measured, default BUILD_DIR/bin/mivra: another build's, to compare).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(realpath "${1:-build}")
arch=${2:-qwen3moe}
THREADS=${THREADS:-4}
IO_THREADS=${IO_THREADS:-4}
CTX=${CTX:-4096}
PROMPT_WORDS=${PROMPT_WORDS:-600}
GEN=${GEN:-8}
BUDGETS=${BUDGETS:-"100 50 25"}
PORT=${PORT:-18431}
RUN_TIMEOUT=${RUN_TIMEOUT:-900}
OUT=$(realpath -m "${OUT:-$build/memory-bench}")
mivra=$(realpath -m "${MIVRA:-$build/bin/mivra}")
mib=1048576

say() { printf 'memory bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }
[ "$(id -u)" -eq 0 ] || die "run as root: each run is put in a memory-limited cgroup after dropping the page cache"

# Another build's program is measured as it is; else this build's is brought up to date.
[ -n "${MIVRA:-}" ] || cmake --build "$build" --target mivra mivra-make-model >/dev/null
source bench/bench_model.sh
bench_model "$build" "$arch"
bench_pack "$build" "$mivra"

# ---- cgroup (v1 or v2), one group whose limit is set per run ----
cg_mode="" cg=""
if [ -d /sys/fs/cgroup/memory ] && [ -w /sys/fs/cgroup/memory ]; then
  cg_mode=v1
  cg=/sys/fs/cgroup/memory$(awk -F: '$2 == "memory" { print $3 }' /proc/self/cgroup)
  cg=${cg%/}/mivra-memory-bench-$$
elif [ -f /sys/fs/cgroup/cgroup.controllers ] && grep -qw memory /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null; then
  cg_mode=v2
  cg=/sys/fs/cgroup/mivra-memory-bench-$$
else
  die "no writable memory cgroup (v1 /sys/fs/cgroup/memory, or v2 with the memory controller at the root)"
fi
mkdir "$cg"
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  for _ in $(seq 20); do rmdir "$cg" 2>/dev/null && return; sleep 0.5; done
  say "could not remove $cg"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

set_limit() {  # bytes
  if [ $cg_mode = v1 ]; then
    echo "$1" > "$cg/memory.limit_in_bytes"
    echo 0 > "$cg/memory.max_usage_in_bytes"
  else
    echo "$1" > "$cg/memory.max"
    echo 0 > "$cg/memory.peak" 2>/dev/null || true
  fi
  sync
  echo 3 > /proc/sys/vm/drop_caches
}
group_peak() {
  if [ $cg_mode = v1 ]; then cat "$cg/memory.max_usage_in_bytes"; else cat "$cg/memory.peak" 2>/dev/null || echo 0; fi
}
oom_kills() {
  if [ $cg_mode = v1 ]; then awk '$1 == "oom_kill" { print $2 }' "$cg/memory.oom_control"; else
    awk '$1 == "oom_kill" { print $2 }' "$cg/memory.events"; fi | grep . || echo 0
}

# ---- sizes: core tensors in memory and the KV cache, from core.gguf's header ----
read -r core_bytes kv_bytes experts_bytes core_file_bytes <<<"$(python3 - "$pack" "$CTX" <<'PY'
import json, os, struct, sys
pack, ctx = sys.argv[1], int(sys.argv[2])
manifest = json.load(open(os.path.join(pack, "manifest.json")))
path = os.path.join(pack, manifest["core"])
f = open(path, "rb")
def rd(fmt):
    return struct.unpack("<" + fmt, f.read(struct.calcsize("<" + fmt)))[0]
def rstr():
    return f.read(rd("Q")).decode("utf-8", "replace")
sizes = {0: "B", 1: "b", 2: "H", 3: "h", 4: "I", 5: "i", 6: "f", 7: "?", 10: "Q", 11: "q", 12: "d"}
def value(t):
    if t == 8: return rstr()
    if t == 9:
        et, n = rd("I"), rd("Q")
        return [value(et) for _ in range(n)]
    return rd(sizes[t])
assert f.read(4) == b"GGUF"
version, n_tensors, n_kv = rd("I"), rd("Q"), rd("Q")
kv = {}
for _ in range(n_kv):
    key = rstr()
    kv[key] = value(rd("I"))
infos = []
for _ in range(n_tensors):
    name = rstr()
    dims = [rd("Q") for _ in range(rd("I"))]
    rd("I")
    infos.append((rd("Q"), name))
align = kv.get("general.alignment", 32)
data = (f.tell() + align - 1) // align * align
end = os.path.getsize(path) - data
infos.sort()
names = {n for _, n in infos}
core = 0
for i, (off, name) in enumerate(infos):
    size = (infos[i + 1][0] if i + 1 < len(infos) else end) - off
    if name == "token_embd.weight" and "output.weight" in names:
        continue
    core += size
a = kv["general.architecture"]
cells = (ctx + 255) // 256 * 256
kvb = cells * kv[a + ".attention.key_length"] * kv[a + ".attention.head_count_kv"] * 2 * 2 * kv[a + ".block_count"]
print(core, kvb, manifest["experts_bytes"], os.path.getsize(path))
PY
)"

prompt=$(python3 - "$PROMPT_WORDS" <<'PY'
import random, sys
r = random.Random(11)
consonants, vowels = "bcdfghjklmnprstvwz", "aeiou"
words = ["".join(r.choice(consonants) + r.choice(vowels) for _ in range(r.randint(1, 4))) for _ in range(int(sys.argv[1]))]
print("Summarise these notes: " + " ".join(words))
PY
)

peak_rss_of() {  # GNU time report -> bytes
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 * 1024 }' "$1"
}

rm -rf "$OUT" && mkdir -p "$OUT"
rows=()
for b in $BUDGETS; do
  if [ "$b" -ge 100 ]; then cache_mb=$(( (experts_bytes + mib - 1) / mib )); else cache_mb=$(( experts_bytes * b / 100 / mib )); fi
  goal=$(( (cache_mb * mib + core_bytes + kv_bytes) * 105 / 100 ))
  goal_file=$(( (cache_mb * mib + core_file_bytes + kv_bytes) * 105 / 100 ))
  limit=$(( goal + 256 * mib ))
  opts=(-t "$THREADS" -c "$CTX" --cache-mb "$cache_mb" --io-threads "$IO_THREADS" --kv-disk-mb 0)

  # mivra run: the prompt, then GEN tokens
  say "budget $b% ($cache_mb MiB): mivra run ..."
  rm -f "$pack/hot.bin"
  set_limit "$limit"
  kills0=$(oom_kills)
  rc=0
  setsid -w sh -c 'echo $$ > "$1/cgroup.procs"; shift; exec "$@"' sh "$cg" \
    timeout "$RUN_TIMEOUT" /usr/bin/time -v -o "$OUT/run-b$b.time" "$mivra" run "$pack" -p "$prompt" \
    -n "$GEN" --draft 0 "${opts[@]}" > "$OUT/run-b$b.out" 2> "$OUT/run-b$b.err" || rc=$?
  killed=no
  [ "$(oom_kills)" = "$kills0" ] || killed=yes
  [ "$rc" -eq 0 ] || [ $killed = yes ] || say "mivra run ended with code $rc (see $OUT/run-b$b.err)"
  rows+=("run $b $cache_mb $goal $goal_file $limit $(peak_rss_of "$OUT/run-b$b.time") $(group_peak) $killed $rc")

  # mivra serve: one streamed chat request with the same prompt, peak read from the live process
  say "budget $b% ($cache_mb MiB): mivra serve ..."
  rm -f "$pack/hot.bin"
  set_limit "$limit"
  kills0=$(oom_kills)
  sh -c 'echo $$ > "$1/cgroup.procs"; shift; exec "$@"' sh "$cg" "$mivra" serve "$pack" \
    --port "$PORT" "${opts[@]}" > "$OUT/serve-b$b.out" 2> "$OUT/serve-b$b.err" &
  server_pid=$!
  for _ in $(seq 600); do
    curl -sf "http://127.0.0.1:$PORT/health" >/dev/null 2>&1 && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.5
  done
  rc=0
  python3 -c 'import json, sys; print(json.dumps({"messages": [{"role": "user", "content": sys.argv[1]}],
    "max_tokens": int(sys.argv[2]), "temperature": 0, "stream": True}))' "$prompt" "$GEN" |
    curl -s --max-time "$RUN_TIMEOUT" -H 'Content-Type: application/json' --data-binary @- -o "$OUT/serve-b$b.json" \
      -w '%{http_code}' "http://127.0.0.1:$PORT/v1/chat/completions" > "$OUT/serve-b$b.status" || rc=$?
  [ "$rc" -ne 0 ] || [ "$(cat "$OUT/serve-b$b.status")" = 200 ] || rc=22
  hwm=$(awk '/VmHWM/ { print $2 * 1024 }' "/proc/$server_pid/status" 2>/dev/null || echo 0)
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  killed=no
  [ "$(oom_kills)" = "$kills0" ] || killed=yes
  [ "$rc" -eq 0 ] || [ $killed = yes ] || say "the request to mivra serve failed (curl $rc, see $OUT/serve-b$b.err and .json)"
  rows+=("serve $b $cache_mb $goal $goal_file $limit ${hwm:-0} $(group_peak) $killed $rc")
done

{
  echo "# Peak memory, $arch model $(basename "$model"), $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) CPUs"
  echo
  printf 'core tensors %.0f MiB, KV cache %.0f MiB (-c %s), experts.bin %.0f MiB; prompt of %s words, %s tokens generated\n' \
    "$(bc -l <<<"$core_bytes / $mib")" "$(bc -l <<<"$kv_bytes / $mib")" "$CTX" "$(bc -l <<<"$experts_bytes / $mib")" \
    "$PROMPT_WORDS" "$GEN"
  echo
  echo "| program | budget | --cache-mb | goal MiB | limit MiB | peak RSS MiB | RSS / goal | RSS / goal with core.gguf | cgroup peak MiB | killed |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  for r in "${rows[@]}"; do
    read -r prog b cache_mb goal goal_file limit rss gpeak killed rc <<<"$r"
    printf '| %s | %s%% | %s | %.0f | %.0f | %.0f | %.3f | %.3f | %.0f | %s |\n' "$prog" "$b" "$cache_mb" \
      "$(bc -l <<<"$goal / $mib")" "$(bc -l <<<"$limit / $mib")" "$(bc -l <<<"$rss / $mib")" \
      "$(bc -l <<<"$rss / $goal")" "$(bc -l <<<"$rss / $goal_file")" "$(bc -l <<<"$gpeak / $mib")" "$killed$([ "$rc" = 0 ] || echo " (rc $rc)")"
  done
} | tee "$OUT/report.md"
