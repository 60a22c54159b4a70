"""get_properties (seven-line records) and get_materials (one line each)."""
from pathlib import Path

import pytest

from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import overriding_parser


def prop(mat, title):
    return {"material_id": mat, "title": title}


@pytest.mark.parametrize("blocks, expected", [
    ([], {}),
    ([(402, ["5,0,12,1", "Plate 1"])], {5: prop(12, "Plate 1")}),
    ([(402, ["5,0,12"])], {5: prop(12, "")}),
    ([(402, ["5,0", "6,0,13", "T"])], {6: prop(13, "T")}),               # two fields: no record
    ([(402, ["5,,12,1", "T"])], {5: prop(1, "T")}),                      # empty field dropped
    ([(402, ["5,0,abc", "6,0,13", "T"])], {6: prop(13, "T")}),
    ([(402, ["5.0,0,12", "6 x 13", "T"])], {6: prop(13, "T")}),
    ([(402, ["+5,x,1_2,y", "T"])], {5: prop(12, "T")}),
    ([(402, ["1,0,2", "<NULL>"]), (402, ["3,0,4", "<NULL>,,,"]), (402, ["6,0,7", " <NULL> x,"])],
     {1: prop(2, ""), 3: prop(4, ""), 6: prop(7, "<NULL> x")}),
    ([(402, ["1,0,2", "  Shell , ,\t"])], {1: prop(2, "Shell , ")}),     # strip, then commas
    ([(402, ["1,0,2", "\u3000Beam\x1f"])], {1: prop(2, "Beam")}),
    ([(402, ["1,0,2", "<null>"])], {1: prop(2, "<null>")}),
    # the six lines after a record start are never looked at
    ([(402, ["1,0,2", "A", "", "3,0,4", "", "", "", "5,0,6", "B"])], {1: prop(2, "A"), 5: prop(6, "B")}),
    ([(402, ["5,0,1", "A", "", "", "", "", "", "7,0,1", "B", "", "", "", "", "", "5,0,2", "C"])],
     {5: prop(2, "C"), 7: prop(1, "B")}),
    ([(402, ["5,0,1", "A"]), (402, ["8,0,1"]), (402, ["5,0,3", "C"])], {5: prop(3, "C"), 8: prop(1, "")}),
    ([(402, ["2147483647,0,-2147483648", "M"])], {2147483647: prop(-2147483648, "M")}),
    ([(402, ["1" * 5000 + ",0,1", "2,0,3"])], {2: prop(3, "")}),
])
def test_properties(parser_of, blocks, expected):
    p = parser_of(blocks)
    result = p.get_properties()
    assert type(result) is dict and list(result.items()) == list(expected.items())
    for v in result.values():
        assert list(v) == ["material_id", "title"]
        assert (type(v["material_id"]), type(v["title"])) == (int, str)
    assert p.get_properties() is not result


@pytest.mark.parametrize("blocks, expected", [
    ([], {}),
    ([(601, ["3,0,0", "Steel", "0,1,2", "2.5e5,0.3"])], {3: {"id": 3}, 0: {"id": 0}}),
    ([(601, ["7"])], {7: {"id": 7}}),
    ([(601, ["", "  ", ",,", "-4 x", "4.0", "1e1", "٣"])], {-4: {"id": -4}, 3: {"id": 3}}),
    ([(601, ["9", "2,x", "9,y"]), (1, ["5"]), (601, ["2", "8"])], {9: {"id": 9}, 2: {"id": 2}, 8: {"id": 8}}),
    ([(601, ["2147483647", "-2147483648", "1" * 5000])], {2147483647: {"id": 2147483647},
                                                          -2147483648: {"id": -2147483648}}),
])
def test_materials(parser_of, blocks, expected):
    p = parser_of(blocks)
    result = p.get_materials()
    assert type(result) is dict and list(result.items()) == list(expected.items())
    assert all(type(k) is int and type(v["id"]) is int for k, v in result.items())
    assert p.get_materials() is not result


@pytest.mark.parametrize("block_id, lines, text", [
    (402, ["1,0,2", "A", "", "", "", "", "", "2147483648,0,1"], "value too large to convert to int"),
    (402, ["1,0,-2147483649", "A"], "value too large to convert to int"),
    (402, ["2147483648,0,x"], "value too large to convert to int"),       # converted before field 2
    (402, ["1,0,99999999999999999999"], "Python int too large to convert to C long"),
    (601, ["1", "9999999999"], "value too large to convert to int"),
    (601, ["1", "-99999999999999999999"], "Python int too large to convert to C long"),
])
def test_narrowing_fails_the_whole_call(parser_of, block_id, lines, text):
    method = {402: "get_properties", 601: "get_materials"}[block_id]
    assert str(pytest.raises(OverflowError, getattr(parser_of([(block_id, lines)]), method)).value) == text


def Strip(result):
    """A non-str line whose strip() gives `result`."""
    return type("Strip", (), {"strip": lambda self: result})()


@pytest.mark.parametrize("method, block_id, blocks, exc, text", [
    ("get_properties", 402, None, TypeError, "'NoneType' object is not iterable"),
    ("get_properties", 402, [5], TypeError, "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    ("get_properties", 402, [FEMAPBlock(402, None)], TypeError, "object of type 'NoneType' has no len()"),
    ("get_properties", 402, [FEMAPBlock(402, ["x", 5])], TypeError, "Expected str, got int"),
    ("get_properties", 402, [FEMAPBlock(402, ["1,0,2", Strip(5)])], TypeError, "Expected str, got int"),
    ("get_properties", 402, [FEMAPBlock(402, ["1,0,2", Strip(None)])], AttributeError,
     "'NoneType' object has no attribute 'rstrip'"),
    ("get_properties", 402, [FEMAPBlock(402, ["1,0,2", 5])], AttributeError,
     "'int' object has no attribute 'strip'"),
    ("get_materials", 601, None, TypeError, "'NoneType' object is not iterable"),
    ("get_materials", 601, [FEMAPBlock(601, ["1"]), 5], TypeError,
     "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    ("get_materials", 601, [FEMAPBlock(601, None)], TypeError, "object of type 'NoneType' has no len()"),
    ("get_materials", 601, [FEMAPBlock(601, ["1", 5])], TypeError, "Expected str, got int"),
])
def test_caller_made_blocks(method, block_id, blocks, exc, text):
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {block_id: blocks}
    assert str(pytest.raises(exc, getattr(p, method)).value) == text


def test_title_line_strip_returning_str():
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {402: [FEMAPBlock(402, ["1,0,2", Strip(" T ,,")])]}
    assert p.get_properties() == {1: prop(2, " T ")}


def test_get_blocks_override():
    p, seen = overriding_parser([FEMAPBlock(1, ["4,0,5", "T"])])
    assert (p.get_properties(), p.get_materials()) == ({4: prop(5, "T")}, {4: {"id": 4}})
    assert seen == [402, 601]
    for p.answer, text in ((None, "'NoneType' object is not iterable"), (5, "Expected list, got int")):
        for call in (p.get_properties, p.get_materials):
            assert str(pytest.raises(TypeError, call).value) == text
