"""parse_csv_line: comma or white-space field splitting."""
import pytest
from hypothesis import given, settings, strategies as st

from conftest import materialize, neutral_text
from reference_reader import split_fields as ref_split
from vexaro.core.femap_parser import FEMAPParser

split = FEMAPParser.parse_csv_line


class StrSub(str):
    pass


@pytest.mark.parametrize("line, fields", [
    ("1,2,3", ["1", "2", "3"]),
    ("  1, 2 ,3  ", ["1", "2", "3"]),
    ("1,2,3,", ["1", "2", "3"]),
    ("1,2,3,,,", ["1", "2", "3"]),
    ("1,2,3,\r", ["1", "2", "3"]),
    ("1,2, ", ["1", "2"]),
    ("1,,3", ["1", "3"]),
    ("1, ,3", ["1", "3"]),
    (",1", ["1"]),
    (",,a,,", ["a"]),
    (", 1 ,", ["1"]),
    ("1 2   3", ["1", "2", "3"]),
    ("\t1\t2 \t 3\t", ["1", "2", "3"]),
    ("a b,c", ["a b", "c"]),
    ('"a,b",c', ['"a', 'b"', "c"]),
    ("", []),
    ("     ", []),
    (",", []),
    (", , ,", []),
    ("<NULL>", ["<NULL>"]),
    ("1.5e+3,-2", ["1.5e+3", "-2"]),
    ("a\x0bb\x0cc\rd\ne", ["a", "b", "c", "d", "e"]),
    ("\x1c1\x1d2\x1e3\x1f", ["1", "2", "3"]),
    ("1\u30002\xa03\x854\u20285", ["1", "2", "3", "4", "5"]),
    ("\x85 1 \x85,\u2028 2", ["1", "2"]),
    ("1,2,\u3000,", ["1", "2"]),
    ("\u3000,\u3000", []),
    ("1\u200b2", ["1\u200b2"]),
    ("Température 漢字,x", ["Température 漢字", "x"]),
])
def test_split(line, fields):
    got = split(line)
    assert got == fields == ref_split(line)
    assert type(got) is list and all(type(f) is str for f in got)
    assert split(line) is not got


@pytest.mark.parametrize("arg, type_name", [(5, "int"), (b"1,2", "bytes"), (StrSub("1,2"), "StrSub"),
                                            (["1"], "list")])
def test_argument_must_be_str(arg, type_name):
    with pytest.raises(TypeError) as info:
        split(arg)
    assert str(info.value) == f"Argument 'line' has incorrect type (expected str, got {type_name})"


def test_none_is_not_split_as_text():
    with pytest.raises((TypeError, AttributeError)):
        split(None)


def test_static_call_forms(write_file):
    parser = FEMAPParser(write_file(""))
    assert FEMAPParser.parse_csv_line(line="1, 2") == ["1", "2"]
    assert parser.parse_csv_line("1 2") == ["1", "2"]
    assert FEMAPParser.__new__(FEMAPParser).parse_csv_line(line="a,b") == ["a", "b"]
    assert FEMAPParser.parse_csv_line.__annotations__ == {"return": "list"}
    assert FEMAPParser.parse_csv_line.__doc__ == (
        "\n        Parse a FEMAP line that may be comma or space separated.\n"
        "        Public API-compatible wrapper.\n\n        Args:\n            line: Input line string\n\n"
        "        Returns:\n            List of field values as strings\n        ")


@pytest.mark.parametrize("lists", [False, True])
def test_replacing_it_does_not_change_extractors(write_file, lists):
    class Sub(FEMAPParser):
        parse_csv_line = staticmethod(lambda line: ["7"] * 20)

    parser = Sub(write_file(neutral_text([(403, ["1,0,0,0,0,0,0,0,0,0,0,1.5,2.5,3.5"]), (601, ["4,x"])])))
    if lists:
        materialize(parser)
    assert parser.get_nodes() == {1: (1.5, 2.5, 3.5)}
    assert parser.get_materials() == {4: {"id": 4}}


WS = " \t\r\n\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u2028\u3000"
ASCII_TEXT = st.text(alphabet=",,, \t\x0b\x0c\x1c\x1f\r\nab1-.+eE", max_size=30)
ANY_TEXT = st.text(alphabet=",," + WS + "ab1-.é\u200b漢<>", max_size=30)


@settings(max_examples=500, deadline=None)
@given(line=st.one_of(ASCII_TEXT, ANY_TEXT))
def test_split_matches_reference(line):
    assert split(line) == ref_split(line)
