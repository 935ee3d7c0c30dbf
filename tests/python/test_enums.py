"""Sense and VarType: representation, int(), comparison by code, no hash."""
import operator

import pytest

import kestpy
from hostile import Index

KEST = kestpy.KEST
Sense = type(KEST.MINIMIZE)
VarType = type(KEST.CONTINUOUS)

MEMBERS = [
    ("MINIMIZE", Sense, 0, "Sense.MINIMIZE"),
    ("MAXIMIZE", Sense, 1, "Sense.MAXIMIZE"),
    ("CONTINUOUS", VarType, 0, "VarType.CONTINUOUS"),
    ("BINARY", VarType, 1, "VarType.BINARY"),
    ("INTEGER", VarType, 2, "VarType.INTEGER"),
]


class BigInt(int):
    pass


@pytest.mark.parametrize("name, cls, code, text", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_member_forms(name, cls, code, text):
    for member in (getattr(KEST, name), getattr(cls, name)):
        assert type(member) is cls
        assert repr(member) == str(member) == f"{member}" == text
        assert int(member) == code and type(int(member)) is int
        with pytest.raises(AttributeError):
            member.code = 5
        with pytest.raises(TypeError):
            hash(member)
        with pytest.raises(TypeError):
            operator.index(member)
    # Distinct instances, each stored once in the class, not made on each access.
    assert getattr(KEST, name) is not getattr(cls, name)
    assert getattr(cls, name) is getattr(cls, name)


def test_class_attributes_in_member_order():
    assert [k for k in vars(Sense) if k.isupper()] == ["MINIMIZE", "MAXIMIZE"]
    assert [k for k in vars(VarType) if k.isupper()] == ["CONTINUOUS", "BINARY", "INTEGER"]


EQUALITY = [
    # (left, right, expected ==)
    (KEST.BINARY, 1, True),
    (1, KEST.MAXIMIZE, True),  # reflected: int returns NotImplemented
    (KEST.MAXIMIZE, 0, False),
    (KEST.MINIMIZE, False, True),
    (KEST.BINARY, BigInt(1), True),
    (KEST.MINIMIZE, 0.0, False),  # a float has no __index__: identity fallback
    (0.0, KEST.MINIMIZE, False),
    (KEST.MINIMIZE, KEST.CONTINUOUS, False),  # different classes, both code 0
    (KEST.CONTINUOUS, KEST.MINIMIZE, False),
    (KEST.MINIMIZE, Sense.MINIMIZE, True),
    (KEST.MINIMIZE, KEST.MAXIMIZE, False),
    (KEST.MINIMIZE, 2**70, False),  # does not fit in 64 bits
    (2**70, KEST.MINIMIZE, False),
    (KEST.MINIMIZE, 2**64, False),  # would wrap to 0 if truncated
    (KEST.MINIMIZE, -(2**63), False),
    (KEST.MAXIMIZE, 257, False),  # code is not compared as one byte
    (KEST.MAXIMIZE, Index(1), True),
    (KEST.MINIMIZE, Index(2**70), False),
    (KEST.MINIMIZE, Index(ValueError("no")), False),  # error of the attempt discarded
    (KEST.MINIMIZE, "0", False),
    (KEST.MINIMIZE, None, False),
]


@pytest.mark.parametrize("left, right, expected", EQUALITY, ids=[f"{l!r}=={r!r}" for l, r, _ in EQUALITY])
def test_equality(left, right, expected):
    assert (left == right) is expected
    assert (left != right) is (not expected)


@pytest.mark.parametrize("left, right", [(KEST.MINIMIZE, KEST.MAXIMIZE), (KEST.BINARY, 1), (0, KEST.CONTINUOUS)])
def test_ordering_is_unsupported(left, right):
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(left, right)


def test_direct_richcompare_returns_not_implemented_for_ordering():
    assert KEST.MINIMIZE.__lt__(KEST.MAXIMIZE) is NotImplemented
    assert KEST.MINIMIZE.__eq__(0.0) is NotImplemented
    assert KEST.MINIMIZE.__eq__(2**70) is NotImplemented
    assert KEST.MINIMIZE.__eq__(0) is True
