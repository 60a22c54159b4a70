"""FEMAPBlock: construction, attributes, text form, list sharing and garbage collection."""
import gc
import re
import weakref

import numpy as np
import pytest

from vexaro.core.femap_parser import FEMAPBlock

I32_MIN, I32_MAX = -2**31, 2**31 - 1
NO_INT = (TypeError, "an integer is required")
TOO_LARGE = (OverflowError, "value too large to convert to int")


def exact(text):
    return "^" + re.escape(text) + "$"


class IntLike:
    def __int__(self):
        return 41


class ListSub(list):
    pass


class BlockSub(FEMAPBlock):
    pass


INT_CASES = [
    (403, 403), (2.7, 2), (-2.7, -2), (True, 1), (IntLike(), 41), (np.int64(-6), -6), (I32_MIN, I32_MIN),
    (I32_MAX, I32_MAX), ("3", NO_INT), (None, NO_INT), (2**31, TOO_LARGE), (I32_MIN - 1, TOO_LARGE),
    (2**64, (OverflowError, "Python int too large to convert to C long")),
]


@pytest.mark.parametrize("how", ["new", "keywords", "reinit", "setter"])
@pytest.mark.parametrize("value, expected", INT_CASES)
def test_block_id_conversion(how, value, expected):
    """Same integer rule everywhere; a failure leaves a live record unchanged."""
    lines, block = ["x"], FEMAPBlock(77, ["y"])
    run = {"new": lambda: FEMAPBlock(value, lines), "keywords": lambda: FEMAPBlock(lines=lines, block_id=value),
           "reinit": lambda: block.__init__(value, lines), "setter": lambda: setattr(block, "block_id", value)}[how]
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=exact(expected[1])):
            run()
        assert block.block_id == 77 and block.lines == ["y"]
        return
    block = run() or block
    assert type(block.block_id) is int and block.block_id == expected
    assert block.lines is lines or how == "setter"


@pytest.mark.parametrize("args, error", [
    (("1", ("a",)), NO_INT),  # block_id is converted before lines is checked
    ((2**31, ("a",)), TOO_LARGE),
    ((1, ("a",)), (TypeError, "Argument 'lines' has incorrect type (expected list, got tuple)")),
    ((1, ListSub()), (TypeError, "Argument 'lines' has incorrect type (expected list, got ListSub)")),
    ((1, "ab"), (TypeError, "Argument 'lines' has incorrect type (expected list, got str)")),
])
def test_constructor_errors_leave_live_record_unchanged(args, error):
    with pytest.raises(error[0], match=exact(error[1])):
        FEMAPBlock(*args)
    lines = ["x"]
    block = FEMAPBlock(5, lines)
    with pytest.raises(error[0], match=exact(error[1])):
        block.__init__(*args)
    assert block.block_id == 5 and block.lines is lines


def test_fresh_allocation_defaults_and_none_lines():
    block = FEMAPBlock.__new__(FEMAPBlock)
    assert block.block_id == 0 and block.lines is None
    assert FEMAPBlock(3, None).lines is None


def test_block_id_cannot_be_deleted():
    block = FEMAPBlock(77, [])
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del block.block_id
    assert block.block_id == 77


@pytest.mark.parametrize("value, type_name", [(("a",), "tuple"), (ListSub(), "ListSub"), ("a", "str"),
                                              ({}, "dict")])
def test_lines_assignment_refused_keeps_list(value, type_name):
    lines = ["a"]
    block = FEMAPBlock(1, lines)
    with pytest.raises(TypeError, match=exact(f"Expected list, got {type_name}")):
        block.lines = value
    assert block.lines is lines


def test_lines_assignment_and_deletion():
    block = FEMAPBlock(1, ["a"])
    for value in [[1, None, "x"], None, []]:  # elements are not checked
        block.lines = value
        assert block.lines is value
    del block.lines
    assert block.lines is None
    del block.lines
    assert block.lines is None


@pytest.mark.parametrize("cls", [FEMAPBlock, BlockSub])
@pytest.mark.parametrize("block_id, lines, text", [
    (403, ["a", "b", "c"], "FEMAPBlock(id=403, lines=3)"),
    (-5, [], "FEMAPBlock(id=-5, lines=0)"),
    (I32_MIN, ["x\ny"], "FEMAPBlock(id=-2147483648, lines=1)"),
    (0, [None] * 12, "FEMAPBlock(id=0, lines=12)"),
])
def test_repr(cls, block_id, lines, text):
    assert repr(cls(block_id, lines)) == text
    with pytest.raises(TypeError, match=exact("object of type 'NoneType' has no len()")):
        repr(cls(block_id, None))


def test_list_is_shared_not_copied():
    lines = ["a"]
    block = FEMAPBlock(1, lines)
    lines.append("b")
    assert block.lines is lines and block.lines == ["a", "b"]
    assert repr(block) == "FEMAPBlock(id=1, lines=2)"
    block.lines.append("c")
    assert lines == ["a", "b", "c"]


def test_no_comparison_or_hash_of_its_own():
    a, b = FEMAPBlock(1, ["a"]), FEMAPBlock(1, ["a"])
    assert a != b and a == a and hash(a) == object.__hash__(a)


@pytest.mark.parametrize("cls", [FEMAPBlock, BlockSub])
def test_cycle_through_lines_is_collected(cls):
    class Marker:
        pass

    marker = Marker()
    ref = weakref.ref(marker)
    lines = [marker]
    block = cls(1, lines)
    lines.append(block)
    assert gc.is_tracked(block) and lines in gc.get_referents(block)
    del marker, lines, block
    gc.collect()
    assert ref() is None
