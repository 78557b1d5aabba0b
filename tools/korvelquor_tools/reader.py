"""Reading a recording record by record, checked, and tolerant of a file cut short.

Only the `mcap` package is needed here (no NumPy, no native module), so the substitute
controller can replay with it. A file that is not a recording of this tool, or of a format or
protocol version this tool does not know, raises RecordingError naming the file and what was
expected. A file that ends early (recorder killed, disk full) yields every complete sample
and then sets `end` to say where it stops.
"""
from __future__ import annotations

import io
import os
import struct
import zlib
from dataclasses import dataclass, field
from typing import BinaryIO, Dict, Iterator, List, Optional, Tuple

from mcap.opcode import Opcode
from mcap.records import Channel, Chunk, Footer, Header, Message, Metadata
from mcap.data_stream import ReadDataStream
from mcap.writer import MCAP0_MAGIC as MAGIC  # the MCAP magic bytes, as the package states them

from . import fileformat as ff
from .errors import RecordingError

_RECORD_HEAD = struct.Struct("<BQ")
_MESSAGE_HEAD = struct.Struct("<HIQQ")  # channel id, sequence, log time, publish time
EXPECTED = "an MCAP recording made by `korvelquor record`"


@dataclass
class Sample:
    stream: str           # "basic" or "extra"
    sequence: int         # as stored: the capture's sequence number modulo 2^32
    log_time: int         # receive time, ns since the Unix epoch
    publish_time: int     # robot timestamp as ns (0: none)
    data: bytes           # the payload as received


@dataclass
class End:
    """How the file ended, known once every sample was read."""
    complete: bool = False      # the closing records are there
    size: int = 0               # bytes in the file
    good_bytes: int = 0         # bytes up to the end of the last complete record
    problem: str = ""           # why reading stopped early, if it did
    skipped: List[Tuple[int, str]] = field(default_factory=list)  # damaged records: (byte, why)

    @property
    def clean(self) -> bool:
        return self.complete and not self.skipped

    def describe(self, path) -> str:
        if self.complete:
            text = f"{path}: complete ({self.size} bytes)"
        else:
            text = (f"{path}: cut short ({self.problem}); read every complete sample up to "
                    f"byte {self.good_bytes} of {self.size}")
        if self.skipped:
            at, why = self.skipped[0]
            text += (f"; skipped {len(self.skipped)} damaged record(s), the first at byte "
                     f"{at} ({why})")
        return text


@dataclass
class Recording:
    path: str
    info: Dict[str, str]
    metadata: Dict[str, Dict[str, str]] = field(default_factory=dict)
    end: Optional[End] = None
    _file: Optional[BinaryIO] = None
    _channels: Dict[int, str] = field(default_factory=dict)

    # --- the facts recorded at the start -----------------------------------------------------

    @property
    def serial(self) -> str:
        return self.info.get("serial", "")

    def layout(self) -> dict:
        """The layout korvelquor_capture.decode_recording takes."""
        meta = self.metadata.get(ff.META_LAYOUT)
        if meta is None:
            raise RecordingError(f"{self.path}: the recording holds no joint-group layout "
                                 f"(metadata '{ff.META_LAYOUT}'); expected {EXPECTED}")
        try:
            return ff.layout_from_metadata(meta, self.serial)
        except ValueError as e:
            raise RecordingError(f"{self.path}: its joint-group layout (metadata "
                                 f"'{ff.META_LAYOUT}') is not usable: {e}; expected "
                                 f"{EXPECTED}") from None

    # --- samples ---------------------------------------------------------------------------

    def samples(self) -> Iterator[Sample]:
        """Every complete sample in file order (arrival order within each stream). A damaged
        record is skipped; reading stops at the closing records or where the file is cut
        short. `end` then tells which, and lists what was skipped. Can be called once."""
        if self._file is None:
            raise RecordingError(f"{self.path}: samples() can be read only once")
        f, self._file = self._file, None
        try:
            yield from self._records(f)
        finally:
            f.close()

    def _records(self, f) -> Iterator[Sample]:
        size = os.fstat(f.fileno()).st_size
        end = End(size=size, good_bytes=f.tell())
        self.end = end
        while True:
            head = f.read(_RECORD_HEAD.size)
            if not head:
                end.problem = "the file ends without its closing records"
                return
            if len(head) < _RECORD_HEAD.size:
                end.problem = f"the file ends inside a record header at byte {size}"
                return
            opcode, length = _RECORD_HEAD.unpack(head)
            start = end.good_bytes
            if length > size - start - _RECORD_HEAD.size:
                end.problem = (f"the file ends inside a record that starts at byte {start} and "
                               f"announces {length} bytes")
                return
            body = f.read(length)
            try:
                samples = self._parse(opcode, body, length)
            except Exception as e:  # a damaged record: its length still leads to the next
                end.skipped.append((start, str(e)))
                samples = []
            yield from samples
            if opcode == Opcode.FOOTER:
                end.good_bytes = f.tell()
                end.complete = f.read(len(MAGIC)) == MAGIC
                if not end.complete:
                    end.problem = "the closing magic bytes are missing"
                return
            end.good_bytes = f.tell()

    def _parse(self, opcode: int, body: bytes, length: int) -> List[Sample]:
        """The samples of one record; notes channels and metadata on the way."""
        stream = ReadDataStream(io.BytesIO(body))
        if opcode == Opcode.CHUNK:
            return self._chunk_samples(Chunk.read(stream))
        if opcode == Opcode.MESSAGE:
            records = [Message.read(stream, length)]
        elif opcode == Opcode.CHANNEL:
            records = [Channel.read(stream)]
        elif opcode == Opcode.METADATA:
            m = Metadata.read(stream)
            self.metadata[m.name] = dict(m.metadata)
            return []
        elif opcode == Opcode.FOOTER:
            Footer.read(stream)
            return []
        else:
            return []
        out = []
        for r in records:
            if isinstance(r, Channel):
                self._add_channel(r)
            elif isinstance(r, Message):
                name = self._channels.get(r.channel_id)
                if name is not None:
                    out.append(Sample(name, r.sequence, r.log_time, r.publish_time, r.data))
        return out

    def _chunk_samples(self, chunk: Chunk) -> List[Sample]:
        """The samples of a chunk. Its message records are read here with one struct call
        each, several times faster than through the mcap package's record objects."""
        data = _decompress(chunk)
        if chunk.uncompressed_crc and zlib.crc32(data) != chunk.uncompressed_crc:
            raise ValueError("chunk checksum mismatch")
        out = []
        pos, end = 0, len(data)
        channels = self._channels
        while pos < end:
            opcode, length = _RECORD_HEAD.unpack_from(data, pos)
            pos += _RECORD_HEAD.size
            if pos + length > end:
                raise ValueError("a record runs past the end of its chunk")
            if opcode == Opcode.MESSAGE:
                channel, sequence, log_time, publish_time = _MESSAGE_HEAD.unpack_from(data, pos)
                name = channels.get(channel)
                if name is not None:
                    out.append(Sample(name, sequence, log_time, publish_time,
                                      data[pos + _MESSAGE_HEAD.size:pos + length]))
            elif opcode == Opcode.CHANNEL:
                self._add_channel(Channel.read(ReadDataStream(io.BytesIO(data[pos:pos + length]))))
            pos += length
        return out

    def _add_channel(self, channel: Channel):
        stream = channel.metadata.get("stream")
        if stream in ff.STREAMS and channel.message_encoding == ff.MESSAGE_ENCODING:
            self._channels[channel.id] = stream

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _decompress(chunk: Chunk) -> bytes:
    if chunk.compression == "zstd":
        import zstandard
        return zstandard.ZstdDecompressor().decompress(chunk.data,
                                                       max_output_size=chunk.uncompressed_size)
    if chunk.compression == "lz4":
        import lz4.frame
        return lz4.frame.decompress(chunk.data)
    if chunk.compression == "":
        return chunk.data
    raise ValueError(f"unknown chunk compression '{chunk.compression}'")


def _read_record(f, path, what):
    head = f.read(_RECORD_HEAD.size)
    if len(head) < _RECORD_HEAD.size:
        raise RecordingError(f"{path}: the file ends before its {what}; expected {EXPECTED}")
    opcode, length = _RECORD_HEAD.unpack(head)
    if length > 1 << 24:
        raise RecordingError(f"{path}: the record after the header is not the {what}; "
                             f"expected {EXPECTED}")
    body = f.read(length)
    if len(body) < length:
        raise RecordingError(f"{path}: the file ends inside its {what}; expected {EXPECTED}")
    return opcode, ReadDataStream(io.BytesIO(body))


def _read_start_metadata(f, rec: Recording):
    """The metadata records that follow the recording facts (layout, plan info, ...), so that
    they are known before the first sample. Leaves the file at the first other record."""
    while True:
        start = f.tell()
        head = f.read(_RECORD_HEAD.size)
        if len(head) == _RECORD_HEAD.size:
            opcode, length = _RECORD_HEAD.unpack(head)
            if opcode == Opcode.METADATA and length < 1 << 24:
                body = f.read(length)
                if len(body) == length:
                    m = Metadata.read(ReadDataStream(io.BytesIO(body)))
                    rec.metadata[m.name] = dict(m.metadata)
                    continue
        f.seek(start)
        return


def open_recording(path) -> Recording:
    """Opens and checks a recording: the MCAP magic, this tool's profile, its first metadata
    record, a known format and protocol version. Raises RecordingError otherwise (and
    OSError when the file cannot be opened)."""
    path = os.fspath(path)
    f = open(path, "rb")
    try:
        if f.read(len(MAGIC)) != MAGIC:
            raise RecordingError(f"{path}: not an MCAP file (it does not begin with the MCAP "
                                 f"magic bytes); expected {EXPECTED}")
        opcode, body = _read_record(f, path, "MCAP header")
        if opcode != Opcode.HEADER:
            raise RecordingError(f"{path}: an MCAP file without its header; expected {EXPECTED}")
        header = Header.read(body)
        if header.profile != ff.PROFILE:
            raise RecordingError(f"{path}: an MCAP file of profile '{header.profile}' (written "
                                 f"by '{header.library}'), not of profile '{ff.PROFILE}'; "
                                 f"expected {EXPECTED}")
        opcode, body = _read_record(f, path, "recording facts")
        meta = Metadata.read(body) if opcode == Opcode.METADATA else None
        if meta is None or meta.name != ff.META_RECORDING:
            raise RecordingError(f"{path}: an MCAP file of profile '{ff.PROFILE}' without its "
                                 f"'{ff.META_RECORDING}' metadata first; expected {EXPECTED}")
        info = dict(meta.metadata)
        version = info.get("format_version")
        if version != ff.FORMAT_VERSION:
            raise RecordingError(f"{path}: a recording of format version '{version}'; this "
                                 f"tool reads format version {ff.FORMAT_VERSION}")
        protocol = info.get("protocol_version")
        if protocol != ff.PROTOCOL_VERSION:
            raise RecordingError(f"{path}: a recording of robot protocol version '{protocol}'; "
                                 f"this tool knows protocol version {ff.PROTOCOL_VERSION}")
        rec = Recording(path=path, info=info, _file=f)
        rec.metadata[ff.META_RECORDING] = info
        _read_start_metadata(f, rec)
        return rec
    except RecordingError:
        f.close()
        raise
    except Exception as e:
        f.close()
        raise RecordingError(f"{path}: unreadable start of file ({e}); expected {EXPECTED}") from e
