"""The schemas of the viewable channels: JSON Schemas of this tool's own messages (the Plot
panel's `q[]`, `tcp_wrench[]`, ...) and, for the messages Foxglove knows by name, the
protobuf descriptors the Foxglove schema package publishes (foxglove-schemas-protobuf).

foxglove.JointStates is published from foxglove-schemas-protobuf 0.4.0 on, which needs
Python 3.10; on 3.9 (0.3.0) JOINT_STATES is None and the joint-states channels are left out.
"""

from __future__ import annotations

import json
from typing import Dict, Optional

from google.protobuf.descriptor_pb2 import FileDescriptorSet
from foxglove_schemas_protobuf.FrameTransforms_pb2 import FrameTransforms

try:
    from foxglove_schemas_protobuf.JointStates_pb2 import JointStates
except ImportError:  # foxglove-schemas-protobuf before 0.4.0 (Python 3.9)
    JointStates = None

from .tables import ACTION_FIELDS, STATE_FIELDS

JSON_ENCODING = "json"
JSON_SCHEMA_ENCODING = "jsonschema"
PROTOBUF_ENCODING = "protobuf"

STATES_SCHEMA = "korvelquor.GroupStates"
ACTIONS_SCHEMA = "korvelquor.GroupActions"
IO_SCHEMA = "korvelquor.DigitalIO"
FRAME_TRANSFORMS_SCHEMA = "foxglove.FrameTransforms"
JOINT_STATES_SCHEMA = "foxglove.JointStates"

JOINT_STATES = JointStates
FRAME_TRANSFORMS = FrameTransforms

_WIDTH_NOTE = {
    "flange_pose": "x y z qw qx qy qz",
    "tcp_pose": "x y z qw qx qy qz",
    "tcp_pose_d": "x y z qw qx qy qz",
}


def _numbers(description: str) -> dict:
    # JSON has no NaN or Infinity: a value that is not finite is written as null.
    return {
        "type": "array",
        "items": {"type": ["number", "null"]},
        "description": description + " (null where not finite)",
    }


def _stamped(title: str, description: str, properties: Dict[str, dict]) -> bytes:
    schema = {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": title,
        "description": description,
        "type": "object",
        "properties": {
            "timestamp": {
                "type": "object",
                "description": "the robot's time of the sample",
                "properties": {
                    "sec": {"type": "integer"},
                    "nsec": {"type": "integer", "minimum": 0},
                },
            },
            "seq": {
                "type": "integer",
                "description": "the sample's sequence number in its "
                "stream (as in the exported tables)",
            },
            **properties,
        },
    }
    return json.dumps(schema, indent=None, sort_keys=False).encode()


def _fields(fields) -> Dict[str, dict]:
    out = {}
    for name in fields:
        note = _WIDTH_NOTE.get(name)
        if note is None and ("wrench" in name or "twist" in name or name == "raw_ft_sensor"):
            note = "fx fy fz tx ty tz" if "twist" not in name else "vx vy vz wx wy wz"
        out[name] = _numbers(note or "one value per joint of the group")
    return out


STATES_JSON_SCHEMA = _stamped(
    STATES_SCHEMA,
    "One joint group's measured states, as korvelquor.Client.states() gives "
    "them (tcp_wrench and raw_tcp_wrench in the world frame).",
    _fields(STATE_FIELDS),
)
ACTIONS_JSON_SCHEMA = _stamped(
    ACTIONS_SCHEMA,
    "One joint group's desired values, as korvelquor.Client.actions() gives "
    "them (timestamp: the latest basic sample's when the extra sample arrived).",
    _fields(ACTION_FIELDS),
)
IO_JSON_SCHEMA = _stamped(
    IO_SCHEMA,
    "Digital inputs and outputs, safety inputs, e-stop and enabling-device flags "
    "of one basic sample.",
    {
        "estop_released": {"type": "boolean"},
        "enabling_device_on": {"type": "boolean"},
        "system_state": {"type": "integer"},
        "safety_board_state": {"type": "integer"},
        "digital_inputs": {"type": "array", "items": {"type": "boolean"}},
        "digital_outputs": {"type": "array", "items": {"type": "boolean"}},
        "safety_inputs": {"type": "array", "items": {"type": "boolean"}},
    },
)


def descriptor_set(message_class) -> bytes:
    """The FileDescriptorSet of a protobuf message with every file it imports: the schema
    data of a protobuf channel in MCAP and in the Foxglove WebSocket protocol."""
    out = FileDescriptorSet()
    seen = set()

    def add(fd):
        for dep in fd.dependencies:
            add(dep)
        if fd.name not in seen:
            seen.add(fd.name)
            fd.CopyToProto(out.file.add())

    add(message_class.DESCRIPTOR.file)
    return out.SerializeToString()


def protobuf_schema(message_class) -> Optional[bytes]:
    return None if message_class is None else descriptor_set(message_class)
