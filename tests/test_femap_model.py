"""The companion module vexaro.core.femap_model: the model object, its tables and arrays,
the command line, and path objects as file names."""
import json
import math
import os
import pathlib
import pickle
import subprocess
import sys
from collections import Counter

import numpy as np
import pytest

from conftest import REAL_DATA as REAL, materialize, neutral_text, overriding_parser
from vexaro.core import _femap_model
from vexaro.core.femap_model import AnalysisType, Model, OutputSet, SourceProgram, open_model
from vexaro.core.femap_model.model import VectorTable
from vexaro.core.femap_model.cli import main
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

FILES = ["all_elem_test_giv_eb", "cofe_rt", "cp2anti", "f16-aero", "mode_anti1"]


def real(name):
    return open_model(REAL / f"{name}.neu")


# The model part each file holds: version, nodes, elements by topology, property ids, a node.
@pytest.mark.parametrize("name, version, nodes, topologies, properties, node", [
    ("all_elem_test_giv_eb", 8.2, 0, {}, [], None),
    ("cofe_rt", 11.4, 0, {}, [], None),
    ("cp2anti", 7.0, 1394, {"quad4": 1016}, [1], None),
    ("f16-aero", 7.0, 3378, {"quad4": 1512}, [1], (1001, [8.0, 0.0, -5.0])),
    ("mode_anti1", 7.0, 4064, {"quad4": 1016}, [1], None),
])
def test_real_model(name, version, nodes, topologies, properties, node):
    m = real(name)
    assert m.header.version == version and type(m.header.version) is float
    assert len(m.nodes) == nodes and m.nodes.ids.dtype == np.int32 and m.nodes.xyz.shape == (nodes, 3)
    assert m.elements.count_by_topology() == topologies and list(m.properties) == properties
    assert m.elements.offsets[-1] == len(m.elements.connectivity) and len(m.elements.offsets) == len(m.elements) + 1
    if node:
        assert m.nodes.xyz[m.nodes.row(node[0])].tolist() == node[1]


# The results each file holds: output set ids, materials, vector count, entity types, values.
@pytest.mark.parametrize("name, sets, materials, n_vectors, ent_types, n_values", [
    ("all_elem_test_giv_eb", [1, 2, 3, 4], [], 444, {7: 64, 8: 380}, 3100),
    pytest.param("cofe_rt", [1, 2], [], 60, {7: 48, 8: 12}, 1824),
    pytest.param("cp2anti", [1], [1], 4, {8: 4}, 4 * 1016),
    pytest.param("f16-aero", [], [1], 0, {}, 0),
    pytest.param("mode_anti1", [1], [1], 4, {7: 4}, 4 * 4064),
])
def test_real_results(name, sets, materials, n_vectors, ent_types, n_values):
    m = real(name)
    assert list(m.output_sets) == sets and list(m.materials) == materials
    assert len(m.vectors) == n_vectors and Counter(m.vectors.ent_type.tolist()) == ent_types
    assert m.vectors.count.sum() == n_values == len(m.vectors.values) == len(m.vectors.ids)


@pytest.mark.parametrize("name, set_id, vec_id, row", [
    ("all_elem_test_giv_eb", 1, 10001, ("RSS translation", 1, 7, (10002, 10003, 10004), 13, 0.0, 1.000022)),
    pytest.param("cofe_rt", 1, 1, ("Total Translation", 1, 7, (2, 3, 4), 20, 9.9900002e30, -9.9900002e30)),
    pytest.param("mode_anti1", 1, 1, ("ZAERO Total Translation", 1, 7, (2, 3, 4), 4064, 0.0, 0.0)),
])
def test_real_vector_rows(name, set_id, vec_id, row):
    v = real(name).vectors
    info = v[v.row(set_id, vec_id)]
    assert (info.title, info.output_type, info.ent_type, info.components, info.count, info.min, info.max) == row
    assert info.ent_name == "nodal" and info.output_name == "displacement"


@pytest.mark.parametrize("name, set_id, title, k, pair", [
    ("all_elem_test_giv_eb", 1, "T3  translation", 5, (1023, -0.9999976)),
    pytest.param("cofe_rt", 1, "Total Translation", 0, (1, 0.5469498)),
    pytest.param("mode_anti1", 1, "ZAERO Total Translation", 0, (1, 24.295467748503594)),
])
def test_results_by_title(name, set_id, title, k, pair):
    ids, values = real(name).results(set_id, title)
    assert (int(ids[k]), float(values[k])) == pair


@pytest.mark.parametrize("name, set_id, fields", [
    ("all_elem_test_giv_eb", 2, ("TEST OF ALL ELEMENTS. TRUSS SUPPORTED SHELF. EIGENVALUES", 0.0,
                                 AnalysisType.STATIC, SourceProgram.UNKNOWN, [])),
    ("cofe_rt", 1, ("NX NASTRAN Case 1", 0.0, AnalysisType.STATIC, SourceProgram.NX_NASTRAN,
                    [r"From: S:\aricciar\cofe\NASTRAN_CoFE\unit_testing\initial\rt-001.op2",
                     "Date : Sun Apr 08 20:53:14 2018", "", "NX NASTRAN STATIC ANALYSIS SET",
                     "NASTRAN SPC 1 - NASTRAN 1"])),
    ("mode_anti1", 1, ("Mode     1    0.000 Hz", 0.0, AnalysisType.MODES, SourceProgram.UNKNOWN, [""])),
])
def test_real_output_sets(name, set_id, fields):
    s = real(name).output_sets[set_id]
    assert (s.title, s.value, s.analysis_type, s.source_program, s.notes) == fields
    assert s.analysis_name == fields[2].name.lower()


@pytest.mark.parametrize("name", FILES)
@pytest.mark.parametrize("lists", [False, True])
def test_vectors_equal_array_form(name, lists):
    """Every vector's arrays are what get_output_vectors_arrays gives for its (set, vector)."""
    parser = FEMAPParser(str(REAL / f"{name}.neu"))
    m = Model(name, materialize(parser) if lists else parser)
    for set_id, vec_id in {(s, v) for s, v in zip(m.vectors.set_id.tolist(), m.vectors.vec_id.tolist())}:
        ids, values, _, _, ent = parser.get_output_vectors_arrays(set_id, vec_id)
        got = m.vector(set_id, vec_id)
        assert got[0].dtype == np.int32 and got[1].dtype == np.float64
        assert np.array_equal(got[0], ids) and np.array_equal(got[1], values)
        assert m.vectors.ent_type[m.vectors.row(set_id, vec_id)] == ent


HDR = ["0.,1.,1.", "0,0,0", "0,0,0", "0,0,1,7", "1,0,0"]


# Pairs in delivery order with repeated ids kept; repeated (set, vector) records kept as rows
# (vector() gives the first); a record whose value does not convert leaves nothing behind.
@pytest.mark.parametrize("lines, rows, first", [
    (["1,1", "A", *HDR, "5,1.", "5,2.", "3,4,7.,8.", "-1,0."], 1, ([5, 5, 3, 4], [1.0, 2.0, 7.0, 8.0])),
    (["1,1", "A", *HDR, "2,1.", "-1,0.", "1,1", "B", *HDR, "9,9.", "-1,0."], 2, ([2], [1.0])),
    (["1,1", "A", *HDR, "2,x", "-1,0.", "1,1", "B", *HDR, "9,9.", "-1,0."], 1, ([9], [9.0])),
])
def test_vector_pairs_and_rows(parser_of, lines, rows, first):
    parser = parser_of([(1051, lines)])
    m = Model("t", parser)
    assert len(m.vectors) == rows and len(m.vectors.values) == m.vectors.offsets[-1]
    ids, values = m.vector(1, 1)
    assert (ids.tolist(), values.tolist()) == first
    assert [a.tolist() for a in parser.get_output_vectors_arrays(1, 1)[:2]] == list(first)


def vector_records(k):
    """Records of a vector block in many shapes: id-value and range lines, both
    terminators, a title that reads like a terminator, a value only float() reads."""
    title = ["-1,0.", "T", "Tx"][k % 3]
    value = "1_0.5" if k % 7 == 3 else f"{k}.5"
    end = "-1, 0.0000000000000000D+00" if k % 2 else "-1,0."
    return ["junk", f"1,{k}", title, *HDR, f"{k},{value}", f"{k + 1},{k + 4},1.,2.,", "3.,4.", end]


# Blocks read in parts on other threads give what one thread gives, wherever the parts
# are cut (small parts: many cuts, some inside a record, some parts left to this thread).
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("threads, part_bytes", [(2, 1), (3, 50), (8, 200), (8, 1)])
def test_vectors_in_parts_equal_one_thread(write_file, newline, threads, part_bytes):
    lines = [line for k in range(40) for line in vector_records(k)]
    parser = FEMAPParser(write_file(neutral_text([(1051, lines), (451, lines[::-1]), (451, lines)], newline)))
    one = VectorTable(_femap_model.read_vectors(parser, 1))
    parts = VectorTable(_femap_model.read_vectors(parser, threads, part_bytes))
    assert len(one) == 81 and one.title[:3] == ["-1,0.", "T", "Tx"] and one.values[:3].tolist() == [0.5, 1.0, 2.0]
    for name in ["set_id", "vec_id", "output_type", "ent_type", "components", "min", "offsets", "ids", "values"]:
        assert np.array_equal(getattr(one, name), getattr(parts, name), equal_nan=True)
    assert one.title == parts.title
    for row in range(len(one)):
        assert all(np.array_equal(a, b) for a, b in zip(one.arrays(row), parts.arrays(row)))


def node(k, x="1.5"):
    return f"{k},0,0,1,46,0,0,0,0,0,0,{x},2.5,-3.,0,"


def outcome(call):
    try:
        return [[a.tolist() for a in part] for part in call()], None
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return None, (type(e), str(e))


class Overridden(FEMAPParser):
    def get_nodes_arrays(self):
        return np.arange(2, dtype=np.int32), np.zeros((2, 3))


# Nodes and elements read beside the vector table give what the parser's calls give,
# also where a thread must leave them to the parser (lists, text only float() reads,
# bytes that are not ASCII, an error) and for a parser whose calls are overridden.
@pytest.mark.parametrize("make", [
    *[lambda w, f=f: FEMAPParser(str(REAL / f"{f}.neu")) for f in FILES],
    lambda w: materialize(FEMAPParser(str(REAL / "cofe_rt.neu"))),
    lambda w: Overridden(str(REAL / "cofe_rt.neu")),
    lambda w: FEMAPParser(w(neutral_text([(403, [node(1), node(2)]), (404, []), (403, [node(3)])]))),
    lambda w: FEMAPParser(w(neutral_text([(403, [node(1), node(2, "1_0.5")])]))),
    lambda w: FEMAPParser(w(neutral_text([(403, [node(1), node(2, "\u20031.5")])]))),
    lambda w: FEMAPParser(w(neutral_text([(403, [node(1), node(2**31)])]))),
    lambda w: FEMAPParser(w(neutral_text([(451, ["1,1"])]))),
], ids=[*FILES, "lists", "overridden", "two-blocks", "float-only", "non-ascii", "overflow", "none"])
def test_mesh_beside_the_table_equals_parser_calls(write_file, make):
    parser = make(write_file)
    want = outcome(lambda: (parser.get_nodes_arrays(), parser.get_elements_arrays()))
    for threads in (1, 2):
        assert outcome(lambda: _femap_model.read_arrays(parser, threads)[:2]) == want


@pytest.mark.parametrize("threads, part_bytes, error", [
    (0, None, "threads must be at least 1"), (None, 0, "part_bytes must be at least 1"),
])
def test_vector_thread_arguments(threads, part_bytes, error):
    with pytest.raises(ValueError, match=error):
        _femap_model.read_vectors(FEMAPParser(str(REAL / "cofe_rt.neu")), threads, part_bytes)


BRACKET = pathlib.Path(__file__).resolve().parents[1] / "examples" / "bracket.neu"


def test_model_pickles():
    m = open_model(BRACKET)
    back = pickle.loads(pickle.dumps(m))
    assert repr(back) == repr(m) == "<Model 'bracket.neu': 4 nodes, 1 elements, 1 output sets, 1 vectors>"
    assert [a.tolist() for a in back.vector(1, 1)] == [[1, 2, 3, 4], [0.0, 0.25, 0.5, 0.75]]
    assert back.properties[1].title == "Plate 1" and back.nodes.rows([4, 9, 1]).tolist() == [3, -1, 0]
    assert list(back.vectors_of(1)) == [1] and back.vectors_of(2) == {}
    with pytest.raises(KeyError, match="no output vector 2 in output set 1"):
        back.vector(1, 2)


# Records shorter or odder than the layouts: fallbacks, never an error.
@pytest.mark.parametrize("blocks, check", [
    ([(1051, ["1,2", "T", "1.,-1.", "5,6,7,8", "1,0,0", "3,1.5", "-1,0."])],  # header lines run together
     lambda v: v.vectors[0][3:] == (7, "7", 8, "elemental", (5, 6, 7, 8, 1), 1, 1.0, -1.0, v.nan)),
    ([(451, ["1,2", "T"])],  # no header: entity and output type -1, no values
     lambda v: v.vectors[0][3:] == (-1, "-1", -1, "-1", (), 0, v.nan, v.nan, v.nan)),
    ([(450, ["3", "Set", "x,99999999999", "2.5", "9"])],  # codes that do not convert, notes past the block
     lambda v: v.output_sets[3] == OutputSet(3, "Set", 2.5, 0, 0, [])),
    ([(402, ["7,1,2,3,4", "P", "0,0,0,0", "3", "1.,2.", "1", "4."])],  # laminate count 3 on one line
     lambda v: (v.properties[7].laminate.tolist(), v.properties[7].values.tolist(), v.properties[7].layer)
     == ([1.0, 2.0], [4.0], 4)),
    ([(601, ["5,-601,9,2", "<NULL>", "2", "1,x", "1", "3"])],  # groups cut short, a field that is no number
     lambda v: [g.tolist() for g in v.materials[5].groups] == [[1.0, v.nan], [3.0]] and v.materials[5].named == {}),
])
def test_lenient_records(write_file, blocks, check):
    model = open_model(write_file(neutral_text(blocks)))
    model.nan = NanEq()
    assert check(model)


class NanEq(float):
    """Equal to NaN only (NaN != NaN otherwise)."""

    def __new__(cls):
        return super().__new__(cls, "nan")

    def __eq__(self, other):
        return isinstance(other, float) and math.isnan(other)


def test_material_values_by_name(write_file):
    reals = [f"{k}." for k in range(200)]
    lines = ["2,-601,1,0,0,1,0", "Steel", "0", "0", "200"] + [",".join(reals[k:k + 10]) for k in range(0, 200, 10)]
    m = open_model(write_file(neutral_text([(601, lines)])))
    assert m.materials[2].named == {"E": 0.0, "G": 3.0, "nu": 6.0, "alpha": 30.0, "k": 36.0, "specific_heat": 42.0,
                                    "density": 49.0, "damping": 50.0, "ref_temp": 51.0}


def test_missing_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="needs pandas"):
        open_model(BRACKET).vectors.to_dataframe()


BRACKET_INFO = """\
file         {path} (609 bytes)
title        -
version      11.2,
blocks       100 x1 (2 lines), 402 x1 (7 lines), 403 x1 (4 lines), 404 x1 (7 lines), 450 x1 (6
             lines), 1051 x1 (10 lines)
nodes        4
elements     1 (quad4 1)
properties   1
      id   type  material  title
       1      1         1  Plate 1
materials    0
output sets  1
      id            analysis       program        value  title
       1             unknown       unknown            0  Static load case
vectors      1 (4 values)
    set  vector     entity        output     count          min          max  title
      1       1      nodal        stress         4            0            0  Total Translation
"""


def test_info_text(capsys):
    assert main(["info", str(BRACKET)]) == 0
    assert capsys.readouterr().out == BRACKET_INFO.format(path=BRACKET)
    assert main(["info", "--json", str(BRACKET)]) == 0
    s = json.loads(capsys.readouterr().out)
    assert s["vectors"] == [{"set_id": 1, "vec_id": 1, "title": "Total Translation", "output_type": 4,
                             "output": "stress", "ent_type": 7, "entity": "nodal", "count": 4, "min": 0.0,
                             "max": 0.0}]


@pytest.mark.parametrize("what, message", [
    ("missing", "{path}: no such file"),
    ("directory", "{path}: is a directory, not a neutral file"),
    ("no blocks", "{path}: not a neutral file (no blocks found)"),
])
def test_info_errors(tmp_path, capsys, what, message):
    path = {"missing": tmp_path / "none.neu", "directory": tmp_path}.get(what, tmp_path / "text.neu")
    if what == "no blocks":
        path.write_text("just text\n   -1\n")
    assert main(["info", str(path)]) == 2
    assert capsys.readouterr().err == f"femap-neu: error: {message.format(path=path)}\n"


def test_module_command_line():
    out = subprocess.run([sys.executable, "-m", "vexaro.core.femap_model", "info", "--json", str(BRACKET)],
                         capture_output=True, text=True, check=True).stdout
    assert json.loads(out)["output_sets"][0]["title"] == "Static load case"


@pytest.mark.parametrize("arg, error", [
    (pathlib.Path(BRACKET), None),
    (b"x.neu", "bytes"),
    (type("BytesPath", (os.PathLike,), {"__fspath__": lambda self: b"x.neu"})(), "bytes"),
])
def test_path_objects(arg, error):
    if error:
        with pytest.raises(TypeError, match=fr"^Argument 'filepath' has incorrect type \(expected str, got {error}\)$"):
            FEMAPParser(arg)
        return
    parser = FEMAPParser(arg)
    assert parser.__reduce__()[2][2] == str(BRACKET) and type(parser.__reduce__()[2][2]) is str
    assert list(parser.blocks) == [100, 402, 403, 404, 450, 1051]


NOT_A_BLOCK = "Cannot convert int to vexaro.core.femap_parser.FEMAPBlock"


# The native readers take what an overriding get_blocks gives, with the parser's error texts.
@pytest.mark.parametrize("reader, answer, error", [
    *[(r, a, e) for r in ["read_output_sets", "read_properties", "read_materials"] for a, e in [
        (None, "'NoneType' object is not iterable"), ([1], NOT_A_BLOCK),
        ([FEMAPBlock(450, None)], "object of type 'NoneType' has no len()")]],
    ("read_vectors", None, "unsupported operand type(s) for +: 'NoneType' and 'NoneType'"),
    ("read_vectors", [1], NOT_A_BLOCK),
    ("read_vectors", [FEMAPBlock(1051, None)], "object of type 'NoneType' has no len()"),
    ("read_block_sizes", {1: (1,)}, "Expected list, got tuple"), ("read_block_sizes", {1: [2]}, NOT_A_BLOCK),
])
def test_native_readers_refuse_what_is_no_block(reader, answer, error):
    parser, _ = overriding_parser(answer)
    if reader == "read_block_sizes":
        parser.blocks = answer
    with pytest.raises(TypeError) as err:
        getattr(_femap_model, reader)(parser)
    assert str(err.value) == error
