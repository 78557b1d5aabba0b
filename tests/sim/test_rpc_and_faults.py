"""What the substitute answers and publishes, faults included, without a network: the
answer planner and the stream-fault step are the same code the server runs."""

import pytest

from korvel_sim.faults import FAULTS, FaultError, FaultState, help_text, parse_cli
from korvel_sim.layouts import LAYOUTS
from korvel_sim.motion import RobotModel
from korvel_sim.records import RPCRequest
from korvel_sim.rpc import ERROR_TEXT, answer
from korvel_sim.stream_faults import apply_stream_faults
from korvel_sim.wire import WireError, decode_basic, decode_extra, decode_reply, encode

TWO_ARM = LAYOUTS["two-arm"]


def ask(request_id, groups=(), faults=None, layout=TWO_ARM, t=1.0):
    faults = faults or FaultState()
    return answer(
        encode(RPCRequest(request_id, list(groups))), layout, RobotModel(layout), faults, t
    )


def reply(request_id, groups=(), faults=None, layout=TWO_ARM):
    plan = ask(request_id, groups, faults, layout)
    assert len(plan.replies) == 1 and not plan.errors_first and plan.delay_s == 0
    return decode_reply(plan.replies[0])


def with_faults(*cli):
    fs = FaultState()
    for text in cli:
        fs.set(*parse_cli(text))
    return fs


def test_every_request_id_answered_as_the_client_expects():
    probe = reply(0)
    assert (probe.request_id, probe.success) == (0, False)
    assert reply(1).string_container == ["v2.1"] and reply(1).success
    pt = reply(3).string_container
    markers = [i for i, e in enumerate(pt) if e.startswith("jointGroup")]
    assert [pt[i] for i in markers] == ["jointGroup = 3", "jointGroup = 4", "jointGroup = 5"]
    for start, end in zip(markers, markers[1:] + [len(pt)]):
        block = pt[start:end]
        assert any(e.startswith("primitiveName = ") for e in block)
        assert all(" = " in e and e.split(" = ", 1)[1] for e in block)
    plan = reply(4)
    assert plan.success and len(plan.string_container) == 8
    float(plan.string_container[6]), int(plan.string_container[7])
    manip = reply(9)
    assert manip.joint_groups == [0, 2, 3, 4, 5]
    assert [len(v) for v in manip.float2d_container] == [8] * 5
    ids = reply(10, [0, 2, 3, 4, 5, 1])
    assert (ids.joint_groups, ids.int_container, ids.float_container) == (
        [0, 2, 3, 4, 5],
        [0, 0, 0, 7, 14],
        [21.0, 14.0, 7.0, 7.0, 7.0],
    )
    one = reply(10, [5, 3, 0], layout=LAYOUTS["one-arm"])
    assert (one.joint_groups, one.int_container, one.float_container) == (
        [3, 0],
        [0, 0],
        [7.0, 7.0],
    )
    for unknown in (2, 5, 11, 65535):
        rep = reply(unknown)
        assert (rep.request_id, rep.success) == (unknown, False)


def test_manipulability_moves_with_the_configuration():
    model = RobotModel(TWO_ARM)
    assert model.manipulability(0.0) != model.manipulability(2.5)


@pytest.mark.parametrize(
    "payload", [b"", b"\x01", encode(RPCRequest(1)) + b"\x00", b"\x0a\x00\xff\xff\xff\xff\x0f"]
)
def test_undecodable_request_gets_no_reply(payload):
    assert answer(payload, TWO_ARM, RobotModel(TWO_ARM), FaultState(), 0.0) is None


def test_reply_shaping_faults():
    good = encode(decode_reply(ask(1).replies[0]))
    cases = {
        "reply_trailing_byte": [good + b"\x00"],
        "trailing_then_good": [good + b"\x00", good],
        "good_then_trailing": [good, good + b"\x00"],
    }
    for fault, expected in cases.items():
        assert ask(1, faults=with_faults(fault)).replies == expected, fault
    double = ask(1, faults=with_faults("double_reply")).replies
    first, second = (decode_reply(r) for r in double)
    assert first.string_container == ["v2.1"] and first.success
    assert second.string_container == ["v0.0-second"] and not second.success
    probe_second = decode_reply(ask(0, faults=with_faults("double_reply")).replies[1])
    assert probe_second.success
    plan = ask(1, faults=with_faults("error_first"))
    assert plan.errors_first == [ERROR_TEXT] and plan.replies == [good]
    assert ask(1, faults=with_faults("reply_delay_ms=1500")).delay_s == 1.5
    assert ask(4, faults=with_faults("no_reply")).replies == []


def test_rpc_faults_restricted_to_request_ids():
    fs = with_faults("no_reply@4", "reply_delay_ms=250@1,9")
    assert ask(4, faults=fs).replies == []
    assert ask(3, faults=fs).replies and ask(3, faults=fs).delay_s == 0
    assert ask(1, faults=fs).delay_s == ask(9, faults=fs).delay_s == 0.25
    fs.apply({"set": {"reply_request_id": 3}, "requests": [4]})
    assert ask(4, faults=fs).replies == []  # no_reply@4 still wins
    fs.clear(["no_reply"])
    assert decode_reply(ask(4, faults=fs).replies[0]).request_id == 3
    assert decode_reply(ask(1, faults=fs).replies[0]).request_id == 1


def test_content_faults():
    assert reply(1, faults=with_faults("version=v2.10")).string_container == ["v2.10"]
    assert reply(0, faults=with_faults("probe_success")).success
    verbatim = ["jointGroup=2", "primitiveName = 7"]
    assert (
        reply(3, faults=with_faults(f"pt_states={verbatim}".replace("'", '"'))).string_container
        == verbatim
    )
    assert reply(4, faults=with_faults('plan_info=["a","b"]')).string_container == ["a", "b"]
    assert [
        len(v) for v in reply(9, faults=with_faults("manip_vector_len=7")).float2d_container
    ] == [7] * 5
    short = reply(9, faults=with_faults("manip_mismatch"))
    assert len(short.joint_groups) == 5 and len(short.float2d_container) == 4
    ids = reply(10, [0, 2, 3, 4, 5], faults=with_faults("start_id_mismatch"))
    assert (len(ids.joint_groups), len(ids.int_container), len(ids.float_container)) == (5, 5, 4)


def test_countdown_faults_run_out():
    fs = with_faults("ignore_probes=2", "corrupt_pt_states=2")
    assert [len(ask(0, faults=fs).replies) for _ in range(3)] == [0, 0, 1]
    lists = [reply(3, faults=fs).string_container for _ in range(3)]
    assert ["" in entries for entries in lists] == [True, True, False]
    assert fs.snapshot()["faults"] == {}


def _published(*cli, layout=TWO_ARM):
    basic, extra = RobotModel(layout).messages(1.0, (5, 6))
    fs = with_faults(*cli)
    apply_stream_faults(basic, extra, fs.stream)
    return fs.stream, encode(basic), encode(extra)


def test_stream_faults_shape_the_messages():
    _, b, e = _published("digital_inputs_size=19")
    with pytest.raises(WireError, match="19 elements"):
        decode_basic(b)
    _, b, _ = _published("tcp_pose_size=6")
    with pytest.raises(WireError, match="6 elements"):
        decode_basic(b)
    _, b, e = _published("cartesian_short=extra")
    assert len(decode_basic(b).cartesian_data) == 5 and len(decode_extra(e).cartesian_data) == 4
    _, b, e = _published("group_index=6")
    for m in (decode_basic(b), decode_extra(e)):
        assert m.joint_group_indices == [0, 2, 3, 4, 5, 6] and len(m.cartesian_data) == 6
    _, b, e = _published("joint_lists_short=2")
    assert {len(v) for v in vars(decode_basic(b).joint_data).values()} == {19}
    assert {len(v) for v in vars(decode_extra(e).joint_data).values()} == {19}
    _, b, _ = _published("estop_released=false", "enabling_device_on=true")
    m = decode_basic(b)
    assert (m.estop_released, m.enabling_device_on) == (False, True)
    sf, _, _ = _published("silent_streams", "stream_trailing_byte=basic")
    assert (sf.silent_basic, sf.silent_extra, sf.trailing_basic, sf.trailing_extra) == (
        True,
        True,
        True,
        False,
    )


def test_stream_faults_leave_the_model_caches_alone():
    model = RobotModel(TWO_ARM)
    fs = with_faults("digital_inputs_size=3", "joint_lists_short=21")
    basic, extra = model.messages(0.1, (0, 0))
    apply_stream_faults(basic, extra, fs.stream)
    clean, _ = model.messages(0.2, (0, 0))
    assert len(clean.digital_inputs) == 20 and len(clean.joint_data.contact_positions) == 21


@pytest.mark.parametrize(
    "text",
    [
        "nope",
        "no_reply=maybe",
        "reply_delay_ms",
        "version@4",
        "reply_delay_ms=-1",
        "group_index=70000",
        "pt_states=[1]",
        "cartesian_short=left",
        "probe_success@0",
    ],
)
def test_bad_fault_arguments_are_refused(text):
    with pytest.raises(FaultError):
        parse_cli(text)


@pytest.mark.parametrize(
    "message",
    [
        [],
        {"set": {"bogus": 1}},
        {"set": {"no_reply": 3}},
        {"clear": "all"},
        {"requests": [1.5]},
        {"frobnicate": 1},
        {"set": {"version@1": "v"}},
    ],
)
def test_bad_control_messages_change_nothing(message):
    fs = with_faults("silent_basic")
    with pytest.raises(FaultError):
        fs.apply(message)
    assert fs.snapshot()["faults"] == {"silent_basic": True}


def test_every_fault_is_documented():
    import pathlib

    readme = (pathlib.Path(__file__).parents[2] / "sim" / "README.md").read_text()
    for name in FAULTS:
        assert f"`{name}" in readme, name
        assert f"  {name}" in help_text(), name


@pytest.mark.parametrize(
    "t,estop,enabling",
    [
        (0.0, True, True),
        (25.5, False, True),
        (26.0, True, True),
        (6.5, True, False),
        (85.5, False, True),
    ],
)
def test_documented_status_schedule(t, estop, enabling):
    basic, _ = RobotModel(LAYOUTS["one-arm"]).messages(t, (0, 0))
    assert (basic.estop_released, basic.enabling_device_on) == (estop, enabling)
    assert (basic.system_state, basic.safety_board_state) == ((7, 12) if estop else (3, 40))
