"""The anchor of bench/reader_bench.py: a recording's samples decoded block by block the way
the tools did before reading went native (records framed by the `mcap` package and this
tool's Python reader, one Python object per sample, payloads joined in Python, then
korvelquor_capture.decode_recording), and the tables built as they were then (one copied
array per column, a DataFrame per block, pandas concatenating them). Kept here only to be
measured against; the decoder's column builder behind decode_recording is today's."""

from __future__ import annotations

from typing import Callable, Iterator, Optional, Tuple

import numpy as np

from korvelquor_tools import fileformat as ff
from korvelquor_tools.errors import RecordingError
from korvelquor_tools.reader import Recording

BLOCK_ROWS = 10_000


class _Pending:
    """One stream's samples read but not yet decoded."""

    def __init__(self):
        self.payloads = []
        self.seq = []
        self.log_time = []
        self.publish = []
        self.basic_before = []  # extra only: the latest basic sequence number read before it
        self.last_seq: Optional[int] = None

    def add(self, sample, basic_before: int = -1):
        # The file keeps the sequence number modulo 2^32; it only rises within a stream.
        s = sample.sequence
        if self.last_seq is not None:
            s = self.last_seq + ((s - self.last_seq) & 0xFFFFFFFF)
        self.last_seq = s
        self.seq.append(s)
        self.payloads.append(sample.data)
        self.log_time.append(sample.log_time)
        self.publish.append(sample.publish_time)
        self.basic_before.append(basic_before)

    def __len__(self):
        return len(self.seq)

    def take(self, robot_time: Optional[np.ndarray] = None):
        sizes = np.fromiter((len(p) for p in self.payloads), np.uint64, len(self.payloads))
        offsets = np.zeros(len(sizes) + 1, np.uint64)
        np.cumsum(sizes, out=offsets[1:])
        block = dict(
            data=np.frombuffer(b"".join(self.payloads), np.uint8),
            offsets=offsets,
            seq=np.array(self.seq, np.uint64),
            receive_time_ns=np.array(self.log_time, np.int64),
        )
        if robot_time is not None:
            block["robot_time"] = robot_time
        self.payloads, self.seq, self.log_time, self.publish, self.basic_before = [], [], [], [], []
        return block


class _BasicStamps:
    """The robot timestamps of the decoded basic samples, by sequence number, as far back as
    an extra sample still to be decoded may need them. The extra stream carries no stamp:
    its rows take the latest decoded basic one before them, as actions() does."""

    def __init__(self):
        self.seq = np.zeros(0, np.int64)
        self.stamp = np.zeros((0, 2), np.int32)
        self.carry: Optional[np.ndarray] = None  # the latest stamp before those kept

    def add(self, batch):
        self.seq = np.concatenate([self.seq, np.asarray(batch.seq, np.int64)])
        self.stamp = np.concatenate([self.stamp, np.asarray(batch.robot_time, np.int32)])

    def before(self, basic_before, publish) -> np.ndarray:
        """Nx2 stamps for extra samples read after basic sample `basic_before[i]`. Where the
        file holds no decoded basic sample before one, the recorded publish time stands in
        (the client's latest basic stamp when the recording started, as nanoseconds)."""
        at = np.searchsorted(self.seq, np.asarray(basic_before, np.int64), side="right") - 1
        out = np.empty((len(at), 2), np.int32)
        found = at >= 0
        out[found] = self.stamp[at[found]]
        if self.carry is not None:
            out[~found] = self.carry
        else:
            ns = np.asarray(publish, np.int64)[~found]
            out[~found, 0] = ns // ff.NS
            out[~found, 1] = ns % ff.NS
        return out

    def forget(self):
        """Everything but the latest stamp: later extra samples come after it."""
        if len(self.seq):
            self.carry = self.stamp[-1].copy()
            self.seq, self.stamp = self.seq[:0], self.stamp[:0]


def decoded_blocks(
    rec: Recording,
    streams=ff.STREAMS,
    block_rows: int = BLOCK_ROWS,
    progress: Optional[Callable[[int], None]] = None,
) -> Iterator[Tuple[str, object, dict]]:
    """(stream, batch, block) for every block of samples, in file order per stream (at least
    one block per stream, empty if it has no samples); block is the arrays the batch was
    decoded from (seq, receive_time_ns, ...). `progress` is called with the number of samples
    read so far. A layout or samples the client's decoder refuses raise RecordingError."""
    import korvelquor_capture as kc

    layout = rec.layout()
    # The extra rows' robot time comes from the basic samples before them.
    reading = set(streams) | ({"basic"} if "extra" in streams else set())
    pending = {s: _Pending() for s in ff.STREAMS if s in reading}
    stamps = _BasicStamps()
    yielded = set()

    def decode(stream, block):
        try:
            return kc.decode_recording(stream, layout=layout, **block)
        except ValueError as e:
            raise RecordingError(f"{rec.path}: {e}") from None

    def flush(final=False):
        # Basic first, so that every pending extra sample finds the stamps before it.
        out = []
        basic = pending.get("basic")
        if basic is not None and (len(basic) or (final and "basic" not in yielded)):
            block = basic.take()
            batch = decode("basic", block)
            stamps.add(batch)
            if "basic" in streams:
                out.append(("basic", batch, block))
        extra = pending.get("extra")
        if extra is not None and (len(extra) or (final and "extra" not in yielded)):
            robot_time = stamps.before(extra.basic_before, extra.publish)
            block = extra.take(robot_time)
            out.append(("extra", decode("extra", block), block))
        stamps.forget()
        for item in out:
            yielded.add(item[0])
        return out

    count = 0
    last_basic = -1
    for sample in rec.samples():
        p = pending.get(sample.stream)
        if p is None:
            continue
        if sample.stream == "basic":
            p.add(sample)
            last_basic = p.last_seq
        else:
            p.add(sample, last_basic)
        count += 1
        if len(p) >= block_rows:
            yield from flush()
        if progress is not None and count % 5000 == 0:
            progress(count)
    yield from flush(final=True)
    if progress is not None:
        progress(count)


def _columns(stream: str, batch, buffer=None):
    """A batch's table as the tools built it before: one copied 1-D array per column."""
    from korvelquor_tools import tables as tb

    out = {}
    stamp = batch.robot_time
    out["seq"] = np.array(batch.seq)
    out["robot_sec"] = np.array(stamp[:, 0])
    out["robot_nsec"] = np.array(stamp[:, 1])
    out["receive_time_ns"] = np.array(batch.receive_time_ns)
    out["layout_ok"] = np.array(batch.layout_ok)
    if stream == "basic":
        for name in tb.basic_fields():
            values = getattr(batch, name)
            if values.ndim == 1:
                out[name] = np.array(values)
            else:
                for i in range(values.shape[1]):
                    out[f"{name}.{i}"] = np.array(values[:, i])
    for group, values in batch.groups.items():
        for name in tb._group_fields(type(values)):
            wide = getattr(values, name)
            for i in range(wide.shape[1]):
                out[f"{group.name}.{name}.{i}"] = np.array(wide[:, i])
    return out


def read_recording(path, streams=ff.STREAMS):
    """The tables as read_recording made them before: this module's decoding, a DataFrame
    per block from one array per column, the blocks concatenated by pandas."""
    import pandas as pd
    from korvelquor_tools.reader import open_recording
    from korvelquor_tools.tables import frame, undecodable_columns

    with open_recording(path) as rec:
        parts = {s: [] for s in streams}
        bad = []
        for stream, batch, block in decoded_blocks(rec, streams):
            parts[stream].append(frame(_columns(stream, batch)))
            bad.append(frame(undecodable_columns(stream, batch, block)))
        return {
            s: pd.concat(parts[s], ignore_index=True) if len(parts[s]) > 1 else parts[s][0]
            for s in streams
        }


class _Table:
    """What export takes of a table block: its columns."""

    def __init__(self, columns):
        self._columns = columns

    def columns(self):
        return self._columns


def patch_export(ex):
    """Makes korvelquor_tools.export.export (of a whole recording) decode and build its
    columns as before; returns what restores it."""
    saved = ex.decoded_blocks, ex.table_block

    def blocks(rec, streams=ff.STREAMS, log_window=None, **options):
        assert log_window is None, "the anchor reads whole recordings"
        return decoded_blocks(rec, streams, **options)

    ex.decoded_blocks = blocks
    ex.table_block = lambda stream, batch, buffer=None: _Table(_columns(stream, batch))

    def restore():
        ex.decoded_blocks, ex.table_block = saved

    return restore
