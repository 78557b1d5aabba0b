"""Files written from a recording are never the recording itself, whatever name leads to it."""

from __future__ import annotations

import os


def refuse_the_input(out, recording) -> None:
    """OSError when `out` is the file `recording` is, or one of its parts (the same name, or
    a symbolic or hard link to it): writing it would destroy the recording before, or while,
    it is read."""
    for part in recording if isinstance(recording, (list, tuple)) else [recording]:
        try:
            same = os.path.samefile(out, part)
        except OSError:  # an output that does not exist yet cannot be the recording
            continue
        if same:
            raise OSError(
                f"{out}: the output would overwrite {part}, the recording it is made from"
            )
