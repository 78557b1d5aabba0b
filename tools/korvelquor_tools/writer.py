"""Writing a recording: the MCAP layout of fileformat.py, samples straight from a capture's
drained batches (their payloads as received), and a file that stays readable when writing
fails part way (disk full). The file is written by the native writer the C++ Recorder uses
(korvelquor_capture.McapWriter): a drained batch goes in with one call."""
from __future__ import annotations

import contextlib
import os
from typing import Dict, Mapping

import numpy as np

from . import __version__
from . import fileformat as ff

CHUNK_BYTES = 1 << 20


class WriteFailed(Exception):
    """Writing stopped (the reason is the message); the file holds what was written before."""


def _native():
    import korvelquor_capture
    return korvelquor_capture.McapWriter


class RecordingWriter:
    """Opened before connecting, so that an unwritable output fails before anything starts.

        w = RecordingWriter(path)            # OSError if it cannot be created
        w.start(facts)                       # metadata records
        w.add(batch)                         # each drained korvelquor_capture.Batch
        w.flush()                            # once a second: what was received is on disk
        w.finish(end)                        # closing records; the file is complete
    """

    def __init__(self, path, compression: str = "zstd", view=None):
        """`view`: a viewable.ViewEncoder, whose channels are written beside the raw ones."""
        self.path = os.fspath(path)
        self._view = view
        self._view_channels: Dict[str, int] = {}
        if compression not in ("zstd", "lz4", "none"):
            raise KeyError(compression)
        # The file is created now (OSError as open() gives it); its records from start() on.
        self._writer = _native()(self.path, compression, CHUNK_BYTES)
        self._channels: Dict[str, int] = {}

    @property
    def size(self) -> int:
        return self._writer.size

    def start(self, serial: str, metadata: Mapping[str, Mapping[str, str]]):
        """`metadata` maps record names to their contents; korvelquor.recording goes first."""
        w = self._writer
        with self._writing():
            w.start(ff.PROFILE, f"korvelquor_tools {__version__}")
            w.metadata(ff.META_RECORDING, dict(metadata[ff.META_RECORDING]))
            for name, data in metadata.items():
                if name != ff.META_RECORDING:
                    w.metadata(name, dict(data))
            for stream in ff.STREAMS:
                self._channels[stream] = w.channel(0, ff.topic(serial, stream),
                                                   ff.MESSAGE_ENCODING, {"stream": stream})
            if self._view is not None:
                w.metadata(ff.META_VIEWABLE, self._view.metadata())

    def add(self, batch):
        """Every sample of both streams of a drained batch, merged in order of arrival; then
        the batch's viewable messages."""
        self.add_raw(batch)
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
                schema = self._writer.schema(spec.schema_name, spec.schema_encoding,
                                             spec.schema_data)
                self._view_channels[spec.topic] = self._writer.channel(
                    schema, spec.topic, spec.message_encoding, {})
            ids = self._view_channels
            self._writer.messages([(ids[topic], stamp, stamp, seq & 0xFFFFFFFF, data)
                                   for topic, stamp, seq, data in messages])

    def add_sample(self, sample):
        """One raw sample read from a recording (reader.Sample), copied exactly."""
        with self._writing():
            self._writer.messages([(self._channels[sample.stream], sample.log_time,
                                    sample.publish_time, sample.sequence, sample.data)])

    def add_raw(self, batch):
        """Every sample of both streams of a drained batch, merged in order of arrival."""
        streams = []
        for stream, rows in (("basic", batch.basic), ("extra", batch.extra)):
            raw = rows.raw
            if raw is None or len(raw) == 0:
                continue
            import korvelquor_capture as kc
            publish = kc.robot_time_ns(raw.robot_time)
            np.maximum(publish, 0, out=publish)
            streams.append((self._channels[stream], raw.receive_mono_ns, raw.receive_time_ns,
                            publish, np.asarray(raw.seq) & 0xFFFFFFFF, raw.offsets, raw.data))
        if not streams:
            return
        # Merged by the monotonic receive time, which never steps back as the wall clock may:
        # one stream's order is never changed.
        with self._writing():
            self._writer.merged(streams)

    def flush(self):
        """Writes out the chunk in progress, so that a killed recorder loses at most what
        arrived since."""
        with self._writing():
            self._writer.flush()

    def finish(self, end: Mapping[str, str]):
        try:
            with self._writing():
                self._writer.metadata(ff.META_END, dict(end))
                self._writer.finish()
        finally:
            self._writer.close()

    def salvage(self, end: Mapping[str, str]) -> bool:
        """After a failed write: closes the file with the end metadata and the closing records
        (no index), if there is room for them; the samples before the failure stay readable
        either way. True when the closing records went in."""
        return self._writer.salvage(dict(end))

    def abandon(self):
        """Removes a file nothing was recorded into (the connection failed)."""
        self._writer.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass

    @staticmethod
    @contextlib.contextmanager
    def _writing():
        try:
            yield
        except OSError as e:
            # The native writer's words already name the file: "writing PATH failed: ...".
            raise WriteFailed(e.strerror or str(e)) from e
