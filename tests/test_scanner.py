"""FEMAPParser: construction, the block scan, `blocks`, parse(), get_blocks() and its overrides."""
import gc
import glob
import os
import pathlib
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import materialize, neutral_text
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

from conftest import REAL_DATA
from reference_reader import block_map, scan

REAL_FILES = sorted(str(p) for p in REAL_DATA.glob("*.neu"))
NO_GET = "'NoneType' object has no attribute 'get'"
TOO_LARGE = "value too large to convert to int"


def ref_scan(path):
    """Plain Python reading of a neutral file: {block_id: [lines of each block]}."""
    return block_map(scan(path))


def exact(text):
    return "^" + re.escape(text) + "$"


def scanned(parser):
    return {k: [b.lines for b in v] for k, v in parser.blocks.items()}


def assert_matches_reference(parser, ref):
    # repr first: on a fresh parser it counts the lines without building them
    assert [(k, [repr(b) for b in v]) for k, v in parser.blocks.items()] == \
        [(k, [f"FEMAPBlock(id={k}, lines={len(b)})" for b in v]) for k, v in ref.items()]
    got = scanned(parser)
    assert list(got.items()) == list(ref.items())
    assert all(type(b) is FEMAPBlock and b.block_id == k for k, v in parser.blocks.items() for b in v)
    assert all(type(k) is int for k in got) and all(type(s) is str for v in got.values() for b in v for s in b)


def text_of(lines, newline="\n"):
    return "".join(line + newline for line in (lines.split("|") if lines else []))


def fd_count():
    return len(os.listdir("/proc/self/fd"))


class StrSub(str):
    pass


class DictSub(dict):
    pass


SCAN_CASES = {  # file lines joined by "|"
    "example": ("   -1|   100|alpha|beta|   -1|   -1|   403|gamma|   -1",
                {100: [["alpha", "beta"]], 403: [["gamma"]]}),
    "empty file": ("", {}),
    "text outside blocks": ("junk|   -1|   1|a|   -1||between|   -1|   2|   -1|trailer", {1: [["a"]], 2: [[]]}),
    "body kept verbatim": ("   -1|   3| lead|trail  ||\t|   -1", {3: [[" lead", "trail  ", "", "\t"]]}),
    "near delimiters are body": ("   -1|   4|-1|  -1|    -1|   -1 |\t-1|   -1\t|   -1\x0c|   -1",
                                 {4: [["-1", "  -1", "    -1", "   -1 ", "\t-1", "   -1\t", "   -1\x0c"]]}),
    "two delimiters": ("   -1|   -1|   5|x|   -1", {5: [["x"]]}),
    "three delimiters": ("   -1|   -1|   -1|   200|   -1", {200: [[]]}),
    "spaced -1 identifier": ("   -1|  -1  |   -1|   6|   -1", {6: [[]]}),
    "bare -1 identifier": ("   -1|-1|   7|   -1", {}),
    "-01 is an identifier": ("   -1|-01|a|   -1", {-1: [["a"]]}),
    "abc identifier": ("   -1|   abc|   -1|   4|y|   -1", {4: [["y"]]}),
    "10.0 identifier": ("   -1|   10.0|z|   -1", {}),
    "identifier forms": ("   -1|  +7  |   -1|   -1|1_0|   -1|   -1|\t-42\t|   -1|   -1|\x1c\u3000\x859\x85|   -1"
                         "|   -1| \u0663 |   -1|   -1|\uff11\uff12|   -1|   -1|" + "0" * 4300 + "|   -1",
                         {7: [[]], 10: [[]], -42: [[]], 9: [[]], 3: [[]], 12: [[]], 0: [[]]}),
    "not identifiers": ("   -1|1__0|   -1|   -1||   -1|   -1|5 6|   -1|   -1|\u200b5|   -1|   -1|_1|   -1|   -1|"
                        + "0" * 4300 + "1|   -1|   -1|   8|   -1", {8: [[]]}),
    "int32 bounds": ("   -1|2147483647|   -1|   -1|-2147483648|   -1", {2147483647: [[]], -2147483648: [[]]}),
    "repeated ids keep first position": ("   -1|   403|a|   -1|   -1|   100|h|   -1|   -1|0403|b|   -1",
                                         {403: [["a"], ["b"]], 100: [["h"]]}),
    "delimiter last line": ("a|   -1", {}),
    "identifier last line": ("   -1|   9", {9: [[]]}),
    "unterminated block": ("   -1|   9|a||b", {9: [["a", "", "b"]]}),
    "line breaks only at CR/LF": ("   -1|   5|a\x85b|c\u2028d|e\x0bf\x1cg\x00|   -1",
                                  {5: [["a\x85b", "c\u2028d", "e\x0bf\x1cg\x00"]]}),
    "non-ASCII": ("   -1|   5|Température|日本語 🙂|   -1", {5: [["Température", "日本語 🙂"]]}),
}


@pytest.mark.parametrize("lines, expected", SCAN_CASES.values(), ids=SCAN_CASES.keys())
@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_scan(write_file, lines, expected, newline):
    path = write_file(text_of(lines, newline))
    assert ref_scan(path) == expected
    assert_matches_reference(FEMAPParser(path), expected)


@pytest.mark.parametrize("content, expected", [
    ("   -1\n   5\na", {5: [["a"]]}),
    ("   -1\r\n   5\r\na\r\n   -1\n   -1\n   6\rb\r\r\n   -1\r", {5: [["a"]], 6: [["b", ""]]}),
    ("\ufeff   -1\n   5\n   -1\n", {5: [[]]}),  # a byte order mark is not part of the first line
    ("\ufeff\ufeff   -1\n   5\n   -1\n", {}),
    ("\ufeffjunk\n   -1\n\ufeff5\n   -1\n", {}),
    ("\ufeffjunk\n   -1\n   5\n\ufeffa\n   -1\n", {5: [["\ufeffa"]]}),
    ("   -1\n   5\na\r\n\r\n\n\r\rb\n   -1\n", {5: [["a", "", "", "", "", "b"]]}),
])
def test_line_ends(write_file, content, expected):
    path = write_file(content)
    assert ref_scan(path) == expected
    assert_matches_reference(FEMAPParser(path), expected)


# Files of 16 MiB and more are read straight from the descriptor on threads.
@pytest.mark.parametrize("head, newline, tail", [
    (b"", b"\n", b""),
    (b"", b"\r\n", b"\r   -1\r   7\rz"),
    (b"\xef\xbb\xbf", b"\n", b"\xc3\xa9\xff\n   -1\n   8\n\xe9"),
], ids=["lf", "crlf", "utf8-bom"])
def test_large_files_read_like_small_ones(write_file, head, newline, tail):
    line = b"1, 2.5, -3.25E+02, " + b"x" * 80
    body = newline.join([b"   -1", b"   5", *[line] * 90000, b"   -1", b"   -1", b"   6", *[line] * 90000])
    path = write_file(head + body + newline + tail)
    assert os.path.getsize(path) > 16 << 20
    assert scanned(FEMAPParser(path)) == ref_scan(path)


@pytest.mark.parametrize("content", [
    b"\xff",
    b"   -1\n   5\nab\xffcd\n   -1\n",
    b"   -1\n   5\n" + b"1,2,3,4.5\n" * 200000 + b"\xe9\n   -1\n",
    b"   -1\n   5\n" + b"x" * 100000 + b"\xc3",
    b"   -1\n   5\n\xed\xa0\x80\n",
    b"   -1\n   5\n\xc0\x80\n",
])
def test_undecodable_bytes_are_read_as_lone_surrogates(write_file, content):
    path = write_file(content)
    before = fd_count()
    parser = FEMAPParser(path)
    assert fd_count() == before
    assert_matches_reference(parser, ref_scan(path))
    for block in [b for v in parser.blocks.values() for b in v]:
        assert all(line.encode("utf-8", "surrogateescape") in content for line in block.lines)
    assert scanned(pickle.loads(pickle.dumps(parser))) == ref_scan(path)


ASCII_LOCALE = {"LC_ALL": "C", "PYTHONCOERCECLOCALE": "0", "PYTHONUTF8": "0"}
ENCODING_SCRIPT = """import sys
from vexaro.core.femap_parser import FEMAPParser
def run(f):
    try:
        return repr(f())
    except Exception as e:
        return f"{type(e).__name__}: {e}"
print(run(lambda: [s.rstrip("\\n") for s in open(sys.argv[1], errors="surrogateescape").readlines()][2:3]))
print(run(lambda: FEMAPParser(sys.argv[1]).blocks[5][0].lines))
"""


@pytest.mark.parametrize("flags, env, line, outcome", [
    ([], ASCII_LOCALE, "ab\xe9", "['ab\\udcc3\\udca9']"),
    ([], ASCII_LOCALE, "abc", "['abc']"),
    (["-X", "warn_default_encoding", "-W", "error::EncodingWarning"], {}, "abc", "EncodingWarning: "),
])
def test_host_default_encoding(write_file, flags, env, line, outcome):
    path = write_file(text_of(f"   -1|   5|{line}|   -1"))
    out = subprocess.run([sys.executable, *flags, "-c", ENCODING_SCRIPT, path], env={**os.environ, **env},
                         capture_output=True, text=True, check=True).stdout.splitlines()
    assert out[0].startswith(outcome) and out[0] == out[1]


@pytest.mark.parametrize("arg, type_name", [
    (b"x.neu", "bytes"), (StrSub("x.neu"), "StrSub"), (3, "int"),
    (None, None), ("missing", None), ("dir", None), ("a\x00b", None),
])
def test_constructor_errors(write_file, tmp_path, arg, type_name):
    arg = {"missing": str(tmp_path / "no.neu"), "dir": str(tmp_path)}.get(arg, arg)
    if type_name:
        exc = TypeError(f"Argument 'filepath' has incorrect type (expected str, got {type_name})")
    else:  # the host's own error from open()
        with pytest.raises(Exception) as host:
            open(arg)
        exc = host.value
    parser = FEMAPParser(filepath=write_file(text_of("   -1|   1|   -1")))
    before, blocks = fd_count(), parser.blocks
    with pytest.raises(type(exc), match=exact(str(exc))):
        FEMAPParser(arg)
    with pytest.raises(type(exc)):
        parser.__init__(arg)
    assert fd_count() == before
    # the type test comes before any field is set; open() fails after `blocks` was reset
    assert parser.blocks is blocks if type_name else parser.blocks == {}


class StubFile:
    """What a replaced open() may return: only readlines() and close()."""
    def __init__(self, lines, calls):
        self.lines, self.calls = lines, calls

    def readlines(self):
        self.calls.append("readlines")
        return self.lines

    def close(self):
        self.calls.append("close")


@pytest.mark.parametrize("make", [
    lambda lines, calls: StubFile(lines, calls),
    lambda lines, calls: __import__("io").StringIO("".join(lines)),
])
@pytest.mark.parametrize("mark", ["", "\ufeff"])
def test_any_object_from_a_replaced_open_is_read_with_readlines(monkeypatch, make, mark):
    calls = []
    lines = [mark + "   -1\n", "   5\n", "a,b\n", "   -1\n", "   -1\n", "   7\n"]
    monkeypatch.setattr("builtins.open", lambda *args: calls.append(args) or make(lines, calls))
    parser = FEMAPParser("x.neu")
    assert scanned(parser) == {5: [["a,b"]], 7: [[]]}
    assert lines[0] == mark + "   -1\n"  # the list read is not changed
    assert calls[0] == ("x.neu", "r")
    assert calls[1:] in ([], ["readlines", "close"])


@pytest.mark.parametrize("lines, kept, text", [
    ("   -1|   1|a|   -1|   -1|   2147483648|b|   -1|   -1|   3|   -1", {1: [["a"]]}, TOO_LARGE),
    ("   -1|   1|   -1|   -1|2|   -1|   -1|-2147483649", {1: [[]], 2: [[]]}, TOO_LARGE),
    ("   -1|   4|   -1|   -1|99999999999999999999999|   -1", {4: [[]]}, "Python int too large to convert to C long"),
])
def test_identifier_overflow_keeps_earlier_blocks(write_file, lines, kept, text):
    path, before = write_file(text_of(lines)), fd_count()
    with pytest.raises(OverflowError, match=exact(text)):
        FEMAPParser(path)
    assert fd_count() == before
    parser = FEMAPParser(write_file(text_of("   -1|   77|   -1")))
    with pytest.raises(OverflowError):
        parser.__init__(path)
    assert scanned(parser) == kept


def test_reinit_and_file_read_once(write_file):
    path = write_file(text_of("   -1|   1|a|   -1"))
    parser = FEMAPParser(path)
    old = parser.blocks
    parser.__init__(write_file(text_of("   -1|   2|b|   -1")))
    assert parser.blocks is not old and scanned(parser) == {2: [["b"]]} and list(old) == [1]
    parser.__init__(path)
    pathlib.Path(path).write_text(text_of("   -1|   3|c|   -1"))
    os.remove(path)
    assert scanned(parser) == {1: [["a"]]} and parser.get_blocks(1)[0].lines == ["a"]


def test_lazy_lines(write_file):
    parser = FEMAPParser(write_file(text_of("   -1|   5|a|b|c|   -1|" * 4 + "   -1|   5|a|b|c|   -1")))
    blocks = parser.get_blocks(5)
    parser.__init__(write_file(""))
    del parser
    gc.collect()  # blocks outlive their parser
    assert [repr(b) for b in blocks] == ["FEMAPBlock(id=5, lines=3)"] * 5
    lines = blocks[0].lines
    assert blocks[0].lines is lines and lines == ["a", "b", "c"]
    lines.append("d")
    assert repr(blocks[0]) == "FEMAPBlock(id=5, lines=4)" and blocks[0].lines is lines
    blocks[1].lines = ["p"]
    blocks[2].block_id = 9
    with pytest.raises(TypeError):
        blocks[2].__init__("x", [])
    del blocks[3].lines
    blocks[4].__init__(8, ["q"])
    assert [(repr(b), b.lines) for b in (blocks[1], blocks[2], blocks[4])] == [
        ("FEMAPBlock(id=5, lines=1)", ["p"]), ("FEMAPBlock(id=9, lines=3)", ["a", "b", "c"]),
        ("FEMAPBlock(id=8, lines=1)", ["q"])]
    assert blocks[3].lines is None


def test_blocks_attribute_and_parse(write_file):
    parser = FEMAPParser(write_file(text_of("   -1|   1|   -1")))
    blocks = parser.blocks
    assert parser.parse() is parser.parse() is blocks
    for value, name in [([], "list"), (DictSub(), "DictSub"), ((), "tuple")]:
        with pytest.raises(TypeError, match=exact(f"Expected dict, got {name}")):
            parser.blocks = value
        assert parser.blocks is blocks
    parser.parse()[2] = []
    assert list(parser.blocks) == [1, 2]
    parser.blocks = new = {5: []}
    assert parser.blocks is new and parser.parse() is new
    parser.blocks = None
    assert parser.blocks is None and parser.parse() is None
    parser.blocks = new
    del parser.blocks
    assert parser.blocks is None and FEMAPParser.__new__(FEMAPParser).parse() is None


def test_get_blocks(write_file):
    parser = FEMAPParser(write_file(text_of("   -1|   100|a|   -1|   -1|   1|   -1")))
    stored = parser.blocks[100]
    assert parser.get_blocks(100) is stored and parser.get_blocks(block_id=100) is stored
    assert parser.get_blocks(100.9) is stored and parser.get_blocks(np.int16(100)) is stored
    assert parser.get_blocks(True) is parser.blocks[1]
    parser.get_blocks(100).append("x")
    assert parser.blocks[100][-1] == "x"
    absent = parser.get_blocks(999)
    assert absent == [] and type(absent) is list and parser.get_blocks(999) is not absent
    assert list(parser.blocks) == [100, 1]
    parser.blocks[3] = None
    assert parser.get_blocks(3) is None


@pytest.mark.parametrize("blocks, arg, exc, text", [
    ({}, "100", TypeError, "an integer is required"),
    ({}, None, TypeError, "an integer is required"),
    ({}, 2**31, OverflowError, TOO_LARGE),
    ({}, -2**31 - 1, OverflowError, TOO_LARGE),
    ({4: ()}, 4, TypeError, "Expected list, got tuple"),
    ({4: {}}, 4, TypeError, "Expected list, got dict"),
    ({4: 1}, 4, TypeError, "Expected list, got int"),
    (None, 4, AttributeError, NO_GET),
    ("del", 4, AttributeError, NO_GET),
    ("new", 4, AttributeError, NO_GET),
])
def test_get_blocks_errors(write_file, blocks, arg, exc, text):
    parser = FEMAPParser.__new__(FEMAPParser)
    if blocks != "new":
        parser.__init__(write_file(""))
        if blocks == "del":
            del parser.blocks
        else:
            parser.blocks = blocks
    with pytest.raises(exc, match=exact(text)):
        parser.get_blocks(arg)


NODE = "1,0,0,0,0,0,0,0,0,0,0,1.5,2.5,3.5"
OVERRIDE_BLOCKS = {
    403: [FEMAPBlock(403, [NODE])], 404: [FEMAPBlock(404, ["10,1,5,1,3", "1,2,0,3", "4", "", "", "", ""])],
    1051: [FEMAPBlock(1051, ["1,2", "T", "", "0,0,0,7", "0,0,0", "5,1.5", "-1,0."])],
    451: [FEMAPBlock(451, ["2,2", "T", "", "0,0,0,7", "0,0,0", "5,1.5", "-1,0."])]}
EXTRACTORS = [("get_header", [100]), ("get_nodes", [403]), ("get_nodes_arrays", [403]),
              ("get_properties", [402]), ("get_elements", [404]), ("get_elements_arrays", [404]),
              ("get_materials", [601]), ("get_output_sets", [450]), ("get_output_vectors", [1051, 451]),
              ("get_output_vectors_arrays", [1051, 451])]
FILE_NODES = {9: (7.0, 8.0, 9.0)}


class Recording(FEMAPParser):
    result = None

    def get_blocks(self, block_id):
        self.calls.append(block_id)
        return OVERRIDE_BLOCKS.get(block_id, []) if self.result is None else self.result


@pytest.fixture
def file_parser(write_file):
    """A file with node 9 and element 20, which an override hides."""
    text = neutral_text([(403, ["9,0,0,0,0,0,0,0,0,0,0,7,8,9"]), (404, ["20,1,5,1,3", "6", ""])])
    return lambda cls: cls(write_file(text))


@pytest.mark.parametrize("method, calls", EXTRACTORS)
def test_every_extractor_asks_get_blocks(file_parser, method, calls):
    parser = file_parser(Recording)
    parser.calls = []
    getattr(parser, method)()
    assert parser.calls == calls and all(type(c) is int for c in parser.calls)
    parser.result = 5
    with pytest.raises(TypeError, match=exact("Expected list, got int")):
        getattr(parser, method)()


def test_override_by_instance_and_late_class_attribute(file_parser):
    class Base(FEMAPParser):
        pass

    class Sub(Base):
        pass

    parser = file_parser(Sub)
    assert parser.get_nodes() == FILE_NODES
    parser.get_blocks = lambda block_id: OVERRIDE_BLOCKS.get(block_id, [])
    assert parser.get_nodes() == {1: (1.5, 2.5, 3.5)} and parser.get_elements_arrays()[0].tolist() == [10]
    del parser.get_blocks
    assert parser.get_nodes() == FILE_NODES
    Base.get_blocks = lambda self, block_id: []
    assert parser.get_nodes() == {} and parser.get_elements_arrays()[0].tolist() == []
    Sub.get_blocks = FEMAPParser.get_blocks
    assert parser.get_nodes() == FILE_NODES
    Sub.get_blocks = lambda self, block_id: int("boom")
    with pytest.raises(ValueError):  # not dropped as a bad record
        parser.get_nodes()
    parser.get_blocks = lambda block_id: 1.5
    with pytest.raises(TypeError, match=exact("Expected list, got float")):
        parser.get_nodes()


def test_override_through_super_and_public_calls(file_parser):
    class Sub(FEMAPParser):
        def get_blocks(self, block_id):
            return [FEMAPBlock(block_id, [NODE])] + super().get_blocks(block_id)

        def get_nodes(self, force_2d=False):
            return {"overridden": True}

        def parse(self):
            return {}

    parser = file_parser(Sub)
    assert parser.get_nodes() == {"overridden": True}
    assert FEMAPParser.get_nodes(parser) == {1: (1.5, 2.5, 3.5), **FILE_NODES}
    assert parser.get_nodes_arrays()[0].tolist() == [1, 9]
    assert FEMAPParser.get_blocks(parser, 403) is parser.blocks[403] and len(parser.blocks[403]) == 1


@pytest.mark.parametrize("path", REAL_FILES, ids=os.path.basename)
def test_real_files(path):
    assert_matches_reference(FEMAPParser(path), ref_scan(path))


LINE = st.one_of(
    st.sampled_from(["   -1", "   -1 ", "-1", "  -1", " -1 ", "   100", "0100", "+7", "1_0", "10.0", "abc",
                     "", "  ", "-2147483648", "2147483648", "\ufeff3", "9" * 30]),
    st.text(alphabet="0123456789_+- \t\x0b\u3000\u0661", max_size=8),
    st.text(alphabet="ab1,.-+_ \t\x0b\x0c\x1c\x1f\x85\xa0\u3000é漢", max_size=10),
)
FILE = st.lists(st.tuples(LINE, st.sampled_from(["\n", "\r\n", "\r"])), max_size=40)


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return str(tmp_path_factory.mktemp("scan") / "gen.neu")


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(file=FILE, last_newline=st.booleans(), materialized=st.booleans())
def test_scan_matches_reference(scratch, file, last_newline, materialized):
    text = "".join(line + nl for line, nl in file)
    if file and not last_newline:
        text = text[:-len(file[-1][1])]
    with open(scratch, "wb") as f:
        f.write(text.encode("utf-8"))
    try:
        ref = ref_scan(scratch)
    except OverflowError as e:
        with pytest.raises(OverflowError, match=exact(str(e))):
            FEMAPParser(scratch)
        return
    parser = FEMAPParser(scratch)
    assert_matches_reference(materialize(parser) if materialized else parser, ref)
