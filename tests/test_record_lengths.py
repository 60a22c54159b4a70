"""Records whose length a count line gives: output set notes, property value lists,
material value groups. Each table: the shape writers use, the fallback without counts, a
huge count, and a count that runs past its block."""
import pytest

from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

HUGE = "99999999999999999999"


def sets(**titles):
    return {int(k[1:]): {"title": t, "value": v} for k, (t, v) in titles.items()}


OUTPUT_SETS = {
    "femap-11": (["1,", "Case 1", "36,1,0,0,", "0.,", "2,", "From: a.op2", "7", "0,0,1,", "-1,-1,0.,", "0,0,",
                  "2,", "Case 2", "36,1,0,0,", "1.5,", "0,", "0,0,1,", "-1,-1,0.,", "0,0,"],
                 sets(s1=("Case 1", 0.0), s2=("Case 2", 1.5))),
    "five-line-records": (["1,", "A", "0,1,", "0.,", "0,", "2,", "B", "0,1,", "2.,", "0,"],
                          sets(s1=("A", 0.0), s2=("B", 2.0))),
    "zaero": (["   1,", "Mode 1", "   0,   2", "   0.0000000000000000D+00,", "   1,", " <NULL>", "   2,", "Mode 2",
               "   0,   2", "   1.5D+00,", "   1,", "9,"], sets(s1=("Mode 1", 0.0), s2=("Mode 2", 1.5))),
    "notes-like-records": (["1,", "A", "x", "0.,", "2,", "7", "8", "3,", "B", "x", "1.,", "0,"],
                           sets(s1=("A", 0.0), s3=("B", 1.0))),
    "unicode-count": (["1", "A", "x", "0.", "\u0662", "7", "8", "3", "B"], sets(s1=("A", 0.0), s3=("B", 0.0))),
    "tail-not-integers": (["1", "A", "x", "0.", "0", "5,x,7", "B", "x", "4."], sets(s1=("A", 0.0), s5=("B", 4.0))),
    "tail-two-fields": (["1", "A", "x", "0.", "0", "5,6", "B"], sets(s1=("A", 0.0), s5=("B", 0.0))),
    # without a count line the record is six lines long
    "no-count": (["1", "A", "x", "2.5", "x", "x", "4", "B"], sets(s1=("A", 2.5), s4=("B", 0.0))),
    "negative-count": (["1", "A", "x", "0.", "-1", "x", "7", "B"], sets(s1=("A", 0.0), s7=("B", 0.0))),
    "two-field-count": (["1", "A", "x", "0.", "2 3", "x", "7", "B"], sets(s1=("A", 0.0), s7=("B", 0.0))),
    "real-count": (["1", "A", "x", "0.", "2.", "x", "7", "B"], sets(s1=("A", 0.0), s7=("B", 0.0))),
    "count-digits-beyond-int-limit": (["1", "A", "x", "0.", "1" * 5000, "x", "7", "B"],
                                      sets(s1=("A", 0.0), s7=("B", 0.0))),
    "huge-count": (["1", "A", "x", "0.", HUGE, "2", "B"], sets(s1=("A", 0.0))),
    "count-past-block": (["1", "A", "x", "0.", "5", "n", "2", "B"], sets(s1=("A", 0.0))),
}


@pytest.mark.parametrize("lines, expected", OUTPUT_SETS.values(), ids=OUTPUT_SETS.keys())
def test_output_set_lengths(parser_of, lines, expected):
    assert parser_of([(450, lines)]).get_output_sets() == expected


def props(**entries):
    return {int(k[1:]): {"material_id": m, "title": t} for k, (m, t) in entries.items()}


LAMINATE = ["9,0,9,0,9,0,9,0"] * 12  # 90 values that would start records if read as such
VALUES = ["9,0,9,0,9"] * 38          # 190 values
PROPERTIES = {
    "femap-10": (["1,110,24,17,1,0,", "PSHELL", "0,0,0,0,", "8,", "0,0,0,0,0,0,0,0,", "5,", "2.5,0.,0.,1.,0.8,",
                  "2,110,10,17,1,0,", "P2", "0,0,0,0,", "0,", "0,"], props(p1=(24, "PSHELL"), p2=(10, "P2"))),
    "zaero": (["   1, 110,   1,  17,   1,   0,", "<NULL>", "   0,   0,   0,   0,", "   0,", "   0,", "   0,",
               "2,110,3,17,1,0,", "T"], props(p1=(1, ""), p2=(3, "T"))),
    "long-lists": (["1,0,5,1", "T", "0,0,0,0", "90", *LAMINATE, "190", *VALUES, "0", "0", "2,0,6,1", "U"],
                   props(p1=(5, "T"), p2=(6, "U"))),
    # without both counts the record is seven lines long
    "no-counts": (["1,0,2", "T", "x", "x", "x", "x", "x", "3,0,4", "U"], props(p1=(2, "T"), p3=(4, "U"))),
    "no-second-count": (["1,0,2", "T", "x", "0", "x", "x", "x", "3,0,4", "U"], props(p1=(2, "T"), p3=(4, "U"))),
    "huge-first-count": (["1,0,2", "T", "x", HUGE, "3,0,4", "U", "x", "5,0,6"], props(p1=(2, "T"), p5=(6, ""))),
    "huge-second-count": (["1,0,2", "T", "x", "0", HUGE, "3,0,4"], props(p1=(2, "T"))),
    "count-past-block": (["1,0,2", "T", "x", "0", "12", "3,0,4"], props(p1=(2, "T"))),
}


@pytest.mark.parametrize("lines, expected", PROPERTIES.values(), ids=PROPERTIES.keys())
def test_property_lengths(parser_of, lines, expected):
    assert parser_of([(402, lines)]).get_properties() == expected


MATERIALS = {
    "femap": (["1,-601,55,0,0,1,0,", "<NULL>", "2,", "0,0,", "12,", "1,2,3,4,5,6,7,8,9,10,", "11,12,", "0,",
               "3,-601,55,0,0,1,0,", "Al", "0,"], [1, 3]),
    "title-not-tried": (["1", "2", "1", "5,5"], [1]),
    "empty-groups": (["1", "T", "0", "0", "2", "T"], [1]),
    # without a count group after the title, every line is tried
    "no-groups": (["3,0,0", "Steel", "0,1,2", "2.5e5,0.3"], [3, 0]),
    "negative-count": (["1", "T", "-2", "x"], [1, -2]),
    "huge-count": (["1,-601", "T", HUGE, "5,-601"], [1]),
    "count-past-block": (["1,-601", "T", "25", "0,0", "5,-601"], [1]),
}


@pytest.mark.parametrize("lines, expected", MATERIALS.values(), ids=MATERIALS.keys())
def test_material_lengths(parser_of, lines, expected):
    assert list(parser_of([(601, lines)]).get_materials()) == expected


@pytest.mark.parametrize("block_id, lines, call, expected", [
    (450, ["1", "T", "x", "0.", 4, "x", "2", "U"], "get_output_sets",
     {1: {"title": "T", "value": 0.0}, 2: {"title": "U", "value": 0.0}}),
    (402, ["1,0,2", "T", "x", None, "x", "x", "x", "3,0,4", "U"], "get_properties",
     {1: {"material_id": 2, "title": "T"}, 3: {"material_id": 4, "title": "U"}}),
])
def test_lines_peeked_at_for_counts_need_not_be_text(block_id, lines, call, expected):
    # a caller-made line the walk only looks at for a count is no count line, not an error
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {block_id: [FEMAPBlock(block_id, lines)]}
    assert getattr(p, call)() == expected
