"""Record, export, replay and plot the streams of a korvelquor.Client.

    korvelquor record --serial SN --duration 10 --out run.mcap
    korvelquor export run.mcap --to parquet run/
    korvelquor plot run.mcap --out run.png

From Python, read_recording(path) gives the exported tables as pandas DataFrames. The
recordings are MCAP files (layout in korvelquor_tools.fileformat); the substitute controller
replays them (korvel-sim --replay FILE.mcap).
"""

from ._version import __version__
from .errors import RecordingError


def read_recording(
    path, streams=("basic", "extra"), start=None, end=None, groups=None, fields=None, progress=None
):
    """The recording's tables as pandas DataFrames (see korvelquor_tools.tables). `path`: a
    recording file, or a split recording's folder or list of parts, read as one. `start`,
    `end`: seconds of receive time after the first sample, both included; `groups`, `fields`:
    only their columns (export.read_recording)."""
    from .export import read_recording as read

    return read(path, streams, start, end, groups, fields, progress)


def iter_recording(
    path, seconds=60.0, streams=("basic", "extra"), start=None, end=None, groups=None, fields=None
):
    """The tables `seconds` of receive time at a time, memory bounded by a window
    (export.iter_recording)."""
    from .export import iter_recording as iterate

    return iterate(path, seconds, streams, start, end, groups, fields)


__all__ = ["RecordingError", "iter_recording", "read_recording", "__version__"]
