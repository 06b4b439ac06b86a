#!/usr/bin/env python3
"""Reads Google Benchmark JSON output and bench/rows.json; prints the
QelCore-versus-peer table and writes the results file and the plot."""

import argparse
import glob
import json
import math
import os
import statistics
import sys

TIME_TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
# Fewer pairs than this give no spread and no verdict.
MIN_PAIRS = 4


def load_runs(json_dir):
    """Benchmark name -> its runs, one entry per repetition in the order of
    their repetition_index (a single entry when there were no repetitions).
    Aggregates are left out: the figures are computed here from the runs."""
    runs = {}
    for path in sorted(glob.glob(os.path.join(json_dir, "*.json"))):
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as error:
            print(f"report: cannot read {path}: {error}", file=sys.stderr)
            continue
        if not isinstance(data, dict):
            continue
        for entry in data.get("benchmarks", []):
            if entry.get("run_type") == "aggregate" or entry.get("error_occurred"):
                continue
            name = entry.get("run_name", entry["name"])
            # UseRealTime appends "/real_time" to the name; rows leave it out.
            if name.endswith("/real_time"):
                name = name[: -len("/real_time")]
            runs.setdefault(name, {})[entry.get("repetition_index", 0)] = entry
    return runs


def median(values):
    return statistics.median(values)


def quartiles(values):
    """(Q1, Q3) of values, or None with fewer than 4 of them.  Quartiles by
    linear interpolation between the order statistics, the method of
    statistics.quantiles(method="inclusive"): for 1, 2, 3, 4, 5 they are 2
    and 4."""
    if len(values) < MIN_PAIRS:
        return None
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q3


def real_time_ns(entry):
    return entry["real_time"] * TIME_TO_NS[entry.get("time_unit", "ns")]


def figure(entry, field):
    """(value, unit) of a named field of an entry."""
    if field == "real_time":
        return real_time_ns(entry), "ns"
    if field not in entry:
        raise KeyError(f"{entry.get('name')} has no field {field}")
    return float(entry[field]), field


def throughput_figure(entry, counter):
    """The figure shown for a throughput row: MiB/s or millions of items per
    second when both sides count them, else the time per iteration.  Google
    Benchmark divides the counts by CPU time; they are brought back to
    wall-clock time, on which the ratios are based."""
    if counter is None:
        return real_time_ns(entry), "ns"
    scale = entry["cpu_time"] / entry["real_time"] if entry.get("real_time") else 1.0
    if counter == "bytes_per_second":
        return entry[counter] * scale / (1 << 20), "MiB/s"
    return entry[counter] * scale / 1e6, "M items/s"


def shared_counter(a, b):
    for counter in ("bytes_per_second", "items_per_second"):
        if counter in a and counter in b:
            return counter
    return None


def pairs(row, runs):
    """The repetitions of the two sides as they ran: repetition i of the qel
    benchmark with repetition i of the peer (the same entry for a row whose
    two sides are fields of one benchmark)."""
    qel = runs.get(row["qel"])
    peer = runs.get(row["peer"])
    if not qel or not peer:
        return []
    return [(qel[i], peer[i]) for i in sorted(qel) if i in peer]


def evaluate(row, runs):
    matched = pairs(row, runs)
    if not matched:
        return None
    kind = row.get("kind", "throughput")
    target = float(row["target"])
    qel_values, peer_values, ratios = [], [], []
    if kind == "throughput":
        counter = shared_counter(matched[0][0], matched[0][1])
        for qel, peer in matched:
            qel_value, unit = throughput_figure(qel, counter)
            peer_value, _ = throughput_figure(peer, counter)
            qel_values.append(qel_value)
            peer_values.append(peer_value)
            ratios.append(real_time_ns(peer) / real_time_ns(qel))
    elif kind == "at_most":
        for qel, peer in matched:
            qel_value, unit = figure(qel, row.get("qel_field", "real_time"))
            peer_value, peer_unit = figure(peer, row.get("peer_field", "real_time"))
            qel_values.append(qel_value)
            peer_values.append(peer_value)
            ratios.append(qel_value / peer_value if peer_value else math.inf)
        if peer_unit != unit:
            unit = f"{unit} / {peer_unit}"
    else:
        raise ValueError(f"row {row['row']}: unknown kind {kind}")
    spread = quartiles(ratios)
    if spread is None:
        met = None
    elif kind == "throughput":
        met = spread[0] >= target
    else:
        met = spread[1] <= target
    return {
        "row": row["row"],
        "qel": median(qel_values),
        "peer": median(peer_values),
        "unit": unit,
        "ratio": median(ratios),
        "ratio_q1": spread[0] if spread else None,
        "ratio_q3": spread[1] if spread else None,
        "pairs": len(ratios),
        "target": target,
        "met": met,
    }


def number(value):
    if value == 0 or math.isinf(value):
        return str(value)
    if abs(value) >= 1e6:
        return f"{value:.3g}"
    if abs(value) >= 100:
        return f"{value:.0f}"
    return f"{value:.3g}"


def print_table(rows, results, smoke):
    header = ["row", "peer", "QelCore", "peer fig.", "unit", "ratio (Q1-Q3)", "target", "met"]
    lines = []
    for row, result in zip(rows, results):
        sign = "<=" if row.get("kind", "throughput") == "at_most" else ">="
        target = f"{sign} {row['target']}"
        if result is None:
            lines.append([row["row"], row["peer_name"], "-", "-", "", "-", target, "not run"])
            continue
        ratio = f"{result['ratio']:.2f}"
        if result["ratio_q1"] is not None:
            ratio += f" ({result['ratio_q1']:.2f}-{result['ratio_q3']:.2f})"
        elif not smoke:
            ratio += f" ({result['pairs']} pair(s), no spread)"
        if smoke:
            met = "-"
        elif result["met"] is None:
            met = f"fewer than {MIN_PAIRS} pairs"
        else:
            met = "yes" if result["met"] else "NO"
        lines.append([row["row"], row["peer_name"], number(result["qel"]),
                      number(result["peer"]), result["unit"], ratio, target, met])
    widths = [max(len(str(line[i])) for line in [header] + lines) for i in range(len(header))]
    numeric = {2, 3, 5}

    def show(cells):
        out = []
        for i, cell in enumerate(cells):
            out.append(str(cell).rjust(widths[i]) if i in numeric else str(cell).ljust(widths[i]))
        print("  ".join(out).rstrip())

    show(header)
    print("  ".join("-" * w for w in widths))
    for line in lines:
        show(line)


def plot(rows, results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [(row, res) for row, res in zip(rows, results) if res is not None]
    if not shown:
        return
    labels = [f"{row['row']}\nvs {row['peer_name']}" for row, _ in shown]
    ratios = [res["ratio"] for _, res in shown]
    targets = [res["target"] for _, res in shown]
    colours = ["#3a923a" if res["met"] else ("#999999" if res["met"] is None else "#c83737")
               for _, res in shown]
    height = 0.45 * len(shown) + 1.2
    fig, ax = plt.subplots(figsize=(9, height), dpi=80)
    positions = range(len(shown))
    # The quartiles of the per-pair ratios as an error bar (none without them).
    lower = [res["ratio"] - res["ratio_q1"] if res["ratio_q1"] is not None else 0 for _, res in shown]
    upper = [res["ratio_q3"] - res["ratio"] if res["ratio_q3"] is not None else 0 for _, res in shown]
    ax.barh(positions, ratios, color=colours, height=0.6,
            xerr=[lower, upper], error_kw={"ecolor": "black", "capsize": 3, "linewidth": 0.8})
    ax.scatter(targets, positions, marker="|", s=300, color="black", zorder=3, label="target")
    ax.set_xscale("log")
    ax.set_yticks(list(positions))
    ax.set_yticklabels(labels, fontsize=7)
    ax.invert_yaxis()
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.set_xlabel("ratio (throughput rows: peer time / QelCore time; at-most rows: QelCore / reference)")
    ax.legend(loc="lower right", fontsize=7)
    ax.set_title("QelCore against its peers (green: target met by the unfavourable quartile)\n"
                 "bars: median ratio; whiskers: lower to upper quartile", fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", required=True)
    parser.add_argument("--json-dir", required=True)
    parser.add_argument("--results")
    parser.add_argument("--plot")
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()

    with open(args.rows) as f:
        rows = json.load(f)
    runs = load_runs(args.json_dir)
    results = [evaluate(row, runs) for row in rows]
    print_table(rows, results, args.smoke)

    if args.results:
        with open(args.results, "w") as f:
            json.dump([r for r in results if r is not None], f, indent=2)
            f.write("\n")
    if args.plot:
        plot(rows, results, args.plot)

    missing = [row["row"] for row, res in zip(rows, results) if res is None]
    if missing and not args.smoke:
        print(f"not run: {len(missing)} row(s)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
