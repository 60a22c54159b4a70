"""Times the exports on a structured model: to_frame, to_meshio, the VTU write and the picture.

The model is a block of bricks (--bricks NX NY NZ) and a plate of quadrilaterals (--quads NX NY)
with a nodal and an elemental vector; goal: femap-neu plot in a few seconds for 100,000
elements of either kind.

    PYTHONPATH=build/dev/stage python3 benchmarks/exports.py --bricks 50 50 40 --quads 400 250
    PYTHONPATH=build/dev/stage python3 benchmarks/exports.py --file F --set 1 --vector 1
"""
import argparse
import os
import tempfile
import time

import numpy as np

from vexaro.core.femap_model import open_model
from vexaro.core.femap_model.plot import draw


def grid(shape):
    """Node coordinates of a structured grid of `shape` points (x fastest), and the node ids
    (1-based) of its cells' corners in FEMAP order."""
    axes = [np.arange(n, dtype=float) for n in shape]
    xyz = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, len(shape), order="F")
    ids = np.arange(1, xyz.shape[0] + 1).reshape(shape, order="F")
    steps = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)][:2 ** len(shape)]
    corners = [ids[tuple(slice(s, s + n - 1) for s, n in zip(step, shape))].ravel(order="F") for step in steps]
    return np.pad(xyz, ((0, 0), (0, 3 - len(shape)))), np.stack(corners, axis=1)


def write_model(path, bricks, quads):
    xyz_b, hexes = grid(bricks)
    xyz_q, plate = grid(quads)
    xyz_q[:, 2] = -2.0
    plate += len(xyz_b)
    xyz = np.concatenate([xyz_b, xyz_q])
    records = [(8, c) for c in hexes] + [(4, c) for c in plate]
    with open(path, "w") as f:
        f.write("   -1\n   403\n")
        f.writelines(f"{k},0,0,1,46,0,0,0,0,0,0,{x},{y},{z},\n" for k, (x, y, z) in enumerate(xyz.tolist(), 1))
        f.write("   -1\n   -1\n   404\n")
        for eid, (topology, corners) in enumerate(records, 1):
            slots = list(corners) + [0] * (20 - len(corners))
            f.write(f"{eid},124,1,17,{topology},1,0,0,0,0,0,0,\n{','.join(map(str, slots[:10]))}\n"
                    f"{','.join(map(str, slots[10:]))}\n0.,0.,0.,\n0.,0.,0.,\n0.,0.,0.,\n{'0,' * 16}\n")
        f.write("   -1\n   -1\n   450\n1\nBenchmark load\n0,1\n0.\n0\n   -1\n")
        for vec, ent, values in ((1, 7, np.hypot(*xyz[:, :2].T)), (2, 8, np.arange(len(records), dtype=float))):
            f.write(f"   -1\n  1051\n1,{vec}\nvector {vec}\n0.,1.,1.\n0,0,0\n0,0,0\n0,0,1,{ent}\n1,0,0\n")
            f.writelines(f"{k},{v}\n" for k, v in enumerate(values.tolist(), 1))
            f.write("-1,0.\n   -1\n")


def timed(label, fn):
    t = time.perf_counter()
    out = fn()
    print(f"| {label} | {time.perf_counter() - t:.2f} s |")
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bricks", type=int, nargs=3, default=(50, 50, 40), metavar="N")
    ap.add_argument("--quads", type=int, nargs=2, default=(400, 250), metavar="N")
    ap.add_argument("--file", help="time this file instead of a generated one")
    ap.add_argument("--set", type=int, default=1)
    ap.add_argument("--vector", type=int, nargs="*", default=[1, 2])
    ap.add_argument("--pictures", help="directory to keep the pictures in")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = args.file
        if path is None:
            path = os.path.join(tmp, "model.neu")
            write_model(path, [n + 1 for n in args.bricks], [n + 1 for n in args.quads])
        print("| step | time |\n|---|---|")
        model = timed("open_model", lambda: open_model(path))
        timed("to_frame (nodes)", lambda: model.to_frame(args.set))
        mesh = timed("to_meshio", lambda: model.to_meshio(args.set))
        timed("write VTU", lambda: mesh.write(os.path.join(tmp, "model.vtu")))
        for vec in args.vector:
            timed(f"plot vector {vec}", lambda: draw(model, args.set, vec, os.path.join(args.pictures or tmp, f"v{vec}.png")))
        print(f"\n{model!r}")


if __name__ == "__main__":
    main()
