"""Reading a recording sample by sample, checked, and tolerant of a file cut short.

The file is read natively (korvelquor_capture.RecordingReader, over the MCAP library). A file
that is not a recording of this tool, or of a format or protocol version this tool does not
know, raises RecordingError naming the file and what was expected. A file that ends early
(recorder killed, disk full) yields every complete sample and then sets `end` to say where
it stops.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Dict, Iterator, Optional

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

    # --- the facts recorded at the start -----------------------------------------------------

    @property
    def serial(self) -> str:
        return self.info.get("serial", "")

    def layout(self) -> dict:
        """The layout korvelquor_capture.decode_recording takes: the file's layout record,
        checked as the native reader checks it when it decodes (RecordingError if unusable)."""
        try:
            return _kc.RecordingReader(self.path, basic=False, extra=False).layout
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


def open_recording(path) -> Recording:
    """Opens and checks a recording: the MCAP magic, this tool's profile, its first metadata
    record, a known format and protocol version. Raises RecordingError otherwise (and
    OSError when the file cannot be opened)."""
    path = os.fspath(path)
    with open(path, "rb"):  # a file that cannot be opened is an OSError, as for any tool
        pass
    try:
        reader = _kc.RecordingReader.open_raw(path, block_rows=BLOCK_ROWS)
    except ValueError as e:
        raise RecordingError(str(e)) from None
    metadata = {name: dict(values) for name, values in reader.metadata.items()}
    return Recording(path=path, info=metadata[ff.META_RECORDING], metadata=metadata, _reader=reader)
