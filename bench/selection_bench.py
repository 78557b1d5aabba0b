"""Reading part of a long recording: a 10 s window of ARM_1's joint positions
(read_recording(start, end, groups, fields)) from recordings of two lengths, its time and
peak memory (the cost follows the window, not the file), and iter_recording over the whole
long recording, its peak memory (flat: one window's tables).

The recordings are those of bench/reader_bench.py (the two-arm substitute's messages, both
streams at 1 kHz, written by the tools' writer), made here without a network:

    PYTHONPATH=build/python .venv/bin/python bench/selection_bench.py
        [--lengths 60 3600]   seconds of the recordings read
        [--window 10]         seconds of the window, in the middle of each recording
        [--iter-seconds 10]   iter_recording's window
        [--cold]              drop the page cache before each reading (root): from the disk
        [--json FILE]         also write the figures as JSON
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for folder in ("sim", "tools", "bench"):
    sys.path.insert(0, str(ROOT / folder))

# Each measurement in a fresh process: its peak memory is its own.
MEASURE = """
import json, sys, time
sys.path.insert(0, {tools!r})
from korvelquor_tools import iter_recording, read_recording
import korvelquor_capture, pandas  # the imports are the process's, not the reading's
start = time.perf_counter()
if {mode!r} == "window":
    t = read_recording({path!r}, start={start}, end={end}, groups=["ARM_1"], fields=["q"])
    rows = len(t.basic) + len(t.extra)
else:
    rows = 0
    for t in iter_recording({path!r}, seconds={seconds}):
        rows += len(t.basic) + len(t.extra)
took = time.perf_counter() - start
# VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(json.dumps({{"rows": rows, "seconds": took, "peak_rss": peak * 1024}}))
"""


def measure(path: Path, mode: str, start=0.0, end=0.0, seconds=10.0, cold=False) -> dict:
    if cold:
        subprocess.run(["sync"], check=True)
        Path("/proc/sys/vm/drop_caches").write_text("3\n")
    code = MEASURE.format(
        tools=str(ROOT / "tools"), path=str(path), mode=mode, start=start, end=end, seconds=seconds
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    from reader_bench import make_recording

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lengths", type=float, nargs="+", default=[60.0, 3600.0])
    ap.add_argument("--window", type=float, default=10.0)
    ap.add_argument("--iter-seconds", type=float, default=10.0)
    ap.add_argument("--cold", action="store_true")
    ap.add_argument("--json", type=Path)
    args = ap.parse_args()
    figures = []
    with tempfile.TemporaryDirectory() as tmp:
        for length in args.lengths:
            path = Path(tmp) / f"run-{length:.0f}.mcap"
            print(f"selection bench: writing a {length:.0f} s recording ...", file=sys.stderr)
            t = time.perf_counter()
            samples = make_recording(path, length)
            print(
                f"selection bench: {samples} samples, {path.stat().st_size / 1e6:.0f} MB in "
                f"{time.perf_counter() - t:.0f} s; reading ...",
                file=sys.stderr,
            )
            middle = length / 2 - args.window / 2
            row = {"length_s": length, "samples": samples, "bytes": path.stat().st_size}
            row["window"] = measure(path, "window", middle, middle + args.window, cold=args.cold)
            if length == max(args.lengths):
                row["iter"] = measure(path, "iter", seconds=args.iter_seconds, cold=args.cold)
                assert row["iter"]["rows"] == samples, (row["iter"]["rows"], samples)
            figures.append(row)
            path.unlink()
    for row in figures:
        w = row["window"]
        print(
            f"{row['length_s']:6.0f} s recording ({row['bytes'] / 1e6:5.0f} MB): a "
            f"{args.window:.0f} s window of ARM_1 q, {w['rows']} rows, in {w['seconds']:.2f} s, "
            f"peak RSS {w['peak_rss'] / 2**20:.0f} MiB"
        )
        if "iter" in row:
            i = row["iter"]
            print(
                f"        iter_recording over it ({args.iter_seconds:.0f} s windows): "
                f"{i['rows']} rows in {i['seconds']:.0f} s, peak RSS {i['peak_rss'] / 2**20:.0f} MiB"
            )
    if args.json:
        args.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
