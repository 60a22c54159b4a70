"""Results as DataFrames, the mesh through meshio, femap-neu convert and plot."""
import math
import subprocess
import sys

import numpy as np
import pytest

from conftest import REAL_DATA as REAL, neutral_text
from vexaro.core.femap_model import open_model
from vexaro.core.femap_model import cli
from vexaro.core.femap_model.cells import cell_blocks, surface

def ring(n):
    return [(k, (k + 1) % n) for k in range(n)]


def femap_slots(base, top, quadratic):
    """{slot: xyz} of an element as FEMAP fills its slots: base corners from 0, top corners
    or apex from 4 (empty slots are dropped, so a tetra's apex in 3 or 4 reads the same);
    mid-side nodes of a shell in 4-7, of a solid in 8-11 (base edges), 12-15 (base to top)
    and 16-19 (top edges)."""
    at = {**dict(enumerate(base)), **{4 + k: xyz for k, xyz in enumerate(top)}}
    mid = lambda p, q: tuple((np.add(p, q) / 2).tolist())
    if quadratic and not top:
        at.update({4 + k: mid(base[a], base[b]) for k, (a, b) in enumerate(ring(len(base)))})
    elif quadratic:
        at.update({8 + k: mid(base[a], base[b]) for k, (a, b) in enumerate(ring(len(base)))})
        at.update({12 + k: mid(base[k], top[k % len(top)]) for k in range(len(base))})
        at.update({16 + k: mid(top[a], top[b]) for k, (a, b) in enumerate(ring(len(top)) if len(top) > 1 else [])})
    return at


TRI, SQUARE = [(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]
LIFT = lambda corners: [(x, y, 1) for x, y, _ in corners]
# One element of each topology: meshio type, base corners, top corners or apex, quadratic.
SHAPES = {9: ("vertex", [(0, 0, 0)], [], 0), 0: ("line", [(0, 0, 0), (1, 0, 0)], [], 0),
          2: ("triangle", TRI, [], 0), 3: ("triangle6", TRI, [], 1), 4: ("quad", SQUARE, [], 0),
          5: ("quad8", SQUARE, [], 1), 6: ("tetra", TRI, [(0, 0, 1)], 0), 10: ("tetra10", TRI, [(0, 0, 1)], 1),
          7: ("wedge", TRI, LIFT(TRI), 0), 11: ("wedge15", TRI, LIFT(TRI), 1), 8: ("hexahedron", SQUARE, LIFT(SQUARE), 0),
          12: ("hexahedron20", SQUARE, LIFT(SQUARE), 1), 14: ("pyramid", SQUARE, [(0.5, 0.5, 1)], 0),
          19: ("pyramid13", SQUARE, [(0.5, 0.5, 1)], 1)}
# VTK's order: number of corners; of a solid, how many of them form its base.
VTK = {"vertex": (1, 0), "line": (2, 0), "triangle": (3, 0), "triangle6": (3, 0), "quad": (4, 0), "quad8": (4, 0),
       "tetra": (4, 3), "tetra10": (4, 3), "wedge": (6, 3), "wedge15": (6, 3), "hexahedron": (8, 4),
       "hexahedron20": (8, 4), "pyramid": (5, 4), "pyramid13": (5, 4)}


def vtk_edges(corners, base):
    """The edge of each VTK mid-side node: a shell's edges; a solid's base edges, top edges,
    then edges from base to top or apex."""
    if not base:
        return ring(corners)
    top = list(range(base, corners))
    return ring(base) + [(base + a, base + b) for a, b in ring(len(top)) if len(top) > 1] \
        + [(k, top[k % len(top)]) for k in range(base)]


def mesh_blocks(shapes=SHAPES, extra=()):
    """Blocks 403 and 404 of one element per shape, each with nodes of its own, 3 apart in x;
    `extra`: (topology, node count) of elements on the first nodes."""
    nodes, records = [], []
    for eid, (topology, (_, base, top, quadratic)) in enumerate(shapes.items(), 1):
        slots = [0] * 20
        for slot, xyz in femap_slots(base, top, quadratic).items():
            nodes.append(np.add(xyz, (3 * eid, 0, 0)))
            slots[slot] = len(nodes)
        records.append((eid, topology, slots))
    for eid, (topology, n) in enumerate(extra, len(records) + 1):
        records.append((eid, topology, list(range(1, n + 1)) + [0] * (20 - n)))
    return mesh_text(nodes, records)


def mesh_text(nodes, records):
    """Blocks 403 and 404: nodes 1, 2, ... at `nodes`; records (id, topology, 20 slots)."""
    node_lines = [f"{k},0,0,1,46,0,0,0,0,0,0,{x},{y},{z}," for k, (x, y, z) in enumerate(np.array(nodes).tolist(), 1)]
    element_lines = [line for eid, topology, s in records for line in (
        f"{eid},124,1,17,{topology},1,0,0,0,0,0,0,", ",".join(map(str, s[:10])), ",".join(map(str, s[10:])),
        "0.,0.,0.,", "0.,0.,0.,", "0.,0.,0.,", "0," * 16)]
    return [(403, node_lines), (404, element_lines)]


def vector_block(set_id, vec_id, title, ent_type, pairs):
    return (1051, [f"{set_id},{vec_id}", title, "0.,1.,1.", "0,0,0", "0,0,0", f"0,0,1,{ent_type}", "1,0,0",
                   *(f"{i},{v!r}" for i, v in pairs), "-1,0."])


def results_blocks(n_nodes, n_elements, sets=(1, 2)):
    """Two output sets, each with a nodal 'Temperature' (node id * set) and an elemental
    'Stress' (element id + set / 2)."""
    blocks = [(450, [line for s in sets for line in (str(s), f"Load {s}", "0,1", "0.", "0")])]
    for s in sets:
        blocks += [vector_block(s, 1, "Temperature", 7, [(n, n * s) for n in range(1, n_nodes + 1)]),
                   vector_block(s, 2, "Stress", 8, [(e, e + s / 2) for e in range(1, n_elements + 1)])]
    return blocks


@pytest.fixture
def generated(write_file):
    """Path of a file with one element of each shape and results in two sets."""
    n_nodes = sum(len(femap_slots(*shape[1:])) for shape in SHAPES.values())
    return write_file(neutral_text(mesh_blocks() + results_blocks(n_nodes, len(SHAPES))))


def newell(points):
    """Normal of a polygon, its length the polygon's area."""
    return 0.5 * np.cross(points, np.roll(points, -1, axis=0)).sum(axis=0)


def measure(p, corners, base):
    """Of a solid, its base's normal towards its other corners; area of a shell in z = 0
    (positive counter-clockwise), length of a line."""
    if base:
        return newell(p[:base]) @ (p[base:corners].mean(axis=0) - p[:base].mean(axis=0))
    if corners > 2:
        return newell(p[:corners])[2]
    return np.linalg.norm(p[-1] - p[0]) if corners == 2 else 1.0


def test_node_order_by_geometry(generated):
    """Every element, in VTK order: positive length, area or volume (a solid's base, by the
    right-hand rule, faces its top); each mid-side node at the middle of its VTK edge."""
    pytest.importorskip("meshio")
    mesh = open_model(generated).to_meshio()
    assert [c.type for c in mesh.cells] == [SHAPES[t][0] for t in sorted(SHAPES)]
    for cells in mesh.cells:
        corners, base = VTK[cells.type]
        (p,) = mesh.points[cells.data]
        edges = vtk_edges(corners, base) if len(p) > corners else []
        assert measure(p, corners, base) > 0, cells.type
        assert np.allclose(p[corners:], [(p[a] + p[b]) / 2 for a, b in edges] or np.empty((0, 3))), cells.type


@pytest.mark.parametrize("name", ["cp2anti", "f16-aero"])
def test_real_quads_not_twisted(name):
    """A quadrilateral in the wrong order crosses itself: its area falls short of its halves'."""
    pytest.importorskip("meshio")
    mesh = open_model(REAL / f"{name}.neu").to_meshio()
    p = mesh.points[mesh.cells[0].data]
    halves = [np.linalg.norm(np.cross(p[:, b] - p[:, 0], p[:, c] - p[:, 0]), axis=1) / 2 for b, c in ((1, 2), (2, 3))]
    area = np.linalg.norm(0.5 * np.cross(p, np.roll(p, -1, axis=1)).sum(axis=1), axis=1)
    assert mesh.cells[0].type == "quad" and np.allclose(area, halves[0] + halves[1], rtol=1e-3)


CELLS = "line 1, triangle 1, triangle6 1, quad 1, quad8 1, tetra 1, wedge 1, hexahedron 1, vertex 1, tetra10 1, " \
        "wedge15 1, hexahedron20 1, pyramid 1, pyramid13 1"


@pytest.mark.parametrize("args, names, arrays, s", [
    ([], ("Temperature [set 1]", "Stress [set 1]", "Temperature [set 2]", "Stress [set 2]"), (3, 4), 1),
    (["--set", "2"], ("Temperature", "Stress"), (2, 3), 2),
])
def test_vtu_round_trip(generated, tmp_path, capsys, args, names, arrays, s):
    """convert writes what to_meshio gives; meshio reads back the same points, cells and data."""
    meshio = pytest.importorskip("meshio")
    out = tmp_path / "m.vtu"
    assert cli.main(["convert", generated, str(out), *args]) == 0
    assert capsys.readouterr().out == f"{out}: 105 points, {CELLS}; {arrays[0]} point and {arrays[1]} cell arrays\n"
    made, back = open_model(generated).to_meshio(int(args[1]) if args else None), meshio.read(out)
    assert [list(m.point_data) + list(m.cell_data) for m in (made, back)] == \
        [["node_id", *names[::2], "element_id", "property_id", *names[1::2]]] * 2
    assert np.array_equal(back.points, made.points) and len(back.cells) == 14
    assert all(a.type == b.type and np.array_equal(a.data, b.data) for a, b in zip(back.cells, made.cells))
    assert all(np.array_equal(back.point_data[k], a) for k, a in made.point_data.items())
    assert all(np.array_equal(b, a) for k, arrays in made.cell_data.items() for a, b in zip(arrays, back.cell_data[k]))
    assert made.point_data[names[0]][:3].tolist() == [s, 2 * s, 3 * s]  # node k: k * set
    assert [a.tolist() for a in made.cell_data[names[1]][:2]] == [[2 + s / 2], [3 + s / 2]]  # elements 2, 3


@pytest.mark.parametrize("name, set_id, entity, shape, at, value", [
    ("cofe_rt", None, "node", (40, 24), (1, 1, "Total Translation"), 0.5469498),
    ("cofe_rt", 2, "element", (72, 6), (2, 72, "Rod Axial Stress"), 1178.689),
    ("all_elem_test_giv_eb", None, "node", (52, 16), (1, 1023, "T3  translation"), -0.9999976),
    ("all_elem_test_giv_eb", None, "element", (108, 95), (4, 4333, "ROD EndB Axial Force"), -7454.715),
])
def test_real_frames(name, set_id, entity, shape, at, value):
    """One row per (set, id), one column per title; every value of the vectors is in it."""
    pytest.importorskip("pandas")
    m = open_model(REAL / f"{name}.neu")
    frame = m.to_frame(set_id, entity)
    assert frame.shape == shape and frame.index.names == ["set", entity] and frame.index.is_monotonic_increasing
    assert frame.loc[at[:2], at[2]] == value
    v = m.vectors
    chosen = (v.ent_type == {"node": 7, "element": 8}[entity]) & ((v.set_id == set_id) if set_id else True)
    assert frame.notna().to_numpy().sum() == v.count[chosen].sum()


def test_tables_as_frames():
    pytest.importorskip("pandas")
    m = open_model(REAL / "cofe_rt.neu")
    sets = m.output_sets_frame()
    assert sets.index.name == "set" and sets.index.tolist() == [1, 2]
    assert sets.loc[2, ["title", "value", "analysis_type", "analysis", "source_program", "program"]].tolist() == \
        ["NX NASTRAN Case 2", 0.0, 1, "static", 36, "nx_nastran"]
    assert sets.loc[1, "notes"][0].startswith("From: ") and m.vectors_frame().shape == (60, 12)


def test_repeated_titles_and_ids(write_file):
    """A title repeated in a set names a second column 'title (2)'; an id repeated in a
    vector takes a second row; a title already taken is skipped."""
    pd = pytest.importorskip("pandas")
    m = open_model(write_file(neutral_text([
        vector_block(1, 1, "A", 7, [(5, 1.0), (5, 2.0), (3, 7.0)]), vector_block(1, 2, "A", 7, [(3, 9.0)]),
        vector_block(1, 3, "A (2)", 7, [(5, 4.0)]), vector_block(2, 1, "A", 7, [(5, 6.0)]),
        vector_block(1, 4, "E", 8, [(5, 0.5)])])))
    nan = math.nan
    expected = pd.DataFrame([[7.0, 9.0, nan], [1.0, nan, 4.0], [2.0, nan, nan], [6.0, nan, nan]],
                            index=pd.MultiIndex.from_tuples([(1, 3), (1, 5), (1, 5), (2, 5)], names=["set", "node"]),
                            columns=["A", "A (2)", "A (2) (2)"])
    pd.testing.assert_frame_equal(m.to_frame(), expected)
    assert m.to_frame(2).shape == (1, 1) and m.to_frame(1, "element").columns.tolist() == ["E"]


BRACKET = REAL.parents[2] / "examples" / "bracket.neu"


@pytest.mark.parametrize("missing, call, error, message", [
    (None, lambda m: m.to_frame(entity="nodes"), ValueError, "entity must be 'node' or 'element', not 'nodes'"),
    (None, lambda m: m.to_frame(9), KeyError, "'no output set 9'"),
    (None, lambda m: m.to_meshio(9), KeyError, "'no output set 9'"),
    ("pandas", lambda m: m.to_frame(), ImportError, 'Model.to_frame needs pandas: pip install "vexaro-femap-parser[pandas]"'),
    ("pandas", lambda m: m.output_sets_frame(), ImportError,
     'Model.output_sets_frame needs pandas: pip install "vexaro-femap-parser[pandas]"'),
    ("pandas", lambda m: m.vectors_frame(), ImportError,
     'VectorTable.to_dataframe needs pandas: pip install "vexaro-femap-parser[pandas]"'),
    ("meshio", lambda m: m.to_meshio(), ImportError, 'Model.to_meshio needs meshio: pip install "vexaro-femap-parser[mesh]"'),
])
def test_errors(monkeypatch, missing, call, error, message):
    pytest.importorskip("pandas")
    pytest.importorskip("meshio")
    if missing:
        monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(error) as e:
        call(open_model(BRACKET))
    assert str(e.value) == message


def test_left_out_elements(write_file):
    """Elements without a cell type or with a node count not their topology's are counted."""
    pytest.importorskip("meshio")
    path = write_file(neutral_text(mesh_blocks({4: SHAPES[4]}, extra=[(13, 2), (5, 7), (17, 4), (18, 3)])))
    with pytest.warns(UserWarning) as caught:
        mesh = open_model(path).to_meshio()
    assert [str(w.message) for w in caught] == [
        "4 elements left out: 1 quad8 (not 8 nodes), 1 rigid (no cell type), 1 weld (no cell type), "
        "1 topology 18 (no cell type)"]
    assert [(c.type, len(c.data)) for c in mesh.cells] == [("quad", 1)]


BOX = [(x, y, z) for z in (0, 1) for y in (0, 1) for x in (0, 1, 2)]  # nodes 1-6 at z = 0, 7-12 at z = 1
LEFT, RIGHT = [1, 2, 5, 4, 7, 8, 11, 10], [2, 3, 6, 5, 8, 9, 12, 11]


@pytest.mark.parametrize("records, faces, lines", [
    ([(1, 8, LEFT)], 6, 0),
    ([(1, 8, LEFT), (2, 8, RIGHT)], 10, 0),
    ([(1, 8, LEFT), (2, 8, RIGHT), (3, 4, [2, 5, 11, 8]), (4, 0, [1, 3])], 11, 1),  # a shell inside is drawn
])
def test_outer_faces(write_file, records, faces, lines):
    m = open_model(write_file(neutral_text(mesh_text(BOX, [(e, t, s + [0] * (20 - len(s))) for e, t, s in records]))))
    surf = surface(cell_blocks(m)[0])
    assert (len(surf.faces), len(surf.lines)) == (faces, lines)


@pytest.mark.parametrize("vector, size", [(1, (320, 240)), (2, (200, 300))])
def test_plot_png(generated, tmp_path, capsys, vector, size):
    """A picture of the asked size (nodal vector 1, elemental vector 2), in many colours."""
    image = pytest.importorskip("matplotlib.image")
    out = tmp_path / "p.png"
    assert cli.main(["plot", generated, "--set", "1", "--vector", str(vector), "-o", str(out),
                     "--size", "{}x{}".format(*size)]) == 0
    assert capsys.readouterr().out == f"{out}\n"
    pixels = image.imread(out)
    assert pixels.shape == (size[1], size[0], 4) and len(np.unique(pixels.reshape(-1, 4), axis=0)) > 100


PLOT = ["--set", "1", "--vector", "1", "-o", "{tmp}/p.png"]


@pytest.mark.parametrize("argv, missing, message", [
    (["convert", "{gen}", "{tmp}/m.vtu"], "meshio", 'femap-neu convert needs meshio: pip install "vexaro-femap-parser[mesh]"'),
    (["plot", "{gen}", *PLOT], "matplotlib", 'femap-neu plot needs matplotlib: pip install "vexaro-femap-parser[plot]"'),
    (["plot", "{tmp}/none.neu", *PLOT], None, "{tmp}/none.neu: no such file"),
    (["plot", "{gen}", "--set", "9", *PLOT[2:]], None, "{gen}: no output set 9"),
    (["plot", "{gen}", *PLOT[:2], "--vector", "9", *PLOT[4:]], None, "{gen}: no output vector 9 in output set 1"),
    (["plot", "{cofe}", *PLOT], None, "{cofe}: no elements to draw"),
    (["convert", "{cofe}", "{tmp}/m.vtu"], None, "{cofe}: no elements to convert"),
    (["convert", "{gen}", "{tmp}/m.xyz"], None,
     "{tmp}/m.xyz: cannot be written (Could not deduce file format from path '{tmp}/m.xyz'.)"),
])
def test_command_errors(generated, tmp_path, capsys, monkeypatch, argv, missing, message):
    pytest.importorskip("meshio")
    pytest.importorskip("matplotlib")
    if missing:
        monkeypatch.setitem(sys.modules, missing, None)
    names = {"gen": generated, "tmp": tmp_path, "cofe": REAL / "cofe_rt.neu"}
    assert cli.main([a.format(**names) for a in argv]) == 2
    assert capsys.readouterr().err.splitlines()[0] == f"femap-neu: error: {message.format(**names)}"


@pytest.mark.parametrize("tqdm", [True, False])
def test_progress_bar(generated, tmp_path, capsys, monkeypatch, tqdm):
    """Over the size limit a bar counts the stages on stderr; without tqdm there is none."""
    pytest.importorskip("meshio")
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(cli._Stages, "BIG", 0)
    assert cli.main(["convert", generated, str(tmp_path / "m.vtu")]) == 0
    err = capsys.readouterr().err
    assert (" 1/3 [" in err and "| 3/3 [" in err and err.rstrip().endswith(", write]")) if tqdm else err == ""


def test_core_import_needs_no_extra():
    code = "import sys, vexaro.core.femap_model.cli; print([m for m in ('pandas', 'meshio', 'matplotlib', 'tqdm') " \
           "if m in sys.modules])"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"
