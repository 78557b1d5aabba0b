"""Damaged recordings against every reader: no abort, no traceback, no hang, and no more
memory than twice that of reading the intact file.

1. Every single-bit flip in the first 64 KiB of a 10 s two-arm recording (zstd), each
   read natively by the C++ reader in one process (build/bench/damaged_sweep: an abort or a
   hang ends the run and names the flip). Each damaged file is read until the reader stands
   256 KiB past the flip; what follows is the intact file.
2. Random damage (a flipped bit, a cut, a record's length field rewritten) to 2 s
   recordings written with zstd, lz4 and no compression, each read in a process of its own
   (forked) through read_recording, or `korvelquor export` (CSV, Parquet, Foxglove) or
   `korvelquor plot`: the outcome, the exit status, and the peak memory of the process.

    PYTHONPATH=build/python .venv/bin/python bench/damaged_recordings.py
        [--cases 10000] [--flip-bytes 65536] [--jobs 2] [--seed 1] [--json FILE]
"""

import argparse
import contextlib
import io
import json
import os
import random
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
for folder in ("sim", "tools", "bench"):
    sys.path.insert(0, str(ROOT / folder))

HANG_S = 120
ENTRIES = (
    "read_recording",
    "read_recording",
    "read_recording",
    "export csv",
    "export parquet",
    "export foxglove",
    "plot",
)


def _records(data):
    out, at = [], 8
    while at + 9 <= len(data):
        opcode, length = struct.unpack_from("<BQ", data, at)
        out.append(at)
        if length > len(data):
            break
        at += 9 + length
    return out


def damage(data: bytes, rng: random.Random):
    kind = rng.choice(("flip", "cut", "length"))
    buf = bytearray(data)
    if kind == "flip":
        at = rng.randrange(len(buf))
        buf[at] ^= 1 << rng.randrange(8)
        return kind, at, bytes(buf)
    if kind == "cut":
        at = rng.randrange(len(buf))
        return kind, at, bytes(buf[:at])
    at = rng.choice(_records(data)) + 1
    value = rng.choice(
        (
            rng.randrange(2**64),
            rng.randrange(2**32),
            rng.randrange(64),
            struct.unpack_from("<Q", buf, at)[0] + rng.randrange(-16, 17),
        )
    )
    struct.pack_into("<Q", buf, at, value % 2**64)
    return kind, at, bytes(buf)


def _run_entry(entry: str, path: str, work: str) -> int:
    """In the forked child: the entry point on `path`; its exit status."""
    from korvelquor_tools import RecordingError, read_recording
    from korvelquor_tools.cli import main

    if entry == "read_recording":
        try:
            read_recording(path)
        except RecordingError:
            return 1
        return 0
    if entry == "plot":
        return main(["plot", path, "--out", os.path.join(work, "out.png")])
    fmt = entry.split()[1]
    out = os.path.join(work, "out.mcap" if fmt == "foxglove" else "out")
    return main(["export", path, "--to", fmt, out])


def in_child(entry: str, path: str, work: str):
    """(status, peak KiB, seconds, stderr): status 'ok'/'refused' for an exit of 0/1, else
    'traceback', 'signal N', 'exit N' or 'hang'."""
    read_fd, write_fd = os.pipe()
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        os.dup2(write_fd, 2)
        code = 0
        try:
            sink = io.StringIO()
            with contextlib.redirect_stdout(sink):
                code = _run_entry(entry, path, work)
        except BaseException:
            traceback.print_exc()
            code = 99
        sys.stderr.flush()
        os._exit(code)
    os.close(write_fd)

    def hung(*_):
        os.kill(pid, signal.SIGKILL)

    signal.signal(signal.SIGALRM, hung)
    signal.alarm(HANG_S)
    with os.fdopen(read_fd) as f:
        err = f.read()
    _, status, use = os.wait4(pid, 0)
    signal.alarm(0)
    seconds = time.perf_counter() - start
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        outcome = "hang" if sig == signal.SIGKILL and seconds >= HANG_S else f"signal {sig}"
    else:
        code = os.WEXITSTATUS(status)
        outcome = {0: "ok", 1: "refused", 99: "traceback"}.get(code, f"exit {code}")
    if "Traceback" in err and outcome in ("ok", "refused"):
        outcome = "traceback"
    return outcome, use.ru_maxrss, seconds, err


def native_sweep(path: Path, flip_bytes: int):
    tool = ROOT / "build" / "bench" / "damaged_sweep"
    t = time.perf_counter()
    result = subprocess.run(
        [str(tool), str(path), str(flip_bytes), str(256 * 1024)], capture_output=True, text=True
    )
    return result.returncode, result.stdout, time.perf_counter() - t


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--cases", type=int, default=10_000)
    p.add_argument("--flip-bytes", type=int, default=65_536)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--json")
    args = p.parse_args()

    # Loaded once, before the children fork: each child then pays only for its reading.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot  # noqa: F401
    import pyarrow.csv  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    import korvelquor_tools.cli  # noqa: F401
    from korvelquor_tools import convert, export, plot, plot_recording, viewable  # noqa: F401
    import reader_bench

    report = {}
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        ten = tmp / "ten.mcap"
        reader_bench.make_recording(ten, 10, "zstd")
        if args.flip_bytes:
            code, out, seconds = native_sweep(ten, args.flip_bytes)
            print(
                f"1. every bit of the first {args.flip_bytes} bytes of a 10 s recording "
                f"(zstd, {ten.stat().st_size} bytes), natively: exit {code}, {seconds:.0f} s"
            )
            print(out)
            report["flips"] = {"exit": code, "report": out, "seconds": seconds}

        files = {}
        for compression in ("zstd", "lz4", "none"):
            f = tmp / f"two-{compression}.mcap"
            reader_bench.make_recording(f, 2, compression)
            files[compression] = f.read_bytes()
        work = tmp / "work"
        work.mkdir()
        # Every entry run once here, so that no child pays for what a first call loads.
        warm = work / "warm.mcap"
        warm.write_bytes(files["zstd"])
        with contextlib.redirect_stdout(io.StringIO()):
            for entry in set(ENTRIES):
                _run_entry(entry, str(warm), str(work))
        intact = {}
        for compression, data in files.items():
            path = work / f"intact-{compression}.mcap"
            path.write_bytes(data)
            for entry in sorted(set(ENTRIES)):
                outcome, peak, _, err = in_child(entry, str(path), str(work))
                assert outcome == "ok", (compression, entry, outcome, err)
                intact[compression, entry] = peak
        rng = random.Random(args.seed)
        counts, worst, findings = {}, 0.0, []
        started = time.perf_counter()
        for i in range(args.cases):
            compression = rng.choice(tuple(files))
            kind, at, data = damage(files[compression], rng)
            entry = rng.choice(ENTRIES)
            path = work / "case.mcap"
            path.write_bytes(data)
            outcome, peak, _, err = in_child(entry, str(path), str(work))
            counts[outcome] = counts.get(outcome, 0) + 1
            ratio = peak / intact[compression, entry]
            worst = max(worst, ratio)
            if outcome not in ("ok", "refused") or ratio > 2:
                findings.append(
                    {
                        "case": i,
                        "compression": compression,
                        "damage": kind,
                        "at": at,
                        "entry": entry,
                        "outcome": outcome,
                        "memory": round(ratio, 2),
                        "stderr": err[-2000:],
                    }
                )
                (tmp.parent / f"damaged-finding-{i}.mcap").write_bytes(data)
            if i % 100 == 99:
                rate = (i + 1) / (time.perf_counter() - started)
                print(
                    f"\r2. {i + 1} of {args.cases} damaged files, {rate:.1f}/s, "
                    f"{len(findings)} findings",
                    end="",
                    file=sys.stderr,
                    flush=True,
                )
        print(file=sys.stderr)
        print(
            f"2. {args.cases} random damages (flip, cut, length) of 2 s recordings (zstd, "
            f"lz4, none) through {', '.join(sorted(set(ENTRIES)))}: {counts}; "
            f"peak memory at most {worst:.2f} x the intact file's; "
            f"{len(findings)} findings"
        )
        for f in findings[:20]:
            print("   ", {k: v for k, v in f.items() if k != "stderr"}, f["stderr"][-300:])
        report["random"] = {"counts": counts, "worst_memory": worst, "findings": findings}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2))
    return 1 if findings or report.get("flips", {}).get("exit", 0) != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
