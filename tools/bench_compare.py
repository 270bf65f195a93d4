#!/usr/bin/env python3
"""Compares two full benchmark runs (scripts/bench.sh) benchmark by benchmark.

    tools/bench_compare.py <old results dir> <new results dir> [--limit 1.10]

Reads the medians of each program's JSON output and prints new/old for the
real time of every benchmark both runs have, and for its rate counters
(inverted, so that above 1 always means slower). Exits 1 when any ratio is
above the limit (default 1.10: ten per cent slower).
"""
import argparse
import json
import pathlib
import sys


def medians(directory):
    """{(program, benchmark): {measure: value}} of a results directory."""
    found = {}
    for path in sorted(pathlib.Path(directory).glob("bench_*.json")):
        for run in json.loads(path.read_text()).get("benchmarks", []):
            if run.get("aggregate_name") != "median":
                continue
            measures = {"real_time": run["real_time"]}
            for key, value in run.items():
                if key.endswith("_per_second") and value:
                    measures[key] = 1.0 / value
            found[(path.stem, run["run_name"])] = measures
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--limit", type=float, default=1.10)
    args = parser.parse_args()
    old, new = medians(args.old), medians(args.new)
    slower = 0
    for key in sorted(old.keys() & new.keys()):
        for measure, before in old[key].items():
            after = new[key].get(measure)
            if after is None or before <= 0:
                continue
            ratio = after / before
            flag = " SLOWER" if ratio > args.limit else ""
            slower += bool(flag)
            print(f"{ratio:6.2f}  {key[0]} {key[1]} {measure}{flag}")
    print(f"{slower} of the measures slower than {args.limit:.2f}x")
    return 1 if slower else 0


if __name__ == "__main__":
    sys.exit(main())
