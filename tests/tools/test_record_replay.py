"""A recording of the two-arm substitute against what a client saw live, and its replay.

While the recorder runs, a client of its own freezes each stream in turn (the substitute's
silent_* faults) and reads states()/actions(): the frozen value is the stream's last sample,
so the export must hold a row equal to it. A short trailing-byte window makes undecodable
samples, which the export must list. The replay of the file must then give a new client the
recorded layout, facts and values."""

import json
import time

import numpy as np
import pytest

import korvelquor
import korvelquor_capture as kc
from conftest import Recorder, korvelquor_cmd, unique_serial
from korvelquor_tools import fileformat as ff
from korvelquor_tools import read_recording
from korvelquor_tools.tables import ACTION_FIELDS, STATE_FIELDS

FREEZE_S = 0.3


@pytest.fixture(scope="module")
def session(two_arm_sim, tmp_path_factory):
    path = tmp_path_factory.mktemp("rec") / "run.mcap"
    client = korvelquor.Client(two_arm_sim.serial, verbose=False)
    control = two_arm_sim.control()
    recorder = Recorder(two_arm_sim.serial, path)
    seen = []
    try:
        recorder.wait_recording()
        for _ in range(2):
            for stream, fault, read in (
                ("basic", "silent_basic", client.states),
                ("extra", "silent_extra", client.actions),
            ):
                control.set(**{fault: True})
                time.sleep(FREEZE_S)
                seen.append((stream, read()))
                control.clear(fault)
                time.sleep(FREEZE_S)
        control.set(stream_trailing_byte="basic")
        time.sleep(0.2)
        control.clear("stream_trailing_byte")
        time.sleep(FREEZE_S)
        status, out, err = recorder.stop()
    finally:
        recorder.kill()
    assert status == 0, err
    layout = kc.client_layout(client)
    del client
    return {
        "path": path,
        "seen": seen,
        "stdout": out,
        "layout": layout,
        "tables": read_recording(path),
    }


def row_values(row, group, fields):
    return {f: row.filter(regex=rf"^{group}\.{f}\.\d+$").to_numpy(float) for f in fields}


def test_export_holds_what_the_client_saw(session):
    t = session["tables"]
    assert "stopped by Ctrl-C" in session["stdout"]
    assert t.end.complete, t.end
    end = t.metadata[ff.META_END]
    bad = t.undecodable
    assert int(end["received_basic"]) == len(t.basic) + int((bad.stream == "basic").sum())
    assert (
        ff.layout_from_metadata(t.metadata[ff.META_LAYOUT], session["layout"]["serial"])
        == session["layout"]
    )

    for stream, seen in session["seen"]:
        assert seen, f"{stream}: the client had no value"
        if stream == "basic":
            sec, nsec = next(iter(seen.values())).timestamp
            rows = t.basic[(t.basic.robot_sec == sec) & (t.basic.robot_nsec == nsec)]
            assert len(rows) == 1, (sec, nsec)
            row, fields = rows.iloc[0], STATE_FIELDS
        else:
            first, q_d = next(iter(seen.items()))
            cols = t.extra.filter(regex=rf"^{first.name}\.q_d\.\d+$").to_numpy(float)
            match = np.flatnonzero((cols == np.array(q_d.q_d)).all(axis=1))
            assert len(match) >= 1, "no exported extra row equals actions()"
            row, fields = t.extra.iloc[match[-1]], ACTION_FIELDS
        for group, record in seen.items():
            exported = row_values(row, group.name, fields)
            for f in fields:
                assert np.array_equal(exported[f], np.array(getattr(record, f))), (group, f)


def test_undecodable_samples_are_listed_and_none_is_lost(session, tmp_path):
    result = korvelquor_cmd("export", session["path"], "--to", "parquet", tmp_path)
    assert result.returncode == 0, result.stderr
    import pandas as pd

    listed = pd.read_parquet(tmp_path / "undecodable.parquet")
    basic = pd.read_parquet(tmp_path / "basic.parquet")
    assert len(listed) >= 50 and set(listed.stream) == {"basic"}, listed
    # One trailing byte more than a decodable sample of the same layout, and a reason.
    size = len(next(iter(_payloads(session["path"], "basic"))))
    assert set(listed["size"]) == {size + 1}
    assert all(listed.reason.str.len() > 0)
    assert f"{len(listed)} undecodable samples" in result.stdout
    # Decoded rows and listed samples together: every sequence number once, none missing.
    seqs = np.sort(np.concatenate([basic.seq.to_numpy(), listed.seq.to_numpy()]))
    assert np.array_equal(seqs, np.arange(len(seqs)))

    # A selection: what read_recording gives for it, a window of rows and the asked columns.
    part = tmp_path / "part"
    window = ("--from", "0.5", "--until", "1", "--groups", "ARM_1", "--fields", "q")
    result = korvelquor_cmd("export", session["path"], "--to", "parquet", part, *window)
    assert result.returncode == 0, result.stderr
    picked = pd.read_parquet(part / "basic.parquet")
    want = read_recording(session["path"], start=0.5, end=1, groups=["ARM_1"], fields=["q"])
    pd.testing.assert_frame_equal(picked, want.basic)
    assert 100 < len(picked) < len(basic)
    assert all(c.startswith("ARM_1.q.") for c in picked.columns[5:]) and len(picked.columns) > 5


def _payloads(path, stream):
    from korvelquor_tools.reader import open_recording

    with open_recording(path) as rec:
        for s in rec.samples():
            if s.stream == stream:
                yield s.data


def test_replay_gives_the_recorded_values_and_layout(session):
    from korvel_sim.testing import SimProcess

    t = session["tables"]
    facts = t.metadata
    serial = unique_serial("REP")
    with SimProcess(serial, args=["--replay", str(session["path"]), "--loop"]) as replay:
        client = korvelquor.Client(serial, verbose=False)
        layout = kc.client_layout(client)
        assert {k: v for k, v in layout.items() if k != "serial"} == {
            k: v for k, v in session["layout"].items() if k != "serial"
        }

        scores = {int(g): list(v) for g, v in client.configuration_score().items()}
        assert scores == {int(g): v for g, v in json.loads(facts[ff.META_SCORE]["scores"]).items()}
        assert ff.plan_info_to_metadata(client.plan_info()) == facts[ff.META_PLAN_INFO]
        assert ff.primitives_to_metadata(client.primitive_states()) == facts[ff.META_PRIMITIVES]

        replay.control().set(silent_basic=True)
        time.sleep(FREEZE_S)
        states = client.states()
        sec, nsec = next(iter(states.values())).timestamp
        rows = t.basic[(t.basic.robot_sec == sec) & (t.basic.robot_nsec == nsec)]
        assert len(rows) == 1, (sec, nsec)
        for group, record in states.items():
            exported = row_values(rows.iloc[0], group.name, STATE_FIELDS)
            for f in STATE_FIELDS:
                assert np.array_equal(exported[f], np.array(getattr(record, f))), (group, f)
        del client


def test_replayed_configuration_scores_are_the_recorded_ones_on_every_segment(tmp_path):
    """The replay inverts the client's score functions; the client itself is the judge.
    Scores on every segment of both functions (and their clamps), as the client would have
    computed them from float32 manipulability values; 0.0894325 and 0.080803 score
    differently with the decimal corner differences than with the ones the client uses."""
    from korvel_sim.replay import first_score, second_score
    from korvel_sim.testing import SimProcess
    from korvelquor_tools.writer import RecordingWriter

    f32 = lambda v: float(np.float32(v))  # noqa: E731
    firsts = [f32(v) for v in (0.0, 0.031, 0.0894325, 0.1777, 0.4)]
    seconds = [f32(v) for v in (0.0517, 0.080803, 0.2011, 0.6123, 0.9)]
    groups = [0, 2, 3, 4, 5]
    expected = {g: [first_score(a), second_score(b)] for g, a, b in zip(groups, firsts, seconds)}
    layout = {
        "group_names": {g: korvelquor.JointGroup(g).name for g in groups},
        "start_ids": dict.fromkeys(groups, 0),
        "dofs": dict.fromkeys(groups, 7),
        "joint_count": 7,
    }
    path = tmp_path / "scores.mcap"
    writer = RecordingWriter(path)
    writer.start(
        "KQ-SCORES-000001",
        {
            ff.META_RECORDING: {
                "format_version": ff.FORMAT_VERSION,
                "protocol_version": ff.PROTOCOL_VERSION,
            },
            ff.META_LAYOUT: ff.layout_to_metadata(layout),
            ff.META_SCORE: {"scores": json.dumps(expected)},
        },
    )
    writer.finish({"stopped_by": "test"})

    serial = unique_serial("SCO")
    with SimProcess(serial, args=["--replay", str(path)]):
        client = korvelquor.Client(serial, verbose=False)
        got = {int(g): list(v) for g, v in client.configuration_score().items()}
        del client
    assert got == expected


def test_a_recording_started_while_the_robot_is_silent_still_has_its_groups(two_arm_sim, tmp_path):
    """A client takes the group names from the stream sample at hand when it connects; the
    recording must have them all the same, or its export has no group column."""
    path = tmp_path / "late.mcap"
    control = two_arm_sim.control()
    control.set(silent_streams=True)
    recorder = Recorder(two_arm_sim.serial, path)
    try:
        assert "Connected to the robot" in recorder.proc.stdout.readline()
        time.sleep(0.5)  # the client has taken its layout, with nothing on the streams
        control.clear("silent_streams")
        recorder.wait_recording()
        status, _, err = recorder.stop()
    finally:
        control.clear("silent_streams")
        recorder.kill()
    assert status == 0, err
    t = read_recording(path)
    assert len(t.basic) > 100 and t.basic["layout_ok"].all()
    assert {c.split(".")[0] for c in t.basic.columns if c.count(".") == 2} >= {
        "ALL",
        "ARMS",
        "ARM_1",
        "ARM_2",
        "EXT_AXIS",
    }
    assert not t.basic.filter(regex=r"^ARM_2\.q\.").isna().any().any()
