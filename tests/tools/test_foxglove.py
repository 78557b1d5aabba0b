"""The Foxglove side of recordings and of the live bridge, read by independent clients.

A recording of the two-arm substitute (100 samples a second) and its conversion at full
rate are read back with the `mcap` reader (CRCs checked, JSON and protobuf decoders from the
schemas in the file) and with @mcap/core from npm; every decoded message must hold the
values read_recording gives for its sample, the raw channels the exact bytes. The live
bridge is read with @foxglove/ws-protocol: while the robot is frozen, the last message of
every channel must hold what states()/actions() give. A recording made here without a robot
holds what the substitute never sends: groups named by some samples only, group numbers
without a name, values that are not finite, a sample that does not fit the layout."""

import base64
import importlib.util
import json
import math
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections import defaultdict, namedtuple
from pathlib import Path

import numpy as np
import pytest
from mcap.decoder import DecoderFactory as McapDecoderFactory
from mcap.reader import make_reader
from mcap_protobuf.decoder import DecoderFactory as ProtobufDecoderFactory

import korvelquor
from conftest import REPO, korvelquor_cmd, tool_env, unique_serial
from korvelquor_tools import fileformat as ff
from korvelquor_tools import read_recording
from korvelquor_tools.tables import ACTION_FIELDS, STATE_FIELDS
from korvelquor_tools.viewable import robot_ns

JS = REPO / "tests" / "js"
NODE = shutil.which("node")
needs_node = pytest.mark.skipif(
    NODE is None or not (JS / "node_modules").is_dir(),
    reason="node and tests/js/node_modules (scripts/setup) needed",
)

# topic suffix -> (schema name, schema encoding, message encoding), as viewable.py documents
KINDS = {
    "states": ("korvelquor.GroupStates", "jsonschema", "json"),
    "actions": ("korvelquor.GroupActions", "jsonschema", "json"),
    "joint_states": ("foxglove.JointStates", "protobuf", "protobuf"),
    "tf": ("foxglove.FrameTransforms", "protobuf", "protobuf"),
    "io": ("korvelquor.DigitalIO", "jsonschema", "json"),
}
GROUP_KINDS = ("states", "actions", "joint_states", "tf")


Entry = namedtuple("Entry", "channel schema message decoded")


def _refuse(constant):
    raise ValueError(f"{constant} is not JSON")


def strict_json(data):
    """JSON as JSON.parse takes it: NaN, Infinity and -Infinity refused."""
    return json.loads(data, parse_constant=_refuse)


class _JsonDecoders(McapDecoderFactory):
    def decoder_for(self, message_encoding, schema):
        if message_encoding == ff.MESSAGE_ENCODING:
            return bytes  # the raw channels: the payload as it is
        return strict_json if message_encoding == "json" else None


def expected_topics(groups):
    topics = {f"/korvelquor/{g}/{k}": KINDS[k] for g in groups for k in GROUP_KINDS}
    topics["/korvelquor/io"] = KINDS["io"]
    return topics


@pytest.fixture(scope="module")
def files(two_arm_sim, tmp_path_factory):
    folder = tmp_path_factory.mktemp("fox")
    full, slow = folder / "full.mcap", folder / "slow.mcap"
    # Recorded at the default rate (decimated across the recorder's 100 ms drains), then
    # converted at full rate.
    r = korvelquor_cmd("record", "--serial", two_arm_sim.serial, "--out", slow, "--duration", 1.0)
    assert r.returncode == 0, r.stderr
    r = korvelquor_cmd("export", slow, "--to", "foxglove", full, "--view-rate", "full")
    assert r.returncode == 0, r.stderr
    return {"full": full, "slow": slow, "tables": read_recording(slow)}


# Per sample, the groups it names. ALL (0) and ARM_1 (3) are the layout's; ARM_2 (4) comes
# part-way and leaves out a sample; 7 and 9 are numbers without a name. Basic sample 3 has a
# NaN joint, 5 a NaN pose and an infinite wrench, 6 a joint more than the layout (it does not
# fit); extra sample 2 an infinite joint.
ODD_BASIC = [
    (0, 3),
    (0, 3),
    (0, 3, 7),
    (0, 3, 7),
    (0, 3, 4),
    (0, 3, 4),
    (0, 3, 4),
    (0, 3, 9),
    (0, 3, 4, 9),
    (0, 3, 4),
]
ODD_EXTRA = [(0, 3), (0, 3, 7), (0, 3, 4), (0, 3), (0, 3, 4, 9)]
NOT_FITTING = 6
ODD_NAMES = {0: "ALL", 3: "ARM_1", 4: "ARM_2", 7: "GROUP_7", 9: "GROUP_9"}
JOINT_LISTS = (
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


def _odd_basic(k, groups, joints):
    from korvel_sim import records as r
    from korvel_sim.wire import encode

    lists = {n: [k + j / 8 for j in range(joints + (k == NOT_FITTING))] for n in JOINT_LISTS}
    cart = {g: r.BasicCartesianData(tcp_pose=[g, 0.25, k, 1.0, 0.0, 0.0, 0.0]) for g in groups}
    if k == 3:
        lists["q"][1] = math.nan
    if k == 5:
        cart[4].tcp_pose[2] = math.nan
        cart[4].tcp_wrench_local[0] = math.inf
    return encode(
        r.AllBasicStreamData(
            joint_group_indices=list(groups),
            joint_data=r.BasicJointData(**lists),
            cartesian_data=[cart[g] for g in groups],
            timestamp=(1, k),
        )
    )


def _odd_extra(k, groups, joints):
    from korvel_sim import records as r
    from korvel_sim.wire import encode

    q_d = [j + k / 8 for j in range(joints)]
    if k == 2:
        q_d[0] = math.inf
    return encode(
        r.AllExtraStreamData(
            joint_group_indices=list(groups),
            joint_data=r.ExtraJointData(q_d=q_d, dq_d=[0.0] * joints, tau_d=[0.0] * joints),
            cartesian_data=[
                r.ExtraCartesianData(tcp_pose_d=[g, 0.0, k, 1.0, 0.0, 0.0, 0.0]) for g in groups
            ],
        )
    )


@pytest.fixture(scope="module")
def odd(tmp_path_factory):
    """The recording of ODD_BASIC and ODD_EXTRA, written here (as tests/recordings does,
    with its writer) and converted at full rate."""
    spec = importlib.util.spec_from_file_location(
        "offline_recordings", REPO / "tests" / "recordings" / "conftest.py"
    )
    offline = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(offline)
    folder = tmp_path_factory.mktemp("odd")
    t0 = 1_700_000_000_000_000_000
    b = [
        (_odd_basic(k, g, offline.JOINTS), t0 + 10_000 * (k + 1), (1, k))
        for k, g in enumerate(ODD_BASIC)
    ]
    e = [
        (_odd_extra(k, g, offline.JOINTS), t0 + 10_000 * (k + 1) + 500, (1, k))
        for k, g in enumerate(ODD_EXTRA)
    ]
    source = offline.write_recording(folder / "odd.mcap", b, e)
    out = folder / "odd-view.mcap"
    r = korvelquor_cmd("export", source, "--to", "foxglove", out, "--view-rate", "full")
    assert r.returncode == 0, r.stderr
    return {"odd": out, "tables": read_recording(source)}


def read_all(path):
    """Every message of the file: topic -> list of (channel, schema, message, decoded)."""
    out = defaultdict(list)
    with open(path, "rb") as f:
        reader = make_reader(
            f, validate_crcs=True, decoder_factories=[_JsonDecoders(), ProtobufDecoderFactory()]
        )
        for schema, channel, message, decoded in reader.iter_decoded_messages(log_time_order=False):
            out[channel.topic].append(Entry(channel, schema, message, decoded))
    return out


def raw_records(messages, serial):
    return [
        (s, m.log_time, m.publish_time, m.sequence, m.data)
        for s in ff.STREAMS
        for _, _, m, _ in messages[ff.topic(serial, s)]
    ]


def kept(table, rate_hz):
    """Row positions of a table that make messages: layout fits, a robot time, and at a
    rate the first sample of each period of robot time."""
    t = robot_ns(table[["robot_sec", "robot_nsec"]].to_numpy())
    rows = np.flatnonzero(table.layout_ok.to_numpy() & (t > 0))
    if rate_hz is None:
        return rows
    bucket = t[rows] // int(1e9 / rate_hz)
    return rows[np.r_[True, bucket[1:] != bucket[:-1]]]


def group_values(table, group, fields):
    """Per field, the group's values of every row as lists (row position -> values)."""
    return {f: table.filter(regex=rf"^{group}\.{f}\.\d+$").to_numpy(float).tolist() for f in fields}


@pytest.mark.parametrize("which,rate", [("full", None), ("slow", 100.0)])
def test_decoded_channels_hold_the_samples_values(files, two_arm_sim, which, rate):
    """Schemas and encodings as documented; per channel one message per kept sample, with
    exactly read_recording's values for it; raw channels schema-less and byte-identical."""
    tables = files["tables"]
    basic, extra = tables.basic, tables.extra
    groups = sorted({c.split(".")[0] for c in basic.columns if c.endswith(".q.0")})
    assert {"ARM_1", "ARM_2"} <= set(groups)
    messages = read_all(files[which])

    found = {
        t: (s.name, s.encoding, c.message_encoding)
        for t, entries in messages.items()
        for c, s, _, _ in entries[:1]
        if t.startswith("/korvelquor")
    }
    assert found == expected_topics(groups)

    serial = tables.metadata[ff.META_RECORDING]["serial"]
    for stream in ff.STREAMS:
        channel, schema, _, _ = messages[ff.topic(serial, stream)][0]
        assert (channel.schema_id, schema, channel.message_encoding) == (
            0,
            None,
            ff.MESSAGE_ENCODING,
        )
    source = read_all(files["slow"])
    assert raw_records(messages, serial) == raw_records(source, serial)

    basic_rows, extra_rows = kept(basic, rate), kept(extra, rate)
    position = {
        "basic": {s: i for i, s in enumerate(basic.seq.tolist())},
        "extra": {s: i for i, s in enumerate(extra.seq.tolist())},
    }
    at_time = {
        t: i for i, t in enumerate(robot_ns(basic[["robot_sec", "robot_nsec"]].to_numpy()).tolist())
    }
    stamps = {
        s: t[["robot_sec", "robot_nsec"]].to_numpy().tolist()
        for s, t in (("basic", basic), ("extra", extra))
    }
    for group in groups:
        states = messages[f"/korvelquor/{group}/states"]
        actions = messages[f"/korvelquor/{group}/actions"]
        assert [e.decoded["seq"] for e in states] == basic.seq.to_numpy()[basic_rows].tolist()
        assert [e.decoded["seq"] for e in actions] == extra.seq.to_numpy()[extra_rows].tolist()
        for stream, entries, table, fields in (
            ("basic", states, basic, STATE_FIELDS),
            ("extra", actions, extra, ACTION_FIELDS),
        ):
            want = group_values(table, group, fields)
            for e in entries:
                i = position[stream][e.decoded["seq"]]
                for name in fields:
                    assert e.decoded[name] == want[name][i], (stream, name)
                ts = e.decoded["timestamp"]
                assert [ts["sec"], ts["nsec"]] == stamps[stream][i]
                assert e.message.log_time == ts["sec"] * 10**9 + ts["nsec"]

        joints = messages[f"/korvelquor/{group}/joint_states"]
        frames = messages[f"/korvelquor/{group}/tf"]
        assert len(joints) == len(frames) == len(basic_rows)
        want = group_values(basic, group, ("q", "dq", "tau", "flange_pose", "tcp_pose"))
        names = [f"{group}.{i}" for i in range(len(want["q"][0]))]
        for j, tf in zip(joints, frames):
            stamp = j.decoded.timestamp.ToNanoseconds()
            i = at_time[stamp]
            got = j.decoded.joints
            assert [x.name for x in got] == names
            assert [x.position for x in got] == want["q"][i]
            assert [x.velocity for x in got] == want["dq"][i]
            assert [x.effort for x in got] == want["tau"][i]
            poses = {t.child_frame_id: t for t in tf.decoded.transforms}
            for frame, field in (("flange", "flange_pose"), ("tcp", "tcp_pose")):
                t = poses[f"{group}/{frame}"]
                assert t.parent_frame_id == "world"
                assert t.timestamp.ToNanoseconds() == stamp
                assert [
                    t.translation.x,
                    t.translation.y,
                    t.translation.z,
                    t.rotation.w,
                    t.rotation.x,
                    t.rotation.y,
                    t.rotation.z,
                ] == want[field][i]

    io = [e.decoded for e in messages["/korvelquor/io"]]
    assert [m["seq"] for m in io] == basic.seq.to_numpy()[basic_rows].tolist()
    flags = {
        name: basic.filter(regex=rf"^{name}\.\d+$").to_numpy(bool).tolist()
        for name in ("digital_inputs", "digital_outputs", "safety_inputs")
    }
    for name in ("estop_released", "enabling_device_on"):
        flags[name] = basic[name].to_numpy(bool).tolist()
    for m in io:
        i = position["basic"][m["seq"]]
        for name, values in flags.items():
            assert m[name] == values[i], name


def test_groups_some_samples_name_and_values_not_finite(odd):
    """A group has a message for each sample that names it and fits the layout, none for the
    others; a group number without a name has topics and frames of its own (GROUP_<n>); a
    value that is not finite is null in JSON, where the schema allows it, and kept as it is
    in protobuf; every other value is read_recording's."""
    messages = read_all(odd["odd"])  # JSON as strictly as JSON.parse reads it
    found = {
        t: (s.name, s.encoding, c.message_encoding)
        for t, entries in messages.items()
        for c, s, _, _ in entries[:1]
        if t.startswith("/korvelquor")
    }
    assert found == expected_topics(ODD_NAMES.values())

    def naming(samples, number, skip=()):
        return [k for k, groups in enumerate(samples) if number in groups and k not in skip]

    fitting = [k for k in range(len(ODD_BASIC)) if k != NOT_FITTING]
    assert [e.decoded["seq"] for e in messages["/korvelquor/io"]] == fitting
    for number, group in ODD_NAMES.items():
        basic = naming(ODD_BASIC, number, skip=(NOT_FITTING,))
        topic = f"/korvelquor/{group}"
        assert [e.decoded["seq"] for e in messages[f"{topic}/states"]] == basic, group
        assert [e.decoded.timestamp.ToNanoseconds() for e in messages[f"{topic}/joint_states"]] == [
            10**9 + k for k in basic
        ], group
        for e in messages[f"{topic}/tf"]:
            assert [t.child_frame_id for t in e.decoded.transforms] == [
                f"{group}/flange",
                f"{group}/tcp",
            ]
        assert [
            e.decoded.transforms[0].timestamp.ToNanoseconds() for e in messages[f"{topic}/tf"]
        ] == [10**9 + k for k in basic], group
        assert [e.decoded["seq"] for e in messages[f"{topic}/actions"]] == naming(
            ODD_EXTRA, number
        ), group
        # Each group's own values, not another's.
        assert {e.decoded["tcp_pose"][0] for e in messages[f"{topic}/states"]} == {number}
        assert {e.decoded.transforms[1].translation.x for e in messages[f"{topic}/tf"]} == {number}

    tables = odd["tables"]
    for table, kind, fields in (
        (tables.basic, "states", STATE_FIELDS),
        (tables.extra, "actions", ACTION_FIELDS),
    ):
        row = {s: i for i, s in enumerate(table.seq.tolist())}
        for group in ("ALL", "ARM_1", "ARM_2"):
            want = group_values(table, group, fields)
            for e in messages[f"/korvelquor/{group}/{kind}"]:
                i = row[e.decoded["seq"]]
                for name in fields:
                    assert e.decoded[name] == [
                        v if math.isfinite(v) else None for v in want[name][i]
                    ], (group, name)

    def at(topic, seq):
        return next(e.decoded for e in messages[topic] if e.decoded["seq"] == seq)

    assert at("/korvelquor/ARM_1/states", 3)["q"][1] is None
    assert at("/korvelquor/ARM_2/states", 5)["tcp_pose"][2] is None
    assert at("/korvelquor/ARM_2/states", 5)["tcp_wrench_local"][0] is None
    assert at("/korvelquor/ALL/actions", 2)["q_d"][0] is None
    for topic, entries in messages.items():
        if entries[0].channel.message_encoding == "json":
            schema = json.loads(entries[0].schema.data)["properties"]
            for e in entries:
                for name, value in e.decoded.items():
                    if isinstance(value, list) and None in value:
                        assert "null" in schema[name]["items"]["type"], (topic, name)
    joints = {
        e.decoded.timestamp.ToNanoseconds(): e.decoded.joints
        for e in messages["/korvelquor/ARM_1/joint_states"]
    }
    assert math.isnan(joints[10**9 + 3][1].position)
    frames = {
        e.decoded.transforms[1].timestamp.ToNanoseconds(): e.decoded.transforms[1]
        for e in messages["/korvelquor/ARM_2/tf"]
    }
    assert math.isnan(frames[10**9 + 5].translation.z)


def node(*args, timeout=60):
    return subprocess.run(
        [NODE, *map(str, args)], capture_output=True, text=True, timeout=timeout, cwd=JS
    )


@needs_node
@pytest.mark.parametrize("fixture,which", [("files", "slow"), ("odd", "odd")])
def test_mcap_core_reads_the_recording(request, tmp_path, fixture, which):
    """@mcap/core (npm) reads the file with every chunk CRC checked and every JSON message
    through JSON.parse, and counts what the `mcap` reader counts; a one-byte corruption
    inside a chunk is refused by both."""
    path = request.getfixturevalue(fixture)[which]
    messages = read_all(path)
    r = node("validate_mcap.mjs", path)
    assert r.returncode == 0, r.stderr
    seen = json.loads(r.stdout)
    assert seen["profile"] == ff.PROFILE
    assert {t: v["count"] for t, v in seen["topics"].items()} == {
        t: len(v) for t, v in messages.items()
    }
    total = sum(len(v) for v in messages.values())
    assert (
        seen["total"] == seen["statistics"]["messageCount"] == seen["streamed"]["messages"] == total
    )
    assert seen["topics"]["/korvelquor/ARM_1/joint_states"]["schemaName"] == "foxglove.JointStates"

    bad = tmp_path / "bad.mcap"
    data = bytearray(path.read_bytes())
    with open(path, "rb") as f:  # inside a chunk's compressed records, not between
        chunk = make_reader(f).get_summary().chunk_indexes[0]  # chunks (index records)
    data[chunk.chunk_start_offset + chunk.chunk_length // 2] ^= 0x40
    bad.write_bytes(bytes(data))
    r = node("validate_mcap.mjs", bad)
    assert r.returncode == 1 and "validate_mcap:" in r.stderr, r
    with pytest.raises(Exception):
        read_all(bad)


class Live:
    """`korvelquor live` in the background, on a free port; url known once it serves."""

    def __init__(self, serial, *args):
        self.proc = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "korvelquor_tools",
                "live",
                "--serial",
                serial,
                "--port",
                "0",
                *args,
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=tool_env(),
        )
        for _ in range(20):  # the client's own log lines come first
            line = self.proc.stdout.readline()  # bounded: connecting times out
            if " at ws://" in line or not line:
                break
        assert " at ws://" in line, (line, self.proc.poll())
        self.url = line.split(" at ", 1)[1].split(": in Foxglove", 1)[0]

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.communicate(timeout=30)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate(timeout=30)


def decode_live(channel, data):
    if channel["encoding"] == "json":
        return json.loads(data)
    from foxglove_schemas_protobuf.FrameTransforms_pb2 import FrameTransforms
    from foxglove_schemas_protobuf.JointStates_pb2 import JointStates

    msg = {"foxglove.JointStates": JointStates, "foxglove.FrameTransforms": FrameTransforms}[
        channel["schemaName"]
    ]()
    msg.ParseFromString(data)
    return msg


@pytest.fixture
def slow_two_arm_sim():
    """A robot at 200 Hz: at 1 kHz the bridge's full rate (21 000 messages a second) is more
    than a busy 2-core machine serves, and samples the bridge never got are not its to send."""
    from korvel_sim.testing import SimProcess

    with SimProcess(unique_serial("LIVE"), layout="two-arm", rate=200) as sim:
        yield sim


@needs_node
def test_live_bridge_serves_what_the_client_sees(slow_two_arm_sim):
    """Advertised topics and schemas as documented; with the robot frozen, each channel's
    last message equals states()/actions()/the digital I/O of the frozen sample; after the
    robot resumes, fresh messages arrive on the same connection-less server."""
    two_arm_sim = slow_two_arm_sim
    client = korvelquor.Client(two_arm_sim.serial, verbose=False)
    control = two_arm_sim.control()
    live = Live(two_arm_sim.serial, "--rate", "full")
    try:
        # Until the bridge has sent the frozen sample and been quiet for 2 s after: on a busy
        # machine the bridge may lag seconds behind the robot at full rate.
        listener = subprocess.Popen(
            [
                NODE,
                "live_client.mjs",
                live.url,
                "--per",
                "1",
                "--last",
                "--quiet",
                "2",
                "--seconds",
                "60",
            ],
            cwd=JS,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        time.sleep(3.0)  # connected and subscribed
        control.set(silent_basic=True, silent_extra=True)
        time.sleep(0.5)
        states, actions = client.states(), client.actions()
        sec, nsec = next(iter(states.values())).timestamp
        out, err = listener.communicate(input=f"{sec * 10**9 + nsec}\n", timeout=90)
        control.clear("silent_basic")
        control.clear("silent_extra")
        assert listener.returncode == 0, err
        seen = json.loads(out)
        groups = sorted(g.name for g in states)
        found = {
            c["topic"]: (c["schemaName"], c["schemaEncoding"], c["encoding"])
            for c in seen["channels"]
        }
        assert found == expected_topics(groups)

        channels = {c["topic"]: c for c in seen["channels"]}
        stamp = next(iter(states.values())).timestamp
        for topic, got in seen["messages"].items():
            assert got, f"no message on {topic}"
            msg = decode_live(channels[topic], base64.b64decode(got[-1]["data"]))
            kind = topic.rsplit("/", 1)[1]
            if kind == "io":
                assert (msg["timestamp"]["sec"], msg["timestamp"]["nsec"]) == tuple(stamp)
                continue
            group = topic.split("/")[2]
            g = next(x for x in states if x.name == group)
            s, a = states[g], actions[g]
            if kind == "states":
                for name in STATE_FIELDS:
                    assert msg[name] == list(getattr(s, name)), (topic, name)
            elif kind == "actions":
                for name in ACTION_FIELDS:
                    assert msg[name] == list(getattr(a, name)), (topic, name)
            elif kind == "joint_states":
                assert [j.position for j in msg.joints] == list(s.q)
                assert [j.velocity for j in msg.joints] == list(s.dq)
                assert [j.effort for j in msg.joints] == list(s.tau)
            else:
                tcp = next(t for t in msg.transforms if t.child_frame_id == f"{group}/tcp")
                assert [
                    tcp.translation.x,
                    tcp.translation.y,
                    tcp.translation.z,
                    tcp.rotation.w,
                    tcp.rotation.x,
                    tcp.rotation.y,
                    tcp.rotation.z,
                ] == list(s.tcp_pose)
            if kind != "actions":
                assert int(got[-1]["logTime"]) == stamp[0] * 10**9 + stamp[1]

        frozen_ns = stamp[0] * 10**9 + stamp[1]
        again = node(
            "live_client.mjs", live.url, "--per", "1", "--seconds", "15", "--expect", len(found)
        )
        assert again.returncode == 0, again.stderr
        resumed = json.loads(again.stdout)["messages"]
        assert all(int(m[0]["logTime"]) > frozen_ns for m in resumed.values()), resumed
        status_out, status_err = live.stop()
        assert live.proc.returncode == 0, status_err
        assert "live: stopped by Ctrl-C" in status_out
    finally:
        control.clear("silent_basic")
        control.clear("silent_extra")
        live.kill()


def _busy_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    return s


@pytest.mark.parametrize(
    "case", ["port in use", "no robot", "rate zero", "rate negative", "rate not a number"]
)
def test_live_bad_input(case):
    """One clear line on stderr, exit status 1, no traceback."""
    busy = _busy_port()
    try:
        args, expected = {
            "port in use": (
                ["--serial", "KQ NOBODY", "--port", busy.getsockname()[1]],
                "live: cannot serve on 127.0.0.1:",
            ),
            "no robot": (
                ["--serial", f"KQ NOBODY-{time.time_ns()}", "--port", 0],
                "live: cannot connect to [KQ NOBODY-",
            ),
            "rate zero": (["--serial", "X", "--rate", "0"], "live: --rate must be a positive"),
            "rate negative": (["--serial", "X", "--rate", "-5"], "live: --rate must be a positive"),
            "rate not a number": (
                ["--serial", "X", "--rate", "fast"],
                "live: --rate must be a positive",
            ),
        }[case]
        r = korvelquor_cmd("live", *args, timeout=60)
    finally:
        busy.close()
    lines = r.stderr.strip().splitlines()
    assert r.returncode == 1 and len(lines) == 1 and lines[0].startswith(expected), r
