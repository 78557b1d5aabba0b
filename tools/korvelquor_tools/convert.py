"""`korvelquor export FILE.mcap --to foxglove OUT.mcap`: a recording with the viewable
channels, from one made without them (or with them at another rate).

Two passes over the source, both native: the first copies every raw sample exactly (payload,
log time, publish time, sequence) and the metadata; the second decodes with the client's decoder
(decoded_blocks) and adds the viewable messages. A source cut short converts up to its last
complete sample."""

from __future__ import annotations

import os
from typing import Callable, Iterator, Optional

from . import fileformat as ff
from .decode import decoded_blocks
from .errors import RecordingError
from .outputs import refuse_the_input
from .reader import End, open_recording
from .viewable import ViewEncoder
from .writer import RecordingWriter

CUT_SHORT = "nothing: the source recording was cut short"


def _open_raw(path):
    import korvelquor_capture as kc

    try:
        return kc.RecordingReader.open_raw(os.fspath(path))
    except (ValueError, RuntimeError) as e:
        raise RecordingError(str(e)) from None


def _raw_blocks(reader) -> Iterator[dict]:
    """Every sample of both streams in file order, exactly as the file holds it, read and
    decompressed natively a block at a time."""
    while True:
        try:
            raw = reader.next_raw()
        except (ValueError, RuntimeError) as e:
            raise RecordingError(str(e)) from None
        if raw is None:
            return
        yield raw


def to_foxglove(
    path, out, rate_hz: Optional[float], progress: Optional[Callable[[int], None]] = None
) -> End:
    """Writes `out`; returns how the source ended. Raises RecordingError for a source that is
    not a recording, OSError when `out` cannot be written."""
    refuse_the_input(out, path)
    with open_recording(path) as rec:  # checked as every reader checks it
        writer = RecordingWriter(out, view=ViewEncoder(rate_hz))
        facts = {
            name: meta
            for name, meta in rec.metadata.items()
            if name not in (ff.META_END, ff.META_VIEWABLE)
        }
        # One file, whatever the parts it is made of.
        facts[ff.META_RECORDING] = {
            k: v for k, v in facts[ff.META_RECORDING].items() if k != "part"
        }
        writer.start(rec.serial, facts)
        parts = rec.parts
    count = 0
    for part in parts:  # a split recording becomes one file
        reader = _open_raw(part)
        for raw in _raw_blocks(reader):
            writer.add_raw(raw)
            count += len(raw["sequence"])
            if progress is not None:
                progress(count)
    end = reader.end
    end_meta = dict(reader.metadata.get(ff.META_END) or {"stopped_by": CUT_SHORT})
    with open_recording(path) as rec:
        for stream, batch, _ in decoded_blocks(rec):
            if stream == "basic":
                writer.add_view(batch, None)
            else:
                writer.add_view(None, batch)
    writer.finish(end_meta)
    if progress is not None:
        progress(count)
    return end
