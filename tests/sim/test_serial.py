import pytest

from korvel_sim.serial import InvalidSerial, normalize_serial


@pytest.mark.parametrize(
    "given,expected",
    [
        ("AB 4s-012345", "AB-4s-012345"),
        ("AB-4s-012345", "AB-4s-012345"),
        ("AB 4s-01 23", "AB-4s-01 23"),
        ("A B C-x.y", "A-B-C-x.y"),
        ("Z9-1", "Z9-1"),
    ],
)
def test_accepted_serials_are_normalized(given, expected):
    assert normalize_serial(given) == expected


@pytest.mark.parametrize(
    "given",
    [
        "",
        "AB_4s-1",
        "AB4s012345",
        "-012345",
        "AB-",
        "AB  4s-1",
        " AB-1",
        "AB -012345",
        "AB--012345",
        "A.B-1",
        "AB\u00e9-1",
        "AB\t4s-1",
    ],
)
def test_rejected_serials(given):
    with pytest.raises(InvalidSerial):
        normalize_serial(given)
