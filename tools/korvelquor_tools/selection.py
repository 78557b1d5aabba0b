"""A part of a recording to read: a time window, joint groups and fields.

The window is in seconds of receive time (the log time MCAP tools and Foxglove show) from the
recording's first sample, both ends included. The native reader reads only the chunks that
hold such samples, found through the file's index; a file without one (cut short) is read
through and gives the same rows. Groups and fields pick columns: the identifying columns
(seq, robot_sec, robot_nsec, receive_time_ns, layout_ok) always stay.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, Optional, Tuple

import numpy as np

from .errors import RecordingError
from .tables import TableBlock, basic_fields, group_name

NS = 1_000_000_000
ALWAYS = ("seq", "robot_sec", "robot_nsec", "receive_time_ns", "layout_ok")


def _names(values, what: str) -> Optional[Tuple[str, ...]]:
    if values is None:
        return None
    if isinstance(values, str):
        values = [values]
    out = []
    for v in values:
        name = v if isinstance(v, str) else group_name(v) if hasattr(v, "name") else None
        if not name:
            raise ValueError(f"{what} are names (or JointGroups), got {v!r}")
        out.append(name)
    return tuple(out)


@dataclass(frozen=True)
class Selection:
    start: Optional[float] = None  # seconds of receive time after the first sample
    end: Optional[float] = None
    groups: Optional[Tuple[str, ...]] = None
    fields: Optional[Tuple[str, ...]] = None

    @classmethod
    def of(cls, start=None, end=None, groups=None, fields=None) -> "Selection":
        for name, value in (("start", start), ("end", end)):
            if value is not None and not np.isfinite(value):
                raise ValueError(f"{name} must be a number of seconds, got {value!r}")
        if start is not None and end is not None and end < start:
            raise ValueError(f"end ({end} s) comes before start ({start} s)")
        return cls(start, end, _names(groups, "groups"), _names(fields, "fields"))

    @property
    def windowed(self) -> bool:
        return self.start is not None or self.end is not None

    @property
    def columns(self) -> bool:
        return self.groups is not None or self.fields is not None

    def log_window(self, first_ns: Optional[int]) -> Optional[Tuple[int, int]]:
        """(from, to) in receive time, ns, for a recording whose first sample came at
        `first_ns` (None: it has none); None when the whole recording is asked for."""
        if not self.windowed or first_ns is None:
            return None
        lo = first_ns + round(self.start * NS) if self.start is not None else 0
        hi = first_ns + round(self.end * NS) if self.end is not None else 2**64 - 1
        return max(lo, 0), max(hi, 0)

    def check(self, layout: dict, stream_fields: Iterable[str]):
        """ValueError (RecordingError for a group) naming what the recording does not have."""
        if self.groups is not None:
            import korvelquor

            values = sorted(set(layout.get("start_ids", {})) | set(layout.get("group_names", {})))
            known = [group_name(korvelquor.JointGroup(int(v))) for v in values]
            missing = [g for g in self.groups if g not in known]
            if missing:
                raise RecordingError(
                    f"no joint group {', '.join(missing)} in the recording; it has "
                    f"{', '.join(known) or 'none'}"
                )
        if self.fields is not None:
            known = set(stream_fields)
            missing = [f for f in self.fields if f not in known]
            if missing:
                raise ValueError(
                    f"no field {', '.join(missing)}; the fields are {', '.join(sorted(known))}"
                )

    def block(self, b: TableBlock) -> TableBlock:
        """The block's asked columns."""
        if not self.columns:
            return b
        fields, groups = self.fields, self.groups
        head = {
            k: v
            for k, v in b.head.items()
            if k in ALWAYS or fields is None or k.split(".")[0] in fields
        }
        keep = [
            i
            for i, name in enumerate(b.names)
            if (groups is None or name.split(".")[0] in groups)
            and (fields is None or name.split(".")[1] in fields)
        ]
        return TableBlock(head, tuple(b.names[i] for i in keep), b.values[keep])


def all_fields() -> Tuple[str, ...]:
    """Every field name `fields` takes: the groups' and the basic stream's own."""
    from . import tables

    return tuple(dict.fromkeys((*tables.STATE_FIELDS, *tables.ACTION_FIELDS, *basic_fields())))


def first_log_time(part: str) -> Optional[int]:
    """The receive time of the recording's first sample (ns), or None when it has none:
    the first chunk read, no more."""
    import korvelquor_capture as kc

    try:
        raw = kc.RecordingReader.open_raw(part, block_rows=1).next_raw()
    except (ValueError, RuntimeError) as e:
        raise RecordingError(str(e)) from None
    return None if raw is None else int(raw["log_time"][0])
