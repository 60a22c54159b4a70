"""get_nodes and get_nodes_arrays: node line rule, number texts, 32-bit ids, arrays."""
import math
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import vexaro.core.femap_parser as fp
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import REAL_DATA as REAL, overriding_parser


def node(nid, x="1.0", y="2.0", z="3.0", sep=",", tail=1):
    """A node line: id, ten unread fields, x, y, z and `tail` more unread fields."""
    return sep.join([str(nid), *["0"] * 10, x, y, z, *["9"] * tail])


def arrays_as_pairs(parser):
    ids, coords = parser.get_nodes_arrays()
    return list(zip(ids.tolist(), map(tuple, coords.tolist())))


C = (1.0, 2.0, 3.0)


@pytest.mark.parametrize("blocks, expected", [
    ([], []),
    ([(402, ["1,0,2"]), (403, [])], []),
    ([(403, [node(1, tail=0)[:-4]])], []),                             # 13 fields
    ([(403, [node(1, tail=0), node(2, tail=2)])], [(1, C), (2, C)]),  # 14 and 16 fields
    ([(403, [node("1.0"), node(2, y="abc"), node(3)])], [(3, C)]),
    ([(403, [node(" +7 "), node("007"), node("1_0"), node("-0"), node("1__0"), node("٣")])],
     [(7, C), (10, C), (0, C), (3, C)]),
    ([(403, [node(4, sep=" "), node(5, sep="\t"), node(6, sep=" \x0b\x0c\x1c\x1f "),
             node(7, sep="\u3000"), node(8, sep="\x85\u2028")])],
     [(4, C), (5, C), (6, C), (7, C), (8, C)]),
    # empty comma fields are dropped, so later fields move left
    ([(403, ["7,0,0,0,0,0,0,0,0,0,0,9.5,,1.5,2.5", "8,,,0,0,0,0,0,0,0,0,0,0,1,2,3"])],
     [(7, (9.5, 1.5, 2.5)), (8, (1.0, 2.0, 3.0))]),
    ([(403, [node(1, x="1"), node(2), node(1, x="9")])], [(1, (9.0, 2.0, 3.0)), (2, C)]),
    ([(403, [node(5, x="1"), node(6)]), (1, ["x"]), (403, [node(5, x="2"), node(4)])],
     [(5, (2.0, 2.0, 3.0)), (6, C), (4, C)]),
    ([(403, [node(2147483647), node(-2147483648)])], [(2147483647, C), (-2147483648, C)]),
    ([(403, [node("1" * 5000), node("0" * 5000 + "7"), node(8)])], [(8, C)]),  # digit limit
    ([(403, [node(2147483648, tail=0)[:-4]])], []),  # too short: never converted
])
def test_node_lines(parser_of, blocks, expected):
    p = parser_of(blocks)
    nodes = p.get_nodes()
    assert type(nodes) is dict and list(nodes.items()) == expected
    assert all(type(k) is int and type(v) is tuple and all(type(c) is float for c in v)
               for k, v in nodes.items())
    assert p.get_nodes() is not nodes


@pytest.mark.parametrize("text, value", [
    *[(t, float(t)) for t in (
        "0.1", "-2.5e-3", "+.5", "5.", "1_000.5", "1E5", "1e309", "-Infinity", "4.9e-324", "2e-324",
        "9007199254740993", "1.00000000000000011102230246251565404236316680908203125",
        "1.00000000000000011102230246251565404236316680908203126", "١.٥", "1.5\u00a0")],
    ("8.0000000000000000D+00", 8.0), ("1.5d3", 1500.0), ("-2D-1", -0.2), ("1.5D+03", 1500.0),
    ("1.0000000000000001D-01", 0.1), ("1_5D1", 150.0), ("1.5d-3", 0.0015),
    ("1.5D", None), ("D5", None), ("1.5E3D2", None), ("1.5DD2", None), ("0x10", None),
    (".", None), ("e5", None), ("1e", None), ("1.5D3.0", None), ("1.5D+", None), ("--1", None),
])
def test_coordinate_texts(parser_of, text, value):
    """Python float() texts, plus Fortran D exponents; anything else drops the line."""
    lines = [node(1, x=text), node(2, y=text), node(3, z=text, sep=" ")]
    p = parser_of([(403, lines)])
    expected = {} if value is None else {1: (value, 2.0, 3.0), 2: (1.0, value, 3.0), 3: (1.0, 2.0, value)}
    assert p.get_nodes() == expected
    assert arrays_as_pairs(p) == list(expected.items())


@pytest.mark.parametrize("z, kept", [
    ("0.0", True), ("-0.0", True), ("-1.5", True), ("-inf", True), ("nan", True), ("1e-300", False),
    ("5e-324", False), ("inf", False), ("1.5D0", False),
])
def test_force_2d_keeps_z_not_above_zero(parser_of, z, kept):
    p = parser_of([(403, [node(1, z="-1"), node(2, z=z), node(3, z="0")])])
    assert list(p.get_nodes(True)) == ([1, 2, 3] if kept else [1, 3])
    if kept:
        z_read = p.get_nodes(force_2d=True)[2][2]
        assert math.copysign(1, z_read) == math.copysign(1, float(z)) and repr(z_read) == repr(float(z))
    assert list(p.get_nodes()) == [1, 2, 3]


@pytest.mark.parametrize("args, kwargs, filtered", [
    ((), {}, False), ((False,), {}, False), ((None,), {}, False), ((0,), {}, False),
    (([],), {}, False), ((True,), {}, True), ((1,), {}, True), ((), {"force_2d": [0]}, True),
    (("no",), {}, True),
])
def test_force_2d_truth_value(parser_of, args, kwargs, filtered):
    p = parser_of([(403, [node(1, z="2.0"), node(2, z="-2.0")])])
    assert list(p.get_nodes(*args, **kwargs)) == ([2] if filtered else [1, 2])


def test_force_2d_truth_test_error_propagates(parser_of):
    bad = type("Bad", (), {"__bool__": lambda self: 1 / 0})()
    pytest.raises(ZeroDivisionError, parser_of([(403, [node(1)])]).get_nodes, bad)


@pytest.mark.parametrize("lines, text", [
    ([node(1), node(2147483648)], "value too large to convert to int"),
    ([node(1), node(-2147483649)], "value too large to convert to int"),
    ([node(9223372036854775807)], "value too large to convert to int"),
    ([node(1), node(99999999999999999999)], "Python int too large to convert to C long"),
    ([node(1), node(-9223372036854775809)], "Python int too large to convert to C long"),
    # the id is converted before the coordinate that would drop the line
    ([node(2147483648, z="abc"), node(2)], "value too large to convert to int"),
])
def test_id_narrowing_fails_the_whole_call(parser_of, lines, text):
    p = parser_of([(403, lines)])
    for call in (p.get_nodes, p.get_nodes_arrays, lambda: p.get_nodes(True)):
        pytest.raises(OverflowError, call).match(f"^{text}$")


def test_int_digit_limit_follows_the_interpreter(parser_of):
    p = parser_of([(403, [node("0" * 5000 + "7"), node("1" * 5000)])])
    old = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(0)
        pytest.raises(OverflowError, p.get_nodes).match("^Python int too large to convert to C long$")
        sys.set_int_max_str_digits(640)
        assert p.get_nodes() == {}
    finally:
        sys.set_int_max_str_digits(old)


def Strip(result):
    """A non-str line whose strip() gives `result`."""
    return type("Strip", (), {"strip": lambda self: result})()


@pytest.mark.parametrize("blocks, exc, text", [
    ([FEMAPBlock(403, [node(1), 5])], TypeError, "Expected str, got int"),
    ([FEMAPBlock(403, [node(1), Strip(node(2))])], TypeError, "Expected str, got Strip"),
    ([FEMAPBlock(403, [node(1)]), FEMAPBlock(403, None)], TypeError, "'NoneType' object is not iterable"),
    ([FEMAPBlock(403, [node(1)]), 5], TypeError, "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
@pytest.mark.parametrize("method", ["get_nodes", "get_nodes_arrays"])
def test_caller_made_blocks(blocks, exc, text, method):
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {403: blocks}
    assert str(pytest.raises(exc, getattr(p, method)).value) == text


def test_get_blocks_override_supplies_the_blocks():
    p, seen = overriding_parser([FEMAPBlock(403, [node(3, z="1.0D0")]), FEMAPBlock(1, [node(4)])])
    assert p.get_nodes() == {3: (1.0, 2.0, 1.0), 4: C}
    assert arrays_as_pairs(p) == [(3, (1.0, 2.0, 1.0)), (4, C)]
    assert seen == [403, 403] and all(type(b) is int for b in seen)
    for p.answer, text in ((None, "'NoneType' object is not iterable"), ((), "Expected list, got tuple")):
        for call in (p.get_nodes, p.get_nodes_arrays):
            assert str(pytest.raises(TypeError, call).value) == text


# ---- arrays ------------------------------------------------------------------------

MIXED = [node(5, "0.5"), node(6, tail=0)[:-4], node(5, "7.5"), node("x"), node(9, z="1e3"),
         node(8, z="?"), node(-3, "1D-2", sep="  ")]


@pytest.mark.parametrize("blocks", [[(403, MIXED)], [(403, MIXED[:3]), (100, ["t", "v"]), (403, MIXED[3:])]])
def test_arrays_take_the_same_walk_without_merging(parser_of, blocks):
    p = parser_of(blocks)
    ids, coords = p.get_nodes_arrays()
    assert (ids.dtype, ids.shape, coords.dtype, coords.shape) == (np.int32, (4,), np.float64, (4, 3))
    assert ids.flags.c_contiguous and coords.flags.c_contiguous and coords.flags.writeable
    expected = [(5, (0.5, 2.0, 3.0)), (5, (7.5, 2.0, 3.0)), (9, (1.0, 2.0, 1000.0)), (-3, (0.01, 2.0, 3.0))]
    assert arrays_as_pairs(p) == expected
    assert list(p.get_nodes().items()) == list(dict(expected).items())
    ids[0] = 77
    assert p.get_nodes_arrays()[0][0] == 5


@pytest.mark.parametrize("blocks", [[], [(403, [])], [(403, ["", "1 2 3", node("?")])]])
def test_arrays_without_nodes_are_empty(parser_of, blocks, monkeypatch):
    p = parser_of(blocks)
    assert p.get_nodes() == {}
    for np_global in (np, types.SimpleNamespace(array=np.array, int32=np.int32, float64=np.float64)):
        monkeypatch.setattr(fp, "np", np_global)
        ids, coords = p.get_nodes_arrays()
        assert (type(ids), ids.dtype, ids.shape) == (np.ndarray, np.int32, (0,))
        assert (type(coords), coords.dtype, coords.shape) == (np.ndarray, np.float64, (0, 3))


class RecordingNp:
    """Stands in for numpy: records array() calls and answers from `results`."""
    int32, float64 = "I32", "F64"

    def __init__(self, *results):
        self.calls, self.results = [], list(results)

    def array(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.results.pop(0)


def test_replaced_np_gets_the_lists_and_dtypes(parser_of, monkeypatch):
    ids, coords = np.array([4, 2], np.int32), np.zeros((2, 3))
    fake = RecordingNp(ids, coords)
    monkeypatch.setattr(fp, "np", fake)
    result = parser_of([(403, [node(4, "1.5D0"), node("?"), node(2, z="-1")])]).get_nodes_arrays()
    assert type(result) is tuple and result[0] is ids and result[1] is coords
    assert fake.calls == [(([4, 2],), {"dtype": "I32"}),
                          (([(1.5, 2.0, 3.0), (1.0, 2.0, -1.0)],), {"dtype": "F64"})]
    assert [type(c) for c in fake.calls[1][0][0]] == [tuple, tuple]


GOOD = np.zeros(2, np.int32)


@pytest.mark.parametrize("first, second, exc, text", [
    ("x", None, TypeError, None),
    ([1, 2], None, TypeError, None),
    (None, None, TypeError, None),
    (np.zeros((2, 2), np.int32), None, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.zeros(2, np.int64), None, ValueError, None),
    (np.zeros(2, np.float32), None, ValueError, None),
    (GOOD, np.zeros(2), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (GOOD, np.zeros((2, 3, 1)), ValueError, "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (GOOD, np.zeros((2, 3), np.float32), ValueError, None),
    (GOOD, None, TypeError, None),
    (GOOD, [(1.0, 2.0, 3.0)] * 2, TypeError, None),
])
def test_replaced_np_results_are_checked(parser_of, monkeypatch, first, second, exc, text):
    fake = RecordingNp(first, second)
    monkeypatch.setattr(fp, "np", fake)
    with pytest.raises(exc) as info:
        parser_of([(403, [node(1), node(2)])]).get_nodes_arrays()
    if text:
        assert str(info.value) == text
    assert len(fake.calls) == (2 if first is GOOD else 1)


def test_np_deleted_from_the_module(parser_of, monkeypatch):
    monkeypatch.delattr(fp, "np")
    for blocks in ([(403, [node(1)])], []):
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            parser_of(blocks).get_nodes_arrays()


# ---- real files ----------------------------------------------------------------------

@pytest.mark.skipif(not REAL.is_dir(), reason="real neutral files not present")
@pytest.mark.parametrize("name, count, count_2d, checks", [
    ("mode_anti1.neu", 4064, 2941, {0: (1, (8.0, 0.0, -5.0)), 1: (2, (25.0, 2.0, -7.3)),
                              4063: (4064, (392.7375, 157.0, -7.63))}),
    ("cp2anti.neu", 1394, 1013, {0: (1001, (8.0, 0.0, -5.0))}),
    ("f16-aero.neu", 1394 + 1984, 2521, {0: (1001, (8.0, 0.0, -5.0)), 1393: (8518, (405.6, 157.0, -7.63)),
                                   1394: (8519, (178.0, 0.0, -5.0)),
                                   3377: (10502, (411.5992, 186.73000000000002, -1.7700000000000102))}),
    ("all_elem_test_giv_eb.neu", 0, 0, {}),
    ("cofe_rt.neu", 0, 0, {}),
])
def test_real_files(name, count, count_2d, checks):
    p = FEMAPParser(str(REAL / name))
    nodes = p.get_nodes()
    pairs = arrays_as_pairs(p)
    assert len(nodes) == len(pairs) == count and list(nodes.items()) == pairs
    for index, pair in checks.items():
        assert pairs[index] == pair
    assert len(p.get_nodes(True)) == count_2d


def result_or_error(parser, call):
    try:
        result = call(parser)
        return [a.tolist() for a in result] if isinstance(result, tuple) else list(result.items())
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return type(e), str(e)


# A large node block is walked in parts on other threads: the same result (or error) as
# the exact path, also where a later part holds a line only float() reads, a line the
# rule passes over, or an identifier beyond 32 bits.
@pytest.mark.parametrize("call", [FEMAPParser.get_nodes_arrays, FEMAPParser.get_nodes,
                                  lambda p: p.get_nodes(force_2d=True)], ids=["arrays", "dict", "dict-2d"])
@pytest.mark.parametrize("odd", [None, node(7, "1_0.5"), "1,2,3", node(2**31)],
                         ids=["plain", "float-only", "short", "overflow"])
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_large_node_blocks_in_parts_equal_the_exact_path(write_file, odd, newline, call):
    from conftest import materialize, neutral_text
    lines = [node(k, f"{k}.5", "-2.0000000000000000E+02", f"{k % 3 - 1}D-3") for k in range(20000)]
    if odd:
        lines[15000:15000] = [odd] * 3
    lines[19000] = node(5, "9.0", "8.0", "7.0")  # a later record replaces an earlier one
    path = write_file(neutral_text([(403, lines), (403, lines[:10])], newline))
    assert result_or_error(FEMAPParser(path), call) == result_or_error(materialize(FEMAPParser(path)), call)
