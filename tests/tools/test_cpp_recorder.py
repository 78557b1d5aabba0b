"""The C++ Recorder (examples/cpp/record.cpp) writes what `korvelquor record` writes: a file
the `mcap` package reads with every CRC checked, the same metadata records with the same
keys and texts, the same raw channels; and a failed write (a file-size limit stands in for
a full disk) leaves a readable file closed with its end record."""

import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap.writer import MCAP0_MAGIC as MCAP_MAGIC

from conftest import REPO, korvelquor_cmd, tool_env
from korvelquor_tools import fileformat as ff
from korvelquor_tools import read_recording

EXAMPLE = Path(os.environ.get("KQ_RECORD_EXAMPLE", REPO / "build/tests/tools/kq_example_record"))
LIMIT = 1_500_000  # bytes: a few chunks
# Texts that differ from one recording to the next (the robot's plan moves on): these are
# checked to be written as Python writes them instead.
VARYING = {
    ff.META_RECORDING: {"started_ns"},
    ff.META_END: {
        "ended_ns",
        "seconds",
        "received_basic",
        "received_extra",
        "dropped_basic",
        "dropped_extra",
    },
    ff.META_PLAN_INFO: set(ff.PLAN_INFO_FIELDS),
    ff.META_SCORE: {"scores"},
    ff.META_PRIMITIVES: {"states"},
}


def _limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write then reports EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))


def _cpp_record(serial, path, seconds, preexec_fn=None):
    return subprocess.run(
        [str(EXAMPLE), serial, str(path), str(seconds)],
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=preexec_fn,
    )


def _read_all(path):
    """Everything in the file through the mcap package, every CRC checked."""
    with open(path, "rb") as f:
        reader = make_reader(f, validate_crcs=True)
        header = reader.get_header()
        metadata = {m.name: dict(m.metadata) for m in reader.iter_metadata()}
        channels, seqs = {}, {}
        for _, channel, message in reader.iter_messages(log_time_order=False):
            channels[channel.topic] = (channel.message_encoding, dict(channel.metadata))
            seqs.setdefault(channel.topic, []).append(message.sequence)
    return header, metadata, channels, seqs


@pytest.mark.parametrize("how", ["complete", "write_fails"])
def test_the_cpp_recorder_writes_what_korvelquor_record_writes(two_arm_sim, tmp_path, how):
    cpp = tmp_path / "cpp.mcap"
    if how == "complete":
        result = _cpp_record(two_arm_sim.serial, cpp, 1.5)
        assert result.returncode == 0, result.stderr
        assert "stopped by the duration" in result.stdout
    else:
        result = _cpp_record(two_arm_sim.serial, cpp, 60, preexec_fn=_limit_file_size)
        assert result.returncode == 3, result.stdout + result.stderr
        assert f"writing {cpp} failed: File too large" in result.stderr
        assert cpp.stat().st_size <= LIMIT
        # Cut back to the last whole record, then the closing records: nothing after them.
        assert cpp.read_bytes().endswith(MCAP_MAGIC)

    header, meta, channels, seqs = _read_all(cpp) if how == "complete" else (None,) * 4
    tables = read_recording(cpp)
    assert len(tables.basic) > 100 and len(tables.extra) > 100
    for table in (tables.basic, tables.extra):  # every sample, in order, none lost
        assert np.array_equal(table.seq.to_numpy(), np.arange(len(table)))
    assert tables.end.complete
    if how == "write_fails":
        end = tables.metadata[ff.META_END]
        assert end["stopped_by"] == "a write error"
        assert end["error"] == f"writing {cpp} failed: File too large"
        return

    py = tmp_path / "py.mcap"
    done = korvelquor_cmd(
        "record", "--serial", two_arm_sim.serial, "--out", py, "--duration", "1", "--no-view"
    )
    assert done.returncode == 0, done.stderr
    py_header, py_meta, py_channels, _ = _read_all(py)

    assert header.profile == py_header.profile == ff.PROFILE
    assert channels == py_channels and len(channels) == 2
    for topic, seq in seqs.items():
        assert seq == list(range(len(seq))), topic
    assert list(meta) == list(py_meta)  # the same records, korvelquor.recording first
    for name, record in py_meta.items():
        assert set(meta[name]) == set(record), name
        for key, value in record.items():
            if key not in VARYING.get(name, ()):
                assert meta[name][key] == value, (name, key)
    plan = meta[ff.META_PLAN_INFO]
    assert plan["velocity_scale"] == repr(float(plan["velocity_scale"]))
    assert plan["waiting_for_step"] in ("0", "1")
    for name, key in (
        (ff.META_SCORE, "scores"),
        (ff.META_PRIMITIVES, "states"),
        (ff.META_LAYOUT, "group_names"),
    ):
        text = meta[name][key]
        assert text == json.dumps(json.loads(text)), (name, text)
    assert meta[ff.META_END]["stopped_by"] == "the duration"


def _start_recorder(kind, serial, path, seconds, split):
    """A recorder of `kind` in the background; `seconds` 0: until a signal; `split`: parts of
    that many seconds."""
    if kind == "cpp":
        command = [str(EXAMPLE), serial, str(path), str(seconds), str(split)]
    else:
        command = [
            sys.executable,
            "-m",
            "korvelquor_tools",
            "record",
            "--serial",
            serial,
            "--out",
            str(path),
            "--no-view",
        ]
        command += ["--duration", str(seconds)] if seconds else []
        command += ["--split-seconds", str(split)] if split else []
    return subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=tool_env()
    )


def _published(control):
    state = control.state()
    return {s: state[f"published_{s}"] for s in ff.STREAMS}


def _bytes(path):
    files = list(path.glob("*.mcap")) if path.is_dir() else [path] if path.exists() else []
    return sum(f.stat().st_size for f in files)


@pytest.mark.parametrize(
    "kind,stop,split",
    [
        ("cpp", "signal", 0),
        ("python", "signal", 0),
        ("python", "duration", 0),
        ("cpp", "signal", 0.4),
        ("python", "signal", 0.4),
    ],
)
def test_every_sample_of_a_burst_just_before_the_stop_is_in_the_file(
    two_arm_sim, tmp_path, kind, stop, split
):
    # The robot falls silent, sends a burst, falls silent again, and the recorder stops at
    # once: every sample of the burst must be in the file, none of it left in the capture.
    # Split into parts, every sample is in one part: none lost or written twice at a boundary.
    path = tmp_path / ("burst" if split else "burst.mcap")
    control = two_arm_sim.control()
    proc = _start_recorder(kind, two_arm_sim.serial, path, 6 if stop == "duration" else 0, split)
    try:
        deadline = time.monotonic() + 30
        while not _bytes(path) > 200_000:
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.05)
        control.set(silent_basic=True, silent_extra=True)
        time.sleep(0.3)  # what was in flight has arrived
        before, burst_ns = _published(control), time.time_ns()
        control.clear("silent_basic", "silent_extra")
        time.sleep(0.3)
        control.set(silent_basic=True, silent_extra=True)
        # Long enough for the burst's tail to arrive, shorter than a drain period: the stop
        # finds samples in the capture that only the recorder's last drain writes.
        time.sleep(0.04)
        if stop == "signal":
            proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
        assert proc.returncode == 0, err
        # Read once the robot is long silent: a sample being published as the silence began
        # is counted only when its put returns.
        after = _published(control)
    finally:
        control.clear()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    tables = read_recording(path)
    assert tables.end.complete
    assert split == 0 or len(list(path.glob("*.mcap"))) >= 3
    for stream, table in (("basic", tables.basic), ("extra", tables.extra)):
        sent = after[stream] - before[stream]
        assert sent > 100, (stream, sent)
        assert np.array_equal(table.seq.to_numpy(), np.arange(len(table))), stream
        assert int((table.receive_time_ns.to_numpy() >= burst_ns).sum()) == sent, stream
