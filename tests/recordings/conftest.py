"""Recordings made here from encoded messages, without a robot or a network: the writer gets
the drained-batch shape a capture gives, with payloads encoded by the substitute's own
encoder."""

import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np

REPO = Path(__file__).resolve().parents[2]
for folder in ("sim", "tools"):  # this checkout's packages first
    sys.path.insert(0, str(REPO / folder))

from korvel_sim import records as r  # noqa: E402
from korvel_sim.wire import encode  # noqa: E402
from korvelquor_tools import fileformat as ff  # noqa: E402
from korvelquor_tools.writer import RecordingWriter  # noqa: E402

SERIAL = "KQ-OFFLINE-1"
JOINTS = 7
LAYOUT = {
    "serial": SERIAL,
    "group_names": {0: "ALL", 3: "ARM_1"},
    "start_ids": {0: 0, 3: 0},
    "dofs": {0: JOINTS, 3: JOINTS},
    "joint_count": JOINTS,
}


def basic(k, stamp):
    """Basic sample k: joint j of list l holds 100 * l + j + k / 1000 (exact in float32 for
    the k used here), the given robot timestamp (seconds, second word as sent)."""
    lists = {
        name: [100.0 * l + j + k / 1024 for j in range(JOINTS)]
        for l, name in enumerate(
            (
                "q",
                "theta",
                "dq",
                "dtheta",
                "tau",
                "tau_dot",
                "tau_ext",
                "tau_interact",
                "temperature",
            ),
            1,
        )
    }
    cart = [r.BasicCartesianData(tcp_pose=[0.5, 0.25, 1.0, 1.0, 0.0, 0.0, 0.0]) for _ in range(2)]
    return encode(
        r.AllBasicStreamData(
            joint_group_indices=[0, 3],
            joint_data=r.BasicJointData(**lists),
            cartesian_data=cart,
            timestamp=stamp,
            digital_inputs=[j == k % 20 for j in range(20)],
        )
    )


def extra(k):
    return encode(
        r.AllExtraStreamData(
            joint_group_indices=[0, 3],
            joint_data=r.ExtraJointData(
                q_d=[j + k / 1024 for j in range(JOINTS)], dq_d=[0.0] * JOINTS, tau_d=[0.0] * JOINTS
            ),
            cartesian_data=[r.ExtraCartesianData() for _ in range(2)],
        )
    )


class Raw(SimpleNamespace):
    def __len__(self):
        return len(self.seq)


def write_recording(
    path,
    basic_samples,
    extra_samples,
    layout=LAYOUT,
    metadata=None,
    compression="zstd",
    drains=1,
    **split,
):
    """basic_samples: [(payload, receive_ns, (sec, nsec))]; extra_samples: [(payload,
    receive_ns, (sec, nsec))]. Each stream's receive times must rise. `drains`: written as
    that many batches, cut at the same receive times in both streams; `split`: the writer's
    split_seconds, split_bytes and keep."""

    def rows(samples, first_seq=0):
        payloads = [p for p, _, _ in samples]
        offsets = np.zeros(len(payloads) + 1, np.uint64)
        np.cumsum([len(p) for p in payloads], out=offsets[1:])
        receive = np.array([t for _, t, _ in samples], np.int64)
        return SimpleNamespace(
            raw=Raw(
                seq=np.arange(first_seq, first_seq + len(samples), dtype=np.uint64),
                receive_time_ns=receive,
                receive_mono_ns=receive,
                offsets=offsets,
                robot_time=np.array([s for _, _, s in samples], np.int32).reshape(-1, 2),
                data=np.frombuffer(b"".join(payloads), np.uint8),
            )
        )

    facts = (
        metadata
        if metadata is not None
        else {
            ff.META_RECORDING: {
                "format_version": ff.FORMAT_VERSION,
                "protocol_version": ff.PROTOCOL_VERSION,
                "serial": SERIAL,
            },
            ff.META_LAYOUT: ff.layout_to_metadata(layout),
        }
    )
    w = RecordingWriter(path, compression=compression, **split)
    w.start(SERIAL, facts)
    times = [t for _, t, _ in basic_samples + extra_samples]
    cuts = np.linspace(min(times, default=0), max(times, default=0) + 1, drains + 1)[1:-1]
    taken = {"basic": 0, "extra": 0}
    for low, high in zip([-np.inf, *cuts], [*cuts, np.inf]):
        batch = {}
        for stream, samples in (("basic", basic_samples), ("extra", extra_samples)):
            these = [s for s in samples if low <= s[1] < high]
            batch[stream] = rows(these, taken[stream])
            taken[stream] += len(these)
        w.add(SimpleNamespace(**batch))
    w.finish({"stopped_by": "test"})
    return w.path if split else path


def korvelquor_cmd(*args, env=None, **kw):
    return subprocess.run(
        [sys.executable, "-m", "korvelquor_tools", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        env={"PYTHONPATH": ":".join([str(REPO / "tools"), *sys.path]), **(env or {})},
        **kw,
    )
