"""Reading a recording sample by sample, checked, and tolerant of a file cut short.

The file is read natively (korvelquor_capture.RecordingReader, over the MCAP library). A file
that is not a recording of this tool, or of a format or protocol version this tool does not
know, raises RecordingError naming the file and what was expected. A file that ends early
(recorder killed, disk full) yields every complete sample and then sets `end` to say where
it stops.

A recording split into parts (`korvelquor record --split-seconds`) is read as one: its folder,
or a list of its parts, in the place of a file.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional

import korvelquor_capture as _kc

from . import fileformat as ff
from .errors import RecordingError

BLOCK_ROWS = 1024  # samples read natively at once


@dataclass
class Sample:
    stream: str  # "basic" or "extra"
    sequence: int  # as stored: the capture's sequence number modulo 2^32
    log_time: int  # receive time, ns since the Unix epoch
    publish_time: int  # robot timestamp as ns (0: none)
    data: bytes  # the payload as received


# How a file ended, known once every sample was read: complete, size, good_bytes, problem,
# skipped [(byte, why)], clean, describe(path).
End = _kc.RecordingEnd


@dataclass
class Recording:
    path: str
    info: Dict[str, str]
    metadata: Dict[str, Dict[str, str]] = field(default_factory=dict)
    end: Optional[End] = None
    _reader: object = None  # the native reader, until samples() has read it
    parts: List[str] = field(default_factory=list)  # the files, in order (one unless split)
    first_ns: Optional[int] = None  # receive time of the first sample, once a selection asked

    def __post_init__(self):
        self.parts = self.parts or [self.path]

    # --- the facts recorded at the start -----------------------------------------------------

    @property
    def serial(self) -> str:
        return self.info.get("serial", "")

    def layout(self) -> dict:
        """The layout korvelquor_capture.decode_recording takes: the file's layout record,
        checked as the native reader checks it when it decodes (RecordingError if unusable)."""
        try:
            return _kc.RecordingReader(self.parts[0], basic=False, extra=False).layout
        except ValueError as e:
            raise RecordingError(str(e)) from None

    # --- samples ---------------------------------------------------------------------------

    def samples(self) -> Iterator[Sample]:
        """Every complete sample in file order (arrival order within each stream). A damaged
        record is skipped; reading stops at the closing records or where the file is cut
        short. `end` then tells which, and lists what was skipped. Can be called once."""
        if self._reader is None:
            raise RecordingError(f"{self.path}: samples() can be read only once")
        reader, self._reader = self._reader, None
        for k, part in enumerate(self.parts):
            if k > 0:
                reader = _open_raw(part)
            yield from self._part_samples(reader)

    def _part_samples(self, reader) -> Iterator[Sample]:
        while True:
            try:
                block = reader.next_raw()
            except ValueError as e:
                raise RecordingError(str(e)) from None
            if block is None:
                break
            data, offsets = block["data"], block["offsets"].tolist()
            for i, (stream, seq, log_time, publish_time) in enumerate(
                zip(
                    block["stream"].tolist(),
                    block["sequence"].tolist(),
                    block["log_time"].tolist(),
                    block["publish_time"].tolist(),
                )
            ):
                yield Sample(
                    ff.STREAMS[stream],
                    seq,
                    log_time,
                    publish_time,
                    data[offsets[i] : offsets[i + 1]],
                )
        self.end = reader.end
        for name, values in reader.metadata.items():
            self.metadata.setdefault(name, dict(values))

    def close(self):
        self._reader = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def recording_parts(path) -> List[str]:
    """The files of a recording: `path` itself, or the parts of a split recording, given as
    a list of paths or as their folder (its .mcap files in name order)."""
    if isinstance(path, (list, tuple)):
        parts = [os.fspath(p) for p in path]
    elif os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if n.endswith(".mcap"))
        parts = [os.path.join(os.fspath(path), n) for n in names]
        if not parts:
            raise RecordingError(f"{os.fspath(path)}: a folder without recording parts (.mcap)")
    else:
        parts = [os.fspath(path)]
    if not parts:
        raise RecordingError("no recording given: the list of parts is empty")
    return parts


def _open_raw(path):
    with open(path, "rb"):  # a file that cannot be opened is an OSError, as for any tool
        pass
    try:
        return _kc.RecordingReader.open_raw(path, block_rows=BLOCK_ROWS)
    except ValueError as e:
        raise RecordingError(str(e)) from None


def _metadata(reader) -> Dict[str, Dict[str, str]]:
    return {name: dict(values) for name, values in reader.metadata.items()}


def _check_part(first: str, head: dict, part: str, theirs: dict, previous: dict):
    """Refuses a part of another robot or layout; says in one line (a warning) what else
    does not run on: another recording, a part missing between two."""
    for record, key, what in (
        (ff.META_RECORDING, "serial", "robot"),
        (ff.META_LAYOUT, None, "layout"),
    ):
        mine, other = head.get(record, {}), theirs.get(record, {})
        if (key and mine.get(key) != other.get(key)) or (not key and mine != other):
            detail = f" ({mine.get(key)} there, {other.get(key)} here)" if key else ""
            raise RecordingError(
                f"{part}: not a part of the recording {first}: another {what}{detail}"
            )
    mine, other = previous.get(ff.META_RECORDING, {}), theirs.get(ff.META_RECORDING, {})
    if mine.get("started_ns") != other.get("started_ns"):
        warnings.warn(f"{part}: a part of another recording than {first}, read on as one")
    elif mine.get("part", "").isdigit() and other.get("part", "").isdigit():
        missing = int(other["part"]) - int(mine["part"]) - 1
        if missing:
            warnings.warn(f"{part}: {missing} part(s) missing before it, read on without them")


def open_recording(path) -> Recording:
    """Opens and checks a recording (or a split recording's parts: recording_parts): the MCAP
    magic, this tool's profile, its first metadata record, a known format and protocol
    version; all parts of one robot and layout. Raises RecordingError otherwise (and OSError
    when a file cannot be opened)."""
    parts = recording_parts(path)
    reader = _open_raw(parts[0])
    metadata = previous = _metadata(reader)
    for part in parts[1:]:
        theirs = _metadata(_open_raw(part))
        _check_part(parts[0], metadata, part, theirs, previous)
        previous = theirs
    shown = parts[0] if len(parts) == 1 or not isinstance(path, (str, os.PathLike)) else path
    return Recording(
        path=os.fspath(shown),
        info=metadata[ff.META_RECORDING],
        metadata=metadata,
        _reader=reader,
        parts=parts,
    )
