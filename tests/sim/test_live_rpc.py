"""The RPC side of a running substitute, over zenoh, with faults switched at run time."""

import pytest

from conftest import rpc, unique_serial, wait_reachable
from korvel_sim.control import ControlError
from korvel_sim.serial import normalize_serial
from korvel_sim.testing import SimProcess
from korvel_sim.wire import WireError, decode_reply

SERIAL = unique_serial("rpc")
KEY_SERIAL = normalize_serial(SERIAL)


@pytest.fixture(scope="module")
def sim(zsession):
    with SimProcess(SERIAL, layout="two-arm", rate=100) as process:
        wait_reachable(zsession, KEY_SERIAL)
        yield process


@pytest.fixture
def ctl(sim):
    control = sim.control()
    control.clear()
    yield control
    control.clear()


def call(zsession, request_id, groups=(), **kw):
    return rpc(zsession, KEY_SERIAL, request_id, groups, **kw)


def only_reply(zsession, request_id, groups=()):
    replies, _ = call(zsession, request_id, groups)
    assert [ok for ok, _ in replies] == [True]
    return decode_reply(replies[0][1])


def test_each_request_id_is_answered_over_the_network(zsession, ctl):
    answers = {
        rid: only_reply(zsession, rid, [0, 2, 3, 4, 5] if rid == 10 else [])
        for rid in (0, 1, 3, 4, 9, 10, 42)
    }
    assert {rid: (r.request_id, r.success) for rid, r in answers.items()} == {
        0: (0, False),
        1: (1, True),
        3: (3, True),
        4: (4, True),
        9: (9, True),
        10: (10, True),
        42: (42, False),
    }
    assert answers[1].string_container == ["v2.1"]
    assert answers[10].int_container == [0, 0, 0, 7, 14]


def test_undecodable_request_gets_nothing_and_the_substitute_lives_on(zsession, ctl, sim):
    for junk in (b"", b"\x07", b"\x01\x00\x00\x00", b"\xff" * 64):
        replies, _ = call(zsession, 0, payload=junk)
        assert replies == []
    assert sim.running() and only_reply(zsession, 1).string_container == ["v2.1"]


@pytest.mark.parametrize(
    "fault,expected",
    [
        ("error_first", [(False, "good")]),
        ("double_reply", [(True, "good"), (True, "second")]),
        ("trailing_then_good", [(True, "trailing"), (True, "good")]),
        ("good_then_trailing", [(True, "good"), (True, "trailing")]),
        ("reply_trailing_byte", [(True, "trailing")]),
        ("no_reply", []),
    ],
)
def test_reply_sequence_faults(zsession, ctl, fault, expected):
    ctl.set(**{fault: True})
    replies, elapsed = call(zsession, 1)
    seen = []
    for ok, payload in replies:
        if not ok:
            seen.append((False, "good"))  # the error reply comes first ...
            continue
        try:
            text = decode_reply(payload).string_container[0]
            seen.append((True, "good" if text == "v2.1" else "second"))
        except WireError:
            assert decode_reply(payload[:-1]).string_container == ["v2.1"]
            seen.append((True, "trailing"))
    if fault == "error_first":
        assert [ok for ok, _ in replies] == [False, True]  # ... then the good one
        assert decode_reply(replies[1][1]).string_container == ["v2.1"]
    else:
        assert seen == expected
    assert elapsed < 1.0  # every query ends promptly, the no-reply one included


def test_delay_applies_only_to_the_chosen_requests(zsession, ctl):
    ctl.set(reply_delay_ms=600, requests=[4])
    _, fast = call(zsession, 1)
    replies, slow = call(zsession, 4)
    assert fast < 0.3 and 0.55 <= slow < 1.5 and len(replies) == 1
    replies, _ = call(zsession, 4, timeout=0.2)  # the client gave up: the sim must not mind
    assert not any(ok for ok, _ in replies) and only_reply(zsession, 0).request_id == 0


def test_countdown_and_content_faults_at_run_time(zsession, ctl):
    state = ctl.set(ignore_probes=2, version="v2.10", reply_request_id=7, requests=[9])
    assert state["faults"] == {"ignore_probes": 2, "version": "v2.10", "reply_request_id": 7}
    assert state["requests"] == {"reply_request_id": [9]}
    assert [len(call(zsession, 0)[0]) for _ in range(3)] == [0, 0, 1]
    assert only_reply(zsession, 1).string_container == ["v2.10"]
    assert only_reply(zsession, 9).request_id == 7 and only_reply(zsession, 4).request_id == 4
    assert ctl.state()["faults"] == {"version": "v2.10", "reply_request_id": 7}


def test_bad_control_message_is_refused_and_changes_nothing(ctl):
    ctl.set(probe_success=True)
    with pytest.raises(ControlError, match="unknown fault"):
        ctl.set(no_such_fault=1)
    with pytest.raises(ControlError, match="whole number"):
        ctl.send({"set": {"reply_delay_ms": "soon"}})
    assert ctl.state()["faults"] == {"probe_success": True}
