"""Differential tests: the module against the pure-Python reference reader, on generated
neutral files whose lines mix realistic and hostile numbers, separators and white space.
Every extractor runs on lines read from the file's bytes, on materialised lines, and (for
the arrays) with a replaced `np`, so the fast and the exact paths are both compared."""
import math
import struct
import types

import numpy
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vexaro.core.femap_parser as femap_parser
from conftest import materialize, neutral_text
from reference_reader import ReferenceReader, block_map, int32_of, real_of, scan
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

SETTINGS = dict(deadline=None, derandomize=True, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                      HealthCheck.too_slow,
                                                      HealthCheck.data_too_large])


def weighted(*pairs):
    """Draws from one of the strategies, each about in proportion to its weight."""
    return st.sampled_from([s for weight, s in pairs for _ in range(weight)]).flatmap(lambda s: s)


# --- field texts --------------------------------------------------------------------

BOUNDS = [2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32, 2**63 - 1, 2**63, -2**63, -2**63 - 1,
          10**19, -10**19, 10**20 + 7]
HOSTILE_INTS = ["+0042", "-007", "0", "-0", "+0", "1_000", "1__0", "_1", "1_", "0_0",
                "00000000000000000000012", "١٢", "１２", "𝟙𝟚", "1١", "٢١٤٧٤٨٣٦٤٨", "٣_٤",
                "1.0", "1e3", "12a", "--1", "+-1", "0x10", "9" * 4301, "0" * 4300 + "1"]
HOSTILE_REALS = ["1.", ".5", "-.5", "+1.", "0.", "-0.", "1e308", "1e309", "-1e309", "1e-400", "4.9e-324",
                 "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
                 "1.7976931348623158e308", "1.7976931348623159e308", "0.1000000000000000055511151231257827",
                 "inf", "-Infinity", "INF", "+iNfInItY", "nan", "-nan", "+NaN", "infinit", "nanx", "in f",
                 "1_000.5", "1__0.5", "1_.5", "1._5", "1e1_0", "0x1p3", "1.5D+03", "1D5", "1.5d-2", "-2.d0",
                 "1.5D", "D5", "1.5E3D2", "1dd5", "d", "1.5Dx", "١.٥", "１.５", "1.5D١", "1e", "e5", ".", "-",
                 "1.5e+03", "1E-5", "123456789012345678901234567890", "9" * 400 + ".5e-390"]
TEXTS = ["Steel", "<NULL>", "<null>", "x", "a b", "-1", "0.", "-1.", "0.0", "Load case", "T", "\u00e9t\u00e9"]

small_int = st.integers(-20, 5000).map(str)
int_text = weighted(
    (45, small_int),
    (3, st.integers(-2**31, 2**31 - 1).map(str)),
    (5, st.sampled_from(HOSTILE_INTS)),
    (1, st.sampled_from(BOUNDS).map(str)),
    (1, st.integers(10**9, 10**20).map(lambda v: "0" * (v % 3) + str(v))),
)


@st.composite
def long_decimal(draw):
    """17 to 40 significant digits, a point somewhere, perhaps an exponent."""
    digits = draw(st.text("0123456789", min_size=17, max_size=40))
    cut = draw(st.integers(0, len(digits)))
    exp = draw(st.sampled_from(["", "e-310", "e300", "E-5", "e+22", "e-324", "e308"]))
    return draw(st.sampled_from(["", "-"])) + digits[:cut] + "." + digits[cut:] + exp


@st.composite
def scientific(draw):
    """Scientific notation as writers print it: 0 to 18 decimals, any exponent letter,
    sign and width, glued digits or a broken tail now and then."""
    text = f"{draw(st.floats(-1e30, 1e30)):+.{draw(st.integers(0, 18))}E}"
    text = text.lstrip("+") if draw(st.booleans()) else text
    mantissa, exponent = text.split("E")
    exponent = draw(st.sampled_from(["", "0", "00"])) + exponent.lstrip("+-").lstrip("0") or "0"
    sign = draw(st.sampled_from(["+", "-", ""]))
    letter = draw(st.sampled_from("EeDd"))
    tail = draw(st.sampled_from(["", "", "", "", "x", "E", "D1", ".", "_1"]))
    return mantissa + letter + sign + exponent + tail


real_text = weighted(
    (6, scientific()),
    (12, st.floats(allow_nan=False, allow_infinity=False).map(repr)),
    (6, st.floats(-1e6, 1e6).map(lambda v: f"{v:.6E}")),
    (6, st.integers(-100, 100).map(lambda v: f"{v}.")),
    (4, st.sampled_from(HOSTILE_REALS)),
    (2, long_decimal()),
    (2, st.floats(allow_nan=False, allow_infinity=False).map(lambda v: f"{v:.17g}".replace("e", "D"))),
)
any_text = weighted((4, int_text), (4, real_text), (2, st.sampled_from(TEXTS)))


def mostly(clean, odd, ratio=15):
    return weighted((ratio, clean), (1, odd))


misc_field = mostly(small_int, any_text)
node_slot = weighted((8, st.just("0")), (12, st.integers(1, 5000).map(str)), (1, int_text))

COMMA_SEPS = [",", ",", ",", ",", ", ", " ,", ",,", ",\t", ", ,", ",\xa0", "\u3000,", ",\x1c", " ", "\u2003"]
BLANK_SEPS = [" ", " ", "   ", "\t", " \t ", "\xa0", "\u3000", "\x0c", "\x0b", "\x1f", "\u2028", "\x85", "\u2003"]
LEADS = ["", "", "", "", " ", "   ", "\t", "\xa0", "\u3000", "\x1e"]
TAILS = ["", "", "", "", ",", ",,", " ", ", ", "\t", "\u3000", ", ,", ",\x1c", "\x1f,"]


@st.composite
def line_of(draw, fields):
    """Renders field texts with comma or blank separators, padding and trailing commas."""
    seps = COMMA_SEPS if draw(st.integers(0, 3)) else BLANK_SEPS
    gaps = [draw(st.sampled_from(seps)) for _ in range(max(len(fields) - 1, 0))]
    body = "".join(f + g for f, g in zip(fields, gaps + [""]))
    return draw(st.sampled_from(LEADS)) + body + draw(st.sampled_from(TAILS))


def fields_line(*field_strategies):
    return st.tuples(*field_strategies).flatmap(lambda fields: line_of(list(fields)))


def slots_line(min_size, max_size):
    return st.lists(node_slot, min_size=min_size, max_size=max_size).flatmap(line_of)


hostile_line = weighted(
    (3, st.lists(any_text, max_size=6).flatmap(line_of)),
    (1, st.sampled_from(["", "   ", ",", ", , ,", "<NULL>", "-1", "    -1", "  -1", "-1,0.", "-1,0.0",
                         "-1.,0.", "-1,0", "\u2028", "\x85\xa0", "1\x002", "\ufeff1,2"])),
)
title_line = weighted((3, st.sampled_from(TEXTS)), (1, hostile_line),
                      (1, st.sampled_from(["<NULL>,", " <NULL> x", "  Load, case ,,", "Total, "])))


# --- records of each block ----------------------------------------------------------

node_record = st.tuples(int_text, st.lists(misc_field, min_size=10, max_size=10) | st.lists(misc_field, max_size=12),
                        real_text, real_text, real_text, st.lists(misc_field, max_size=2)).flatmap(
    lambda t: line_of([t[0], *t[1], t[2], t[3], t[4], *t[5]])).map(lambda line: [line])
element_record = st.tuples(
    fields_line(int_text, misc_field, int_text, misc_field, int_text, misc_field) | hostile_line,
    st.lists(slots_line(10, 10), min_size=2, max_size=2) | st.lists(slots_line(0, 12), max_size=2),
    st.lists(hostile_line, min_size=4, max_size=4) | st.lists(hostile_line, max_size=4),
).map(lambda t: [t[0], *t[1], *t[2]])
count_text = weighted((12, st.integers(0, 12).map(str)),
                      (1, st.sampled_from(["-1", "-0", "+3", "1_2", "3.", "\u0663", str(2**31), str(2**63),
                                           str(2**64 + 3), "9" * 30, "2 3", "x"])))


@st.composite
def counted(draw, per_line, content=None):
    """A count line and about the lines it announces, per_line values each."""
    text = draw(count_text)
    lines = [draw(line_of([text]))]
    n = int(text) if text.isdigit() and int(text) < 100 else draw(st.integers(0, 3))
    n = -(-n // per_line) + draw(weighted((8, st.just(0)), (1, st.integers(-1, 1))))
    if content is None:
        content = st.lists(real_text, min_size=1, max_size=per_line).flatmap(line_of)
    lines += draw(st.lists(content,
                           min_size=max(n, 0), max_size=max(n, 0)))
    return lines


property_record = weighted(
    (1, st.tuples(fields_line(int_text, misc_field, int_text, misc_field), title_line,
                  st.lists(hostile_line, max_size=5)).map(lambda t: [t[0], t[1], *t[2]])),
    (1, st.tuples(fields_line(int_text, misc_field, int_text, misc_field, misc_field, misc_field), title_line,
                  fields_line(small_int, small_int, small_int, small_int), counted(8), counted(5),
                  st.lists(counted(4), max_size=2)).map(lambda t: [*t[:3], *t[3], *t[4], *sum(t[5], [])])),
)
material_record = weighted(
    (1, st.tuples(fields_line(int_text, misc_field, misc_field) | hostile_line,
                  st.lists(st.lists(real_text, min_size=1, max_size=5).flatmap(line_of), max_size=3),
                  ).map(lambda t: [t[0], *t[1]])),
    (1, st.tuples(fields_line(int_text, st.just("-601"), misc_field, misc_field), title_line,
                  st.lists(counted(10), max_size=5)).map(lambda t: [t[0], t[1], *sum(t[2], [])])),
)
femap_tail = st.sampled_from([[], ["0,0,1,"], ["0,0,1,", "-1,-1,0.,", "0,0,"], ["1,2"], ["0,0,x"]])
output_set_record = weighted(
    (1, st.tuples(fields_line(int_text, misc_field), title_line, hostile_line,
                  st.lists(real_text, min_size=1, max_size=3).flatmap(line_of),
                  st.lists(hostile_line, max_size=2)).map(lambda t: [*t[:4], *t[4]])),
    (1, st.tuples(fields_line(int_text, misc_field), title_line, fields_line(small_int, small_int),
                  st.lists(real_text, min_size=1, max_size=2).flatmap(line_of),
                  counted(1, weighted((3, title_line), (1, st.just("0,0,1,")))),
                  femap_tail).map(lambda t: [*t[:4], *t[4], *t[5]])),
)


@st.composite
def range_lines(draw):
    """A range line with its continuation lines (sometimes short, reversed or huge)."""
    count = draw(st.integers(1, 8))
    start = draw(weighted((12, st.integers(-5, 1000)), (1, st.sampled_from([-2**31, 2**31 - 1, -2]))))
    end = draw(weighted((12, st.just(start + count - 1)), (2, st.integers(-3, 3).map(lambda d: start + count - 1 + d)),
                        (1, st.sampled_from([2**31 - 1, -2**31, start - 1]))))
    start, end = (str(start), str(end)) if -2**31 <= end < 2**31 else (str(start), str(start))
    values = draw(st.lists(real_text, min_size=count, max_size=count + 2))
    head = draw(st.integers(1, len(values)))
    lines = [draw(line_of([start, end, *values[:head]]))]
    rest = values[head:]
    while rest:
        take = draw(st.integers(1, len(rest)))
        lines.append(draw(line_of(rest[:take])))
        rest = rest[take:]
    return lines


value_line = weighted(
    (6, fields_line(mostly(st.integers(0, 99).map(str), int_text), real_text).map(lambda s: [s])),
    (3, range_lines()),
    (1, hostile_line.map(lambda s: [s])),
)
terminator = st.sampled_from(["-1,0.", "-1,0.", "  -1,0.,", "-1,0.,1.,2.", "-1 0.", "-1,0.0", "-1.,0.", "",
                              "  -1, 0.0", "  -1,   0.0000000000000000D+00,", "-01,-0e5", "-1,0,5,6", "-1,x",
                              "-1,1.", "-1_0,0.", "\uff0d1,0.", "-\u0661,0."])


@st.composite
def vector_record(draw):
    vector_id = weighted((6, st.integers(0, 3).map(str)), (1, int_text))
    lines = [draw(fields_line(vector_id, vector_id)), draw(title_line), draw(hostile_line)]
    lines += draw(st.lists(hostile_line, max_size=2))
    header = draw(st.integers(0, 10))
    if header > 5:  # the FEMAP 10+ form: 5 and 4 integer fields
        lines += [draw(fields_line(small_int, small_int, small_int, int_text, small_int)),
                  draw(fields_line(small_int, small_int, small_int, weighted((6, small_int), (1, int_text))))]
    elif header:
        lines += [draw(fields_line(small_int, small_int, small_int, int_text)),
                  draw(fields_line(small_int, small_int, weighted((6, small_int), (1, int_text))))]
    for group in draw(st.lists(value_line, max_size=6)):
        lines += group
    lines.append(draw(terminator))
    return lines


RECORDS = {100: st.lists(title_line, min_size=0, max_size=3).map(lambda ls: [ls]),
           403: st.lists(node_record, min_size=1, max_size=6),
           404: st.lists(element_record, min_size=1, max_size=4),
           402: st.lists(property_record, min_size=1, max_size=4),
           601: st.lists(material_record, min_size=1, max_size=4),
           450: st.lists(output_set_record, min_size=1, max_size=4),
           1051: st.lists(vector_record(), min_size=1, max_size=3),
           451: st.lists(vector_record(), max_size=3)}


@st.composite
def block_of(draw, block_id):
    lines = []
    for rec in draw(RECORDS[block_id]):
        lines += rec
        if not draw(st.integers(0, 6)):
            lines.append(draw(hostile_line))
    return block_id, [line for line in lines if line != "   -1"]


def neutral_file(repeated_ids=True):
    """Blocks of a neutral file, in any order; with repeated_ids an identifier may come back."""
    ids = st.lists(st.sampled_from(list(RECORDS)), min_size=1, max_size=9, unique=not repeated_ids)
    return ids.flatmap(lambda ids: st.tuples(*[block_of(i) for i in ids])).map(list)


neutral_blocks = neutral_file()


# --- comparison -------------------------------------------------------------------

def canon(obj):
    """A comparable form of a result: exact types, dict order, float bits, NaN by sign."""
    kind = type(obj)
    if kind is float:
        return ("nan", math.copysign(1.0, obj)) if math.isnan(obj) else ("float", struct.pack("<d", obj))
    if kind in (int, str, bool) or obj is None:
        return (kind.__name__, obj)
    if kind in (list, tuple):
        return (kind.__name__, [canon(x) for x in obj])
    if kind is dict:
        return ("dict", [(canon(k), canon(v)) for k, v in obj.items()])
    if kind is numpy.ndarray:
        return ("ndarray", obj.dtype.str, obj.shape, obj.flags.c_contiguous, obj.flags.writeable,
                canon(obj.tolist()))
    raise AssertionError(f"unexpected result type {kind}")


def outcome(call, *args):
    try:
        return canon(call(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is part of the outcome
        return ("raise", type(exc).__name__, str(exc))


DICT_CALLS = [("get_header",), ("get_nodes",), ("get_nodes", True), ("get_elements",), ("get_properties",),
              ("get_materials",), ("get_output_sets",), ("get_output_vectors",)]
ARRAY_CALLS = [("get_nodes_arrays",), ("get_elements_arrays",), ("get_output_vectors_arrays",),
               ("get_output_vectors_arrays", 1), ("get_output_vectors_arrays", -1, 2),
               ("get_output_vectors_arrays", 0, 0)]


def compare(parser, reference, calls, path):
    for name, *args in calls:
        got, expected = outcome(getattr(parser, name), *args), outcome(getattr(reference, name), *args)
        assert got == expected, f"{name}{tuple(args)} differs on the {path} path"


def numpy_wrapper():
    """A stand-in for `np` that is not NumPy itself: the arrays go through Python lists."""
    wrapper = types.ModuleType("np_wrapper")
    wrapper.array = lambda obj, dtype=None: numpy.array(obj, dtype=dtype)
    wrapper.int32, wrapper.float64 = numpy.int32, numpy.float64
    return wrapper


# --- tests ------------------------------------------------------------------------


scan_piece = weighted(
    (6, st.just("   -1")),
    (6, st.sampled_from(["   100", "403", "  0404  ", "+601", "4_50", "1051", "451", "0451", "\u3000451\xa0"])),
    (2, st.sampled_from(["   -1 ", "-1", "  -1", "    -1", "\t-1", "  -1  ", "abc", "10.0", "", "١٢",
                         str(2**31), str(-2**31 - 1), str(2**63), "9" * 30, "\x85", "\u2028", "\x0c", "a\x00b"])),
    (6, hostile_line),
)


@settings(max_examples=500, **SETTINGS)
@given(pieces=st.lists(st.tuples(scan_piece, st.sampled_from(["\n", "\n", "\r\n", "\r"])), max_size=25),
       head=st.sampled_from(["", "", "\ufeff", "junk\n"]), last_newline=st.booleans())
def test_scan_matches_reference(write_file, pieces, head, last_newline):
    text = head + "".join(p + nl for p, nl in pieces)
    path = write_file(text if last_newline else text.rstrip("\r\n"))
    expected = outcome(lambda: block_map(scan(path)))
    got = outcome(lambda: {k: [b.lines for b in v] for k, v in FEMAPParser(path).blocks.items()})
    assert got == expected


def test_undecodable_bytes_scan_as_the_reference(write_file):
    path = write_file(b"\xef\xbb\xbf   -1\n   100\n" + b"x" * 9000 + b"\xff\n\xe9,1\n   -1\n")
    got = {k: [b.lines for b in v] for k, v in FEMAPParser(path).blocks.items()}
    assert got == block_map(scan(path)) == {100: [["x" * 9000 + "\udcff", "\udce9,1"]]}


@pytest.mark.parametrize("repeated_ids", [False, True])
@settings(max_examples=350, **SETTINGS)
@given(data=st.data(), newline=st.sampled_from(["\n", "\n", "\r\n", "\r"]))
def test_extractors_match_reference(write_file, monkeypatch, repeated_ids, data, newline):
    blocks = data.draw(neutral_file(repeated_ids), label="blocks")
    path = write_file(neutral_text(blocks, newline))
    assert outcome(lambda: block_map(scan(path))) == outcome(lambda: block_map(blocks))
    reference = ReferenceReader(blocks)
    parser = FEMAPParser(path)
    compare(parser, reference, DICT_CALLS + ARRAY_CALLS, "bytes")
    compare(materialize(parser), reference, DICT_CALLS + ARRAY_CALLS, "lists")
    with monkeypatch.context() as patch:
        patch.setattr(femap_parser, "np", numpy_wrapper())
        compare(FEMAPParser(path), reference, ARRAY_CALLS, "bytes, replaced np")
        compare(materialize(FEMAPParser(path)), reference, ARRAY_CALLS, "lists, replaced np")


line_break = st.sampled_from(["\r", "\n", "\r\n", "\x0b", "\x1c", "\x85", "\u2028"])


@settings(max_examples=120, **SETTINGS)
@given(blocks=neutral_blocks, breaks=st.lists(st.tuples(st.integers(0, 10**6), line_break), max_size=6))
def test_caller_made_blocks_match_reference(write_file, blocks, breaks):
    """Blocks built by hand may hold line texts no file can give (line breaks inside)."""
    lines = [line for _, body in blocks for line in body] or [""]
    for where, text in breaks:
        k = where % len(lines)
        cut = where % (len(lines[k]) + 1)
        lines[k] = lines[k][:cut] + text + lines[k][cut:]
    it = iter(lines)
    parser = FEMAPParser(write_file(""))
    parser.blocks = {}
    for block_id, body in blocks:
        parser.blocks.setdefault(block_id, []).append(FEMAPBlock(block_id, [next(it) for _ in body]))
    compare(parser, ReferenceReader.from_parser(parser), DICT_CALLS + ARRAY_CALLS, "caller-made")


# Files on which the line walks once went wrong (a later block of an identifier read from the
# lines of the first one after a dropped record).
FOUND_CASES = [
    [(450, ["0", "", "", "."]), (450, ["0", "", "", ".", "5", "T5"])],
    [(450, ["a"] * 8), (450, ["0", "", "", "x", "5", "T5"])],
    [(404, ["1,0,2,0,3", "", ""]), (404, ["8,8,4,3,7", "", "x"])],
]


@pytest.mark.parametrize("blocks", FOUND_CASES)
def test_found_cases_match_reference(parser_of, blocks):
    compare(parser_of(blocks), ReferenceReader(blocks), DICT_CALLS + ARRAY_CALLS, "given")


def long_values(rng, odd_lines, odd_share, size):
    """A value section of about `size` bytes: range lines as FEMAP writes them, `id, value`
    lines and, at entry positions, a share of the given other lines."""
    def real():
        return rng.choice(["%.8g", "%.7E", "%.17g", " %.3f", "%.16E ", "%.1fD+01"]) % rng.uniform(-1e3, 1e3)
    lines, size_now, next_id = [], 0, 1
    while size_now < size:
        if rng.random() < odd_share:
            lines.append(rng.choice(odd_lines))
        elif rng.random() < 0.3:
            lines.append(f"{next_id},{real()},")
            next_id += 1
        else:
            count = rng.randint(1, 40)
            values = [real() for _ in range(count)]
            lines.append(",".join([str(next_id), str(next_id + count - 1), *values[:8]]) + ",")
            lines += [",".join(values[k:k + 10]) + "," for k in range(8, count, 10)]
            next_id += count
        size_now += len(lines[-1]) + 1
    return lines


ODD_ENTRY_LINES = {
    "plain": [],
    "host numbers": ["", "x", " 3, 4.5", "12,11,1.", "4,4,  2.5 ", "1,1,1e400", "١,2.5", "5,5,1_0.5", "7,1.5D+00"],
    "dropping": ["-1.,2.5", "a,b,c", "2147483648,1.", "-1,0.", "9,9,"],
}


@pytest.mark.parametrize("odd", list(ODD_ENTRY_LINES))
def test_long_value_sections_match_reference(write_file, odd):
    """Sections long enough to be read on two threads, with other lines at every place."""
    import random
    rng = random.Random(odd)
    odd_lines = ODD_ENTRY_LINES[odd]
    share = 0.002 if odd == "dropping" else 0.01
    head = ["1,1,", "Total,", "0.,0.,0.,", "2,3,4,7,", "1,0,1,"]
    blocks = [
        (1051, [*head, *long_values(rng, odd_lines or [""], share, 900_000), "-1,0.",
                "1,2,", "Second,", "0.,0.,0.,", "2,3,4,8,", "1,0,1,", *long_values(rng, odd_lines or [""], share, 400_000),
                "-1,0."]),
        (451, ["2,1,", "Pairs,", "0.,0.,0.,", "2,3,4,7,", "1,0,1,",
               *[f"{k},{rng.uniform(-1, 1):.9E}," for k in range(1, 30_000)], "-1,0."]),
    ]
    parser = FEMAPParser(write_file(neutral_text(blocks)))
    calls = [("get_output_vectors",), ("get_output_vectors_arrays",), ("get_output_vectors_arrays", 1, 2),
             ("get_output_vectors_arrays", 2, 1)]
    compare(parser, ReferenceReader(blocks), calls, "bytes")


@pytest.mark.parametrize("odd", ["", "a,b,c", "5,5,1_0.5", "1,1,1e400", "-1,0.", "9,9,", "2147483648,1."])
def test_vectors_after_long_ones_match_reference(write_file, odd):
    """Records of many lines in a row (each next one is scanned while the one before is
    built), some with a line that drops, ends or fails their record, or that only the
    host reads, then the next record at once."""
    def vector(set_id, vec_id, with_odd):
        values = [f"{k},{k / 7:.7g}," for k in range(1, 2200)]
        values[1100:1100] = [odd] if with_odd else []
        return [f"{set_id},{vec_id},", "T", "0.,0.,0.,", "2,3,4,7,", "1,0,1,", *values, "-1,0."]

    blocks = [(block, [line for k in range(1, 5) for line in vector(k, block, k % 2 == 0)]) for block in (1051, 451)]
    parser = FEMAPParser(write_file(neutral_text(blocks)))
    calls = [("get_output_vectors",), ("get_output_vectors_arrays", 3, 451)]
    compare(parser, ReferenceReader(blocks), calls, "bytes")


# --- number conversions -------------------------------------------------------------

NUMBER_ALPHABET = st.sampled_from(list("0123456789+-._eEdDinfatyINFATYx ") +
                                  ["١", "٢", "٫", "１", "𝟙", "\xa0", "\u3000", "\x1c", "\x0c", "\u2028", "\t"])
number_text = weighted((3, st.text(NUMBER_ALPHABET, min_size=1, max_size=12)), (2, int_text),
                       (2, real_text)).filter(str.strip)


def expected_rows(rows):
    """Accepted node rows of (id_text, x_text, y_text, z_text), by int()/float() and the D rule."""
    accepted = []
    for id_text, *coord_texts in rows:
        try:
            accepted.append((int32_of(id_text.strip()), tuple(real_of(t.strip()) for t in coord_texts)))
        except ValueError:
            continue
    return accepted


def node_line(id_text, x, y, z):
    return ",".join([id_text, *["0"] * 10, x, y, z]) + ","


@pytest.mark.parametrize("column", ["id", "coordinates"])
@settings(max_examples=250, **SETTINGS)
@given(texts=st.lists(number_text, min_size=1, max_size=30))
def test_number_fields_convert_like_int_and_float(parser_of, column, texts):
    if column == "id":
        rows = [(t, str(k), "0", "-0.") for k, t in enumerate(texts)]
    else:
        rows = [(str(k), *(texts[(k + j) % len(texts)] for j in range(3))) for k in range(len(texts))]
    parser = parser_of([(403, [node_line(*row) for row in rows])])
    expected = outcome(expected_rows, rows)
    if expected[0] == "raise":
        assert outcome(parser.get_nodes) == outcome(parser.get_nodes_arrays) == expected
        return
    accepted = expected_rows(rows)
    assert outcome(parser.get_nodes) == canon(dict(accepted))
    assert outcome(parser.get_nodes_arrays) == canon((
        numpy.array([a[0] for a in accepted], dtype=numpy.int32),
        numpy.array([a[1] for a in accepted], dtype=numpy.float64).reshape(len(accepted), 3)))


@pytest.mark.parametrize("text, value", [
    ("1.5D+03", 1500.0), ("1D5", 100000.0), ("-2.5d-1", -0.25), ("1d0", 1.0), ("١D2", 100.0),
    ("1.5D", None), ("D5", None), ("1.5E3D2", None), ("1dd5", None), ("1D5D", None), ("inf", math.inf),
])
def test_fortran_exponent_rule(parser_of, text, value):
    nodes = parser_of([(403, [node_line("1", text, "0", "0")])]).get_nodes()
    assert nodes == ({} if value is None else {1: (value, 0.0, 0.0)})
