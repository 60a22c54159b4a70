"""A picture of the mesh's outer surface coloured by one output vector (matplotlib, Agg)."""
import os

import numpy as np

from ._extras import need
from .cells import cell_blocks, surface
from .codes import EntityType
from .export import spread

DPI = 100


def primitive_values(model, row, surf):
    """Values of the surface's faces, lines and points for vector table row `row`: a nodal
    vector's mean over a primitive's nodes, an elemental one's element value (NaN where a
    node or the element has none)."""
    v = model.vectors
    ids, values = v.arrays(row)
    if v.ent_type[row] == EntityType.ELEMENTAL:
        per_element = spread(model.elements, ids, values)[0]
        return tuple(per_element[owners] for owners in (surf.face_elements, surf.line_elements, surf.point_elements))
    per_node = spread(model.nodes, ids, values)[0]
    faces = np.where(surf.faces >= 0, per_node[surf.faces], 0.0).sum(axis=1) / (surf.faces >= 0).sum(axis=1)
    return faces, per_node[surf.lines].mean(axis=1), per_node[surf.points]


def draw(model, set_id, vec_id, path, size=(1000, 800)):
    """Writes a PNG (or any format matplotlib knows by suffix) of `size` pixels: the outer
    faces of solids, shells, lines and points coloured by vector vec_id of set set_id.
    KeyError for a vector the model does not hold; ValueError for a model without
    elements to draw."""
    need("matplotlib", "plot", "femap-neu plot")
    from matplotlib import colormaps
    from matplotlib.cm import ScalarMappable
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure
    from mpl_toolkits.mplot3d.art3d import Line3DCollection, Poly3DCollection

    row = model.vectors.row(set_id, vec_id)
    info = model.vectors[row]
    blocks, _ = cell_blocks(model)
    surf = surface(blocks)
    used = np.unique(np.concatenate([surf.faces.ravel(), surf.lines.ravel(), surf.points]))
    used = used[used >= 0]
    if not len(used):
        raise ValueError("no elements to draw")
    xyz = model.nodes.xyz
    face_values, line_values, point_values = primitive_values(model, row, surf)

    fig = Figure(figsize=(size[0] / DPI, size[1] / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    ax = fig.add_axes((0.0, 0.02, 0.82, 0.86), projection="3d")
    shown = np.concatenate([face_values, line_values, point_values])
    shown = shown[np.isfinite(shown)]
    norm = Normalize(*((shown.min(), shown.max()) if len(shown) else (0.0, 1.0)))
    cmap = colormaps["viridis"].with_extremes(bad="lightgrey")
    thin = 0.2 if len(surf.faces) < 20000 else 0.0
    # A triangle is drawn as a quadrilateral whose last corner repeats its third.
    corners = np.where(surf.faces >= 0, surf.faces, surf.faces[:, 2:3])
    if len(face_values):
        faces = Poly3DCollection(xyz[corners], edgecolors="k", linewidths=thin, cmap=cmap, norm=norm)
        faces.set_array(np.ma.masked_invalid(face_values))
        ax.add_collection3d(faces)
    if len(line_values):
        lines = Line3DCollection(xyz[surf.lines], linewidths=1.5, cmap=cmap, norm=norm)
        lines.set_array(np.ma.masked_invalid(line_values))
        ax.add_collection3d(lines)
    if len(surf.points):
        ax.scatter(*xyz[surf.points].T, c=np.ma.masked_invalid(point_values), cmap=cmap, norm=norm, s=8)

    low, high = xyz[used].min(axis=0), xyz[used].max(axis=0)
    span = np.maximum(high - low, 0.02 * (high - low).max() or 1.0)
    middle = (low + high) / 2
    ax.set(xlim=(middle[0] - span[0] / 2, middle[0] + span[0] / 2),
           ylim=(middle[1] - span[1] / 2, middle[1] + span[1] / 2),
           zlim=(middle[2] - span[2] / 2, middle[2] + span[2] / 2))
    for axis in "xyz":
        getattr(ax, f"set_{axis}label")(axis, labelpad=10)
    ax.set_box_aspect(span)
    entity = "nodal, face means" if info.ent_type == EntityType.NODAL else info.ent_name
    title = " ".join(info.title.split())
    fig.colorbar(ScalarMappable(norm, cmap), cax=fig.add_axes((0.86, 0.15, 0.025, 0.6)), label=f"{title} ({entity})")
    output_set = model.output_sets.get(set_id)
    set_title = " ".join(output_set.title.split()) if output_set else ""
    fig.suptitle(f"{os.path.basename(model.path)}\nset {set_id}: {set_title}\nvector {vec_id}: {title}", fontsize=10)
    fig.savefig(path, dpi=DPI)
