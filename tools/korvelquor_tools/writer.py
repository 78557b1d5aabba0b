"""Writing a recording: the native recording writer the C++ Recorder uses
(korvelquor_capture.RecordingWriter) lays out the file; this side hands it drained batches,
and the viewable channels through its hook for channels beyond the raw ones. A file stays
readable when writing fails part way (disk full)."""

from __future__ import annotations

import contextlib
import os
from typing import Dict, Mapping

import numpy as np

from . import __version__
from . import fileformat as ff


# 0: the recording's own chunk size. Tests set it to make a chunk per message.
CHUNK_BYTES = 0


class WriteFailed(Exception):
    """Writing stopped (the reason is the message); the file holds what was written before."""


def _native():
    import korvelquor_capture

    return korvelquor_capture.RecordingWriter


class RecordingWriter:
    """Opened before connecting, so that an unwritable output fails before anything starts.

    w = RecordingWriter(path)            # OSError if it cannot be created
    w.start(serial, facts)               # metadata records and channels
    w.add(batch)                         # each drained korvelquor_capture.Batch
    w.flush()                            # once a second: what was received is on disk
    w.finish(end)                        # closing records; the file is complete
    """

    def __init__(
        self, path, compression: str = "zstd", view=None, split_seconds=0.0, split_bytes=0, keep=0
    ):
        """`view`: a viewable.ViewEncoder, whose channels are written beside the raw ones.
        `split_seconds` or `split_bytes`: a recording in parts, in the folder `path` (a
        trailing .mcap left off), the oldest beyond `keep` (0: none) deleted."""
        self._view = view
        self._view_channels: Dict[str, int] = {}
        if compression not in ("zstd", "lz4", "none"):
            raise KeyError(compression)
        # The file is created now (OSError as open() gives it); its records from start() on.
        self._writer = _native()(
            os.fspath(path),
            compression,
            CHUNK_BYTES,
            split_seconds=split_seconds,
            split_bytes=split_bytes,
            keep=keep,
        )
        self.split = bool(split_seconds or split_bytes)
        first = self._writer.paths[0]
        self.path = os.path.dirname(first) if self.split else first

    @property
    def size(self) -> int:
        return self._writer.size

    def start(self, serial: str, metadata: Mapping[str, Mapping[str, str]]):
        """`metadata` maps record names to their contents; korvelquor.recording goes first."""
        extra = {} if self._view is None else {ff.META_VIEWABLE: self._view.metadata()}
        with self._writing():
            self._writer.start(
                f"korvelquor_tools {__version__}",
                serial,
                {name: dict(data) for name, data in metadata.items()},
                extra,
            )

    def add(self, batch):
        """Every sample of both streams of a drained batch, merged in order of arrival; then
        the batch's viewable messages."""
        with self._writing():
            self._writer.add(batch)
        if self._view is not None:
            self.add_view(batch.basic, batch.extra)

    def add_view(self, basic, extra):
        """The viewable messages of decoded rows (either may be None)."""
        view = self._view
        messages = []
        for stream, rows in (("basic", basic), ("extra", extra)):
            if rows is not None:
                messages += view.encode(stream, rows)
        with self._writing():
            for spec in view.new_channels():
                self._view_channels[spec.topic] = self._writer.add_channel(
                    spec.topic,
                    spec.message_encoding,
                    spec.schema_name,
                    spec.schema_encoding,
                    spec.schema_data,
                )
            if not messages:
                return
            ids = self._view_channels
            topics, stamps, seqs, payloads = zip(*messages)
            stamps = np.asarray(stamps, np.uint64)  # robot time: both log and publish time
            offsets = np.zeros(len(payloads) + 1, np.uint64)
            np.cumsum([len(p) for p in payloads], out=offsets[1:])
            self._writer.add_messages(
                channel=np.asarray([ids[t] for t in topics], np.uint16),
                log_ns=stamps,
                publish_ns=stamps,
                # The file's sequence is 32 bits: the cast keeps the count modulo 2^32.
                sequence=np.asarray(seqs, np.uint64).astype(np.uint32),
                offsets=offsets,
                data=np.frombuffer(b"".join(payloads), np.uint8),
            )

    def add_raw(self, raw):
        """A block of raw samples read from a recording (RecordingReader.next_raw), each
        copied exactly."""
        channels = np.asarray([self._writer.raw_channel(s) for s in ff.STREAMS], np.uint16)
        with self._writing():
            self._writer.add_messages(
                channel=channels[np.asarray(raw["stream"], np.intp)],
                log_ns=raw["log_time"],
                publish_ns=raw["publish_time"],
                sequence=raw["sequence"],
                offsets=raw["offsets"],
                data=np.frombuffer(raw["data"], np.uint8),
            )

    def flush(self):
        """Writes out the chunk in progress, so that a killed recorder loses at most what
        arrived since."""
        with self._writing():
            self._writer.flush()

    def finish(self, end: Mapping[str, str]):
        try:
            with self._writing():
                self._writer.finish(dict(end))
        finally:
            self._writer.close()

    def salvage(self, end: Mapping[str, str]) -> bool:
        """After a failed write: closes the file with the end metadata and the closing records
        (no index), if there is room for them; the samples before the failure stay readable
        either way. True when the closing records went in."""
        return self._writer.salvage(dict(end))

    def abandon(self):
        """Removes the file (split: the parts and their folder, if empty) nothing was
        recorded into (the connection failed)."""
        self._writer.close()
        for path in self._writer.paths + ([self.path] if self.split else []):
            with contextlib.suppress(OSError):
                os.rmdir(path) if os.path.isdir(path) else os.unlink(path)

    @staticmethod
    @contextlib.contextmanager
    def _writing():
        try:
            yield
        except OSError as e:
            # The native writer's words already name the file: "writing PATH failed: ...".
            raise WriteFailed(e.strerror or str(e)) from e
