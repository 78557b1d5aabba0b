"""A recording's samples decoded, a block at a time, into the batches a live capture gives:
read, decompressed and decoded natively (korvelquor_capture.RecordingReader: the client's
own decoder and assembly), so that memory stays bounded by the block."""

from __future__ import annotations

import queue
import threading
import warnings
from typing import Callable, Iterator, List, Optional, Tuple

from . import fileformat as ff
from .errors import RecordingError
from .reader import Recording

BLOCK_ROWS = 10_000  # samples per stream decoded at once: bounds memory on long recordings


def decoded_blocks(
    rec: Recording, streams=ff.STREAMS, **options
) -> Iterator[Tuple[str, object, dict]]:
    """decoded_groups, a block at a time."""
    for group in decoded_groups(rec, streams, **options):
        yield from group


def decoded_groups(
    rec: Recording,
    streams=ff.STREAMS,
    block_rows: int = BLOCK_ROWS,
    progress: Optional[Callable[[int], None]] = None,
    log_window: Optional[Tuple[int, int]] = None,
) -> Iterator[List[Tuple[str, object, dict]]]:
    """[(stream, batch, block)] for every stretch of the file read at once: each stream's
    samples in it, in file order (at least one block per stream, empty if it has no
    samples), so that every sample before the stretch's end has been handed over; block is
    the arrays of the samples the batch was decoded from (seq, receive_time_ns). `progress` is called with the number of
    samples read so far. A layout or samples the client's decoder refuses raise
    RecordingError. Afterwards rec.end tells how the file ended and rec.metadata holds every
    metadata record. `log_window` (from, to): only the samples received in it, ns, both
    ends included (selection.Selection)."""
    rec.close()  # the native readers read the files themselves
    done, last_seq = 0, {}
    for part in rec.parts:
        reader = _open(part, streams, block_rows, log_window)
        count = 0
        for blocks, end, count in _ahead(_read(reader)):
            rec.end = end  # so far: its size and good bytes give the progress
            if blocks is None:
                break
            for stream, _, block in blocks:
                _check_runs_on(part, stream, block["seq"], last_seq)
            yield blocks
            if progress is not None:
                progress(done + count)
        done += count
        if part != rec.parts[-1] and rec.end is not None and not rec.end.clean:
            warnings.warn(rec.end.describe(part))
        for name, values in reader.metadata.items():
            # The facts are the first part's; how the recording ended, the last one's.
            if name == ff.META_END or name not in rec.metadata:
                rec.metadata[name] = dict(values)
    if progress is not None:
        progress(done)


def _open(path, streams, block_rows, log_window):
    import korvelquor_capture as kc

    try:
        return kc.RecordingReader(
            path,
            basic="basic" in streams,
            extra="extra" in streams,
            block_rows=block_rows,
            log_window=log_window,
        )
    except (ValueError, RuntimeError) as e:
        raise RecordingError(str(e)) from None


def _check_runs_on(part, stream, seq, last_seq):
    """Says in one line (a warning) where a stream's count jumps from one part to the next:
    samples were lost between them. Within a part, a capture's losses are counted in its end
    record instead."""
    if len(seq) == 0:
        return
    before, first = last_seq.get(stream), int(seq[0])
    if before is not None and before[0] != part and first != (before[1] + 1) % 2**32:
        warnings.warn(
            f"{part}: {stream} sample {first} follows {before[1]} of the part before: "
            f"{(first - before[1] - 1) % 2**32} sample(s) missing between them"
        )
    last_seq[stream] = (part, int(seq[-1]))


def _read(reader):
    """(blocks, end, samples read) for each block, then (None, end, samples read)."""
    while True:
        try:
            blocks = reader.next_block()
        except (ValueError, RuntimeError) as e:
            raise RecordingError(str(e)) from None
        yield blocks, reader.end, reader.samples_read
        if blocks is None:
            return


_DONE = object()


def _ahead(items):
    """`items` produced in a thread of their own, one ahead of the caller: the native reader
    decodes the next block while the caller works on this one (both let go of the GIL). The
    next item is started only once the caller has taken the previous one, so at most two
    blocks are alive, and only that thread touches the reader until it ends."""
    taken = threading.Semaphore(0)
    handed: "queue.SimpleQueue" = queue.SimpleQueue()
    stop = threading.Event()

    def run():
        try:
            for item in items:
                handed.put((item, None))
                while not taken.acquire(timeout=0.1):
                    if stop.is_set():
                        return
                if stop.is_set():
                    return
            handed.put((_DONE, None))
        except BaseException as e:  # handed to the caller, raised there
            handed.put((None, e))

    worker = threading.Thread(target=run, name="korvelquor-reader", daemon=True)
    worker.start()
    try:
        while True:
            item, error = handed.get()
            if error is not None:
                raise error
            if item is _DONE:
                return
            taken.release()
            yield item
    finally:
        stop.set()
        worker.join()
