"""Recordings written, read, exported and replayed on files made here. Each test names the
fault it catches."""

import json
import os
import resource
import struct
import zlib
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from mcap.reader import make_reader

from conftest import JOINTS, LAYOUT, SERIAL, basic, extra, korvelquor_cmd, write_recording
from korvelquor_tools import RecordingError, read_recording
from korvelquor_tools import fileformat as ff

T0 = 1_700_000_000_000_000_000
ALWAYS_COLUMNS = ("seq", "robot_sec", "robot_nsec", "receive_time_ns", "layout_ok")
# Robot stamps as sent (second word unsigned) and as the client reports them (bit for bit as
# int32): a second word of 2^31 or more reads negative; one of 10^9 or more stays as it is.
STAMPS = [
    ((5, 7), (5, 7)),
    ((6, 2**31 + 3), (6, -(2**31) + 3)),
    ((7, 1_500_000_000), (7, 1_500_000_000)),
    ((-2, 9), (-2, 9)),
]


@pytest.fixture
def recording(tmp_path):
    """Basic samples with the stamps above, each followed by an extra sample; one extra
    sample before any basic one."""
    b = [
        (basic(k, sent), T0 + 10_000 * (k + 1), reported)
        for k, (sent, reported) in enumerate(STAMPS)
    ]
    e = [(extra(0), T0 + 1_000, (3, 4))] + [
        (extra(k + 1), T0 + 10_000 * (k + 1) + 500, reported)
        for k, (_, reported) in enumerate(STAMPS)
    ]
    return write_recording(tmp_path / "run.mcap", b, e)


def test_file_times_receive_time_as_log_time_and_robot_time_as_publish_time(recording):
    # Fault: the recorder swaps the receive time and the robot time between the two.
    with open(recording, "rb") as f:
        got = [
            (ch.metadata["stream"], m.log_time, m.publish_time)
            for _, ch, m in make_reader(f).iter_messages(log_time_order=False)
        ]
    basic_rows = [(t, p) for s, t, p in got if s == "basic"]
    assert basic_rows[0] == (T0 + 10_000, 5 * ff.NS + 7)
    assert [t for t, _ in basic_rows] == [T0 + 10_000 * (k + 1) for k in range(len(STAMPS))]
    # The nanosecond word is the unsigned word sent, as the viewable channels read it; a
    # negative robot time is clamped, never wrapped.
    assert [p for _, p in basic_rows] == [
        5 * ff.NS + 7,
        6 * ff.NS + 2**31 + 3,
        7 * ff.NS + 1_500_000_000,
        0,
    ]


def test_exports_carry_the_robot_words_and_name_joints_by_index(recording):
    # Faults: robot words rebuilt from publish_time (wrong from 2^31 or 10^9 on); extra rows
    # stamped otherwise than actions() does; columns named one joint off.
    t = read_recording(recording)
    assert list(zip(t.basic.robot_sec, t.basic.robot_nsec)) == [r for _, r in STAMPS]
    # Before any basic sample the recorded stamp stands in; then the latest basic one.
    assert list(zip(t.extra.robot_sec, t.extra.robot_nsec)) == [(3, 4)] + [r for _, r in STAMPS]
    for j in range(JOINTS):
        assert t.basic[f"ARM_1.q.{j}"].tolist() == [100.0 + j + k / 1024 for k in range(4)]
        assert t.basic[f"ALL.tau.{j}"].tolist() == [500.0 + j + k / 1024 for k in range(4)]
        assert t.extra[f"ARM_1.q_d.{j}"].tolist() == [j + k / 1024 for k in range(5)]
    assert f"ALL.q.{JOINTS}" not in t.basic
    assert t.basic["digital_inputs.2"].tolist() == [False, False, True, False]


def _layout(**change):
    meta = ff.layout_to_metadata(LAYOUT)
    meta.update(change)
    return meta


def _facts(layout_meta):
    return {
        ff.META_RECORDING: {
            "format_version": ff.FORMAT_VERSION,
            "protocol_version": ff.PROTOCOL_VERSION,
            "serial": SERIAL,
        },
        **({ff.META_LAYOUT: layout_meta} if layout_meta is not None else {}),
    }


def _written(meta):
    def make(path):
        write_recording(path, [(basic(0, (1, 2)), T0, (1, 2))], [], metadata=_facts(meta))

    return make


def _cut(at):
    def make(path):
        _written(_layout())(path)
        with open(path, "r+b") as f:
            f.truncate(at)

    return make


BAD = {
    "absurd DoF": (
        _written(_layout(dofs=json.dumps({"0": 6148914691236517206, "3": 7}))),
        "DoF of joint group 0",
    ),
    "negative start": (
        _written(_layout(start_ids=json.dumps({"0": -1, "3": 0}))),
        "start ID of joint group 0",
    ),
    "fractional DoF": (_written(_layout(dofs=json.dumps({"0": 6.5, "3": 7}))), "DoF"),
    "DoF as text": (_written(_layout(dofs=json.dumps({"0": "seven", "3": 7}))), "DoF"),
    "unknown group": (
        _written(_layout(group_names=json.dumps({"0": "ALL", "1": "ARM_9"}))),
        "joint group 1 is named 'ARM_9'",
    ),
    "beyond the joint count": (
        _written(_layout(start_ids=json.dumps({"0": 0, "3": 3}))),
        "beyond the joint count 7",
    ),
    "layout not JSON": (_written(_layout(dofs="{0: 7")), "'dofs' is not JSON"),
    "no joint count": (
        _written({k: v for k, v in _layout().items() if k != "joint_count"}),
        "'joint_count' is missing",
    ),
    "no layout": (_written(None), "holds no joint-group layout"),
    "cut in its header": (_cut(40), "expected an MCAP recording"),
    "random bytes": (lambda p: p.write_bytes(os.urandom(4096)), "not an MCAP file"),
    "another profile": (
        lambda p: p.write_bytes(
            b"\x89MCAP0\r\n"
            + struct.pack("<BQ", 1, 12)
            + struct.pack("<I", 4)
            + b"ros1"
            + struct.pack("<I", 0)
        ),
        "not of profile 'korvelquor'",
    ),
}


@pytest.mark.parametrize("case", BAD)
def test_a_bad_recording_ends_every_reader_with_one_clear_error(tmp_path, case):
    # Faults: a file's layout decoded unchecked (a write far past a buffer, a traceback);
    # a reader that ends in anything but its documented error.
    make, expected = BAD[case]
    path = tmp_path / "bad.mcap"
    make(path)
    from korvelquor_tools.reader import open_recording

    for read in (read_recording, lambda p: open_recording(p).layout()):
        with pytest.raises(RecordingError) as err:
            read(path)
        assert str(err.value).startswith(f"{path}: ") and expected in str(err.value)
    for args in (
        ("export", path, "--to", "csv", tmp_path / "out"),
        ("export", path, "--to", "parquet", tmp_path / "out"),
        ("export", path, "--to", "foxglove", tmp_path / "out.mcap"),
        ("plot", path, "--out", tmp_path / "out.png"),
    ):
        result = korvelquor_cmd(*args)
        assert result.returncode == 1, (args, result.stderr)
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1 and expected in lines[0], (args, result.stderr)


# The command writing from a recording, given it and a folder; where in the folder the
# output, or one file of it, lands.
OUTPUTS = {
    "foxglove": (
        lambda rec, here: ("export", rec, "--to", "foxglove", here / "view.mcap"),
        "view.mcap",
    ),
    "csv": (lambda rec, here: ("export", rec, "--to", "csv", here / "out"), "out/extra.csv"),
    "plot": (lambda rec, here: ("plot", rec, "--out", here / "run.png"), "run.png"),
}


@pytest.mark.parametrize("link", [os.symlink, os.link], ids=["symbolic link", "hard link"])
@pytest.mark.parametrize("output", OUTPUTS)
def test_an_output_that_is_the_recording_under_another_name_is_refused(
    recording, tmp_path, link, output
):
    # Fault: outputs compared by name only, so that writing one destroys the recording.
    command, where = OUTPUTS[output]
    args = command(recording, tmp_path)
    alias = tmp_path / where
    alias.parent.mkdir(exist_ok=True)
    link(recording, alias)
    before = recording.read_bytes()
    result = korvelquor_cmd(*args)
    assert result.returncode == 2, result.stderr
    assert result.stderr.strip().splitlines() == [
        f"{args[0]}: {alias}: the output would overwrite {recording}, the recording it is made from"
    ]
    assert recording.read_bytes() == before
    written = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if not p.is_dir())
    assert written == sorted([recording.name, where])  # nothing but what was there


def _records(data):
    """(start, opcode, length) of every record of an MCAP file's bytes, front to back."""
    out, at = [], 8
    while at + 9 <= len(data) - 8:
        opcode, length = struct.unpack_from("<BQ", data, at)
        out.append((at, opcode, length))
        at += 9 + length
    return out


def _sample_chunks(records):
    """The chunks that hold a sample: each is followed by its message index."""
    return [r for r, after in zip(records, records[1:]) if r[1] == 0x06 and after[1] == 0x07]


def _flip_in_chunk(data, records):
    start, _, length = _sample_chunks(records)[2]
    data[start + 9 + length - 8] ^= 0x10


def _huge_record_in_chunk(data, records):
    # A zstd chunk whose message announces 2^58 bytes, compressed again with a CRC to match.
    import zstandard

    start, _, length = _sample_chunks(records)[2]
    body = bytes(data[start + 9 : start + 9 + length])
    name = struct.unpack_from("<I", body, 28)[0]
    inner = bytearray(
        zstandard.decompress(
            body[32 + name + 8 :], max_output_size=struct.unpack_from("<Q", body, 16)[0]
        )
    )
    struct.pack_into("<Q", inner, 1, 2**58)
    packed = zstandard.compress(bytes(inner))
    body = (
        body[:24]
        + struct.pack("<I", zlib.crc32(inner))
        + body[28 : 32 + name]
        + struct.pack("<Q", len(packed))
        + packed
    )
    data[start : start + 9 + length] = struct.pack("<BQ", 0x06, len(body)) + body


def _huge_chunk(data, records):
    start = _sample_chunks(records)[2][0]
    struct.pack_into("<Q", data, start + 9 + 16, 2**60)  # its uncompressed size


def _huge_string(data, records):
    # The name of the plan-info record, the recording's third metadata record, announces
    # 4 GiB.
    start = [r for r in records if r[1] == 0x0C][2][0]
    struct.pack_into("<I", data, start + 9, 0xFFFFFFFF)


def _huge_summary_count(data, records):
    # The statistics count 2^40 samples of the first channel; the summary's CRC is cleared so
    # that the count is believed as far as it can be.
    start = [r for r in records if r[1] == 0x0B][0][0]
    struct.pack_into("<Q", data, start + 9 + 42 + 4 + 2, 2**40)
    struct.pack_into("<I", data, len(data) - 12, 0)


# compression, damage, basic samples read, damaged records skipped
DAMAGED_FILES = {
    "a bit flipped inside a zstd chunk": ("zstd", _flip_in_chunk, 5, 1),
    "a bit flipped in a sample of an uncompressed chunk": ("none", _flip_in_chunk, 5, 1),
    "a record in a chunk announcing 2^58 bytes": ("zstd", _huge_record_in_chunk, 5, 1),
    "a chunk announcing 2^60 uncompressed bytes": ("lz4", _huge_chunk, 5, 1),
    "a metadata text announcing 4 GiB": ("zstd", _huge_string, 6, 1),
    "a summary counting 2^40 samples": ("zstd", _huge_summary_count, 6, 0),
}


@pytest.mark.parametrize("case", DAMAGED_FILES)
def test_a_damaged_recording_is_read_around_its_damage_by_every_reader(tmp_path, monkeypatch, case):
    # Faults: a length read from the file sizing memory (the process aborts asking for
    # 2^58 bytes, or NumPy for terabytes); a damaged chunk's samples handed over, or the
    # samples after it lost; a reader ending in a traceback instead of its one line.
    from korvelquor_tools import writer
    import korvelquor_capture as kc

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per sample
    compression, damage, rows, skipped = DAMAGED_FILES[case]
    path = write_recording(
        tmp_path / "run.mcap",
        [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(6)],
        [(extra(k), T0 + 10_000 * (k + 1) + 500, (1, k)) for k in range(6)],
        compression=compression,
    )
    data = bytearray(path.read_bytes())
    damage(data, _records(data))
    path.write_bytes(bytes(data))
    counts = kc.RecordingReader.summary_counts(str(path))
    assert counts is None or max(counts.values()) <= len(data) // 16
    t = read_recording(path)
    assert len(t.basic) == rows and len(t.end.skipped) == skipped, t.end.describe(str(path))
    for args in (
        ("export", path, "--to", "csv", tmp_path / "csv"),
        ("export", path, "--to", "foxglove", tmp_path / "view.mcap"),
        ("plot", path, "--out", tmp_path / "plot.png"),
    ):
        # Under a bound on address space that reading an intact file stays far below, and a
        # length field's 4 GiB does not fit in.
        result = korvelquor_cmd(
            *args, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        )
        assert result.returncode == 0 and "Traceback" not in result.stderr, (args, result.stderr)
        if skipped:
            assert "damaged record" in result.stderr, (args, result.stderr)


def test_a_read_error_is_reported_as_one_and_not_as_a_cut(tmp_path):
    # Fault: an I/O error part-way through a file taken for its end, so that a recording
    # is reported "cut short" and read as if it held nothing more.
    preload = os.environ.get("KQ_EIO_PRELOAD")
    if not preload:
        pytest.skip("needs the test build's kq_eio_preload (ctest sets KQ_EIO_PRELOAD)")
    path = write_recording(
        tmp_path / "run.eio.mcap",
        [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(6)],
        [],
    )
    bad = path.stat().st_size // 2
    env = {"LD_PRELOAD": preload, "KQ_EIO_AT": str(bad)}
    for args in (
        ("export", path, "--to", "csv", tmp_path / "out"),
        ("plot", path, "--out", tmp_path / "out.png"),
    ):
        result = korvelquor_cmd(*args, env=env)
        lines = result.stderr.strip().splitlines()
        assert result.returncode == 1 and len(lines) == 1, (args, result.stderr)
        assert lines[0] == f"{args[0]}: {path}: cannot read from byte {bad}: Input/output error"


# where to cut, given the chunks that hold a sample (start, opcode, length), and what the
# reader must say about it
CUTS = {
    "inside a chunk": (
        lambda c: c[1][0] + 9 + c[1][2] // 2,
        "the file ends inside a record that starts at byte {start} and announces {length} bytes",
    ),
    "inside a record's head": (
        lambda c: c[1][0] + 5,
        "the file ends inside a record header at byte {cut}",
    ),
    "between two records": (lambda c: c[1][0], "the file ends without its closing records"),
}


@pytest.mark.parametrize("case", [*CUTS, "in the closing magic"])
def test_a_cut_is_reported_at_the_bytes_where_it_is(tmp_path, monkeypatch, case):
    # Faults: a record's length counted with or without its head, so that the bytes a cut
    # file reports (where the cut record starts, what it announces, up to where it was read)
    # are off; samples before the cut lost, or a sample cut in two handed over.
    from korvelquor_tools import writer

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per sample
    path = write_recording(
        tmp_path / "run.mcap",
        [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(6)],
        [],
    )
    data = path.read_bytes()
    records = _records(data)
    # A chunk that holds a sample is followed by its message index.
    chunks = [r for r, after in zip(records, records[1:]) if r[1] == 0x06 and after[1] == 0x07]
    if case in CUTS:
        where, expected = CUTS[case]
        cut, good, samples = where(chunks), chunks[1][0], 1
        expected = expected.format(start=chunks[1][0], length=chunks[1][2], cut=cut)
    else:
        cut = len(data) - 5
        good, samples, expected = cut - 3, 6, "the closing magic bytes are missing"
    path.write_bytes(data[:cut])
    t = read_recording(path)
    assert (t.end.complete, t.end.size, t.end.good_bytes, t.end.problem) == (
        False,
        cut,
        good,
        expected,
    )
    assert t.basic["seq"].tolist() == list(range(samples))


@pytest.mark.parametrize(
    "layout,expected",
    [
        ({**LAYOUT, "dofs": {0: 6148914691236517206, 3: 7}}, "must be a whole number"),
        ({**LAYOUT, "joint_count": 3}, "beyond the joint count 3"),
        ({**LAYOUT, "group_names": {7: "ALL"}}, "does not have"),
        ({**LAYOUT, "dofs": {0: 2**32 - 1, 3: 7}, "joint_count": 2**32 - 1}, "far larger"),
    ],
)
def test_decode_recording_refuses_a_layout_that_does_not_belong(layout, expected):
    import korvelquor_capture as kc

    payload = np.frombuffer(basic(0, (1, 2)), np.uint8)
    with pytest.raises(ValueError, match=expected):
        kc.decode_recording(
            "basic",
            payload,
            np.array([0, len(payload)], np.uint64),
            np.zeros(1, np.uint64),
            np.zeros(1, np.int64),
            layout=layout,
        )


def test_replay_keeps_the_recorded_pace_scaled_by_its_speed(tmp_path, monkeypatch):
    # Fault: --speed X plays at 1/X of the asked speed. A clock of its own: no timing here.
    from korvel_sim import replay as rp

    times = [T0 + k * 40_000_000 for k in range(6)]  # 25 Hz, 0.2 s in all
    path = write_recording(
        tmp_path / "run.mcap", [(basic(k, (1, k)), t, (1, k)) for k, t in enumerate(times)], []
    )
    clock = SimpleNamespace(now=100.0)
    real_sleep = __import__("time").sleep

    def sleep(s):
        clock.now += s
        real_sleep(0)  # lets the reading thread run

    monkeypatch.setattr(
        rp,
        "time",
        SimpleNamespace(perf_counter=lambda: clock.now, sleep=sleep, monotonic=lambda: clock.now),
    )
    for speed in (0.5, 4.0):
        clock.now = 100.0
        sent = []
        replay = rp.Replay(str(path), speed=speed)
        stop = __import__("threading").Event()
        replay.run(lambda stream, payload: sent.append(clock.now - 100.0), stop)
        expected = [(t - times[0]) / 1e9 / speed for t in times]
        assert sent == pytest.approx(expected, abs=0.06 / speed + 1e-9), speed


def _replayed(path, caplog):
    """What a replay of `path` publishes, as fast as it goes, and the lines it logs."""
    import threading
    from korvel_sim import replay as rp

    sent = []
    stop = threading.Event()
    caplog.clear()
    timer = threading.Timer(20.0, stop.set)  # a reading that hangs fails, not the suite
    timer.start()
    try:
        rp.Replay(str(path), speed=1e9).run(
            lambda stream, payload: sent.append((stream, bytes(payload))), stop
        )
    finally:
        timer.cancel()
    assert not stop.is_set(), "the replay did not end"
    return sent, [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]


def _damage_chunk(path, how, log_time):
    """Damages the chunk whose first message was received at `log_time`; returns where the
    chunk starts."""
    data = bytearray(path.read_bytes())
    at = 8
    while True:
        opcode, length = struct.unpack_from("<BQ", data, at)
        if opcode == 0x06 and struct.unpack_from("<Q", data, at + 9)[0] == log_time:
            break
        at += 9 + length
    if how == "cut":
        del data[at + 9 + length // 2 :]
    else:  # inside the compressed records, past the chunk's own fields
        data[at + 9 + length - 8] ^= 0x10
    path.write_bytes(bytes(data))
    return at


DAMAGED = 3  # in file order: extra sample 1, its chunk the one damaged
# compression, damage, the samples of the whole file that must go out, the warning
REPLAY_FILES = {
    "lz4 chunks": ("lz4", None, lambda whole: whole, None),
    "the folder of a split recording": (
        "zstd",
        None,
        lambda whole: whole,
        None,
        {"drains": 5, "split_seconds": 2e-5},
    ),
    "uncompressed chunks": ("none", None, lambda whole: whole, None),
    "cut inside a chunk": (
        "zstd",
        "cut",
        lambda whole: whole[:DAMAGED],
        r"cut short \(the file ends inside a record that starts at byte {at} "
        r"and announces \d+ bytes\); read every complete sample up to byte "
        r"{at} of \d+",
    ),
    "a byte flipped inside a zstd chunk": (
        "zstd",
        "flip",
        lambda whole: whole[:DAMAGED] + whole[DAMAGED + 1 :],
        r"complete \(\d+ bytes\); skipped 1 damaged record\(s\), the first at byte {at} .*",
    ),
    "a byte flipped inside an uncompressed chunk": (
        "none",
        "flip",
        lambda whole: whole[:DAMAGED] + whole[DAMAGED + 1 :],
        r"complete \(\d+ bytes\); skipped 1 damaged record\(s\), the first at byte {at} "
        r"\(a chunk whose content fails its CRC\)",
    ),
}


@pytest.mark.parametrize("case", REPLAY_FILES)
def test_replay_publishes_every_sound_sample_of_a_file_in_order(
    tmp_path, monkeypatch, caplog, case
):
    # Faults: a compression `korvelquor record --compression` writes not replayed; a damaged
    # chunk's samples published (its CRC unchecked) or the rest of the file dropped with it;
    # a file cut short replayed without a word, or ending the substitute with a traceback.
    import re
    from korvelquor_tools import writer

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per sample
    compression, damage, kept, warning, *split = REPLAY_FILES[case]
    b = [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(5)]
    e = [(extra(k), T0 + 10_000 * (k + 1) + 500, (1, k)) for k in range(5)]
    path = write_recording(tmp_path / "run.mcap", b, e, compression=compression, **dict(*split))
    whole, warnings = _replayed(path, caplog)
    assert [p for _, p in whole] == [p for pair in zip(b, e) for p in (pair[0][0], pair[1][0])]
    assert warnings == []
    if damage is None:
        return
    at = _damage_chunk(path, damage, e[DAMAGED // 2][1])
    sent, warnings = _replayed(path, caplog)
    assert sent == kept(whole)
    assert len(warnings) == 1 and re.fullmatch(
        re.escape(f"replay: {path}: ") + warning.format(at=at), warnings[0]
    ), warnings


def test_a_split_recording_keeps_its_newest_parts_and_refuses_a_stranger(tmp_path):
    # Faults: --keep deleting the wrong parts, or none; a part missing between two read on
    # without a word; a part of another robot read as if it belonged.
    import shutil
    from korvelquor_tools import RecordingError

    b = [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(12)]
    folder = write_recording(tmp_path / "ring.mcap", b, [], drains=12, split_seconds=1e-5, keep=3)
    names = sorted(os.listdir(folder))
    assert names == [f"ring_{k:06d}.mcap" for k in range(9, 12)]
    assert read_recording(folder).basic["seq"].tolist() == [9, 10, 11]

    os.unlink(os.path.join(folder, names[1]))
    with pytest.warns(UserWarning) as said:
        assert read_recording(folder).basic["seq"].tolist() == [9, 11]
    assert any("1 part(s) missing before it" in str(w.message) for w in said)
    assert any("1 sample(s) missing between them" in str(w.message) for w in said)

    other = write_recording(
        tmp_path / "other.mcap",
        b[:1],
        [],
        metadata={
            ff.META_RECORDING: {
                "format_version": ff.FORMAT_VERSION,
                "protocol_version": ff.PROTOCOL_VERSION,
                "serial": "XY-0z-999999",
            },
            ff.META_LAYOUT: ff.layout_to_metadata(LAYOUT),
        },
    )
    shutil.copy(other, os.path.join(folder, "ring_000012.mcap"))
    with (
        pytest.warns(UserWarning),
        pytest.raises(RecordingError, match=r"ring_000012.mcap: not a part of the recording "),
    ):
        read_recording(folder)


def _python_read(path):
    """Each stream's samples as the mcap package frames them, decoded in one block: the
    reference for the native reader. Extra rows take the latest decoded basic stamp read
    before them, else the recorded publish time."""
    import korvelquor_capture as kc
    from korvelquor_tools.reader import open_recording

    with open_recording(path) as rec:
        layout = rec.layout()
        samples = list(rec.samples())
    out = {}
    stamp = None
    rows = {"basic": [], "extra": []}
    stamps = {}
    for s in samples:
        rows[s.stream].append(s)
        if s.stream == "basic":
            one = kc.decode_recording(
                "basic",
                np.frombuffer(s.data, np.uint8),
                np.array([0, len(s.data)], np.uint64),
                np.zeros(1, np.uint64),
                np.zeros(1, np.int64),
                layout=layout,
            )
            if one.robot_time.shape[0]:
                stamp = tuple(one.robot_time[0])
        else:
            stamps[len(rows["extra"]) - 1] = stamp or divmod(s.publish_time, ff.NS)
    for stream, got in rows.items():
        offsets = np.zeros(len(got) + 1, np.uint64)
        np.cumsum([len(s.data) for s in got], out=offsets[1:])
        extra = {}
        if stream == "extra":
            extra["robot_time"] = np.array([stamps[i] for i in range(len(got))], np.int32).reshape(
                -1, 2
            )
        out[stream] = kc.decode_recording(
            stream,
            np.frombuffer(b"".join(s.data for s in got), np.uint8),
            offsets,
            np.arange(len(got), dtype=np.uint64),
            np.array([s.log_time for s in got], np.int64),
            layout=layout,
            **extra,
        )
    return out


@pytest.mark.parametrize(
    "block_rows,compression", [(1, "zstd"), (2, "lz4"), (10_000, "zstd"), (10_000, "none")]
)
def test_the_native_reader_gives_every_sample_as_the_python_path_does(
    tmp_path, monkeypatch, block_rows, compression
):
    # Faults: a sample lost or repeated at a block's edge; extra rows stamped from the wrong
    # basic sample across blocks; an undecodable payload dropped instead of listed; chunks of
    # a compression `korvelquor record --compression` writes skipped as damaged.
    from korvelquor_tools import writer
    from korvelquor_tools.decode import decoded_blocks
    from korvelquor_tools.reader import open_recording

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per message: blocks end anywhere
    b = [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(7)]
    b.insert(3, (b"\x01\x02\x03", T0 + 35_000, (0, 0)))
    e = [(extra(0), T0 + 500, (2, 3))] + [
        (extra(k), T0 + 10_000 * (k + 1) + 500, (1, k)) for k in range(1, 8)
    ]
    path = write_recording(tmp_path / "run.mcap", b, e, compression=compression)
    want = _python_read(path)
    with open_recording(path) as rec:
        got = {"basic": [], "extra": []}
        for stream, batch, _ in decoded_blocks(rec, block_rows=block_rows):
            got[stream].append(batch)
        assert rec.end.complete and not rec.end.skipped
    for stream in ff.STREAMS:
        for name in ("seq", "robot_time", "receive_time_ns", "undecodable_seq"):
            joined = np.concatenate([np.asarray(getattr(x, name)) for x in got[stream]])
            assert joined.tolist() == np.asarray(getattr(want[stream], name)).tolist(), (
                stream,
                name,
            )
    for group, columns in want["basic"].groups.items():
        q = np.concatenate([x.groups[group].q for x in got["basic"] if x.groups])
        assert q.tolist() == columns.q.tolist(), group


def _late_group(k, stamp):
    """Basic sample k that also names ARM_2 (4), a group the layout lacks: its Cartesian
    values become columns from that sample on."""
    from korvel_sim import records as r
    from korvel_sim.wire import encode

    cart = [r.BasicCartesianData(tcp_pose=[0.5, 0.25, k, 1.0, 0.0, 0.0, 0.0]) for _ in range(3)]
    return encode(
        r.AllBasicStreamData(
            joint_group_indices=[0, 3, 4],
            cartesian_data=cart,
            timestamp=stamp,
            joint_data=r.BasicJointData(
                **{
                    n: [k + j / 8 for j in range(JOINTS)]
                    for n in (
                        "q",
                        "theta",
                        "dq",
                        "dtheta",
                        "tau",
                        "tau_dot",
                        "tau_ext",
                        "tau_interact",
                        "temperature",
                    )
                }
            ),
        )
    )


def _unnamed_groups(k, stamp):
    """Basic sample k naming groups 7 and 9 beside ALL: numbers without a name."""
    from korvel_sim import records as r
    from korvel_sim.wire import encode

    cart = [r.BasicCartesianData(tcp_pose=[0.5, 0.25, k + i, 1.0, 0.0, 0.0, 0.0]) for i in range(3)]
    return encode(
        r.AllBasicStreamData(
            joint_group_indices=[0, 7, 9],
            cartesian_data=cart,
            timestamp=stamp,
            joint_data=r.BasicJointData(
                **{
                    n: [k + j / 8 for j in range(JOINTS)]
                    for n in (
                        "q",
                        "theta",
                        "dq",
                        "dtheta",
                        "tau",
                        "tau_dot",
                        "tau_ext",
                        "tau_interact",
                        "temperature",
                    )
                }
            ),
        )
    )


def _no_group(k, stamp):
    from korvel_sim import records as r
    from korvel_sim.wire import encode

    return encode(r.AllBasicStreamData(joint_group_indices=[], timestamp=stamp))


TABLE_CASES = {
    # basic samples (k -> payload), layout
    "every group in every block": (lambda k, s: basic(k, s), LAYOUT),
    "a group first named mid-file": (lambda k, s: (_late_group if k >= 4 else basic)(k, s), LAYOUT),
    "a group of zero joints": (
        lambda k, s: basic(k, s),
        {
            **LAYOUT,
            "group_names": {0: "ALL", 2: "ARMS", 3: "ARM_1"},
            "start_ids": {0: 0, 2: 3, 3: 0},
            "dofs": {0: JOINTS, 2: 0, 3: JOINTS},
        },
    ),
    "two groups without a name": (_unnamed_groups, LAYOUT),
    "samples that name no group": (
        _no_group,
        {**LAYOUT, "group_names": {}, "start_ids": {}, "dofs": {}},
    ),
}


@pytest.mark.parametrize("case", TABLE_CASES)
def test_read_recording_tables_are_the_batches_whatever_the_block_edges(
    tmp_path, monkeypatch, case
):
    # Faults: blocks joined out of order or one dropped; a group's columns shifted against
    # their names or mixed up with another field's; the rows of a group named only by later
    # blocks not NaN before it; dtypes or column order changing with the block size.
    import functools
    import pandas as pd
    from korvelquor_tools import export, tables, writer
    from korvelquor_tools.decode import decoded_blocks
    from korvelquor_tools.reader import open_recording

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per message: blocks end anywhere
    make, layout = TABLE_CASES[case]
    b = [(make(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(9)]
    b.insert(5, (b"\x01\x02\x03", T0 + 55_000, (0, 0)))
    e = [(extra(k), T0 + 10_000 * (k + 1) + 500, (1, k)) for k in range(7)]
    path = write_recording(tmp_path / "run.mcap", b, e, layout=layout)
    with open_recording(path) as rec:  # one block: the batches as the client's columns
        whole = {s: batch for s, batch, _ in decoded_blocks(rec, block_rows=1_000)}
    frames = {}
    counted = export._sample_counts
    # Tables sized from the file's sample counts, and (a file cut short has no summary)
    # joined from their blocks.
    for sized, block_rows in ((True, 1), (True, 3), (False, 1), (False, 3), (True, 1_000)):
        monkeypatch.setattr(
            export, "decoded_blocks", functools.partial(decoded_blocks, block_rows=block_rows)
        )
        monkeypatch.setattr(export, "_sample_counts", counted if sized else lambda path: None)
        frames[sized, block_rows] = read_recording(path)
    # The same batches split into parts (cut every 20 µs, between drains) read as one, as
    # their folder and as a list.
    parts = write_recording(tmp_path / "run", b, e, layout=layout, drains=5, split_seconds=2e-5)
    assert len(os.listdir(parts)) >= 3
    frames["parts"] = read_recording(parts)
    frames["list"] = read_recording(sorted(os.path.join(parts, n) for n in os.listdir(parts)))
    for stream, batch in whole.items():
        one = getattr(frames[True, 1_000], stream)
        assert len(one) == batch.rows
        assert one["seq"].tolist() == batch.seq.tolist()
        for group, values in batch.groups.items():
            for name in tables.STATE_FIELDS if stream == "basic" else tables.ACTION_FIELDS:
                wide = getattr(values, name)
                column = f"{tables.group_name(group)}.{name}"
                got = one[[f"{column}.{i}" for i in range(wide.shape[1])]]
                np.testing.assert_array_equal(got.to_numpy(), wide, err_msg=column)
        for key, read in frames.items():
            pd.testing.assert_frame_equal(
                getattr(read, stream), one, check_exact=True, obj=str(key)
            )
    if case == "a group first named mid-file":
        late = frames[True, 1].basic
        assert np.isnan(late["ARM_2.tcp_pose.2"].to_numpy()[:4]).all()
        assert late["ARM_2.tcp_pose.2"].tolist()[4:] == [4.0, 5.0, 6.0, 7.0, 8.0]
    if case == "a group of zero joints":
        basic_table = frames[True, 1].basic
        assert "ARMS.q.0" not in basic_table and "ARMS.tcp_pose.0" in basic_table


@pytest.mark.parametrize("indexed", [True, False], ids=["with its index", "cut short"])
def test_a_selection_reads_what_was_received_in_its_window_and_its_columns(
    tmp_path, monkeypatch, indexed
):
    # Faults: a chunk that holds samples of the window left out, or one past it read in; a
    # sample received at either end left out; a file without its index (cut short) giving
    # other rows than one with it; groups and fields picking other columns; iter_recording
    # losing or repeating a row at a window's edge.
    import pandas as pd
    from korvelquor_tools import iter_recording, writer

    monkeypatch.setattr(writer, "CHUNK_BYTES", 1)  # a chunk per sample: the window cuts chunks
    b = [(basic(k, (1, k)), T0 + 10_000 * (k + 1), (1, k)) for k in range(9)]
    e = [(extra(k), T0 + 10_000 * (k + 1) + 500, (1, k)) for k in range(7)]
    path = write_recording(tmp_path / "run.mcap", b, e)
    if not indexed:  # the summary and its index gone: the file ends after its data
        data = path.read_bytes()
        path.write_bytes(data[: struct.unpack_from("<Q", data, len(data) - 37 + 9)[0]])
    full = read_recording(path)
    assert full.end.complete == indexed and len(full.basic) == 9

    def received(table, lo, hi):
        t = table["receive_time_ns"].to_numpy() - (T0 + 10_000)
        return table[(t >= lo) & (t <= hi)].reset_index(drop=True)

    got = read_recording(path, start=2e-5, end=5e-5)  # from basic 2 to basic 5, both in
    for stream in ("basic", "extra"):
        want = received(getattr(full, stream), 20_000, 50_000)
        pd.testing.assert_frame_equal(getattr(got, stream), want, check_exact=True)
    assert got.basic["seq"].tolist() == [2, 3, 4, 5] and got.extra["seq"].tolist() == [2, 3, 4]

    picked = read_recording(path, groups=["ARM_1"], fields=["q", "digital_inputs"])
    columns = [c for c in full.basic.columns if c.split(".")[0] in ALWAYS_COLUMNS]
    columns += [c for c in full.basic.columns if c.startswith(("ARM_1.q.", "digital_inputs."))]
    pd.testing.assert_frame_equal(picked.basic, full.basic[columns], check_exact=True)
    with pytest.raises(RecordingError, match="no joint group ARM_7 in the recording; it has"):
        read_recording(path, groups=["ARM_7"])

    windows = list(iter_recording(path, seconds=3e-5))
    assert [w.basic["seq"].tolist() for w in windows] == [[0, 1, 2], [3, 4, 5], [6, 7, 8]]
    joined = pd.concat([w.extra for w in windows], ignore_index=True)
    pd.testing.assert_frame_equal(joined, full.extra, check_exact=True)


@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_the_fuzz_seeds_are_whole_recordings_of_their_compression(compression):
    # Fault: seeds (tests/fuzz/recording_seeds.py) that are not what they are named, so that
    # the fuzz target never starts from chunks of one of the compressions the recorder writes.
    from mcap.records import Chunk
    from mcap.stream_reader import StreamReader

    path = Path(__file__).parents[1] / "fuzz" / "corpus" / "recording" / f"{compression}.mcap"
    with open(path, "rb") as f:
        chunks = [
            r.compression for r in StreamReader(f, emit_chunks=True).records if isinstance(r, Chunk)
        ]
    assert len(chunks) > 1 and set(chunks) == {"" if compression == "none" else compression}
    t = read_recording(path)
    assert t.end.clean and len(t.basic) == len(t.extra) == 6
