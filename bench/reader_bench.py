"""Reading recordings: read_recording into DataFrames and `korvelquor export --to parquet`,
in samples of both streams per second, natively and with the Python path the tools used
before (bench/python_reader_anchor.py) on the same file in the same run; and the peak
memory of reading a file natively, for two lengths (flat: bounded by the block, not by the
file).

The recording is made here without a network: the two-arm substitute's messages (both
streams at 1 kHz of robot time) encoded by its own encoder and written by the tools' writer,
so no namespace is needed:

    PYTHONPATH=build/python .venv/bin/python bench/reader_bench.py
        [--seconds 60]        length of the measured recording
        [--memory 60 600]     lengths (s) of the recordings whose read memory is measured
        [--repeat 3]          runs of each reading; the median is reported
        [--json FILE]         also write the figures as JSON
"""

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
for folder in ("sim", "tools", "bench"):
    sys.path.insert(0, str(ROOT / folder))

DISTINCT = 2000  # distinct messages per stream, repeated: encoding them all would dominate


class _Raw(SimpleNamespace):
    """A drained batch's raw samples, as the writer takes them."""

    def __len__(self):
        return len(self.seq)


def _layout():
    from korvel_sim.layouts import LAYOUTS

    lay = LAYOUTS["two-arm"]
    names = {0: "ALL", 2: "ARMS", 3: "ARM_1", 4: "ARM_2", 5: "EXT_AXIS"}
    return {
        "serial": "KQ-BENCH-1",
        "joint_count": lay.joints,
        "group_names": {g.index: names[g.index] for g in lay.groups},
        "start_ids": {g.index: g.start for g in lay.groups},
        "dofs": {g.index: g.dof for g in lay.groups},
    }


def make_recording(path: Path, seconds: float, compression: str = "zstd"):
    """Both streams at 1 kHz for `seconds`, written as `korvelquor record` writes them."""
    from korvel_sim.layouts import LAYOUTS
    from korvel_sim.motion import RobotModel
    from korvel_sim.wire import encode
    from korvelquor_tools import fileformat as ff
    from korvelquor_tools.writer import RecordingWriter

    model = RobotModel(LAYOUTS["two-arm"])
    t0 = 1_700_000_000_000_000_000
    pairs = [
        model.messages(k / 1000, (1_700_000_000 + k // 1000, (k % 1000) * 1_000_000))
        for k in range(DISTINCT)
    ]
    payloads = {"basic": [encode(b) for b, _ in pairs], "extra": [encode(e) for _, e in pairs]}
    layout = _layout()
    w = RecordingWriter(path, compression=compression)
    w.start(
        layout["serial"],
        {
            ff.META_RECORDING: {
                "format_version": ff.FORMAT_VERSION,
                "protocol_version": ff.PROTOCOL_VERSION,
                "serial": layout["serial"],
            },
            ff.META_LAYOUT: ff.layout_to_metadata(layout),
        },
    )
    total, step = int(seconds * 1000), 10_000
    for first in range(0, total, step):
        ks = np.arange(first, min(total, first + step))

        def rows(stream, shift):
            chosen = [payloads[stream][k % DISTINCT] for k in ks]
            offsets = np.zeros(len(ks) + 1, np.uint64)
            np.cumsum([len(p) for p in chosen], out=offsets[1:])
            receive = t0 + ks.astype(np.int64) * 1_000_000 + shift
            stamp = np.stack([1_700_000_000 + ks // 1000, (ks % 1000) * 1_000_000], 1)
            return SimpleNamespace(
                raw=_Raw(
                    seq=ks.astype(np.uint64),
                    receive_time_ns=receive,
                    receive_mono_ns=receive,
                    offsets=offsets,
                    robot_time=stamp.astype(np.int32),
                    data=np.frombuffer(b"".join(chosen), np.uint8),
                )
            )

        w.add(SimpleNamespace(basic=rows("basic", 0), extra=rows("extra", 300_000)))
        w.flush()
    w.finish({"stopped_by": "bench"})
    return 2 * total


def _timed(fn):
    t = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t


def speeds(path: Path, samples: int, work: Path, anchor: bool, repeat: int):
    """read_recording and export to Parquet, samples per second (median of `repeat` runs)."""
    import korvelquor_tools.export as ex
    import python_reader_anchor

    read = python_reader_anchor.read_recording if anchor else (lambda p: vars(ex.read_recording(p)))
    frames, parquet = [], []
    for _ in range(repeat):
        tables, dt = _timed(lambda: read(path))
        assert len(tables["basic"]) + len(tables["extra"]) == samples
        del tables
        frames.append(samples / dt)
    restore = python_reader_anchor.patch_export(ex) if anchor else (lambda: None)
    try:
        for _ in range(repeat):
            _, dt = _timed(lambda: ex.export(path, "parquet", work / f"out-{anchor}"))
            parquet.append(samples / dt)
    finally:
        restore()
    # The median of the runs: on a machine shared with other work single runs scatter widely.
    return {
        "dataframes_samples_per_s": statistics.median(frames),
        "parquet_samples_per_s": statistics.median(parquet),
        "dataframes_runs": frames,
        "parquet_runs": parquet,
    }


PEAK = """
import sys
sys.path.insert(0, {tools!r})
from korvelquor_tools.reader import open_recording
from korvelquor_tools.decode import decoded_blocks
rows = 0
with open_recording({path!r}) as rec:
    for _, batch, _ in decoded_blocks(rec):
        rows += batch.rows
# VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(rows, peak * 1024)
"""


def read_peak(path: Path):
    out = subprocess.run(
        [sys.executable, "-c", PEAK.format(tools=str(ROOT / "tools"), path=str(path))],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return int(out[0]), int(out[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--memory", type=float, nargs="*", default=[60.0, 600.0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--json", type=Path)
    args = ap.parse_args()
    figures = {}
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        print(f"reader bench: writing a {args.seconds:.0f} s recording ...", file=sys.stderr)
        path = work / "run.mcap"
        samples = make_recording(path, args.seconds)
        figures["samples"] = samples
        figures["bytes"] = path.stat().st_size
        for name, anchor in (("python", True), ("native", False)):
            print(f"reader bench: reading ({name}) ...", file=sys.stderr)
            figures[name] = speeds(path, samples, work, anchor, args.repeat)
        figures["memory"] = []
        for seconds in args.memory:
            print(f"reader bench: peak memory reading {seconds:.0f} s ...", file=sys.stderr)
            long = work / f"long-{seconds:.0f}.mcap"
            n = make_recording(long, seconds)
            rows, peak = read_peak(long)
            assert rows == n, (rows, n)
            figures["memory"].append(
                {"seconds": seconds, "samples": n, "bytes": long.stat().st_size, "peak_rss": peak}
            )
            long.unlink()
    for name in ("python", "native"):
        f = figures[name]
        print(
            f"{name:7s} read_recording {f['dataframes_samples_per_s']:>10.0f} samples/s   "
            f"export parquet {f['parquet_samples_per_s']:>10.0f} samples/s"
        )
    for m in figures["memory"]:
        print(
            f"native read of {m['seconds']:.0f} s ({m['samples']} samples, "
            f"{m['bytes'] / 1e6:.0f} MB): peak RSS {m['peak_rss'] / 2**20:.0f} MiB"
        )
    if args.json:
        args.json.write_text(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
