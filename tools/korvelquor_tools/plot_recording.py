"""A recording's basic stream reduced to what the states plot shows."""

from __future__ import annotations

from typing import Optional, Sequence

import numpy as np

from .decode import decoded_blocks
from .errors import RecordingError
from .plot import StatesSeries
from .reader import open_recording
from .selection import Selection, first_log_time
from .tables import group_name


def recording_series(
    path,
    groups: Optional[Sequence[str]] = None,
    start: Optional[float] = None,
    stop: Optional[float] = None,
    progress=None,
) -> StatesSeries:
    """Joint positions, world-frame TCP wrench and digital I/O of the recording at `path`
    (a file, or a split recording's folder or parts). Time is the robot's timestamp in
    seconds since the recording's first basic sample; `start`/`stop` pick the samples
    received in that window of seconds after the first sample (selection.Selection: only
    the chunks that hold them are read). `groups` names the joint groups (default: every
    one)."""
    import korvelquor_capture as kc

    with open_recording(path) as rec:
        known = None
        t0 = _first_robot_ns(rec.parts[0])
        selection = Selection.of(start, stop)
        window = selection.log_window(first_log_time(rec.parts[0]) if selection.windowed else None)
        t, io_in, io_out = [], [], []
        q, wrench = {}, {}
        for _, batch, _ in decoded_blocks(
            rec, streams=("basic",), progress=progress, log_window=window
        ):
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
            t.append((ns - t0) * 1e-9)
            io_in.append(np.array(batch.digital_inputs))
            io_out.append(np.array(batch.digital_outputs))
            for g, values in batch.groups.items():
                name = group_name(g)
                if name in wanted:
                    q.setdefault(name, []).append(np.array(values.q))
                    wrench.setdefault(name, []).append(np.array(values.tcp_wrench))
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


def _first_robot_ns(part: str) -> int:
    """The robot time of the recording's first basic sample, ns (0 when it has none): the
    first chunk read, no more."""
    import korvelquor_capture as kc

    try:
        reader = kc.RecordingReader(part, extra=False, block_rows=1)
        while (blocks := reader.next_block()) is not None:
            for _, batch, _ in blocks:
                ns = kc.robot_time_ns(batch.robot_time)
                if len(ns):
                    return int(ns[0])
    except (ValueError, RuntimeError) as e:
        raise RecordingError(str(e)) from None
    return 0
