"""The Foxglove side of recordings and of the live bridge, read by independent clients.

A recording of the two-arm substitute (100 samples a second) and its conversion at full
rate are read back with the `mcap` reader (CRCs checked, JSON and protobuf decoders from the
schemas in the file) and with @mcap/core from npm; every decoded message must hold the
values read_recording gives for its sample, the raw channels the exact bytes. The live
bridge is read with @foxglove/ws-protocol: while the robot is frozen, the last message of
every channel must hold what states()/actions() give."""
import base64
import json
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
needs_node = pytest.mark.skipif(NODE is None or not (JS / "node_modules").is_dir(),
                                reason="node and tests/js/node_modules (scripts/setup) needed")

# topic suffix -> (schema name, schema encoding, message encoding), as viewable.py documents
KINDS = {"states": ("korvelquor.GroupStates", "jsonschema", "json"),
         "actions": ("korvelquor.GroupActions", "jsonschema", "json"),
         "joint_states": ("foxglove.JointStates", "protobuf", "protobuf"),
         "tf": ("foxglove.FrameTransforms", "protobuf", "protobuf"),
         "io": ("korvelquor.DigitalIO", "jsonschema", "json")}
GROUP_KINDS = ("states", "actions", "joint_states", "tf")


Entry = namedtuple("Entry", "channel schema message decoded")


class _JsonDecoders(McapDecoderFactory):
    def decoder_for(self, message_encoding, schema):
        if message_encoding == ff.MESSAGE_ENCODING:
            return bytes  # the raw channels: the payload as it is
        return json.loads if message_encoding == "json" else None


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
    r = korvelquor_cmd("record", "--serial", two_arm_sim.serial, "--out", slow, "--duration",
                       1.0)
    assert r.returncode == 0, r.stderr
    r = korvelquor_cmd("export", slow, "--to", "foxglove", full, "--view-rate", "full")
    assert r.returncode == 0, r.stderr
    return {"full": full, "slow": slow, "tables": read_recording(slow)}


def read_all(path):
    """Every message of the file: topic -> list of (channel, schema, message, decoded)."""
    out = defaultdict(list)
    with open(path, "rb") as f:
        reader = make_reader(f, validate_crcs=True,
                             decoder_factories=[_JsonDecoders(), ProtobufDecoderFactory()])
        for schema, channel, message, decoded in reader.iter_decoded_messages(
                log_time_order=False):
            out[channel.topic].append(Entry(channel, schema, message, decoded))
    return out


def raw_records(messages, serial):
    return [(s, m.log_time, m.publish_time, m.sequence, m.data)
            for s in ff.STREAMS for _, _, m, _ in messages[ff.topic(serial, s)]]


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
    return {f: table.filter(regex=rf"^{group}\.{f}\.\d+$").to_numpy(float).tolist()
            for f in fields}


@pytest.mark.parametrize("which,rate", [("full", None), ("slow", 100.0)])
def test_decoded_channels_hold_the_samples_values(files, two_arm_sim, which, rate):
    """Schemas and encodings as documented; per channel one message per kept sample, with
    exactly read_recording's values for it; raw channels schema-less and byte-identical."""
    tables = files["tables"]
    basic, extra = tables.basic, tables.extra
    groups = sorted({c.split(".")[0] for c in basic.columns if c.endswith(".q.0")})
    assert {"ARM_1", "ARM_2"} <= set(groups)
    messages = read_all(files[which])

    found = {t: (s.name, s.encoding, c.message_encoding)
             for t, entries in messages.items() for c, s, _, _ in entries[:1]
             if t.startswith("/korvelquor")}
    assert found == expected_topics(groups)

    serial = tables.metadata[ff.META_RECORDING]["serial"]
    for stream in ff.STREAMS:
        channel, schema, _, _ = messages[ff.topic(serial, stream)][0]
        assert (channel.schema_id, schema, channel.message_encoding) == \
            (0, None, ff.MESSAGE_ENCODING)
    source = read_all(files["slow"])
    assert raw_records(messages, serial) == raw_records(source, serial)

    basic_rows, extra_rows = kept(basic, rate), kept(extra, rate)
    position = {"basic": {s: i for i, s in enumerate(basic.seq.tolist())},
                "extra": {s: i for i, s in enumerate(extra.seq.tolist())}}
    at_time = {t: i for i, t in enumerate(
        robot_ns(basic[["robot_sec", "robot_nsec"]].to_numpy()).tolist())}
    stamps = {s: t[["robot_sec", "robot_nsec"]].to_numpy().tolist()
              for s, t in (("basic", basic), ("extra", extra))}
    for group in groups:
        states = messages[f"/korvelquor/{group}/states"]
        actions = messages[f"/korvelquor/{group}/actions"]
        assert [e.decoded["seq"] for e in states] == basic.seq.to_numpy()[basic_rows].tolist()
        assert [e.decoded["seq"] for e in actions] == extra.seq.to_numpy()[extra_rows].tolist()
        for stream, entries, table, fields in (("basic", states, basic, STATE_FIELDS),
                                               ("extra", actions, extra, ACTION_FIELDS)):
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
                assert [t.translation.x, t.translation.y, t.translation.z, t.rotation.w,
                        t.rotation.x, t.rotation.y, t.rotation.z] == want[field][i]

    io = [e.decoded for e in messages["/korvelquor/io"]]
    assert [m["seq"] for m in io] == basic.seq.to_numpy()[basic_rows].tolist()
    flags = {name: basic.filter(regex=rf"^{name}\.\d+$").to_numpy(bool).tolist()
             for name in ("digital_inputs", "digital_outputs", "safety_inputs")}
    for name in ("estop_released", "enabling_device_on"):
        flags[name] = basic[name].to_numpy(bool).tolist()
    for m in io:
        i = position["basic"][m["seq"]]
        for name, values in flags.items():
            assert m[name] == values[i], name


def node(*args, timeout=60):
    return subprocess.run([NODE, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=JS)


@needs_node
def test_mcap_core_reads_the_recording(files, tmp_path):
    """@mcap/core (npm) reads the file with every chunk CRC checked and counts what the
    `mcap` reader counts; a one-byte corruption inside a chunk is refused by both."""
    messages = read_all(files["slow"])
    r = node("validate_mcap.mjs", files["slow"])
    assert r.returncode == 0, r.stderr
    seen = json.loads(r.stdout)
    assert seen["profile"] == ff.PROFILE
    assert {t: v["count"] for t, v in seen["topics"].items()} == \
        {t: len(v) for t, v in messages.items()}
    total = sum(len(v) for v in messages.values())
    assert seen["total"] == seen["statistics"]["messageCount"] == \
        seen["streamed"]["messages"] == total
    assert seen["topics"]["/korvelquor/ARM_1/joint_states"]["schemaName"] == \
        "foxglove.JointStates"

    bad = tmp_path / "bad.mcap"
    data = bytearray(files["slow"].read_bytes())
    with open(files["slow"], "rb") as f:  # inside a chunk's compressed records, not between
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
            [sys.executable, "-m", "korvelquor_tools", "live", "--serial", serial,
             "--port", "0", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=tool_env())
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
        channel["schemaName"]]()
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
        listener = subprocess.Popen([NODE, "live_client.mjs", live.url, "--per", "1", "--last",
                                     "--quiet", "2", "--seconds", "60"], cwd=JS,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
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
        found = {c["topic"]: (c["schemaName"], c["schemaEncoding"], c["encoding"])
                 for c in seen["channels"]}
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
                assert [tcp.translation.x, tcp.translation.y, tcp.translation.z,
                        tcp.rotation.w, tcp.rotation.x, tcp.rotation.y, tcp.rotation.z] == \
                    list(s.tcp_pose)
            if kind != "actions":
                assert int(got[-1]["logTime"]) == stamp[0] * 10**9 + stamp[1]

        frozen_ns = stamp[0] * 10**9 + stamp[1]
        again = node("live_client.mjs", live.url, "--per", "1", "--seconds", "15",
                     "--expect", len(found))
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


@pytest.mark.parametrize("case", ["port in use", "no robot", "rate zero", "rate negative",
                                  "rate not a number"])
def test_live_bad_input(case):
    """One clear line on stderr, exit status 1, no traceback."""
    busy = _busy_port()
    try:
        args, expected = {
            "port in use": (["--serial", "KQ NOBODY", "--port", busy.getsockname()[1]],
                            "live: cannot serve on 127.0.0.1:"),
            "no robot": (["--serial", f"KQ NOBODY-{time.time_ns()}", "--port", 0],
                         "live: cannot connect to [KQ NOBODY-"),
            "rate zero": (["--serial", "X", "--rate", "0"], "live: --rate must be a positive"),
            "rate negative": (["--serial", "X", "--rate", "-5"],
                              "live: --rate must be a positive"),
            "rate not a number": (["--serial", "X", "--rate", "fast"],
                                  "live: --rate must be a positive"),
        }[case]
        r = korvelquor_cmd("live", *args, timeout=60)
    finally:
        busy.close()
    lines = r.stderr.strip().splitlines()
    assert r.returncode == 1 and len(lines) == 1 and lines[0].startswith(expected), r
