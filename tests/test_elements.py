"""get_elements and get_elements_arrays: seven-line records, resumption, 32-bit values, arrays."""
from pathlib import Path

import numpy as np
import pytest

import vexaro.core.femap_parser as fp
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import REAL_DATA as REAL


def el(eid, prop, topo, nodes):
    return {"id": eid, "prop_id": prop, "topology": topo, "nodes": nodes}


def rec(eid, prop=1, topo=4, n1="0", n2="0", rest=("x",) * 4):
    """One seven-line record: header, two node list lines, four unread lines."""
    return [f"{eid},124,{prop},17,{topo},1,0", n1, n2, *rest]


def made(blocks):
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {404: blocks}
    return p


def arrays_as_elements(parser):
    ids, props, topos, conn, offsets = parser.get_elements_arrays()
    return [el(ids[k], props[k], topos[k], conn[offsets[k]:offsets[k + 1]].tolist())
            for k in range(len(ids))]


@pytest.mark.parametrize("blocks, expected", [
    ([], []),
    ([(404, [])], []),
    # lines 4 to 7 of a record may hold anything
    ([(404, rec(1, n1="1,2,3,4,0,0,0,0,0,0", n2="0,0,0,0,0,0,0,0,0,0", rest=("1,0,2,0,4",) * 4)
      + rec(2, n1="5 6", n2="7", rest=("a", "1.5", "", "9,9,9,9,9")))],
     [el(1, 1, 4, [1, 2, 3, 4]), el(2, 1, 4, [5, 6, 7])]),
    ([(404, ["1,0,2,0,4", "3,0,-5", "6"])], [el(1, 2, 4, [3, -5, 6])]),
    ([(404, ["1 0 2 0", "5,0,6,0,7,8", "9"])], [el(5, 6, 7, [9])]),       # 4 fields: next line tried
    ([(404, ["1,0,2,0,4"])], [el(1, 2, 4, [])]),                          # header is the last line
    ([(404, ["1,0,2,0,4", "7"])], [el(1, 2, 4, [7])]),
    ([(404, ["1,,0,,2,0,4", "7,,8"])], [el(1, 2, 4, [7, 8])]),            # empty fields dropped
    ([(404, ["1, x ,2,x,4", "7"])], [el(1, 2, 4, [7])]),                  # fields 1 and 3 unread
    ([(404, ["+1,0,0_2,0, 4 ", "0,0", "0"])], [el(1, 2, 4, [])]),
    # a failed record resumes at its first node list line, which may be a header itself;
    # after a stored record the next seven lines are stepped over
    ([(404, ["1,0,2,0,4", "10,0,20,0,40", "7,0,8,0,9,1.5", "11,12", "13",
             "50,0,51,0,52", "x", "x", "x", "60,0,61,0,62"])],
     [el(7, 8, 9, [11, 12, 13]), el(60, 61, 62, [])]),
    ([(404, ["1,0,x,0,4", "2,0,3,0,4", "5"])], [el(2, 3, 4, [5])]),        # bad field 2
    ([(404, ["1,0,2,0,4", "3,4.0", "5", "1e1,0,2,0,4", "6", "7", "8", "9"])], []),
    # a record never runs into the next block; the walk restarts at line 0 of each block
    ([(404, rec(3, n1="1,2") + ["1,0,2,0,4"]), (1, ["z"]), (404, ["5,6", "8,0,9,0,10", "11"])],
     [el(3, 1, 4, [1, 2]), el(1, 2, 4, []), el(8, 9, 10, [11])]),
    ([(404, rec(4, n1="1") + rec(4, n1="2"))], [el(4, 1, 4, [1]), el(4, 1, 4, [2])]),
    # stepping back after a failed record in a later block stays inside that block
    ([(404, rec(1, n1="1")), (404, ["5 0 6 0 7", "8 0 9 0 10", "1 2, ", "", ""])],
     [el(1, 1, 4, [1])]),
    ([(404, ["2147483647,0,-2147483648,0,0", "2147483647,-2147483648"])],
     [el(2147483647, -2147483648, 0, [2147483647, -2147483648])]),
    ([(404, ["1" * 5000 + ",0,2,0,4", "1,0,2,0,4", "7"])], [el(1, 2, 4, [7])]),
])
def test_element_records(parser_of, blocks, expected):
    p = parser_of(blocks)
    elements = p.get_elements()
    assert type(elements) is list and elements == expected
    for e in elements:
        assert list(e) == ["id", "prop_id", "topology", "nodes"]
        assert all(type(v) is int for v in [e["id"], e["prop_id"], e["topology"], *e["nodes"]])
    assert len({id(e["nodes"]) for e in elements}) == len(elements)
    assert arrays_as_elements(p) == expected


@pytest.mark.parametrize("lines, text", [
    (["2147483648,0,2,0,4"], "value too large to convert to int"),
    (["1,0,2,0,4", "", "", "", "", "", "", "1,0,-2147483649,0,4"], "value too large to convert to int"),
    (["1,0,2,0,2147483648"], "value too large to convert to int"),
    (["1,0,2,0,4", "5,2147483648"], "value too large to convert to int"),
    (["1,0,2,0,4", "1", "99999999999999999999"], "Python int too large to convert to C long"),
    (["99999999999999999999,0,2,0,4"], "Python int too large to convert to C long"),
    # converted before the field that would drop the record
    (["1,0,2,0,4", "2147483648,x"], "value too large to convert to int"),
    (["1,0,2147483648,0,x"], "value too large to convert to int"),
])
def test_narrowing_fails_the_whole_call(parser_of, lines, text):
    p = parser_of([(404, rec(1, n1="5") + lines)])
    for call in (p.get_elements, p.get_elements_arrays):
        assert str(pytest.raises(OverflowError, call).value) == text


def test_unread_lines_are_never_split():
    # non-str lines would raise if they were split
    p = made([FEMAPBlock(404, ["1,0,2,0,4", "7", "8", 1, 2, 3, 4, "5,0,6,0,7", "9"])])
    assert p.get_elements() == [el(1, 2, 4, [7, 8]), el(5, 6, 7, [9])]
    assert arrays_as_elements(p) == [el(1, 2, 4, [7, 8]), el(5, 6, 7, [9])]


@pytest.mark.parametrize("blocks, text", [
    ([FEMAPBlock(404, ["1,0,2,0,4", 5])], "Expected str, got int"),
    ([FEMAPBlock(404, ["x"]), FEMAPBlock(404, None)], "object of type 'NoneType' has no len()"),
    ([FEMAPBlock(404, ["x"]), 5], "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    (None, "'NoneType' object is not iterable"),
])
@pytest.mark.parametrize("method", ["get_elements", "get_elements_arrays"])
def test_caller_made_blocks(blocks, text, method):
    assert str(pytest.raises(TypeError, getattr(made(blocks), method)).value) == text


def test_get_blocks_override():
    class Sub(FEMAPParser):
        def get_blocks(self, block_id):
            return None if block_id == 404 else [FEMAPBlock(block_id, ["1,0,2,0,4"])]

    p = Sub.__new__(Sub)
    for call in (p.get_elements, p.get_elements_arrays):
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            call()
    Sub.get_blocks = lambda self, block_id: [FEMAPBlock(7, ["3,0,4,0,5", "6"])]
    assert p.get_elements() == arrays_as_elements(p) == [el(3, 4, 5, [6])]


# ---- arrays ----------------------------------------------------------------------------

@pytest.mark.parametrize("blocks, offsets", [
    ([], [0]),
    ([(404, ["1 2 3 4", "", "a,b,c,d,e"])], [0]),
    ([(404, rec(1, n1="1,2,3,4,0,0,0,0,0,0", n2="0") + rec(2, n1="1,2,3,4,5,6,7,8"))], [0, 4, 12]),
    ([(404, rec(1, n1="0,0,0", n2="0") + rec(2, n1="5"))], [0, 0, 1]),
    ([(404, rec(1, n1="1,2", n2="3") + ["x"]), (404, ["x", "2,0,3,0,4", "4,5"])], [0, 3, 5]),
])
def test_arrays_layout(parser_of, blocks, offsets):
    p = parser_of(blocks)
    arrays = p.get_elements_arrays()
    assert type(arrays) is tuple and len(arrays) == 5
    n = len(offsets) - 1
    for a, shape in zip(arrays, [(n,), (n,), (n,), (offsets[-1],), (n + 1,)]):
        assert (type(a), a.dtype, a.shape, a.flags.c_contiguous) == (np.ndarray, np.int32, shape, True)
    assert arrays[4].tolist() == offsets
    elements = p.get_elements()
    assert arrays[3].tolist() == [v for e in elements for v in e["nodes"]]
    assert arrays_as_elements(p) == elements


class RecordingNp:
    int32 = "I32"

    def __init__(self):
        self.calls = []

    def array(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return f"r{len(self.calls)}"


@pytest.mark.parametrize("blocks, lists", [
    ([], [[], [], [], [], [0]]),
    ([(404, rec(5, 6, 7, n1="1,0,2", n2="3") + ["x", "8,0,9,0,10", "0"])],
     [[5, 8], [6, 9], [7, 10], [1, 2, 3], [0, 3, 3]]),
])
def test_replaced_np_results_pass_unchecked(parser_of, monkeypatch, blocks, lists):
    fake = RecordingNp()
    monkeypatch.setattr(fp, "np", fake)
    assert parser_of(blocks).get_elements_arrays() == ("r1", "r2", "r3", "r4", "r5")
    assert fake.calls == [((values,), {"dtype": "I32"}) for values in lists]


def test_np_deleted_from_the_module(parser_of, monkeypatch):
    monkeypatch.delattr(fp, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        parser_of([(404, ["1,0,2,0,4"])]).get_elements_arrays()


# ---- real files --------------------------------------------------------------------------

@pytest.mark.skipif(not REAL.is_dir(), reason="real neutral files not present")
@pytest.mark.parametrize("name, count, checks", [
    ("mode_anti1.neu", 1016, {0: el(1, 1, 4, [1, 2, 3, 4]), 1015: el(1016, 1, 4, [4061, 4062, 4063, 4064])}),
    ("f16-aero.neu", 1016 + 496, {0: el(1001, 1, 4, [1002, 1007, 1006, 1001]),
                                  1: el(1002, 1, 4, [1003, 1008, 1007, 1002]),
                                  1016: el(8519, 1, 4, [8519, 8520, 8521, 8522]),
                                  1511: el(9014, 1, 4, [10499, 10500, 10501, 10502])}),
    ("cofe_rt.neu", 0, {}),
])
def test_real_files(name, count, checks):
    p = FEMAPParser(str(REAL / name))
    elements = p.get_elements()
    assert len(elements) == count and arrays_as_elements(p) == elements
    assert {k: elements[k] for k in checks} == checks
    assert p.get_elements_arrays()[4].tolist() == list(range(0, 4 * count + 1, 4))
