"""get_output_sets: six-line records, title cleaning, values, resumption."""
import math
from pathlib import Path

import pytest

from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser



def os_(title, value):
    return {"title": title, "value": value}


@pytest.mark.parametrize("blocks, expected", [
    ([], {}),
    ([(450, ["7"])], {7: os_("", 0.0)}),
    ([(450, ["7", "  Load case A , ", "x", "2.5"])], {7: os_("Load case A ", 2.5)}),
    ([(450, ["7", "T", "x"])], {7: os_("T", 0.0)}),
    ([(450, ["7", "T", "x", " , ,"])], {7: os_("T", 0.0)}),            # value line without fields
    ([(450, ["1", "<NULL>", "", "1"]), (450, ["2", "<NULL>,"]), (450, ["3", " <NULL> x"])],
     {1: os_("", 1.0), 2: os_("", 0.0), 3: os_("<NULL> x", 0.0)}),
    ([(450, ["1", "<null>", "", "4.5e1, 9, x"])], {1: os_("<null>", 45.0)}),
    ([(450, ["3", "A", "", "1", "", "", "4", "C", "", "", "", "", "3", "B"])],
     {3: os_("B", 0.0), 4: os_("C", 0.0)}),
    # a value that does not convert drops the record; the walk goes on at its title line
    ([(450, ["5", "6", "", "abc", "", "", "", "", "9"])], {6: os_("", 0.0), 9: os_("", 0.0)}),
    ([(450, ["5", "T", "", "abc", "", "", "7", "U"])], {7: os_("U", 0.0)}),
    ([(450, ["12.0", "x", "12", "T"])], {12: os_("T", 0.0)}),
    ([(450, ["+1_2, 0", "T"])], {12: os_("T", 0.0)}),
    # without a count of notes on line 4, lines 2, 4 and 5 of a record are never looked at
    ([(450, ["1", "A", "2", "3.5", "3 4", "4", "5", "B"])], {1: os_("A", 3.5), 5: os_("B", 0.0)}),
    ([(450, ["1", "A", "", "1.5", "", ""]), (1, ["2"]), (450, ["", "2", "B", "", "-2"])],
     {1: os_("A", 1.5), 2: os_("B", -2.0)}),
    ([(450, ["2147483647", "A", "", "1", "", "", "-2147483648"])],
     {2147483647: os_("A", 1.0), -2147483648: os_("", 0.0)}),
    ([(450, ["1" * 5000, "2"])], {2: os_("", 0.0)}),
    ([(450, ["1", "\u3000T\x1f", "", "\u00a01\u00a0"])], {1: os_("T", 1.0)}),
])
def test_output_sets(parser_of, blocks, expected):
    p = parser_of(blocks)
    result = p.get_output_sets()
    assert type(result) is dict and list(result.items()) == list(expected.items())
    for v in result.values():
        assert list(v) == ["title", "value"] and (type(v["title"]), type(v["value"])) == (str, float)
    assert p.get_output_sets() is not result


@pytest.mark.parametrize("text, value", [
    ("8.0000000000000000D+00", 8.0), ("1.5d3", 1500.0), ("1.0000000000000001D-01", 0.1),
    ("-2D-1", -0.2), ("1e309", math.inf), ("-Infinity", -math.inf), ("0.1", 0.1), ("nan", math.nan),
    ("1.5D", None), ("D5", None), ("1.5E3D2", None), ("0x1", None), ("1.5D+", None),
])
def test_value_texts(parser_of, text, value):
    p = parser_of([(450, ["4", "T", "", f"{text},"])])
    assert repr(p.get_output_sets()) == repr({} if value is None else {4: os_("T", value)})


@pytest.mark.parametrize("lines, text", [
    (["1", "", "", "", "", "", "2147483648"], "value too large to convert to int"),
    (["-2147483649", "T", "", "abc"], "value too large to convert to int"),   # before the value
    (["3000000000"], "value too large to convert to int"),
    (["T", "99999999999999999999"], "Python int too large to convert to C long"),
])
def test_narrowing_fails_the_whole_call(parser_of, lines, text):
    assert str(pytest.raises(OverflowError, parser_of([(450, lines)]).get_output_sets).value) == text


def Strip(result):
    """A non-str line whose strip() gives `result`."""
    return type("Strip", (), {"strip": lambda self: result})()


@pytest.mark.parametrize("blocks, exc, text", [
    (None, TypeError, "'NoneType' object is not iterable"),
    ([FEMAPBlock(450, ["1"]), 5], TypeError, "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    ([FEMAPBlock(450, None)], TypeError, "object of type 'NoneType' has no len()"),
    ([FEMAPBlock(450, ["x", 5])], TypeError, "Expected str, got int"),
    ([FEMAPBlock(450, ["1", "T", "", 5])], TypeError, "Expected str, got int"),
    ([FEMAPBlock(450, ["1", Strip(5)])], TypeError, "Expected str, got int"),
    ([FEMAPBlock(450, ["1", Strip(None)])], AttributeError, "'NoneType' object has no attribute 'rstrip'"),
    ([FEMAPBlock(450, ["1", object()])], AttributeError, "'object' object has no attribute 'strip'"),
])
def test_caller_made_blocks(blocks, exc, text):
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {450: blocks}
    assert str(pytest.raises(exc, p.get_output_sets).value) == text


def test_caller_made_lines_that_are_never_read():
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {450: [FEMAPBlock(450, ["1", Strip(" T ,"), 5, "2.5", 6, 7, "8", "U"])]}
    assert p.get_output_sets() == {1: os_(" T ", 2.5), 8: os_("U", 0.0)}


def test_get_blocks_override():
    class Sub(FEMAPParser):
        def get_blocks(self, block_id):
            return self.answer

    p = Sub.__new__(Sub)
    p.answer = [FEMAPBlock(1, ["4", "T"])]
    assert p.get_output_sets() == {4: os_("T", 0.0)}
    for p.answer, text in ((None, "'NoneType' object is not iterable"), ({}, "Expected list, got dict")):
        assert str(pytest.raises(TypeError, p.get_output_sets).value) == text
