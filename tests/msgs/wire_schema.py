"""The robot's wire records described as data, for encoding with eclipse-zenoh's own
serializer (zenoh.ext.z_serialize) and decoding with zenoh.ext.z_deserialize.

A schema is a scalar tag ('u16', 'i16', 'i32', 'u32', 'f32', 'bool', 'str') or a tuple:
('array', n, elem), ('list', elem), ('pair', first, second), ('record', [(name, schema)...]).
A value mirrors its schema: ints, bools, str, lists, tuples for pairs, dicts for records;
an 'f32' value is the float's 32-bit pattern (an int), so that every bit is under control.
"""

import struct

from zenoh import ext as zext

U16, I16, I32, U32, F32, BOOL, STR = "u16", "i16", "i32", "u32", "f32", "bool", "str"


def array(n, elem):
    return ("array", n, elem)


def lst(elem):
    return ("list", elem)


def record(*fields):
    return ("record", tuple(fields))


BASIC_JOINT = record(
    *[
        (name, lst(F32))
        for name in (
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
    ],
    ("contact_forces", lst(array(3, F32))),
    ("contact_positions", lst(array(3, F32))),
)
BASIC_CARTESIAN = record(
    ("flange_pose", array(7, F32)),
    ("tcp_pose", array(7, F32)),
    ("tcp_twist", array(6, F32)),
    ("tcp_wrench_local", array(6, F32)),
    ("ignored_6", array(6, F32)),
    ("raw_tcp_wrench_local", array(6, F32)),
    ("raw_ft_sensor", array(6, F32)),
)
BASIC = record(
    ("system_state", U16),
    ("safety_board_state", I16),
    ("estop_released", BOOL),
    ("enabling_device_on", BOOL),
    ("safety_inputs", array(8, BOOL)),
    ("digital_inputs", array(20, BOOL)),
    ("digital_outputs", array(20, BOOL)),
    ("joint_group_indices", lst(U16)),
    ("joint_data", BASIC_JOINT),
    ("cartesian_data", lst(BASIC_CARTESIAN)),
    ("timestamp", ("pair", I32, U32)),
)
EXTRA_JOINT = record(("q_d", lst(F32)), ("dq_d", lst(F32)), ("tau_d", lst(F32)))
EXTRA_CARTESIAN = record(
    ("tcp_pose_d", array(7, F32)),
    ("tcp_twist_d", array(6, F32)),
    ("tcp_wrench_d", array(6, F32)),
)
EXTRA = record(
    ("joint_group_indices", lst(U16)),
    ("joint_data", EXTRA_JOINT),
    ("cartesian_data", lst(EXTRA_CARTESIAN)),
)
RPC_REPLY = record(
    ("request_id", U16),
    ("success", BOOL),
    ("joint_groups", lst(U16)),
    ("int_container", lst(I32)),
    ("string_container", lst(STR)),
    ("float_container", lst(F32)),
    ("float2d_container", lst(lst(F32))),
)

MESSAGES = {"basic": BASIC, "extra": EXTRA, "rpc_reply": RPC_REPLY}

_WRAPPERS = {U16: zext.UInt16, I16: zext.Int16, I32: zext.Int32, U32: zext.UInt32}


def bits_to_float(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def float_to_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def to_z(schema, value):
    """The value as the typed Python objects z_serialize takes."""
    if schema == F32:
        return zext.Float32(bits_to_float(value))
    if schema in _WRAPPERS:
        return _WRAPPERS[schema](value)
    if schema in (BOOL, STR):
        # A string given as bytes is written as its length and the bytes: the same layout
        # as a str, but free to hold bytes that are not UTF-8.
        return value
    kind = schema[0]
    if kind in ("array", "list"):
        if schema[-1] == STR and any(isinstance(v, bytes) for v in value):
            # z_serialize wants one item type per collection: all bytes then.
            return [v if isinstance(v, bytes) else v.encode("utf-8") for v in value]
        return [to_z(schema[-1], v) for v in value]
    if kind == "pair":
        return (to_z(schema[1], value[0]), to_z(schema[2], value[1]))
    return tuple(to_z(s, value[name]) for name, s in schema[1])


def encode(schema, value):
    return zext.z_serialize(to_z(schema, value)).to_bytes()


def z_type(schema):
    """The type z_deserialize needs to decode a payload of this schema."""
    if schema == F32:
        return zext.Float32
    if schema in _WRAPPERS:
        return _WRAPPERS[schema]
    if schema == BOOL:
        return bool
    if schema == STR:
        return str
    kind = schema[0]
    if kind in ("array", "list"):
        return list[z_type(schema[-1])]
    if kind == "pair":
        return tuple[z_type(schema[1]), z_type(schema[2])]
    return tuple[tuple(z_type(s) for _, s in schema[1])]


def _scalar_text(schema, value):
    if schema == F32:
        return format(value, "08x")
    if schema == BOOL:
        return "1" if value else "0"
    return str(value)


def _is_scalar(schema):
    return isinstance(schema, str) and schema != STR


def flatten(schema, value, path="", out=None):
    """Lines of "path count v1 v2 ..." / "path value": the same flat form the C++ side
    prints for a decoded record (tests/msgs/wire_testing.hpp)."""
    if out is None:
        out = []
    if _is_scalar(schema):
        out.append(f"{path} {_scalar_text(schema, value)}")
    elif schema == STR:
        raw = value if isinstance(value, bytes) else value.encode("utf-8")
        out.append(f"{path} {len(raw)}" + (f" {raw.hex()}" if raw else ""))
    elif schema[0] in ("array", "list"):
        elem = schema[-1]
        if _is_scalar(elem):
            out.append(" ".join([path, str(len(value))] + [_scalar_text(elem, v) for v in value]))
        else:
            out.append(f"{path} {len(value)}")
            for i, v in enumerate(value):
                flatten(elem, v, f"{path}[{i}]", out)
    elif schema[0] == "pair":
        flatten(schema[1], value[0], f"{path}.first", out)
        flatten(schema[2], value[1], f"{path}.second", out)
    else:
        for name, s in schema[1]:
            flatten(s, value[name], f"{path}.{name}" if path else name, out)
    return out
