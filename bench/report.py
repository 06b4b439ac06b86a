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
    """Benchmark name -> (its figure entry, its repetitions in the order they
    ran).  The figure entry is the median aggregate when there are
    repetitions, else the single run; the repetitions are the single runs,
    by repetition_index."""
    runs = {}
    medians = {}
    repetitions = {}
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
                repetitions.setdefault(name, []).append(entry)
    runs.update(medians)
    for entries in repetitions.values():
        entries.sort(key=lambda e: e.get("repetition_index", 0))
    return {name: (entry, repetitions.get(name, [])) for name, entry in runs.items()}


def quartiles(values):
    """(lower quartile, median, upper quartile) of values, by linear
    interpolation between the closest ranks (the inclusive method of
    Python's statistics.quantiles)."""
    ordered = sorted(values)

    def at(fraction):
        position = fraction * (len(ordered) - 1)
        low = math.floor(position)
        high = min(low + 1, len(ordered) - 1)
        return ordered[low] + (ordered[high] - ordered[low]) * (position - low)

    return at(0.25), at(0.5), at(0.75)


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


# Fewer pairs than this give no quartiles worth the name.
MIN_PAIRS = 4


def row_ratio(row, qel, peer):
    """The ratio of a row for one entry of each side."""
    if row.get("kind", "throughput") == "throughput":
        return real_time_ns(peer) / real_time_ns(qel)
    qel_value, _ = figure(qel, row.get("qel_field", "real_time"))
    peer_value, _ = figure(peer, row.get("peer_field", "real_time"))
    return qel_value / peer_value if peer_value else math.inf


def evaluate(row, runs):
    if row["qel"] not in runs or row["peer"] not in runs:
        return None
    qel, qel_reps = runs[row["qel"]]
    peer, peer_reps = runs[row["peer"]]
    kind = row.get("kind", "throughput")
    if kind not in ("throughput", "at_most"):
        raise ValueError(f"row {row['row']}: unknown kind {kind}")
    target = float(row["target"])
    if kind == "throughput":
        counter = shared_counter(qel, peer)
        qel_value, unit = throughput_figure(qel, counter)
        peer_value, _ = throughput_figure(peer, counter)
    else:
        qel_value, unit = figure(qel, row.get("qel_field", "real_time"))
        peer_value, peer_unit = figure(peer, row.get("peer_field", "real_time"))
        if peer_unit != unit:
            unit = f"{unit} / {peer_unit}"
    # The repetitions of the two sides paired as they ran: the i-th of one
    # with the i-th of the other (the same entry when both sides are fields
    # of one benchmark).
    pairs = list(zip(qel_reps, peer_reps))
    if len(pairs) >= MIN_PAIRS:
        q1, ratio, q3 = quartiles([row_ratio(row, a, b) for a, b in pairs])
    else:
        q1 = q3 = None
        ratio = row_ratio(row, qel, peer)
    # A row is met only when the quartile on its losing side meets the
    # target: three quarters of the paired repetitions do at least as well.
    if kind == "throughput":
        deciding = q1 if q1 is not None else ratio
        met = deciding >= target
    else:
        deciding = q3 if q3 is not None else ratio
        met = deciding <= target
    return {
        "row": row["row"],
        "qel": qel_value,
        "peer": peer_value,
        "unit": unit,
        "ratio": ratio,
        "ratio_q1": q1,
        "ratio_q3": q3,
        "pairs": len(pairs),
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
        met = "-" if smoke else ("yes" if result["met"] else "NO")
        ratio = f"{result['ratio']:.2f}"
        if result["ratio_q1"] is not None:
            ratio += f" ({result['ratio_q1']:.2f}-{result['ratio_q3']:.2f})"
        elif not smoke:
            ratio += f" ({result['pairs']} pairs: no spread)"
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
    colours = ["#3a923a" if res["met"] else "#c83737" for _, res in shown]
    height = 0.45 * len(shown) + 1.2
    fig, ax = plt.subplots(figsize=(9, height), dpi=80)
    positions = range(len(shown))
    # The quartiles of the paired repetitions as an error bar on each bar.
    lower = [res["ratio"] - (res["ratio_q1"] if res["ratio_q1"] is not None else res["ratio"])
             for _, res in shown]
    upper = [(res["ratio_q3"] if res["ratio_q3"] is not None else res["ratio"]) - res["ratio"]
             for _, res in shown]
    ax.barh(positions, ratios, color=colours, height=0.6, xerr=[lower, upper],
            error_kw={"ecolor": "black", "capsize": 2, "linewidth": 0.8})
    ax.scatter(targets, positions, marker="|", s=300, color="black", zorder=3, label="target")
    ax.set_xscale("log")
    ax.set_yticks(list(positions))
    ax.set_yticklabels(labels, fontsize=7)
    ax.invert_yaxis()
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.set_xlabel("ratio (throughput rows: peer time / QelCore time; at-most rows: QelCore / reference)")
    ax.legend(loc="lower right", fontsize=7)
    ax.set_title("QelCore against its peers and the floor (green: target met by the quartile "
                 "on the losing side; bars: median, whiskers: quartiles)", fontsize=8)
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
