"""A korvelquor recording as the replay reads it: the robot side's own statement of the few
names of the file format it needs, and a reading of the file with the mcap package, never
through the client under test.

A recording may come from anywhere and be damaged anyhow, and a damaged one must never take
the substitute down. So the file is read front to back a record at a time by its own framing:
no length read in the file sizes an allocation beyond what is left of the file or beyond
LIMIT; a record's fields are parsed within that record's bytes only; a chunk is decompressed
only once its announced size is within LIMIT, and its messages are handed on only once the
whole chunk decompressed to that size and passed its CRC. A damaged chunk or record is
skipped; a file that ends early gives every sample before the cut. `end` then says which.
"""

from __future__ import annotations

import os
import stat
import struct
import zlib
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Tuple

import lz4.frame
import zstandard
from mcap.data_stream import ReadDataStream
from mcap.exceptions import McapError
from mcap.opcode import Opcode
from mcap.records import Channel, Chunk, Header, Metadata

# What `korvelquor record` writes (tools/korvelquor_tools/fileformat.py describes the format).
PROFILE = "korvelquor"
FORMAT_VERSION = "1"
MESSAGE_ENCODING = "zenoh/serialized"
STREAMS = ("basic", "extra")
META_RECORDING = "korvelquor.recording"
META_LAYOUT = "korvelquor.layout"
META_PLAN_INFO = "korvelquor.plan_info"
META_SCORE = "korvelquor.configuration_score"
META_PRIMITIVES = "korvelquor.primitive_states"
PLAN_INFO_FIELDS = (
    "pt_name",
    "node_name",
    "node_path",
    "node_path_time_period",
    "node_path_number",
    "assigned_plan_name",
    "velocity_scale",
    "waiting_for_step",
)
EXPECTED = "expected an MCAP recording made by `korvelquor record`"

MAGIC = b"\x89MCAP0\r\n"
# The longest record, and the most a chunk may decompress to, that the replay takes in. The
# writers close chunks at 1 MiB; a longer length is what damage or random bytes give.
LIMIT = 64 << 20
_HEAD = struct.Struct("<BQ")  # opcode, record length
_MESSAGE = struct.Struct("<HIQQ")  # channel, sequence, log time, publish time

# What the mcap package and the decompressors raise on bytes that are not what they should
# be: each is damage to report, never a traceback.
_DAMAGE = (McapError, struct.error, ValueError, EOFError, RuntimeError, zstandard.ZstdError)

Sample = Tuple[int, str, bytes]  # log time (receive time, ns), stream, payload


class RecordingFileError(Exception):
    """The file is not a recording the replay can use; the message names it and says why."""


class _Damaged(Exception):
    pass


class _Body:
    """A record's bytes for the mcap package's record parsers: a field that would run past
    the record is damage, not a short read or a read into the next record."""

    def __init__(self, data: bytes):
        self._data, self._at = data, 0

    def read(self, n: int) -> bytes:
        if not 0 <= n <= len(self._data) - self._at:
            raise _Damaged(f"a field of {n} bytes runs past the record's end")
        self._at += n
        return self._data[self._at - n : self._at]


def _parse(kind, data: bytes):
    return kind.read(ReadDataStream(_Body(data)))


@dataclass
class End:
    """How the file ended, known once every sample was read."""

    size: int
    complete: bool = False
    good_bytes: int = 0  # bytes up to the end of the last whole record read
    problem: str = ""
    skipped: List[Tuple[int, str]] = field(default_factory=list)  # (byte, why)

    @property
    def clean(self) -> bool:
        return self.complete and not self.skipped

    def describe(self, path: str) -> str:
        if self.complete:
            text = f"{path}: complete ({self.size} bytes)"
        else:
            text = (
                f"{path}: cut short ({self.problem}); read every complete sample up to "
                f"byte {self.good_bytes} of {self.size}"
            )
        if self.skipped:
            at, why = self.skipped[0]
            text += (
                f"; skipped {len(self.skipped)} damaged record(s), the first at byte {at} ({why})"
            )
        return text


class RecordingFile:
    """A recording checked at opening: the MCAP magic, the profile, the korvelquor.recording
    metadata first, a known format and protocol version. `metadata` then holds the metadata
    records the file begins with; samples() reads the samples (again at each call)."""

    def __init__(self, path, protocol_version: str):
        self.path = os.fspath(path)
        self.metadata: Dict[str, Dict[str, str]] = {}
        self.end: Optional[End] = None
        records = self._records()
        try:
            first = next(records, None)
            if first is None or first[1] != Opcode.HEADER:
                self._fail(
                    "an MCAP file without its header"
                    if first
                    else "the file ends before its MCAP header"
                )
            header = first[2]
            if header.profile != PROFILE:
                self._fail(
                    f"an MCAP file of profile {header.profile!r} (written by "
                    f"{header.library!r}), not of profile {PROFILE!r}"
                )
            for _, opcode, record in records:
                if opcode != Opcode.METADATA:
                    break
                self.metadata.setdefault(record.name, record.metadata)
                if len(self.metadata) == 1 and record.name != META_RECORDING:
                    break
        finally:
            records.close()
        if next(iter(self.metadata), None) != META_RECORDING:
            self._fail(
                f"an MCAP file of profile {PROFILE!r} without its {META_RECORDING!r} metadata first"
            )
        info = self.metadata[META_RECORDING]
        if info.get("format_version") != FORMAT_VERSION:
            self._fail(
                f"a recording of format version {info.get('format_version')!r}; this "
                f"substitute replays format version {FORMAT_VERSION}",
                expected=False,
            )
        if info.get("protocol_version") != protocol_version:
            self._fail(
                f"a recording of robot protocol version "
                f"{info.get('protocol_version')!r}; this substitute speaks protocol "
                f"version {protocol_version}",
                expected=False,
            )

    def _fail(self, what: str, expected: bool = True):
        # Damage before the samples begin is what the refusal comes from: said with it.
        end = self.end
        if end is not None and end.problem:
            what += f" ({end.problem})"
        elif end is not None and end.skipped:
            what += f" (a damaged record at byte {end.skipped[0][0]}: {end.skipped[0][1]})"
        raise RecordingFileError(f"{self.path}: {what}" + (f"; {EXPECTED}" if expected else ""))

    def samples(self) -> Iterator[Sample]:
        """Every sample of both streams in file order: the messages of the channels whose
        metadata names a stream and whose encoding is the robot's. `end` is set once the
        generator is done."""
        streams: Dict[int, str] = {}
        for at, opcode, record in self._records():
            if opcode == Opcode.CHUNK:
                try:  # nothing of a chunk is used unless all of it is sound
                    records = _chunk_records(record)
                except _DAMAGE + (_Damaged,) as e:
                    self.end.skipped.append((at, _why(e)))
                    continue
            else:
                records = [record]
            for record in records:
                if isinstance(record, Channel):
                    stream = record.metadata.get("stream")
                    if stream in STREAMS and record.message_encoding == MESSAGE_ENCODING:
                        streams[record.id] = stream
                    else:
                        streams.pop(record.id, None)
                elif isinstance(record, bytes):
                    channel, _, log_time, _ = _MESSAGE.unpack_from(record)
                    stream = streams.get(channel)
                    if stream is not None:
                        yield log_time, stream, record[_MESSAGE.size :]

    def _records(self) -> Iterator[Tuple[int, int, object]]:
        """(byte, opcode, record) of the records the replay uses, in file order: Header,
        Metadata, Channel and Chunk parsed, a Message as its record's bytes. Skips what is
        damaged and stops where the file does; sets `end`."""
        try:
            st = os.stat(self.path)
        except OSError as e:
            raise RecordingFileError(f"cannot open {self.path}: {e.strerror}") from None
        if not stat.S_ISREG(st.st_mode):  # a FIFO would block the open, a device never end
            raise RecordingFileError(f"{self.path}: not a file; {EXPECTED}")
        try:
            f = open(self.path, "rb")
        except OSError as e:
            raise RecordingFileError(f"cannot open {self.path}: {e.strerror}") from None
        with f:
            size = os.fstat(f.fileno()).st_size
            end = self.end = End(size=size, good_bytes=len(MAGIC))
            try:
                if f.read(len(MAGIC)) != MAGIC:
                    raise RecordingFileError(
                        f"{self.path}: not an MCAP file (it does not "
                        f"begin with the MCAP magic bytes); {EXPECTED}"
                    )
                at = len(MAGIC)
                summary = False  # past the data section: only indexes and repeats follow
                while True:
                    left = size - at
                    if left == 0:
                        end.problem = "the file ends without its closing records"
                        return
                    if left < _HEAD.size:
                        end.problem = f"the file ends inside a record header at byte {size}"
                        return
                    opcode, length = _HEAD.unpack(_read(f, _HEAD.size))
                    body_at = at + _HEAD.size
                    if length > size - body_at:
                        end.problem = (
                            f"the file ends inside a record that starts at byte "
                            f"{at} and announces {length} bytes"
                        )
                        return
                    if opcode == Opcode.FOOTER:
                        f.seek(body_at + length)
                        end.good_bytes = at = body_at + length
                        if size - at < len(MAGIC) or f.read(len(MAGIC)) != MAGIC:
                            end.problem = "the closing magic bytes are missing"
                        else:
                            end.complete, end.good_bytes = True, size
                        return
                    summary = summary or opcode == Opcode.DATA_END
                    if summary or opcode not in _USED:
                        f.seek(body_at + length)
                    elif length > LIMIT:
                        end.skipped.append(
                            (
                                at,
                                f"a record of {length} bytes, more than "
                                f"the {LIMIT} a recording holds",
                            )
                        )
                        f.seek(body_at + length)
                    else:
                        try:
                            record = _USED[opcode](_read(f, length))
                        except _DAMAGE + (_Damaged,) as e:
                            end.skipped.append((at, _why(e)))
                        else:
                            yield at, opcode, record
                    end.good_bytes = at = body_at + length
            except OSError as e:
                end.problem = f"the file cannot be read from byte {end.good_bytes} on ({e})"


def _read(f, n: int) -> bytes:
    data = f.read(n)
    if len(data) != n:  # the file shrank while it was read
        raise OSError(f"it ends at byte {f.tell()}")
    return data


def _why(e: BaseException) -> str:
    return str(e) or type(e).__name__


_USED = {
    Opcode.HEADER: lambda data: _parse(Header, data),
    Opcode.METADATA: lambda data: _parse(Metadata, data),
    Opcode.CHANNEL: lambda data: _parse(Channel, data),
    Opcode.MESSAGE: lambda data: _message(data),
    Opcode.CHUNK: lambda data: _parse(Chunk, data),
}


def _message(data: bytes) -> bytes:
    if len(data) < _MESSAGE.size:
        raise _Damaged(f"a message record of {len(data)} bytes")
    return data


def _content(chunk: Chunk) -> bytes:
    """The chunk's records, decompressed to the size it announces and no further."""
    size = chunk.uncompressed_size
    if size > LIMIT:
        raise _Damaged(f"a chunk announcing {size} bytes, more than the {LIMIT} a recording holds")
    if chunk.compression == "" or size == 0:
        data = chunk.data if chunk.compression == "" else b""
    elif chunk.compression == "zstd":
        # zstandard sizes its output by the frame's own content size when it has one.
        announced = zstandard.frame_content_size(chunk.data)
        if announced not in (-1, size):
            raise _Damaged(f"a zstd chunk of {announced} bytes announcing {size}")
        data = zstandard.ZstdDecompressor().decompress(chunk.data, max_output_size=size)
    elif chunk.compression == "lz4":
        data = lz4.frame.LZ4FrameDecompressor().decompress(chunk.data, max_length=size + 1)
    else:
        raise _Damaged(f"a chunk of unknown compression {chunk.compression!r}")
    if len(data) != size:
        raise _Damaged(f"a chunk announcing {size} bytes holds {len(data)}")
    if chunk.uncompressed_crc and zlib.crc32(data) != chunk.uncompressed_crc:
        raise _Damaged("a chunk whose content fails its CRC")
    return data


def _chunk_records(chunk: Chunk) -> list:
    """The Channels of a chunk and its Messages as their records' bytes, in their order."""
    data = _content(chunk)
    records = []
    i = 0
    while i < len(data):
        if len(data) - i < _HEAD.size:
            raise _Damaged("a record header cut at the chunk's end")
        opcode, length = _HEAD.unpack_from(data, i)
        i += _HEAD.size
        if length > len(data) - i:
            raise _Damaged(f"a record of {length} bytes beyond the chunk's end")
        if opcode == Opcode.CHANNEL:
            records.append(_parse(Channel, data[i : i + length]))
        elif opcode == Opcode.MESSAGE:
            records.append(_message(data[i : i + length]))
        i += length
    return records


class SplitRecording:
    """The parts of a recording split by `korvelquor record --split-*`, replayed as one: each
    checked as a RecordingFile, all of one robot and layout. `metadata` is the first part's;
    `end` tells how the last part read ended, or the first that did not end clean."""

    def __init__(self, paths: List[str], protocol_version: str):
        self.files = [RecordingFile(p, protocol_version) for p in paths]
        self.path = self.files[0].path
        self.metadata = self.files[0].metadata
        self.end: Optional[End] = None
        for part in self.files[1:]:
            for record, what in ((META_RECORDING, "robot"), (META_LAYOUT, "layout")):
                mine, theirs = self.metadata.get(record, {}), part.metadata.get(record, {})
                if record == META_RECORDING:
                    mine, theirs = mine.get("serial"), theirs.get("serial")
                if mine != theirs:
                    raise RecordingFileError(
                        f"{part.path}: not a part of the recording {self.path}: another {what}"
                    )

    def samples(self) -> Iterator[Sample]:
        self.end = None
        for part in self.files:
            yield from part.samples()
            if self.end is None or self.end.clean:
                self.end = part.end


def open_recording(path, protocol_version: str):
    """A recording file, or a split recording's parts (a list of them, or their folder: its
    .mcap files in name order), as one RecordingFile-like reader."""
    if isinstance(path, (list, tuple)):
        return SplitRecording([os.fspath(p) for p in path], protocol_version)
    path = os.fspath(path)
    if not os.path.isdir(path):
        return RecordingFile(path, protocol_version)
    parts = sorted(os.path.join(path, n) for n in os.listdir(path) if n.endswith(".mcap"))
    if not parts:
        raise RecordingFileError(f"{path}: a folder without recording parts (.mcap); {EXPECTED}")
    return SplitRecording(parts, protocol_version)
