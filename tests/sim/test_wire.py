"""The substitute's own encoder against zenoh's serializer, the size formulas of the stream
messages, and the strict decoder the tests use to read what the substitute sends."""

import pytest
import zenoh.ext as ze

from korvel_sim.layouts import LAYOUTS
from korvel_sim.motion import RobotModel
from korvel_sim.records import (
    AllBasicStreamData,
    AllExtraStreamData,
    BasicCartesianData,
    ExtraCartesianData,
    ExtraJointData,
    RPCReply,
    RPCRequest,
)
from korvel_sim.wire import (
    WireError,
    decode_basic,
    decode_extra,
    decode_reply,
    decode_request,
    encode,
    leb128,
)

F, U16 = ze.Float32, ze.UInt16


def fl(values):
    return [F(v) for v in values]


def typed(record):
    """The same record as zenoh.ext typed values, for z_serialize."""
    t = type(record).__name__
    r = record
    if t == "RPCRequest":
        return (U16(r.request_id), [U16(g) for g in r.joint_groups])
    if t == "RPCReply":
        return (
            U16(r.request_id),
            r.success,
            [U16(g) for g in r.joint_groups],
            [ze.Int32(i) for i in r.int_container],
            list(r.string_container),
            fl(r.float_container),
            [fl(v) for v in r.float2d_container],
        )
    if t == "BasicJointData":
        return tuple(
            fl(getattr(r, n))
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
        ) + ([fl(v) for v in r.contact_forces], [fl(v) for v in r.contact_positions])
    if t == "BasicCartesianData":
        return tuple(
            fl(getattr(r, n))
            for n in (
                "flange_pose",
                "tcp_pose",
                "tcp_twist",
                "tcp_wrench_local",
                "ignored_6",
                "raw_tcp_wrench_local",
                "raw_ft_sensor",
            )
        )
    if t == "AllBasicStreamData":
        return (
            U16(r.system_state),
            ze.Int16(r.safety_board_state),
            r.estop_released,
            r.enabling_device_on,
            list(r.safety_inputs),
            list(r.digital_inputs),
            list(r.digital_outputs),
            [U16(g) for g in r.joint_group_indices],
            typed(r.joint_data),
            [typed(c) for c in r.cartesian_data],
            ze.Int32(r.timestamp[0]),
            ze.UInt32(r.timestamp[1]),
        )
    if t == "ExtraJointData":
        return (fl(r.q_d), fl(r.dq_d), fl(r.tau_d))
    if t == "ExtraCartesianData":
        return (fl(r.tcp_pose_d), fl(r.tcp_twist_d), fl(r.tcp_wrench_d))
    if t == "AllExtraStreamData":
        return (
            [U16(g) for g in r.joint_group_indices],
            typed(r.joint_data),
            [typed(c) for c in r.cartesian_data],
        )
    raise AssertionError(t)


def sim_messages(layout):
    return RobotModel(LAYOUTS[layout]).messages(3.21, (1_700_000_000, 999_999_999))


def all_records():
    basic, extra = sim_messages("two-arm")
    long_reply = RPCReply(
        65535,
        True,
        list(range(200)),
        [-(2**31), 2**31 - 1, 0],
        ["v2.1", "", "é" * 70, "x" * 130],
        [0.1 * i for i in range(300)],
        [[1.5] * 8, [], [-0.25] * 129],
    )
    return [
        ("request probe", RPCRequest()),
        ("request start ids", RPCRequest(10, [0, 2, 3, 4, 5])),
        ("request 200 groups", RPCRequest(10, [3] * 200)),
        ("reply empty", RPCReply()),
        ("reply long", long_reply),
        ("basic joint data", basic.joint_data),
        ("basic cartesian", basic.cartesian_data[1]),
        ("basic two-arm", basic),
        ("basic one-arm", sim_messages("one-arm")[0]),
        ("basic default", AllBasicStreamData()),
        ("extra joint data", extra.joint_data),
        ("extra cartesian", extra.cartesian_data[0]),
        ("extra two-arm", extra),
        ("extra default", AllExtraStreamData()),
    ]


@pytest.mark.parametrize("name,record", all_records(), ids=[n for n, _ in all_records()])
def test_encoding_matches_zenoh_serializer(name, record):
    assert encode(record) == ze.z_serialize(typed(record)).to_bytes()


@pytest.mark.parametrize(
    "n,expected",
    [(0, "00"), (127, "7f"), (128, "8001"), (200, "c801"), (300, "ac02"), (16384, "808001")],
)
def test_leb128(n, expected):
    assert leb128(n).hex() == expected


def test_worked_encodings():
    assert encode(RPCRequest(10, [0, 2, 3, 4, 5])).hex() == "0a000500000200030004000500"
    assert encode(RPCRequest()).hex() == "000000"
    assert len(encode(RPCReply())) == 8
    assert encode(RPCRequest(10, [0] * 200))[2:4].hex() == "c801"
    extra = AllExtraStreamData(
        [0], ExtraJointData([1.0], [0.0], [0.0]), [ExtraCartesianData([0, 0, 0, 1, 0, 0, 0])]
    )
    raw = encode(extra)
    assert len(raw) == 98
    assert raw[:19].hex() == "010000010000803f0100000000010000000001"
    assert raw[19:20].hex() == "07" and raw[32:36].hex() == "0000803f"


def S(n):
    return len(leb128(n))


def basic_size(m):
    j = m.joint_data
    lists = [
        j.q,
        j.theta,
        j.dq,
        j.dtheta,
        j.tau,
        j.tau_dot,
        j.tau_ext,
        j.tau_interact,
        j.temperature,
    ]
    k, c = len(m.joint_group_indices), len(m.cartesian_data)
    return (
        54
        + S(8)
        + 2 * S(20)
        + S(k)
        + 2 * k
        + sum(S(len(v)) + 4 * len(v) for v in lists)
        + sum(S(len(p)) + (S(3) + 12) * len(p) for p in (j.contact_forces, j.contact_positions))
        + S(c)
        + c * (2 * S(7) + 5 * S(6) + 176)
        + 8
    )


def extra_size(m):
    j, k, c = m.joint_data, len(m.joint_group_indices), len(m.cartesian_data)
    return (
        S(k)
        + 2 * k
        + sum(S(len(v)) + 4 * len(v) for v in (j.q_d, j.dq_d, j.tau_d))
        + S(c)
        + c * (S(7) + 2 * S(6) + 76)
    )


@pytest.mark.parametrize(
    "layout,joints,groups", [("one-arm", 7, [0, 3]), ("two-arm", 21, [0, 2, 3, 4, 5])]
)
def test_layout_messages_match_size_formulas(layout, joints, groups):
    basic, extra = sim_messages(layout)
    assert basic.joint_group_indices == groups == extra.joint_group_indices
    j = basic.joint_data
    for values in (
        j.q,
        j.theta,
        j.dq,
        j.dtheta,
        j.tau,
        j.tau_dot,
        j.tau_ext,
        j.tau_interact,
        j.temperature,
        j.contact_forces,
        j.contact_positions,
        extra.joint_data.q_d,
        extra.joint_data.dq_d,
        extra.joint_data.tau_d,
    ):
        assert len(values) == joints
    assert len(basic.cartesian_data) == len(groups) == len(extra.cartesian_data)
    assert len(encode(basic)) == basic_size(basic)
    assert len(encode(extra)) == extra_size(extra)
    assert len(encode(AllBasicStreamData())) == 78 and len(encode(AllExtraStreamData())) == 5


def test_decoders_round_trip_float32_exact_values():
    reply = RPCReply(9, True, [0, 3], [7, -1], ["a", ""], [0.5, -2.0], [[0.25] * 8, []])
    assert decode_reply(encode(reply)) == reply
    assert decode_request(encode(RPCRequest(10, [0, 5]))) == RPCRequest(10, [0, 5])
    basic = AllBasicStreamData(
        3,
        -1,
        True,
        False,
        [True] * 8,
        [False, True] * 10,
        [True] * 20,
        [0, 3],
        timestamp=(-5, 4_000_000_000),
    )
    basic.cartesian_data = [BasicCartesianData(), BasicCartesianData(tcp_pose=[1.0] * 7)]
    basic.joint_data.q = [0.5] * 7
    basic.joint_data.contact_forces = [[1.0, 2.0, 3.0]] * 7
    assert decode_basic(encode(basic)) == basic
    extra = AllExtraStreamData([0], ExtraJointData([1.0], [], [2.0]), [ExtraCartesianData()])
    assert decode_extra(encode(extra)) == extra


def _bad_fixed_size():
    m = AllBasicStreamData()
    m.digital_inputs = [False] * 19
    return encode(m)


@pytest.mark.parametrize(
    "decode,payload",
    [
        (decode_request, encode(RPCRequest(1)) + b"\x00"),
        (decode_request, b"\x01"),
        (decode_request, b"\x01\x00\x85"),  # count cut inside its LEB128 bytes
        (decode_request, b"\x01\x00\x02\x00\x00"),  # second group missing
        (decode_reply, encode(RPCReply(1, True, string_container=["v2.1"]))[:-3]),
        (decode_reply, encode(RPCReply()) + b"\x00"),
        (decode_basic, encode(AllBasicStreamData()) + b"\x00"),
        (decode_basic, _bad_fixed_size()),
        (
            decode_extra,
            encode(
                AllExtraStreamData([0], cartesian_data=[ExtraCartesianData(tcp_pose_d=[0.0] * 6)])
            ),
        ),
    ],
)
def test_decoders_reject_malformed_payloads(decode, payload):
    with pytest.raises(WireError):
        decode(payload)
