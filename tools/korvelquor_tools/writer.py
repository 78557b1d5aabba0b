"""Writing a recording: the MCAP layout of fileformat.py, samples straight from a capture's
drained batches (their payloads as received), and a file that stays readable when writing
fails part way (disk full)."""
from __future__ import annotations

import os
from typing import Dict, Mapping, Optional

import numpy as np
from mcap.data_stream import RecordBuilder
from mcap.records import DataEnd, Footer, Metadata
from mcap.writer import CompressionType, Writer
from mcap.writer import MCAP0_MAGIC as MAGIC  # the MCAP magic bytes, as the package states them

from . import __version__
from . import fileformat as ff

CHUNK_BYTES = 1 << 20


class WriteFailed(Exception):
    """Writing stopped (the reason is the message); the file holds what was written before."""


class _File:
    """The output file for the MCAP writer: every write() call is whole records, written at
    once to the kernel, so after a failed write the file is cut back to the last whole
    record and stays readable."""

    def __init__(self, path: str):
        self.path = path
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.position = 0
        self.error: Optional[OSError] = None

    def write(self, data) -> int:
        if self.error is not None:
            raise self.error
        view = memoryview(data)
        done = 0
        try:
            while done < len(view):
                done += os.write(self.fd, view[done:])
        except OSError as e:
            self.error = e
            os.ftruncate(self.fd, self.position)
            os.lseek(self.fd, self.position, os.SEEK_SET)
            raise
        self.position += done
        return done

    def tell(self) -> int:
        return self.position

    def flush(self):
        pass

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


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
        self._file = _File(self.path)
        self._compression = {"zstd": CompressionType.ZSTD, "lz4": CompressionType.LZ4,
                             "none": CompressionType.NONE}[compression]
        self._writer: Optional[Writer] = None
        self._channels: Dict[str, int] = {}

    @property
    def size(self) -> int:
        return self._file.position

    def start(self, serial: str, metadata: Mapping[str, Mapping[str, str]]):
        """`metadata` maps record names to their contents; korvelquor.recording goes first."""
        try:
            self._writer = Writer(self._file, chunk_size=CHUNK_BYTES,
                                  compression=self._compression)
            self._writer.start(profile=ff.PROFILE, library=f"korvelquor_tools {__version__}")
            self._writer.add_metadata(ff.META_RECORDING, dict(metadata[ff.META_RECORDING]))
            for name, data in metadata.items():
                if name != ff.META_RECORDING:
                    self._writer.add_metadata(name, dict(data))
            for stream in ff.STREAMS:
                self._channels[stream] = self._writer.register_channel(
                    topic=ff.topic(serial, stream), message_encoding=ff.MESSAGE_ENCODING,
                    schema_id=0, metadata={"stream": stream})
            if self._view is not None:
                self._writer.add_metadata(ff.META_VIEWABLE, self._view.metadata())
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e

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
        try:
            for spec in view.new_channels():
                schema = self._writer.register_schema(spec.schema_name, spec.schema_encoding,
                                                      spec.schema_data)
                self._view_channels[spec.topic] = self._writer.register_channel(
                    topic=spec.topic, message_encoding=spec.message_encoding,
                    schema_id=schema)
            add, ids = self._writer.add_message, self._view_channels
            for topic, stamp, seq, data in messages:
                add(ids[topic], stamp, data, stamp, seq & 0xFFFFFFFF)
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e

    def add_sample(self, sample):
        """One raw sample read from a recording (reader.Sample), copied exactly."""
        try:
            self._writer.add_message(self._channels[sample.stream], sample.log_time,
                                     sample.data, sample.publish_time, sample.sequence)
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e

    def add_raw(self, batch):
        """Every sample of both streams of a drained batch, merged in order of arrival."""
        parts = []
        for stream, rows in (("basic", batch.basic), ("extra", batch.extra)):
            raw = rows.raw
            if raw is None or len(raw) == 0:
                continue
            stamp = raw.robot_time.astype(np.int64)
            publish = stamp[:, 0] * ff.NS + stamp[:, 1]
            np.maximum(publish, 0, out=publish)
            parts.append((raw.receive_mono_ns,
                          (self._channels[stream], raw.receive_time_ns.tolist(), publish.tolist(),
                           (raw.seq & 0xFFFFFFFF).tolist(), raw.offsets.tolist(),
                           raw.data.tobytes())))
        if not parts:
            return
        # Merged by the monotonic receive time, which never steps back as the wall clock may:
        # one stream's order is never changed.
        times = np.concatenate([mono for mono, _ in parts])
        which = np.concatenate([np.full(len(mono), k) for k, (mono, _) in enumerate(parts)])
        index = np.concatenate([np.arange(len(mono)) for mono, _ in parts])
        order = np.argsort(times, kind="stable")
        columns = [c for _, c in parts]
        add = self._writer.add_message
        try:
            for k, i in zip(which[order].tolist(), index[order].tolist()):
                channel, log_time, publish, seq, offsets, blob = columns[k]
                add(channel, log_time[i], blob[offsets[i]:offsets[i + 1]], publish[i], seq[i])
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e

    def flush(self):
        """Writes out the chunk in progress, so that a killed recorder loses at most what
        arrived since."""
        try:
            self._writer.flush()
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e

    def finish(self, end: Mapping[str, str]):
        try:
            self._writer.add_metadata(ff.META_END, dict(end))
            self._writer.finish()
        except OSError as e:
            raise WriteFailed(self._reason(e)) from e
        finally:
            self._file.close()

    def salvage(self, end: Mapping[str, str]) -> bool:
        """After a failed write: closes the file with the end metadata and the closing records
        (no index), if there is room for them; the samples before the failure stay readable
        either way. True when the closing records went in."""
        f = self._file
        if f.fd < 0:
            return False
        f.error = None
        good = f.position
        builder = RecordBuilder()
        Metadata(name=ff.META_END, metadata=dict(end)).write(builder)
        DataEnd(data_section_crc=0).write(builder)
        Footer(summary_start=0, summary_offset_start=0, summary_crc=0).write(builder)
        try:
            f.write(builder.end() + MAGIC)
            return True
        except OSError:
            os.ftruncate(f.fd, good)
            return False
        finally:
            f.close()

    def abandon(self):
        """Removes a file nothing was recorded into (the connection failed)."""
        self._file.close()
        try:
            os.unlink(self.path)
        except OSError:
            pass

    def _reason(self, e: OSError) -> str:
        return f"writing {self.path} failed: {e.strerror or e}"
