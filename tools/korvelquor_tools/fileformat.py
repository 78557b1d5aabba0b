"""What a korvelquor recording holds: an MCAP file, written by `korvelquor record`.

Header: profile "korvelquor", library "korvelquor_tools <version>".

Metadata records (MCAP Metadata, string to string):

  korvelquor.recording   the first record after the header; format_version, protocol_version
                         (the robot protocol the client spoke), serial, client_version,
                         tools_version, started_ns (wall clock)
  korvelquor.layout      group_names, start_ids, dofs (JSON objects keyed by joint-group
                         value), joint_count and, when known, extra_joint_count (the extra
                         stream's own length): the layout a client learnt at connection (one
                         that connected while the basic stream flowed, so that it has the
                         group names); export decodes with it, after checking it as the
                         client checks the robot's start-ID reply
  korvelquor.plan_info   the eight plan-info fields as text, or "error"
  korvelquor.configuration_score   "scores": JSON {group value: [first, second]}, or "error"
  korvelquor.primitive_states      "states": JSON {group value: {"pt_name", "values"}}, or
                         "error"
  korvelquor.end         written when the recording ends: stopped_by, received_<stream>
                         and dropped_<stream> (by the capture's buffer), seconds, ended_ns,
                         and error when a write failed (then the samples received after the
                         last complete chunk are not in the file). A file without it was
                         cut short.

Channels (no schema): one per stream, topic = the robot's key expression, message encoding
"zenoh/serialized", channel metadata {"stream": "basic" | "extra"}. One message per sample
received, decodable or not, each stream in arrival order, the two merged by monotonic
receive time:

  data          the payload exactly as received
  log_time      receive time, wall clock, ns since the Unix epoch
  publish_time  the robot timestamp as ns (seconds * 1e9 + nanoseconds): the basic sample's
                own stamp, for the extra stream the latest basic stamp at arrival (the stream
                carries none); 0 where there was none or it was negative. Informational:
                readers take the robot's two words from the basic payloads themselves (an
                extra sample: the latest decodable basic one before it in the file)
  sequence      the capture's per-stream sequence number modulo 2^32 (gaps are samples the
                capture's buffer dropped)

Viewable channels (beside the raw ones, which they never change; written by `korvelquor
record` and `korvelquor export FILE --to foxglove OUT`; reading a recording ignores them):
decoded samples with schemas Foxglove knows, under the topic prefix /korvelquor, topics and
messages as listed in korvelquor_tools.viewable. log_time and publish_time are the robot
time of the sample (the extra stream: the latest basic stamp at arrival), sequence the
sample's. By default at most 100 samples a second per stream make messages (the first of
each 10 ms of robot time); `--view-rate full` keeps every sample. Metadata record
korvelquor.viewable: prefix, rate_hz ("full" or a number), schemas_version (the
foxglove-schemas-protobuf release).

Messages are chunked (zstd); the recorder closes a chunk at least once a second, so a killed
recorder loses at most the last second.
"""
from __future__ import annotations

import json
from typing import Mapping

import korvelquor_capture as _kc

# Stated once, by the client library that writes and reads the files.
FORMAT_VERSION = _kc.RECORDING_FORMAT["format_version"]
PROFILE = _kc.RECORDING_FORMAT["profile"]
PROTOCOL_VERSION = _kc.RECORDING_FORMAT["protocol_version"]  # the robot protocol it speaks
MESSAGE_ENCODING = _kc.RECORDING_FORMAT["message_encoding"]
STREAMS = ("basic", "extra")

META_RECORDING = "korvelquor.recording"
META_LAYOUT = "korvelquor.layout"
META_PLAN_INFO = "korvelquor.plan_info"
META_SCORE = "korvelquor.configuration_score"
META_PRIMITIVES = "korvelquor.primitive_states"
META_END = "korvelquor.end"
META_VIEWABLE = "korvelquor.viewable"

PLAN_INFO_FIELDS = ("pt_name", "node_name", "node_path", "node_path_time_period",
                    "node_path_number", "assigned_plan_name", "velocity_scale",
                    "waiting_for_step")

NS = 1_000_000_000


topic = _kc.recording_topic  # (serial, stream): the robot's key expression of the stream


# The joint-group values and names the robot uses; a recorded layout names no others.
GROUP_NAMES = {0: "ALL", 2: "ARMS", 3: "ARM_1", 4: "ARM_2", 5: "EXT_AXIS"}
_LIMIT = 1 << 32  # start IDs, DoFs and joint counts are below 2^32, as the client takes them


def layout_from_metadata(meta: Mapping[str, str], serial: str) -> dict:
    """The layout dict korvelquor_capture.decode_recording takes, checked as the client
    checks the robot's start-ID reply: whole numbers below 2^32, the robot's own group
    names, and each named group's start + DoF within the joint count. Raises ValueError
    naming the first value that fails (a file may come from anywhere)."""
    def whole(value, what):
        if isinstance(value, str) and value.isdigit() and value.isascii():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < _LIMIT:
            raise ValueError(f"{what} must be a whole number from 0 to {_LIMIT - 1}, "
                             f"got {value!r}")
        return value

    def keyed(name):
        if name not in meta:
            raise ValueError(f"'{name}' is missing")
        try:
            table = json.loads(meta[name])
        except ValueError as e:
            raise ValueError(f"'{name}' is not JSON ({e})") from None
        if not isinstance(table, dict):
            raise ValueError(f"'{name}' is not a JSON object keyed by joint-group value")
        out = {}
        for key, value in table.items():
            try:
                group = int(key)
            except ValueError:
                raise ValueError(f"'{name}' is keyed by joint-group values, "
                                 f"got {key!r}") from None
            out[group] = value
        return out

    names = keyed("group_names")
    starts = {g: whole(v, f"the start ID of joint group {g}") for g, v in keyed("start_ids").items()}
    dofs = {g: whole(v, f"the DoF of joint group {g}") for g, v in keyed("dofs").items()}
    if "joint_count" not in meta:
        raise ValueError("'joint_count' is missing")
    joint_count = whole(meta["joint_count"], "joint_count")
    for g, name in names.items():
        if GROUP_NAMES.get(g) != name:
            raise ValueError(f"joint group {g} is named {name!r}; the robot's groups are "
                             + ", ".join(f"{v} {n}" for v, n in GROUP_NAMES.items()))
        if g in starts and g in dofs and starts[g] + dofs[g] > joint_count:
            raise ValueError(f"joint group {g} starts at {starts[g]} with {dofs[g]} joints, "
                             f"beyond the joint count {joint_count}")
    layout = {"serial": serial, "group_names": names, "start_ids": starts, "dofs": dofs,
              "joint_count": joint_count}
    if meta.get("extra_joint_count") is not None:
        layout["extra_joint_count"] = whole(meta["extra_joint_count"], "extra_joint_count")
    return layout


# The metadata records' texts, as the client library writes them for every recorder.
layout_to_metadata = _kc.layout_metadata
plan_info_to_metadata = _kc.plan_info_metadata
scores_to_metadata = _kc.scores_metadata
primitives_to_metadata = _kc.primitives_metadata
