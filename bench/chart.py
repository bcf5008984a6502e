"""Bar chart of a benchmark run (bench/results/latest.png), drawn with matplotlib's Agg backend."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {"module": "#1f77b4", "peer": "#ff7f0e", "floor": "#9e9e9e"}


def draw(res, path):
    large = [w for w in res["workloads"] if w["size"] == "large"] or res["workloads"]
    speed = [t for t in res["targets"] if t["kind"] == "speed"]
    n = len(large)
    fig = plt.figure(figsize=(5.2 * max(n, 2), 12.5), constrained_layout=True)
    grid = fig.add_gridspec(2, max(n, 1), height_ratios=[3, 2])
    for i, w in enumerate(large):
        ax = fig.add_subplot(grid[0, i])
        rows = w["pipelines"][::-1]
        values = [p["mb_per_s"] for p in rows]
        ax.barh(range(len(rows)), values, color=[COLOURS[p["kind"]] for p in rows])
        ax.set_yticks(range(len(rows)))
        ax.set_yticklabels([_short_label(p["label"]) for p in rows] if i == 0 else [], fontsize=8)
        ax.set_xscale("log")
        ax.set_xlabel("MB/s of protobuf input (log scale)")
        ax.set_title(f"{w['profile']}: {w['protobuf_bytes'] / 2**20:.1f} MiB, {w['logs']} logs", fontsize=10)
        for y, v in enumerate(values):
            ax.text(v, y, f" {v:.0f}", va="center", fontsize=7)
        ax.set_xlim(right=max(values) * 4)
        ax.grid(axis="x", alpha=0.3)
        if i == 0:
            handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in COLOURS.values()]
            ax.legend(handles, list(COLOURS), loc="upper right", fontsize=8)  # the bottom bars reach the right edge

    if speed:
        ax = fig.add_subplot(grid[1, :])
        profiles = [w["profile"] for w in large]
        width = 0.8 / max(len(profiles), 1)
        for j, profile in enumerate(profiles):
            heights = []
            for t in speed:
                need = _required(t["target"])
                v = t["values"].get(profile)
                heights.append((v / need) if v and need else 0)
            xs = [k + (j - (len(profiles) - 1) / 2) * width for k in range(len(speed))]
            ax.bar(xs, heights, width, label=profile)
        ax.axhline(1.0, color="red", linewidth=1)
        ax.set_yscale("log")
        ax.set_ylabel("achieved ratio / target ratio (>= 1 passes)")
        ax.set_xticks(range(len(speed)))
        ax.set_xticklabels([_target_label(t["target"]) for t in speed], rotation=25, ha="right", fontsize=8)
        ax.legend(fontsize=8)
        ax.grid(axis="y", alpha=0.3)
        ax.set_title("Speed targets (large batches, median over rounds)", fontsize=10)
    env = res["environment"]
    fig.suptitle(f"morvex_log_py_bindings benchmark, {env['date']}, git {env['git']}, "
                 f"{res['settings']['rounds']} rounds, load avg {env['loadavg_start'][0]:.1f}", fontsize=11)
    fig.savefig(path, dpi=80)
    plt.close(fig)


def _required(text):
    if "faster than" in text:
        return 1.0
    try:
        return float(text.split(">= ")[1].split("x")[0])
    except (IndexError, ValueError):
        return None


def _short_label(label):
    label = label.replace("floor: ", "").replace("protobuf parse + Python flatten + ", "pb + py + ")
    label = label.replace("lz4 + protobuf parse (Raw) + Python dicts", "lz4 + pb + py dicts")
    return label


def _target_label(text):
    text = text.replace("lz4_logs_to_flat_json ", "dict ").replace("lz4_logs_to_flat_json_str", "lz4 json")
    return text.replace("logs_to_flat_json_str", "json")
