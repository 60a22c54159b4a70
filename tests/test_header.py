"""get_header: first two lines of the first block 100."""
from pathlib import Path

import pytest

from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import REAL_DATA as REAL, overriding_parser


@pytest.mark.parametrize("blocks, expected", [
    ([(100, ["<NULL>", "11.2,"])], {"title": "", "version": "11.2,"}),
    ([(100, ["  Bracket model  ", " 4.41 "])], {"title": "Bracket model", "version": "4.41"}),
    ([(100, ["<null>", "1"])], {"title": "<null>", "version": "1"}),
    ([(100, ["  <NULL>  ", "\t<NULL>,"])], {"title": "", "version": "<NULL>,"}),
    ([(100, ["\u3000T, x ,\x1f", "\x0b\x0c7.\x1c\u00a0"])], {"title": "T, x ,", "version": "7."}),
    ([(100, ["", ""])], {"title": "", "version": ""}),
    ([(100, ["A", "1", "B", "2"])], {"title": "A", "version": "1"}),
    ([(1, ["x", "y"]), (100, ["A", "1"]), (100, ["B", "2"])], {"title": "A", "version": "1"}),
    ([(100, ["A"]), (100, ["B", "2"])], None),                 # only the first block 100 counts
    ([(100, ["A"])], None),
    ([(100, [])], None),
    ([], None),
    ([(101, ["A", "1"])], None),
])
def test_header(parser_of, blocks, expected):
    p = parser_of(blocks)
    header = p.get_header()
    assert header == expected
    if expected is not None:
        assert list(header) == ["title", "version"]
        header["title"] = "changed"
        assert p.get_header() == expected


def Strip(result):
    """A non-str line whose strip() gives `result`."""
    return type("Strip", (), {"strip": lambda self: result})()


@pytest.mark.parametrize("blocks, exc, result", [
    ([FEMAPBlock(100, None)], TypeError, "object of type 'NoneType' has no len()"),
    ([FEMAPBlock(100, [5, "1"])], AttributeError, "'int' object has no attribute 'strip'"),
    ([FEMAPBlock(100, ["A", object()])], AttributeError, "'object' object has no attribute 'strip'"),
    ([FEMAPBlock(100, [Strip(5), "1"])], TypeError, "Expected str, got int"),
    ([FEMAPBlock(100, ["A", Strip(b"1")])], TypeError, "Expected str, got bytes"),
    ([5], TypeError, "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"),
    (None, None, None),
    ([FEMAPBlock(100, [Strip("<NULL>"), Strip(None)])], None, {"title": "", "version": None}),
    ([FEMAPBlock(100, ["A", "1", 5]), 7], None, {"title": "A", "version": "1"}),
])
def test_caller_made_blocks(blocks, exc, result):
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {100: blocks}
    if exc is None:
        assert p.get_header() == result
    else:
        assert str(pytest.raises(exc, p.get_header).value) == result


def test_get_blocks_override():
    p, seen = overriding_parser()
    for p.answer, expected in ((None, None), ([], None),
                               ([FEMAPBlock(3, [" T ", "2"])], {"title": "T", "version": "2"})):
        assert p.get_header() == expected
    assert seen == [100, 100, 100]
    p.answer = "AB"
    with pytest.raises(TypeError, match="^Expected list, got str$"):
        p.get_header()


@pytest.mark.skipif(not REAL.is_dir(), reason="real neutral files not present")
@pytest.mark.parametrize("name, expected", [
    ("mode_anti1.neu", {"title": "", "version": "7."}),
    ("cp2anti.neu", {"title": "", "version": "7."}),
    ("f16-aero.neu", {"title": "", "version": "7."}),
    ("cofe_rt.neu", {"title": "", "version": "11.4,"}),
    ("all_elem_test_giv_eb.neu", {"title": "1128194009, test_runs/Separated/Eigen/Banded/CurrentRuns/"
                                           "ALL-ELEM-TEST-GIV-EB.F06" + " " * 187 + ",", "version": "8.2,"}),
])
def test_real_files(name, expected):
    assert FEMAPParser(str(REAL / name)).get_header() == expected
