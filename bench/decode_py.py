"""Python side of the decode benchmark: the reference sample decoded by eclipse-zenoh's
z_deserialize into the same shape as the C++ records (tuples for records, lists for
sequences), timed call by call with time.perf_counter_ns. With --cpp-json, prints the
medians beside Google Benchmark's and their ratios.

  decode_py.py DIR [--iterations N] [--cpp-json FILE]
"""

import argparse
import json
import os
import statistics
import sys
import time

import zenoh
from zenoh import ext as zext

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "msgs"))
import wire_schema as ws  # noqa: E402

# Targets of the C++ decoder on this sample.
MIN_SPEEDUP = 50.0
MAX_BASIC_NS = 3000.0


def python_times_ns(payload, schema, iterations):
    data = zenoh.ZBytes(payload)
    kind = ws.z_type(schema)
    zext.z_deserialize(kind, data)  # warm-up, and a check that it decodes at all
    times = []
    for _ in range(iterations):
        start = time.perf_counter_ns()
        zext.z_deserialize(kind, data)
        times.append(time.perf_counter_ns() - start)
    return sorted(times)


def python_median_ns(payload, schema, iterations):
    return statistics.median(python_times_ns(payload, schema, iterations))


def cpp_medians_ns(path):
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    medians = {}
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[entry["time_unit"]]
            medians[entry["run_name"]] = entry["real_time"] * scale
    return medians


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--iterations", type=int, default=3000)
    parser.add_argument("--cpp-json")
    parser.add_argument("--json", help="print the Python decode median and p99 as JSON only")
    args = parser.parse_args()

    if args.json:
        report = {}
        for name, schema in (
            ("basic", ws.BASIC),
            ("extra", ws.EXTRA),
            ("plan_info", ws.RPC_REPLY),
            ("pt_states", ws.RPC_REPLY),
        ):
            with open(os.path.join(args.directory, name + ".bin"), "rb") as f:
                times = python_times_ns(f.read(), schema, args.iterations)
            report[name] = {
                "median_ns": statistics.median(times),
                "p99_ns": times[int(len(times) * 0.99)],
            }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
        return 0

    python = {}
    for name, schema in (("basic", ws.BASIC), ("extra", ws.EXTRA)):
        with open(os.path.join(args.directory, name + ".bin"), "rb") as f:
            payload = f.read()
        python[name] = python_median_ns(payload, schema, args.iterations)

    if not args.cpp_json:
        for name, ns in python.items():
            print(f"python z_deserialize {name}: median {ns / 1000:.1f} us")
        return 0

    cpp = cpp_medians_ns(args.cpp_json)
    print(
        f"{'message':<8} {'python median':>15} {'C++ decode':>12} {'ratio':>8}"
        f" {'C++ stream path':>16}"
    )
    ok = True
    for name in ("basic", "extra"):
        label = name.capitalize()
        decode = cpp[f"BM_Decode{label}"]
        path = cpp[f"BM_StreamPath{label}"]
        ratio = python[name] / decode
        print(
            f"{name:<8} {python[name] / 1000:>12.1f} us {decode:>9.0f} ns {ratio:>7.0f}x"
            f" {path:>13.0f} ns"
        )
        ok &= ratio >= MIN_SPEEDUP
    ok &= cpp["BM_DecodeBasic"] < MAX_BASIC_NS
    print(
        f"targets: C++ at least {MIN_SPEEDUP:.0f}x faster than Python, basic decode under"
        f" {MAX_BASIC_NS / 1000:.0f} us: {'met' if ok else 'MISSED'}"
    )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
