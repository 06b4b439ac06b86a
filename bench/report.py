#!/usr/bin/env python3
"""Reads Google Benchmark JSON output and bench/rows.json; prints the
QelCore-versus-peer table and writes the results file and the plot."""

import argparse
import glob
import json
import math
import os
import sys

TIME_TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_runs(json_dir):
    """Benchmark name -> its entry: the median of the repetitions when there
    are repetitions, else the single run."""
    runs = {}
    medians = {}
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
            name = entry.get("run_name", entry["name"])
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    medians[name] = entry
            elif entry.get("error_occurred"):
                continue
            else:
                runs.setdefault(name, entry)
    runs.update(medians)
    return runs


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


def evaluate(row, runs):
    qel = runs.get(row["qel"])
    peer = runs.get(row["peer"])
    if qel is None or peer is None:
        return None
    kind = row.get("kind", "throughput")
    target = float(row["target"])
    if kind == "throughput":
        ratio = real_time_ns(peer) / real_time_ns(qel)
        counter = shared_counter(qel, peer)
        qel_value, unit = throughput_figure(qel, counter)
        peer_value, _ = throughput_figure(peer, counter)
        met = ratio >= target
    elif kind == "at_most":
        qel_value, unit = figure(qel, row.get("qel_field", "real_time"))
        peer_value, peer_unit = figure(peer, row.get("peer_field", "real_time"))
        if peer_unit != unit:
            unit = f"{unit} / {peer_unit}"
        ratio = qel_value / peer_value if peer_value else math.inf
        met = ratio <= target
    else:
        raise ValueError(f"row {row['row']}: unknown kind {kind}")
    return {
        "row": row["row"],
        "qel": qel_value,
        "peer": peer_value,
        "unit": unit,
        "ratio": ratio,
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
    header = ["row", "peer", "QelCore", "peer fig.", "unit", "ratio", "target", "met"]
    lines = []
    for row, result in zip(rows, results):
        sign = "<=" if row.get("kind", "throughput") == "at_most" else ">="
        target = f"{sign} {row['target']}"
        if result is None:
            lines.append([row["row"], row["peer_name"], "-", "-", "", "-", target, "not run"])
            continue
        met = "-" if smoke else ("yes" if result["met"] else "NO")
        lines.append([row["row"], row["peer_name"], number(result["qel"]),
                      number(result["peer"]), result["unit"], f"{result['ratio']:.2f}",
                      target, met])
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
    colours = ["#3a923a" if res["met"] else "#c83737" for _, res in shown]
    height = 0.45 * len(shown) + 1.2
    fig, ax = plt.subplots(figsize=(9, height), dpi=80)
    positions = range(len(shown))
    ax.barh(positions, ratios, color=colours, height=0.6)
    ax.scatter(targets, positions, marker="|", s=300, color="black", zorder=3, label="target")
    ax.set_xscale("log")
    ax.set_yticks(list(positions))
    ax.set_yticklabels(labels, fontsize=7)
    ax.invert_yaxis()
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.set_xlabel("ratio (throughput rows: peer time / QelCore time; at-most rows: QelCore / reference)")
    ax.legend(loc="lower right", fontsize=7)
    ax.set_title("QelCore against its peers (green: target met)", fontsize=9)
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
