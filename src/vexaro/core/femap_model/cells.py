"""Elements as meshio/VTK cells: node order by topology, cell blocks, outer surface.

FEMAP fills an element's 20 node slots as: corners in 0-3 (base) and 4-7 (top, or the apex
in 4); mid-side nodes in 8-11 (base edges), 12-15 (edges from base to top or apex) and
16-19 (top edges); shells hold corners in 0-3 and mid-side nodes in 4-7. The reader drops
empty slots, so an element comes as those nodes in slot order: a wedge15 as 6 corners,
3 base, 3 vertical and 3 top mid-side nodes. VTK (and meshio) puts the top edges before the
vertical ones. Both orient solids alike: the base, by the right-hand rule, faces the top.
"""
from typing import NamedTuple

import numpy as np

from .codes import Topology

TET_FACES = ((0, 1, 3), (1, 2, 3), (2, 0, 3), (0, 2, 1))
WEDGE_FACES = ((0, 2, 1), (3, 4, 5), (0, 1, 4, 3), (1, 2, 5, 4), (2, 0, 3, 5))
HEX_FACES = ((0, 4, 7, 3), (1, 2, 6, 5), (0, 1, 5, 4), (3, 7, 6, 2), (0, 3, 2, 1), (4, 5, 6, 7))
PYRAMID_FACES = ((0, 3, 2, 1), (0, 1, 4), (1, 2, 4), (2, 3, 4), (3, 0, 4))


class CellType(NamedTuple):
    name: str     # meshio cell type
    order: tuple  # VTK node k is the element's node order[k] (its filled slots in slot order)
    dim: int      # 0 vertex, 1 line, 2 shell, 3 solid
    faces: tuple  # outward faces of a solid by VTK corner index; a shell's or line's corners


def _cell(name, n, dim, faces, order=None):
    return CellType(name, tuple(range(n)) if order is None else order, dim, faces)


CELL_TYPES = {
    Topology.POINT: _cell("vertex", 1, 0, ((0,),)),
    Topology.LINE2: _cell("line", 2, 1, ((0, 1),)),
    Topology.TRI3: _cell("triangle", 3, 2, ((0, 1, 2),)),
    Topology.TRI6: _cell("triangle6", 6, 2, ((0, 1, 2),)),
    Topology.QUAD4: _cell("quad", 4, 2, ((0, 1, 2, 3),)),
    Topology.QUAD8: _cell("quad8", 8, 2, ((0, 1, 2, 3),)),
    Topology.TETRA4: _cell("tetra", 4, 3, TET_FACES),
    Topology.TETRA10: _cell("tetra10", 10, 3, TET_FACES),
    Topology.WEDGE6: _cell("wedge", 6, 3, WEDGE_FACES),
    Topology.WEDGE15: _cell("wedge15", 15, 3, WEDGE_FACES, (*range(9), 12, 13, 14, 9, 10, 11)),
    Topology.BRICK8: _cell("hexahedron", 8, 3, HEX_FACES),
    Topology.BRICK20: _cell("hexahedron20", 20, 3, HEX_FACES, (*range(12), *range(16, 20), *range(12, 16))),
    Topology.PYRAMID5: _cell("pyramid", 5, 3, PYRAMID_FACES),
    Topology.PYRAMID13: _cell("pyramid13", 13, 3, PYRAMID_FACES),
}


class CellBlock(NamedTuple):
    type: CellType
    elements: np.ndarray  # element rows (int64), in file order
    nodes: np.ndarray     # node rows in VTK order (int64, elements x nodes)


def ranges(starts, counts):
    """Concatenation of range(s, s + c) over the pairs (int64)."""
    counts = np.asarray(counts, np.int64)
    ends = np.cumsum(counts)
    return np.repeat(np.asarray(starts, np.int64) - ends + counts, counts) + np.arange(ends[-1] if len(ends) else 0)


def cell_blocks(model):
    """([CellBlock] in topology code order, {"what (why)": count} of the elements left out:
    those of a topology without a cell type, with a node count other than the topology's,
    or naming a node the model does not hold)."""
    el = model.elements
    counts = np.diff(el.offsets)
    blocks, left_out = [], {}
    for code in np.unique(el.topology).tolist():
        rows = np.flatnonzero(el.topology == code)
        cell = CELL_TYPES.get(code)
        if cell is None:
            try:
                name = Topology(code).name.lower()
            except ValueError:
                name = f"topology {code}"
            left_out[f"{name} (no cell type)"] = len(rows)
            continue
        n = len(cell.order)
        fits = counts[rows] == n
        if not fits.all():
            left_out[f"{cell.name} (not {n} nodes)"] = int((~fits).sum())
            rows = rows[fits]
        ids = el.connectivity[el.offsets[rows][:, None] + np.asarray(cell.order)]
        nodes = model.nodes.rows(ids)
        known = (nodes >= 0).all(axis=1)
        if not known.all():
            left_out[f"{cell.name} (a node not in the model)"] = int((~known).sum())
            rows, nodes = rows[known], nodes[known]
        if len(rows):
            blocks.append(CellBlock(cell, rows, nodes))
    return blocks, left_out


class Surface(NamedTuple):
    """What a picture of the mesh shows: node rows of each primitive (-1 pads a triangle
    among quadrilaterals) and the element row it belongs to."""
    faces: np.ndarray     # (m, 3 or 4): outer faces of solids, then shells
    face_elements: np.ndarray
    lines: np.ndarray     # (k, 2)
    line_elements: np.ndarray
    points: np.ndarray    # (p,)
    point_elements: np.ndarray


def _padded(block):
    """Faces (or lines, points) of every element of a block, as rows of node rows; faces of
    shells and solids padded with -1 to 4 nodes."""
    faces = block.type.faces
    width = 4 if block.type.dim >= 2 else len(faces[0])
    local = np.array([f + (-1,) * (width - len(f)) for f in faces])
    out = np.where(local >= 0, block.nodes[:, np.maximum(local, 0)], -1)
    return out.reshape(-1, width), np.repeat(block.elements, len(faces))


def surface(blocks):
    """The outer surface: faces of solids that no second element shares, every shell,
    line and point."""
    parts = {dim: [_padded(b) for b in blocks if b.type.dim == dim] for dim in range(4)}
    faces, owners = _joined(parts[3], 4)
    if len(faces):
        _, first, seen = np.unique(np.sort(faces, axis=1), axis=0, return_index=True, return_counts=True)
        outer = np.sort(first[seen == 1])
        faces, owners = faces[outer], owners[outer]
    shells, shell_owners = _joined(parts[2], 4)
    lines, line_owners = _joined(parts[1], 2)
    points, point_owners = _joined(parts[0], 1)
    return Surface(np.concatenate([faces, shells]), np.concatenate([owners, shell_owners]),
                   lines, line_owners, points[:, 0], point_owners)


def _joined(parts, width):
    if not parts:
        return np.empty((0, width), np.int64), np.empty(0, np.int64)
    return tuple(np.concatenate(column) for column in zip(*parts))
