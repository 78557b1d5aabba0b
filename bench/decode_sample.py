"""Writes the reference samples of the decode benchmark: one basic and one extra stream
message of a two-arm robot (groups 0, 2, 3, 4, 5; 21 joints; one Cartesian entry per
group), and the two replies that carry text: plan info (request 4) and the primitive states
of the five groups (request 3), all encoded by eclipse-zenoh's serializer. Both the C++ and
the Python benchmark read these files, so they time exactly the same bytes.

  decode_sample.py DIR      writes DIR/basic.bin, extra.bin, plan_info.bin, pt_states.bin
"""

import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "msgs"))
import wire_schema as ws  # noqa: E402

GROUPS = [0, 2, 3, 4, 5]
JOINTS = 21


def f32(x):
    return ws.float_to_bits(x)


def wave(k, scale, offset=0.0, phase=0.0):
    return [f32(offset + scale * math.sin(0.37 * j + phase + 0.11 * k)) for j in range(JOINTS)]


def pose(k):
    # A unit quaternion, scalar first, after a position in metres.
    angle = 0.3 + 0.2 * k
    return [
        f32(v)
        for v in (
            0.45 + 0.01 * k,
            -0.12 * k,
            0.83,
            math.cos(angle / 2),
            0.0,
            math.sin(angle / 2) * 0.6,
            math.sin(angle / 2) * 0.8,
        )
    ]


def six(k, scale):
    return [f32(scale * math.cos(0.5 * i + k)) for i in range(6)]


def basic_sample():
    joint = {
        name: wave(i, scale, offset)
        for i, (name, scale, offset) in enumerate(
            [
                ("q", 1.2, 0.1),
                ("theta", 1.2, 0.1001),
                ("dq", 0.4, 0.0),
                ("dtheta", 0.4, 0.0),
                ("tau", 35.0, 2.0),
                ("tau_dot", 3.0, 0.0),
                ("tau_ext", 1.5, 0.0),
                ("tau_interact", 0.8, 0.0),
                ("temperature", 4.0, 36.5),
            ]
        )
    }
    joint["contact_forces"] = [[f32(0.3 * j), f32(-0.1 * j), f32(1.5)] for j in range(JOINTS)]
    joint["contact_positions"] = [[f32(0.01 * j), f32(0.02), f32(0.05 * j)] for j in range(JOINTS)]
    cartesian = [
        {
            "flange_pose": pose(k),
            "tcp_pose": pose(k + 1),
            "tcp_twist": six(k, 0.05),
            "tcp_wrench_local": six(k, 4.0),
            "ignored_6": six(k, 0.5),
            "raw_tcp_wrench_local": six(k, 4.2),
            "raw_ft_sensor": six(k, 6.0),
        }
        for k in range(len(GROUPS))
    ]
    return {
        "system_state": 3,
        "safety_board_state": 1,
        "estop_released": True,
        "enabling_device_on": True,
        "safety_inputs": [True, True, False, True, True, False, True, True],
        "digital_inputs": [i % 3 == 0 for i in range(20)],
        "digital_outputs": [i % 5 == 1 for i in range(20)],
        "joint_group_indices": GROUPS,
        "joint_data": joint,
        "cartesian_data": cartesian,
        "timestamp": (1733700000, 250000000),
    }


def extra_sample():
    return {
        "joint_group_indices": GROUPS,
        "joint_data": {"q_d": wave(0, 1.2, 0.1), "dq_d": wave(1, 0.4), "tau_d": wave(2, 35.0, 2.0)},
        "cartesian_data": [
            {"tcp_pose_d": pose(k), "tcp_twist_d": six(k, 0.05), "tcp_wrench_d": six(k, 4.0)}
            for k in range(len(GROUPS))
        ],
    }


def reply_with_text(request_id, strings):
    return {
        "request_id": request_id,
        "success": True,
        "joint_groups": [],
        "int_container": [],
        "string_container": strings,
        "float_container": [],
        "float2d_container": [],
    }


def plan_info_sample():
    return reply_with_text(
        4, ["MoveL", "grasp", "PickAndPlace/pick/grasp", "0.250", "2", "PickAndPlace", "0.8", "0"]
    )


def pt_states_sample():
    strings = []
    for index, name in zip(GROUPS, ("Hold", "DualArmSync", "MoveL", "MoveJ", "Track")):
        strings += [
            f"jointGroup = {index}",
            f"primitiveName = {name}",
            "cycle = 12",
            "progress = 0.375",
            "phase = approach",
            "targetFrame = world/table/bin_2",
        ]
    return reply_with_text(3, strings)


SAMPLES = (
    ("basic", ws.BASIC, basic_sample),
    ("extra", ws.EXTRA, extra_sample),
    ("plan_info", ws.RPC_REPLY, plan_info_sample),
    ("pt_states", ws.RPC_REPLY, pt_states_sample),
)


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for name, schema, make in SAMPLES:
        value = make()
        payload = ws.encode(schema, value)
        with open(os.path.join(directory, name + ".bin"), "wb") as f:
            f.write(payload)
        print(f"decode_sample: {name} message, {len(payload)} bytes")


if __name__ == "__main__":
    main()
