"""Writes a large, realistic neutral file for the benchmarks.

Two profiles of the text:

- femap (the default, used for the recorded figures): shaped like FEMAP 11 output.
  Node lines of 15 fields with '%25.16E' coordinates (a share on a grid, so with trailing
  zeros, and a share with Fortran 'D' exponents); 7-line element records; output sets in
  the FEMAP 11 layout; output vectors with the 5- and 4-field header lines, values as FEMAP
  prints single precision results (`0.5469498`, `-5000.`), range lines in block 1051 and
  `id,value` lines in block 451, where a share of the vectors ends with ZAERO's terminator.
- plain: the layout of earlier recorded figures, kept byte for byte: 16-field node lines,
  padded vector headers in the older form and '%17.6E' or '%25.16E' values, both value
  forms in both blocks.

The file is written in chunks; nothing close to its size is held in memory. The same
arguments and seed give the same bytes.

    python benchmarks/generate.py benchmarks/data/bench.neu --size-mb 30
    python benchmarks/generate.py benchmarks/data/full.neu --nodes 2000000 \\
        --elements 1000000 --vectors 40 --values-per-vector 500000
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

# Counts that --size-mb scales (unless given explicitly); as they are, about 1.4 GB (femap)
# or 1.6 GB (plain).
FULL_MIX = {"nodes": 2_000_000, "elements": 1_000_000, "values_per_vector": 500_000}
DEFAULT_VECTORS = 40
CHUNK = 50_000  # records formatted per write

DELIM = "   -1\n"

# (topology code, number of nodes, weight, FEMAP element type): quad4 and tri3 (linear
# plates), hex8 (linear solid), tet10 and hex20 (parabolic solids).
ELEMENT_KINDS = [(4, 4, 0.45, 17), (2, 3, 0.15, 17), (8, 8, 0.2, 25), (10, 10, 0.1, 26),
                 (12, 20, 0.1, 26)]
ELEMENT_TYPES = np.array([k[3] for k in ELEMENT_KINDS])
PLAIN_ELEMENT_TYPES = np.full(len(ELEMENT_KINDS), 17)


def element_tail(exponent):
    """Records 4 to 7 of an element: orientation, two offsets, releases."""
    zero = f"   0.0000000000000000{exponent}+00,"
    return (zero * 3 + "\n") * 3 + "    0," * 12 + "         0," * 4 + "\n"


PLAIN_ELEMENT_TAIL = element_tail("D")
FEMAP_ELEMENT_TAIL = element_tail("E")
ZERO_SLOTS = "         0," * 10 + "\n"

NODE_HEAD = "%10d,         0,         0,         1,        46," + "    0," * 6 + "%25.16E,%25.16E,%25.16E,"
PLAIN_NODE = NODE_HEAD + "         0,         0,\n"
FEMAP_NODE = NODE_HEAD + "         0,\n"


def fmt_real(values, width=25, digits=16):
    """'%25.16E'-style texts of a sequence of floats."""
    f = f"%{width}.{digits}E"
    return [f % v for v in values]


def femap_reals(values):
    """Reals as FEMAP prints results: single precision, at most 8 significant digits, no
    trailing zeros, a '.' in every number ('0.5469498', '-5000.', '9.9900002E+30')."""
    v = np.asarray(values, dtype=np.float32).astype(np.float64)
    out = ["%.8G" % x for x in v.tolist()]
    for k in np.flatnonzero((v == np.trunc(v)) & (np.abs(v) < 1e8)).tolist():
        out[k] += "."
    return out


class Writer:
    """Buffered text output that counts bytes and lines."""

    def __init__(self, path=None):
        self.f = open(path, "w", encoding="ascii", newline="\n") if path else None
        self.parts = []
        self.pending = 0
        self.bytes = 0
        self.lines = 0

    def write(self, text):
        self.parts.append(text)
        self.pending += len(text)
        if self.pending > (8 << 20):
            self.flush()

    def flush(self):
        if self.parts:
            text = "".join(self.parts)
            if self.f:
                self.f.write(text)
            self.bytes += len(text)
            self.lines += text.count("\n")
            self.parts.clear()
            self.pending = 0

    def block(self, block_id):
        self.write(DELIM + f"{block_id:>6}\n")

    def end_block(self):
        self.write(DELIM)

    def close(self):
        self.flush()
        if self.f:
            self.f.close()


def write_header(w, args):
    w.block(100)
    w.write("Vexaro benchmark model (generated, seed %d)\n" % args.seed)
    w.write("11.4,\n")
    w.end_block()


def write_properties(w, args, rng):
    w.block(402)
    mats = rng.integers(1, args.materials + 1, size=args.properties)
    thick = rng.uniform(0.5, 20.0, size=args.properties)
    for pid in range(1, args.properties + 1):
        w.write(
            f"{pid:>10},{110:>10},{int(mats[pid - 1]):>10},{17:>10},{1:>10},{0:>10},\n"
            f"PSHELL {pid} t={thick[pid - 1]:.3f}mm,\n"
            "         0,         0,         0,         0,\n"
            "         8,\n"
            + "         0," * 8 + "\n"
            "         5,\n"
            + ",".join(fmt_real([thick[pid - 1], 0.0, 0.0, 1.0, 0.8333333333333334], 22, 14)) + ",\n"
        )
    w.end_block()


def write_materials(w, args, rng):
    w.block(601)
    young = rng.uniform(6.0e4, 2.1e5, size=args.materials)
    for mid in range(1, args.materials + 1):
        reals = [young[mid - 1], young[mid - 1] / 2.6, 0.3, 7.85e-9, 1.2e-5, 20.0] + [0.0] * 194
        real_lines = "".join(
            ",".join(fmt_real(reals[k:k + 10], 22, 14)) + ",\n" for k in range(0, 200, 10)
        )
        w.write(
            f"{mid:>4}, -601, 55,   0,   0,   1,  0,\n"
            f"MAT{mid} steel-like,\n"
            "  10,\n" + "   0," * 10 + "\n"
            "   25,\n" + ("   0," * 10 + "\n") * 2 + "   0," * 5 + "\n"
            "   200,\n" + real_lines
            + "   50,\n" + ("   0," * 10 + "\n") * 5
            + "   60,\n" + ("   0," * 10 + "\n") * 6
        )
    w.end_block()


def write_layers(w):
    w.block(413)
    w.write("     1,   124,\nDefault Layer\n")
    w.end_block()


def node_line_texts(fmt, ids, coords, dmask):
    out = []
    for nid, (x, y, z), d in zip(ids, coords, dmask):
        line = fmt % (nid, x, y, z)
        out.append(line.replace("E", "D") if d else line)
    return out


def write_nodes(w, args, rng, profile):
    w.block(403)
    for start in range(0, args.nodes, CHUNK):
        n = min(CHUNK, args.nodes - start)
        w.write("".join(profile.node_texts(rng, range(start + 1, start + n + 1), args)))
    w.end_block()


def element_texts(rng, start, n, n_nodes, n_properties, types=PLAIN_ELEMENT_TYPES, tail=PLAIN_ELEMENT_TAIL):
    """Texts of the 7-line records of elements start + 1 .. start + n."""
    codes = np.array([k[0] for k in ELEMENT_KINDS])
    sizes = np.array([k[1] for k in ELEMENT_KINDS])
    weights = np.array([k[2] for k in ELEMENT_KINDS])
    kind = rng.choice(len(ELEMENT_KINDS), size=n, p=weights / weights.sum())
    props = rng.integers(1, n_properties + 1, size=n).tolist()
    conn = rng.integers(1, max(1, n_nodes) + 1, size=(n, 20)).tolist()
    topo = codes[kind].tolist()
    etype = types[kind].tolist()
    count = sizes[kind].tolist()
    out = []
    for k in range(n):
        slots = conn[k][:count[k]] + [0] * (20 - count[k])
        out.append(
            "%10d,       124,%10d,%10d,%10d,         1,         0,         0,"
            "         0,         0,         0,         0,\n" % (start + k + 1, props[k], etype[k], topo[k])
            + "".join("%10d," % v for v in slots[:10]) + "\n"
            + ("".join("%10d," % v for v in slots[10:]) + "\n" if count[k] > 10 else ZERO_SLOTS)
            + tail
        )
    return out


def write_elements(w, args, rng, profile):
    w.block(404)
    for start in range(0, args.elements, CHUNK):
        n = min(CHUNK, args.elements - start)
        w.write("".join(profile.element_texts(rng, start, n, args.nodes, args.properties)))
    w.end_block()


def vector_plan(args):
    """(block_id, set_id, vec_id, entity type) of every vector, in file order."""
    plan = []
    half = (args.vectors + 1) // 2
    for v in range(args.vectors):
        set_id = v % args.output_sets + 1
        vec_id = 1000 + v // args.output_sets
        plan.append((1051 if v < half else 451, set_id, vec_id, 7 if v % 3 else 8))
    return plan


def write_output_sets(w, args, rng, profile):
    w.block(450)
    freqs = np.sort(rng.uniform(1.0, 500.0, size=args.output_sets))
    for s in range(1, args.output_sets + 1):
        w.write(profile.output_set_text(s, freqs[s - 1]))
    w.end_block()


class ValueFormat:
    """How one vector writes its reals: Nastran-style short or ZAERO-style long."""

    def __init__(self, long, d_exp):
        self.long, self.d_exp = long, d_exp
        self.fmt = "%25.16E" if long else "%17.6E"

    def texts(self, values):
        out = [self.fmt % v for v in values]
        if self.d_exp:
            out = [t.replace("E", "D") for t in out]
        return out


def vector_runs(rng, n_values, use_ranges):
    """(start id, length) of the runs of consecutive entity identifiers of a vector."""
    runs = []
    next_id = 1
    left = n_values
    while left > 0:
        if use_ranges and rng.random() < 0.8:
            length = int(min(left, rng.integers(2, 3000)))
        else:
            length = 1
        runs.append((next_id, length))
        next_id += length + int(rng.integers(1, 6))
        left -= length
    return runs


def write_value_lines(w, runs, texts, id_fmt, singles):
    """The value lines of a vector: `id,value` for runs of one entity when `singles`, else
    range lines (start, end and 8 values, then lines of 10 values)."""
    single = f"{id_fmt},%s,\n"
    first = f"{id_fmt},{id_fmt},%s,\n"
    out = []
    pos = 0
    for start, length in runs:
        chunk = texts[pos:pos + length]
        pos += length
        if length == 1 and singles:
            out.append(single % (start, chunk[0]))
        else:
            out.append(first % (start, start + length - 1, ",".join(chunk[:8])))
            for k in range(8, length, 10):
                out.append(",".join(chunk[k:k + 10]) + ",\n")
        if len(out) > 20_000:
            w.write("".join(out))
            out.clear()
    w.write("".join(out))


def write_vector(w, rng, set_id, vec_id, ent_type, n_values, use_ranges, vfmt, title):
    values = rng.standard_normal(n_values) * 10.0 ** rng.integers(-4, 3, size=n_values)
    vmin, vmax = float(values.min()) if n_values else 0.0, float(values.max()) if n_values else 0.0
    vabs = max(abs(vmin), abs(vmax))
    w.write(
        f"{set_id:>8},{vec_id:>8},{1:>8},\n"
        f"{title:<24}\n"
        f"{vmin:17.6E},{vmax:17.6E},{vabs:17.6E},\n"
        + "".join("%8d," % c for c in (vec_id + 1, vec_id + 2, vec_id + 3, 0, 0, 0, 0, 0, 0, 0)) + "\n"
        + "       0," * 10 + "\n"
        f"{vec_id:>8},{vec_id + 1:>8},{1:>8},{ent_type:>8},\n"
        "       1,       1,       1\n"
    )
    write_value_lines(w, vector_runs(rng, n_values, use_ranges), vfmt.texts(values.tolist()), "%8d", True)
    w.write("      -1,     0.          ,\n")


FEMAP_END = "-1,0.,\n"
ZAERO_END = "-1, 0.0000000000000000D+00\n"
ZERO_SHARE = 0.05  # of the values of a FEMAP-profile vector: exactly zero, written '0.'


def femap_runs(rng, n_values, ranges):
    """(start ids, lengths) of the runs of consecutive entity ids of a vector, as vector_runs
    draws them but in one go: length 1, or (ranges) 2 to 2999 four times in five."""
    lengths = np.ones(n_values, dtype=np.int64)
    if ranges:
        long = rng.random(n_values) < 0.8
        lengths[long] = rng.integers(2, 3000, size=int(long.sum()))
    ends = np.cumsum(lengths)
    used = int(np.searchsorted(ends, n_values)) + 1 if n_values else 0
    lengths = lengths[:used]
    if used:
        lengths[-1] -= ends[used - 1] - n_values
    steps = lengths + rng.integers(1, 6, size=used)
    return np.cumsum(steps) - steps + 1, lengths


def write_femap_vector(w, rng, set_id, vec_id, ent_type, n_values, ranges, end, title, out_type, runs=None):
    """One vector; `runs` (a dict) keeps the entity runs drawn per entity type and layout, so
    that vectors of one entity type list the same entities, as in FEMAP's files."""
    values = (rng.standard_normal(n_values) * 10.0 ** rng.integers(-4, 3, size=n_values)).astype(np.float32)
    values[rng.random(n_values) < ZERO_SHARE] = 0.0
    key = (ent_type, ranges, n_values)
    if runs is None or key not in runs:
        drawn = femap_runs(rng, n_values, ranges)
        if runs is None:
            runs = {}
        runs[key] = drawn
    starts, lengths = runs[key]
    ids = np.repeat(starts - (np.cumsum(lengths) - lengths), lengths) + np.arange(n_values)
    if n_values:
        lo, hi = int(values.argmin()), int(values.argmax())
        extremes = femap_reals([values[lo], values[hi], np.abs(values).max()])
        id_min, id_max = int(ids[lo]), int(ids[hi])
    else:
        extremes, id_min, id_max = femap_reals([0.0] * 3), 0, 0
    w.write(
        f"{set_id},{vec_id},1,\n"
        f"{title}\n"
        + ",".join(extremes) + ",\n"
        + "".join("%d," % c for c in (vec_id + 1, vec_id + 2, vec_id + 3, 0, 0, 0, 0, 0, 0, 0)) + "\n"
        + "0," * 10 + "\n"
        "0,\n"
        f"{id_min},{id_max},{out_type},{ent_type},0,\n"
        "0,1,1,0,\n"
    )
    texts = femap_reals(values)
    if ranges:
        write_value_lines(w, zip(starts.tolist(), lengths.tolist()), texts, "%d", False)
    else:
        ids = ids.tolist()
        for a in range(0, n_values, CHUNK):
            w.write("".join(["%d,%s,\n" % p for p in zip(ids[a:a + CHUNK], texts[a:a + CHUNK])]))
    w.write(end)


TITLES = ["Total Translation", "T1 Translation", "T2 Translation", "T3 Translation",
          "Total Rotation", "Von Mises Stress", "Plate Top X Normal Stress", "Strain Energy"]
# Per entity type (7 nodal, 8 elemental): (title, output type) of FEMAP-profile vectors.
FEMAP_TITLES = {7: [("Total Translation", 1), ("T1 Translation", 1), ("T2 Translation", 1),
                    ("T3 Translation", 1), ("Total Rotation", 1), ("Applied Force", 3)],
                8: [("Plate Top VonMises Stress", 4), ("Plate Top X Normal Stress", 4),
                    ("Solid Von Mises Stress", 4), ("Plate Top Major Strain", 5), ("Strain Energy", 0)]}


def write_vectors(w, args, rng, profile):
    current = None
    runs = {}
    meta = []
    for k, (block_id, set_id, vec_id, ent_type) in enumerate(vector_plan(args)):
        if block_id != current:
            if current is not None:
                w.end_block()
            w.block(block_id)
            current = block_id
        info = profile.write_vector(w, args, rng, k, block_id, set_id, vec_id, ent_type, runs)
        meta.append({"block": block_id, "set_id": set_id, "vec_id": vec_id, **info})
    if current is not None:
        w.end_block()
    return meta


class Plain:
    """16-field node lines, padded vector headers in the older form, '%17.6E' or '%25.16E'
    values, both value forms in both blocks: the layout of earlier figures, byte for byte."""

    name = "plain"
    d_fraction = 0.25
    node_line = PLAIN_NODE

    @staticmethod
    def node_texts(rng, ids, args):
        coords = rng.uniform(-1000.0, 1000.0, size=(len(ids), 3)).tolist()
        dmask = (rng.random(len(ids)) < args.d_fraction).tolist()
        return node_line_texts(PLAIN_NODE, ids, coords, dmask)

    element_texts = staticmethod(element_texts)

    @staticmethod
    def output_set_text(s, freq):
        return (
            f"{s:>8},\n"
            f"Mode {s:>5}   {freq:9.3f} Hz\n"
            "       0,       2\n"
            + ("%25.16E,\n" % freq).replace("E", "D" if s % 2 else "E")
            + f"{s:>8},\n"
            "<NULL>\n"
        )

    @staticmethod
    def write_vector(w, args, rng, k, block_id, set_id, vec_id, ent_type, runs=None):
        use_ranges = rng.random() < args.range_fraction
        vfmt = ValueFormat(long=bool(k % 2), d_exp=bool(k % 2) and rng.random() < args.d_fraction * 2)
        write_vector(w, rng, set_id, vec_id, ent_type, args.values_per_vector, use_ranges, vfmt,
                     TITLES[k % len(TITLES)])
        return {"ranges": use_ranges, "long": vfmt.long, "d_exp": vfmt.d_exp}

    @staticmethod
    def sample_vectors(w, args, rng, m):
        for k in range(4):
            use_ranges = k < 4 * args.range_fraction
            write_vector(w, rng, 1, 1, 7, m, use_ranges, ValueFormat(long=bool(k % 2), d_exp=False), "x")


class Femap:
    """Text shaped like FEMAP 11 output (see the module docstring)."""

    name = "femap"
    d_fraction = 0.10
    node_line = FEMAP_NODE
    ZAERO_EVERY = 4  # every 4th vector of block 451 ends with ZAERO's terminator

    @staticmethod
    def node_texts(rng, ids, args):
        coords = rng.uniform(-1000.0, 1000.0, size=(len(ids), 3))
        grid = rng.random(len(ids)) < args.grid_fraction
        coords[grid] = np.round(coords[grid] * 8.0) / 8.0
        dmask = (rng.random(len(ids)) < args.d_fraction).tolist()
        return node_line_texts(FEMAP_NODE, ids, coords.tolist(), dmask)

    @staticmethod
    def element_texts(rng, start, n, n_nodes, n_properties):
        return element_texts(rng, start, n, n_nodes, n_properties, ELEMENT_TYPES, FEMAP_ELEMENT_TAIL)

    @staticmethod
    def output_set_text(s, freq):
        return (
            f"{s},\n"
            f"Mode {s}, {freq:.3f} Hz\n"
            "36,2,0,0,\n"
            f"{femap_reals([freq])[0]},\n"
            "2,\n"
            f"Eigenvalue {s}\n"
            "<NULL>\n"
            "0,0,1,\n"
            "-1,-1,0.,\n"
            "0,0,\n"
        )

    @classmethod
    def write_vector(cls, w, args, rng, k, block_id, set_id, vec_id, ent_type, runs):
        ranges = block_id == 1051
        zaero = not ranges and k % cls.ZAERO_EVERY == cls.ZAERO_EVERY - 1
        titles = FEMAP_TITLES[ent_type]
        write_femap_vector(w, rng, set_id, vec_id, ent_type, args.values_per_vector, ranges,
                           ZAERO_END if zaero else FEMAP_END, *titles[k % len(titles)], runs)
        return {"ranges": ranges, "zaero_end": zaero}

    @staticmethod
    def sample_vectors(w, args, rng, m):
        for ranges in (True, False):
            write_femap_vector(w, rng, 1, 1, 7, 2 * m, ranges, FEMAP_END, "x", 1)


PROFILES = {p.name: p for p in (Femap, Plain)}


def estimate_bytes(args, rng_seed, profile):
    """Bytes the file would have, from the fixed widths and a small sample of values."""
    node = len(profile.node_line % (1, 1.0, 2.0, 3.0))
    element = len(profile.element_texts(np.random.default_rng(0), 0, 1, 1, 1)[0])
    per_value = sample_value_bytes(args, rng_seed, profile)
    fixed = Writer()
    rng = np.random.default_rng(rng_seed)
    write_header(fixed, args)
    write_properties(fixed, args, rng)
    write_materials(fixed, args, rng)
    write_layers(fixed)
    write_output_sets(fixed, args, rng, profile)
    fixed.close()
    return (fixed.bytes + node * args.nodes + element * args.elements
            + per_value * args.vectors * args.values_per_vector)


def sample_value_bytes(args, seed, profile):
    """Average bytes per output value for the vector options in force."""
    count = Writer()
    m = 20_000
    profile.sample_vectors(count, args, np.random.default_rng(seed), m)
    count.close()
    return count.bytes / (4 * m)


def resolve_counts(args, profile):
    if args.size_mb is None:
        for key, value in FULL_MIX.items():
            if getattr(args, key) is None:
                setattr(args, key, value)
        return
    target = args.size_mb * 1e6
    given = {key: getattr(args, key) for key in FULL_MIX}
    trial = argparse.Namespace(**vars(args))
    for key in FULL_MIX:
        setattr(trial, key, given[key] if given[key] is not None else 0)
    fixed = estimate_bytes(trial, args.seed, profile)
    for key in FULL_MIX:
        setattr(trial, key, FULL_MIX[key] if given[key] is None else 0)
    scalable = estimate_bytes(trial, args.seed, profile)
    scale = max(0.0, target - fixed) / scalable if scalable else 0.0
    for key, value in FULL_MIX.items():
        if given[key] is None:
            setattr(args, key, max(1, int(round(value * scale))))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", help="path of the neutral file to write")
    ap.add_argument("--profile", choices=sorted(PROFILES), default="femap",
                    help="shape of the text (default femap; plain: the layout of earlier figures)")
    ap.add_argument("--size-mb", type=float, help="approximate size; scales the counts not given")
    ap.add_argument("--nodes", type=int)
    ap.add_argument("--elements", type=int)
    ap.add_argument("--vectors", type=int, default=DEFAULT_VECTORS,
                    help="output vectors, the first half in block 1051, the rest in block 451")
    ap.add_argument("--values-per-vector", type=int)
    ap.add_argument("--output-sets", type=int, default=20)
    ap.add_argument("--properties", type=int, default=500)
    ap.add_argument("--materials", type=int, default=50)
    ap.add_argument("--d-fraction", type=float,
                    help="share of node lines written with 'D' exponents (default: femap 0.1, plain 0.25; "
                         "plain: also half the share of long-format vectors written so)")
    ap.add_argument("--grid-fraction", type=float, default=0.3,
                    help="femap: share of nodes on a 1/8 grid (coordinates with trailing zeros)")
    ap.add_argument("--range-fraction", type=float, default=0.5,
                    help="plain: share of vectors written with range lines rather than single value lines")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    profile = PROFILES[args.profile]
    if args.d_fraction is None:
        args.d_fraction = profile.d_fraction
    args.output_sets = max(1, min(args.output_sets, max(1, args.vectors)))
    resolve_counts(args, profile)

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    rng = np.random.default_rng(args.seed)
    t0 = time.perf_counter()
    w = Writer(args.out)
    write_header(w, args)
    write_properties(w, args, rng)
    write_materials(w, args, rng)
    write_layers(w)
    write_nodes(w, args, rng, profile)
    write_elements(w, args, rng, profile)
    write_output_sets(w, args, rng, profile)
    meta = write_vectors(w, args, rng, profile)
    w.close()
    elapsed = time.perf_counter() - t0

    info = {
        "path": os.path.abspath(args.out), "profile": args.profile, "bytes": w.bytes, "lines": w.lines,
        "nodes": args.nodes, "elements": args.elements, "properties": args.properties,
        "materials": args.materials, "output_sets": args.output_sets, "vectors": args.vectors,
        "values_per_vector": args.values_per_vector,
        "values_total": args.vectors * args.values_per_vector, "seed": args.seed,
        "d_fraction": args.d_fraction, "range_fraction": args.range_fraction,
        "vector_list": meta,
    }
    if args.profile == "femap":
        info["grid_fraction"] = args.grid_fraction
    with open(args.out + ".json", "w") as f:
        json.dump(info, f, indent=1)
    if not args.quiet:
        print(f"wrote {args.out} ({args.profile}): {w.bytes / 1e6:.1f} MB, {w.lines:,} lines, "
              f"{args.nodes:,} nodes, {args.elements:,} elements, {args.vectors} vectors x "
              f"{args.values_per_vector:,} values ({args.vectors * args.values_per_vector:,}) in {elapsed:.1f} s "
              f"({w.bytes / 1e6 / max(elapsed, 1e-9):.0f} MB/s)", file=sys.stderr)
    return info


if __name__ == "__main__":
    main()
