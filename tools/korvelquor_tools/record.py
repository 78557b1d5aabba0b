"""`korvelquor record`: every sample of both streams of a robot into an MCAP file.

The output file is created before anything else, so an unwritable place fails at once. Then
the client connects, the connection facts go in as metadata, and a capture that keeps every
payload as received is drained every 100 ms into the file. Ctrl-C, SIGTERM or the duration
end it with a complete file; a write that fails (disk full) stops it with what was written
still readable and a non-zero exit status.
"""

from __future__ import annotations

import signal
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, Optional

from . import __version__
from . import fileformat as ff
from .status import StatusLine, megabytes
from .viewable import DEFAULT_RATE_HZ, ViewEncoder
from .writer import RecordingWriter, WriteFailed

DRAIN_PERIOD = 0.1
FLUSH_PERIOD = 1.0
BUFFER_SAMPLES = 30_000  # per stream: 30 s at 1 kHz before the capture drops a sample
LAYOUT_WAIT = 10.0  # seconds a recording waits for the robot's first basic sample


@dataclass
class Summary:
    path: str
    seconds: float = 0.0
    samples: Dict[str, int] = field(default_factory=lambda: {s: 0 for s in ff.STREAMS})
    dropped: Dict[str, int] = field(default_factory=lambda: {s: 0 for s in ff.STREAMS})
    undecodable: Dict[str, int] = field(default_factory=lambda: {s: 0 for s in ff.STREAMS})
    size: int = 0
    stopped_by: str = ""
    error: Optional[str] = None

    def line(self) -> str:
        s, d, u = self.samples, self.dropped, self.undecodable
        text = (
            f"record: {self.seconds:.1f} s, received basic {s['basic']} and extra "
            f"{s['extra']} samples ({d['basic'] + d['extra']} dropped, "
            f"{u['basic'] + u['extra']} undecodable), {megabytes(self.size)} in "
            f"{self.path}; stopped by {self.stopped_by}"
        )
        if self.error is None:
            return text
        return f"{text}: {self.error} (the file keeps, readable, what was written before)"

    def end_metadata(self) -> Dict[str, str]:
        import korvelquor_capture as kc

        return kc.end_metadata(
            self.stopped_by,
            self.seconds,
            self.samples,
            self.dropped,
            self.error or "",
            time.time_ns(),
        )


class StopFlag:
    """Ctrl-C and SIGTERM only set a flag: the loop notices it within one drain period, so
    a signal never lands in the middle of writing a record."""

    def __init__(self):
        self.by = ""

    def install(self):
        def handler(signum, frame):
            self.by = "Ctrl-C" if signum == signal.SIGINT else "SIGTERM"

        signal.signal(signal.SIGINT, handler)
        signal.signal(signal.SIGTERM, handler)


def _status_text(summary: Summary, client, size: int) -> str:
    import korvelquor_capture as kc

    parts = [f"{summary.seconds:7.1f} s"]
    for stream, st in kc.stream_status(client).items():
        age = f", silent {st.age_s:.1f} s" if st.age_s > 1.0 else ""
        parts.append(f"{stream} {summary.samples[stream]} ({st.rate_hz:.0f}/s{age})")
    dropped = summary.dropped["basic"] + summary.dropped["extra"]
    parts.append(f"dropped {dropped}")
    parts.append(megabytes(size))
    return "record: " + "  ".join(parts)


def record(
    serial: str,
    out: str,
    duration: Optional[float] = None,
    verbose: bool = False,
    compression: str = "zstd",
    status: Optional[StatusLine] = None,
    view: bool = True,
    view_rate: Optional[float] = DEFAULT_RATE_HZ,
    split_seconds: float = 0.0,
    split_bytes: int = 0,
    keep: int = 0,
) -> int:
    """Records until `duration` seconds have passed, Ctrl-C or SIGTERM; returns the exit
    status (0: a complete file; 1: no connection; 2: the file cannot be written; 3: writing
    failed part way, the samples written before stay readable). `view`: the decoded
    (Foxglove) channels too, at most `view_rate` samples a second per stream (None: all).
    `split_seconds`, `split_bytes`, `keep`: a recording in parts (writer.RecordingWriter)."""
    try:
        writer = RecordingWriter(
            out,
            compression=compression,
            view=ViewEncoder(view_rate) if view else None,
            split_seconds=split_seconds,
            split_bytes=split_bytes,
            keep=keep,
        )
    except OSError as e:
        print(f"record: cannot write {out}: {e.strerror or e}", file=sys.stderr)
        return 2

    import korvelquor
    import korvelquor_capture as kc

    stop = StopFlag()
    stop.install()
    try:
        client = korvelquor.Client(serial, verbose=verbose)
    except (RuntimeError, ValueError, IndexError) as e:
        writer.abandon()
        print(f"record: cannot connect to [{serial}]: {e}", file=sys.stderr)
        return 1
    if stop.by:  # interrupted while connecting: nothing to record
        writer.abandon()
        print(f"record: stopped by {stop.by} before recording started", file=sys.stderr)
        return 1
    summary = Summary(path=writer.path)
    status = status or StatusLine()
    try:
        # Without the viewable channels nothing needs the decoded columns: the file takes the
        # samples as received.
        with kc.Capture(client, capacity=BUFFER_SAMPLES, keep_payloads=True, columns=view) as cap:
            started_ns = time.time_ns()
            informed, pending = client, []
            if not kc.client_layout(client)["group_names"]:
                informed, pending = _client_once_streaming(serial, cap, stop, client)
            facts = kc.connection_facts(informed, started_ns, __version__)
            del informed
            writer.start(facts[ff.META_RECORDING]["serial"], facts)
            for batch in pending:
                _account(summary, batch)
                writer.add(batch)
            _drain_into(writer, cap, client, summary, stop, duration, status)
        writer.finish(summary.end_metadata())
        summary.size = writer.size
    except WriteFailed as e:
        summary.stopped_by = "a write error"
        summary.error = str(e)
        writer.salvage(summary.end_metadata())
        summary.size = writer.size
        status.done()
        print(summary.line(), file=sys.stderr)
        return 3
    status.done()
    print(summary.line(), flush=True)
    return 0


def _client_once_streaming(serial: str, cap, stop: StopFlag, client):
    """A client that knows the joint groups' names, and the batches drained meanwhile.

    A client takes the names from the basic stream sample at hand when it connects; one that
    connected while the robot was not publishing never has them, and a recording made with
    its layout would export without any group column. So once a basic sample has come
    (within LAYOUT_WAIT seconds), a second client is made, which learns them."""
    import korvelquor
    import korvelquor_capture as kc

    pending = []
    deadline = time.monotonic() + LAYOUT_WAIT
    while not stop.by and time.monotonic() < deadline:
        time.sleep(DRAIN_PERIOD)
        batch = cap.drain()
        pending.append(batch)
        raw = batch.basic.raw
        if raw is not None and raw.decoded.any():
            try:
                informed = korvelquor.Client(serial, verbose=False)
            except (RuntimeError, ValueError, IndexError):
                break
            if kc.client_layout(informed)["group_names"]:
                return informed, pending
            break
    if stop.by:
        return client, pending
    print(
        "record: the client connected while the robot published no basic sample, so the "
        "recording has no joint-group names: its export will have no group columns",
        file=sys.stderr,
    )
    return client, pending


def _drain_into(
    writer: RecordingWriter,
    cap,
    client,
    summary: Summary,
    stop: StopFlag,
    duration: Optional[float],
    status: StatusLine,
):
    """Drains every DRAIN_PERIOD into the file until the stop; then what was left."""
    begin = time.monotonic()
    next_flush = begin + FLUSH_PERIOD
    for batch in cap.batches(DRAIN_PERIOD):
        _account(summary, batch)
        writer.add(batch)
        now = time.monotonic()
        summary.seconds = now - begin
        if now >= next_flush:
            writer.flush()
            next_flush = now + FLUSH_PERIOD
            status.update(_status_text(summary, client, writer.size))
        if stop.by:
            summary.stopped_by = stop.by
            break
        if duration is not None and summary.seconds >= duration:
            summary.stopped_by = "the duration"
            break
    else:
        summary.stopped_by = "the client ending"
    cap.close()
    try:
        last = cap.drain()
    except RuntimeError:
        return  # nothing was left
    _account(summary, last)
    writer.add(last)


def _account(summary: Summary, batch):
    import numpy as np

    for stream, rows in (("basic", batch.basic), ("extra", batch.extra)):
        summary.dropped[stream] += rows.dropped
        raw = rows.raw
        if raw is not None:
            summary.samples[stream] += len(raw)
            summary.undecodable[stream] += len(raw) - int(np.count_nonzero(raw.decoded))
