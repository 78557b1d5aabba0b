"""Files that are not recordings of this tool, and outputs that cannot be written: clear
errors that name the file and what was expected, before any work starts."""

import os
import subprocess
import sys

import pytest
from mcap.writer import Writer

from conftest import REPO, korvelquor_cmd, tool_env
from korvelquor_tools import RecordingError, read_recording
from korvelquor_tools import fileformat as ff


def _mcap(path, profile="", facts=None, layout=None):
    with open(path, "wb") as f:
        w = Writer(f)
        w.start(profile=profile, library="test")
        if facts is not None:
            w.add_metadata(ff.META_RECORDING, facts)
        if layout is not None:
            w.add_metadata(ff.META_LAYOUT, layout)
        channel = w.register_channel("/chatter", "json", 0)
        w.add_message(channel, 1, b"{}", 1)
        w.finish()


GOOD_FACTS = {"format_version": ff.FORMAT_VERSION, "protocol_version": ff.PROTOCOL_VERSION}

CASES = {
    "random bytes": (lambda p: p.write_bytes(os.urandom(64)), "not an MCAP file"),
    "empty file": (lambda p: p.write_bytes(b""), "not an MCAP file"),
    "MCAP of another tool": (lambda p: _mcap(p), "not of profile 'korvelquor'"),
    "unknown protocol": (
        lambda p: _mcap(p, ff.PROFILE, {**GOOD_FACTS, "protocol_version": "v3.0"}),
        "robot protocol version 'v3.0'; this tool knows protocol version v2.1",
    ),
    "unknown format": (
        lambda p: _mcap(p, ff.PROFILE, {**GOOD_FACTS, "format_version": "9"}),
        "format version '9'; this tool reads format version 1",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_not_a_recording_of_this_tool(tmp_path, case):
    make, expected = CASES[case]
    path = tmp_path / "input.mcap"
    make(path)
    with pytest.raises(RecordingError) as err:
        read_recording(path)
    assert str(err.value).startswith(f"{path}: ") and expected in str(err.value)

    result = korvelquor_cmd("export", path, "--to", "csv", tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr.startswith(f"export: {path}: ") and expected in result.stderr
    assert not (tmp_path / "out").exists()  # nothing written for a file that is not one


@pytest.mark.parametrize("where", ["missing/run.mcap", "a-file/run.mcap"])
def test_an_unwritable_output_fails_before_connecting(tmp_path, where):
    (tmp_path / "a-file").write_text("")
    out = tmp_path / where
    # No robot serves this serial: a recorder that tried to connect first would report that.
    result = korvelquor_cmd("record", "--serial", "KQ NOBODY-000001", "--out", out)
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith(f"record: cannot write {out}: ")
    assert "Connected" not in result.stdout


ABSURD_LAYOUT = {
    "group_names": '{"0": "ALL"}',
    "start_ids": '{"0": 0}',
    "dofs": '{"0": 6148914691236517206}',
    "joint_count": "7",
}
REPLAY_CASES = {
    "random bytes": (lambda p: p.write_bytes(os.urandom(64)), "not an MCAP file"),
    "no layout": (lambda p: _mcap(p, ff.PROFILE, GOOD_FACTS), "korvelquor.layout"),
    "absurd DoF": (
        lambda p: _mcap(p, ff.PROFILE, GOOD_FACTS, ABSURD_LAYOUT),
        "DoF of joint group 0",
    ),
}


@pytest.mark.parametrize("case", REPLAY_CASES)
def test_the_substitute_refuses_to_replay_a_bad_recording_in_one_line(tmp_path, case):
    make, expected = REPLAY_CASES[case]
    path = tmp_path / "input.mcap"
    make(path)
    # Without the client's modules on the path: the robot side checks a file by itself.
    result = subprocess.run(
        [sys.executable, "-m", "korvel_sim", "--replay", str(path)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**tool_env(), "PYTHONPATH": str(REPO / "sim")},
    )
    lines = result.stderr.strip().splitlines()
    assert result.returncode == 1 and len(lines) == 1 and expected in lines[0], result.stderr
