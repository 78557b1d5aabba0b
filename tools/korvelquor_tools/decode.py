"""A recording's samples decoded, a block at a time, into the batches a live capture gives
(korvelquor_capture.decode_recording: the client's own decoder and assembly)."""
from __future__ import annotations

from typing import Callable, Iterator, Optional, Tuple

import numpy as np

from . import fileformat as ff
from .reader import Recording

BLOCK_ROWS = 10_000  # samples per stream decoded at once: bounds memory on long recordings


class _Pending:
    """One stream's samples read but not yet decoded."""

    def __init__(self):
        self.payloads = []
        self.seq = []
        self.log_time = []
        self.publish = []
        self.last_seq: Optional[int] = None

    def add(self, sample):
        # The file keeps the sequence number modulo 2^32; it only rises within a stream.
        s = sample.sequence
        if self.last_seq is not None:
            s = self.last_seq + ((s - self.last_seq) & 0xFFFFFFFF)
        self.last_seq = s
        self.seq.append(s)
        self.payloads.append(sample.data)
        self.log_time.append(sample.log_time)
        self.publish.append(sample.publish_time)

    def __len__(self):
        return len(self.seq)

    def take(self):
        sizes = np.fromiter((len(p) for p in self.payloads), np.uint64, len(self.payloads))
        offsets = np.zeros(len(sizes) + 1, np.uint64)
        np.cumsum(sizes, out=offsets[1:])
        publish = np.array(self.publish, np.int64)
        robot_time = np.empty((len(publish), 2), np.int32)
        robot_time[:, 0] = publish // ff.NS
        robot_time[:, 1] = publish % ff.NS
        block = dict(data=np.frombuffer(b"".join(self.payloads), np.uint8), offsets=offsets,
                     seq=np.array(self.seq, np.uint64),
                     receive_time_ns=np.array(self.log_time, np.int64), robot_time=robot_time)
        self.payloads, self.seq, self.log_time, self.publish = [], [], [], []
        return block


def decoded_blocks(rec: Recording, streams=ff.STREAMS, block_rows: int = BLOCK_ROWS,
                   progress: Optional[Callable[[int], None]] = None
                   ) -> Iterator[Tuple[str, object, dict]]:
    """(stream, batch, block) for every block of samples, in file order per stream (at least
    one block per stream, empty if it has no samples); block is the arrays the batch was
    decoded from (seq, receive_time_ns, ...). `progress` is called with the number of samples
    read so far."""
    import korvelquor_capture as kc

    layout = rec.layout()
    pending = {s: _Pending() for s in streams}

    def decode(stream):
        block = pending[stream].take()
        return stream, kc.decode_recording(stream, layout=layout, **block), block

    count = 0
    done = set()
    for sample in rec.samples():
        p = pending.get(sample.stream)
        if p is None:
            continue
        p.add(sample)
        count += 1
        if len(p) >= block_rows:
            done.add(sample.stream)
            yield decode(sample.stream)
        if progress is not None and count % 5000 == 0:
            progress(count)
    for stream in streams:
        if len(pending[stream]) or stream not in done:  # an empty stream still has its columns
            yield decode(stream)
    if progress is not None:
        progress(count)
