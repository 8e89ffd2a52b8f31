#!/usr/bin/env python3
"""Turns the runs that bench/run.sh left in OUT into OUT/report.md, its plot OUT/bench.png and OUT/summary.md (the
short table of headline ratios shown in the README), and prints the report. Works on an unfinished run too.

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
    """The statistics that `mivra run` prints on stderr. When the memory limit stopped the run, the speeds come from
    its rerun without a limit (PREFIX-nolimit), whose peak RSS is kept as rss_nolimit."""
    r = parse_run_once(prefix)
    if r["ran"] and not r["ok"] and os.path.exists(prefix + "-nolimit.rc"):
        again = parse_run_once(prefix + "-nolimit")
        for k in ("prompt_tokens", "prefill_tps", "generated", "gen_tps", "decode_tps", "slots", "hit", "read_gb",
                  "core_gb"):
            if k in again:
                r[k] = again[k]
        r["rss_nolimit"] = again.get("rss")
    return r


def parse_run_once(prefix):
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


MIB = 1048576


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def rep_numbers(d, suffix=""):
    """The numbers N of the runs d/rN (+ suffix) that were made, in order. Sections added to a report later (APPEND)
    may have run another number of times than meta.json's REPS says, so the runs on disk count."""
    try:
        names = os.listdir(d)
    except OSError:
        return []
    pattern = re.compile(r"r(\d+)" + re.escape(suffix))
    return sorted(int(m.group(1)) for m in map(pattern.fullmatch, names) if m)


def allowance_of(prefix):
    """The allowance a run was given: its memory limit less the 256 MiB of headroom."""
    lim = read(prefix + ".limit").strip()
    return int(lim) - 256 * MIB if lim.isdigit() else None


def section_models(out, section):
    """The models a section measured (folders of OUT/SECTION), small before large, qwen3moe before gpt-oss."""
    try:
        names = [n for n in os.listdir(os.path.join(out, section)) if os.path.isdir(os.path.join(out, section, n))]
    except OSError:
        return []
    def key(name):
        arch, size = name.rsplit("-", 1)
        return (arch != "qwen3moe", arch, float(size) if size.replace(".", "").isdigit() else 0)
    return sorted(names, key=key)


def section_entries(out, section, info="model.json"):
    """(name, folder, its `info` file read) for each model the section measured whose file reads."""
    for name in section_models(out, section):
        d = os.path.join(out, section, name)
        data = load_json(os.path.join(d, info))
        if data is not None:
            yield name, d, data


# ---- resident: `mivra run` against llama-bench, every expert in memory ----

def load_resident(out, meta):
    models = []
    for name, d, model in section_entries(out, "resident"):
        reps = []
        for rep in rep_numbers(d):
            r = os.path.join(d, "r%d" % rep)
            if not os.path.isdir(r):
                continue
            dec, pre = parse_run(os.path.join(r, "decode")), parse_run(os.path.join(r, "prefill"))
            lb = parse_llama_bench(os.path.join(r, "llamabench"))
            for run, prefix in ((dec, "decode"), (pre, "prefill")):
                run["allow"] = allowance_of(os.path.join(r, prefix))
            reps.append({"decode": dec, "prefill": pre, "bench": lb})
        models.append({"name": name, "model": model, "reps": reps})
    return models


# ---- parallel: the engine with 4 requests against libllama's batch of 4 ----

def load_parallel(out, meta):
    models = []
    for name, d, model in section_entries(out, "parallel"):
        reps = []
        for rep in rep_numbers(d, ".rc"):
            prefix = os.path.join(d, "r%d" % rep)
            r = parse_common(prefix)
            m = re.search(r"^\| 4 \| ([\d.]+) \| ([\d.]+) \|", read(prefix + ".out"), re.M)
            if m:
                r["mivra"], r["llama"] = float(m.group(1)), float(m.group(2))
            if r["ran"]:
                reps.append(r)
        models.append({"name": name, "model": model, "reps": reps})
    return models


# ---- serve: time to first token against llama-server ----

def parse_ttft(path):
    rows = []
    for line in read(path).splitlines():
        try:
            j = json.loads(line)
        except ValueError:
            continue
        rows.append(None if j.get("failed") else j)
    return rows


def parse_server(prefix):
    r = parse_common(prefix)
    hwm = read(prefix + ".hwm").strip()
    if hwm.isdigit():
        r["rss"] = int(hwm)
    return r


def load_serve(out, meta):
    models = []
    for name, d, model in section_entries(out, "serve"):
        lim = read(os.path.join(d, "limit")).split()
        mivra = parse_server(os.path.join(d, "mivra"))
        m_ttft = parse_ttft(os.path.join(d, "mivra.ttft"))
        if mivra["ran"] and not mivra["ok"] and os.path.exists(os.path.join(d, "mivra-nolimit.rc")):
            # stopped by its memory limit: the times come from the run without one, which shows the memory it needed
            again = parse_server(os.path.join(d, "mivra-nolimit"))
            m_ttft = parse_ttft(os.path.join(d, "mivra-nolimit.ttft"))
            mivra["rss_nolimit"] = again.get("rss")
        models.append({"name": name, "model": model,
                       "mivra": mivra, "llama": parse_server(os.path.join(d, "llama")),
                       "m_ttft": m_ttft,
                       "l_ttft": parse_ttft(os.path.join(d, "llama.ttft")),
                       "allow": int(lim[1]) if len(lim) > 1 else None})
    return models


# ---- stream: experts partly resident, page cache dropped ----

def load_stream(out, meta):
    models = []
    for name, d, smeta in section_entries(out, "stream", "meta.json"):
        rows = []
        for item in smeta["budgets"].split():
            pct, cache_mb, limit, gen = item.split(":")
            reps = []
            for rep in range(1, smeta["reps"] + 1):
                r = os.path.join(d, "runs", "b%s-r%d" % (pct, rep))
                reps.append({"raw": parse_raw(os.path.join(r, "raw.out")),
                             "mivra": parse_stream(os.path.join(r, "mivra")),
                             "plain": parse_stream(os.path.join(r, "plain")),
                             "llama": parse_llama(os.path.join(r, "llama")),
                             "bench": parse_llama_bench(os.path.join(r, "llamabench"))})
            rd = os.path.join(d, "runs", "b%s-run" % pct)
            run = parse_run(os.path.join(rd, "mivra"))
            serve = parse_server(os.path.join(rd, "serve"))
            allow = read(os.path.join(rd, "serve.allow")).strip()
            serve["allow"] = int(allow) if allow.isdigit() else None
            rows.append(summarise(smeta, int(pct), int(cache_mb), limit, int(gen), reps, run, serve))
        scaling = ", ".join("%s threads %s GB/s" % (t, g) for t, g in
                            re.findall(r"threads=(\d+) .*gbps=([\d.]+)", read(os.path.join(d, "raw_scaling.txt"))))
        models.append({"name": name, "meta": smeta, "rows": rows, "scaling": scaling, "raws": all_raw(d)})
    return models


def summarise(meta, pct, cache_mb, limit, gen, reps, run, serve):
    per_token = meta["n_layer"] * meta["n_used"] * meta["expert_bytes"]  # expert bytes one token is routed to
    all_experts = meta["n_layer"] * meta["n_expert"]
    mv, ll, bb, pl = ([r[k] for r in reps] for k in ("mivra", "llama", "bench", "plain"))
    s = {"pct": pct, "cache_mb": cache_mb, "limit": None if limit == "max" else int(limit), "gen": gen, "run": run,
         "serve": serve}
    s["failed"] = sorted({name for r in reps for name in ("mivra", "plain", "llama", "bench")
                          if r[name]["ran"] and not r[name]["ok"]} |
                         ({"mivra run"} if run["ran"] and not run["ok"] else set()) |
                         ({"mivra serve"} if serve["ran"] and not serve["ok"] else set()))
    s["raw"] = median([r["raw"] for r in reps])
    s["m_pp"], s["m_tg"] = median([tps(m, "pp") for m in mv]), median([tps(m, "tg") for m in mv])
    s["l_pp"], s["l_tg"] = median([l.get("pp") for l in ll]), median([l.get("tg") for l in ll])
    s["b_pp"], s["b_tg"] = median([b.get("pp") for b in bb]), median([b.get("tg") for b in bb])
    s["p_tg"] = median([tps(p, "tg") for p in pl])
    for key, a, b, phase in (("tg_ratio", mv, ll, "tg"), ("pp_ratio", mv, ll, "pp")):
        s[key + "s"] = [ratio(tps(x, phase), y.get(phase)) for x, y in zip(a, b)]
        s[key] = median(s[key + "s"])
    s["m_tgs"] = [tps(m, "tg") for m in mv]
    s["m_rss"] = median([m.get("rss") for m in mv])
    s["m_cg"], s["l_cg"] = median([m.get("cg_peak") for m in mv]), median([l.get("cg_peak") for l in ll])

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
        })
    for key in ("missed", "rate", "read_share", "wait_share", "hit", "inflight"):
        s["d_" + key] = median([p[key] for p in per_run])

    slots = median([m.get("slots") for m in mv]) or run.get("slots")
    s["slots"] = slots
    s["resident"] = min(1.0, slots / all_experts) if slots else None
    s["limit_shares"] = []
    if pct < 100 and s["resident"] is not None:
        s["ideal_missed"] = (1 - s["resident"]) * per_token
        if s["raw"]:
            s["limit_tps"] = s["raw"] * GB / s["ideal_missed"]
        # per run: its decode against the limit of the raw throughput measured around it
        s["limit_shares"] = [ratio(tps(m, "tg"), r["raw"] and r["raw"] * GB / s["ideal_missed"])
                             for m, r in zip(mv, reps)]
    s["allowance"] = (cache_mb * MIB + meta["core_file_bytes"] + meta["kv_bytes"]) * 1.05
    return s


# ---- the report ----

def model_label(name, model):
    return "%s (%.2f GB)" % (name, model["gguf_bytes"] / GB)


def goals(meta, resident, parallel, serve, stream):
    """One row per goal and model: (goal, model, mivra, llama.cpp, ratios, target text, met or None)."""
    rows = []
    for m in resident:
        dec = [ratio(r["decode"].get("decode_tps"), r["bench"].get("tg")) for r in m["reps"]]
        rows.append(("resident decode, `mivra run` vs llama-bench tg%d" % meta["gen_resident"], m["name"],
                     median([r["decode"].get("decode_tps") for r in m["reps"]]),
                     median([r["bench"].get("tg") for r in m["reps"]]), dec, ">= 1.0", lambda q: q >= 1.0))
    for m in resident:
        pre = [ratio(r["prefill"].get("prefill_tps"), r["bench"].get("pp")) for r in m["reps"]]
        rows.append(("resident prefill of 512 tokens vs pp512", m["name"],
                     median([r["prefill"].get("prefill_tps") for r in m["reps"]]),
                     median([r["bench"].get("pp") for r in m["reps"]]), pre, ">= 0.9", lambda q: q >= 0.9))
    for m in parallel:
        rows.append(("aggregate decode, 4 requests vs libllama batch of 4", m["name"],
                     median([r.get("mivra") for r in m["reps"]]), median([r.get("llama") for r in m["reps"]]),
                     [ratio(r.get("mivra"), r.get("llama")) for r in m["reps"]], ">= 1.0", lambda q: q >= 1.0))
    for m in serve:
        mt = [t and t["ttft"] for t in m["m_ttft"]]
        lt = [t and t["ttft"] for t in m["l_ttft"]]
        rows.append(("serve time to first token (s), about %d-token prompt, vs llama-server" % meta["ttft_tokens"],
                     m["name"], median(mt), median(lt), [ratio(a, b) for a, b in zip(mt, lt)], "<= 1.1",
                     lambda q: q <= 1.1))
    for m in stream:
        for r in m["rows"]:
            if r["pct"] == 25:
                rows.append(("decode at 25% resident vs llama.cpp (mmap), same memory limit", m["name"], r["m_tg"],
                             r["l_tg"], r["tg_ratios"], ">= 10", lambda q: q >= 10))
        for r in sorted(m["rows"], key=lambda r: -r["pct"]):
            if r["pct"] < 100:
                rows.append(("decode at %d%% resident, share of the disk-bound limit" % r["pct"], m["name"], r["m_tg"],
                             r.get("limit_tps"), r["limit_shares"], ">= 0.8", lambda q: q >= 0.8))
    return rows


def peak(run):
    """The peak RSS a run showed, or needed when its rerun without a limit went higher."""
    v = [x for x in (run.get("rss"), run.get("rss_nolimit")) if x]
    return max(v) if v else None


def memory_rows(resident, serve, stream):
    """Peak RSS of every `mivra run` and `mivra serve` against its allowance: (what, model, peaks, allowance, killed)."""
    rows = []
    for m in resident:
        for kind in ("decode", "prefill"):
            runs = [r[kind] for r in m["reps"] if r[kind]["ran"]]
            if runs:
                rows.append(("`mivra run`, all resident, %s" % ("short prompt" if kind == "decode" else "512-token prompt"),
                             m["name"], [peak(r) for r in runs], runs[0].get("allow"),
                             sum(1 for r in runs if not r["ok"]), len(runs)))
    for m in serve:
        if m["mivra"]["ran"]:
            rows.append(("`mivra serve`, all resident, long prompt", m["name"], [peak(m["mivra"])], m["allow"],
                         0 if m["mivra"]["ok"] else 1, 1))
    for m in stream:
        for r in m["rows"]:
            if r["run"]["ran"]:
                rows.append(("`mivra run`, %d%% resident, 512-token prompt" % r["pct"], m["name"], [peak(r["run"])],
                             r["allowance"], 0 if r["run"]["ok"] else 1, 1))
            if r["serve"]["ran"]:
                rows.append(("`mivra serve`, %d%% resident, 512-token prompt" % r["pct"], m["name"],
                             [r["serve"].get("rss")], r["serve"].get("allow"), 0 if r["serve"]["ok"] else 1, 1))
    return rows


def headline(meta, goal_rows, mem):
    lines = ["| goal | model | mivra | llama.cpp | ratio (median, range) | target | |", "|---|---|---|---|---|---|---|"]
    for what, name, a, b, ratios, target, ok in goal_rows:
        q = [v for v in ratios if v is not None]
        verdict = "–" if not q else ("met" if all(ok(v) for v in q) else
                                     ("MISSED" if not any(ok(v) for v in q) else "met in %d of %d" % (
                                         sum(1 for v in q if ok(v)), len(q))))
        spec = ".2f" if "time" not in what else ".2f"
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (what, name, fmt(a, spec), fmt(b, spec), spread(q),
                                                                target, verdict))
    for what, name, peaks, allow, killed, n in mem:
        p = [v for v in peaks if v is not None]
        ok = p and allow and max(p) <= allow and killed == 0
        lines.append("| peak RSS of %s | %s | %s GB | allowance %s GB | %s | <= 1.0, never killed | %s |" % (
            what, name, fmt(p and max(p) / GB), fmt(allow and allow / GB), spread([v / allow for v in p] if allow else []) +
            ("; killed in %d of %d" % (killed, n) if killed else ""), "met" if ok else ("MISSED" if p or killed else "–")))
    return lines


def summary(meta, goal_rows, mem, stream=()):
    """The headline ratios, one line per goal: the range over models and runs."""
    groups = {}
    for what, name, a, b, ratios, target, ok in goal_rows:
        arch, size = name.rsplit("-", 1)
        g = groups.setdefault((what, arch), {"target": target, "values": [], "models": [], "ok": ok})
        g["values"] += [v for v in ratios if v is not None]
        g["models"].append(size + " GB")
    lines = ["| goal | model | ratio (median, range) | target | met |", "|---|---|---|---|---|"]
    for (what, arch), g in groups.items():
        v = g["values"]
        met = sum(1 for x in v if g["ok"](x))
        lines.append("| %s | %s %s | %s | %s | %s |" % (what, arch, ", ".join(g["models"]), spread(v), g["target"],
                                                    "–" if not v else "%d of %d runs" % (met, len(v))))
    peaks = [(max(p for p in peaks if p) / allow, killed) for _, _, peaks, allow, killed, _ in mem
             if allow and any(peaks)]
    if peaks:
        lines.append("| peak RSS ÷ allowance, `mivra run` and `mivra serve`, every budget | all | %s | <= 1.0 | %d of %d "
                     "runs%s |" % (spread([p for p, _ in peaks]), sum(1 for p, k in peaks if p <= 1 and not k),
                                   len(peaks), "" if not any(k for _, k in peaks) else ", some killed"))
    for m in stream:
        for r in m["rows"]:
            killed = sum(1 for x in r["m_tgs"] if x is None)
            if killed:
                lines.append("| runner with %d%% resident (stream bench) not stopped by the memory limit | %s | – | "
                             "every run | killed in %d of %d runs |" % (r["pct"], m["name"], killed, len(r["m_tgs"])))
    lines.append("")
    lines.append("%s, %d CPUs, load %s, %s; %d threads, %s, commit %s." % (
        meta.get("cpu_model") or "?", meta["cpus"], meta.get("load", "?"), meta["date"], meta["threads"],
        meta["runs_text"], meta["commit"]))
    return "\n".join(lines) + "\n"


def report(meta, resident, parallel, serve, stream, goal_rows, mem):
    lines = []
    w = lines.append
    w("# mivra against llama.cpp")
    w("")
    w("Machine: %s, %d CPUs%s, %.1f GB RAM, Linux %s; load average %s (1, 5, 15 min; before / after); %s to %s%s." % (
        meta.get("cpu_model") or "?", meta["cpus"], " (runs pinned to CPUs %s)" % meta["cpus_pinned"]
        if meta.get("cpus_pinned") else "", meta["ram_bytes"] / GB, meta.get("kernel", "?"), meta.get("load", "?"),
        meta["date"], meta.get("date_end", "?"), "" if meta.get("complete") else " (INCOMPLETE: the run stopped early)"))
    w("Settings: %d compute threads for both programs, mivra --io-threads %d; ggml CPU variant %s for all programs "
      "(left out: %s); cgroup %s; runs at niceness %s; %s; commit %s." % (
          meta["threads"], meta["io_threads"], meta["cpu_variant"] or "?", meta["left_out"], meta["cgroup"],
          meta.get("nice", "?"), meta["runs_text"], meta["commit"]))
    w("Models: random weights with the shapes of popular MoEs (mivra-make-model), the same GGUF for both programs. "
      "Ratios are mivra ÷ llama.cpp per pair of runs made one right after the other (so that the drift of a shared "
      "machine falls on both alike); median and range over the runs.")
    w("")
    w("## Goals")
    w("")
    lines += headline(meta, goal_rows, mem)
    w("")
    w("\"met in k of n\": the goal held in k of the n runs. Time to first token: lower is better, so its ratio must "
      "stay at or below its target. Allowance = (cache budget + core.gguf + KV cache) × 1.05; every `mivra run` and "
      "`mivra serve` above ran under a cgroup memory limit of its allowance + 256 MiB.")
    if resident:
        w("")
        w("## Every expert resident: `mivra run` against llama-bench")
        w("")
        w("| model | experts | mivra decode tok/s | llama-bench tg%d | ratio | mivra prefill tok/s (prompt tokens) | "
          "llama-bench pp512 | ratio | peak RSS run | allowance |" % meta["gen_resident"])
        w("|---|---|---|---|---|---|---|---|---|---|")
        for m in resident:
            md, reps = m["model"], m["reps"]
            w("| %s | %s × %d of %.1f MB, %d used | %s | %s | %s | %s (%s) | %s | %s | %s GB | %s GB |" % (
                model_label(m["name"], md), md["n_layer"], md["n_expert"], md["expert_bytes"] / 1e6, md["n_used"],
                spread([r["decode"].get("decode_tps") for r in reps]), fmt(median([r["bench"].get("tg") for r in reps])),
                spread([ratio(r["decode"].get("decode_tps"), r["bench"].get("tg")) for r in reps]),
                spread([r["prefill"].get("prefill_tps") for r in reps], ".1f"),
                fmt(median([r["prefill"].get("prompt_tokens") for r in reps]), ".0f"),
                fmt(median([r["bench"].get("pp") for r in reps]), ".1f"),
                spread([ratio(r["prefill"].get("prefill_tps"), r["bench"].get("pp")) for r in reps]),
                fmt(median([max(peak(r["decode"]) or 0, peak(r["prefill"]) or 0) or None for r in reps]) and
                    median([max(peak(r["decode"]) or 0, peak(r["prefill"]) or 0) or None for r in reps]) / GB),
                fmt(reps and reps[0]["decode"].get("allow") and reps[0]["decode"]["allow"] / GB)))
        w("")
        w("`mivra run` as a user runs it, warm: page cache filled and hot.bin written by an earlier run, --cache-mb = "
          "all of experts.bin plus the engine's working memory (what the engine's note names), greedy, token by token (--draft 0, as llama-bench has no drafting), -c %d, "
          "--kv-disk-mb 0; decode = its own greedy output after a prompt of about 30 tokens, %d tokens generated "
          "(the first comes from the prefill and is not counted); prefill = a second run on a prompt of about 512 "
          "tokens. llama-bench of the pinned tree, default settings (weights repacked in RAM, its warm-up run first), "
          "-p 512 -n %d -r 1, right after." % (meta["ctx"], meta["gen_resident"], meta["gen_resident"]))
    if parallel:
        w("")
        w("## Parallel requests (every expert resident)")
        w("")
        w("| model | mivra, 4 requests on 4 slots, tok/s | libllama, 4 sequences per batch, tok/s | ratio |")
        w("|---|---|---|---|")
        for m in parallel:
            reps = m["reps"]
            w("| %s | %s | %s | %s |" % (model_label(m["name"], m["model"]), spread([r.get("mivra") for r in reps], ".1f"),
                                         spread([r.get("llama") for r in reps], ".1f"),
                                         spread([ratio(r.get("mivra"), r.get("llama")) for r in reps])))
        w("")
        w("bench/engine_bench.cpp: aggregate decode tokens/s of the engine (as `mivra serve -np 4` runs it) with 4 "
          "concurrent requests of %d tokens each, its expert cache sized from free RAM (every expert resident), after a warm-up round, against libllama decoding 4 sequences in one "
          "batch per step (what llama.cpp's batched bench measures), same GGUF and threads." % meta["parallel_tokens"])
    if serve:
        w("")
        w("## Time to first token of the server (every expert resident)")
        w("")
        w("| model | prompt tokens | `mivra serve` s | llama-server s | ratio | peak RSS mivra serve | allowance | "
          "peak RSS llama-server |")
        w("|---|---|---|---|---|---|---|---|")
        for m in serve:
            mt = [t and t["ttft"] for t in m["m_ttft"]]
            lt = [t and t["ttft"] for t in m["l_ttft"]]
            w("| %s | %s | %s | %s | %s | %s GB | %s GB | %s GB |" % (
                model_label(m["name"], m["model"]),
                fmt(median([t and t.get("prompt_tokens") for t in m["m_ttft"] + m["l_ttft"]]), ".0f"),
                spread(mt), spread(lt), spread([ratio(a, b) for a, b in zip(mt, lt)]),
                fmt(m["mivra"].get("rss") and m["mivra"]["rss"] / GB), fmt(m["allow"] and m["allow"] / GB),
                fmt(m["llama"].get("rss") and m["llama"]["rss"] / GB)))
        w("")
        w("One slot each (-np 1), -c %d, same threads; a warm-up request first, then one streamed chat request per "
          "run with a different prompt of about %d tokens (so that no cached prefix helps), asking for one token: "
          "seconds from sending it to the first streamed piece (bench/ttft.py). llama-server is built from the same "
          "pinned llama.cpp source for this comparison only (bench/llama_server.sh), run with --jinja." % (
              meta["serve_ctx"], meta["ttft_tokens"]))
    for m in stream:
        lines += stream_report(m)
    return "\n".join(lines) + "\n"


def label(r):
    return "all" if r["pct"] >= 100 else "%d%%" % r["pct"]


def stream_report(m):
    meta, rows, raws = m["meta"], m["rows"], m["raws"]
    lines = []
    w = lines.append
    w("")
    w("## Experts partly resident, read from disk: %s" % m["name"])
    w("")
    w("Model: %s, %d layers, %d experts (%d used) of %.2f MB, GGUF %.2f GB, experts.bin %.2f GB. %d random prompt "
      "tokens, then random tokens one at a time, as llama-bench does; nothing warmed before timing; page cache "
      "dropped before every run; one memory limit for both programs." % (
          meta["arch"], meta["n_layer"], meta["n_expert"], meta["n_used"], meta["expert_bytes"] / 1e6,
          meta["gguf_bytes"] / GB, meta["experts_bytes"] / GB, meta["prompt_tokens"]))
    w("")
    w("| experts resident | memory limit | mivra decode | llama.cpp decode | ratio | mivra prefill | llama.cpp prefill "
      "| ratio | hit (+in flight) | missed MB/token | read GB/s | raw GB/s | waiting on reads | limit tok/s | "
      "share of limit |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        lim = "none" if r["limit"] is None else "%.2f GB" % (r["limit"] / GB)
        w("| %s (%d MiB cache) | %s | %s | %s | %s | %s | %s | %s | %s%% (+%s%%) | %s | %s | %s | %s | %s | %s |" % (
            label(r), r["cache_mb"], lim, spread(r["m_tgs"]), fmt(r["l_tg"]), spread(r["tg_ratios"]),
            fmt(r["m_pp"], ".1f"), fmt(r["l_pp"], ".1f"), spread(r["pp_ratios"]), fmt(r["d_hit"], ".1f"),
            fmt(r["d_inflight"], ".1f"), fmt(r["d_missed"] and r["d_missed"] / 1e6, ".0f"),
            fmt(r["d_rate"] and r["d_rate"] / GB), fmt(r["raw"]), fmt(r["d_wait_share"], ".0%"),
            fmt(r.get("limit_tps")), spread(r["limit_shares"])))
    w("")
    w("mivra: its model runner and expert cache as `mivra run` builds them (bench/stream_bench.cpp), --cache-mb = the "
      "budget. llama.cpp: libllama of the pinned tree on the same GGUF, memory-mapped, without repacked weights "
      "(bench/llama_mmap_bench.cpp; llama-bench repacks every expert into anonymous memory and cannot run under a "
      "limit smaller than the model). Raw: random O_DIRECT reads of whole experts of experts.bin into huge-page "
      "memory with %d threads just before and after each run, the better of the two (bench/raw_read.cpp); thread "
      "scaling at the start: %s. Limit = raw throughput ÷ the expert bytes a token must read when that share of "
      "experts is resident and routing has no locality ((1 − share) × layers × experts used × expert size), compute "
      "not counted; random-weight routing has no locality, so these are worst cases." % (
          meta["io_threads"], m["scaling"] or "–"))
    if raws:
        w("The disk's raw throughput varied between %.2f and %.2f GB/s over this model's runs." % (min(raws), max(raws)))
    w("")
    w("| experts resident | `mivra run` prefill tok/s | decode tok/s (own greedy output) | peak RSS run | "
      "peak RSS serve | allowance run / serve |")
    w("|---|---|---|---|---|---|")
    for r in rows:
        run, srv = r["run"], r["serve"]
        w("| %s | %s | %s | %s GB | %s GB | %s / %s GB |" % (
            label(r), fmt(run.get("prefill_tps"), ".1f"), fmt(run.get("decode_tps")),
            fmt(peak(run) and peak(run) / GB), fmt(srv.get("rss") and srv["rss"] / GB),
            fmt(r["allowance"] / GB), fmt(srv.get("allow") and srv["allow"] / GB)))
    failed = [(r["pct"], f) for r in rows for f in r["failed"]]
    if failed:
        w("")
        w("Runs that failed (left out of the medians): " + ", ".join("%s at %d%%" % (f, p) for p, f in failed))
    return lines


def plot(out, meta, resident, parallel, serve, stream):
    """Left: the ratios of the resident goals per model; right: decode speed against the share of experts resident."""
    dat = os.path.join(out, "ratios.dat")
    names = []
    with open(dat, "w") as f:
        series = []
        for m in resident:
            series.append((m["name"], 0, [ratio(r["decode"].get("decode_tps"), r["bench"].get("tg")) for r in m["reps"]]))
            series.append((m["name"], 1, [ratio(r["prefill"].get("prefill_tps"), r["bench"].get("pp")) for r in m["reps"]]))
        for m in parallel:
            series.append((m["name"], 2, [ratio(r.get("mivra"), r.get("llama")) for r in m["reps"]]))
        for m in serve:  # llama-server's time over mivra's: above 1 is faster, like the others
            series.append((m["name"], 3, [ratio(b and b["ttft"], a and a["ttft"])
                                          for a, b in zip(m["m_ttft"], m["l_ttft"])]))
        for name, _, _ in series:
            if name not in names:
                names.append(name)
        for k in range(4):
            for name, kind, vals in series:
                v = [x for x in vals if x is not None]
                if kind == k and v:
                    f.write("%f %f %f %f\n" % (names.index(name) + (k - 1.5) * 0.15, statistics.median(v), min(v), max(v)))
            f.write("NaN NaN NaN NaN\n\n\n")  # a block for every series, even an empty one
    sdat = os.path.join(out, "stream.dat")
    with open(sdat, "w") as f:
        for m in stream:
            for r in sorted(m["rows"], key=lambda r: r["pct"]):
                vals = [r["pct"], r["m_tg"], r["l_tg"], r.get("limit_tps")]
                f.write(" ".join("NaN" if v is None else str(v) for v in vals) + "\n")
            # every expert resident: `mivra run` against llama-bench, from the resident section
            full = next((x for x in resident if x["name"] == m["name"]), None)
            if full:
                f.write("100 %s %s NaN\n" % tuple(
                    "NaN" if v is None else str(v) for v in (median([r["decode"].get("decode_tps") for r in full["reps"]]),
                                                            median([r["bench"].get("tg") for r in full["reps"]]))))
            f.write("\n\n")
    xtics = ", ".join('"%s" %d' % (n, i) for i, n in enumerate(names))
    script = ["set terminal pngcairo size %d,520 font ',10'" % (1400 if stream else 800), "set output '%s'" % os.path.join(out, "bench.png"),
              "set multiplot layout 1,%d title" % (2 if stream else 1) + " 'mivra vs llama.cpp, %s, %d threads, %s'" % (
                  (meta.get("cpu_model") or "").replace("'", ""), meta["threads"], meta["date"]),
              "set grid ytics", "set key below", "set title 'Every expert resident: mivra ÷ llama.cpp (higher is better)'",
              "set xtics (%s) rotate by -20" % xtics if names else "unset xtics",
              "set xrange [-0.6:%f]" % (max(len(names), 1) - 0.4), "set yrange [0:*]", "set ylabel 'ratio'"]
    script.append("plot 1 w l lc rgb 'gray' dt 2 t '', "
                  "'%s' i 0 u 1:2:3:4 w yerrorbars pt 7 t 'decode (run vs llama-bench tg)', "
                  "'' i 1 u 1:2:3:4 w yerrorbars pt 5 t 'prefill (vs pp512)', "
                  "'' i 2 u 1:2:3:4 w yerrorbars pt 9 t 'aggregate decode, 4 requests', "
                  "'' i 3 u 1:2:3:4 w yerrorbars pt 11 t 'first token: llama-server time ÷ mivra time'" % dat)
    script += ["unset xtics", "set xtics auto norotate", "set xrange [0:105]", "set yrange [*:*]", "set logscale y",
               "set xlabel 'experts resident (% of experts.bin)'", "set ylabel 'decode tokens/s'",
               "set title 'Experts read from disk (page cache dropped, same memory limit); at 100%: warm, vs llama-bench'"]
    if stream:
        parts = []
        for i, m in enumerate(stream):
            parts.append("'%s' i %d u 1:2 w lp lw 2 pt 7 t 'mivra, %s', '' i %d u 1:3 w lp lw 2 pt 5 t 'llama.cpp, %s', "
                         "'' i %d u 1:4 w lp dt 2 pt 1 t 'disk-bound limit, %s'" % (sdat, i, m["name"], i, m["name"], i,
                                                                                     m["name"]))
        script.append("plot " + ", ".join(parts))
    script.append("unset multiplot")
    try:
        subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True, check=True, capture_output=True)
        return True
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write("bench: no plot (%s)\n" % (getattr(e, "stderr", "") or e))
        return False


def runs_text(meta, resident, parallel, serve, stream):
    """How many runs each figure has: one number when every section ran as often, else one per section."""
    counts = {}
    for section, n in (("resident", [len(m["reps"]) for m in resident]),
                       ("parallel", [len(m["reps"]) for m in parallel]),
                       ("serve", [len(m["m_ttft"]) for m in serve]),
                       ("stream", [m["meta"]["reps"] for m in stream])):
        if n:
            counts[section] = max(n)
    if len(set(counts.values())) > 1:
        return "runs per figure: " + ", ".join("%s %d" % kv for kv in counts.items())
    return "%d runs per figure" % (next(iter(counts.values())) if counts else meta["reps"])


def main():
    out = sys.argv[1]
    meta = json.load(open(os.path.join(out, "meta.json")))
    resident, parallel = load_resident(out, meta), load_parallel(out, meta)
    serve, stream = load_serve(out, meta), load_stream(out, meta)
    meta["runs_text"] = runs_text(meta, resident, parallel, serve, stream)
    goal_rows, mem = goals(meta, resident, parallel, serve, stream), memory_rows(resident, serve, stream)
    text = report(meta, resident, parallel, serve, stream, goal_rows, mem)
    if plot(out, meta, resident, parallel, serve, stream):
        text += "\n![mivra against llama.cpp](bench.png)\n"
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write(text)
    with open(os.path.join(out, "summary.md"), "w") as f:
        f.write(summary(meta, goal_rows, mem, stream))
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
