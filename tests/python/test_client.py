"""korvelquor.Client against the substitute controller in the private network: results and
their Python shapes, log lines of construction, native failures as Python exceptions, and
several Python threads on one client."""

import math
import threading
import time

import pytest

import korvelquor as kq
from korvelquor import JointGroup
from conftest import run_python, unique_serial, wait_for

TWO_ARM_DOFS = {
    JointGroup.ALL: 21,
    JointGroup.ARMS: 14,
    JointGroup.ARM_1: 7,
    JointGroup.ARM_2: 7,
    JointGroup.EXT_AXIS: 7,
}
TWO_ARM_STARTS = {
    JointGroup.ALL: 0,
    JointGroup.ARMS: 0,
    JointGroup.ARM_1: 0,
    JointGroup.ARM_2: 7,
    JointGroup.EXT_AXIS: 14,
}
SERIAL_MESSAGE = "[korvel::quor::Client] Format of the provided robot serial number is invalid"
BANNER = "| | | | | | | | | |  Korvel QUOR v2.1  | | | | | | | | | |"
EXIT_LINE = ">>>>> Korvel QUOR exited <<<<<"


def test_repr_connected_and_groups(client):
    assert repr(client) == "<korvelquor.Client>"
    assert client.connected() is True
    groups = client.groups()
    assert list(groups) == list(TWO_ARM_DOFS)  # ascending JointGroup order
    assert groups == {g: g.name for g in TWO_ARM_DOFS}
    for key in groups:
        assert key == getattr(kq, key.name) and key is not getattr(kq, key.name)


def test_states_are_cut_per_group_from_one_sample(client):
    states = client.states()
    assert list(states) == list(TWO_ARM_DOFS)
    stamps = {s.timestamp for s in states.values()}
    assert len(stamps) == 1
    whole = states[JointGroup.ALL]
    for group, s in states.items():
        assert isinstance(s, kq.RobotStates)
        n, start = TWO_ARM_DOFS[group], TWO_ARM_STARTS[group]
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
        ):
            values = getattr(s, name)
            assert len(values) == n, (group, name)
            assert values == getattr(whole, name)[start : start + n], (group, name)
        assert len(s.tcp_pose) == 7 and len(s.tcp_wrench) == 6
        assert math.isclose(math.fsum(x * x for x in s.tcp_pose[3:]), 1.0, rel_tol=1e-5)
        # The world-frame wrench is the TCP-frame one rotated: the norms agree.
        for world, local in (
            (s.tcp_wrench, s.tcp_wrench_local),
            (s.raw_tcp_wrench, s.raw_tcp_wrench_local),
        ):
            for half in (slice(0, 3), slice(3, 6)):
                assert math.isclose(
                    math.hypot(*world[half]), math.hypot(*local[half]), rel_tol=1e-6, abs_tol=1e-9
                )
    assert states[JointGroup.ARM_1] is not states[JointGroup.ARMS]


def test_actions_shapes(client):
    actions = client.actions()
    assert list(actions) == list(TWO_ARM_DOFS)
    assert len({a.timestamp for a in actions.values()}) == 1
    whole = actions[JointGroup.ALL]
    for group, a in actions.items():
        n, start = TWO_ARM_DOFS[group], TWO_ARM_STARTS[group]
        for name in ("q_d", "dq_d", "tau_d"):
            assert getattr(a, name) == getattr(whole, name)[start : start + n], (group, name)
        assert len(a.tcp_pose_d) == 7 and len(a.tcp_twist_d) == 6 and len(a.tcp_wrench_d) == 6


def test_remote_results_and_status(client):
    prims = client.primitive_states()
    assert {g: p.pt_name for g, p in prims.items()} == {
        JointGroup.ARM_1: "MoveL",
        JointGroup.ARM_2: "MoveJ",
        JointGroup.EXT_AXIS: "Hold",
    }
    for p in prims.values():
        values = p.names_and_values
        assert list(values) == sorted(values)
        assert type(values["cycle"]) is int
        assert type(values["progress"]) is float
        assert type(values["phase"]) is str

    scores = client.configuration_score()
    assert list(scores) == list(TWO_ARM_DOFS)
    for pair in scores.values():
        assert type(pair) is tuple and len(pair) == 2 and all(type(x) is float for x in pair)

    info = client.plan_info()
    assert isinstance(info, kq.PlanInfo)
    assert (info.node_path_time_period, info.velocity_scale, info.waiting_for_step) == (
        "0.250",
        0.8,
        False,
    )
    assert info.pt_name

    for flag in (client.estop_released(), client.enabling_device_on()):
        assert type(flag) is bool
    for io in (client.digital_inputs(), client.digital_outputs()):
        assert type(io) is list and len(io) == 20 and all(type(b) is bool for b in io)


# (fault switched on at run time, call, exception, message)
RUNTIME_FAULTS = [
    (
        {"no_reply": True},
        [4],
        "plan_info",
        RuntimeError,
        "[korvel::quor::Client] plan_info: No reply from the robot",
    ),
    (
        {"plan_info": '["a", "b"]'},
        None,
        "plan_info",
        RuntimeError,
        "[korvel::quor::Client] plan_info: No reply from the robot",
    ),
    (
        {"no_reply": True},
        [3],
        "primitive_states",
        RuntimeError,
        "[korvel::quor::Client::primitive_states] No reply from the robot",
    ),
    (
        {"pt_states": '["cycle=1"]'},
        None,
        "primitive_states",
        RuntimeError,
        "[korvel::quor::Client::primitive_states] Malformed primitive states: missing jointGroup marker",
    ),
    (
        {"manip_mismatch": True},
        None,
        "configuration_score",
        RuntimeError,
        "[korvel::quor::Model::configuration_score] No reply from the robot",
    ),
    ({"group_index": 1}, None, "groups", IndexError, "map::at"),
]


@pytest.mark.parametrize("faults, requests, call, exc, message", RUNTIME_FAULTS)
def test_native_failures_become_python_exceptions(
    two_arm_sim, client, faults, requests, call, exc, message
):
    control = two_arm_sim.control()
    control.set(requests=requests, **faults)
    try:

        def raises():
            try:
                getattr(client, call)()
            except exc as e:
                assert str(e) == message
                return True
            return False

        # Stream faults reach the cache with the next sample.
        assert wait_for(raises), f"{call} did not raise {exc.__name__}"
    finally:
        control.clear()

    def recovered():
        try:
            getattr(client, call)()
            return True
        except exc:
            return False

    assert wait_for(recovered)


def test_threads_share_one_client(client):
    errors = []
    counts = []

    def worker(calls):
        done = 0
        try:
            for i in range(60):
                for call in calls:
                    result = getattr(client, call)()
                    if call in ("states", "actions"):
                        assert len(result) == 5
                    done += 1
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)
        counts.append(done)

    plans = [
        ("states", "groups"),
        ("actions", "estop_released"),
        ("plan_info",),
        ("states", "digital_inputs", "configuration_score"),
    ]
    threads = [threading.Thread(target=worker, args=(p,)) for p in plans]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert sorted(counts) == sorted(60 * len(p) for p in plans)


def test_two_clients_share_the_robot(two_arm_sim, client):
    second = kq.Client(two_arm_sim.serial, False)
    third = kq.Client(robot_sn=two_arm_sim.serial, verbose=False)
    del second
    assert third.connected() and len(third.states()) == 5
    assert client.connected()


@pytest.mark.parametrize(
    "serial",
    [
        "",
        "AB_4s-012345",
        "AB4s012345",
        "AB-4s-",
        "-012345",
        "AB  4s-012345",
        "AB.4s-012345",
        # A key expression of this length used to kill the
        # shared session; a NUL cut the message short.
        "AB-" + "0" * 70000,
        "AB-01\x0023",
        "AB-0\t1",
    ],
)
def test_malformed_serial_raises_value_error(serial, client, capfd):
    with pytest.raises(ValueError) as info:
        kq.Client(serial)
    assert str(info.value) == SERIAL_MESSAGE
    out, err = capfd.readouterr()
    assert BANNER in out + err  # verbose defaults to True
    assert "Connected" not in out + err and EXIT_LINE not in out + err
    # The other client of the process goes on receiving.
    stamp = client.states()[JointGroup.ALL].timestamp
    assert wait_for(lambda: client.states()[JointGroup.ALL].timestamp != stamp)


@pytest.mark.parametrize(
    "args, logged, absent",
    [
        (
            "",
            [
                BANNER,
                "Searching for [",
                "Connected to the robot",
                "Joint group: ARM_2, DoF: 7",
                "Initialization complete",
                EXIT_LINE,
            ],
            [],
        ),
        (
            ", verbose=False",
            ["Connected to the robot", EXIT_LINE],
            [BANNER, "Searching for", "Joint group", "Initialization complete"],
        ),
    ],
)
def test_construction_log_lines(two_arm_sim, args, logged, absent):
    result = run_python(f"""
        import korvelquor
        c = korvelquor.Client({two_arm_sim.serial!r}{args})
        print("CONSTRUCTED", flush=True)
        del c
    """)
    assert result.returncode == 0, result.stderr
    text = result.stdout + result.stderr
    for line in logged:
        assert line in text, line
    for line in absent:
        assert line not in text, line
    assert text.index("Connected to the robot") < text.index("CONSTRUCTED") < text.index(EXIT_LINE)


# (substitute faults at start, exception, message start) — construction that must fail.
CONSTRUCTION_FAULTS = [
    (
        ["version=v2.10"],
        RuntimeError,
        "[korvel::quor::Client] Version of this client is incompatible with robot [{serial}]",
    ),
    (
        ["start_id_mismatch"],
        RuntimeError,
        "[korvel::quor::Client] Failed to obtain robot start ID and DoF information",
    ),
    (["no_reply@1"], RuntimeError, "[korvel::quor::Client] Failed to sync QUOR server version"),
]


@pytest.mark.parametrize("faults, exc, message", CONSTRUCTION_FAULTS)
def test_construction_failures(faults, exc, message):
    from korvel_sim.testing import SimProcess

    serial = unique_serial("CF")
    normalized = serial.replace(" ", "-")
    with SimProcess(serial, layout="one-arm", rate=200, faults=faults):
        with pytest.raises(exc) as info:
            kq.Client(serial, verbose=False)
    assert str(info.value) == message.format(serial=normalized)


def test_absent_robot_and_vanished_robot():
    from korvel_sim.testing import SimProcess

    serial = unique_serial("GONE")
    with pytest.raises(RuntimeError) as info:
        kq.Client(serial, False)
    assert str(info.value).startswith(
        f"[korvel::quor::Client] Failed to connect to [{serial.replace(' ', '-')}]. Please check"
    )

    sim = SimProcess(serial, layout="one-arm", rate=500).start()
    try:
        c = kq.Client(serial, False)
        before = c.states()
        assert list(before) == [JointGroup.ALL, JointGroup.ARM_1]
    finally:
        sim.kill()
    assert c.connected() is False
    with pytest.raises(RuntimeError, match="plan_info: No reply"):
        c.plan_info()
    # The stream accessors answer from the last cached sample.
    assert list(c.states()) == [JointGroup.ALL, JointGroup.ARM_1]
    assert len(c.digital_outputs()) == 20
