"""The exported tables: one row per decoded sample, one column per value.

basic:  seq, robot_sec, robot_nsec (the robot timestamp as states() gives it),
        receive_time_ns (wall clock, ns since the Unix epoch), layout_ok, system_state,
        safety_board_state, estop_released, enabling_device_on, safety_inputs.0-7,
        digital_inputs.0-19, digital_outputs.0-19, then per joint group
        <GROUP>.<field>.<i> (GROUP the group's name, GROUP_<n> for a number without one)
        for each field of states() (the columns of
        korvelquor_capture.StateColumns, in their order): joint fields one per joint, poses
        7 (x y z qw qx qy qz), twists and wrenches 6, the world-frame wrenches as states()
        computes them.
extra:  seq, robot_sec, robot_nsec (the latest basic timestamp when the sample arrived, as
        actions() gives it), receive_time_ns, layout_ok, then per group the fields of
        actions() (ActionColumns) likewise.
undecodable: stream, seq, size (bytes), receive_time_ns, reason.

A row whose sample did not fit the layout learnt at connection has layout_ok False and NaN
group values.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

import numpy as np

_GROUP_COLUMNS = {"STATE_FIELDS": "StateColumns", "ACTION_FIELDS": "ActionColumns"}


@functools.lru_cache(maxsize=None)
def _group_fields(columns_type) -> tuple:
    # A joint group's fields are the native columns' properties, in the order they were
    # defined (the order of the records' fields).
    return tuple(
        name
        for name, value in vars(columns_type).items()
        if isinstance(value, property) and name != "dof"
    )


@functools.lru_cache(maxsize=None)
def basic_fields() -> tuple:
    """The basic stream's own fields (its states and I/O flags), beyond those every stream
    has: the native batch's properties, in the order they were defined."""
    import korvelquor_capture as kc

    shared = vars(kc.ExtraBatch)
    return tuple(
        name
        for name, value in vars(kc.BasicBatch).items()
        if isinstance(value, property) and name not in shared
    )


def __getattr__(name: str):
    # STATE_FIELDS and ACTION_FIELDS, read when asked for: importing the tools loads no module.
    if name in _GROUP_COLUMNS:
        import korvelquor_capture as kc

        return _group_fields(getattr(kc, _GROUP_COLUMNS[name]))
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def group_name(group) -> str:
    """The name of a joint group in column names, topics, joint names and frames."""
    # A number without a member of JointGroup is named "???" by the enum: every such group
    # would share one name.
    name = group.name
    return name if name in type(group).__members__ else f"GROUP_{int(group)}"


def _wide(columns: Dict[str, np.ndarray], prefix: str, values: np.ndarray):
    for i in range(values.shape[1]):
        columns[f"{prefix}.{i}"] = np.array(values[:, i])


@dataclass
class TableBlock:
    """One decoded batch as table columns: `head` the stream's own columns (seq .. the I/O
    flags) as named 1-D arrays, then every joint group's values as one float64 block,
    `values[k]` the column `names[k]` (shape (len(names), rows), C order: each column is
    contiguous, and the block transposed is the layout pandas keeps a float block in)."""

    head: Dict[str, np.ndarray]
    names: Tuple[str, ...]
    values: np.ndarray

    @property
    def rows(self) -> int:
        return self.values.shape[1]

    def column_names(self) -> Tuple[str, ...]:
        return tuple(self.head) + self.names

    def columns(self) -> Dict[str, np.ndarray]:
        out = dict(self.head)
        out.update(zip(self.names, self.values))
        return out


@functools.lru_cache(maxsize=256)
def _group_names(layout: tuple) -> Tuple[str, ...]:
    return tuple(
        f"{group}.{name}.{i}"
        for group, fields in layout
        for name, width in fields
        for i in range(width)
    )


def table_head(stream: str, batch) -> Dict[str, np.ndarray]:
    """The stream's own columns of a decoded batch (seq .. the I/O flags), owned copies: the
    batch's arrays view native memory that goes with it."""
    head: Dict[str, np.ndarray] = {}
    stamp = batch.robot_time
    head["seq"] = np.array(batch.seq)
    head["robot_sec"] = np.array(stamp[:, 0])
    head["robot_nsec"] = np.array(stamp[:, 1])
    head["receive_time_ns"] = np.array(batch.receive_time_ns)
    head["layout_ok"] = np.array(batch.layout_ok)
    if stream == "basic":
        for name in basic_fields():
            values = getattr(batch, name)
            if values.ndim == 1:
                head[name] = np.array(values)
            else:
                _wide(head, name, values)
    return head


def group_column_names(batch) -> Tuple[str, ...]:
    """The names of the batch's group columns, in the order group_values gives them."""
    return _group_names(
        tuple(
            (
                group_name(group),
                tuple(
                    (name, getattr(values, name).shape[1]) for name in _group_fields(type(values))
                ),
            )
            for group, values in batch.groups.items()
        )
    )


class ColumnBuffer:
    """Memory for the group values of one block after another, for a caller that is done
    with each block before it takes the next (export writes it): reused, so that not every
    block takes fresh memory from the system."""

    def __init__(self):
        self._values: Optional[np.ndarray] = None

    def take(self, columns: int, rows: int) -> np.ndarray:
        v = self._values
        if v is None or v.shape[0] != columns or v.shape[1] < rows:
            v = self._values = np.empty((columns, rows))
        return v[:, :rows]


def table_block(stream: str, batch, buffer: Optional[ColumnBuffer] = None) -> TableBlock:
    """The table of one decoded batch (see TableBlock); its group values in `buffer`'s
    memory when given (valid until the buffer's next use)."""
    import korvelquor_capture as kc

    names = group_column_names(batch)
    # One copy, natively, in column order: values[k] is the column names[k].
    out = buffer.take(len(names), batch.rows) if buffer is not None else None
    return TableBlock(table_head(stream, batch), names, kc.group_values(batch, out=out))


def columns(stream: str, batch, buffer: Optional[ColumnBuffer] = None) -> Dict[str, np.ndarray]:
    """The table of one decoded batch as named 1-D arrays, in column order (see
    table_block for `buffer`)."""
    return table_block(stream, batch, buffer).columns()


def undecodable_columns(stream: str, batch, block: dict) -> Dict[str, np.ndarray]:
    seq = np.asarray(batch.undecodable_seq, np.uint64)
    where = np.searchsorted(block["seq"], seq)
    return {
        "stream": np.array([stream] * len(seq), dtype=object),
        "seq": seq,
        "size": np.asarray(batch.undecodable_size, np.uint32),
        "receive_time_ns": block["receive_time_ns"][where],
        "reason": np.array(list(batch.undecodable_reason), dtype=object),
    }


def frame(cols: Dict[str, np.ndarray]):
    import pandas as pd

    return pd.DataFrame(cols, copy=False)


def block_frame(head: Dict[str, np.ndarray], names: Tuple[str, ...], values: np.ndarray):
    """The DataFrame of a table's columns: `head` then the float64 block `values` (one row
    per column, as TableBlock holds it), which becomes the frame's float block as it is."""
    import pandas as pd

    groups = pd.DataFrame(values.T, columns=list(names), copy=False)
    if not head:
        return groups
    return pd.concat([pd.DataFrame(head, copy=False), groups], axis=1)
