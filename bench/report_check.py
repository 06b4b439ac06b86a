#!/usr/bin/env python3
"""Checks bench/report.py on a hand-made input whose answer is known: five
pairs with ratios 1, 2, 3, 4, 5 give the median 3 and the quartiles 2 and 4,
and the verdict follows the quartile on the unfavourable side.  Exits 1 on
a mismatch.  bench/run --smoke runs it."""

import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def entry(name, index, time):
    return {"name": f"{name}/real_time", "run_name": f"{name}/real_time",
            "run_type": "iteration", "repetition_index": index,
            "real_time": time, "cpu_time": time, "time_unit": "us"}


def main():
    benchmarks = []
    # The order of the repetitions in the file is shuffled, as random
    # interleaving leaves it; pairing goes by repetition_index.
    for index, ratio in [(3, 4.0), (0, 1.0), (4, 5.0), (2, 3.0), (1, 2.0)]:
        benchmarks += [entry("slow/qel", index, 10.0 * ratio), entry("slow/floor", index, 10.0),
                       entry("fast/qel", index, 10.0), entry("fast/peer", index, 10.0 * ratio)]
    benchmarks += [entry("few/qel", i, 2.0) for i in range(3)]
    benchmarks += [entry("few/floor", i, 1.0) for i in range(3)]
    benchmarks.append({"name": "slow/qel_median", "run_name": "slow/qel", "run_type": "aggregate",
                       "aggregate_name": "median", "real_time": 1e9, "time_unit": "us"})
    row = {"peer_name": "p"}
    rows = [
        dict(row, row="at_most met", qel="slow/qel", peer="slow/floor", kind="at_most", target=4.0),
        dict(row, row="at_most missed", qel="slow/qel", peer="slow/floor", kind="at_most", target=3.9),
        dict(row, row="throughput met", qel="fast/qel", peer="fast/peer", kind="throughput", target=2.0),
        dict(row, row="throughput missed", qel="fast/qel", peer="fast/peer", kind="throughput",
             target=2.1),
        dict(row, row="few", qel="few/qel", peer="few/floor", kind="at_most", target=3.0),
    ]
    expected = {
        "at_most met": (3.0, 2.0, 4.0, True, 30000.0, 10000.0),
        "at_most missed": (3.0, 2.0, 4.0, False, 30000.0, 10000.0),
        "throughput met": (3.0, 2.0, 4.0, True, 10000.0, 30000.0),
        "throughput missed": (3.0, 2.0, 4.0, False, 10000.0, 30000.0),
        "few": (2.0, None, None, None, 2000.0, 1000.0),
    }
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "json"))
        with open(os.path.join(work, "json", "check.json"), "w") as f:
            json.dump({"benchmarks": benchmarks}, f)
        with open(os.path.join(work, "rows.json"), "w") as f:
            json.dump(rows, f)
        results_path = os.path.join(work, "results.json")
        subprocess.run([sys.executable, os.path.join(HERE, "report.py"), "--rows",
                        os.path.join(work, "rows.json"), "--json-dir", os.path.join(work, "json"),
                        "--results", results_path], check=True, stdout=subprocess.DEVNULL)
        with open(results_path) as f:
            results = {r["row"]: r for r in json.load(f)}
    failures = 0
    for name, want in expected.items():
        r = results.get(name)
        got = None if r is None else (r["ratio"], r["ratio_q1"], r["ratio_q3"], r["met"],
                                      r["qel"], r["peer"])
        if got != want:
            print(f"report_check: {name}: expected {want}, got {got}", file=sys.stderr)
            failures += 1
    if failures:
        return 1
    print("report_check: the median, the quartiles and the verdicts are as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
