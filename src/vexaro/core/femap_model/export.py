"""Results as pandas DataFrames and the mesh as a meshio.Mesh (optional libraries)."""
import dataclasses
import warnings

import numpy as np

from ._extras import need
from .cells import cell_blocks, ranges
from .codes import EntityType

ENTITIES = {"node": EntityType.NODAL, "element": EntityType.ELEMENTAL}


def titles(model, rows):
    """Titles of vector table rows, stripped; 'untitled' for a blank one."""
    return [model.vectors.title[r].strip() or "untitled" for r in rows]


def unique_names(keys, titles):
    """A name per title: the title, or 'title (k)' for the k-th one with the same key and
    title (k = 2, 3, ...; a name already taken is skipped)."""
    used, names = set(), []
    for key, title in zip(keys, titles):
        name, k = title, 1
        while (key, name) in used:
            k += 1
            name = f"{title} ({k})"
        used.add((key, name))
        names.append(name)
    return names


def vector_rows(model, set_id=None, ent_type=None):
    """Rows of the vector table (file order) of one output set (all when None) and entity
    type; KeyError for a set that neither the output sets nor any vector names."""
    v = model.vectors
    keep = np.ones(len(v), bool)
    if set_id is not None:
        keep = v.set_id == set_id
        if not keep.any() and set_id not in model.output_sets:
            raise KeyError(f"no output set {set_id}")
    if ent_type is not None:
        keep &= v.ent_type == ent_type
    return np.flatnonzero(keep)


def to_frame(model, set_id=None, entity="node"):
    pd = need("pandas", "pandas", "Model.to_frame")
    if entity not in ENTITIES:
        raise ValueError(f"entity must be 'node' or 'element', not {entity!r}")
    v = model.vectors
    rows = vector_rows(model, set_id, ENTITIES[entity])
    names = unique_names(v.set_id[rows].tolist(), titles(model, rows))
    columns = list(dict.fromkeys(names))
    column = np.repeat(np.array([columns.index(n) for n in names], np.int64), v.count[rows])
    pairs = ranges(v.offsets[rows], v.count[rows])
    sets, ids, values = np.repeat(v.set_id[rows], v.count[rows]), v.ids[pairs], v.values[pairs]
    # An id's k-th value in one vector goes to the k-th row of that (set, id).
    order = np.lexsort((ids, column))
    k = np.arange(len(order))
    first = (np.diff(column[order], prepend=-1) != 0) | (np.diff(ids[order], prepend=-1) != 0)
    repeat = np.empty_like(k)
    repeat[order] = k - np.maximum.accumulate(np.where(first, k, 0))
    keys, at = np.unique(np.stack([sets, ids, repeat], axis=1).astype(np.int64), axis=0, return_inverse=True)
    table = np.full((len(keys), len(columns)), np.nan)
    table[at.ravel(), column] = values
    index = pd.MultiIndex.from_arrays([keys[:, 0], keys[:, 1]], names=["set", entity])
    return pd.DataFrame(table, index=index, columns=columns)


def output_sets_frame(model):
    pd = need("pandas", "pandas", "Model.output_sets_frame")
    records = [(s.id, s.title, s.value, s.analysis_type, s.analysis_name, s.source_program, s.program_name, s.notes)
               for s in model.output_sets.values()]
    return pd.DataFrame(records, columns=["set", "title", "value", "analysis_type", "analysis", "source_program",
                                          "program", "notes"]).set_index("set")


def spread(index, ids, values):
    """values placed at the rows of their ids in `index` (NaN elsewhere): (array, number of
    values whose id is not in the index, number of ids repeated: the last value kept)."""
    out = np.full(len(index), np.nan)
    at = index.rows(ids)
    known = at >= 0
    out[at[known]] = values[known]
    return out, int((~known).sum()), int(known.sum() - len(np.unique(at[known])))


def _teach_dimensions(blocks):
    """meshio 5.3 writes wedge15 and pyramid13 to VTK, but its Mesh refuses them: they are
    missing from its table of cell dimensions."""
    try:
        from meshio._mesh import topological_dimension
    except ImportError:
        return
    for b in blocks:
        topological_dimension.setdefault(b.type.name, b.type.dim)


def to_meshio(model, set_id=None):
    meshio = need("meshio", "mesh", "Model.to_meshio")
    blocks, left_out = cell_blocks(model)
    if left_out:
        warnings.warn(f"{sum(left_out.values())} elements left out: "
                      + ", ".join(f"{n} {what}" for what, n in left_out.items()), stacklevel=3)
    _teach_dimensions(blocks)
    v = model.vectors
    rows = vector_rows(model, set_id)
    rows = rows[np.isin(v.ent_type[rows], list(ENTITIES.values()))]
    several = len(np.unique(v.set_id[rows])) > 1
    named = [f"{t} [set {s}]" if several else t for t, s in zip(titles(model, rows), v.set_id[rows].tolist())]
    reserved = ["node_id", "element_id", "property_id"]
    names = unique_names([None] * (len(reserved) + len(rows)), reserved + named)[len(reserved):]
    el = model.elements
    point_data = {"node_id": model.nodes.ids}
    cell_data = {"element_id": [el.ids[b.elements] for b in blocks],
                 "property_id": [el.property_ids[b.elements] for b in blocks]}
    unknown = repeated = 0
    for name, r in zip(names, rows.tolist()):
        nodal = v.ent_type[r] == EntityType.NODAL
        values, missing, twice = spread(model.nodes if nodal else el, *v.arrays(r))
        unknown, repeated = unknown + missing, repeated + twice
        if nodal:
            point_data[name] = values
        else:
            cell_data[name] = [values[b.elements] for b in blocks]
    notes = [f"{unknown} values name no node or element of the model (left out)"] * bool(unknown) \
        + [f"{repeated} ids repeat within a vector (the last value kept)"] * bool(repeated)
    if notes:
        warnings.warn("; ".join(notes), stacklevel=3)
    return meshio.Mesh(model.nodes.xyz, [(b.type.name, b.nodes) for b in blocks], point_data=point_data,
                       cell_data=cell_data)
