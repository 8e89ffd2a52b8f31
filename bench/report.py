#!/usr/bin/env python3
"""Turns the runs that bench/run.sh left in OUT into OUT/report.md, OUT/results.tsv and OUT/tokens_per_s.png,
and prints the report.

    python3 bench/report.py OUT

Every figure is the median over the repetitions; a ratio is the median of the per-repetition ratios of two runs
made one after the other (mivra, then llama.cpp), so that the drift of a shared machine falls on both alike.
"""
import json
import os
import re
import statistics
import subprocess
import sys

GB = 1e9
MIB = 1048576


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def parse_mivra(prefix):
    """The statistics that `mivra run` prints on stderr, with peak RSS and the cgroup's peak."""
    err = read(prefix + ".err")
    r = {"ok": read(prefix + ".rc").strip() == "0"}
    m = re.search(r"prefill (\d+) tokens in ([\d.]+) s \(([\d.]+) tok/s\), generated (\d+) tokens in ([\d.]+) s "
                  r"\(([\d.]+) tok/s\)", err)
    if m:
        r["prompt_tokens"] = int(m.group(1))
        r["prefill_tps"] = float(m.group(3))
        r["generated"] = int(m.group(4))
        r["gen_tps"] = float(m.group(6))
        r["gen_seconds"] = r["generated"] / r["gen_tps"] if r["gen_tps"] > 0 else None
        # The first generated token comes from the prefill's logits: decoding evaluates one token fewer.
        if r["generated"] > 1 and r["gen_seconds"]:
            r["decode_tps"] = (r["generated"] - 1) / r["gen_seconds"]
    m = re.search(r"cache: (\d+) slots \(([\d.]+)% hot-protected\), hit ([\d.]+)% \(\+([\d.]+)% caught in flight\), "
                  r"read ([\d.]+) GB", err)
    if m:
        r["slots"] = int(m.group(1))
        r["hit"] = float(m.group(3))
        r["inflight"] = float(m.group(4))
        r["read_gb"] = float(m.group(5))
    m = re.search(r"prefetch: (\d+) issued, (\d+) used \((\d+)%\), next-layer prediction recall (\d+)%", err)
    if m:
        r["prefetch_issued"] = int(m.group(1))
        r["prefetch_used_pct"] = float(m.group(3))
        r["recall"] = float(m.group(4))
    m = re.search(r"time: attention\+routing ([\d.]+) s, experts ([\d.]+) s \(of which waiting on reads ([\d.]+) s\), "
                  r"head ([\d.]+) s", err)
    if m:
        r["t_attention"] = float(m.group(1))
        r["t_experts"] = float(m.group(2))
        r["wait"] = float(m.group(3))
        r["t_head"] = float(m.group(4))
    m = re.search(r"core ([\d.]+) GB resident", err)
    if m:
        r["core_gb"] = float(m.group(1))
    r.update(parse_time(prefix))
    return r


def parse_time(prefix):
    r = {}
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", read(prefix + ".time"))
    if m:
        r["rss"] = int(m.group(1)) * 1024
    peak = read(prefix + ".peak").strip()
    if peak.isdigit() and int(peak) > 0:
        r["cg_peak"] = int(peak)
    return r


def parse_llama(prefix):
    out = read(prefix + ".out")
    r = {"ok": read(prefix + ".rc").strip() == "0"}
    for test, tps in re.findall(r"test=(pp|tg) N=\d+ seconds=[\d.]+ tps=([\d.]+)", out):
        r[test + "_tps"] = float(tps)
    r.update(parse_time(prefix))
    return r


def parse_llama_bench(prefix):
    r = {"ok": read(prefix + ".rc").strip() == "0"}
    for line in read(prefix + ".out").splitlines():
        if not line.startswith("{"):
            continue
        j = json.loads(line)
        if j.get("n_prompt", 0) > 0 and j.get("n_gen", 0) == 0:
            r["pp_tps"] = j["avg_ts"]
        elif j.get("n_gen", 0) > 0 and j.get("n_prompt", 0) == 0:
            r["tg_tps"] = j["avg_ts"]
    r.update(parse_time(prefix))
    return r


def parse_raw(path):
    m = re.search(r"gbps=([\d.]+)", read(path))
    return float(m.group(1)) if m else None


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt(v, spec=".2f", none="–"):
    return none if v is None else format(v, spec)


def load(out):
    meta = json.load(open(os.path.join(out, "meta.json")))
    rows = []
    for item in meta["budgets"].split():
        pct, cache_mb, limit, gen = item.split(":")
        pct, cache_mb, gen = int(pct), int(cache_mb), int(gen)
        reps = []
        for rep in range(1, meta["reps"] + 1):
            d = os.path.join(out, "runs", "b%d-r%d" % (pct, rep))
            reps.append({
                "raw": parse_raw(os.path.join(d, "raw.out")),
                "mivra": parse_mivra(os.path.join(d, "mivra")),
                "llama": parse_llama(os.path.join(d, "llama")),
                "bench": parse_llama_bench(os.path.join(d, "llamabench")) if pct >= 100 else None,
            })
        prefill_only = parse_mivra(os.path.join(out, "runs", "b%d-prefill" % pct, "mivra")) if pct < 100 else None
        rows.append(summarise(meta, pct, cache_mb, limit, gen, reps, prefill_only))
    return meta, rows


def summarise(meta, pct, cache_mb, limit, gen, reps, prefill_only):
    per_token = meta["n_layer"] * meta["n_used"] * meta["expert_bytes"]  # expert bytes one token routes to
    all_experts = meta["n_layer"] * meta["n_expert"]
    mv = [r["mivra"] for r in reps]
    ll = [r["llama"] for r in reps]
    s = {"pct": pct, "cache_mb": cache_mb, "limit": None if limit == "max" else int(limit), "gen": gen,
         "failed": [name for r in reps for name, x in (("mivra", r["mivra"]), ("llama", r["llama"]),
                                                        ("llama-bench", r["bench"])) if x and not x["ok"]]}
    s["raw"] = median([r["raw"] for r in reps])
    for key in ("prefill_tps", "decode_tps", "hit", "inflight", "read_gb", "prefetch_used_pct", "recall", "wait",
                "rss", "cg_peak", "slots", "core_gb", "t_attention", "t_experts", "t_head", "gen_seconds"):
        s["m_" + key] = median([m.get(key) for m in mv])
    for key in ("pp_tps", "tg_tps", "rss", "cg_peak"):
        s["l_" + key] = median([l.get(key) for l in ll])
    s["decode_ratio"] = median([ratio(m.get("decode_tps"), l.get("tg_tps")) for m, l in zip(mv, ll)])
    s["prefill_ratio"] = median([ratio(m.get("prefill_tps"), l.get("pp_tps")) for m, l in zip(mv, ll)])
    if pct >= 100:
        bb = [r["bench"] for r in reps]
        s["b_pp_tps"] = median([b.get("pp_tps") for b in bb])
        s["b_tg_tps"] = median([b.get("tg_tps") for b in bb])
        s["b_rss"] = median([b.get("rss") for b in bb])
        s["decode_ratio_bench"] = median([ratio(m.get("decode_tps"), b.get("tg_tps")) for m, b in zip(mv, bb)])
        s["prefill_ratio_bench"] = median([ratio(m.get("prefill_tps"), b.get("pp_tps")) for m, b in zip(mv, bb)])
    slots = s["m_slots"]
    s["resident_fraction"] = min(1.0, slots / all_experts) if slots else None
    s["cache_bytes"] = min(slots, all_experts) * meta["expert_bytes"] if slots else None
    if s["cache_bytes"] is not None:
        core = s["m_core_gb"] * GB if s["m_core_gb"] else meta["core_bytes"]  # as mivra reports it
        s["rss_allowance"] = (s["cache_bytes"] + core + meta["kv_bytes"]) * 1.05
    if prefill_only and prefill_only.get("read_gb") is not None and s["m_read_gb"] is not None:
        # Reads of the decode alone: the whole run less a run of the same prompt that stops after the prefill.
        per_run = []
        for m, r in zip(mv, reps):
            if m.get("read_gb") is None or not m.get("gen_seconds") or m.get("generated", 0) < 2:
                continue
            decode_bytes = max(0.0, (m["read_gb"] - prefill_only["read_gb"]) * GB)
            per_run.append({
                "missed_per_token": decode_bytes / (m["generated"] - 1),
                "read_rate": decode_bytes / m["gen_seconds"],
                "wait": max(0.0, m.get("wait", 0) - prefill_only.get("wait", 0)) / m["gen_seconds"],
            })
        s["missed_per_token"] = median([p["missed_per_token"] for p in per_run])
        s["decode_read_rate"] = median([p["read_rate"] for p in per_run])
        s["decode_wait_share"] = median([p["wait"] for p in per_run])
        if s["missed_per_token"] is not None:
            s["decode_hit"] = 1 - s["missed_per_token"] / per_token
        ideal_missed = (1 - s["resident_fraction"]) * per_token if s["resident_fraction"] is not None else None
        s["ideal_missed_per_token"] = ideal_missed
        if ideal_missed and s["raw"]:
            s["limit_tps"] = s["raw"] * GB / ideal_missed
            s["limit_share"] = ratio(s["m_decode_tps"], s["limit_tps"])
            s["read_share"] = ratio(s["decode_read_rate"], s["raw"] * GB)
    return s


def goal(ok):
    return "met" if ok else "MISSED"


def report(meta, rows, raw_scaling):
    by = {r["pct"]: r for r in rows}
    lines = []
    w = lines.append
    w("# mivra against llama.cpp, model larger than the memory allowed")
    w("")
    w("Model: %s — qwen3moe, %d layers, %d experts (%d used) of %.2f MB (q4_K), 2048 embedding; GGUF %.2f GB, "
      "experts.bin %.2f GB, core.gguf %.2f GB. Random weights." % (
          os.path.basename(meta["model"]), meta["n_layer"], meta["n_expert"], meta["n_used"],
          meta["expert_bytes"] / 1e6, meta["gguf_bytes"] / GB, meta["experts_bytes"] / GB, meta["core_bytes"] / GB))
    w("Machine: %d CPUs, %.1f GB RAM; %d compute threads for both programs, mivra --io-threads %d; ggml CPU "
      "variant %s (left out: %s); cgroup %s; load average %s (before / after); commit %s, %s." % (
          meta["cpus"], meta["ram_bytes"] / GB, meta["threads"], meta["io_threads"], meta["cpu_variant"] or "?",
          meta["left_out"], meta["cgroup"], meta.get("load", "?"), meta["commit"], meta["date"]))
    w("Prompt %d tokens; medians of %d runs; page cache dropped before every run." % (
        meta["prompt_tokens"], meta["reps"]))
    w("")
    w("Random-weight routing has no locality (every token picks its experts afresh, uniformly), so hit rates and "
      "speeds with a partial cache are a worst case: a real model reuses experts from token to token.")
    w("")
    w("## Speed (tokens/s)")
    w("")
    w("| experts resident | memory limit | mivra decode | llama.cpp decode | ratio | mivra prefill | "
      "llama.cpp prefill | ratio |")
    w("|---|---|---|---|---|---|---|---|")
    for r in rows:
        label = "all" if r["pct"] >= 100 else "%d%% (%d MiB)" % (r["pct"], r["cache_mb"])
        limit = "none" if r["limit"] is None else "%.2f GB" % (r["limit"] / GB)
        w("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            label, limit, fmt(r["m_decode_tps"]), fmt(r["l_tg_tps"]), fmt(r["decode_ratio"]),
            fmt(r["m_prefill_tps"], ".1f"), fmt(r["l_pp_tps"], ".1f"), fmt(r["prefill_ratio"])))
        if r["pct"] >= 100 and r.get("b_tg_tps") is not None:
            w("| all (llama-bench defaults) | none | %s | %s | %s | %s | %s | %s |" % (
                fmt(r["m_decode_tps"]), fmt(r["b_tg_tps"]), fmt(r["decode_ratio_bench"]),
                fmt(r["m_prefill_tps"], ".1f"), fmt(r["b_pp_tps"], ".1f"), fmt(r["prefill_ratio_bench"])))
    w("")
    w("llama.cpp: libllama of the pinned tree on the same GGUF, memory-mapped, without repacked weights "
      "(bench/llama_mmap_bench: llama-bench repacks q4_K experts into anonymous memory and is killed under a "
      "limit smaller than the model), random tokens as in llama-bench. \"llama-bench defaults\": the real "
      "llama-bench, weights repacked in RAM, warm-up run first. mivra: `mivra run` with --cache-mb, --draft 0, "
      "--kv-disk-mb 0, no hot.bin; decode = (generated − 1) / generation time, since the first token comes from "
      "the prefill. mivra's prefill includes reading the experts it needs from disk (its cache starts empty), "
      "also with every expert resident; llama-bench's warm-up has them in RAM before timing.")
    w("")
    w("## Expert reads and memory (mivra)")
    w("")
    w("| experts resident | slots | hit (run) | decode hit | missed MB/token | read GB/s in decode | raw GB/s | "
      "reads/raw | waiting on reads | prefetch used | recall | peak RSS | allowance | cgroup peak (mivra / llama) |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        label = "all" if r["pct"] >= 100 else "%d%%" % r["pct"]
        w("| %s | %s | %s%% | %s | %s | %s | %s | %s | %s | %s%% | %s%% | %s GB | %s GB | %s / %s GB |" % (
            label, fmt(r["m_slots"], ".0f"), fmt(r["m_hit"], ".1f"),
            fmt(r.get("decode_hit") and 100 * r["decode_hit"], ".1f") + ("%" if r.get("decode_hit") is not None else ""),
            fmt(r.get("missed_per_token") and r["missed_per_token"] / 1e6, ".0f"),
            fmt(r.get("decode_read_rate") and r["decode_read_rate"] / GB, ".2f"), fmt(r["raw"], ".2f"),
            fmt(r.get("read_share"), ".0%"),
            fmt(r.get("decode_wait_share"), ".0%") if r["pct"] < 100 else fmt(r["m_wait"], ".1f") + " s",
            fmt(r["m_prefetch_used_pct"], ".0f"), fmt(r["m_recall"], ".0f"),
            fmt(r["m_rss"] and r["m_rss"] / GB), fmt(r.get("rss_allowance") and r["rss_allowance"] / GB),
            fmt(r["m_cg_peak"] and r["m_cg_peak"] / GB), fmt(r["l_cg_peak"] and r["l_cg_peak"] / GB)))
    w("")
    w("Decode figures exclude the prefill: a run of the same prompt that stops after the prefill gives its reads "
      "and waits. \"waiting on reads\" is the share of decode time the model runner spent waiting for experts. "
      "\"allowance\" = (cache slots × expert size + core.gguf + KV cache) × 1.05. Raw: random O_DIRECT reads of "
      "whole experts of experts.bin with %d threads (bench/raw_read.cpp); scaling: %s." % (
          meta["io_threads"], raw_scaling or "–"))
    w("")
    w("## Physical limit (reads alone)")
    w("")
    w("| experts resident | missed MB/token at best | limit tok/s | mivra tok/s | share of limit |")
    w("|---|---|---|---|---|")
    for r in rows:
        if r["pct"] >= 100:
            continue
        w("| %d%% | %s | %s | %s | %s |" % (
            r["pct"], fmt(r.get("ideal_missed_per_token") and r["ideal_missed_per_token"] / 1e6, ".0f"),
            fmt(r.get("limit_tps")), fmt(r["m_decode_tps"]), fmt(r.get("limit_share"), ".0%")))
    w("")
    w("Limit = raw read throughput ÷ the expert bytes a token must read with that share of experts resident and no "
      "locality ((1 − resident share) × layers × experts used × expert size); compute time is not counted.")
    w("")
    w("## Goals")
    w("")
    full = by.get(100) or next((r for r in rows if r["pct"] >= 100), None)
    quarter = by.get(25)
    if full:
        best = max([v for v in (full["l_tg_tps"], full.get("b_tg_tps")) if v] or [0]) or None
        rtio = ratio(full["m_decode_tps"], best)
        w("- Every expert resident, decode ≥ llama.cpp (the faster of the two llama.cpp runs), same threads: "
          "ratio %s — %s." % (fmt(rtio), goal(rtio is not None and rtio >= 1)))
    if quarter:
        q = quarter["decode_ratio"]
        w("- 25%% resident, decode ≥ 3 × llama.cpp under the same memory limit: ratio %s — %s." % (
            fmt(q), goal(q is not None and q >= 3)))
        ls = quarter.get("limit_share")
        w("- 25%% resident, within 80%% of the physical limit: %s of the limit — %s." % (
            fmt(ls, ".0%"), goal(ls is not None and ls >= 0.8)))
        rs = quarter.get("read_share")
        w("- Expert reads ≥ 90%% of raw read throughput (decode, 25%% resident): %s — %s." % (
            fmt(rs, ".0%"), goal(rs is not None and rs >= 0.9)))
    for r in rows:
        if r["m_rss"] and r.get("rss_allowance"):
            share = r["m_rss"] / r["rss_allowance"] * 1.05
            w("- Peak RSS within cache + core + KV + 5%% (%s): %.2f GB of %.2f GB allowed (%.0f%% of cache + core "
              "+ KV) — %s." % ("all resident" if r["pct"] >= 100 else "%d%%" % r["pct"], r["m_rss"] / GB,
                              r["rss_allowance"] / GB, 100 * share, goal(r["m_rss"] <= r["rss_allowance"])))
    failed = [(r["pct"], f) for r in rows for f in r["failed"]]
    if failed:
        w("")
        w("Runs that failed (their figures are left out): " + ", ".join("%s at %d%%" % (f, p) for p, f in failed))
    return "\n".join(lines) + "\n"


def write_tsv(path, rows):
    cols = ["pct", "cache_mb", "limit", "m_decode_tps", "l_tg_tps", "b_tg_tps", "m_prefill_tps", "l_pp_tps",
            "b_pp_tps", "decode_ratio", "prefill_ratio", "limit_tps", "raw", "m_hit", "decode_hit", "m_rss"]
    with open(path, "w") as f:
        f.write("\t".join(cols) + "\n")
        for r in rows:
            f.write("\t".join("" if r.get(c) is None else str(r.get(c)) for c in cols) + "\n")


def plot(out, rows):
    data = os.path.join(out, "plot.dat")
    with open(data, "w") as f:
        for r in sorted(rows, key=lambda r: r["pct"]):
            vals = [r["pct"], r["m_decode_tps"], r["l_tg_tps"], r.get("limit_tps"), r["m_prefill_tps"], r["l_pp_tps"],
                    r.get("b_tg_tps"), r.get("b_pp_tps")]
            f.write(" ".join("NaN" if v is None else str(v) for v in vals) + "\n")
    script = """
set terminal pngcairo size 1100,480 font ",10"
set output '%s'
set multiplot layout 1,2
set xlabel 'experts resident (%% of experts.bin)'
set xrange [0:110]
set logscale y
set grid
set key left top
set ylabel 'decode tokens/s'
set title 'Decode'
plot '%s' u 1:2 w lp lw 2 pt 7 t 'mivra', '' u 1:3 w lp lw 2 pt 5 t 'llama.cpp (mmap, same limit)', \\
     '' u 1:7 w p pt 9 ps 1.5 t 'llama-bench defaults (all in RAM)', '' u 1:4 w lp dt 2 pt 1 t 'physical limit (reads)'
set ylabel 'prefill tokens/s'
set title 'Prefill'
plot '%s' u 1:5 w lp lw 2 pt 7 t 'mivra', '' u 1:6 w lp lw 2 pt 5 t 'llama.cpp (mmap, same limit)', \\
     '' u 1:8 w p pt 9 ps 1.5 t 'llama-bench defaults (all in RAM)'
unset multiplot
""" % (os.path.join(out, "tokens_per_s.png"), data, data)
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True, capture_output=True)
        return True
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write("bench: no plot (%s)\n" % e)
        return False


def main():
    out = sys.argv[1]
    meta, rows = load(out)
    scaling = ", ".join("%s threads %s GB/s" % (t, g) for t, g in
                        re.findall(r"threads=(\d+) .*gbps=([\d.]+)", read(os.path.join(out, "raw_scaling.txt"))))
    text = report(meta, rows, scaling)
    if plot(out, rows):
        text += "\nPlot: %s\n" % os.path.join(out, "tokens_per_s.png")
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write(text)
    write_tsv(os.path.join(out, "results.tsv"), rows)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
