"""What recording costs and how faithful a replay is, against the two-arm substitute (both
streams at 1 kHz) in the private network:

  * CPU of the recorder process (`korvelquor record`, share of one core) and bytes per
    minute on disk, with its decoded (Foxglove) channels at the default rate and without
    them (--no-view); in the same run, the CPU of a process that only captures (a client
    and a keep-payloads capture drained every 100 ms, what the recorder holds before it
    writes) and of the C++ Recorder (examples/cpp/record.cpp, when built: KQ_RECORD_EXAMPLE
    or build/tests/tools/kq_example_record);
  * the native writer alone: its CPU per sample rewriting the raw recording in the
    recorder's batches (free of the network's and the machine's noise);
  * a recording split into parts of 2 s (--no-view --split-seconds 2): its CPU against the
    unsplit --no-view run, its parts, and its samples lost or duplicated at the boundaries
    (the sequence numbers, which run on from part to part);
  * samples lost: what the substitute published (its control state's published_basic and
    published_extra, read while both streams are paused before and after the window)
    against the samples in the file, per stream, and what the capture's buffer dropped;
  * export speed (samples of both streams per second, to Parquet, and into DataFrames);
  * replay timing: the recording replayed (korvel-sim --replay) and recorded again; per
    sample, the error of the interval to the previous sample against the original
    recording's interval, p50 and p99 of its magnitude (end to end: the receiving side's
    jitter of both recordings is in it), and the same at the replaying substitute alone.

Run it with bench/recorder (which builds the modules and sets the paths), or from the
repository root in the host namespace:

    PYTHONPATH=build/python scripts/lib/robotnet exec host .venv/bin/python bench/recorder_bench.py
        [--seconds 30]          short mode (default)
        [--minutes 10]          the long run (not for CI)
        [--replay-seconds 30]   how much of the recording the replay figure uses
        [--json FILE]           also write the figures as JSON

Files go to a temporary folder that is removed at the end (--keep DIR keeps them there).
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
for folder in ("sim", "tools"):
    sys.path.insert(0, str(ROOT / folder))

from korvel_sim.testing import SimProcess  # noqa: E402
from korvelquor_tools.reader import open_recording  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def env():
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT / "tools")] + [p for p in (e.get("PYTHONPATH"),) if p]
    )
    return e


CPP_RECORDER = Path(
    os.environ.get("KQ_RECORD_EXAMPLE", ROOT / "build/tests/tools/kq_example_record")
)
# A process that captures as the recorder does and writes nothing: the recorder's floor.
CAPTURE_ONLY = """
import signal, sys, time
import korvelquor, korvelquor_capture as kc
stop = []
signal.signal(signal.SIGINT, lambda *a: stop.append(1))
client = korvelquor.Client(sys.argv[1], verbose=False)
print("Connected to the robot", flush=True)
with kc.Capture(client, capacity=30000, keep_payloads=True) as cap:
    while not stop:
        time.sleep(0.1)
        cap.drain()
"""


def start_recorder(serial, out, extra=()):
    if extra and extra[0] == "cpp":
        command = [str(CPP_RECORDER), serial, str(out)]
    else:
        command = [
            sys.executable,
            "-m",
            "korvelquor_tools",
            "record",
            "--serial",
            serial,
            "--out",
            str(out),
            *extra,
        ]
    return subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env()
    )


def wait_started(proc):
    """Until the recorder's client has connected (its capture starts right after)."""
    line = proc.stdout.readline()
    if "Connected to the robot" not in line and "record: recording" not in line:
        proc.kill()
        sys.exit(f"recorder did not connect: {line}{proc.communicate()}")
    time.sleep(0.5)


def stop(proc):
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    if proc.returncode != 0:
        sys.exit(f"recorder failed ({proc.returncode}): {err}")
    return out


def published(control):
    s = control.state()
    return {"basic": s["published_basic"], "extra": s["published_extra"]}


def capture_window(serial, control, seconds):
    """CPU share of a process that only captures, over `seconds` of both streams."""
    proc = subprocess.Popen(
        [sys.executable, "-c", CAPTURE_ONLY, serial],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env(),
    )
    wait_started(proc)
    time.sleep(2.0)  # warm-up, as for the recorder
    c0, w0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(seconds)
    c1, w1 = cpu_seconds(proc.pid), time.monotonic()
    stop(proc)
    return {"seconds": w1 - w0, "cpu_share": (c1 - c0) / (w1 - w0)}


def file_samples(path):
    """Per stream: log times and a key per sample (robot stamp for basic, payload for
    extra) in file order; the metadata; per stream, the samples whose sequence number does
    not follow the one before (a duplicate or a gap). `path`: a file or a split folder."""
    out = {"basic": ([], []), "extra": ([], [])}
    last, broken = {}, {"basic": 0, "extra": 0}
    with open_recording(path) as rec:
        for s in rec.samples():
            times, keys = out[s.stream]
            times.append(s.log_time)
            keys.append(s.publish_time if s.stream == "basic" else hash(s.data))
            if s.stream in last and s.sequence != (last[s.stream] + 1) % 2**32:
                broken[s.stream] += 1
            last[s.stream] = s.sequence
        meta = rec.metadata
    return out, meta, broken


def size_of(out):
    """Bytes of a recording, or of every part in a split recording's folder."""
    files = list(out.glob("*.mcap")) if out.is_dir() else [out] if out.exists() else []
    return sum(f.stat().st_size for f in files)


def record_window(serial, control, out, seconds, report, extra=()):
    """Records `seconds` of both streams; returns the figures of the window."""
    control.set(silent_streams=True)
    proc = start_recorder(serial, out, extra)
    wait_started(proc)
    before = published(control)
    control.clear("silent_streams")
    time.sleep(2.0)  # warm-up: the CPU and size window starts after it
    c0, s0, w0 = cpu_seconds(proc.pid), size_of(out), time.monotonic()
    next_report = w0 + 60
    while time.monotonic() - w0 < seconds:
        time.sleep(min(1.0, max(0.0, seconds - (time.monotonic() - w0))))
        if time.monotonic() >= next_report:
            report(f"  {time.monotonic() - w0:.0f} s recorded, {size_of(out) / 1e6:.0f} MB")
            next_report += 60
    c1, s1, w1 = cpu_seconds(proc.pid), size_of(out), time.monotonic()
    control.set(silent_streams=True)
    time.sleep(0.1)  # a sample being published as the fault came is counted by now
    after = published(control)
    time.sleep(1.0)  # the last samples arrive and are drained
    summary = stop(proc).strip().splitlines()[-1]
    control.clear("silent_streams")
    samples, meta, broken = file_samples(out)
    end = meta["korvelquor.end"]
    sent = {k: after[k] - before[k] for k in after}
    got = {k: len(samples[k][0]) for k in samples}
    wall = w1 - w0
    return {
        "seconds": wall,
        "cpu_share": (c1 - c0) / wall,
        "bytes_per_minute": (s1 - s0) / wall * 60,
        "published": sent,
        "recorded": got,
        "lost": {k: sent[k] - got[k] for k in sent},
        "dropped": {k: int(end[f"dropped_{k}"]) for k in sent},
        "sequence_breaks": broken,
        "parts": len(list(out.glob("*.mcap"))) if out.is_dir() else 1,
        "summary": summary,
    }, samples


def writer_cost(path, work):
    """CPU of the native writer alone (this process, compression included) rewriting a
    recording's raw samples in drained-batch shape: 100 samples per stream per call, a
    flush every 10 calls, as the recorder writes at 1 kHz."""
    import korvelquor_capture as kc

    samples, _, _ = file_samples(path)
    payloads = {"basic": [], "extra": []}
    with open_recording(path) as rec:
        for s in rec.samples():
            payloads[s.stream].append(s.data)
    writer = kc.RecordingWriter(str(work / "rewrite.mcap"))
    writer.start("bench", "BENCH-000000", {"korvelquor.recording": {}})
    batches = []
    for stream in ("basic", "extra"):
        channel = writer.raw_channel(stream)
        data, times = payloads[stream], np.asarray(samples[stream][0], np.int64)
        parts = []
        for i in range(0, len(data), 100):
            chunk = data[i : i + 100]
            t = times[i : i + 100]
            parts.append(
                (
                    np.full(len(chunk), channel, np.uint16),
                    t.astype(np.uint64),
                    np.arange(len(chunk), dtype=np.uint32),
                    chunk,
                )
            )
        batches.append(parts)
    # Each drained pair merged by time beforehand, as the recorder's writer merges it.
    calls = []
    for pair in zip(*batches):
        channel = np.concatenate([p[0] for p in pair])
        t = np.concatenate([p[1] for p in pair])
        seq = np.concatenate([p[2] for p in pair])
        chunk = [d for p in pair for d in p[3]]
        order = np.argsort(t, kind="stable")
        chunk = [chunk[i] for i in order]
        offsets = np.zeros(len(chunk) + 1, np.uint64)
        np.cumsum([len(d) for d in chunk], out=offsets[1:])
        calls.append(
            dict(
                channel=channel[order],
                log_ns=t[order],
                publish_ns=t[order],
                sequence=seq[order],
                offsets=offsets,
                data=np.frombuffer(b"".join(chunk), np.uint8),
            )
        )
    n = sum(len(p) for p in payloads.values())
    t0 = time.process_time()
    for k, columns in enumerate(calls):
        writer.add_messages(**columns)
        if k % 10 == 9:
            writer.flush()
    writer.finish({})
    dt = time.process_time() - t0
    return {"samples": n, "us_per_sample": dt / n * 1e6, "cpu_share_2khz": dt / n * 2000}


def export_speed(path, work, in_memory):
    from korvelquor_tools.export import export, read_recording

    out = {}
    t = time.perf_counter()
    result = export(path, "parquet", work / "export")
    dt = time.perf_counter() - t
    rows = result.rows["basic"] + result.rows["extra"]
    out["parquet_samples_per_s"] = rows / dt
    if in_memory:
        t = time.perf_counter()
        tables = read_recording(path)
        dt = time.perf_counter() - t
        out["dataframes_samples_per_s"] = (len(tables.basic) + len(tables.extra)) / dt
    out["samples"] = rows
    return out


def replay_timing(path, work, seconds, original):
    """Replays `path`, records the replay for `seconds`, and compares the intervals."""
    serial = f"KQ BENCHRP-{os.getpid()}"
    again = work / "replayed.mcap"
    with SimProcess(serial, args=["--replay", str(path)]) as replay:
        proc = start_recorder(serial, again)
        wait_started(proc)
        time.sleep(seconds)
        stop(proc)
        at_publisher = replay.control().state()["replay"]["interval_error_us"]
    replayed, _, _ = file_samples(again)
    errors = []
    for stream in ("basic", "extra"):
        t1, k1 = original[stream]
        t2, k2 = replayed[stream]
        when = dict(zip(k2, t2))
        matched = [(a, when[k]) for a, k in zip(t1, k1) if k in when]
        if len(matched) < 2:
            continue
        a = np.array(matched, np.int64)
        # Consecutive samples of the original that both came through the replay.
        errors.append(np.diff(a[:, 1]) - np.diff(a[:, 0]))
    err = np.abs(np.concatenate(errors)) / 1e3
    return {
        "intervals": int(err.size),
        "p50_us": float(np.percentile(err, 50)),
        "p99_us": float(np.percentile(err, 99)),
        "max_us": float(err.max()),
        "at_publisher": at_publisher,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=30.0)
    ap.add_argument("--minutes", type=float, help="the long run: overrides --seconds")
    ap.add_argument("--replay-seconds", type=float, default=30.0)
    ap.add_argument("--json", type=Path)
    ap.add_argument("--keep", type=Path, help="keep the recordings in this folder")
    args = ap.parse_args()
    seconds = args.minutes * 60 if args.minutes else args.seconds

    work = Path(tempfile.mkdtemp(prefix="kq-recbench-")) if args.keep is None else args.keep
    work.mkdir(parents=True, exist_ok=True)
    path = work / "bench.mcap"

    def report(text):
        print(text, file=sys.stderr, flush=True)

    try:
        # Lossless: the substitute blocks rather than drop a sample on a congested link, so
        # that a sample missing from the file is the recorder's loss, not the publisher's.
        with SimProcess(
            f"KQ BENCHREC-{os.getpid()}", layout="two-arm", rate=1000, args=["--lossless"]
        ) as sim:
            report(f"recording {seconds:.0f} s of the two-arm substitute at 1 kHz ...")
            rec, samples = record_window(sim.serial, sim.control(), path, seconds, report)
            report(f"recording {seconds:.0f} s again without the decoded channels ...")
            raw, _ = record_window(
                sim.serial, sim.control(), work / "raw.mcap", seconds, report, ["--no-view"]
            )
            report(f"recording {seconds:.0f} s without them in parts of 2 s ...")
            split, _ = record_window(
                sim.serial,
                sim.control(),
                work / "split",
                seconds,
                report,
                ["--no-view", "--split-seconds", "2"],
            )
            report(f"capturing {seconds:.0f} s without writing ...")
            cap = capture_window(sim.serial, sim.control(), seconds)
            cpp = None
            if CPP_RECORDER.exists():
                report(f"recording {seconds:.0f} s with the C++ Recorder ...")
                cpp, _ = record_window(
                    sim.serial, sim.control(), work / "cpp.mcap", seconds, report, ["cpp"]
                )
        report("the writer alone ...")
        wcost = writer_cost(work / "raw.mcap", work)
        report("export ...")
        exp = export_speed(path, work, in_memory=seconds <= 120)
        report("replay ...")
        rep = replay_timing(path, work, min(args.replay_seconds, seconds), samples)
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)

    figures = {
        "record": rec,
        "record_raw": raw,
        "record_split": split,
        "capture": cap,
        "writer": wcost,
        "export": exp,
        "replay": rep,
    }
    if cpp is not None:
        figures["record_cpp"] = cpp
    print(f"recorder, two-arm substitute, both streams at 1 kHz, {rec['seconds']:.0f} s:")
    print(f"  CPU of the recorder process   {100 * rec['cpu_share']:.1f} % of one core")
    print(f"  on disk                       {rec['bytes_per_minute'] / 1e6:.1f} MB per minute")
    print(
        f"  without the decoded channels  {100 * raw['cpu_share']:.1f} % of one core, "
        f"{raw['bytes_per_minute'] / 1e6:.1f} MB per minute"
    )
    print(
        f"  capture alone (no writing)    {100 * cap['cpu_share']:.1f} % of one core: "
        f"--no-view costs {100 * (raw['cpu_share'] - cap['cpu_share']):+.1f} points "
        f"(target +1.0 at most)"
    )
    print(
        f"  in parts of 2 s (--no-view)   {100 * split['cpu_share']:.1f} % of one core "
        f"({100 * (split['cpu_share'] - raw['cpu_share']):+.1f} points over one file), "
        f"{split['parts']} parts, lost {sum(split['lost'].values())}, sequence breaks "
        f"{sum(split['sequence_breaks'].values())}"
    )
    if cpp is not None:
        print(
            f"  C++ Recorder (example)        {100 * cpp['cpu_share']:.1f} % of one core "
            f"({100 * (cpp['cpu_share'] - cap['cpu_share']):+.1f} points), "
            f"{cpp['bytes_per_minute'] / 1e6:.1f} MB per minute"
        )
    print(
        f"  the native writer alone       {wcost['us_per_sample']:.2f} us a sample: "
        f"{100 * wcost['cpu_share_2khz']:.2f} % of one core at both streams' 2000 samples/s"
    )
    for s in ("basic", "extra"):
        print(
            f"  {s:5} published {rec['published'][s]:8d}  in the file {rec['recorded'][s]:8d}"
            f"  lost {rec['lost'][s]}  dropped by the buffer {rec['dropped'][s]}"
        )
    print(f"export of {exp['samples']} samples:")
    print(f"  to Parquet                    {exp['parquet_samples_per_s']:.0f} samples/s")
    if "dataframes_samples_per_s" in exp:
        print(f"  into DataFrames               {exp['dataframes_samples_per_s']:.0f} samples/s")
    print(
        f"replay timing over {rep['intervals']} intervals: |interval error| "
        f"p50 {rep['p50_us']:.0f} us, p99 {rep['p99_us']:.0f} us, max {rep['max_us']:.0f} us"
    )
    pub = rep["at_publisher"]
    print(
        f"  at the replaying substitute (before the network): p50 {pub['p50']:.0f} us, "
        f"p99 {pub['p99']:.0f} us over {pub['intervals']} intervals"
    )
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(figures, indent=2) + "\n")
    lost = list(rec["lost"].values()) + list(raw["lost"].values())
    lost += list(split["lost"].values()) + list(split["sequence_breaks"].values())
    if cpp is not None:
        lost += list(cpp["lost"].values())
    return 0 if all(v == 0 for v in lost) else 1


if __name__ == "__main__":
    sys.exit(main())
