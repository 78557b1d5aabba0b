"""Decoded batches as messages a viewer knows (Foxglove): the viewable channels of a recording
and of the live bridge. Both take their messages from here, so a file and a live view hold
the same channels with the same bytes.

Per joint group G (its name, e.g. ARM_1; GROUP_<n>, e.g. GROUP_7, for a group number
korvelquor has no name for, so that two such groups never share a topic or frame), under the
topic prefix /korvelquor:

  /korvelquor/G/states        json  korvelquor.GroupStates    states() of one basic sample
  /korvelquor/G/actions       json  korvelquor.GroupActions   actions() of one extra sample
  /korvelquor/G/joint_states  protobuf foxglove.JointStates   q, dq, tau; joints "G.0", "G.1"..
  /korvelquor/G/tf            protobuf foxglove.FrameTransforms  world -> G/flange, world -> G/tcp
  /korvelquor/io              json  korvelquor.DigitalIO      digital I/O, e-stop, enabling device

Every message is stamped with the robot's time of its sample (the message's timestamp, and
the log time in a file); the extra stream's is the latest basic stamp at arrival, as
actions() gives it. A sample that did not fit the layout (states() would be empty) or has no
robot time yet makes no message, and a group makes none for a sample that does not name it
(states() would lack the group): the batch has no value for it there, its row is all NaN. At a
rate, a sample is kept when its robot time enters a new period of 1/rate seconds, so the kept
samples are whole samples, evenly spread.

JSON has no NaN or Infinity (JSON.parse refuses them), so the JSON channels write null for a
value that is not finite, and their schemas allow it. The protobuf channels carry such a
value as it is: a protobuf double holds NaN and the infinities exactly, and a joint or frame
the robot gave no number for then has none in the viewer either, rather than a made-up one.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

import numpy as np

from . import viewable_schemas as vs
from .tables import ACTION_FIELDS, STATE_FIELDS, group_name

PREFIX = "/korvelquor"
WORLD_FRAME = "world"
DEFAULT_RATE_HZ = 100.0
NS = 1_000_000_000


@dataclass(frozen=True)
class ChannelSpec:
    topic: str
    schema_name: str
    schema_encoding: str
    schema_data: bytes
    message_encoding: str


# (topic, robot time in ns, the sample's sequence number, message bytes)
ViewMessage = Tuple[str, int, int, bytes]


def joint_names(group: str, dof: int) -> List[str]:
    return [f"{group}.{i}" for i in range(dof)]


def _json_values(values: np.ndarray) -> list:
    """The rows of a float array as lists for json.dumps, None (null) where not finite."""
    bad = ~np.isfinite(values)
    if not bad.any():
        return values.tolist()
    # An object array keeps Python floats, whose repr json.dumps writes: finite values come
    # out exactly as from tolist().
    out = values.astype(object)
    out[bad] = None
    return out.tolist()


def _named(cols, fields, idx: np.ndarray) -> np.ndarray:
    """Of the rows idx of a group's columns, those whose sample named the group: the batch
    keeps no mark of it, but leaves every value of the group NaN in the other rows."""
    empty = np.ones(len(idx), bool)
    for name in fields:
        empty &= np.isnan(np.asarray(getattr(cols, name))[idx]).all(axis=1)
    return idx[~empty]


class _Decimator:
    """Keeps the first sample of each period of robot time; remembers the last period across
    batches, so a drain boundary never lets two samples of one period through."""

    def __init__(self, rate_hz: Optional[float]):
        self.period = None if rate_hz is None else max(1, int(round(NS / rate_hz)))
        self.last = None

    def keep(self, t: np.ndarray) -> np.ndarray:
        if self.period is None or len(t) == 0:
            return np.ones(len(t), bool)
        bucket = t // self.period
        keep = np.empty(len(t), bool)
        keep[0] = self.last is None or bucket[0] != self.last
        np.not_equal(bucket[1:], bucket[:-1], out=keep[1:])
        self.last = int(bucket[-1])
        return keep


def robot_ns(robot_time: np.ndarray) -> np.ndarray:
    """The robot stamps (rows x 2: seconds, nanoseconds) as ns, as every recording's times
    take them (the nanosecond word read as the unsigned word the robot sent)."""
    import korvelquor_capture as kc

    return kc.robot_time_ns(robot_time)


def _schemas_version() -> str:
    try:
        from importlib.metadata import version

        return version("foxglove-schemas-protobuf")
    except Exception:  # not installed as a distribution (a source tree on the path)
        return "unknown"


def _timestamp(t: int) -> dict:
    sec, nsec = divmod(t, NS)
    return {"sec": sec, "nsec": nsec}


class ViewEncoder:
    """enc = ViewEncoder(rate_hz=100)         # None: every sample
    msgs = enc.encode("basic", batch.basic)
    for spec in enc.new_channels(): ...   # channels first seen by that call
    """

    def __init__(self, rate_hz: Optional[float] = DEFAULT_RATE_HZ):
        self.rate_hz = rate_hz
        self._decimators = {"basic": _Decimator(rate_hz), "extra": _Decimator(rate_hz)}
        self._known: Dict[str, ChannelSpec] = {}
        self._new: List[ChannelSpec] = []
        self._joint_schema = vs.protobuf_schema(vs.JOINT_STATES)
        self._tf_schema = vs.protobuf_schema(vs.FRAME_TRANSFORMS)

    # --- channels ----------------------------------------------------------------------------

    def _channel(self, topic: str, schema: str, encoding: str, data: bytes) -> str:
        if topic not in self._known:
            spec = ChannelSpec(
                topic,
                schema,
                vs.JSON_SCHEMA_ENCODING if encoding == vs.JSON_ENCODING else vs.PROTOBUF_ENCODING,
                data,
                encoding,
            )
            self._known[topic] = spec
            self._new.append(spec)
        return topic

    def new_channels(self) -> List[ChannelSpec]:
        new, self._new = self._new, []
        return new

    @property
    def channels(self) -> List[ChannelSpec]:
        return list(self._known.values())

    def metadata(self) -> Dict[str, str]:
        """The korvelquor.viewable metadata record of a file with these channels."""
        return {
            "prefix": PREFIX,
            "rate_hz": "full" if self.rate_hz is None else f"{self.rate_hz:g}",
            "schemas_version": _schemas_version(),
        }

    # --- messages ----------------------------------------------------------------------------

    def kept_rows(self, stream: str, rows) -> np.ndarray:
        """Indices of the rows that make messages."""
        if rows.rows == 0:
            return np.zeros(0, np.intp)
        t = robot_ns(rows.robot_time)
        valid = np.asarray(rows.layout_ok, bool) & (t > 0)
        where = np.flatnonzero(valid)
        return where[self._decimators[stream].keep(t[where])]

    def encode(self, stream: str, rows) -> List[ViewMessage]:
        idx = self.kept_rows(stream, rows)
        if len(idx) == 0:
            return []
        all_t = robot_ns(rows.robot_time)
        all_seq = np.asarray(rows.seq)
        out: List[ViewMessage] = []
        if stream == "basic":
            out += self._io(rows, idx, all_t[idx].tolist(), all_seq[idx].tolist())
        fields = STATE_FIELDS if stream == "basic" else ACTION_FIELDS
        for group, cols in rows.groups.items():
            at = _named(cols, fields, idx)
            if len(at) == 0:
                continue
            name = group_name(group)
            t, seq = all_t[at].tolist(), all_seq[at].tolist()
            if stream == "basic":
                out += self._json(
                    f"{PREFIX}/{name}/states",
                    vs.STATES_SCHEMA,
                    vs.STATES_JSON_SCHEMA,
                    cols,
                    fields,
                    at,
                    t,
                    seq,
                )
                if self._joint_schema is not None:
                    out += self._joint_states(name, cols, at, t, seq)
                out += self._frames(name, cols, at, t, seq)
            else:
                out += self._json(
                    f"{PREFIX}/{name}/actions",
                    vs.ACTIONS_SCHEMA,
                    vs.ACTIONS_JSON_SCHEMA,
                    cols,
                    fields,
                    at,
                    t,
                    seq,
                )
        return out

    def _json(self, topic, schema, schema_data, cols, fields, idx, t, seq) -> List[ViewMessage]:
        self._channel(topic, schema, vs.JSON_ENCODING, schema_data)
        values = [(name, _json_values(np.asarray(getattr(cols, name))[idx])) for name in fields]
        out = []
        dumps = json.dumps
        for k in range(len(idx)):
            msg = {"timestamp": _timestamp(t[k]), "seq": seq[k]}
            for name, v in values:
                msg[name] = v[k]
            out.append(
                (topic, t[k], seq[k], dumps(msg, separators=(",", ":"), allow_nan=False).encode())
            )
        return out

    def _io(self, rows, idx, t, seq) -> List[ViewMessage]:
        topic = self._channel(f"{PREFIX}/io", vs.IO_SCHEMA, vs.JSON_ENCODING, vs.IO_JSON_SCHEMA)
        cols = {
            name: np.asarray(getattr(rows, name))[idx].tolist()
            for name in (
                "estop_released",
                "enabling_device_on",
                "system_state",
                "safety_board_state",
                "digital_inputs",
                "digital_outputs",
                "safety_inputs",
            )
        }
        out = []
        for k in range(len(idx)):
            msg = {"timestamp": _timestamp(t[k]), "seq": seq[k]}
            for name, v in cols.items():
                msg[name] = v[k]
            out.append((topic, t[k], seq[k], json.dumps(msg, separators=(",", ":")).encode()))
        return out

    def _joint_states(self, group, cols, idx, t, seq) -> List[ViewMessage]:
        topic = self._channel(
            f"{PREFIX}/{group}/joint_states",
            vs.JOINT_STATES_SCHEMA,
            vs.PROTOBUF_ENCODING,
            self._joint_schema,
        )
        q = np.asarray(cols.q)[idx].tolist()
        dq = np.asarray(cols.dq)[idx].tolist()
        tau = np.asarray(cols.tau)[idx].tolist()
        names = joint_names(group, cols.dof)
        out = []
        for k in range(len(idx)):
            msg = vs.JOINT_STATES()
            msg.timestamp.FromNanoseconds(t[k])
            add = msg.joints.add
            for j, name in enumerate(names):
                add(name=name, position=q[k][j], velocity=dq[k][j], effort=tau[k][j])
            out.append((topic, t[k], seq[k], msg.SerializeToString()))
        return out

    def _frames(self, group, cols, idx, t, seq) -> List[ViewMessage]:
        topic = self._channel(
            f"{PREFIX}/{group}/tf",
            vs.FRAME_TRANSFORMS_SCHEMA,
            vs.PROTOBUF_ENCODING,
            self._tf_schema,
        )
        poses = [
            (f"{group}/flange", np.asarray(cols.flange_pose)[idx].tolist()),
            (f"{group}/tcp", np.asarray(cols.tcp_pose)[idx].tolist()),
        ]
        out = []
        for k in range(len(idx)):
            msg = vs.FRAME_TRANSFORMS()
            for child, pose in poses:
                x, y, z, qw, qx, qy, qz = pose[k]
                tf = msg.transforms.add(parent_frame_id=WORLD_FRAME, child_frame_id=child)
                tf.timestamp.FromNanoseconds(t[k])
                tf.translation.x, tf.translation.y, tf.translation.z = x, y, z
                r = tf.rotation
                r.x, r.y, r.z, r.w = qx, qy, qz, qw
            out.append((topic, t[k], seq[k], msg.SerializeToString()))
        return out
