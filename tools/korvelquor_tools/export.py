"""A recording as tables: pandas DataFrames (read_recording) or Parquet/CSV files (export).

Both decode with the client's own decoder (korvelquor_capture.decode_recording), a block of
samples at a time; export writes each block as it goes, so a long recording never has to
fit in memory."""

from __future__ import annotations

import copy
import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, Iterator, Optional

import numpy as np

from . import fileformat as ff
from .decode import BLOCK_ROWS, decoded_blocks, decoded_groups
from .outputs import refuse_the_input
from .reader import End, Recording, open_recording
from .selection import NS, Selection, all_fields, first_log_time
from .tables import (
    ColumnBuffer,
    TableBlock,
    block_frame,
    frame,
    group_column_names,
    table_block,
    table_head,
    undecodable_columns,
)


# Samples per stream decoded at once where only part of each block is kept, or a block goes
# out as soon as its window is full: memory then follows what is kept.
SELECTION_BLOCK_ROWS = 1000


@dataclass
class Tables:
    """The tables of a recording (columns: korvelquor_tools.tables)."""

    path: str
    basic: object  # pandas.DataFrame, one row per decoded basic sample
    extra: object  # pandas.DataFrame, one row per decoded extra sample
    undecodable: object  # pandas.DataFrame: stream, seq, size, receive_time_ns, reason
    metadata: Dict[str, Dict[str, str]] = field(default_factory=dict)
    end: Optional[End] = None  # how the file ended (end.complete False: cut short)


def _progress_of(rec: Recording, report):
    if report is None:
        return None

    def progress(count):
        end = rec.end
        share = end.good_bytes / end.size if end is not None and end.size else 0.0
        report(count, share)

    return progress


def read_recording(
    path,
    streams=ff.STREAMS,
    start: Optional[float] = None,
    end: Optional[float] = None,
    groups=None,
    fields=None,
    progress: Optional[Callable[[int, float], None]] = None,
) -> Tables:
    """The samples of the recording at `path` (a file, or a split recording's folder or
    parts) as DataFrames: every one, or those received from `start` to `end` seconds after
    its first sample (both included), with the columns of `groups` (names or JointGroups) and
    `fields` (names: "q", "tcp_wrench", "digital_inputs", ...) only (selection.Selection).
    `progress(samples, share of the file)` is called while reading. Raises RecordingError
    for a file that is not a recording of this tool; reads a file cut short up to its last
    complete sample (see Tables.end). What is read is held in memory (two arms: about 6.5 kB
    per basic sample, 2 kB per extra sample, some 500 MB a minute); iter_recording() and
    export() go through long recordings a block at a time instead."""
    import pandas as pd

    selection = Selection.of(start, end, groups, fields)
    picked = selection.windowed or selection.columns
    with open_recording(path) as rec:
        window = _checked(rec, selection)
        counts = None if picked else _sample_counts(rec.parts)
        parts = {s: _Filling(counts.get(s) if counts is not None else None) for s in streams}
        bad = []
        # A selection is read in small blocks: only the asked part of each stays.
        rows = SELECTION_BLOCK_ROWS if picked else BLOCK_ROWS
        for stream, batch, block in decoded_blocks(
            rec, streams, progress=_progress_of(rec, progress), log_window=window, block_rows=rows
        ):
            parts[stream].add(stream, batch, selection)
            bad.append(frame(undecodable_columns(stream, batch, block)))
        tables = {s: parts.pop(s).frame() for s in streams}
        return Tables(
            path=rec.path,
            basic=tables.get("basic"),
            extra=tables.get("extra"),
            undecodable=pd.concat(bad, ignore_index=True),
            metadata=dict(rec.metadata),
            end=rec.end,
        )


def iter_recording(
    path,
    seconds: float = 60.0,
    streams=ff.STREAMS,
    start: Optional[float] = None,
    end: Optional[float] = None,
    groups=None,
    fields=None,
) -> Iterator[Tables]:
    """The recording's tables `seconds` of receive time at a time, in order (windows from
    the first sample, or from `start`, each holding the samples received in
    [its start, its start + seconds)); windows without a sample are left out. The same
    selection as read_recording. Memory stays about one window's tables, whatever the
    recording's length; `end` of the last one yielded tells how the recording ended."""

    if not seconds > 0:
        raise ValueError(f"seconds must be a positive number, got {seconds!r}")
    selection = Selection.of(start, end, groups, fields)
    width = round(seconds * NS)
    with open_recording(path) as rec:
        window = _checked(rec, selection, first=True)
        if rec.first_ns is None:
            return
        windows = _Windows(rec, streams, rec.first_ns + round((start or 0.0) * NS), width)
        for group in decoded_groups(
            rec, streams, log_window=window, block_rows=SELECTION_BLOCK_ROWS
        ):
            for stream, batch, block in group:
                windows.add(stream, selection.block(table_block(stream, batch)))
                windows.add("undecodable", undecodable_columns(stream, batch, block))
            # Every sample received before the latest one read is in: the file holds the
            # samples merged in order of arrival.
            yield from windows.upto(windows.latest)
        yield from windows.upto(None)


class _Windows:
    """Blocks cut into windows of receive time, [origin + k * width, origin + (k+1) * width)."""

    def __init__(self, rec: Recording, streams, origin: int, width: int):
        self.rec, self.origin, self.width, self.k = rec, origin, width, 0
        self.held = {s: [] for s in (*streams, "undecodable")}
        self.empty = {}  # a stream's first block without rows: its columns for an empty window
        self.latest = origin

    def add(self, name: str, b):
        t = _times(b)
        if len(t):
            self.latest = max(self.latest, int(t[-1]))
        if name not in self.empty:  # a copy: a view would keep the whole block
            self.empty[name] = copy.deepcopy(_rows(b, 0, 0))
        self.held[name].append(b)

    def upto(self, latest: Optional[int]) -> Iterator[Tables]:
        """The windows that end at or before `latest` (None: every one left)."""
        while True:
            end = self.origin + (self.k + 1) * self.width
            if latest is not None and end > latest:
                return
            if latest is None and not any(len(_times(b)) for v in self.held.values() for b in v):
                return
            self.k += 1
            tables = self._cut(end)
            if any(len(t) for t in (tables.basic, tables.extra) if t is not None):
                yield tables

    def _cut(self, end: int) -> Tables:
        import pandas as pd

        out = {}
        for name, blocks in self.held.items():
            now, later = [], []
            for b in blocks:
                n = int(np.searchsorted(_times(b), end))
                now.append(_rows(b, 0, n))
                if n < len(_times(b)):
                    later.append(_rows(b, n, len(_times(b))))
            self.held[name] = later
            blocks = None  # the blocks live on only in the rows of them still to go out
            out[name] = [b for b in now if len(_times(b))] or [self.empty.get(name)]
            now = None
        tables = {
            s: _joined(out[s]) if out[s] != [None] else None for s in ("basic", "extra") if s in out
        }
        bad = [frame(u) for u in out["undecodable"] if u is not None]
        return Tables(
            path=self.rec.path,
            basic=tables.get("basic"),
            extra=tables.get("extra"),
            undecodable=pd.concat(bad, ignore_index=True) if bad else None,
            metadata=dict(self.rec.metadata),
            end=self.rec.end,
        )


def _times(b):
    return b.head["receive_time_ns"] if isinstance(b, TableBlock) else b["receive_time_ns"]


def _rows(b, lo: int, hi: int):
    if isinstance(b, TableBlock):
        return TableBlock({k: v[lo:hi] for k, v in b.head.items()}, b.names, b.values[:, lo:hi])
    return {k: v[lo:hi] for k, v in b.items()}


def _checked(rec: Recording, selection: Selection, first: bool = False):
    """The native reader's log window of `selection`, after checking its groups and fields
    against the recording; sets rec.first_ns where a window (or `first`) needs it: a whole
    recording is read without that extra look at its first chunk."""
    if selection.windowed or first:
        rec.first_ns = first_log_time(rec.parts[0])
    if selection.columns:
        selection.check(rec.layout(), all_fields())
    return selection.log_window(rec.first_ns)


def _sample_counts(parts) -> Optional[Dict[str, int]]:
    """Samples per stream as the files' summaries count them (undecodable ones too), each at
    most what a file's size can hold, or None where a file has no summary that holds (one
    cut short)."""
    import korvelquor_capture as kc

    total = {}
    for part in parts:
        counts = kc.RecordingReader.summary_counts(part)
        if counts is None:
            return None
        for stream, n in counts.items():
            total[stream] = total.get(stream, 0) + n
    return total


class _Filling:
    """A stream's table filled block by block. With the stream's sample count known, its
    columns are sized once and each block's values are written straight into them (no copy
    per block, no joining at the end); otherwise, or once a block does not fit them (other
    columns, more rows), the blocks are kept and joined at the end."""

    def __init__(self, capacity: Optional[int]):
        self.capacity, self.rows = capacity, 0
        self.head = self.names = self.values = None
        self.blocks = None if capacity is not None else []

    def add(self, stream: str, batch, selection: Optional[Selection] = None):
        import korvelquor_capture as kc

        if self.blocks is not None:
            block = table_block(stream, batch)
            self.blocks.append(selection.block(block) if selection is not None else block)
            return
        head, names, n = table_head(stream, batch), group_column_names(batch), batch.rows
        if self.head is None:
            try:
                self.head = {k: np.empty(self.capacity, v.dtype) for k, v in head.items()}
                self.values = np.empty((len(names), self.capacity))
            except MemoryError:  # more than this machine has: the blocks are joined instead
                self.head = self.values = None
                self.blocks = []
                self.add(stream, batch)
                return
            self.names = names
        if names != self.names or tuple(head) != tuple(self.head) or self.rows + n > self.capacity:
            self.blocks = [self._filled()] if self.rows else []
            self.blocks.append(TableBlock(head, names, kc.group_values(batch)))
            self.head = self.values = None
            return
        at = slice(self.rows, self.rows + n)
        for k, v in head.items():
            self.head[k][at] = v
        kc.group_values(batch, out=self.values[:, at])
        self.rows += n

    def _filled(self) -> TableBlock:
        return TableBlock(
            {k: v[: self.rows] for k, v in self.head.items()},
            self.names,
            self.values[:, : self.rows],
        )

    def frame(self):
        if self.blocks is not None:
            return _joined(self.blocks)
        return block_frame(*_parts(self._filled()))


def _parts(b: TableBlock):
    return b.head, b.names, b.values


def _joined(blocks):
    """One DataFrame of a stream's blocks, in order."""
    import numpy as np
    import pandas as pd

    names = blocks[0].column_names()
    if any(b.column_names() != names for b in blocks[1:]):
        # A group that only some blocks have: pandas aligns the columns (NaN where missing).
        return pd.concat(
            [block_frame(b.head, b.names, b.values) for b in blocks], ignore_index=True
        )
    # Each column's blocks joined once; the group values stay one float block. The blocks
    # are let go one by one as they are copied: the join holds the table and one block.
    total = sum(b.rows for b in blocks)
    first = blocks[0]
    head = {k: np.empty(total, v.dtype) for k, v in first.head.items()}
    values = np.empty((first.values.shape[0], total), first.values.dtype)
    at = 0
    blocks.reverse()
    while blocks:
        b = blocks.pop()
        for k, v in b.head.items():
            head[k][at : at + b.rows] = v
        values[:, at : at + b.rows] = b.values
        at += b.rows
    b = first = None
    return block_frame(head, names[len(head) :], values)


def _undecodable_schema():
    import pyarrow as pa

    return pa.schema(
        [
            ("stream", pa.string()),
            ("seq", pa.uint64()),
            ("size", pa.uint32()),
            ("receive_time_ns", pa.int64()),
            ("reason", pa.string()),
        ]
    )


class _TableFile:
    """One output table written block by block, Parquet or CSV, through Arrow."""

    def __init__(self, path: Path, fmt: str, schema=None):
        self.path, self.fmt, self.schema, self.writer, self.rows = path, fmt, schema, None, 0
        self.left_out = set()  # columns first seen after the file's columns were fixed
        self.names = None  # the file's column names, once fixed

    def write(self, cols):
        import pyarrow as pa

        if self.writer is not None and self.schema is not None:
            # A file's columns are fixed by its first block. A group that a later block has
            # and the first had not (a robot naming another group) cannot join; one the
            # later block lacks is null there.
            n = len(next(iter(cols.values()))) if cols else 0
            if self.names is None:
                self.names = set(self.schema.names)
            self.left_out.update(k for k in cols if k not in self.names)
            cols = {
                f.name: cols[f.name] if f.name in cols else pa.nulls(n, f.type) for f in self.schema
            }
        table = pa.table(cols, schema=self.schema)
        if self.schema is None:
            self.schema = table.schema
        if self.writer is None:
            if self.fmt == "parquet":
                import pyarrow.parquet as pq

                # Dictionary pages do nothing for measured values but cost time: without
                # them the file is written 2.5 times as fast and comes out a third smaller.
                self.writer = pq.ParquetWriter(
                    self.path,
                    table.schema,
                    compression="zstd",
                    compression_level=1,
                    use_dictionary=False,
                )
            else:
                import pyarrow.csv as pc

                self.writer = pc.CSVWriter(self.path, table.schema)
        if table.num_rows or self.rows == 0:
            self.writer.write_table(table)
        self.rows += table.num_rows

    def close(self):
        if self.writer is not None:
            self.writer.close()


@dataclass
class ExportResult:
    rows: Dict[str, int]
    undecodable: list  # (stream, seq, size, reason), every one
    files: list
    end: End
    metadata: Dict[str, Dict[str, str]]
    left_out: list = field(default_factory=list)  # columns of groups first seen mid-file


def export(
    path,
    fmt: str,
    out_dir,
    progress: Optional[Callable[[int, float], None]] = None,
    selection: Selection = Selection(),
) -> ExportResult:
    """Writes basic.<fmt>, extra.<fmt>, undecodable.<fmt> and recording.json (the recorded
    facts and how the file ended) into out_dir, which is created if needed: of every sample,
    or of the `selection` (its window and columns, as read_recording takes them)."""
    if fmt not in ("parquet", "csv"):
        raise ValueError(f"format must be parquet or csv, got {fmt!r}")
    out = Path(out_dir)
    for name in [f"{stream}.{fmt}" for stream in (*ff.STREAMS, "undecodable")] + ["recording.json"]:
        refuse_the_input(out / name, path)  # each file written below
    with open_recording(path) as rec:
        rec.layout()  # a file whose layout cannot be used leaves nothing behind
        window = _checked(rec, selection)
        out.mkdir(parents=True, exist_ok=True)
        files = {name: _TableFile(out / f"{name}.{fmt}", fmt) for name in ff.STREAMS}
        files["undecodable"] = _TableFile(out / f"undecodable.{fmt}", fmt, _undecodable_schema())
        listed = []
        buffers = {name: ColumnBuffer() for name in ff.STREAMS}
        try:
            for stream, batch, block in decoded_blocks(
                rec, progress=_progress_of(rec, progress), log_window=window
            ):
                # Each block is written before the next is built: one buffer per stream.
                table = selection.block(table_block(stream, batch, buffers[stream]))
                files[stream].write(table.columns())
                bad = undecodable_columns(stream, batch, block)
                files["undecodable"].write(bad)
                listed += zip(
                    bad["stream"], bad["seq"].tolist(), bad["size"].tolist(), bad["reason"]
                )
        finally:
            for f in files.values():
                f.close()
        end = rec.end
        facts = {
            "metadata": rec.metadata,
            "end": {
                "complete": end.complete,
                "size": end.size,
                "good_bytes": end.good_bytes,
                "problem": end.problem,
                "skipped": [{"byte": at, "reason": why} for at, why in end.skipped],
            },
        }
        (out / "recording.json").write_text(json.dumps(facts, indent=2) + "\n")
        return ExportResult(
            rows={s: files[s].rows for s in ff.STREAMS},
            undecodable=listed,
            files=[str(f.path) for f in files.values()] + [os.fspath(out / "recording.json")],
            end=end,
            metadata=dict(rec.metadata),
            left_out=sorted(set().union(*(f.left_out for f in files.values()))),
        )
