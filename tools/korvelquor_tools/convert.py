"""`korvelquor export FILE.mcap --to foxglove OUT.mcap`: a recording with the viewable
channels, from one made without them (or with them at another rate).

Two passes over the source: the first copies every raw sample exactly (payload, log time,
publish time, sequence) and the metadata; the second decodes with the client's decoder
(decoded_blocks) and adds the viewable messages. A source cut short converts up to its last
complete sample."""
from __future__ import annotations

import os
from typing import Callable, Optional

from . import fileformat as ff
from .decode import decoded_blocks
from .reader import End, open_recording
from .viewable import ViewEncoder
from .writer import RecordingWriter

CUT_SHORT = "nothing: the source recording was cut short"


def to_foxglove(path, out, rate_hz: Optional[float],
                progress: Optional[Callable[[int], None]] = None) -> End:
    """Writes `out`; returns how the source ended. Raises RecordingError for a source that is
    not a recording, OSError when `out` cannot be written."""
    if os.path.abspath(path) == os.path.abspath(out):
        raise OSError(f"{out}: the output would overwrite the recording it is made from")
    with open_recording(path) as rec:
        writer = RecordingWriter(out, view=ViewEncoder(rate_hz))
        facts = {name: meta for name, meta in rec.metadata.items()
                 if name not in (ff.META_END, ff.META_VIEWABLE)}
        writer.start(rec.serial, facts)
        count = 0
        for sample in rec.samples():
            writer.add_sample(sample)
            count += 1
            if progress is not None and count % 20_000 == 0:
                progress(count)
        end = rec.end
        end_meta = dict(rec.metadata.get(ff.META_END) or {"stopped_by": CUT_SHORT})
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
