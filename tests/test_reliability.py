"""Reliability: no leak on success or error paths, no lost file descriptor, no crash when
Python code runs in the middle of an extraction, one parser shared by threads, the file
changed after construction, and the inputs the fuzzer ever failed on."""
import builtins
import functools
import io
import gc
import os
import pathlib
import pickle
import runpy
import subprocess
import sys
import types
import threading
import tracemalloc

import numpy
import pytest

import vexaro.core.femap_parser as fp
from conftest import materialize, neutral_text
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

HERE = pathlib.Path(__file__).resolve().parent
PICKLING = "__reduce__" in FEMAPParser.__dict__
# Under AddressSanitizer (tools/sanitize) memory is no measure: its quarantine holds freed
# memory back, and the interpreter's own caches settle far slower. Refcounts still are.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

MODEL = [
    (100, ["  Bracket \u00e9t\u00e9  ", "11.2,"]),
    (402, ["1,110,1,1,1,0,0,", "Plate 1,", "10,0,", "0.", "0.", "0", "0"]),
    (403, [f"{i},0,0,1,46,0,0,0,0,0,0,{i}.5,1.5D+00,{(i % 3) - 1}.,0," for i in range(1, 40)]
     + ["\uff14\uff10,0,0,1,46,0,0,0,0,0,0,1_0.5,inf,-0.,0,", "bad,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,"]),
    (404, ["1,124,1,17,4,1,0,0,0,0,0,0,0,0,0,0,", "1,2,3,4,0,0,0,0,0,0,", "0,0,0,0,0,0,0,0,0,0,",
           "0.,0.,0.,", "0,0,0,", "0", "0", "2,124,1,17,4,1", "5,6,x", "7", "", "", "", ""]),
    (601, ["7,-601,55,0,0,1,0,", "Steel,"]),
    (450, ["1,", "Static \u00e9,", "0,", "0.,", "0,", "<NULL>", "2,", "<NULL>", "0,", "1.5D+00,", "0,", "x"]),
    (1051, ["1,1,", "Total,", "0.,0.,0.,", "2,3,4,7,", "1,0,1,", "1,0.,", "2,0.25,", "3,5,0.5,0.6,", "0.7,",
            "-1,0.,", "2,3,", "<NULL>", "0.", "1,2,3,8,", "0,0,0,", "1,1_0,", "-1,0."]),
    (403, ["99,0,0,1,46,0,0,0,0,0,0,9.,9.,9.,0,"]),
]
OVERFLOW = [
    (403, ["2147483648,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,"]),
    (404, ["99999999999999999999,1,2,3,4,5", "1", "2", "", "", "", ""]),
    (1051, ["1,2147483648,", "t", "0."]),
]

ENTRIES = {
    "parse": lambda p: p.parse(),
    "get_blocks": lambda p: p.get_blocks(403),
    "get_header": lambda p: p.get_header(),
    "get_nodes": lambda p: p.get_nodes(),
    "get_nodes_2d": lambda p: p.get_nodes(force_2d=True),
    "get_nodes_arrays": lambda p: p.get_nodes_arrays(),
    "get_elements": lambda p: p.get_elements(),
    "get_elements_arrays": lambda p: p.get_elements_arrays(),
    "get_properties": lambda p: p.get_properties(),
    "get_materials": lambda p: p.get_materials(),
    "get_output_sets": lambda p: p.get_output_sets(),
    "get_output_vectors": lambda p: p.get_output_vectors(),
    "get_output_vectors_arrays": lambda p: p.get_output_vectors_arrays(),
    "get_output_vectors_arrays_1_2": lambda p: p.get_output_vectors_arrays(1, 2),
    "get_output_vectors_arrays_none": lambda p: p.get_output_vectors_arrays(set_id_filter=9),
    "parse_csv_line": lambda p: p.parse_csv_line(" 1, \u00e9 ,,3,"),
    "repr": lambda p: repr(p.get_blocks(450)[0]),
}
if PICKLING:
    ENTRIES["pickle"] = lambda p: pickle.loads(pickle.dumps(p))
EXTRACTORS = [n for n in ENTRIES if n.startswith("get_") and n != "get_blocks"]


def n_fds():
    return len(os.listdir("/proc/self/fd"))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(call, n, rounds=3):
    """The least growth (traced bytes, RSS bytes) of `rounds` rounds of n calls after a
    warm-up: a leak grows in every round, allocator noise does not."""
    owner = not tracemalloc.is_tracing()
    if owner:
        tracemalloc.start()
    try:
        for _ in range(max(150, n)):
            call()
        traced, size = [], []
        gc.collect()
        for r in range(rounds + 1):
            if r:
                for _ in range(n):
                    call()
            # Empty the interpreter's caches whose parked objects count as traced memory and
            # come and go between rounds: the free lists (a full collection) and the type
            # attribute cache, which keeps up to 4096 attribute names alive (pickle's lookups
            # of the restore functions create fresh names on every call).
            gc.collect()
            sys._clear_type_cache()
            traced.append(tracemalloc.get_traced_memory()[0])
            size.append(rss())
        return (min(b - a for a, b in zip(traced, traced[1:])),
                min(b - a for a, b in zip(size, size[1:])))
    finally:
        if owner:
            tracemalloc.stop()


def assert_flat(call, n=500, what=None, rounds=3):
    """No Python object (28 bytes at least) and no native buffer left behind per call."""
    if SANITIZED:
        call()
        return
    traced, grown = growth(call, n, rounds)
    if os.environ.get("FEMAP_LEAK_LOG"):  # one line per check, for the record
        with open(os.environ["FEMAP_LEAK_LOG"], "a") as log:
            log.write(f"{what}\t{n}\t{traced}\t{grown}\n")
    assert traced < 8 * n and grown < 1 << 20, (what, traced, grown)


def outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - the outcome under test
        return e


def same(a, b):
    """Equality that also holds for arrays and nan."""
    if isinstance(a, numpy.ndarray):
        return isinstance(b, numpy.ndarray) and a.dtype == b.dtype and numpy.array_equal(a, b, equal_nan=True)
    if isinstance(a, float) and a != a:
        return isinstance(b, float) and b != b
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, Exception):
        return type(a) is type(b) and str(a) == str(b)
    return a == b


@pytest.fixture
def model_path(write_file):
    return write_file(neutral_text(MODEL))


@pytest.fixture
def expected(model_path):
    """Every extractor's result on a parser nobody disturbs."""
    p = FEMAPParser(model_path)
    return {name: ENTRIES[name](p) for name in EXTRACTORS}


# --- array memory ------------------------------------------------------------------

def big_model(n):
    """n nodes, n one-node elements and a vector of n values: arrays from a few KiB to MiBs."""
    nodes = [f"{i},0,0,1,46,0,0,0,0,0,0,{i}.5,-{i}.25,1.5D+0{i % 3},0," for i in range(1, n + 1)]
    elements = [f"{i},7,1,9,0,1,0,0,0,0,0,0,0,0,0,0,\n{i},0,0,0,0,0,0,0,0,0,\n0,0,0,0,0,0,0,0,0,0,\n"
                "0.,0.,0.,\n0,0,0,\n0\n0" for i in range(1, n + 1)]
    values = [f"{i},{i}.125," for i in range(1, n + 1)]
    return [(403, nodes), (404, "\n".join(elements).split("\n")),
            (1051, ["1,1,", "Total,", "0.,0.,0.,", "2,3,4,7,", "1,0,1,", *values, "-1,0."])]


@pytest.mark.parametrize("n", [1, 3000, 65536, 150_000])
def test_arrays_own_their_memory_at_every_size(write_file, n):
    p = FEMAPParser(write_file(neutral_text(big_model(n))))
    ids, coords = p.get_nodes_arrays()
    elements = p.get_elements_arrays()
    vec_ids, values = p.get_output_vectors_arrays()[:2]
    k = numpy.arange(1, n + 1)
    assert coords.tolist() == numpy.stack([k + 0.5, -k - 0.25, 1.5 * 10.0 ** (k % 3)], axis=1).tolist()
    assert values.tolist() == (k + 0.125).tolist()
    arrays = [ids, coords, vec_ids, values, *(a for a in elements if isinstance(a, numpy.ndarray))]
    for a in [ids, vec_ids, elements[0]]:
        assert a.tolist() == k.tolist()
    snapshot = [a.copy() for a in arrays]
    for _ in range(2):  # later calls fill the memory earlier ones were gathered in
        p.get_nodes_arrays(), p.get_elements_arrays(), p.get_output_vectors_arrays()
    assert all(numpy.array_equal(a, s) for a, s in zip(arrays, snapshot))
    handler_name = getattr(getattr(numpy, "_core", None) or numpy.core, "multiarray").get_handler_name
    for a in arrays:
        assert (a.flags.owndata, a.base, a.flags.writeable) == (True, None, True)
        if sys.platform == "linux":  # large ones in mappings of their own
            assert handler_name(a) == ("vexaro_huge_pages" if a.nbytes >= 262144 else "default_allocator")
        before = a.copy()
        a.resize(2 * a.shape[0], *a.shape[1:], refcheck=False)
        assert numpy.array_equal(a[: before.shape[0]], before) and not a[before.shape[0]:].any()
        a.resize(1, *a.shape[1:], refcheck=False)
        assert numpy.array_equal(a, before[:1])
    # the same values through a replaced np (as lists)
    np_like = types.SimpleNamespace(array=numpy.array, int32=numpy.int32, float64=numpy.float64)
    vec_ids, values = with_np(np_like, p.get_output_vectors_arrays)[:2]
    assert vec_ids.tolist() == k.tolist() and values.tolist() == (k + 0.125).tolist()


@pytest.mark.skipif(sys.platform != "linux", reason="huge pages are advised on Linux only")
@pytest.mark.parametrize("switch, handler", [("1", "vexaro_huge_pages"), ("0", "default_allocator")])
def test_numpys_huge_page_switch_decides_where_large_arrays_live(write_file, switch, handler):
    code = ("import sys, numpy; from vexaro.core.femap_parser import FEMAPParser; "
            "core = getattr(numpy, '_core', None) or numpy.core; "
            "print(core.multiarray.get_handler_name(FEMAPParser(sys.argv[1]).get_nodes_arrays()[1]))")
    out = subprocess.run([sys.executable, "-c", code, write_file(neutral_text(big_model(150_000)))],
                         env={**os.environ, "NUMPY_MADVISE_HUGEPAGE": switch}, capture_output=True, text=True)
    assert (out.returncode, out.stdout.split()) == (0, [handler]), out.stderr


# --- leaks ------------------------------------------------------------------------

@pytest.mark.parametrize("name", list(ENTRIES))
def test_success_paths_leave_memory_and_shared_refcounts_flat(model_path, line_path, name):
    p = FEMAPParser(model_path)
    if line_path == "lists":
        materialize(p)
    blocks, nodes, lines = p.blocks, p.blocks[403], p.blocks[450][0].lines
    no_match = p.get_output_vectors_arrays(9, 9)
    ENTRIES[name](p)
    gc.collect()
    shared = [blocks, nodes, nodes[0], lines, fp.np, no_match, numpy.int32, model_path]
    before = [sys.getrefcount(o) for o in shared]
    assert_flat(lambda: ENTRIES[name](p), 250)
    assert [sys.getrefcount(o) for o in shared] == before


@pytest.mark.parametrize("tail", [b"", b"   -1\n   403\n\xff\xfe,1\n"], ids=["utf-8", "undecodable"])
def test_construction_and_materialising_leave_memory_flat(write_file, tail):
    path = write_file(neutral_text(MODEL).encode() + tail)

    def construct():
        materialize(FEMAPParser(path)).get_nodes()

    assert_flat(construct, 200, rounds=5)


class Sub(FEMAPParser):
    answer = None

    def get_blocks(self, block_id):
        return self.answer


def with_np(np, call):
    """call() while the module global `np` is `np` (deleted when None)."""
    saved = fp.np
    if np is None:
        del fp.np
    else:
        fp.np = np
    try:
        return call()
    finally:
        fp.np = saved


REAL_OPEN = builtins.open


class Unseekable(io.BytesIO):
    def seekable(self):
        return False


def opener(how):
    """A stand-in for the built-in open() that makes the constructor read lines."""
    def fake_open(path, mode="r"):
        if how == "unseekable":
            with REAL_OPEN(path, "rb") as f:
                return io.TextIOWrapper(Unseekable(f.read()), encoding="utf-8")
        return REAL_OPEN(path, mode, encoding=how)
    return fake_open


def with_open(how, call):
    builtins.open = opener(how)
    try:
        return call()
    finally:
        builtins.open = REAL_OPEN


class RaisingNp:
    int32, float64 = numpy.int32, numpy.float64

    @staticmethod
    def array(values, dtype=None):
        raise ZeroDivisionError("array")


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def error_cases(paths):
    """(name, call, exception type, text or None): every failing entry."""
    p = FEMAPParser(paths["model"])
    bad = FEMAPParser(paths["overflow"])
    wrong = Sub(paths["model"])
    wrong.answer = (1,)
    caller = FEMAPParser.__new__(FEMAPParser)
    caller.blocks = {403: [FEMAPBlock(403, [None])], 404: [FEMAPBlock(404, None)], 100: [FEMAPBlock(100, [1, 2])],
                     450: [FEMAPBlock(450, ["x", 5])], 1051: ["no block"]}
    block = FEMAPBlock(1, [])
    cases = [
        ("ctor-type", lambda: FEMAPParser(5), TypeError,
         "Argument 'filepath' has incorrect type (expected str, got int)"),
        ("ctor-path", lambda: FEMAPParser(os.fsencode(paths["model"])), TypeError, None),
        ("ctor-none", lambda: FEMAPParser(None), TypeError, None),
        ("ctor-missing", lambda: FEMAPParser(paths["missing"]), FileNotFoundError, None),
        ("ctor-directory", lambda: FEMAPParser(paths["dir"]), IsADirectoryError, None),
        ("ctor-overflow-id", lambda: FEMAPParser(paths["overflow_id"]), OverflowError,
         "value too large to convert to int"),
        ("ctor-lines-overflow-id", lambda: with_open("utf-8-sig", lambda: FEMAPParser(paths["overflow_id"])),
         OverflowError, "value too large to convert to int"),
        ("ctor-huge-id", lambda: FEMAPParser(paths["huge_id"]), OverflowError, None),
        ("get_blocks-type", lambda: p.get_blocks("403"), TypeError, "an integer is required"),
        ("get_blocks-overflow", lambda: p.get_blocks(2**31), OverflowError, "value too large to convert to int"),
        ("get_blocks-huge", lambda: p.get_blocks(2**64), OverflowError, None),
        ("ova-overflow", lambda: p.get_output_vectors_arrays(2**31), OverflowError,
         "value too large to convert to int"),
        ("ova-type", lambda: p.get_output_vectors_arrays(vec_id_filter="1"), TypeError, "an integer is required"),
        ("nodes-truth", lambda: p.get_nodes(BadTruth()), ZeroDivisionError, "truth"),
        ("nodes-kwarg", lambda: p.get_nodes(bad=1), TypeError, None),
        ("csv-type", lambda: FEMAPParser.parse_csv_line(5), TypeError,
         "Argument 'line' has incorrect type (expected str, got int)"),
        ("block-id", lambda: FEMAPBlock("1", []), TypeError, "an integer is required"),
        ("block-lines", lambda: FEMAPBlock(1, ("a",)), TypeError, None),
        ("block-overflow", lambda: FEMAPBlock(2**31, []), OverflowError, "value too large to convert to int"),
        ("block-set-lines", lambda: setattr(block, "lines", ()), TypeError, "Expected list, got tuple"),
        ("block-del-id", lambda: delattr(block, "block_id"), NotImplementedError, "__del__"),
        ("parser-set-blocks", lambda: setattr(p, "blocks", []), TypeError, "Expected dict, got list"),
        ("repr-none", lambda: repr(FEMAPBlock(1, None)), TypeError, "object of type 'NoneType' has no len()"),
        ("override-tuple", lambda: wrong.get_nodes(), TypeError, "Expected list, got tuple"),
        ("override-tuple-vectors", lambda: wrong.get_output_vectors_arrays(), TypeError, "Expected list, got tuple"),
        ("caller-none-line", lambda: caller.get_nodes_arrays(), TypeError, "Expected str, got NoneType"),
        ("caller-none-lines", lambda: caller.get_elements_arrays(), TypeError,
         "object of type 'NoneType' has no len()"),
        ("caller-int-title", lambda: caller.get_header(), AttributeError, None),
        ("caller-int-line", lambda: caller.get_output_sets(), TypeError, "Expected str, got int"),
        ("caller-not-block", lambda: caller.get_output_vectors(), TypeError,
         "Cannot convert str to vexaro.core.femap_parser.FEMAPBlock"),
        ("np-deleted", lambda: with_np(None, p.get_nodes_arrays), NameError, "name 'np' is not defined"),
        ("np-array-raises", lambda: with_np(RaisingNp, p.get_elements_arrays), ZeroDivisionError, "array"),
        ("np-array-raises-vectors", lambda: with_np(RaisingNp, p.get_output_vectors_arrays), ZeroDivisionError,
         "array"),
        ("no-blocks", lambda: FEMAPParser.__new__(FEMAPParser).get_materials(), AttributeError,
         "'NoneType' object has no attribute 'get'"),
    ]
    for name in EXTRACTORS:
        if name not in ("get_header", "get_properties", "get_materials", "get_output_sets") and "none" not in name:
            cases.append((f"overflow-{name}", (lambda n=name: ENTRIES[n](bad)), OverflowError, None))
    if PICKLING:
        cases += [
            ("unpickle-checksum", lambda: fp.__qel_unpickle_FEMAPParser(FEMAPParser, 1, None), pickle.PickleError,
             None),
            ("unpickle-state", lambda: fp.__qel_unpickle_FEMAPBlock(FEMAPBlock, 1, []), TypeError, None),
            ("setstate-type", lambda: p.__setstate__([]), TypeError, "Expected tuple, got list"),
            ("setstate-item", lambda: block.__setstate__((1, ())), TypeError, "Expected list, got tuple"),
            ("setstate-overflow", lambda: block.__setstate__((2**31, [])), OverflowError, None),
        ]
    return cases


@pytest.fixture
def error_paths(tmp_path, write_file):
    (tmp_path / "dir").mkdir()
    return {
        "model": write_file(neutral_text(MODEL)),
        "overflow": write_file(neutral_text(OVERFLOW)),
        "missing": str(tmp_path / "missing.neu"),
        "dir": str(tmp_path / "dir"),
        "overflow_id": write_file("   -1\n   403\nx\n   -1\n   -1\n2147483648\n"),
        "huge_id": write_file("   -1\n" + "9" * 30 + "\n"),
    }


def test_error_paths_raise_and_leave_memory_refcounts_and_descriptors_flat(error_paths):
    cases = error_cases(error_paths)
    p = FEMAPParser(error_paths["model"])
    shared = [p.blocks, p.blocks[403], p.blocks[403][0], fp.np, error_paths["model"]]
    tracemalloc.start()
    try:
        check_error_cases(cases, shared)
    finally:
        tracemalloc.stop()


def check_error_cases(cases, shared):
    for name, call, exc, text in cases:
        with pytest.raises(exc) as info:
            call()
        if text is not None:
            assert str(info.value) == text, name

        def failing():
            try:
                call()
            except exc:
                pass

        gc.collect()
        fds, before = n_fds(), [sys.getrefcount(o) for o in shared]
        assert_flat(failing, 150, name, rounds=5)
        assert n_fds() == fds, name
        assert [sys.getrefcount(o) for o in shared] == before, name


def test_replaced_np_keeps_refcounts_and_memory_flat(model_path, monkeypatch):
    fake = type("FakeNp", (), {"array": staticmethod(numpy.array), "int32": numpy.int32,
                               "float64": numpy.float64})()
    monkeypatch.setattr(fp, "np", fake)
    p = FEMAPParser(model_path)
    for name in ("get_nodes_arrays", "get_elements_arrays", "get_output_vectors_arrays"):
        ENTRIES[name](p)
    gc.collect()
    before = sys.getrefcount(fake), sys.getrefcount(numpy)
    for name in ("get_nodes_arrays", "get_elements_arrays", "get_output_vectors_arrays"):
        assert_flat(lambda: ENTRIES[name](p), 300, name)
    assert (sys.getrefcount(fake), sys.getrefcount(numpy)) == before


# --- re-entrancy ------------------------------------------------------------------

class Line:
    """A title line whose strip() runs `action` first."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def strip(self, *args):
        self.action()
        return self.text.strip(*args)

    def rstrip(self, *args):
        return self.text.rstrip(*args)


TITLED = {  # extractor: (block id, body lines with a title at index 1)
    "get_header": (100, ["T", "11.2,", "x"]),
    "get_properties": (402, ["1,110,1,", "T", "0", "0", "0", "0", "0", "2,110,2,", "U", "0"]),
    "get_output_sets": (450, ["1,", "T", "0", "1.5", "x", "x", "2,", "U", "0", "2.5"]),
    "get_output_vectors": (1051, ["1,1,", "T", "0", "1,2,3,4,", "1,0,1,", "1,0.5,", "-1,0.", "2,2,", "U", "0",
                                  "1,2,3,4,", "1,0,1,", "3,1.5,", "-1,0."]),
}


def titled_parser(extractor, action_of):
    """A parser whose only block holds a title line running action_of(parser, block, list)."""
    block_id, body = TITLED[extractor]
    p = FEMAPParser.__new__(FEMAPParser)
    block = FEMAPBlock(block_id, list(body))
    listed = [block]
    p.blocks = {block_id: listed}
    block.lines[1 if extractor != "get_header" else 0] = Line(body[1 if extractor != "get_header" else 0],
                                                              lambda: action_of(p, block, listed))
    reference = FEMAPParser.__new__(FEMAPParser)
    reference.blocks = {block_id: [FEMAPBlock(block_id, list(body))]}
    return p, getattr(reference, extractor)()


HOLDING = {  # the walk holds the block and its line list: these change nothing it reads
    "reassign-lines": lambda p, b, l: setattr(b, "lines", ["0"]),
    "delete-lines": lambda p, b, l: delattr(b, "lines"),
    "clear-block-list": lambda p, b, l: l.clear(),
    "drop-blocks": lambda p, b, l: setattr(p, "blocks", None),
    "clear-blocks": lambda p, b, l: p.blocks.clear(),
    "reinit-from-state": lambda p, b, l: p.__setstate__(("   -1", {}, None)) if PICKLING else p.blocks.clear(),
    "collect": lambda p, b, l: (l.clear(), p.blocks.clear(), gc.collect()),
}


@pytest.mark.parametrize("extractor", list(TITLED))
@pytest.mark.parametrize("action", list(HOLDING))
def test_title_strip_that_drops_what_the_walk_holds_changes_nothing(extractor, action):
    p, want = titled_parser(extractor, HOLDING[action])
    assert same(getattr(p, extractor)(), want)


@pytest.mark.parametrize("extractor", list(TITLED))
def test_title_strip_that_empties_the_line_list_completes_or_raises_index_error(extractor):
    p, want = titled_parser(extractor, lambda p, b, l: b.lines.clear())
    got = outcome(getattr(p, extractor))
    assert isinstance(got, (IndexError, type(want))), got


@pytest.mark.parametrize("error", [ValueError, IndexError])
@pytest.mark.parametrize("extractor, want", [
    ("get_properties", {2: {"material_id": 2, "title": "U"}}),
    ("get_output_sets", {2: {"title": "U", "value": 2.5}}),
    ("get_output_vectors", [{"set_id": 1, "vec_id": 2, "title": "1,0,1", "ent_type": 4, "results": {3: 1.5}}]),
])
def test_title_strip_error_drops_the_record_and_the_walk_goes_on(parser_of, extractor, want, error):
    def fail(p, block, listed):
        block.lines[1] = "zzz"  # the walk reads the same list on
        raise error("title")
    p, _ = titled_parser(extractor, fail)
    assert getattr(p, extractor)() == want
    block_id, body = TITLED[extractor]
    assert getattr(parser_of([(block_id, ["x", "zzz"] + body[2:])]), extractor)() == want


@pytest.mark.parametrize("extractor", ["get_header", "get_properties", "get_output_sets", "get_output_vectors"])
def test_title_strip_errors_other_than_value_and_index_errors_end_the_call(extractor):
    def fail(p, block, listed):
        raise KeyError("title")
    p, _ = titled_parser(extractor, fail)
    with pytest.raises(KeyError, match="title"):
        getattr(p, extractor)()


@pytest.mark.parametrize("extractor", list(TITLED))
@pytest.mark.parametrize("switch_off", [False, True])
def test_python_code_in_a_walk_sees_and_keeps_the_collector_state(extractor, switch_off):
    seen = []

    def look(p, block, listed):
        seen.append(gc.isenabled())
        if switch_off:
            gc.disable()
    p, want = titled_parser(extractor, look)
    try:
        assert same(getattr(p, extractor)(), want)
        assert seen == [True] and gc.isenabled() is not switch_off
    finally:
        gc.enable()


def test_value_line_gone_from_a_list_shortened_mid_walk_drops_the_record():
    lines = ["1,2", "T", "x", "5,6,7,8", "1,0,0", "10,1.5", "zzz"]
    lines[1] = Line("T", lambda: lines.pop())
    p = FEMAPParser.__new__(FEMAPParser)
    p.blocks = {1051: [FEMAPBlock(1051, lines)], 451: [FEMAPBlock(451, ["3,4"])]}
    assert p.get_output_vectors() == [{"set_id": 3, "vec_id": 4, "title": "", "ent_type": None, "results": {}}]


@pytest.mark.parametrize("extractor", list(TITLED))
def test_title_strip_that_re_enters_the_extractor_completes(extractor):
    depth = []

    def again(p, b, l):
        if len(depth) < 3:
            depth.append(1)
            getattr(p, extractor)()

    p, want = titled_parser(extractor, again)
    assert same(getattr(p, extractor)(), want)


def walking_override(mutate):
    class Mutating(FEMAPParser):
        def get_blocks(self, block_id):
            own = FEMAPParser.get_blocks(self, block_id)
            mutate(self, own)
            return own

    return Mutating


OVERRIDES = {
    "clear-blocks": lambda self, own: self.blocks.clear(),
    "delete-blocks": lambda self, own: delattr(self, "blocks"),
    "replace-blocks": lambda self, own: setattr(self, "blocks", {}),
    "reinit": lambda self, own: self.__init__(self.other),
    "drop-block-lines": lambda self, own: [setattr(b, "lines", None) for b in own],
    "clear-returned-list-later": lambda self, own: gc.callbacks.append(Once(own.clear)),
}


class Once:
    """A collector callback that runs `action` at the next collection, then leaves."""
    test_owned = True

    def __init__(self, action):
        self.action = action

    def __call__(self, phase, info):
        if phase == "start" and self in gc.callbacks:
            gc.callbacks.remove(self)
            self.action()


@pytest.mark.parametrize("mode", list(OVERRIDES))
@pytest.mark.parametrize("extractor", EXTRACTORS)
def test_get_blocks_override_that_mutates_the_parser_completes_on_what_it_returned(
        model_path, write_file, expected, eager_gc, mode, extractor):
    p = walking_override(OVERRIDES[mode])(model_path)
    p.other = write_file("")
    got = outcome(lambda: ENTRIES[extractor](p))
    if mode == "drop-block-lines":  # the returned blocks lose their lines before the walk
        assert isinstance(got, TypeError), got
    elif mode == "delete-blocks" and "vectors" in extractor:  # the second get_blocks (451) fails
        assert same(got, AttributeError("'NoneType' object has no attribute 'get'"))
    elif mode == "clear-returned-list-later":  # the walk stops early, on an emptied list
        assert type(got) is type(expected[extractor]), got
    else:
        assert same(got, expected[extractor])


@pytest.mark.parametrize("extractor", EXTRACTORS)
def test_get_blocks_override_returning_the_only_reference_completes(model_path, expected, extractor):
    class Fresh(FEMAPParser):
        def get_blocks(self, block_id):
            source = FEMAPParser(model_path)  # dropped on return: the list holds the last reference
            return source.get_blocks(block_id)

    assert same(ENTRIES[extractor](Fresh(model_path)), expected[extractor])


def test_unbounded_recursion_through_an_override_raises_recursion_error(model_path):
    class Recursive(FEMAPParser):
        def get_blocks(self, block_id):
            self.get_nodes()
            return []

    with pytest.raises(RecursionError):
        Recursive(model_path).get_nodes()


@pytest.mark.parametrize("mode", ["clear", "none", "reinit", "materialise", "collect"])
@pytest.mark.parametrize("extractor", ["get_nodes_arrays", "get_elements_arrays", "get_output_vectors_arrays"])
def test_replaced_np_whose_array_mutates_the_parser(model_path, write_file, expected, monkeypatch, mode,
                                                    extractor):
    p = FEMAPParser(model_path)
    other = write_file("")

    def array(values, dtype=None):
        if mode == "clear":
            for lst in p.blocks.values():
                lst.clear()
        elif mode == "none":
            p.blocks = None
        elif mode == "reinit":
            p.__init__(other)
        elif mode == "materialise":
            materialize(p)
        else:
            gc.collect()
        return numpy.array(values, dtype=dtype)

    monkeypatch.setattr(fp, "np", type("Np", (), {"array": staticmethod(array), "int32": numpy.int32,
                                                   "float64": numpy.float64})())
    assert same(ENTRIES[extractor](p), expected[extractor])


@pytest.mark.parametrize("extractor", ["get_nodes_arrays", "get_elements_arrays", "get_output_vectors_arrays"])
def test_replaced_np_sees_the_collector_on(model_path, expected, monkeypatch, extractor):
    seen = []

    def array(values, dtype=None):
        seen.append(gc.isenabled())
        return numpy.array(values, dtype=dtype)

    monkeypatch.setattr(fp, "np", type("Np", (), {"array": staticmethod(array), "int32": numpy.int32,
                                                   "float64": numpy.float64})())
    assert same(ENTRIES[extractor](FEMAPParser(model_path)), expected[extractor])
    assert seen and all(seen)


class Finalizer:
    """Cyclic garbage whose __del__ runs `action` when the collector frees it."""

    def __init__(self, action):
        self.action, self.cycle = action, self

    def __del__(self):
        self.action()


@pytest.fixture
def eager_gc():
    threshold = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    yield
    gc.enable()
    gc.set_threshold(*threshold)
    gc.callbacks[:] = [c for c in gc.callbacks if not getattr(c, "test_owned", False)]


@pytest.mark.parametrize("extractor", EXTRACTORS)
def test_collector_callbacks_that_materialise_or_reassign_lines_mid_walk_change_nothing(
        model_path, expected, eager_gc, extractor):
    p = FEMAPParser(model_path)
    blocks = [b for lst in p.blocks.values() for b in lst]
    calls = []

    def callback(phase, info):
        if phase == "stop" and len(calls) < 50:
            calls.append(1)
            b = blocks[len(calls) % len(blocks)]
            b.lines = list(b.lines) if len(calls) % 2 else b.lines

    callback.test_owned = True
    gc.callbacks.append(callback)
    assert same(ENTRIES[extractor](p), expected[extractor])
    assert calls


@pytest.mark.parametrize("extractor", EXTRACTORS)
def test_finalizers_that_tear_the_parser_down_mid_walk_never_crash(model_path, eager_gc, extractor):
    p = FEMAPParser(model_path)
    lists = list(p.blocks.values())
    gc.disable()
    actions = [lambda: [lst.clear() for lst in lists], lambda: setattr(p, "blocks", None),
               lambda: [setattr(b, "lines", None) for lst in lists for b in lst],
               lambda: [b.lines.clear() for lst in lists for b in lst if b.lines]]
    for k in range(40):
        Finalizer(actions[k % len(actions)])
    gc.enable()
    got = outcome(lambda: ENTRIES[extractor](p))
    assert not isinstance(got, Exception) or isinstance(got, (TypeError, IndexError, AttributeError)), got


def test_deeply_nested_blocks_are_freed_without_exhausting_the_stack():
    block = FEMAPBlock(1, [])
    for _ in range(200_000):
        block = FEMAPBlock(1, [block])
    del block


@pytest.mark.parametrize("how", ["utf-8-sig", "unseekable", "utf-16"])
def test_lines_read_by_readlines_give_the_byte_scan_results(model_path, expected, how):
    if how == "utf-16":
        text = pathlib.Path(model_path).read_text(encoding="utf-8")
        pathlib.Path(model_path).write_text(text, encoding="utf-16")
    p = with_open(how, lambda: FEMAPParser(model_path))
    for name in EXTRACTORS:
        assert same(ENTRIES[name](p), expected[name]), name
    assert_flat(lambda: with_open(how, lambda: FEMAPParser(model_path)), 200, rounds=5)


class Raw:
    """A readlines() item whose rstrip() changes the list that holds it."""

    def __init__(self, lines, action):
        self.lines, self.action = lines, action

    def rstrip(self, chars=None):
        self.action(self.lines)
        return "   -1"

    def strip(self):
        return "403"


class Lines(list):
    pass


@pytest.mark.parametrize("action", [list.clear, lambda l: l.__delitem__(slice(0, 3)),
                                    lambda l: l.extend(["   -1", "   450"]), lambda l: l.reverse()],
                         ids=["clear", "delete", "extend", "reverse"])
def test_readlines_items_that_change_their_list_never_crash(write_file, action):
    class File:
        encoding = None

        def readlines(self):
            lines = Lines(neutral_text(MODEL).splitlines(True))
            for k in range(0, 60, 5):
                lines.insert(k, Raw(lines, action))
            return lines

        def close(self):
            pass

    got = with_open_function(lambda path, mode="r": File(), lambda: outcome(lambda: FEMAPParser(write_file(""))))
    assert isinstance(got, (FEMAPParser, TypeError)), got
    if isinstance(got, FEMAPParser):
        for name in EXTRACTORS:
            outcome(lambda: ENTRIES[name](got))


def with_open_function(fake, call):
    builtins.open = fake
    try:
        return call()
    finally:
        builtins.open = REAL_OPEN


# --- threads ----------------------------------------------------------------------

class Yielding(FEMAPParser):
    """Python code inside every extraction, so that threads switch in the middle."""

    def get_blocks(self, block_id):
        return FEMAPParser.get_blocks(self, block_id)


@pytest.mark.parametrize("subclass", [False, True])
def test_one_parser_used_from_four_threads(model_path, expected, subclass):
    p = (Yielding if subclass else FEMAPParser)(model_path)
    errors = []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)

    def work(k):
        try:
            for rnd in range(15):
                for name in EXTRACTORS:
                    got = ENTRIES[name](p)
                    if not same(got, expected[name]):
                        errors.append((name, got))
                if k == 0 and rnd == 3:
                    materialize(p)
                if PICKLING and k == 1:
                    pickle.loads(pickle.dumps(p))
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []


# --- the file after construction ---------------------------------------------------

@pytest.mark.parametrize("change", ["rewrite", "truncate", "delete"])
def test_results_do_not_change_when_the_file_changes_after_construction(model_path, line_path, expected,
                                                                        change):
    p = FEMAPParser(model_path)
    if line_path == "lists":
        materialize(p)
    if change == "rewrite":
        pathlib.Path(model_path).write_text(neutral_text([(403, ["1,0,0,1,46,0,0,0,0,0,0,7.,7.,7.,0,"])]))
    elif change == "truncate":
        os.truncate(model_path, 10)
    else:
        os.remove(model_path)
    for name in EXTRACTORS:
        assert same(ENTRIES[name](p), expected[name]), name
    materialize(p)
    assert p.blocks[450][0].lines[1] == "Static \u00e9,"


# --- the fast path after a step back in a later block -------------------------------

@pytest.mark.parametrize("extractor, want", [
    ("get_output_sets", {0: {"title": "bad", "value": 0.0}}),
    ("get_elements", [{"id": 0, "prop_id": 0, "topology": 0, "nodes": []}]),
])
def test_step_back_in_a_second_block_reads_that_block(write_file, extractor, want):
    block_id = 450 if extractor == "get_output_sets" else 404
    second = ["2", "second", "0", "bad"] if block_id == 450 else ["1,0,1,0,4", "5", "x", "0,0,0,0,0", "", ""]
    p = FEMAPParser(write_file(neutral_text([(block_id, list("abcde")), (block_id, second)])))
    assert getattr(p, extractor)() == want


# --- inputs the fuzzer failed on ---------------------------------------------------

@functools.lru_cache(maxsize=None)
def _harness():
    return runpy.run_path(str(HERE.parent / "fuzz" / "fuzz_parser.py"))


REGRESSIONS = sorted((HERE / "regressions").glob("*"))


@pytest.mark.parametrize("path", REGRESSIONS, ids=[p.name for p in REGRESSIONS])
def test_fuzz_regressions(path):
    _harness()["one_input"](path.read_bytes())
