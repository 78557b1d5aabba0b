"""Recordings that end abnormally stay readable: a recorder killed with SIGKILL, and one
whose writes start failing (a file-size limit stands in for a full disk: the same failed
write, without filling a real disk)."""

import re
import resource
import signal

import numpy as np
import pytest

from conftest import Recorder, korvelquor_cmd
from korvelquor_tools import fileformat as ff
from korvelquor_tools import read_recording

LIMIT = 1_500_000  # bytes: a few chunks


def _limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write then reports EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))


@pytest.mark.parametrize("how", ["sigkill", "write_fails"])
def test_a_recording_cut_short_still_exports_and_plots(two_arm_sim, tmp_path, how):
    path = tmp_path / "cut.mcap"
    if how == "sigkill":
        recorder = Recorder(two_arm_sim.serial, path)
        recorder.wait_recording(min_bytes=1_000_000)
        recorder.kill()
        assert recorder.proc.returncode == -signal.SIGKILL
    else:
        recorder = Recorder(two_arm_sim.serial, path, preexec_fn=_limit_file_size)
        out, err = recorder.proc.communicate(timeout=60)
        assert recorder.proc.returncode == 3, err
        assert f"writing {path} failed: File too large" in err
        assert path.stat().st_size <= LIMIT

    tables = read_recording(path)
    assert len(tables.basic) > 100 and len(tables.extra) > 100
    for table in (tables.basic, tables.extra):  # every sample up to the cut, in order
        assert np.array_equal(table.seq.to_numpy(), np.arange(len(table)))
    if how == "sigkill":
        assert not tables.end.complete and ff.META_END not in tables.metadata
    else:  # the closing records went in after the cut back to the last whole record
        assert tables.end.complete
        assert tables.metadata[ff.META_END]["stopped_by"] == "a write error"

    result = korvelquor_cmd("plot", path, "--out", tmp_path / "cut.png", "--groups", "ARM_1")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "cut.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if how == "sigkill":
        # A kill may land inside a write (the kernel stops a write to a file at a page when
        # a fatal signal is pending), so the file may end inside a record too.
        assert re.search(
            re.escape(f"{path}: cut short (the file ends ")
            + r"(without its closing records|inside a record that starts at byte "
            r"\d+ and announces \d+ bytes)\)",
            result.stderr,
        ), result.stderr
