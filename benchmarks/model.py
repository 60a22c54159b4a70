"""Times vexaro.core.femap_model against the parser's own per-vector calls.

For each file: the floor (reading its bytes), the parser, open_model plus every vector
as arrays, the vector table alone, and (with --loop) the loop of
get_output_vectors_arrays(set, vec) over every vector; then peak memory, each in a
fresh process. Prints a markdown table.

    python3 benchmarks/generate.py benchmarks/data/v400.neu --vectors 400 \\
        --values-per-vector 10000 --nodes 20000 --elements 10000
    python3 benchmarks/model.py --file benchmarks/data/v400.neu --loop
    # text as FEMAP writes it: a real file's result blocks repeated
    python3 benchmarks/model.py --repeat tests/data/real/all_elem_test_giv_eb.neu 1000 \\
        benchmarks/data/giv_x1000.neu --file benchmarks/data/giv_x1000.neu
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time

# NumPy's BLAS threads are not used here; keep them from competing for the cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from vexaro.core import _femap_model  # noqa: E402
from vexaro.core.femap_model import open_model  # noqa: E402
from vexaro.core.femap_parser import FEMAPParser  # noqa: E402


def best(fn, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def floor(path):
    with open(path, "rb") as f:
        f.read()


def model_and_arrays(path):
    model = open_model(path)
    for row in range(len(model.vectors)):
        model.vectors.arrays(row)


def vector_table(path):
    parser = FEMAPParser(path)
    t = time.perf_counter()
    _femap_model.read_vectors(parser)
    return time.perf_counter() - t


def loop(path):
    parser = FEMAPParser(path)
    t = _femap_model.read_vectors(parser, 1)
    pairs = dict.fromkeys(zip(t[0].tolist(), t[1].tolist()))
    for set_id, vec_id in pairs:
        parser.get_output_vectors_arrays(set_id, vec_id)
    return len(pairs)


MEMORY_SCRIPT = """
import sys
from vexaro.core.femap_model import open_model
from vexaro.core.femap_parser import FEMAPParser
if sys.argv[2] == "parser":
    FEMAPParser(sys.argv[1])
    arrays = 0
else:
    m = open_model(sys.argv[1])
    v = m.vectors
    arrays = sum(a.nbytes for a in (m.nodes.ids, m.nodes.xyz, m.elements.ids, m.elements.property_ids,
                 m.elements.topology, m.elements.connectivity, m.elements.offsets, v.set_id, v.vec_id,
                 v.output_type, v.ent_type, v.components, v.min, v.max, v.abs_max, v.offsets, v.count,
                 v.ids, v.values))
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0].split()[1]
print(int(hwm) * 1024, arrays)
"""


def peak(path, what):
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, path, what], capture_output=True, text=True,
                         check=True, env=os.environ).stdout.split()
    return int(out[0]), int(out[1])


def repeat(src, copies, out):
    """Writes `out`: the header block of `src`, then the rest of `src` `copies` times."""
    text = open(src, "rb").read()
    m = re.search(rb"^   -1\r?\n +100\r?\n(?:.*\r?\n)*?   -1\r?\n", text, re.M)
    head, body = (text[:m.end()], text[m.end():]) if m else (b"", text)
    with open(out, "wb") as f:
        f.write(head)
        for _ in range(copies):
            f.write(body)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--file", action="append", default=[])
    ap.add_argument("--repeat", nargs=3, metavar=("SRC", "COPIES", "OUT"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--loop", action="store_true", help="also time the get_output_vectors_arrays loop")
    ap.add_argument("--json")
    args = ap.parse_args()
    if args.repeat:
        repeat(args.repeat[0], int(args.repeat[1]), args.repeat[2])
    rows = []
    for path in args.file:
        mb = os.path.getsize(path) / 1e6
        model = open_model(path)
        r = {"file": os.path.basename(path), "MB": mb, "vectors": len(model.vectors),
             "values": int(model.vectors.count.sum())}
        del model
        r["floor"] = best(lambda: floor(path), args.runs)
        r["parser"] = best(lambda: FEMAPParser(path), args.runs)
        r["model"] = best(lambda: model_and_arrays(path), args.runs)
        r["table"] = min(vector_table(path) for _ in range(args.runs))
        if args.loop:
            t = time.perf_counter()
            unique = loop(path)
            if unique == r["vectors"]:  # else repeated (set, vector) pairs: not the same work
                r["loop"] = time.perf_counter() - t
        parser_peak, _ = peak(path, "parser")
        model_peak, arrays = peak(path, "model")
        r.update(parser_peak=parser_peak, model_peak=model_peak, arrays=arrays)
        rows.append(r)
        print(json.dumps(r), file=sys.stderr)
    print("| file | MB | vectors | values | read bytes | parser | open_model + all vectors (MB/s) | "
          "vector table | loop of get_output_vectors_arrays | speed-up | peak parser | peak model | arrays | "
          "extra / file |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        loop_t = f"{r['loop']:.3f} s" if "loop" in r else "-"
        speedup = f"{r['loop'] / r['model']:.0f}x" if "loop" in r else "-"
        extra = (r["model_peak"] - r["parser_peak"] - r["arrays"]) / (r["MB"] * 1e6)
        print(f"| {r['file']} | {r['MB']:.1f} | {r['vectors']} | {r['values']} | {r['floor']:.3f} s | "
              f"{r['parser']:.3f} s | {r['model']:.3f} s ({r['MB'] / r['model']:.0f}) | {r['table']:.3f} s | "
              f"{loop_t} | {speedup} | {r['parser_peak'] / 1e6:.0f} MB | {r['model_peak'] / 1e6:.0f} MB | "
              f"{r['arrays'] / 1e6:.0f} MB | {extra:.2f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
