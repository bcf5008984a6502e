"""Benchmark of morvex_log_py_bindings against Python peers and floors.

    bash scripts/bench.sh                     # full run (about 4 minutes on 2 cores)
    bash scripts/bench.sh --quick             # 3 rounds of access and app (well under a minute)
    bash scripts/bench.sh --rounds 5 --profiles wide,tiny

Every pipeline (module path, peer, floor) of every workload runs once per round, in an
order drawn for each round from a fixed seed, and the rounds are interleaved in one
process, so background load hits all pipelines alike.
Speed ratios are the median over rounds of the per-round ratio. A JSON target's ceiling
is the ratio a path would reach if it cost no more than copying its result str (and, for
the compressed path, expanding the block): the best any implementation can do. Peak memory of each
module path is measured in a fresh child process (bench/memprobe.py). The per-call
overhead is timed timeit-style on empty batches. Results go to bench/results/latest.json,
latest.md and latest.png.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import lz4  # noqa: E402
import lz4.block  # noqa: E402
import orjson  # noqa: E402
import google.protobuf  # noqa: E402

import peers  # noqa: E402
import workloads  # noqa: E402
from morvex_log_py_bindings import log_parser  # noqa: E402

MIB = 1024 * 1024
README_BEGIN = "<!-- bench:begin -->"
README_END = "<!-- bench:end -->"

JSON_PATHS = ("json_str", "lz4_json_str")
DICT_PATHS = ("dict_ft", "dict_tf")
MODULE_LABELS = {
    "json_str": "logs_to_flat_json_str",
    "lz4_json_str": "lz4_logs_to_flat_json_str",
    "dict_ft": "lz4_logs_to_flat_json (False, True)",
    "dict_tf": "lz4_logs_to_flat_json (True, False)",
}
# What each module path is compared with, in the ratio table.
COMPARED = {
    "json_str": ["P1", "P2", "pb_parse", "lz4", "str_copy"],
    "lz4_json_str": ["P1", "P2", "pb_parse", "lz4", "str_copy"],
    "dict_ft": ["P3_ft", "orjson_loads_ft", "pickle_loads_ft", "pb_parse", "lz4"],
    "dict_tf": ["P3_tf", "orjson_loads_tf", "pickle_loads_tf", "pb_parse", "lz4"],
}
SHORT = {"P1": "P1 json", "P2": "P2 orjson", "pb_parse": "pb parse", "lz4": "lz4 floor", "str_copy": "str copy",
         "P3_ft": "P3", "P3_tf": "P3", "orjson_loads_ft": "orjson.loads", "orjson_loads_tf": "orjson.loads",
         "pickle_loads_ft": "pickle.loads", "pickle_loads_tf": "pickle.loads"}
# Speed targets on the large batches: (module path, comparator, minimum ratio, strict).
SPEED_TARGETS = [(p, c, x, False) for p in JSON_PATHS for c, x in (("P1", 30), ("P2", 15), ("pb_parse", 3))]
SPEED_TARGETS += [(p, c + p[5:], x, strict) for p in DICT_PATHS
                  for c, x, strict in (("P3_", 5, False), ("orjson_loads_", 2, False), ("pickle_loads_", 1, True))]
# Comparators of the JSON targets, whose ceilings are measured against the str copy floor.
CEILING_OF = tuple(dict.fromkeys(c for p, c, _, _ in SPEED_TARGETS if p in JSON_PATHS))
OVERHEAD_LIMIT = 2.0


# ------------------------------------------------------------------------------ timing

def str_copy_floor(text):
    """Slicing allocates a str of the same kind and copies into it: no function returning
    a str like `text` can do less, so it bounds the JSON paths' best possible speed."""
    return peers.Pipeline("str_copy", "floor: copy of the result str (text[1:])", "floor",
                          lambda: text[1:], info={"str_chars": len(text)})


def time_pipeline(fn, reps):
    """Mean seconds per call over `reps` calls; freeing the result is not timed."""
    total = 0
    clock = time.perf_counter_ns
    for _ in range(reps):
        start = clock()
        result = fn()
        total += clock() - start
        del result
    return total / reps / 1e9


def run_rounds(entries, rounds, min_time, log):
    """entries: list of (workload, [pipelines]). Returns {(workload, pipeline): [s per call per round]}."""
    reps = {}
    for wl, pipelines in entries:
        # A small batch's calls are short and cheap to repeat; a third of the time is plenty.
        min_time_here = min_time if wl.size_name == "large" else min_time / 3
        for pl in pipelines:
            single = time_pipeline(pl.fn, 1)
            if single < min_time_here:  # the first call may be slow; a second one tells better
                single = min(single, time_pipeline(pl.fn, 1))
            reps[wl.name, pl.name] = max(1, min(2000, round(min_time_here / max(single, 1e-7))))
    times = {key: [] for key in reps}
    started = time.perf_counter()
    for r in range(rounds):
        gc.collect()
        # The workloads, and the pipelines within each, in an order of the round's own
        # (seeded, so that runs repeat). In a fixed or rotating order each pipeline would
        # nearly always follow the same other one and inherit what that one leaves behind:
        # freed memory kept by the C allocator or handed back to the system, whose pages
        # the next large result must then fault in again.
        rng = random.Random(r)
        for wl, pipelines in rng.sample(entries, len(entries)):
            for pl in rng.sample(pipelines, len(pipelines)):
                times[wl.name, pl.name].append(time_pipeline(pl.fn, reps[wl.name, pl.name]))
        elapsed = time.perf_counter() - started
        log(f"  round {r + 1}/{rounds} done, {elapsed:.0f} s")
    return times, reps


def median_ratio(num, den):
    return statistics.median(a / b for a, b in zip(num, den))


def spread(values):
    """Interquartile range over the median, in percent: how noisy the rounds were."""
    if len(values) < 4:
        return (max(values) - min(values)) / statistics.median(values) * 100
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values) * 100


# --------------------------------------------------------------------------- overhead

def measure_overhead(repeats, min_time):
    lp = log_parser
    assert lz4.block.decompress(b"\x00", uncompressed_size=0) == b""
    assert lz4.block.decompress(b"\x00", 0) == b""
    assert lp.logs_to_flat_json_str(b"") == "[]"
    assert lp.lz4_logs_to_flat_json_str(b"\x00", 0) == "[]"
    assert lp.lz4_logs_to_flat_json(b"\x00", 0, False, True) == []
    calls = [
        ("lz4", 'lz4.block.decompress(b"\\x00", uncompressed_size=0)', 'f(b"\\x00", uncompressed_size=0)',
         lz4.block.decompress),
        ("lz4_positional", 'lz4.block.decompress(b"\\x00", 0)', 'f(b"\\x00", 0)', lz4.block.decompress),
        ("json_str", 'logs_to_flat_json_str(b"")', 'f(b"")', lp.logs_to_flat_json_str),
        ("lz4_json_str", 'lz4_logs_to_flat_json_str(b"\\x00", 0)', 'f(b"\\x00", 0)', lp.lz4_logs_to_flat_json_str),
        ("dict", 'lz4_logs_to_flat_json(b"\\x00", 0, False, True)', 'f(b"\\x00", 0, False, True)',
         lp.lz4_logs_to_flat_json),
        ("empty_loop", "(timeit loop alone)", "pass", None),
    ]
    timers = {name: timeit.Timer(stmt, globals={"f": f}) for name, _, stmt, f in calls}
    numbers = {}
    for name, timer in timers.items():
        n, _ = timer.autorange()
        numbers[name] = max(1000, int(n * min_time / 0.2))
    per_call = {name: [] for name in timers}
    for _ in range(repeats):
        for name, timer in timers.items():
            per_call[name].append(timer.timeit(numbers[name]) / numbers[name] * 1e9)
    rows = []
    for name, text, _, _ in calls:
        row = {"name": name, "call": text, "ns_median": statistics.median(per_call[name]),
               "ns_min": min(per_call[name]), "iterations": numbers[name], "repeats": repeats}
        if name in ("json_str", "lz4_json_str", "dict"):
            # The module's calls pass their arguments by position, so the reference does too.
            row["ratio_vs_lz4"] = median_ratio(per_call[name], per_call["lz4_positional"])
            row["ratio_vs_lz4_keyword"] = median_ratio(per_call[name], per_call["lz4"])
        rows.append(row)
    return rows


# ----------------------------------------------------------------------------- memory

def measure_memory(profiles, log):
    rows = []
    for profile in profiles:
        path = workloads.cache_path(profile, "large")
        for mpath in JSON_PATHS + DICT_PATHS:
            proc = subprocess.run([sys.executable, os.path.join(HERE, "memprobe.py"), path, mpath],
                                  capture_output=True, text=True, timeout=300)
            if proc.returncode != 0:
                log(f"  memory probe {profile} {mpath} failed: {proc.stderr.strip()[-500:]}")
                rows.append({"profile": profile, "path": mpath, "error": proc.stderr.strip()[-500:]})
                continue
            m = json.loads(proc.stdout)
            m["profile"] = profile
            # memprobe gives the budget: input + 2x output, or result + 2x expanded input.
            m["input"] = m["input_raw"]
            if mpath in JSON_PATHS:
                m["output"] = m["output_str_size"]
                m["budget_rule"] = "input + 2x output"
            else:
                m["output"] = m["result_tracemalloc"]
                m["budget_rule"] = "result + 2x expanded input"
            m["ratio"] = m["peak_delta"] / m["budget"]
            m["pass"] = m["ratio"] <= 1.0
            rows.append(m)
    return rows


# ---------------------------------------------------------------------------- results

def environment():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    rev = ""
    try:
        rev = subprocess.run(["git", "--no-optional-locks", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                             capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "--no-optional-locks", "status", "--porcelain", "--", "src"], cwd=ROOT,
                               capture_output=True, text=True).stdout.strip()
        if dirty:
            rev += " (src/ modified)"
    except OSError:
        pass
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "git": rev,
        "python": platform.python_version(),
        "platform": platform.platform(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "loadavg_start": os.getloadavg(),
        "protobuf": google.protobuf.__version__,
        "protobuf_backend": peers.protobuf_backend(),
        "orjson": orjson.__version__,
        "lz4": lz4.__version__,
    }


def summarize(entries, times, reps, mismatches):
    workload_rows = []
    for wl, pipelines in entries:
        rows = []
        for pl in pipelines:
            t = times[wl.name, pl.name]
            med = statistics.median(t)
            rows.append({"name": pl.name, "label": pl.label, "kind": pl.kind, "median_s": med,
                         "min_s": min(t), "spread_pct": spread(t), "reps_per_round": reps[wl.name, pl.name],
                         "mb_per_s": wl.raw_size / med / 1e6, "logs_per_s": wl.logs / med, **pl.info})
        ratios, ratios_of_min = {}, {}
        names = {pl.name for pl in pipelines}
        for mpath, others in COMPARED.items():
            if mpath in names:
                ratios[mpath] = {o: median_ratio(times[wl.name, o], times[wl.name, mpath])
                                 for o in others if o in names}
                # Best round against best round: less sensitive to other jobs on the machine.
                ratios_of_min[mpath] = {o: min(times[wl.name, o]) / min(times[wl.name, mpath])
                                        for o in others if o in names}
        # Best ratio to each comparator that a path doing nothing but its unavoidable work would
        # reach: the str copy, plus the expansion for the compressed path.
        ceilings = {}
        if {"str_copy", "lz4"} <= names:
            least = {"json_str": times[wl.name, "str_copy"],
                     "lz4_json_str": [a + b for a, b in zip(times[wl.name, "str_copy"], times[wl.name, "lz4"])]}
            ceilings = {mpath: {o: median_ratio(times[wl.name, o], least[mpath]) for o in CEILING_OF if o in names}
                        for mpath in JSON_PATHS if mpath in names}
        workload_rows.append({
            "workload": wl.name, "profile": wl.profile, "size": wl.size_name, "protobuf_bytes": wl.raw_size,
            "lz4_bytes": len(wl.compressed), "groups": wl.groups, "logs": wl.logs, "contents": wl.contents,
            "sha256_16": wl.sha256, "pipelines": rows, "ratios": ratios, "ratios_of_min": ratios_of_min,
            "ceilings": ceilings, "mismatches": mismatches.get(wl.name, {})})
    return workload_rows


def meets(value, minimum, strict):
    return value is not None and (value > minimum if strict else value >= minimum)


def evaluate_targets(workload_rows, overhead, memory):
    targets = []
    large = [w for w in workload_rows if w["size"] == "large"]
    for mpath, other, minimum, strict in SPEED_TARGETS:
        values = {w["profile"]: w["ratios"].get(mpath, {}).get(other) for w in large}
        ok = bool(values) and all(meets(v, minimum, strict) for v in values.values())
        relation = "faster than" if strict and minimum == 1 else f">= {minimum}x"
        target = {"target": f"{MODULE_LABELS[mpath]} {relation} {SHORT[other]}", "kind": "speed",
                  "values": values, "pass": ok}
        if mpath in JSON_PATHS:
            target["ceilings"] = {w["profile"]: w["ceilings"].get(mpath, {}).get(other) for w in large}
            # Profiles where even a path as quick as the str copy would miss the target.
            target["unreachable"] = [p for p, c in target["ceilings"].items()
                                     if c is not None and not meets(c, minimum, strict)]
        targets.append(target)
    for row in overhead:
        if "ratio_vs_lz4" in row:
            targets.append({"target": f"per-call overhead of {row['call']} <= {OVERHEAD_LIMIT:g}x "
                                      'lz4.block.decompress(b"\\x00", 0)',
                            "kind": "overhead", "values": {"ratio": row["ratio_vs_lz4"]},
                            "pass": row["ratio_vs_lz4"] <= OVERHEAD_LIMIT})
    for mpath in JSON_PATHS + DICT_PATHS:
        rows = [m for m in memory if m["path"] == mpath]
        if not rows:
            continue
        values = {m["profile"]: m.get("ratio") for m in rows}
        rule = rows[0].get("budget_rule", "")
        targets.append({"target": f"peak memory of {MODULE_LABELS[mpath]} <= {rule}", "kind": "memory",
                        "values": values, "pass": all(m.get("pass") for m in rows)})
    return targets


# ---------------------------------------------------------------------------- reports

def fmt_values(values, unit="x"):
    return ", ".join(f"{k} {v:.2f}{unit}" if v is not None else f"{k} n/a" for k, v in values.items())


def fmt_ceilings(target):
    """The ceilings of a failing JSON target, or "" when there is nothing to explain."""
    if target["pass"] or "ceilings" not in target:
        return ""
    cells = [f"{p} unreachable (ceiling {c:.2f}x)" if p in target["unreachable"] else f"{p} {c:.2f}x"
             for p, c in target["ceilings"].items() if c is not None]
    return "ceiling " + ", ".join(cells) if cells else ""


def text_report(res):
    env = res["environment"]
    out = []
    out.append(f"morvex_log_py_bindings benchmark, {env['date']}, git {env['git']}")
    out.append(f"Python {env['python']}, protobuf {env['protobuf']} (backend {env['protobuf_backend']}), "
               f"orjson {env['orjson']}, lz4 {env['lz4']}; {env['cpus']} CPUs {env['cpu']}; "
               f"load average {env['loadavg_start'][0]:.2f} at start, {env['loadavg_end'][0]:.2f} at end")
    out.append(f"{res['settings']['rounds']} rounds, interleaved; times are medians over rounds; MB/s counts "
               f"protobuf (uncompressed) input; spread = IQR/median over rounds.")
    for w in res["workloads"]:
        out.append("")
        out.append(f"== {w['workload']}: {w['protobuf_bytes'] / MIB:.2f} MiB protobuf ({w['lz4_bytes'] / MIB:.2f} MiB "
                   f"LZ4), {w['groups']} groups, {w['logs']} logs, {w['contents']} contents")
        out.append(f"   {'pipeline':<58} {'ms':>9} {'MB/s':>9} {'Mlogs/s':>8} {'spread':>7}")
        for p in w["pipelines"]:
            out.append(f"   {p['label']:<58} {p['median_s'] * 1e3:9.3f} {p['mb_per_s']:9.1f} "
                       f"{p['logs_per_s'] / 1e6:8.3f} {p['spread_pct']:6.1f}%")
        for name, why in w["mismatches"].items():
            out.append(f"   !! {name} output differs from the module's, not timed: {why}")
    out.append("")
    out.append("Module speed as a ratio to each peer and floor (median over rounds of peer time / module time):")
    for size in ("large", "small"):
        ws = [w for w in res["workloads"] if w["size"] == size]
        if not ws:
            continue
        out.append(f"   {size} batches      {'vs':<14}" + "".join(f"{w['profile']:>9}" for w in ws))
        for mpath, others in COMPARED.items():
            for i, o in enumerate(others):
                label = MODULE_LABELS[mpath] if i == 0 else ""
                cells = "".join(f"{w['ratios'].get(mpath, {}).get(o, float('nan')):8.2f}x" for w in ws)
                out.append(f"   {label:<38} {SHORT[o]:<14}{cells}")
    if res["overhead"]:
        out.append("")
        out.append("Per-call overhead on empty batches (timeit, median of repeats):")
        for row in res["overhead"]:
            extra = (f"  {row['ratio_vs_lz4']:5.2f}x lz4 positional, {row['ratio_vs_lz4_keyword']:5.2f}x lz4 keyword"
                     if "ratio_vs_lz4" in row else "")
            out.append(f"   {row['call']:<52} {row['ns_median']:8.1f} ns{extra}")
    if res["memory"]:
        out.append("")
        out.append("Peak memory of one call on the large batch, fresh process (peak RSS - RSS before, MiB); "
                   "dict result size by tracemalloc:")
        out.append(f"   {'profile':<8} {'path':<37} {'input':>7} {'output':>7} {'peak':>7} {'budget':>7} "
                   f"{'ratio':>6}")
        for m in res["memory"]:
            if "error" in m:
                out.append(f"   {m['profile']:<8} {MODULE_LABELS[m['path']]:<37} failed")
                continue
            out.append(f"   {m['profile']:<8} {MODULE_LABELS[m['path']]:<37} {m['input'] / MIB:7.2f} "
                       f"{m['output'] / MIB:7.2f} {m['peak_delta'] / MIB:7.2f} {m['budget'] / MIB:7.2f} "
                       f"{m['ratio']:6.2f}")
    out.append("")
    out.append("Targets (large batches, every profile):")
    for t in res["targets"]:
        out.append(f"{'PASS' if t['pass'] else 'FAIL'}  {t['target']}  ({fmt_values(t['values'])})")
        if fmt_ceilings(t):
            out.append(f"      {fmt_ceilings(t)}")
    if any(fmt_ceilings(t) for t in res["targets"]):
        out.append("Ceiling: median over rounds of comparator time / (str copy time, plus lz4 floor time for "
                   "the compressed path), the best ratio any implementation could reach.")
    return "\n".join(out)


def pipeline_table(workloads_, caption, cell):
    """A markdown table of one figure of every pipeline (rows) on each workload (columns)."""
    md = [caption, "", "| pipeline | " + " | ".join(w["profile"] for w in workloads_) + " |",
          "|---|" + "---:|" * len(workloads_)]
    for i, p in enumerate(workloads_[0]["pipelines"]):
        label = f"**{p['label']}**" if p["kind"] == "module" else p["label"]
        md.append(f"| {label} | " + " | ".join(cell(w["pipelines"][i]) for w in workloads_) + " |")
    return md + [""]


def markdown_report(res):
    env = res["environment"]
    md = []
    md.append(f"Last run: {env['date']}, git `{env['git']}`, {res['settings']['rounds']} rounds, "
              f"{env['cpus']} CPUs ({env['cpu']}), load average {env['loadavg_start'][0]:.1f} at start "
              f"(other jobs were running, so figures are noisy); Python {env['python']}, protobuf "
              f"{env['protobuf']} (backend `{env['protobuf_backend']}`), orjson {env['orjson']}, lz4 {env['lz4']}.")
    md.append("")
    large = [w for w in res["workloads"] if w["size"] == "large"]
    if large:
        md += pipeline_table(large, "Throughput on the large batches (MB/s of protobuf input, median over rounds):",
                             lambda p: f"{p['mb_per_s']:.0f}")
        md += pipeline_table(large, "The same in logs per second (millions; the batches hold "
                             + ", ".join(f"{w['logs']:,} logs ({w['profile']})" for w in large) + "):",
                             lambda p: f"{p['logs_per_s'] / 1e6:.3f}")
        md.append("Module speed as a ratio to each peer and floor (median over rounds; above 1 the module is faster):")
        md.append("")
        md.append("| module path | vs | " + " | ".join(w["profile"] for w in large) + " |")
        md.append("|---|---|" + "---:|" * len(large))
        for mpath, others in COMPARED.items():
            for o in others:
                cells = [f"{w['ratios'].get(mpath, {}).get(o, float('nan')):.2f}x" for w in large]
                md.append(f"| {MODULE_LABELS[mpath]} | {SHORT[o]} | " + " | ".join(cells) + " |")
        md.append("")
    if res["overhead"]:
        md.append('| per-call overhead (empty batch) | ns/call | ratio to `lz4.block.decompress(b"\\x00", 0)` |')
        md.append("|---|---:|---:|")
        for row in res["overhead"]:
            ratio = f"{row['ratio_vs_lz4']:.2f}x" if "ratio_vs_lz4" in row else ""
            md.append(f"| `{row['call']}` | {row['ns_median']:.0f} | {ratio} |")
        md.append("")
    if res["memory"]:
        md.append("| peak memory, large batch | profile | input MiB | output MiB | peak MiB | budget MiB | ratio |")
        md.append("|---|---|---:|---:|---:|---:|---:|")
        for m in res["memory"]:
            if "error" not in m:
                md.append(f"| {MODULE_LABELS[m['path']]} | {m['profile']} | {m['input'] / MIB:.2f} | "
                          f"{m['output'] / MIB:.2f} | {m['peak_delta'] / MIB:.2f} | {m['budget'] / MIB:.2f} | "
                          f"{m['ratio']:.2f} |")
        md.append("")
    explain = any(fmt_ceilings(t) for t in res["targets"])
    md.append("Targets" + (" (ceiling: median over rounds of comparator time / (str copy time, plus lz4 floor "
                           "time for the compressed path), the best ratio any implementation could reach)"
                           if explain else "") + ":")
    md.append("")
    for t in res["targets"]:
        ceilings = f"; {fmt_ceilings(t)}" if fmt_ceilings(t) else ""
        md.append(f"- {'PASS' if t['pass'] else '**FAIL**'} {t['target']} ({fmt_values(t['values'])}){ceilings}")
    return "\n".join(md) + "\n"


def update_readme(markdown):
    path = os.path.join(ROOT, "README.md")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        return False
    text = text[:begin + len(README_BEGIN)] + "\n" + markdown + text[end:]
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True


# ------------------------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, help="interleaved rounds (default 15, 3 with --quick)")
    ap.add_argument("--profiles", help="comma-separated subset of " + ",".join(workloads.PROFILES)
                    + " (default all, access,app with --quick)")
    ap.add_argument("--sizes", default="large,small", help="large (about 4 MiB), small (about 64 KiB) or both")
    ap.add_argument("--min-time", type=float, default=0.03,
                    help="seconds each pipeline runs per round at least (more calls per round for quick ones)")
    ap.add_argument("--quick", action="store_true",
                    help="3 rounds of the large access and app batches, fewer overhead repeats")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory child processes")
    ap.add_argument("--no-overhead", action="store_true", help="skip the per-call overhead timing")
    ap.add_argument("--overhead-repeats", type=int, default=15)
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="output folder (default bench/results)")
    ap.add_argument("--no-chart", action="store_true")
    ap.add_argument("--update-readme", action="store_true",
                    help="replace the last-run part of README.md's Benchmark section with this run's tables")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target fails")
    ap.add_argument("--from-json", metavar="FILE",
                    help="time nothing: write the report (latest.md, chart, README with --update-readme) "
                         "from the figures of an earlier run's latest.json")
    args = ap.parse_args(argv)
    if args.from_json:
        with open(args.from_json) as f:
            return report(json.load(f), args)
    if args.rounds is None:
        args.rounds = 3 if args.quick else 15
    if args.profiles is None:
        args.profiles = "access,app" if args.quick else ",".join(workloads.PROFILES)
    if args.quick:
        args.overhead_repeats = min(args.overhead_repeats, 5)
        if args.sizes == "large,small":
            args.sizes = "large"
    profiles = [p for p in args.profiles.split(",") if p]
    sizes = [s for s in args.sizes.split(",") if s]
    bad = [p for p in profiles if p not in workloads.PROFILES] + [s for s in sizes if s not in ("large", "small")]
    if bad or args.rounds < 1:
        ap.error(f"unknown profile or size: {bad}" if bad else "--rounds must be at least 1")

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    started = time.perf_counter()
    env = environment()
    log(f"protobuf backend: {env['protobuf_backend']}; load average {env['loadavg_start'][0]:.2f}")

    entries, mismatches = [], {}
    for profile in profiles:
        for size in sizes:
            wl = workloads.load(profile, size)
            pipelines, module_text = peers.build(wl)
            pipelines.append(str_copy_floor(module_text))
            kept = []
            for pl in pipelines:
                why = pl.check(pl.fn()) if pl.check else None
                if why:
                    mismatches.setdefault(wl.name, {})[pl.name] = why
                    log(f"!! {wl.name} {pl.name}: output differs from the module's: {why}")
                else:
                    kept.append(pl)
            entries.append((wl, kept))
            log(f"{wl.name}: {wl.raw_size} bytes, {wl.logs} logs, {len(kept)}/{len(pipelines)} pipelines checked equal")

    gc.collect()
    gc.disable()  # as timeit does: no cyclic collection inside the timed calls
    try:
        log(f"timing {args.rounds} rounds (checks done at {time.perf_counter() - started:.0f} s)")
        times, reps = run_rounds(entries, args.rounds, args.min_time, log)
        overhead = [] if args.no_overhead else measure_overhead(args.overhead_repeats, 0.05)
    finally:
        gc.enable()
    log(f"timing done at {time.perf_counter() - started:.0f} s")
    memory = []
    if not args.no_memory and "large" in sizes:
        log("measuring peak memory in child processes")
        memory = measure_memory(profiles, log)

    env["loadavg_end"] = os.getloadavg()
    res = {
        "environment": env,
        "settings": {"rounds": args.rounds, "profiles": profiles, "sizes": sizes, "min_time_s": args.min_time,
                     "gc_disabled_while_timing": True, "result_freeing_timed": False,
                     "order": "workloads and pipelines shuffled anew each round (random.Random(round))",
                     "dict_result_size_method": "tracemalloc traced size after building the result "
                                                "(objects shared between dicts counted once)",
                     "json_output_size": "sys.getsizeof of the returned str",
                     "speed_ratio": "median over rounds of (other pipeline time / module time), same round",
                     "speed_ceiling": "median over rounds of (comparator time / (str_copy time, plus lz4 time for "
                                      "the compressed path)), same round"},
        "workloads": summarize(entries, times, reps, mismatches),
        "overhead": overhead,
        "memory": memory,
    }
    res["targets"] = evaluate_targets(res["workloads"], overhead, memory)
    res["duration_s"] = time.perf_counter() - started

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "latest.json"), "w") as f:
        json.dump(res, f, indent=1)
    return report(res, args)


def report(res, args):
    """Writes latest.md (and the chart) into args.out, prints the report and, when asked,
    refreshes the README's tables. Returns the exit status: 1 when a peer's output differed
    (or, with --strict, a target failed)."""
    os.makedirs(args.out, exist_ok=True)
    markdown = markdown_report(res)
    with open(os.path.join(args.out, "latest.md"), "w", encoding="utf-8") as f:
        f.write(markdown)
    if not args.no_chart:
        import chart
        chart.draw(res, os.path.join(args.out, "latest.png"))
    print(text_report(res))
    written = ([] if args.from_json else ["latest.json"]) + ["latest.md"] + ([] if args.no_chart else ["latest.png"])
    print(f"\nwrote {os.path.relpath(args.out, os.getcwd())}/{', '.join(written)}"
          f"{' from ' + args.from_json if args.from_json else ''} (run of {res['duration_s']:.0f} s)")
    if args.update_readme:
        print("README.md updated" if update_readme(markdown) else "README.md has no bench markers; not updated")
    failed = [t for t in res["targets"] if not t["pass"]]
    if any(w["mismatches"] for w in res["workloads"]) or (args.strict and failed):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
