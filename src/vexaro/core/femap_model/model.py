"""The model object: what a neutral file holds, read once, as arrays and small records."""
import functools
import os
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from vexaro.core import _femap_model as _native
from vexaro.core.femap_parser import FEMAPParser

from . import export
from ._extras import need
from .codes import AnalysisType, EntityType, OutputType, SourceProgram, Topology, name_of

# Material values by name: their index among the 200 reals of an isotropic material.
MATERIAL_VALUE_INDEX = {"E": 0, "G": 3, "nu": 6, "alpha": 30, "k": 36, "specific_heat": 42,
                        "density": 49, "damping": 50, "ref_temp": 51}


def _frozen(array):
    array.flags.writeable = False
    return array


class _IdIndex:
    """Rows of an id column: ids -> row, the last row for a repeated id."""

    def __init__(self, ids):
        self.ids = _frozen(ids)
        self._order = None

    def __len__(self):
        return len(self.ids)

    def rows(self, ids):
        """Row of each id (int64 array); -1 where an id is absent."""
        ids = np.asarray(ids, dtype=np.int64)
        if not len(self.ids):
            return np.full(ids.shape, -1, np.int64)
        if self._order is None:
            self._order = np.argsort(self.ids, kind="stable")
            self._sorted = self.ids[self._order]
        at = np.searchsorted(self._sorted, ids, side="right") - 1
        found = (at >= 0) & (self._sorted[np.maximum(at, 0)] == ids)
        return np.where(found, self._order[np.maximum(at, 0)], -1)

    def row(self, id_):
        """Row of one id; KeyError when it is absent."""
        r = int(self.rows(np.int64(id_)))
        if r < 0:
            raise KeyError(id_)
        return r


class Nodes(_IdIndex):
    """Node ids (int32) and coordinates xyz (float64, n x 3)."""

    def __init__(self, ids, xyz):
        super().__init__(ids)
        self.xyz = _frozen(xyz)


class Elements(_IdIndex):
    """Elements: ids, property ids, topology codes, connectivity in CSR form (the nodes
    of element k are connectivity[offsets[k]:offsets[k + 1]])."""

    def __init__(self, ids, property_ids, topology, connectivity, offsets):
        super().__init__(ids)
        self.property_ids = _frozen(property_ids)
        self.topology = _frozen(topology)
        self.connectivity = _frozen(connectivity)
        self.offsets = _frozen(offsets)

    def nodes_of(self, row):
        return self.connectivity[self.offsets[row]:self.offsets[row + 1]]

    def topology_names(self):
        """Name of each element's topology (list of str)."""
        names = {code: name_of(Topology, code) for code in np.unique(self.topology).tolist()}
        return [names[code] for code in self.topology.tolist()]

    def count_by_topology(self):
        """{topology name: number of elements}, in code order."""
        codes, counts = np.unique(self.topology, return_counts=True)
        return {name_of(Topology, c): n for c, n in zip(codes.tolist(), counts.tolist())}


@dataclass(frozen=True)
class Header:
    title: str
    version: float | None  # None when the version text is not a number
    version_text: str      # as written, e.g. "11.4,"


@dataclass(frozen=True)
class Property:
    id: int
    title: str
    material_id: int
    type: int
    color: int
    layer: int
    coord_sys: int
    laminate: np.ndarray = field(repr=False)  # laminate values (float64)
    values: np.ndarray = field(repr=False)    # property values (float64)


@dataclass(frozen=True)
class Material:
    id: int
    title: str
    type: int
    subtype: int
    color: int
    layer: int
    groups: list = field(repr=False)  # the count groups as float64 arrays: flags, integers, reals, functions...

    @property
    def values(self):
        """The reals (third count group), or an empty array."""
        return self.groups[2] if len(self.groups) > 2 else np.empty(0)

    @property
    def named(self):
        """{name: value} of the reals whose place is known (E, G, nu, density, ...)."""
        v = self.values
        return {name: float(v[k]) for name, k in MATERIAL_VALUE_INDEX.items() if k < len(v)}


@dataclass(frozen=True)
class OutputSet:
    id: int
    title: str
    value: float  # time or frequency; 0. for static
    source_program: int
    analysis_type: int
    notes: list

    @property
    def analysis_name(self):
        return name_of(AnalysisType, self.analysis_type)

    @property
    def program_name(self):
        return name_of(SourceProgram, self.source_program)


class VectorInfo(NamedTuple):
    set_id: int
    vec_id: int
    title: str
    output_type: int
    output_name: str
    ent_type: int
    ent_name: str
    components: tuple  # ids of the component vectors (non-zero)
    count: int         # number of values
    min: float         # as the header says (NaN when it does not)
    max: float
    abs_max: float


class VectorTable:
    """Every output vector of the file (blocks 1051, then 451) in file order, as columns,
    with all their (id, value) pairs. Duplicate (set, vector) pairs are kept as rows."""

    def __init__(self, raw):
        (self.set_id, self.vec_id, self.title, self.output_type, self.ent_type, self.components, extremes,
         self.offsets, id_chunks, value_chunks) = raw
        for name in ("set_id", "vec_id", "output_type", "ent_type", "components", "offsets"):
            _frozen(getattr(self, name))
        self.min, self.max, self.abs_max = (_frozen(c) for c in extremes.T)
        self.count = _frozen(np.diff(self.offsets))
        # The pairs come in chunks (one per part of a block read on a thread of its own);
        # a vector's pairs lie in one chunk.
        self._id_chunks = [_frozen(c) for c in id_chunks]
        self._value_chunks = [_frozen(c) for c in value_chunks]
        self._chunk_starts = np.cumsum([0] + [len(c) for c in id_chunks])
        self._first_rows = None

    @functools.cached_property
    def ids(self):
        """Entity ids of all pairs (int32), in file order: offsets[k]:offsets[k + 1] are row k's."""
        return _frozen(np.concatenate(self._id_chunks))

    @functools.cached_property
    def values(self):
        """Values of all pairs (float64), in file order."""
        return _frozen(np.concatenate(self._value_chunks))

    @property
    def _rows(self):
        """{(set_id, vec_id): first row}, made on first use."""
        if self._first_rows is None:
            rows = {}
            for row, key in enumerate(zip(self.set_id.tolist(), self.vec_id.tolist())):
                rows.setdefault(key, row)
            self._first_rows = rows
        return self._first_rows

    def __len__(self):
        return len(self.set_id)

    def __getitem__(self, row):
        ent, out = int(self.ent_type[row]), int(self.output_type[row])
        comps = tuple(c for c in self.components[row].tolist() if c)
        return VectorInfo(int(self.set_id[row]), int(self.vec_id[row]), self.title[row], out,
                          name_of(OutputType, out), ent, name_of(EntityType, ent), comps,
                          int(self.count[row]), float(self.min[row]), float(self.max[row]),
                          float(self.abs_max[row]))

    def __iter__(self):
        return (self[row] for row in range(len(self)))

    def row(self, set_id, vec_id):
        """Row of the first vector (set_id, vec_id); KeyError when there is none."""
        try:
            return self._rows[(set_id, vec_id)]
        except KeyError:
            raise KeyError(f"no output vector {vec_id} in output set {set_id}") from None

    def arrays(self, row):
        """(ids, values) of one row: read-only views of the shared arrays."""
        a, b = int(self.offsets[row]), int(self.offsets[row + 1])
        k = min(int(np.searchsorted(self._chunk_starts, a, side="right")) - 1, len(self._id_chunks) - 1)
        s = int(self._chunk_starts[k])
        return self._id_chunks[k][a - s:b - s], self._value_chunks[k][a - s:b - s]

    def to_dataframe(self):
        """The table as a pandas DataFrame (needs the `pandas` extra)."""
        pd = need("pandas", "pandas", "VectorTable.to_dataframe")
        return pd.DataFrame(list(self), columns=VectorInfo._fields)


class Model:
    """What a neutral file holds: header, nodes, elements, properties, materials,
    output sets and output vectors. Pickles; holds no reference to the file."""

    def __init__(self, path, parser, threads=None):
        self.path = path
        raw = parser.get_header()
        self.header = None if raw is None else Header(raw["title"], _version(raw["version"]), raw["version"])
        self.blocks = _native.read_block_sizes(parser)
        nodes, elements, vectors = _native.read_arrays(parser, threads)
        self.nodes = Nodes(*nodes)
        self.elements = Elements(*elements)
        self.properties = {k: Property(k, *v) for k, v in _native.read_properties(parser).items()}
        self.materials = {k: Material(k, *v) for k, v in _native.read_materials(parser).items()}
        self.output_sets = {k: OutputSet(k, *v) for k, v in _native.read_output_sets(parser).items()}
        self.vectors = VectorTable(vectors)

    def vector(self, set_id, vec_id):
        """(ids int32, values float64) of vector vec_id of output set set_id: the pairs
        in file order, as get_output_vectors_arrays gives them."""
        return self.vectors.arrays(self.vectors.row(set_id, vec_id))

    def vectors_of(self, set_id):
        """{vec_id: (ids, values)} of every vector of one output set."""
        rows = [r for (s, v), r in self.vectors._rows.items() if s == set_id]
        return {int(self.vectors.vec_id[r]): self.vectors.arrays(r) for r in sorted(rows)}

    def results(self, set_id, title):
        """(ids, values) of the first vector of output set set_id titled `title`."""
        for row in np.flatnonzero(self.vectors.set_id == set_id).tolist():
            if self.vectors.title[row] == title:
                return self.vectors.arrays(row)
        raise KeyError(f"no output vector titled {title!r} in output set {set_id}")

    def to_frame(self, set_id=None, entity="node"):
        """The vectors of one entity type ("node": nodal, "element": elemental) of one output
        set (every set when None) as a pandas DataFrame: index (set, node or element id),
        sorted; one float64 column per vector title, NaN where a vector has no value.

        Nothing is dropped: in one set, the k-th vector with a title already used is the
        column 'title (k)'; an id that a vector repeats takes as many rows as its most
        repeated count in that set (its k-th value in a vector on its k-th row).
        KeyError for an output set that neither the sets nor the vectors name."""
        return export.to_frame(self, set_id, entity)

    def output_sets_frame(self):
        """The output sets as a pandas DataFrame indexed by set id."""
        return export.output_sets_frame(self)

    def vectors_frame(self):
        """The vector table as a pandas DataFrame (VectorTable.to_dataframe)."""
        return self.vectors.to_dataframe()

    def to_meshio(self, set_id=None):
        """The mesh and results of one output set (every set when None) as a meshio.Mesh
        (needs the `mesh` extra).

        Points are the nodes in file order; cells are the elements grouped by type, in VTK
        node order. Nodal vectors become point data and elemental ones cell data (NaN
        where a vector has no value), named by title, with ' [set N]' added when several
        sets are exported and ' (k)' for repeated names; also point data 'node_id' and cell
        data 'element_id', 'property_id'. Elements of a topology without a cell type (rigid,
        multi-list, contact, weld), with a node count other than their topology's or naming
        a missing node are left out with a warning that counts them; so are values of ids
        the model does not hold. A node or element id defined twice: values go to its
        last definition. An id a vector repeats: its last value is kept (warned)."""
        return export.to_meshio(self, set_id)

    def __repr__(self):
        return (f"<Model {os.path.basename(self.path)!r}: {len(self.nodes)} nodes, {len(self.elements)} "
                f"elements, {len(self.output_sets)} output sets, {len(self.vectors)} vectors>")


def _version(text):
    try:
        return float(text.rstrip(","))
    except (AttributeError, ValueError):
        return None


def open_model(path, *, threads=None):
    """Reads a neutral file (str or os.PathLike) into a Model. Large result blocks are
    read on up to `threads` threads (None: one per processor this process may use, at
    most 8; 1: this one). The result is the same for any number."""
    return Model(os.fspath(path), FEMAPParser(path), threads)
