"""korvelquor_capture against the substitute: every sample once and in order, the same values
as states()/actions(), loss counted exactly, waits that let Python run, a client that goes
away, arguments refused with their names and values."""

import math
import signal
import threading
import time

import numpy as np
import pytest

import korvelquor as kq
import korvelquor_capture as kc
from conftest import run_python, wait_for

STATE_FIELDS = [
    "q",
    "theta",
    "dq",
    "dtheta",
    "tau",
    "tau_dot",
    "tau_ext",
    "tau_interact",
    "temperature",
    "flange_pose",
    "tcp_pose",
    "tcp_twist",
    "tcp_wrench",
    "tcp_wrench_local",
    "raw_tcp_wrench",
    "raw_tcp_wrench_local",
    "raw_ft_sensor",
]
ACTION_FIELDS = ["q_d", "dq_d", "tau_d", "tcp_pose_d", "tcp_twist_d", "tcp_wrench_d"]


@pytest.fixture
def control(two_arm_sim):
    ctl = two_arm_sim.control()
    ctl.clear()
    yield ctl
    ctl.clear()


def drain_until_quiet(cap, batches):
    """Drains until a drain returns nothing (the streams are silent)."""
    while True:
        b = cap.drain()
        batches.append(b)
        if b.basic.rows == 0 and b.extra.rows == 0 and len(b.basic.undecodable_seq) == 0:
            return batches


def test_rows_equal_states_and_actions_of_the_same_sample(client, control):
    cap = kc.Capture(client)
    time.sleep(0.2)
    control.set(silent_streams=True)
    time.sleep(0.3)  # samples in flight arrive first
    batch = cap.drain()
    basic, extra = batch.basic, batch.extra
    states, actions = client.states(), client.actions()
    assert basic.rows > 100 and basic.layout_ok.all() and extra.layout_ok.all()
    assert list(basic.groups) == list(states) and list(extra.groups) == list(actions)
    # After the streams fell silent the caches hold the last sample of each: the last rows.
    for group, s in states.items():
        assert tuple(basic.robot_time[-1]) == s.timestamp
        for name in STATE_FIELDS:
            assert getattr(basic.groups[group], name)[-1].tolist() == getattr(s, name), name
    for group, a in actions.items():
        for name in ACTION_FIELDS:
            assert getattr(extra.groups[group], name)[-1].tolist() == getattr(a, name), name
    assert basic.digital_inputs.shape == (basic.rows, 20) and basic.digital_inputs.dtype == bool
    assert basic.groups[kq.ARM_2].q.shape == (basic.rows, 7)


def test_a_capture_without_columns_keeps_the_samples_a_full_one_keeps(client, control):
    full = kc.Capture(client, keep_payloads=True)
    bare = kc.Capture(client, keep_payloads=True, columns=False)
    time.sleep(0.3)
    control.set(silent_streams=True)
    time.sleep(0.3)
    drained = full.drain(), bare.drain()
    for stream in ("basic", "extra"):
        a, b = (getattr(batch, stream) for batch in drained)
        assert b.rows == 0 and not b.groups and a.rows > 100
        # The same samples: every one since the second capture opened, a moment later.
        n = len(b.raw)
        assert n > 100 and np.array_equal(b.raw.seq, np.arange(n))
        assert np.array_equal(b.raw.receive_mono_ns, a.raw.receive_mono_ns[-n:])
        assert np.array_equal(b.raw.robot_time, a.raw.robot_time[-n:])
        assert b.raw.decoded.all() and a.raw.decoded[-n:].all()
        k = len(a.raw) - n
        assert np.array_equal(b.raw.data, a.raw.data[a.raw.offsets[k] :])


def test_every_published_sample_is_captured_once_by_two_draining_threads():
    from korvel_sim.testing import SimProcess

    # Lossless: the substitute blocks rather than drop a sample on a congested link, so that
    # what arrives can be counted against what it published.
    with SimProcess("KQ LOSSLESS-1", layout="two-arm", rate=1000, args=["--lossless"]) as sim:
        client = kq.Client(sim.serial, verbose=False)
        check_every_sample_captured_once(client, sim.control())
        del client


def check_every_sample_captured_once(client, control):
    control.set(silent_streams=True)
    time.sleep(0.3)
    cap = kc.Capture(client)
    before = control.state()
    control.clear()
    batches = []
    lock = threading.Lock()
    stop = threading.Event()

    def drain_loop():
        while not stop.is_set():
            cap.wait(0.05)
            b = cap.drain()
            with lock:
                batches.append(b)

    threads = [threading.Thread(target=drain_loop) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(3.0)
    control.set(silent_streams=True)
    time.sleep(0.5)
    stop.set()
    for t in threads:
        t.join()
    drain_until_quiet(cap, batches)
    after = control.state()

    for stream in ("basic", "extra"):
        published = after[f"published_{stream}"] - before[f"published_{stream}"]
        seqs = [getattr(b, stream).seq for b in batches]
        for s in seqs:
            assert (np.diff(s) > 0).all(), "a batch out of order"
        got = np.sort(np.concatenate(seqs))
        assert published > 2000
        assert got.tolist() == list(range(published)), stream  # each once, none lost
        assert cap.dropped[stream] == 0


def test_a_full_buffer_drops_the_oldest_and_counts_them(client):
    cap = kc.Capture(client, capacity=50)
    time.sleep(0.3)
    b = cap.drain()
    assert b.basic.rows == 50
    first = int(b.basic.seq[0])
    assert first > 100
    assert b.basic.seq.tolist() == list(range(first, first + 50))  # the newest 50
    assert b.basic.dropped == first == cap.dropped["basic"]
    assert cap.drain().basic.dropped < 50  # counted since the previous drain
    # A storage budget drops the oldest too, whatever the capacity: a two-arm sample and its
    # payload take some 5 KiB, so 40 KiB hold at most a handful.
    small = kc.Capture(client, keep_payloads=True, max_bytes=40_000)
    time.sleep(0.3)
    b = small.drain()
    assert 1 <= b.basic.rows <= 10 and b.basic.dropped > 200
    assert b.basic.seq[-1] == b.basic.rows + b.basic.dropped - 1  # the newest were kept


def test_waiting_serves_other_threads_and_signals(client, control):
    control.set(silent_streams=True)
    time.sleep(0.3)
    cap = kc.Capture(client)
    cap.drain()
    ticks = 0
    waiter = threading.Thread(target=cap.wait, args=(1.0,))
    waiter.start()
    end = time.monotonic() + 0.5
    while time.monotonic() < end:
        ticks += 1
    assert waiter.is_alive() and ticks > 10000  # this thread ran while the other waited
    waiter.join()

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            cap.wait(10.0)
        assert time.monotonic() - start < 1.0
    finally:
        signal.signal(signal.SIGALRM, previous)


def test_a_capture_outliving_its_client_keeps_its_samples_then_raises(two_arm_sim):
    client = kq.Client(two_arm_sim.serial, verbose=False)
    cap = kc.Capture(client)
    time.sleep(0.2)
    del client
    assert cap.receiving is False
    assert cap.wait(5.0) is True  # what arrived before is still there
    assert cap.drain().basic.rows > 50
    assert cap.wait(5.0) is False
    with pytest.raises(RuntimeError, match="The client of this capture has been destroyed"):
        cap.drain()
    assert list(cap.batches(0.01)) == []


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (
            dict(capacity=0),
            "capacity must be a whole number of samples from 1 to 1000000000, got 0",
        ),
        (dict(capacity=-5), "got -5"),
        (
            dict(capacity=math.nan),
            "capacity must be a whole number of samples of at least 1, got nan",
        ),
        (dict(capacity=2.5), "got 2.5"),
        (dict(seconds=0.0), "seconds must be a positive number of seconds, got 0"),
        (dict(seconds=-1.0), "seconds must be a positive number of seconds, got -1"),
        (dict(seconds=math.nan), "got nan"),
        (dict(capacity=10, seconds=1.0), "not both"),
        (dict(columns=False), "a capture without columns keeps nothing unless it keeps payloads"),
    ],
)
def test_bad_capture_arguments_raise_value_error(client, kwargs, text):
    with pytest.raises(ValueError, match=text.replace(".", r"\.")):
        kc.Capture(client, **kwargs)


def test_bad_wait_arguments_raise_value_error(client):
    cap = kc.Capture(client)
    for call, text in (
        (lambda: cap.wait(-1.0), "timeout must be a non-negative number of seconds, got -1"),
        (lambda: cap.wait(math.nan), "got nan"),
        (lambda: cap.batches(0.0), "period must be a positive number of seconds, got 0"),
        (lambda: cap.batches(math.inf), "got inf"),
    ):
        with pytest.raises(ValueError, match=text):
            call()


def test_one_native_client_and_session_whichever_module_comes_first(two_arm_sim):
    # Imported capture-first: the companion brings korvelquor in; both map the one
    # libkorvelquor, and a second client opens no listening socket of its own (one shared
    # session: a second one would listen too). Connections come and go with the peers.
    result = run_python(f"""
        import os, time, korvelquor_capture as kc, korvelquor as kq
        def sockets():
            mine = set()
            for fd in os.listdir("/proc/self/fd"):
                try:
                    link = os.readlink(f"/proc/self/fd/{{fd}}")
                except OSError:
                    continue  # closed meanwhile
                if link.startswith("socket:["):
                    mine.add(link[8:-1])
            listening = 0
            for table in ("tcp", "tcp6"):
                for line in open(f"/proc/self/net/{{table}}").readlines()[1:]:
                    fields = line.split()
                    listening += fields[3] == "0A" and fields[9] in mine
            return listening
        maps = {{line.split()[-1] for line in open("/proc/self/maps") if "libkorvelquor" in line}}
        assert len(maps) == 1, maps
        a = kq.Client("{two_arm_sim.serial}", verbose=False)
        one = sockets()
        b = kq.Client("{two_arm_sim.serial}", verbose=False)
        assert one >= 1 and sockets() == one, (sockets(), one)
        cap = kc.Capture(b)
        time.sleep(0.3)
        rows = cap.drain().basic.rows
        # The capture rides on the client's own subscription: the same samples it counts.
        assert rows > 200 and kc.stream_status(b)["basic"].received >= rows
        print("ok", one)
    """)
    assert result.returncode == 0, result.stderr
    assert "ok" in result.stdout


def test_stream_status_tells_a_silent_robot_from_a_live_one(client, control):
    time.sleep(1.1)  # a whole second of samples since the fixture switched faults off
    live = kc.stream_status(client)["basic"]
    assert live.rate_hz > 500 and live.age_s < 0.1 and not live.layout_changed
    control.set(silent_basic=True)
    time.sleep(1.3)
    silent = kc.stream_status(client)
    assert silent["basic"].rate_hz == 0 and silent["basic"].age_s > 1.0
    assert silent["extra"].rate_hz > 500  # the other stream goes on


def test_a_robot_back_with_another_layout_is_never_read_silently():
    from korvel_sim.testing import SimProcess

    serial = "KQ LAYOUT-1"
    with SimProcess(serial, layout="one-arm", rate=1000):
        client = kq.Client(serial, verbose=False)
        assert list(client.states()) == [kq.ALL, kq.ARM_1]
    with SimProcess(serial, layout="two-arm", rate=1000):
        assert wait_for(lambda: kc.stream_status(client)["basic"].layout_changed, timeout=10.0)
        assert client.states() == {} and client.actions() == {}
        cap = kc.Capture(client)
        time.sleep(0.2)
        batch = cap.drain()
        assert batch.basic.rows > 50 and not batch.basic.layout_ok.any()
        assert np.isnan(batch.basic.groups[kq.ARM_1].q).all()
    del client
