"""The module surface without a robot: attributes, JointGroup, the records and their value
conversions, generated signatures, exported symbols, the version guard and coexistence with
eclipse-zenoh."""

import ast
import copy
import operator
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import korvelquor as kq
from korvelquor import JointGroup
from conftest import run_python

MEMBERS = ["UNKNOWN", "ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"]
VALUES = [-1, 0, 2, 3, 4, 5]


# --- module -------------------------------------------------------------------------------


def test_docstring_and_attributes_in_creation_order():
    assert kq.__doc__ == "Korvel Quor (QUOR)"
    public = [name for name in vars(kq) if not name.startswith("__")]
    assert public == [
        "JointGroup",
        *MEMBERS,
        "RobotStates",
        "RobotActions",
        "PrimitiveStates",
        "PlanInfo",
        "Client",
    ]
    assert not hasattr(kq, "__version__")


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", kq.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_korvelquor"]


def test_type_stub_is_generated_beside_the_module():
    stub = Path(kq.__file__).with_name("korvelquor.pyi")
    if not stub.exists():
        pytest.skip("built without pybind11-stubgen")
    text = stub.read_text()
    assert "def states(self) -> dict[JointGroup, RobotStates]:" in text
    assert 'tcp_pose: typing.Annotated[list[float], "FixedSize(7)"]' in text
    assert "pybind11_stubgen" not in text
    compile(text, str(stub), "exec")  # the stub is valid Python


@pytest.mark.parametrize("first", ["zenoh", "korvelquor"])
def test_importable_with_eclipse_zenoh_in_either_order(first):
    second = "korvelquor" if first == "zenoh" else "zenoh"
    # Both libraries are used in the one process: eclipse-zenoh runs a session (kept to
    # itself: no scouting, no listener, so no other peer can slow its close) and
    # korvelquor converts records and raises from native code. The live tests run
    # korvelquor clients beside the eclipse-zenoh session of the substitute's control helper.
    result = run_python(f"""
        import {first}, {second}
        config = zenoh.Config.from_json5(
            '{{"mode": "peer", "scouting": {{"multicast": {{"enabled": false}}}}, '
            '"listen": {{"endpoints": []}}}}')
        s = zenoh.open(config)
        s.put("korvel/test/coexist", b"x")
        r = korvelquor.RobotStates(); r.q = [1, 2]
        try:
            korvelquor.Client("bad_serial")
        except ValueError as e:
            print(e)
        s.close()
        print(r.q, korvelquor.ARMS)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-2:] == [
        "[korvel::quor::Client] Format of the provided robot serial number is invalid",
        "[1.0, 2.0] JointGroup.ARMS",
    ]


# --- the version guard --------------------------------------------------------------------


@pytest.mark.parametrize(
    "built, interpreter, ok",
    [
        ("3.14", "3.14.2 (main, Jan  1 2026, 00:00:00) [GCC 14.2.0]", True),
        ("3.14", "3.14.0", True),
        ("3.14", "3.14", True),
        ("3.14", "3.14a1", True),
        ("3.14", "3.13.1 (main)", False),
        ("3.14", "3.140.0", False),
        ("3.14", "3.1", False),
        ("3.14", "", False),
        ("3.14", "4.14.0", False),
    ],
)
def test_version_guard_rule(built, interpreter, ok):
    probe = pytest.importorskip("kq_version_guard_probe")
    assert probe.matches(built, interpreter) is ok


def test_version_guard_accepts_this_interpreter_and_spells_the_message():
    probe = pytest.importorskip("kq_version_guard_probe")
    assert probe.built_for == f"{sys.version_info.major}.{sys.version_info.minor}"
    assert probe.matches(probe.built_for, sys.version)
    other = f"{sys.version_info.major}.{sys.version_info.minor}0.1"
    assert not probe.matches(probe.built_for, other)
    assert probe.message("3.14", "3.13.1 (main)") == (
        "Python version mismatch: module was compiled for Python 3.14, but the interpreter "
        "version is incompatible: 3.13.1 (main)."
    )


def _other_interpreters():
    found = []
    for minor in range(8, 16):
        if minor == sys.version_info.minor:
            continue
        # Real executables only: a pyenv shim may name a version that is not active.
        candidates = [
            root / "bin" / f"python3.{minor}"
            for root in Path.home().joinpath(".pyenv", "versions").glob(f"3.{minor}.*")
        ]
        candidates.append(Path(f"/usr/bin/python3.{minor}"))
        for candidate in candidates:
            if candidate.exists():
                found.append(str(candidate))
                break
    return found


def test_another_interpreter_is_refused_with_import_error():
    others = _other_interpreters()
    if not others:
        pytest.skip("no Python of another minor version on this machine")
    built = f"{sys.version_info.major}.{sys.version_info.minor}"
    # The file name carries this interpreter's ABI tag, so another interpreter would not even
    # look at it; load it by path to reach the module's own check.
    checked = 0
    for exe in others:
        result = run_python(
            f"""
            import importlib.machinery, importlib.util, sys
            loader = importlib.machinery.ExtensionFileLoader("korvelquor", {kq.__file__!r})
            spec = importlib.util.spec_from_loader("korvelquor", loader)
            try:
                importlib.util.module_from_spec(spec)
            except ImportError as e:
                print(repr(str(e)))
                print(repr(sys.version))
        """,
            executable=exe,
        )
        lines = result.stdout.splitlines()
        if len(lines) != 2:
            raise AssertionError(
                f"{exe} imported the module or failed otherwise: {result.stdout} {result.stderr}"
            )
        message, version = (ast.literal_eval(line) for line in lines)
        if "undefined symbol" in message:
            continue  # that interpreter lacks a symbol the module links: refused before init
        checked += 1
        assert message == (
            f"Python version mismatch: module was compiled for Python {built}, "
            f"but the interpreter version is incompatible: {version}."
        ), exe
    assert checked, "every other interpreter refused the module before its own check"


# --- JointGroup ---------------------------------------------------------------------------


def test_joint_group_members_values_and_export():
    assert list(JointGroup.__members__) == MEMBERS
    assert [int(m) for m in JointGroup.__members__.values()] == VALUES
    for name in MEMBERS:
        assert getattr(kq, name) is getattr(JointGroup, name)
    assert JointGroup.__members__ is not JointGroup.__members__  # a new dict each time
    assert JointGroup.__doc__ == "Members:" + "".join(f"\n\n  {n}" for n in MEMBERS)


@pytest.mark.parametrize(
    "member, text, value",
    [
        (JointGroup.ARM_1, "ARM_1", 3),
        (JointGroup.UNKNOWN, "UNKNOWN", -1),
        (JointGroup.EXT_AXIS, "EXT_AXIS", 5),
        (JointGroup(1), "???", 1),
        (JointGroup(77), "???", 77),
    ],
)
def test_joint_group_representations(member, text, value):
    assert repr(member) == f"<JointGroup.{text}: {value}>"
    assert str(member) == f"JointGroup.{text}"
    assert member.name == text and member.value == value
    # hash() is the value's own hash (CPython turns -1 into -2 for any object)
    assert hash(member) == hash(value)
    assert int(member) == value and operator.index(member) == value


def test_joint_group_equality_is_typed_and_unordered():
    assert JointGroup.ALL != 0 and not (JointGroup.ALL == 0)
    assert int(JointGroup.ALL) == 0
    assert JointGroup(3) == JointGroup.ARM_1 and JointGroup(3) is not JointGroup.ARM_1
    assert JointGroup.ARMS != JointGroup.ARM_1
    for op in ("<", "<=", ">", ">=", "&", "|", "+"):
        with pytest.raises(TypeError):
            eval(f"JointGroup.ALL {op} JointGroup.ARMS")


def test_joint_group_pickles_and_copies():
    for member in JointGroup.__members__.values():
        assert pickle.loads(pickle.dumps(member)) == member
        assert copy.deepcopy(member) == member
    assert JointGroup.ARMS.__getstate__() == 2


@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 1.0, "ARMS", None])
def test_joint_group_constructor_refuses_non_int32(bad):
    with pytest.raises(TypeError):
        JointGroup(bad)
    assert JointGroup(2**31 - 1).value == 2**31 - 1


# --- records ------------------------------------------------------------------------------

FLOAT_LISTS = {
    kq.RobotStates: [
        "q",
        "theta",
        "dq",
        "dtheta",
        "tau",
        "tau_dot",
        "tau_ext",
        "tau_interact",
        "temperature",
    ],
    kq.RobotActions: ["q_d", "dq_d", "tau_d"],
}
FIXED = {
    kq.RobotStates: {
        "flange_pose": 7,
        "tcp_pose": 7,
        "tcp_twist": 6,
        "tcp_wrench": 6,
        "tcp_wrench_local": 6,
        "raw_tcp_wrench": 6,
        "raw_tcp_wrench_local": 6,
        "raw_ft_sensor": 6,
    },
    kq.RobotActions: {"tcp_pose_d": 7, "tcp_twist_d": 6, "tcp_wrench_d": 6},
}
PROPERTIES = {
    kq.RobotStates: ["timestamp", *FLOAT_LISTS[kq.RobotStates], *FIXED[kq.RobotStates]],
    kq.RobotActions: ["timestamp", *FLOAT_LISTS[kq.RobotActions], *FIXED[kq.RobotActions]],
    kq.PrimitiveStates: ["pt_name", "names_and_values"],
    kq.PlanInfo: [
        "pt_name",
        "node_name",
        "node_path",
        "node_path_time_period",
        "node_path_number",
        "assigned_plan_name",
        "velocity_scale",
        "waiting_for_step",
    ],
}


@pytest.mark.parametrize("cls", list(PROPERTIES))
def test_record_properties_in_field_order_with_defaults(cls):
    props = [n for n, v in vars(cls).items() if isinstance(v, property)]
    assert props == PROPERTIES[cls]
    r = cls()
    for name in FLOAT_LISTS.get(cls, []):
        assert getattr(r, name) == []
    for name, n in FIXED.get(cls, {}).items():
        assert getattr(r, name) == [0.0] * n
    if "timestamp" in PROPERTIES[cls]:
        assert r.timestamp == (0, 0)
    assert repr(r).startswith(f"<korvelquor.{cls.__name__} object at 0x")
    with pytest.raises(AttributeError):
        r.not_a_field = 1
    with pytest.raises(TypeError):
        hash(r) if cls.__hash__ is None else pickle.dumps(r)


def _distinct_value(cls, name, k):
    """A value for property `name` that no other property of the record is given."""
    if name == "timestamp":
        return (k, -k)
    if name in FLOAT_LISTS.get(cls, []):
        return [k + 0.5] * (k % 3 + 1)
    if name in FIXED.get(cls, {}):
        return [k + 0.25 * i for i in range(FIXED[cls][name])]
    return {
        "velocity_scale": k + 0.75,
        "waiting_for_step": True,
        "names_and_values": {f"n{k}": k},
    }.get(name, f"text {k}")


@pytest.mark.parametrize("cls", list(PROPERTIES))
def test_every_property_reads_back_its_own_field(cls):
    # A property bound to another field (tcp_wrench to tcp_wrench_local, node_path to
    # node_name) reads back a neighbour's value.
    r = cls()
    values = {name: _distinct_value(cls, name, k) for k, name in enumerate(PROPERTIES[cls])}
    for name, value in values.items():
        setattr(r, name, value)
    assert {name: getattr(r, name) for name in values} == values


def test_plan_info_defaults():
    p = kq.PlanInfo()
    assert (p.pt_name, p.velocity_scale, p.waiting_for_step) == ("", 0.0, False)
    assert kq.PrimitiveStates().names_and_values == {}


def test_reads_are_copies():
    r = kq.RobotStates()
    r.q.append(1.0)
    assert r.q == []
    r.q = [1, 2.5]
    got = r.q
    assert got == [1.0, 2.5] and all(type(x) is float for x in got)
    got[0] = 9.0
    assert r.q == [1.0, 2.5]
    pose = r.tcp_pose
    pose[0] = 5.0
    assert r.tcp_pose == [0.0] * 7
    p = kq.PrimitiveStates()
    p.names_and_values = {"a": 1}
    p.names_and_values["b"] = 2
    assert p.names_and_values == {"a": 1}


# (attribute, accepted value, read back) — writes that must succeed.
ACCEPTED = [
    ("q", (1, 2.5), [1.0, 2.5]),
    ("q", range(3), [0.0, 1.0, 2.0]),
    ("q", [], []),
    ("tcp_pose", (1, 2, 3, 4, 5, 6, 7), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]),
    ("tcp_twist", [0.5] * 6, [0.5] * 6),
    ("timestamp", (1, 2), (1, 2)),
    ("timestamp", [-(2**31), 2**31 - 1], (-(2**31), 2**31 - 1)),
    ("timestamp", (True, 2), (1, 2)),
]


@pytest.mark.parametrize("attr, value, expected", ACCEPTED)
def test_accepted_writes(attr, value, expected):
    r = kq.RobotStates()
    setattr(r, attr, value)
    assert getattr(r, attr) == expected
    assert type(getattr(r, attr)) is type(expected)


# (attribute, refused value) — each raises TypeError and keeps the previous content.
REFUSED = [
    ("q", "12"),
    ("q", b"12"),
    ("q", 1.0),
    ("q", [1.0, "x"]),
    ("q", None),
    ("q", {1: 2.0}),
    ("tcp_pose", [1.0] * 6),
    ("tcp_pose", [1.0] * 8),
    ("tcp_pose", "1234567"),
    ("tcp_twist", [1.0] * 7),
    ("timestamp", (1.5, 2)),
    ("timestamp", (1, 2, 3)),
    ("timestamp", (2**31, 0)),
    ("timestamp", 5),
]


@pytest.mark.parametrize("attr, value", REFUSED)
def test_refused_writes_change_nothing(attr, value):
    r = kq.RobotStates()
    r.q = [3.0]
    r.tcp_pose = [0.25] * 7
    r.tcp_twist = [0.5] * 6
    r.timestamp = (7, 8)
    before = getattr(r, attr)
    with pytest.raises(TypeError):
        setattr(r, attr, value)
    assert getattr(r, attr) == before


def test_plan_info_scalar_conversions():
    p = kq.PlanInfo()
    p.waiting_for_step = True
    p.waiting_for_step = None
    assert p.waiting_for_step is False
    p.waiting_for_step = 2
    assert p.waiting_for_step is True
    with pytest.raises(TypeError):
        p.waiting_for_step = "yes"
    assert p.waiting_for_step is True
    p.velocity_scale = 1
    assert p.velocity_scale == 1.0 and type(p.velocity_scale) is float
    with pytest.raises(TypeError):
        p.velocity_scale = "0.5"
    p.node_name = b"node"
    assert p.node_name == "node"
    p.pt_name = "MoveL ü"
    assert p.pt_name == "MoveL ü"
    with pytest.raises(TypeError):
        p.pt_name = 3
    p.node_path = b"\xff/grasp"  # bytes are stored as they are ...
    with pytest.raises(UnicodeDecodeError):
        p.node_path  # ... and text that is not UTF-8 cannot be read back as str


def test_names_and_values_keep_their_types_and_sort_by_key():
    p = kq.PrimitiveStates()
    p.names_and_values = {"c": "x", "a": 1, "b": 2.5, "d": True, "e": 2**40, "f": "1"}
    got = p.names_and_values
    assert list(got) == ["a", "b", "c", "d", "e", "f"]
    assert [(v, type(v)) for v in got.values()] == [
        (1, int),
        (2.5, float),
        ("x", str),
        (1, int),
        (float(2**40), float),
        ("1", str),
    ]
    p.names_and_values = {"z": 1.0}
    assert type(p.names_and_values["z"]) is float
    for bad in ({"a": [1]}, {"a": None}, {1: 2}, [("a", 1)]):
        with pytest.raises(TypeError):
            p.names_and_values = bad
        assert p.names_and_values == {"z": 1.0}


# --- generated signatures -----------------------------------------------------------------

CLIENT_SIGNATURES = {
    "__init__": "(self: korvelquor.Client, robot_sn: str, verbose: bool = True) -> None",
    "connected": "(self: korvelquor.Client) -> bool",
    "groups": "(self: korvelquor.Client) -> dict[korvelquor.JointGroup, str]",
    "states": "(self: korvelquor.Client) -> dict[korvelquor.JointGroup, korvelquor.RobotStates]",
    "actions": "(self: korvelquor.Client) -> dict[korvelquor.JointGroup, korvelquor.RobotActions]",
    "primitive_states": "(self: korvelquor.Client) -> dict[korvelquor.JointGroup, korvelquor.PrimitiveStates]",
    "configuration_score": "(self: korvelquor.Client) -> dict[korvelquor.JointGroup, tuple[float, float]]",
    "plan_info": "(self: korvelquor.Client) -> korvelquor.PlanInfo",
    "estop_released": "(self: korvelquor.Client) -> bool",
    "enabling_device_on": "(self: korvelquor.Client) -> bool",
    "digital_inputs": "(self: korvelquor.Client) -> Annotated[list[bool], FixedSize(20)]",
    "digital_outputs": "(self: korvelquor.Client) -> Annotated[list[bool], FixedSize(20)]",
    "__repr__": "(self: korvelquor.Client) -> str",
}


def test_client_members_in_definition_order_with_signatures():
    defined = [n for n in vars(kq.Client) if n in CLIENT_SIGNATURES]
    assert defined == list(CLIENT_SIGNATURES)
    for name, signature in CLIENT_SIGNATURES.items():
        assert getattr(kq.Client, name).__doc__ == f"{name}{signature}\n", name


@pytest.mark.parametrize(
    "cls, prop, annotation",
    [
        (kq.RobotStates, "timestamp", "tuple[int, int]"),
        (kq.RobotStates, "q", "list[float]"),
        (kq.RobotStates, "tcp_pose", "Annotated[list[float], FixedSize(7)]"),
        (kq.RobotStates, "raw_ft_sensor", "Annotated[list[float], FixedSize(6)]"),
        (kq.RobotActions, "tcp_pose_d", "Annotated[list[float], FixedSize(7)]"),
        (kq.PrimitiveStates, "names_and_values", "dict[str, Union[int, float, str]]"),
        (kq.PlanInfo, "velocity_scale", "float"),
        (kq.PlanInfo, "waiting_for_step", "bool"),
    ],
)
def test_property_annotations(cls, prop, annotation):
    p = vars(cls)[prop]
    assert p.fget.__doc__ == f"(self: korvelquor.{cls.__name__}) -> {annotation}\n"
    assert p.fset.__doc__ == f"(self: korvelquor.{cls.__name__}, arg0: {annotation}) -> None\n"


def test_joint_group_constructor_signature():
    assert (
        JointGroup.__init__.__doc__ == "__init__(self: korvelquor.JointGroup, value: int) -> None\n"
    )


def test_wrong_argument_types_raise_type_error_before_native_code(capfd):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        kq.Client(12345)
    with pytest.raises(TypeError):
        kq.Client("AB-4s-012345", verbose="yes")
    with pytest.raises(TypeError):
        kq.Client()
    with pytest.raises(TypeError):
        kq.RobotStates(1)
    out, err = capfd.readouterr()
    assert "Korvel QUOR" not in out + err  # the native constructor never ran
