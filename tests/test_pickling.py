"""Pickling and copying of FEMAPBlock and FEMAPParser: reduce values, restore
functions, set-state, instance dictionaries, and parsers restored without their file."""
import copy
import os
import pickle
import pickletools
import shutil
import sys

import numpy as np
import pytest

from conftest import neutral_text
from vexaro.core import femap_parser as fp
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
BLOCK_SUM, PARSER_SUM = 0x7EB2A63, 0x3F1D598
from conftest import REAL_DATA
REAL = str(REAL_DATA)


SubParser = type("SubParser", (FEMAPParser,), {})
SubBlock = type("SubBlock", (FEMAPBlock,), {})
TupleSub, ListSub, DictSub = (type(base.__name__.title() + "Sub", (base,), {}) for base in (tuple, list, dict))


class Recorder:
    """Stands in for an instance dictionary: records update() calls."""

    def __init__(self, truth=True):
        self.truth, self.updates = truth, []

    def __bool__(self):
        return self.truth

    def update(self, item):
        self.updates.append(item)


class ViewedBlock(FEMAPBlock):
    """No real instance dictionary; `__dict__` is whatever `view` says."""

    __slots__ = ()
    view = None

    @property
    def __dict__(self):
        if isinstance(self.view, Exception):
            raise self.view
        return self.view


def state_of(obj):
    """The state tuple that obj.__reduce__() carries, in either form."""
    r = obj.__reduce__()
    return r[2] if len(r) == 3 else r[1][2]


def summary(blocks):
    return None if blocks is None else {k: [(type(b), b.block_id, b.lines) for b in v] for k, v in blocks.items()}


def bare_parser(cls=FEMAPParser, state=None, **attrs):
    p = cls.__new__(cls)
    if state is not None:
        p.__setstate__(state)
    for name, value in attrs.items():
        setattr(p, name, value)
    return p


# ---- reduce values ------------------------------------------------------------------


def test_reduce_of_constructed_parser_and_blocks(write_file):
    path = write_file(neutral_text([(403, ["a", "b"])]))
    p = FEMAPParser(path)
    r = p.__reduce__()
    assert r[0] is fp.__qel_unpickle_FEMAPParser and r[1] == (FEMAPParser, 66180504, None)
    assert r[2] == ("   -1", p.blocks, path) and r[2][1] is p.blocks
    assert FEMAPBlock(403, ["a"]).__reduce__() == (fp.__qel_unpickle_FEMAPBlock, (FEMAPBlock, 132852323, None), (403, ["a"]))
    assert FEMAPBlock(-9, None).__reduce__() == (fp.__qel_unpickle_FEMAPBlock, (FEMAPBlock, 132852323, (-9, None)))
    assert all(type(x[1][1]) is int for x in (r, FEMAPBlock(1, None).__reduce__()))
    with pytest.raises(TypeError, match=r"__reduce__\(\) takes no arguments \(1 given\)"):
        p.__reduce__(2)


@pytest.mark.parametrize(
    "state, two_items",
    [((None, None, None), True), (("   -1", None, None), False), ((None, {}, None), False), ((None, None, "p"), False)],
)
def test_parser_form_follows_fields(state, two_items):
    r = bare_parser(state=state).__reduce__()
    assert r == ((fp.__qel_unpickle_FEMAPParser, (FEMAPParser, PARSER_SUM, state)) if two_items
                 else (fp.__qel_unpickle_FEMAPParser, (FEMAPParser, PARSER_SUM, None), state))


def test_restore_function_is_looked_up_at_each_reduce(monkeypatch):
    monkeypatch.setattr(fp, "__qel_unpickle_FEMAPBlock", len)
    assert FEMAPBlock(1, []).__reduce__()[0] is len
    monkeypatch.delattr(fp, "__qel_unpickle_FEMAPBlock")
    with pytest.raises(NameError, match="^name '__qel_unpickle_FEMAPBlock' is not defined$"):
        FEMAPBlock(1, []).__reduce__()


def test_stream_refers_to_module_functions_and_checksums():
    p = bare_parser(state=("   -1", {7: [FEMAPBlock(7, ["x"])]}, "f.neu"))
    ops = {(op.name, arg) for op, arg, _ in pickletools.genops(pickle.dumps(p, 2))}
    assert {("GLOBAL", "vexaro.core.femap_parser __qel_unpickle_FEMAPParser"),
            ("GLOBAL", "vexaro.core.femap_parser __qel_unpickle_FEMAPBlock"),
            ("GLOBAL", "vexaro.core.femap_parser FEMAPParser"), ("GLOBAL", "vexaro.core.femap_parser FEMAPBlock"),
            ("BININT", 66180504), ("BININT", 132852323), ("BINUNICODE", "   -1"), ("BINUNICODE", "f.neu")} <= ops


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_lazy_block_puts_its_list_in_the_state(parser_of, newline):
    lines = ["a, b", "", " é ", "-1"]
    block = parser_of([(403, lines)], newline).get_blocks(403)[0]
    state = state_of(block)
    assert state == (403, lines) and state[1] is block.lines
    assert copy.copy(block).lines is block.lines
    deep = copy.deepcopy(block)
    assert deep.lines == lines and deep.lines is not block.lines
    assert repr(pickle.loads(pickle.dumps(block))) == "FEMAPBlock(id=403, lines=4)"


# ---- round trips ----------------------------------------------------------------------


def parsers(path):
    blocks = {5: [FEMAPBlock(5, ["q", 1.5]), SubBlock(5, None)], -2: [FEMAPBlock(-2**31, [])]}
    made = bare_parser(state=("   -1", blocks, None))
    return {
        "constructed": FEMAPParser(path),
        "bare": bare_parser(),
        "caller-made": made,
        "subclass": bare_parser(SubParser, ("   -1", {1: [FEMAPBlock(1, [])]}, path)),
        "subclass-attrs": bare_parser(SubParser, (None, None, path), tag=[1, 2], n=3),
        "bare-subclass-attrs": bare_parser(SubParser, tag="t"),
    }


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("kind", ["constructed", "bare", "caller-made", "subclass", "subclass-attrs",
                                  "bare-subclass-attrs"])
def test_parser_round_trip(write_file, line_path, kind, protocol):
    path = write_file(neutral_text([(100, ["t"]), (403, ["1,2"]), (100, [])]))
    p = parsers(path)[kind]
    q = pickle.loads(pickle.dumps(p, protocol))
    assert type(q) is type(p) and q is not p
    assert state_of(q)[::2] == state_of(p)[::2] and summary(q.blocks) == summary(p.blocks)
    assert getattr(q, "__dict__", None) == getattr(p, "__dict__", None)
    if p.blocks is not None:
        assert q.blocks is not p.blocks


@pytest.mark.parametrize("attrs", [{}, {"tag": 1}])
def test_subclass_instance_dict_in_state(attrs):
    p, b = bare_parser(SubParser, ("   -1", {}, "x"), **attrs), SubBlock(4, ["l"])
    b.__dict__.update(attrs)
    assert state_of(p) == ("   -1", {}, "x") + ((attrs,) if attrs else ())
    assert state_of(b) == (4, ["l"]) + ((attrs,) if attrs else ())
    if attrs:
        assert state_of(p)[3] is p.__dict__ and pickle.loads(pickle.dumps(b)).tag == 1


def test_copy_shares_blocks_and_deepcopy_copies_them(parser_of):
    p = parser_of([(403, ["1"]), (404, ["2"]), (403, ["3"])])
    c, d = copy.copy(p), copy.deepcopy(p)
    assert c.blocks is p.blocks and state_of(c) == state_of(p)
    assert d.blocks is not p.blocks and summary(d.blocks) == summary(p.blocks)
    for old, new in zip(p.get_blocks(403), d.get_blocks(403)):
        assert new is not old and new.lines is not old.lines
    assert d.get_blocks(403) is not p.get_blocks(403)


def comparable(x):
    if isinstance(x, np.ndarray):
        return (x.dtype.str, x.shape, x.tolist())
    if isinstance(x, (list, tuple)):
        return type(x)(comparable(v) for v in x)
    if isinstance(x, dict):
        return {k: comparable(v) for k, v in x.items()}
    return x


def queries(p):
    return comparable([
        p.parse() is p.blocks, sorted(p.blocks), p.get_header(), p.get_nodes(), p.get_nodes(force_2d=True),
        p.get_nodes_arrays(), p.get_properties(), p.get_elements(), p.get_elements_arrays(), p.get_materials(),
        p.get_output_sets(), p.get_output_vectors(), p.get_output_vectors_arrays(),
        p.get_output_vectors_arrays(1, 1), [len(b.lines) for v in p.blocks.values() for b in v],
    ])


@pytest.mark.parametrize("name", ["mode_anti1.neu", "cofe_rt.neu"])
def test_restored_parser_answers_without_the_file(tmp_path, name):
    path = str(shutil.copy(os.path.join(REAL, name), tmp_path / name))
    p = FEMAPParser(path)
    expected = queries(p)
    stream = pickle.dumps(FEMAPParser(path), pickle.HIGHEST_PROTOCOL)
    os.remove(path)
    q = pickle.loads(stream)
    assert queries(q) == expected and state_of(q)[2] == path
    assert queries(copy.deepcopy(q)) == expected


# ---- restore functions -------------------------------------------------------------


@pytest.mark.parametrize("fn, cls, sums", [
    (fp.__qel_unpickle_FEMAPBlock, FEMAPBlock, (132852323, 0xC7DD1C6, 0xDCF7CA8)),
    (fp.__qel_unpickle_FEMAPParser, FEMAPParser, (66180504, 12918360, 170521371)),
])
def test_restore_accepts_three_checksums(fn, cls, sums):
    for s in sums:
        obj = fn(cls, s, None)
        assert type(obj) is cls and state_of(obj) == ((0, None) if cls is FEMAPBlock else (None, None, None))
    obj = fn(__qel_state=None, __qel_checksum=float(sums[0]) + 0.9, __qel_type=SubBlock if cls is FEMAPBlock else SubParser)
    assert type(obj).__base__ is cls
    sub = fn(SubBlock, sums[1], (8, ["k"], {"a": 1})) if cls is FEMAPBlock else \
        fn(SubParser, sums[2], ("d", {}, "p", {"a": 1}))
    assert sub.a == 1 and state_of(sub)[-1] == {"a": 1}


def new_error(cls, arg):
    with pytest.raises(TypeError) as e:
        cls.__new__(arg)
    return str(e.value)


BLOCK_FIELDS = "(0x7eb2a63, 0xc7dd1c6, 0xdcf7ca8) = (block_id, lines))"
PARSER_FIELDS = "(0x3f1d598, 0xc51e58, 0xa29f31b) = (BLOCK_DELIMITER, blocks, filepath))"


@pytest.mark.parametrize("args, exc, text", [
    ((FEMAPBlock, "x", []), TypeError, "an integer is required"),
    ((FEMAPBlock, 2**64, []), OverflowError, "Python int too large to convert to C long"),
    ((int, 1, []), TypeError, "Argument '__qel_state' has incorrect type (expected tuple, got list)"),
    ((FEMAPBlock, BLOCK_SUM, TupleSub((1, []))), TypeError,
     "Argument '__qel_state' has incorrect type (expected tuple, got TupleSub)"),
    ((int, 1, None), pickle.PickleError, "Incompatible checksums (0x1 vs " + BLOCK_FIELDS),
    ((FEMAPBlock, -1, (1, [])), pickle.PickleError, "Incompatible checksums (0xffffffff vs " + BLOCK_FIELDS),
    ((FEMAPBlock, 2**32 + BLOCK_SUM, None), pickle.PickleError, "Incompatible checksums (0x7eb2a63 vs " + BLOCK_FIELDS),
    ((FEMAPBlock, PARSER_SUM, None), pickle.PickleError, "Incompatible checksums (0x3f1d598 vs " + BLOCK_FIELDS),
    ((int, BLOCK_SUM, ("bad",)), TypeError, new_error(FEMAPBlock, int)),
    ((5, BLOCK_SUM, None), TypeError, new_error(FEMAPBlock, 5)),
    ((SubParser, BLOCK_SUM, None), TypeError, new_error(FEMAPBlock, SubParser)),
    ((FEMAPBlock, BLOCK_SUM, ("1", [])), TypeError, "an integer is required"),
    ((FEMAPBlock, BLOCK_SUM, (1, ("a",))), TypeError, "Expected list, got tuple"),
    ((FEMAPBlock, BLOCK_SUM, (1, [], {"a": 1})), AttributeError,
     "'vexaro.core.femap_parser.FEMAPBlock' object has no attribute '__dict__'"),
    ((FEMAPBlock, BLOCK_SUM, (1,)), IndexError, "tuple index out of range"),
    ((FEMAPBlock, BLOCK_SUM), TypeError, "__qel_unpickle_FEMAPBlock() missing required argument '__qel_state' (pos 3)"),
])
def test_block_restore_refusals(args, exc, text):
    with pytest.raises(exc) as e:
        fp.__qel_unpickle_FEMAPBlock(*args)
    assert type(e.value) is exc and str(e.value) == text


@pytest.mark.parametrize("args, exc, text", [
    ((FEMAPParser, 132852323, None), pickle.PickleError, "Incompatible checksums (0x7eb2a63 vs " + PARSER_FIELDS),
    ((list, 0, ()), pickle.PickleError, "Incompatible checksums (0x0 vs " + PARSER_FIELDS),
    ((FEMAPParser, PARSER_SUM, [None]), TypeError,
     "Argument '__qel_state' has incorrect type (expected tuple, got list)"),
    ((FEMAPBlock, PARSER_SUM, None), TypeError, new_error(FEMAPParser, FEMAPBlock)),
    ((FEMAPParser, PARSER_SUM, (None, DictSub(), None)), TypeError, "Expected dict, got DictSub"),
    ((FEMAPParser, PARSER_SUM, ("   -1", {}, None, {"a": 1})), AttributeError,
     "'vexaro.core.femap_parser.FEMAPParser' object has no attribute '__dict__'"),
])
def test_parser_restore_refusals(args, exc, text):
    with pytest.raises(exc) as e:
        fp.__qel_unpickle_FEMAPParser(*args)
    assert type(e.value) is exc and str(e.value) == text


def test_failed_restore_drops_the_new_object():
    blocks, lines = {}, []
    before = sys.getrefcount(blocks), sys.getrefcount(lines)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        fp.__qel_unpickle_FEMAPParser(FEMAPParser, PARSER_SUM, ("   -1", blocks, 5))
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        fp.__qel_unpickle_FEMAPBlock(SubBlock, BLOCK_SUM, (1, lines, 5))
    assert (sys.getrefcount(blocks), sys.getrefcount(lines)) == before


# ---- __setstate__ --------------------------------------------------------------------


@pytest.mark.parametrize("state, exc, text, after", [
    (None, TypeError, "'NoneType' object is not subscriptable", (7, ["z"])),
    ([1, []], TypeError, "Expected tuple, got list", (7, ["z"])),
    (TupleSub((1, [])), TypeError, "Expected tuple, got TupleSub", (7, ["z"])),
    (("1", []), TypeError, "an integer is required", (7, ["z"])),
    ((2**31, []), OverflowError, "value too large to convert to int", (7, ["z"])),
    ((5, ("a",)), TypeError, "Expected list, got tuple", (5, ["z"])),
    ((5, ListSub()), TypeError, "Expected list, got ListSub", (5, ["z"])),
    ((5,), IndexError, "tuple index out of range", (5, ["z"])),
    ((5, ["q"], {"a": 1}), AttributeError, "'vexaro.core.femap_parser.FEMAPBlock' object has no attribute '__dict__'",
     (5, ["q"])),
    ((2.9, None), None, None, (2, None)),
    ((-3, ["q"], {}), None, None, (-3, ["q"])),
    ((-3, ["q"], 0, "ignored"), None, None, (-3, ["q"])),
])
def test_block_setstate(state, exc, text, after):
    b = FEMAPBlock(7, ["z"])
    if exc is None:
        assert b.__setstate__(state) is None
    else:
        with pytest.raises(exc) as e:
            b.__setstate__(state)
        assert type(e.value) is exc and str(e.value) == text
    assert (b.block_id, b.lines) == after


@pytest.mark.parametrize("state, text, after", [
    ((None, {}, None), None, (None, {}, None)),
    ((1, {}, None), "Expected str, got int", ("d", {1: []}, "p")),
    ((None, DictSub(), None), "Expected dict, got DictSub", (None, {1: []}, "p")),
    ((None, [], None), "Expected dict, got list", (None, {1: []}, "p")),
    (("x", None, b"p"), "Expected str, got bytes", ("x", None, "p")),
    (("x", {}, "q", None), None, ("x", {}, "q")),
])
def test_parser_setstate(state, text, after):
    p = bare_parser(state=("d", {1: []}, "p"))
    if text is None:
        assert p.__setstate__(__qel_state=state) is None
    else:
        with pytest.raises(TypeError) as e:
            p.__setstate__(state)
        assert str(e.value) == text
    assert state_of(p) == after and p.parse() == after[1]


def test_setstate_on_lazy_block_drops_the_view(parser_of):
    p = parser_of([(403, ["1,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,", "x"])])
    assert p.get_nodes() == {1: (1.0, 2.0, 3.0)}
    b = p.get_blocks(403)[0]
    b.__setstate__((9, ["c"]))
    assert (repr(b), b.lines, p.get_nodes()) == ("FEMAPBlock(id=9, lines=1)", ["c"], {})


def test_setstate_merges_into_instance_dict():
    p = bare_parser(SubParser, keep=1, over=2)
    p.__setstate__(("d", None, None, {"over": 3, "new": 4}))
    p.__setstate__(("d", None, None, [("pair", 5)]))
    assert p.__dict__ == {"keep": 1, "over": 3, "new": 4, "pair": 5}
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        p.__setstate__(("d", None, None, 5))


@pytest.mark.parametrize("view, exc", [
    (Recorder(), None), (Recorder(truth=False), None), (None, None), (AttributeError("none"), None),
    (RuntimeError("boom"), "boom"), (Recorder(truth=None), "__bool__ should return bool, returned NoneType"),
])
def test_instance_dict_that_is_not_a_dict(monkeypatch, view, exc):
    monkeypatch.setattr(ViewedBlock, "view", view)
    b = ViewedBlock(2, ["a"])
    if exc:
        with pytest.raises(type(view) if isinstance(view, Exception) else TypeError, match=f"^{exc}$"):
            b.__reduce__()
    elif isinstance(view, Recorder) and view.truth:  # appended; merged through its own update()
        assert state_of(b) == (2, ["a"], view)
        item = {"k": 1}
        b.__setstate__((2, ["a"], item))
        assert view.updates == [item] and view.updates[0] is item
    else:
        assert state_of(b) == (2, ["a"])


# --- checksum conversion, restore without __new__/__init__, held state, cycles ------

class CountingBlock(FEMAPBlock):
    calls = []

    def __init__(self, *args):
        CountingBlock.calls.append("init")

    def __setstate__(self, state):
        CountingBlock.calls.append(state)


class NoNewParser(FEMAPParser):
    def __new__(cls, *args):
        raise RuntimeError("never")


class Sneaky(FEMAPBlock):
    """Its instance dictionary lookup clears `lines` on the way."""
    __slots__ = ()

    @property
    def __dict__(self):
        self.lines = None
        return {}


class ChecksumInt:
    def __int__(self):
        return PARSER_SUM


class IndexOnly:
    def __index__(self):
        return PARSER_SUM


def test_written_checksums_are_single_objects():
    p = FEMAPParser.__new__(FEMAPParser)
    assert p.__reduce__()[1][1] is FEMAPParser.__new__(FEMAPParser).__reduce__()[1][1]
    assert FEMAPBlock(1, []).__reduce__()[1][1] is FEMAPBlock(2, None).__reduce__()[1][1]


CHECKSUM_FIELDS = "(0x3f1d598, 0xc51e58, 0xa29f31b) = (BLOCK_DELIMITER, blocks, filepath))"


@pytest.mark.parametrize("checksum, exc, text", [
    (2**63 - 1, pickle.PickleError,
     "Incompatible checksums (0xffffffff vs " + CHECKSUM_FIELDS),
    (-2**63, pickle.PickleError,
     "Incompatible checksums (0x0 vs " + CHECKSUM_FIELDS),
    (True, pickle.PickleError,
     "Incompatible checksums (0x1 vs " + CHECKSUM_FIELDS),
    (-2**63 - 1, OverflowError, "Python int too large to convert to C long"),
    (IndexOnly(), TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_parser_restore_checksum_conversion(checksum, exc, text):
    with pytest.raises(exc) as e:
        fp.__qel_unpickle_FEMAPParser(FEMAPParser, checksum, None)
    assert type(e.value) is exc and str(e.value) == text


def test_parser_restore_converts_checksum_through_int():
    assert type(fp.__qel_unpickle_FEMAPParser(FEMAPParser, ChecksumInt(), None)) is FEMAPParser


def test_restore_skips_new_init_and_overridden_setstate():
    CountingBlock.calls.clear()
    b = fp.__qel_unpickle_FEMAPBlock(CountingBlock, BLOCK_SUM, (3, ["x"], {"k": 1}))
    assert (type(b), b.block_id, b.lines, b.k, CountingBlock.calls) == (CountingBlock, 3, ["x"], 1, [])
    assert type(fp.__qel_unpickle_FEMAPParser(NoNewParser, PARSER_SUM, None)) is NoNewParser


def test_reduce_captures_state_before_dict_lookup_and_picks_form_after():
    r = Sneaky(4, ["a"]).__reduce__()
    assert len(r) == 2 and r[1][1:] == (BLOCK_SUM, (4, ["a"]))


def test_state_items_are_held_not_copied():
    d, lines = {1: []}, ["x"]
    p = fp.__qel_unpickle_FEMAPParser(FEMAPParser, PARSER_SUM, ("D", d, "f"))
    b = fp.__qel_unpickle_FEMAPBlock(FEMAPBlock, BLOCK_SUM, (5, lines))
    assert p.blocks is d and p.__reduce__()[2][1] is d
    assert b.lines is lines and b.__reduce__()[2][1] is lines


@pytest.mark.parametrize("dup", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy])
def test_cycles_and_sharing_survive(dup):
    blk = FEMAPBlock(9, [])
    blk.lines.append(blk)
    shared = FEMAPBlock(5, ["s"])
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {1: [shared, blk], 2: [shared]}
    q = dup(p)
    assert q.blocks[1][0] is q.blocks[2][0] and q.blocks[1][0] is not shared
    assert q.blocks[1][1].lines[0] is q.blocks[1][1] and q.blocks[1][1].block_id == 9
