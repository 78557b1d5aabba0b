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


def read_recording(path, streams=("basic", "extra"), progress=None):
    """The recording's tables as pandas DataFrames (see korvelquor_tools.tables). `path`: a
    recording file, or a split recording's folder or list of parts, read as one."""
    from .export import read_recording as read

    return read(path, streams=streams, progress=progress)


__all__ = ["RecordingError", "read_recording", "__version__"]
