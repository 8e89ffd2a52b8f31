#!/usr/bin/env python3
"""Turns the runs that bench/run.sh left in OUT into OUT/report.md, OUT/results.tsv and OUT/tokens_per_s.png,
and prints the report.

    python3 bench/report.py OUT

Every figure is the median over the repetitions; a ratio is the median of the per-repetition ratios of two runs
made one right after the other, so that the drift of a shared machine falls on both alike.
"""
import json
import os
import re
import statistics
import subprocess
import sys

GB = 1e9


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt(v, spec=".2f"):
    return "–" if v is None else format(v, spec)


def spread(values, spec=".2f"):
    """The median of the values with their range, e.g. "1.20 (1.10–1.31)"."""
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    if len(values) == 1:
        return format(values[0], spec)
    return "%s (%s–%s)" % (format(statistics.median(values), spec), format(min(values), spec),
                           format(max(values), spec))


def parse_common(prefix):
    """Exit code, peak RSS (GNU time) and the cgroup's peak of one run."""
    r = {"ok": read(prefix + ".rc").strip() == "0", "ran": os.path.exists(prefix + ".rc")}
    m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", read(prefix + ".time"))
    if m:
        r["rss"] = int(m.group(1)) * 1024
    peak = read(prefix + ".peak").strip()
    if peak.isdigit() and int(peak) > 0:
        r["cg_peak"] = int(peak)
    return r


def parse_stream(prefix):
    """bench/stream_bench.cpp: one line per phase with that phase's counters."""
    r = parse_common(prefix)
    for line in read(prefix + ".out").splitlines():
        if line.startswith("mivra_stream_bench phase="):
            fields = dict(kv.split("=", 1) for kv in line.split()[1:])
            phase = fields.pop("phase")
            r[phase] = {k: float(v) for k, v in fields.items()}
    m = re.search(r"core ([\d.]+) GB resident, expert cache (\d+) slots", read(prefix + ".err"))
    if m:
        r["core_gb"], r["slots"] = float(m.group(1)), int(m.group(2))
    return r


def parse_run(prefix):
    """The statistics that `mivra run` prints on stderr."""
    err = read(prefix + ".err")
    r = parse_common(prefix)
    m = re.search(r"prefill (\d+) tokens in [\d.]+ s \(([\d.]+) tok/s\), generated (\d+) tokens in [\d.]+ s "
                  r"\(([\d.]+) tok/s\)", err)
    if m:
        r["prompt_tokens"], r["prefill_tps"] = int(m.group(1)), float(m.group(2))
        r["generated"], r["gen_tps"] = int(m.group(3)), float(m.group(4))
        # The first generated token comes from the prefill's logits: decoding evaluates one token fewer.
        if r["generated"] > 1:
            r["decode_tps"] = r["gen_tps"] * (r["generated"] - 1) / r["generated"]
    m = re.search(r"cache: (\d+) slots .*hit ([\d.]+)% \(\+([\d.]+)% caught in flight\), read ([\d.]+) GB", err)
    if m:
        r["slots"], r["hit"], r["read_gb"] = int(m.group(1)), float(m.group(2)) + float(m.group(3)), float(m.group(4))
    m = re.search(r"core ([\d.]+) GB resident", err)
    if m:
        r["core_gb"] = float(m.group(1))
    return r


def parse_llama(prefix):
    r = parse_common(prefix)
    for test, tps in re.findall(r"test=(pp|tg) N=\d+ seconds=[\d.]+ tps=([\d.]+)", read(prefix + ".out")):
        r[test] = float(tps)
    return r


def parse_llama_bench(prefix):
    r = parse_common(prefix)
    for line in read(prefix + ".out").splitlines():
        if line.startswith("{"):
            j = json.loads(line)
            r["pp" if j.get("n_gen", 0) == 0 else "tg"] = j["avg_ts"]
    return r


def all_raw(out):
    """Every raw throughput measured during the bench: the best the disk showed."""
    values = []
    for root, _, files in os.walk(out):
        for name in files:
            if name in ("raw.out", "raw_scaling.txt"):
                values += [float(v) for v in re.findall(r"gbps=([\d.]+)", read(os.path.join(root, name)))]
    return values


def parse_raw(path):
    """The better of the raw throughputs measured before and after mivra's run: the disk's ceiling at the time."""
    values = [float(v) for v in re.findall(r"gbps=([\d.]+)", read(path))]
    return max(values) if values else None


def tps(run, phase):
    p = run.get(phase)
    return p["tps"] if p else None


def load(out):
    meta = json.load(open(os.path.join(out, "meta.json")))
    rows = []
    for item in meta["budgets"].split():
        pct, cache_mb, limit, gen = item.split(":")
        reps = []
        for rep in range(1, meta["reps"] + 1):
            d = os.path.join(out, "runs", "b%s-r%d" % (pct, rep))
            reps.append({"raw": parse_raw(os.path.join(d, "raw.out")),
                         "mivra": parse_stream(os.path.join(d, "mivra")),
                         "plain": parse_stream(os.path.join(d, "plain")),
                         "llama": parse_llama(os.path.join(d, "llama")),
                         "bench": parse_llama_bench(os.path.join(d, "llamabench"))})
        run = parse_run(os.path.join(out, "runs", "b%s-run" % pct, "mivra"))
        rows.append(summarise(meta, int(pct), int(cache_mb), limit, int(gen), reps, run))
    return meta, rows


def summarise(meta, pct, cache_mb, limit, gen, reps, run):
    per_token = meta["n_layer"] * meta["n_used"] * meta["expert_bytes"]  # expert bytes one token is routed to
    all_experts = meta["n_layer"] * meta["n_expert"]
    mv, ll, bb, pl = ([r[k] for r in reps] for k in ("mivra", "llama", "bench", "plain"))
    s = {"pct": pct, "cache_mb": cache_mb, "limit": None if limit == "max" else int(limit), "gen": gen, "run": run}
    s["failed"] = sorted({name for r in reps for name in ("mivra", "plain", "llama", "bench")
                          if r[name]["ran"] and not r[name]["ok"]} | ({"mivra run"} if run["ran"] and not run["ok"]
                                                                       else set()))
    s["raw"] = median([r["raw"] for r in reps])
    s["m_pp"], s["m_tg"] = median([tps(m, "pp") for m in mv]), median([tps(m, "tg") for m in mv])
    s["l_pp"], s["l_tg"] = median([l.get("pp") for l in ll]), median([l.get("tg") for l in ll])
    s["b_pp"], s["b_tg"] = median([b.get("pp") for b in bb]), median([b.get("tg") for b in bb])
    s["p_tg"] = median([tps(p, "tg") for p in pl])
    for key, a, b, phase in (("tg_ratio", mv, ll, "tg"), ("pp_ratio", mv, ll, "pp"), ("tg_ratio_bench", mv, bb, "tg"),
                             ("pp_ratio_bench", mv, bb, "pp")):
        s[key + "s"] = [ratio(tps(x, phase), y.get(phase)) for x, y in zip(a, b)]
        s[key] = median(s[key + "s"])
    s["m_tgs"] = [tps(m, "tg") for m in mv]
    s["plain_ratio"] = median([ratio(tps(p, "tg"), tps(m, "tg")) for m, p in zip(mv, pl)])
    s["m_rss"], s["l_rss"] = median([m.get("rss") for m in mv]), median([l.get("rss") for l in ll])
    s["m_cg"], s["l_cg"] = median([m.get("cg_peak") for m in mv]), median([l.get("cg_peak") for l in ll])

    # Expert reads of the decode phase alone.
    per_run = []
    for m, r in zip(mv, reps):
        t = m.get("tg")
        if not t or t["seconds"] <= 0:
            continue
        lookups = t["hits"] + t["misses"] + t["inflight"]
        per_run.append({
            "missed": t["bytes_read"] / t["tokens"],
            "rate": t["bytes_read"] / t["seconds"],
            "read_share": ratio(t["bytes_read"] / t["seconds"], r["raw"] and r["raw"] * GB),
            "wait_share": t["wait"] / t["seconds"],
            "hit": 100 * t["hits"] / lookups if lookups else None,
            "inflight": 100 * t["inflight"] / lookups if lookups else None,
            "prefetch_used": 100 * t["prefetch_used"] / t["prefetch_issued"] if t["prefetch_issued"] else None,
            "recall": 100 * t["predicted_hits"] / t["predicted"] if t["predicted"] else None,
        })
    for key in ("missed", "rate", "read_share", "wait_share", "hit", "inflight", "prefetch_used", "recall"):
        s["d_" + key] = median([p[key] for p in per_run])

    slots = median([m.get("slots") for m in mv]) or run.get("slots")
    s["slots"] = slots
    s["resident"] = min(1.0, slots / all_experts) if slots else None
    if pct < 100 and s["resident"] is not None and s["raw"]:
        s["ideal_missed"] = (1 - s["resident"]) * per_token
        s["limit_tps"] = s["raw"] * GB / s["ideal_missed"]
        s["limit_share"] = ratio(s["m_tg"], s["limit_tps"])
    if run.get("slots") is not None and run.get("core_gb") is not None:
        s["allowance"] = (min(run["slots"], all_experts) * meta["expert_bytes"] + run["core_gb"] * GB +
                          meta["kv_bytes"]) * 1.05
    return s


def goal(ok):
    return "met" if ok else "MISSED"


def label(r):
    return "all" if r["pct"] >= 100 else "%d%%" % r["pct"]


def report(meta, rows, raw_scaling, raws):
    lines = []
    w = lines.append
    w("# mivra against llama.cpp, model larger than the memory allowed")
    w("")
    w("Model: %s: qwen3moe, %d layers, %d experts (%d used) of %.2f MB (q4_K), 2048 embedding, random weights; "
      "GGUF %.2f GB, experts.bin %.2f GB." % (
          os.path.basename(meta["model"]), meta["n_layer"], meta["n_expert"], meta["n_used"],
          meta["expert_bytes"] / 1e6, meta["gguf_bytes"] / GB, meta["experts_bytes"] / GB))
    w("Machine: %d CPUs, %.1f GB RAM; %d compute threads for both programs, mivra --io-threads %d; ggml CPU "
      "variant %s for both (left out: %s); cgroup %s; runs at niceness %s; load average %s (before / after); "
      "commit %s, %s." % (
          meta["cpus"], meta["ram_bytes"] / GB, meta["threads"], meta["io_threads"], meta["cpu_variant"] or "?",
          meta["left_out"], meta["cgroup"], meta.get("nice", "?"), meta.get("load", "?"), meta["commit"],
          meta["date"]))
    w("Workload: %d random prompt tokens, then random tokens one at a time, as llama-bench does; nothing warmed "
      "before timing; page cache dropped before every run; medians of %d runs; ratios are medians of the ratios of "
      "runs made side by side, with their range in brackets." % (meta["prompt_tokens"], meta["reps"]))
    w("")
    w("Random-weight routing has no locality: every random token picks its experts afresh and uniformly, so hit "
      "rates and speeds with a partial cache are a worst case; a real model reuses experts from token to token.")
    w("")
    w("## Speed (tokens/s)")
    w("")
    w("| experts resident | memory limit | mivra decode | llama.cpp decode | ratio | mivra prefill | "
      "llama.cpp prefill | ratio |")
    w("|---|---|---|---|---|---|---|---|")
    for r in rows:
        lim = "none" if r["limit"] is None else "%.2f GB" % (r["limit"] / GB)
        name = label(r) if r["pct"] >= 100 else "%d%% (%d MiB cache)" % (r["pct"], r["cache_mb"])
        w("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            name, lim, spread(r["m_tgs"]), fmt(r["l_tg"]), spread(r["tg_ratios"]), fmt(r["m_pp"], ".1f"),
            fmt(r["l_pp"], ".1f"), spread(r["pp_ratios"])))
        if r["b_tg"] is not None:
            w("| %s, llama-bench defaults | none | %s | %s | %s | %s | %s | %s |" % (
                label(r), fmt(r["m_tg"]), fmt(r["b_tg"]), spread(r["tg_ratio_benchs"]), fmt(r["m_pp"], ".1f"),
                fmt(r["b_pp"], ".1f"), spread(r["pp_ratio_benchs"])))
    w("")
    w("mivra: its model runner and expert cache as `mivra run` builds them (bench/stream_bench.cpp), --cache-mb "
      "= the budget. llama.cpp: libllama of the pinned tree on the same GGUF, memory-mapped, without repacked "
      "weights (bench/llama_mmap_bench.cpp; llama-bench always repacks q4_K experts into anonymous memory and is "
      "killed under a limit smaller than the model). \"llama-bench defaults\": the real llama-bench, weights "
      "repacked in RAM, one warm-up run first. Both prefills start cold: mivra's includes reading every expert "
      "the prompt routes to from disk, llama.cpp's the page faults of its mapping (llama-bench's warm-up has "
      "loaded everything before timing).")
    w("")
    w("## Expert reads during decode, and memory (mivra)")
    w("")
    w("| experts resident | slots | hit (+in flight) | missed MB/token | read GB/s | raw GB/s | reads/raw | "
      "waiting on reads | prefetch used | recall | peak RSS | peak RSS `run` | allowance | cgroup peak mivra / "
      "llama.cpp |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        run = r["run"]
        w("| %s | %s | %s%% (+%s%%) | %s | %s | %s | %s | %s | %s%% | %s%% | %s GB | %s GB | %s GB | %s / %s GB |" % (
            label(r), fmt(r["slots"], ".0f"), fmt(r["d_hit"], ".1f"), fmt(r["d_inflight"], ".1f"),
            fmt(r["d_missed"] and r["d_missed"] / 1e6, ".0f"), fmt(r["d_rate"] and r["d_rate"] / GB),
            fmt(r["raw"]), fmt(r["d_read_share"], ".0%"), fmt(r["d_wait_share"], ".0%"),
            fmt(r["d_prefetch_used"], ".0f"), fmt(r["d_recall"], ".0f"), fmt(r["m_rss"] and r["m_rss"] / GB),
            fmt(run.get("rss") and run["rss"] / GB), fmt(r.get("allowance") and r["allowance"] / GB),
            fmt(r["m_cg"] and r["m_cg"] / GB), fmt(r["l_cg"] and r["l_cg"] / GB)))
    w("")
    w("Counters of the decode phase alone. \"waiting on reads\": share of decode time the runner was blocked on "
      "reads. \"recall\": routed experts that the next-layer prediction named (this model's router is built to "
      "be predictable, so recall is a best case). Raw: random O_DIRECT reads of whole experts of experts.bin "
      "with %d threads just before and after each run, the better of the two (bench/raw_read.cpp); thread scaling at the start: %s. \"allowance\" = "
      "(cache slots × expert size + core tensors in memory + KV cache) × 1.05." % (
          meta["io_threads"], raw_scaling or "–"))
    w("")
    w("## Physical limit (reads alone)")
    w("")
    w("| experts resident | missed MB/token at best | limit tok/s | mivra tok/s | share of limit | "
      "mivra without repacking | its share |")
    w("|---|---|---|---|---|---|---|")
    for r in rows:
        if r.get("limit_tps") is None:
            continue
        w("| %s | %s | %s | %s | %s | %s | %s |" % (
            label(r), fmt(r["ideal_missed"] / 1e6, ".0f"), fmt(r["limit_tps"]), fmt(r["m_tg"]),
            fmt(r["limit_share"], ".0%"), fmt(r["p_tg"]), fmt(ratio(r["p_tg"], r["limit_tps"]), ".0%")))
    w("")
    if raws:
        best = max(raws)
        w("The disk's raw throughput varied between %.2f and %.2f GB/s over the bench (a shared virtual disk), so "
          "reads can exceed the raw figure measured next to them. Against the best raw figure seen, %.2f GB/s:" % (
              min(raws), best, best))
        w("")
        for r in rows:
            if r.get("ideal_missed"):
                w("- %s resident: limit %.2f tok/s, mivra at %s of it; reads at %s of it." % (
                    label(r), best * GB / r["ideal_missed"], fmt(ratio(r["m_tg"], best * GB / r["ideal_missed"]), ".0%"),
                    fmt(ratio(r["d_rate"], best * GB), ".0%")))
        w("")
    w("Limit = raw read throughput ÷ the expert bytes a token must read when that share of experts is resident "
      "and routing has no locality ((1 − share) × layers × experts used × expert size); compute is not counted. "
      "\"without repacking\": the same run with the experts computed on the layout read from disk (--plain).")
    w("")
    w("## `mivra run` (greedy, its own output)")
    w("")
    w("| experts resident | prompt tokens | prefill tok/s | decode tok/s | hit (whole run) | read GB | peak RSS |")
    w("|---|---|---|---|---|---|---|")
    for r in rows:
        run = r["run"]
        w("| %s | %s | %s | %s | %s%% | %s | %s GB |" % (
            label(r), fmt(run.get("prompt_tokens"), "d"), fmt(run.get("prefill_tps"), ".1f"),
            fmt(run.get("decode_tps")), fmt(run.get("hit"), ".1f"), fmt(run.get("read_gb")),
            fmt(run.get("rss") and run["rss"] / GB)))
    w("")
    w("A random-weight model decoding greedily soon repeats one or two tokens, whose experts then stay cached: "
      "these decode figures flatter partial caches and are not comparable with the random-token figures above.")
    w("")
    w("## Goals")
    w("")
    full = next((r for r in rows if r["pct"] >= 100), None)
    quarter = next((r for r in rows if r["pct"] == 25), None)
    if full:
        best = max([v for v in (full["l_tg"], full["b_tg"]) if v] or [0]) or None
        q = ratio(full["m_tg"], best)
        w("- Every expert resident, decode ≥ llama.cpp with the same threads (the faster llama.cpp: %s): ratio %s "
          "— %s." % ("llama-bench defaults" if best == full["b_tg"] else "memory-mapped", fmt(q),
                     goal(q is not None and q >= 1)))
    if quarter:
        q = quarter["tg_ratio"]
        w("- 25%% resident, decode ≥ 3 × llama.cpp under the same memory limit: ratio %s — %s." % (
            fmt(q), goal(q is not None and q >= 3)))
        q = quarter.get("limit_share")
        w("- 25%% resident, decode within 80%% of the physical limit: %s — %s." % (
            fmt(q, ".0%"), goal(q is not None and q >= 0.8)))
        q = quarter["d_read_share"]
        w("- Expert reads ≥ 90%% of the raw read throughput (decode at 25%%): %s — %s." % (
            fmt(q, ".0%"), goal(q is not None and q >= 0.9)))
    for r in rows:
        rss, allow = r["run"].get("rss"), r.get("allowance")
        if rss and allow:
            w("- Peak RSS of `mivra run` within cache + core + KV + 5%% (%s resident): %.2f GB of %.2f GB — %s." % (
                label(r), rss / GB, allow / GB, goal(rss <= allow)))
    failed = [(r["pct"], f) for r in rows for f in r["failed"]]
    if failed:
        w("")
        w("Runs that failed (left out of the medians): " + ", ".join("%s at %d%%" % (f, p) for p, f in failed))
    return "\n".join(lines) + "\n"


def write_tsv(path, rows):
    cols = ["pct", "cache_mb", "limit", "m_tg", "l_tg", "b_tg", "p_tg", "m_pp", "l_pp", "b_pp", "tg_ratio",
            "pp_ratio", "limit_tps", "raw", "d_hit", "d_missed", "d_rate", "d_wait_share", "m_rss"]
    with open(path, "w") as f:
        f.write("\t".join(cols) + "\n")
        for r in rows:
            f.write("\t".join("" if r.get(c) is None else str(r.get(c)) for c in cols) + "\n")


def plot(out, rows, meta):
    data = os.path.join(out, "plot.dat")
    with open(data, "w") as f:
        for r in sorted(rows, key=lambda r: r["pct"]):
            vals = [r["pct"], r["m_tg"], r["l_tg"], r.get("limit_tps"), r["m_pp"], r["l_pp"], r["b_tg"], r["b_pp"],
                    r["p_tg"]]
            f.write(" ".join("NaN" if v is None else str(v) for v in vals) + "\n")
    script = """
set terminal pngcairo size 1200,500 font ",10"
set output '%(png)s'
set multiplot layout 1,2 title 'mivra vs llama.cpp, same memory limit (random-weight qwen3moe, %(model)s)'
set xlabel 'experts resident (%% of experts.bin)'
set xrange [0:110]
set logscale y
set grid
set key left top
set ylabel 'decode tokens/s'
set title 'Decode'
set key right bottom
plot '%(dat)s' u 1:2 w lp lw 2 pt 7 t 'mivra', '' u 1:3 w lp lw 2 pt 5 t 'llama.cpp (mmap)', \\
     '' u 1:7 w p pt 9 ps 1.5 t 'llama-bench defaults (all in RAM)', '' u 1:4 w lp dt 2 pt 1 t 'physical limit', \\
     '' u 1:9 w p pt 6 ps 1.8 lc rgb '#d62728' t 'mivra, experts not repacked'
set ylabel 'prefill tokens/s'
set title 'Prefill (cold)'
set key left top
plot '%(dat)s' u 1:5 w lp lw 2 pt 7 t 'mivra', '' u 1:6 w lp lw 2 pt 5 t 'llama.cpp (mmap)', \\
     '' u 1:8 w p pt 9 ps 1.5 t 'llama-bench defaults (all in RAM)'
unset multiplot
""" % {"png": os.path.join(out, "tokens_per_s.png"), "dat": data, "model": "%.1f GB GGUF" % (meta["gguf_bytes"] / GB)}
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
    text = report(meta, rows, scaling, all_raw(out))
    if plot(out, rows, meta):
        text += "\nPlot: %s\n" % os.path.join(out, "tokens_per_s.png")
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write(text)
    write_tsv(os.path.join(out, "results.tsv"), rows)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
