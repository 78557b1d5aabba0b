"""One status line, rewritten in place on a terminal; silent when the stream is not one (a
log file gets the final summary only, no stream of progress lines)."""

from __future__ import annotations

import sys
import time


class StatusLine:
    def __init__(self, stream=None, every: float = 1.0):
        self.stream = stream if stream is not None else sys.stderr
        self.live = self.stream.isatty()
        self.every = every
        self._last = float("-inf")
        self._shown = False

    def update(self, text: str, force: bool = False):
        """Shows `text` if `every` seconds have passed since the last update (or `force`)."""
        now = time.monotonic()
        if not self.live or (not force and now - self._last < self.every):
            return
        self._last = now
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()
        self._shown = True

    def done(self):
        """Ends the line, so that what follows starts on a fresh one."""
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False


def megabytes(n: int) -> str:
    return f"{n / 1e6:.1f} MB"
