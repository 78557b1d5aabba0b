"""A recording's basic stream reduced to what the states plot shows."""

from __future__ import annotations

from typing import Optional, Sequence

import numpy as np

from .decode import decoded_blocks
from .errors import RecordingError
from .plot import StatesSeries
from .reader import open_recording
from .tables import group_name


def recording_series(
    path,
    groups: Optional[Sequence[str]] = None,
    start: Optional[float] = None,
    stop: Optional[float] = None,
    progress=None,
) -> StatesSeries:
    """Joint positions, world-frame TCP wrench and digital I/O of the recording at `path`.
    Time is the robot's timestamp in seconds since the first sample; `start`/`stop` cut a
    window in that time. `groups` names the joint groups (default: every one)."""
    import korvelquor_capture as kc

    with open_recording(path) as rec:
        known = None
        t0 = None
        t, io_in, io_out = [], [], []
        q, wrench = {}, {}
        for _, batch, _ in decoded_blocks(rec, streams=("basic",), progress=progress):
            if known is None:
                known = [group_name(g) for g in batch.groups]
                wanted = list(groups) if groups else known
                missing = [g for g in wanted if g not in known]
                if missing:
                    raise RecordingError(
                        f"{path}: no joint group {', '.join(missing)} in the "
                        f"recording; it has {', '.join(known)}"
                    )
            ns = kc.robot_time_ns(batch.robot_time)
            if len(ns) == 0:
                continue
            if t0 is None:
                t0 = ns[0]
            rel = (ns - t0) * 1e-9
            keep = np.ones(len(rel), bool)
            if start is not None:
                keep &= rel >= start
            if stop is not None:
                keep &= rel <= stop
            t.append(rel[keep])
            io_in.append(np.array(batch.digital_inputs[keep]))
            io_out.append(np.array(batch.digital_outputs[keep]))
            for g, values in batch.groups.items():
                name = group_name(g)
                if name in wanted:
                    q.setdefault(name, []).append(np.array(values.q[keep]))
                    wrench.setdefault(name, []).append(np.array(values.tcp_wrench[keep]))
        notes = []
        if rec.end is not None and not rec.end.clean:
            notes.append(rec.end.describe(rec.path))
        time = np.concatenate(t) if t else np.zeros(0)
        return StatesSeries(
            t=time,
            q={g: np.concatenate(v) for g, v in q.items()},
            wrench={g: np.concatenate(v) for g, v in wrench.items()},
            io_t=time,
            inputs=np.concatenate(io_in) if io_in else np.zeros((0, 20), bool),
            outputs=np.concatenate(io_out) if io_out else np.zeros((0, 20), bool),
            title=f"{rec.serial}  ({rec.path})",
            notes=notes,
        )
