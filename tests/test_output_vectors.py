"""Output vectors (blocks 1051 and 451): get_output_vectors and get_output_vectors_arrays."""
import ctypes
import math
from decimal import Decimal
from pathlib import Path

import numpy as np
import pytest

import vexaro.core.femap_parser as fp
from conftest import materialize
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import REAL_DATA as REAL
HDR = ["5,6,7,8", "1,0,0"]  # entity-type line (entity type 8) and flag line
END = "-1,0."
TOO_LARGE = "value too large to convert to int"
C_LONG = "Python int too large to convert to C long"
BIG = "99999999999999999999"  # beyond 64 bits


def record(start="1,2", title="T", values=(), hdr=HDR):
    """Lines of one record: start line, title, unread line, header, values, terminator."""
    return [start, title, "x", *hdr, *values, END]


def vec(set_id, vec_id, title="T", ent_type=8, results=None):
    return {"set_id": set_id, "vec_id": vec_id, "title": title, "ent_type": ent_type,
            "results": results or {}}


def check_arrays(got, ids, values, set_id, vec_id, ent_type):
    assert type(got) is tuple and len(got) == 5
    for array, dtype in ((got[0], np.int32), (got[1], np.float64)):
        assert type(array) is np.ndarray and array.dtype == dtype and array.shape == (len(ids),)
    assert got[0].tolist() == ids and got[1].tolist() == values
    assert got[2:] == (set_id, vec_id, ent_type) and {type(x) for x in got[2:]} == {int}


def check_first(parser, expected, **filters):
    """The array form gives the first vector of `expected` (dict form, no duplicate ids)."""
    got = parser.get_output_vectors_arrays(**filters)
    if not expected:
        assert got is NO_MATCH
        return
    d = expected[0]
    check_arrays(got, list(d["results"]), list(d["results"].values()), d["set_id"], d["vec_id"],
                 -1 if d["ent_type"] is None else d["ent_type"])


def bare():
    """A parser over an empty block map, made without a file."""
    parser = FEMAPParser.__new__(FEMAPParser)
    parser.blocks = {}
    return parser


NO_MATCH = bare().get_output_vectors_arrays()  # the module's constant no-match tuple


class Override(FEMAPParser):
    """A parser whose get_blocks serves a table and records the identifiers asked for."""

    def __init__(self, path, table):
        super().__init__(path)
        self.table, self.calls = table, []

    def get_blocks(self, block_id):
        self.calls.append(block_id)
        return self.table.get(block_id, [])


@pytest.fixture
def override(write_file):
    return lambda table: Override(write_file(""), table)


def table(cases):
    """parametrize arguments from (id, *values) rows."""
    return dict(argvalues=[c[1:] for c in cases], ids=[c[0] for c in cases])


# --- dict form: worked examples, gathering, titles -----------------------------------------

def test_worked_example_two_records(parser_of):
    p = parser_of([(1051, record(title="Total, ", values=["10,1.5", "11,2.5"])
                    + record("1,3", "Other", ["12,12,7."]))])
    got = p.get_output_vectors()
    assert got == [vec(1, 2, "Total", 8, {10: 1.5, 11: 2.5}), vec(1, 3, "Other", 8, {12: 7.0})]
    assert type(got) is list and [list(d) for d in got] == [list(vec(0, 0))] * 2
    assert [type(v) for d in got for v in (d["set_id"], d["vec_id"], d["ent_type"])] == [int] * 6
    assert p.get_output_vectors() is not p.get_output_vectors()


# Later vectors list ids inside, around and far from the first vector's; a sparse first
# vector; ids at both ends of 32 bits; vectors with the ids of an earlier one (duplicates
# too), in another order, or one fewer; later vectors that widen the ids kept, below, above
# or both, and one too sparse to be kept.
@pytest.mark.parametrize("ids", [
    [[5, 6], [1, 2, 9], [9, 8, 1, 5, 20000], [0, 30, 20000, 2]],
    [[5, 6, 7], [6, 4, 8, 5, -3, 2**31 - 1]],
    [[1, 10**9], [1, 10**9, 500]],
    [[-2**31, -2**31 + 1], [-2**31 + 1, 0, 2**31 - 1]],
    [[3, 1, 3, 2]] * 3,
    [[3, 1, 3, 2], [3, 1, 3, 2], [1, 3, 3, 2], [3, 1, 3], [3, 1, 3, 2]],
    [[4, 5], [7], [4, 5], [4, 5]],
    [[4, 5], [7], [4, 5], [7], [9, 8], [1], [2], [3], [4, 5], [7, 7]],
])
def test_ids_across_vectors(parser_of, ids):
    lines = [line for v, vec_ids in enumerate(ids)
             for line in record(f"1,{v}", "A", [f"{k},{v}.{j}" for j, k in enumerate(vec_ids)])]
    got = [d["results"] for d in parser_of([(1051, lines)]).get_output_vectors()]
    want = [{k: float(f"{v}.{j}") for j, k in enumerate(vec_ids)} for v, vec_ids in enumerate(ids)]
    assert [list(d.items()) for d in got] == [list(d.items()) for d in want]
    got[0].clear()  # each vector's dict is its own
    assert [list(d.items()) for d in got[1:]] == [list(d.items()) for d in want[1:]]


@pytest.mark.parametrize("blocks", [[], [(450, ["1,2"])], [(1051, [])], [(451, ["", "7", "a,b"])]])
def test_no_vectors(parser_of, blocks):
    p = parser_of(blocks)
    assert p.get_output_vectors() == []
    assert p.get_output_vectors_arrays() is p.get_output_vectors_arrays(3, 4) is NO_MATCH
    assert type(NO_MATCH) is tuple and NO_MATCH == (None, None, -1, -1, -1)
    assert bare().get_output_vectors_arrays(5) is NO_MATCH


def test_gathering_order_1051_before_451(parser_of):
    p = parser_of([(451, record("4,5", "B", ["1,1."])), (1051, record("1,2", "A", ["2,2."])),
                   (451, record("6,7", "C", ["3,3."])), (1051, record("8,9", "D", ["4,4."]))])
    got = p.get_output_vectors()
    assert [(d["set_id"], d["title"], d["results"]) for d in got] == [
        (1, "A", {2: 2.0}), (8, "D", {4: 4.0}), (4, "B", {1: 1.0}), (6, "C", {3: 3.0})]
    check_arrays(p.get_output_vectors_arrays(), [2], [2.0], 1, 2, 8)
    check_arrays(p.get_output_vectors_arrays(6), [3], [3.0], 6, 7, 8)


def test_gathering_through_get_blocks(override):
    class Sub(FEMAPBlock):
        pass

    b1051, b451 = [Sub(1051, record("1,2", "A"))], [FEMAPBlock(451, ["3,4"])]
    p = override({1051: b1051, 451: b451})
    assert p.get_output_vectors() == [vec(1, 2, "A"), vec(3, 4, "", None)]
    check_arrays(p.get_output_vectors_arrays(3), [], [], 3, 4, -1)
    assert p.calls == [1051, 451, 1051, 451] and {type(c) for c in p.calls} == {int}
    assert len(b1051) == len(b451) == 1  # the returned lists are not extended


@pytest.mark.parametrize("title, expected", [
    ("<NULL>", ""), ("<NULL>,", ""), ("\t<NULL>,,\t", ""), ("  Load, case ,,", "Load, case "),
    (" <NULL> x", "<NULL> x"), ("<NULL> ,", "<NULL> "), ("<null>", "<null>"), ("", ""),
    ("Total, ", "Total"), ("1,2,3", "1,2,3"), ("Lastfall Ä ,", "Lastfall Ä "),
])
def test_title_cleaning(parser_of, title, expected):
    got = parser_of([(1051, record(title=title, values=["10,1.5"]))]).get_output_vectors()
    assert got == [vec(1, 2, expected, 8, {10: 1.5})]


# --- value scan: every kind of line, in both forms -------------------------------------------

SCAN = [
    ("empty-section", [], []),
    ("single", ["10,1.5"], [(10, 1.5)]),
    ("blank-separated", ["  10   1.5  ", "11\t2.5"], [(10, 1.5), (11, 2.5)]),
    ("unicode-space-digits", ["10\u20031.5", "١١,٢.٥"], [(10, 1.5), (11, 2.5)]),
    ("number-forms", ["+7,1e3", "0_07,-2.5E-1", " 2147483647 , 1", "-2147483648,-Infinity",
                      "8,1_0.5", "9,1.5E+999"],
     [(7, 1000.0), (7, -0.25), (2147483647, 1.0), (-2147483648, -math.inf), (8, 10.5),
      (9, math.inf)]),
    ("fortran-D", ["10,1.5D+03", "11,2d2", "12,13,-.5D-1,1.D0"],
     [(10, 1500.0), (11, 200.0), (12, -0.05), (13, 1.0)]),
    ("duplicates", ["10,1.", "9,11,2.,3.,4.", "10,5."],
     [(10, 1.0), (9, 2.0), (10, 3.0), (11, 4.0), (10, 5.0)]),
    ("range", ["10,12,1.,2.,3."], [(10, 1.0), (11, 2.0), (12, 3.0)]),
    ("range-blanks", ["10 12 1. 2. 3."], [(10, 1.0), (11, 2.0), (12, 3.0)]),
    ("continuation", ["10,12,1.", "2.,3."], [(10, 1.0), (11, 2.0), (12, 3.0)]),
    ("extra-dropped", ["10,12,1.,2.,3.,4."], [(10, 1.0), (11, 2.0), (12, 3.0)]),
    ("extra-dropped-on-continuation", ["10,13,1.", "2.", "3.,4.,5.,6."],
     [(10, 1.0), (11, 2.0), (12, 3.0), (13, 4.0)]),
    ("short-range-terminated", ["10,12,1."], [(10, 1.0)]),
    ("terminator-in-range", ["10,12,1.", "-1,0.,7.", "11,2.5"], [(10, 1.0)]),
    ("pair-like-continuation", ["10,12,12.5", "5,2.5"], [(10, 12.5), (11, 5.0), (12, 2.5)]),
    ("end-below-start", ["12,10,1.", "5,2.5"], [(5, 2.5)]),
    ("count-2**31", ["-1,2147483646,1.", "5,2.5"], [(5, 2.5)]),
    ("count-2**32", ["-2147483648,2147483647,1.", "5,2.5"], [(5, 2.5)]),
    ("count-2**31-1", ["0,2147483646,1.", "2."], [(0, 1.0), (1, 2.0)]),
    ("range-at-top", ["2147483646,2147483647,1.,2."], [(2147483646, 1.0), (2147483647, 2.0)]),
    ("continuation-minus-one", ["10,11,1.", "-1"], [(10, 1.0), (11, -1.0)]),
    # continuation lines that are not plain comma-separated decimals
    ("continuation-shapes", ["10,24,1.", " 2. , 3.,", "4.,,5.", "6. 7.", "8.,,", "9.e0,1_0.", "-1.5,-1,2.",
                             "1e400,1.00000000000000000001"],
     [(10 + k, v) for k, v in enumerate([1., 2., 3., 4., 5., 6., 7., 8., 9., 10., -1.5, -1., 2., math.inf, 1.])]),
    ("entry-shapes", ["05,1.5", " 6 , 2.5 ,", "7,8, 1., 2.", "9 ,10,3.,4.,", "123456789,5.", "1234567890,6."],
     [(5, 1.5), (6, 2.5), (7, 1.0), (8, 2.0), (9, 3.0), (10, 4.0), (123456789, 5.0), (1234567890, 6.0)]),
    ("continuation-terminator-padded", ["10,13,1.", "2.", " -1 ,0."], [(10, 1.0), (11, 2.0)]),
    ("empty-continuations", ["10,11,1.", "", " , ", "2."], [(10, 1.0), (11, 2.0)]),
    ("short-lines-ignored", ["7", "", ",,", "10,1.5", "-1"], [(10, 1.5)]),
    # an entry line whose fields 0 and 1 read as -1 and a real zero ends the section
    ("terminator-0.0", ["-1,0.0", "10,1.5"], []),
    ("terminator-0", ["-1,0", "10,1.5"], []),
    ("terminator-zaero", ["10,1.5", "  -1,   0.0000000000000000D+00,", "11,2.5"], [(10, 1.5)]),
    ("terminator-signed-zero", ["10,1.5", "-01, -0e5", "11,2.5"], [(10, 1.5)]),
    ("terminator-range-form", ["10,1.5", "-1,0,5,6", "11,2.5"], [(10, 1.5)]),
    ("pair-minus-one-nonzero", ["-1,1.", "-1,1e-5", "4,5"], [(-1, 1.0), (-1, 1e-05), (4, 5.0)]),
    # a continuation line of a range ends it only as "-1", "0."; the skip walk counts it too
    ("continuation-minus-one-0", ["10,12,1.", "-1,0", "4,5"], [(10, 1.0), (11, -1.0), (12, 0.0), (4, 5.0)]),
    ("continuation-zaero", ["10,13,1.", "2.", "  -1, 0.0D+00", "4,5"],
     [(10, 1.0), (11, 2.0), (12, -1.0), (13, 0.0), (4, 5.0)]),
    ("reversed-range-then-terminator", ["12,10,1.", "-1,0.0", "11,2.5"], []),
    ("terminator-extra-fields", ["10,1.5", "-1,0.,1.,2.", "11,2.5"], [(10, 1.5)]),
    ("terminator-padded", ["10,1.5", " -1 , 0. ,", "11,2.5"], [(10, 1.5)]),
    ("terminator-blanks", ["10,1.5", "-1 0.", "11,2.5"], [(10, 1.5)]),
]


@pytest.mark.parametrize("values, pairs", **table(SCAN))
def test_value_scan(parser_of, values, pairs):
    # the record "8,9" after the terminator shows where the walk goes on
    p = parser_of([(1051, record(values=values) + ["8,9", "S"])])
    expected = {}
    for entity, value in pairs:
        expected[entity] = value
    got = p.get_output_vectors()
    assert got == [vec(1, 2, "T", 8, expected), vec(8, 9, "S", None)]
    assert list(got[0]["results"].items()) == list(expected.items())
    assert {(type(k), type(v)) for k, v in got[0]["results"].items()} <= {(int, float)}
    check_arrays(p.get_output_vectors_arrays(), [k for k, _ in pairs], [v for _, v in pairs],
                 1, 2, 8)
    check_arrays(p.get_output_vectors_arrays(vec_id_filter=9), [], [], 8, 9, -1)
    assert p.get_output_vectors_arrays(vec_id_filter=5) is NO_MATCH  # the skip walk ends where the scan does


# --- record walk: dropped records and where the walk goes on --------------------------------

AFTER = [vec(4, 5, "-1,0.", None)]  # "4,5" right after the failing line, the terminator as title
DROPS = [
    ("bad-value", record(values=["10,abc", "11,2"]), [vec(11, 2, "-1,0.", None)]),
    ("next-line", record(values=["7,abc", "4,5", "N"]), [vec(4, 5, "N", None)]),
    ("minus-one-dot", record(values=["10,1.5", "-1.,0.", "4,5", "N"]), [vec(4, 5, "N", None)]),
    ("bad-continuation", record(values=["10,12,1.", "2.,abc", "4,5"]), AFTER),
    ("bad-range-value", record(values=["10,12,1.,zz", "4,5"]), AFTER),
    ("real-end-id", record(values=["10,1.5,1.", "4,5"]), AFTER),
    ("bad-fortran", record(values=["10,1D", "11,D3", "12,1.5De3", "4,5"]), AFTER),
    ("double-underscore", record(values=["1__0,2.", "4,5"]), AFTER),
    ("too-many-digits", record(values=["1" * 5000 + ",1.", "4,5"]), AFTER),
    ("next-record-kept", record(values=["10,1.5", "11,nope"]) + record("4,5", "B", ["9,9."]),
     [vec(4, 5, "B", 8, {9: 9.0})]),
    ("start-lines-passed-over", ["3,x", "x,2147483648", "3.0,4", "1" * 5000 + ",2", "7", "", "5,6"],
     [vec(5, 6, "", None)]),
]


@pytest.mark.parametrize("lines, expected", **table(DROPS))
def test_dropped_records(parser_of, lines, expected):
    p = parser_of([(1051, lines)])
    assert p.get_output_vectors() == expected
    check_first(p, expected)


# --- header search ---------------------------------------------------------------------------

FIELDS = [  # entity-type line, flag line, entity type or None when they are no header
    ("5,6,7,8", "1,0,0", 8), ("5 6 7 8", "1 0 0", 8), ("5,6,7, 1_2,", " 1 , 0 , 0 ,", 12),
    ("5,6,7,-2147483648", "1,0,0", -2147483648), ("5,6,7,2147483647", "1,0,0", 2147483647),
    (f"{BIG}000,6,-{BIG},8", f"1,0,{BIG}000", 8), ("5,,6,7,,8", "1,,0,0,", 8),
    ("0,0,1,7,0", "1,1,1,0", 7), ("5,6,7,8,9", "1,0,0,0", 8), ("5 6 7 -3 1_0", " 1 , 0 , 0 , 0 ,", -3),
    (f"{BIG},6,7,8,{BIG}", f"1,0,0,{BIG}", 8), ("5,6,7,8,x", "1,0,0,0", None), ("5,6,7,8,9", "1,0,0,x", None),
    ("5,6,7,8,9", "1,0,0", None), ("5,6,7,8", "1,0,0,0", None), ("5,6,7,8,9", "1,0,0,0,0", None),
    ("5,6,8", "1,0,0", None),
    ("5,6,7,8", "1,0", None), ("5,6,7,x", "1,0,0", None),
    ("5,6,7.,8", "1,0,0", None), ("5,6,7,8.0", "1,0,0", None), ("5,6,7,8", "1,0,0.", None),
]
SEARCH = [  # without a header the record takes the rest of its block
    *[(f"{e}|{f}", record(values=["10,1.5"], hdr=[e, f]) + ["4,5"],
       [vec(1, 2, "T", None)] if t is None else [vec(1, 2, "T", t, {10: 1.5}), vec(4, 5, "", None)])
      for e, f, t in FIELDS],
    ("start-line-alone", ["3,7"], [vec(3, 7, "", None)]),
    ("h+1-h+2", ["1,2", *HDR, "10,1.5", END], [vec(1, 2, "5,6,7,8", None)]),
    ("h+2-h+3", ["1,2", "T", *HDR, "10,1.5", END], [vec(1, 2, "T", None)]),
    ("lines-before", ["1,2", "T", "x", "junk", "a,b,c,d", *HDR, "10,1.5", END],
     [vec(1, 2, "T", 8, {10: 1.5})]),
    ("moves-by-one", ["1,2", "T", "x", "5,6,7,x", "1,0,0", "5,6,7,3", "1,0,0", "10,1.5", END],
     [vec(1, 2, "T", 3, {10: 1.5})]),
    ("into-next-record", ["1,2", "A", "x", *record("3,4", "B", ["10,1.5"]), "7,8"],
     [vec(1, 2, "A", 8, {10: 1.5}), vec(7, 8, "", None)]),
    ("past-a-terminator", ["1,2", "A", "x", "10,1.5", END, *record("3,4", "B", ["11,2.5"])],
     [vec(1, 2, "A", 8, {11: 2.5})]),
    ("header-at-block-end", ["1,2", "T", "x", *HDR], [vec(1, 2, "T", 8)]),
    ("no-flag-line", ["1,2", "T", "x", "5,6,7,8"], [vec(1, 2, "T", None)]),
]


@pytest.mark.parametrize("lines, expected", **table(SEARCH))
def test_header_search(parser_of, lines, expected):
    p = parser_of([(1051, lines)])
    assert p.get_output_vectors() == expected
    check_first(p, expected)


def header_entry():
    """The table's internal `_locate_output_vector_header` (its third entry, as
    femap_parser.h declares it), called the way other native modules call it."""
    table = ctypes.c_void_p.from_address(id(FEMAPParser.__new__(FEMAPParser)) + object.__basicsize__).value
    entry = ctypes.c_void_p.from_address(table + 2 * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int32)(entry)


@pytest.mark.parametrize("lines, start, expected", [
    *[(["1,2", "T", "x", e, f, "10,1.5"], 0, (-1, False, 6) if t is None else (t, True, 5)) for e, f, t in FIELDS],
    (["1,2", "T", "x", "junk", "5,6,7,3", "1,0,0"], 0, (3, True, 6)),
    (["a", "1,2", "T", "x", *HDR], 1, (8, True, 6)), ([*HDR, "1,0,0"], -3, (8, True, 2)),
    (["1,2", "T", "x", *HDR], 2, (-1, False, 5)), ([], 0, (-1, False, 0)),
    (["1,2", "T", "x", "5,6,7,2147483648", "1,0,0"], 0, OverflowError(TOO_LARGE)),
    (["1,2", "T", "x", f"5,6,7,{BIG}", "1,0,0"], 0, OverflowError(C_LONG)),
    (["1,2", "T", "x", 5, "1,0,0"], 0, TypeError("Expected str, got int")),
    (None, 0, TypeError("object of type 'NoneType' has no len()")),
    (tuple(HDR), 0, TypeError("Argument 'lines' has incorrect type (expected list, got tuple)")),
])
def test_header_search_entry(lines, start, expected):
    locate = header_entry()
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as err:
            locate(lines, start)
        assert str(err.value) == str(expected)
    else:
        got = locate(lines, start)
        assert got == expected and [type(x) for x in got] == [int, bool, int]


def test_walks_stay_inside_their_block(parser_of):
    # a range is not continued, and a header not searched for, in the next block
    p = parser_of([(1051, ["1,2", "A", "x", *HDR, "10,12,1."]),
                   (1051, ["2.,3.", *record("3,4", "B", ["10,1.5"])]), (451, ["5,6", "T", "x"]),
                   (451, record("7,8", "C", ["9,1."]))])
    expected = [vec(1, 2, "A", 8, {10: 1.0}), vec(3, 4, "B", 8, {10: 1.5}), vec(5, 6, "T", None),
                vec(7, 8, "C", 8, {9: 1.0})]
    assert p.get_output_vectors() == expected
    for d in expected:
        check_first(p, [d], vec_id_filter=d["vec_id"])


# --- 32-bit identifiers ----------------------------------------------------------------------

@pytest.mark.parametrize("lines, message", [
    (["2147483648,2"], TOO_LARGE), (["1,-2147483649"], TOO_LARGE), (["2147483648,x"], TOO_LARGE),
    ([f"{BIG},2"], C_LONG), *[(record(values=v), TOO_LARGE) for v in (
        ["2147483648,1."], ["2147483648,abc"], ["-2147483649,5,1."], ["5,2147483648,x"],
        ["10,12,1.", "4,5", "2147483648,1."], ["10,abc", "2147483648,1"])],
    (record(values=[f"-{BIG},1."]), C_LONG), (record(hdr=[f"5,6,7,{BIG}", "1,0,0"]), C_LONG),
    (record(hdr=["5,6,7,2147483648", "1,0,0"]), TOO_LARGE),
    (record(hdr=["5,6,7,2147483648,x", "1,0,0,0"]), TOO_LARGE),
    (record(hdr=["5,6,7,99999999999", "1,0,0"]), TOO_LARGE),
])
def test_identifier_overflow(parser_of, lines, message):
    p = parser_of([(1051, lines)])
    for call in (p.get_output_vectors, p.get_output_vectors_arrays):
        with pytest.raises(OverflowError) as err:
            call()
        assert str(err.value) == message


# --- array form: filters, skip walk, first match ---------------------------------------------

TWO = [(1051, record(values=["10,1.5", "10,2.5"]) + record("1,3", "U", ["12,12,7."]))]
FIRST, SECOND = ([10, 10], [1.5, 2.5], 1, 2, 8), ([12], [7.0], 1, 3, 8)
ZEROS = (451, record("0,5", values=["2,2."]) + record("4,0", values=["1,1."]))
SET0, VEC0 = ([2], [2.0], 0, 5, 8), ([1], [1.0], 4, 0, 8)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, FIRST), ((-5,), {}, FIRST), ((-1, -7), {}, FIRST), ((1,), {}, FIRST),
    ((), {"vec_id_filter": 3}, SECOND), ((1, 3), {}, SECOND), ((1.9, 3.99), {}, SECOND),
    ((), {"set_id_filter": True, "vec_id_filter": Decimal("3.9")}, SECOND),
    ((-2147483648, 3), {}, SECOND), ((0,), {}, SET0), ((-1, 0), {}, VEC0), ((4, 0), {}, VEC0),
    ((0, 0), {}, None), ((1, 0), {}, None), ((2,), {}, None), ((), {"vec_id_filter": 4}, None),
    ((2147483647, 2147483647), {}, None),
])
def test_filters(parser_of, args, kwargs, expected):
    got = parser_of([*TWO, ZEROS]).get_output_vectors_arrays(*args, **kwargs)
    if expected is None:
        assert got is NO_MATCH
    else:
        check_arrays(got, *expected)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((2147483648,), {}, OverflowError, TOO_LARGE), ((0, -2147483649), {}, OverflowError, TOO_LARGE),
    ((Decimal(2**31),), {}, OverflowError, TOO_LARGE), ((2**70,), {}, OverflowError, C_LONG),
    (("1",), {}, TypeError, "an integer is required"),
    ((), {"vec_id_filter": None}, TypeError, "an integer is required"),
    ((1, 2, 3), {}, TypeError, None), ((), {"set_id": 1}, TypeError, None),
    ((1,), {"set_id_filter": 2}, TypeError, None),
])
def test_argument_errors(override, args, kwargs, error, message):
    p = override({1051: [FEMAPBlock(1051, record())]})
    with pytest.raises(error) as err:
        p.get_output_vectors_arrays(*args, **kwargs)
    assert message is None or str(err.value) == message
    with pytest.raises(TypeError):
        p.get_output_vectors(*args, **kwargs)
    assert p.calls == []  # before any block is read


def test_skip_walk_ignores_malformed_text(parser_of):
    # a filtered-out record is skipped whole; a matching one is read, drops, and the walk
    # goes on inside its value section
    p = parser_of([(1051, record(values=["10,abc", "11,2"]))])
    check_arrays(p.get_output_vectors_arrays(-1, 2), [], [], 11, 2, -1)
    assert p.get_output_vectors_arrays(11) is p.get_output_vectors_arrays(1) is NO_MATCH
    bad = ["10,abc", "2147483648,1.", f"{BIG},2", "1.,2.,x", "1,2,3"]
    p = parser_of([(1051, record(values=bad) + record("1,3", "U", ["12,12,7."]))])
    check_arrays(p.get_output_vectors_arrays(vec_id_filter=3), *SECOND)
    for call in (p.get_output_vectors, p.get_output_vectors_arrays):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            call()  # read, the first record drops and "2147483648,1." starts a record
    # the header of a skipped record is still searched and converted
    p = parser_of([(1051, record(hdr=["5,6,7,2147483648", "1,0,0"]) + record("1,3", "U"))])
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        p.get_output_vectors_arrays(vec_id_filter=3)


def test_skip_walk_ends_at_the_terminator_only(parser_of):
    p = parser_of([(1051, record(values=["10,12,1.", "2.,3.", "4,5"]) + record("1,3", "U")),
                   (451, ["1,6", "T", "x", "10,1."]), (451, record("1,7", "V", ["5,5."]))])
    assert p.get_output_vectors() == [
        vec(1, 2, "T", 8, {10: 1.0, 11: 2.0, 12: 3.0, 4: 5.0}), vec(1, 3, "U"),
        vec(1, 6, "T", None), vec(1, 7, "V", 8, {5: 5.0})]
    assert p.get_output_vectors_arrays(vec_id_filter=5) is NO_MATCH  # "4,5" is inside a section
    check_arrays(p.get_output_vectors_arrays(-1, 3), [], [], 1, 3, 8)
    check_arrays(p.get_output_vectors_arrays(-1, 7), [5], [5.0], 1, 7, 8)


def test_nothing_read_after_the_first_match(override):
    first = FEMAPBlock(1051, record(values=["10,1.5"]) + ["2147483648,2", "1,2", "T", "x"])
    p = override({1051: [first, FEMAPBlock(1051, None), "junk"]})
    check_arrays(p.get_output_vectors_arrays(), [10], [1.5], 1, 2, 8)
    check_arrays(p.get_output_vectors_arrays(1, 2), [10], [1.5], 1, 2, 8)
    for call in (lambda: p.get_output_vectors_arrays(vec_id_filter=3), p.get_output_vectors):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            call()


# --- blocks supplied by an override ----------------------------------------------------------

@pytest.mark.parametrize("blocks, error, message", [
    ({1051: None}, TypeError, "unsupported operand type(s) for +: 'NoneType' and 'list'"),
    ({1051: None, 451: None}, TypeError,
     "unsupported operand type(s) for +: 'NoneType' and 'NoneType'"),
    ({451: None}, TypeError, 'can only concatenate list (not "NoneType") to list'),
    ({451: (FEMAPBlock(451, ["1,2"]),)}, TypeError, "Expected list, got tuple"),
    ({451: ["1,2"]}, TypeError, "Cannot convert str to vexaro.core.femap_parser.FEMAPBlock"),
    ({1051: [FEMAPBlock(1051, ["x"]), 7]}, TypeError,
     "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    ({451: [FEMAPBlock(451, None)]}, TypeError, "object of type 'NoneType' has no len()"),
])
def test_gathered_block_errors(override, blocks, error, message):
    p = override(blocks)
    for call in (p.get_output_vectors, p.get_output_vectors_arrays):
        with pytest.raises(error) as err:
            call()
        assert str(err.value) == message


def test_title_that_is_not_a_str(override):
    p = override({451: [FEMAPBlock(451, ["1,2", 5])]})
    with pytest.raises(AttributeError, match="^'int' object has no attribute 'strip'$"):
        p.get_output_vectors()
    check_arrays(p.get_output_vectors_arrays(), [], [], 1, 2, -1)  # no title is read there


# --- a replaced np ---------------------------------------------------------------------------

class RecordingNp:
    int32, float64 = np.int32, np.float64

    def __init__(self, result=None):
        self.calls, self.result = [], result

    def array(self, obj, **kwargs):
        self.calls.append((obj, kwargs))
        return np.array(obj, **kwargs) if self.result is None else self.result(obj)


def test_replaced_np(parser_of, monkeypatch):
    # np, np.array, np.int32 and np.float64 are looked up at each call
    p = parser_of(TWO)
    check_arrays(p.get_output_vectors_arrays(), *FIRST)
    fake = RecordingNp()
    monkeypatch.setattr(fp, "np", fake)
    check_arrays(p.get_output_vectors_arrays(), *FIRST)
    (ids, ids_kw), (values, values_kw) = fake.calls
    assert type(ids) is list and ids == [10, 10] and {type(x) for x in ids} == {int}
    assert type(values) is list and values == [1.5, 2.5] and {type(x) for x in values} == {float}
    assert ids_kw == {"dtype": np.int32} and values_kw == {"dtype": np.float64}
    assert ids_kw["dtype"] is np.int32 and values_kw["dtype"] is np.float64
    fake.calls.clear()
    check_arrays(p.get_output_vectors_arrays(1, 3), *SECOND)
    assert p.get_output_vectors_arrays(7) is NO_MATCH
    assert [c[0] for c in fake.calls] == [[12], [7.0]]
    # what array returns is placed in the result unchecked
    fake = RecordingNp(result=lambda obj: ("made from", obj))
    fake.int32, fake.float64 = "i4", "f8"
    monkeypatch.setattr(fp, "np", fake)
    p = parser_of([(1051, ["3,7"])])
    assert p.get_output_vectors_arrays() == (("made from", []), ("made from", []), 3, 7, -1)
    assert fake.calls == [([], {"dtype": "i4"}), ([], {"dtype": "f8"})]
    fake.array = lambda obj, dtype: 1 / 0
    with pytest.raises(ZeroDivisionError):
        p.get_output_vectors_arrays()


# --- real files ------------------------------------------------------------------------------

@pytest.fixture
def real(line_path):
    def load(name):
        parser = FEMAPParser(str(REAL / name))
        return materialize(parser) if line_path == "lists" else parser
    return load


def test_real_all_elem(real):
    p = real("all_elem_test_giv_eb.neu")
    got = p.get_output_vectors()
    assert [d["set_id"] for d in got] == [1] * 111 + [2] * 111 + [3] * 111 + [4] * 111
    assert got[0] == vec(1, 10001, "RSS translation", 7, {
        1011: 0.0, 1012: 0.0, 1013: 0.0, 1021: 1.000022, 1022: 3.091665e-03, 1023: 1.000020,
        1031: 1.689443e-01, 1032: 1.079806e-02, 1033: 1.689439e-01, 1041: 1.210189e-02,
        1042: 1.595447e-09, 1043: 1.210186e-02, 1051: 0.0})
    assert (got[1]["title"], got[1]["results"][1021]) == ("T1  translation", -3.142848e-03)
    assert got[111]["results"][1022] == 3.069741e-01
    assert got[-1] == vec(4, 60722, "QUAD4 Bot YZ Shear Stress", 8,
                          {11: 5.094250e-01, 12: 5.094249e-01})
    check_arrays(p.get_output_vectors_arrays(4, 60722), [11, 12], [0.509425, 0.5094249],
                 4, 60722, 8)
    for d in got:  # both forms agree on every vector
        check_first(p, [d], set_id_filter=d["set_id"], vec_id_filter=d["vec_id"])



ZERO_TEXTS = ["0.", "-0.", "0.0E+00", "-0.0D+00", "0", "1e-400", "-1e-400"]


@pytest.mark.parametrize("extractor", ["get_output_vectors", "get_nodes"])
def test_zero_values_keep_their_sign_and_share_one_object(parser_of, extractor):
    if extractor == "get_nodes":
        lines = [",".join([str(k), *["0"] * 10, z, z, z, "9"]) for k, z in enumerate(ZERO_TEXTS, 1)]
        got = [v for xyz in parser_of([(403, lines)]).get_nodes().values() for v in xyz]
        texts = [z for z in ZERO_TEXTS for _ in range(3)]
    else:
        got = list(parser_of([(1051, record(values=[f"{k},{z}" for k, z in enumerate(ZERO_TEXTS, 1)]))])
                   .get_output_vectors()[0]["results"].values())
        texts = ZERO_TEXTS
    assert [(v, math.copysign(1, v)) for v in got] == [(0.0, math.copysign(1, float(t.replace("D", "E")))) for t in texts]
    positive = [v for v in got if math.copysign(1, v) > 0]
    assert len(positive) > 3 and all(v is positive[0] for v in positive)
