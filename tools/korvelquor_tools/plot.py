"""The states plot shared by `korvelquor plot` and the live monitor (examples/monitor.py):
per joint group, joint positions and the world-frame TCP wrench over time, and below them a
panel of the digital inputs and outputs.

Drawn on a matplotlib Figure without pyplot, so it neither needs nor changes a backend.
Long series are reduced to a min/max envelope per pixel-sized bucket, which keeps a short
spike visible where plain subsampling would drop it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, Optional

import numpy as np

MAX_POINTS = 4000  # per line; about two per horizontal pixel of the saved figure
WRENCH_LABELS = ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")


@dataclass
class StatesSeries:
    """What the plot shows. t: (N,) seconds; per group name q (N, dof) and wrench (N, 6);
    optionally the digital I/O (M rows, 20 each) at times io_t (M,)."""

    t: np.ndarray
    q: Dict[str, np.ndarray]
    wrench: Dict[str, np.ndarray]
    io_t: Optional[np.ndarray] = None
    inputs: Optional[np.ndarray] = None
    outputs: Optional[np.ndarray] = None
    title: str = ""
    notes: list = field(default_factory=list)


def envelope(t: np.ndarray, y: np.ndarray, max_points: int = MAX_POINTS):
    """(t, y) reduced to at most about max_points rows: per bucket its minimum and maximum."""
    n = len(t)
    if n <= max_points:
        return t, y
    size = -(-n // (max_points // 2))
    m = n // size * size
    shaped = y[:m].reshape(m // size, size, -1)
    lo, hi = shaped.min(axis=1), shaped.max(axis=1)
    tt = t[:m].reshape(-1, size)
    t2 = np.stack([tt[:, 0], tt[:, -1]], axis=1).reshape(-1)
    y2 = np.stack([lo, hi], axis=1).reshape(-1, y.shape[1])
    return np.concatenate([t2, t[m:]]), np.concatenate([y2, y[m:].reshape(-1, y.shape[1])])


def _io_raster(io_t, inputs, outputs, max_columns: int = MAX_POINTS):
    """(40, columns) share of time each bit was on; rows 0-19 inputs, 20-39 outputs."""
    bits = np.concatenate([inputs, outputs], axis=1).astype(np.float32)
    n = len(bits)
    if n > max_columns:
        size = -(-n // max_columns)
        m = n // size * size
        bits = bits[:m].reshape(m // size, size, -1).mean(axis=1)
    return bits.T


def save_states_plot(series: StatesSeries, path) -> bool:
    """Writes the plot to `path` (format from its extension). False when there is nothing
    to plot (no group or no sample)."""
    from matplotlib.figure import Figure

    groups = list(series.q)
    if not groups or len(series.t) == 0:
        return False
    has_io = series.io_t is not None and len(series.io_t) > 0
    rows = len(groups) + (1 if has_io else 0)
    fig = Figure(figsize=(13, 2.6 * rows + 1), layout="constrained")
    grid = fig.add_gridspec(rows, 2)
    first = None
    for row, name in enumerate(groups):
        ax_q = fig.add_subplot(grid[row, 0], sharex=first)
        first = first or ax_q
        ax_w = fig.add_subplot(grid[row, 1], sharex=first)
        ax_q.plot(*envelope(series.t, series.q[name]), linewidth=0.9)
        ax_q.set_ylabel(f"{name}\nq [rad]")
        ax_w.plot(*envelope(series.t, series.wrench[name]), linewidth=0.9)
        ax_w.set_ylabel("TCP wrench [N, Nm]")
        if row == 0:
            ax_q.set_title("joint positions")
            ax_w.set_title("TCP wrench (world frame)")
            ax_w.legend(WRENCH_LABELS, loc="upper right", fontsize="x-small", ncol=6)
        if row == len(groups) - 1 and not has_io:
            ax_q.set_xlabel("time [s]")
            ax_w.set_xlabel("time [s]")
    if has_io:
        ax = fig.add_subplot(grid[rows - 1, :], sharex=first)
        raster = _io_raster(series.io_t, series.inputs, series.outputs)
        ax.imshow(
            raster,
            aspect="auto",
            interpolation="nearest",
            cmap="Greys",
            vmin=0,
            vmax=1,
            extent=(series.io_t[0], series.io_t[-1], raster.shape[0] - 0.5, -0.5),
        )
        ticks = list(range(0, 40, 5))
        ax.set_yticks(
            ticks, [f"{'DI' if k < 20 else 'DO'} {k % 20}" for k in ticks], fontsize="x-small"
        )
        ax.axhline(19.5, color="tab:red", linewidth=0.6)
        ax.set_title("digital inputs (DI) and outputs (DO): dark = on")
        ax.set_xlabel("time [s]")
    title = "\n".join([series.title] + list(series.notes)).strip()
    if title:
        fig.suptitle(title, color="tab:red" if series.notes else "black")
    fig.savefig(path, dpi=100)
    return True
