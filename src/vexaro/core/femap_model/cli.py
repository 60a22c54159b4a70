"""femap-neu: what a neutral file holds, without writing code.

    femap-neu info FILE [--json]
    femap-neu convert FILE OUT.vtu [--set N]
    femap-neu plot FILE --set N --vector M -o OUT.png [--size WxH]
"""
import argparse
import json
import math
import os
import re
import sys
import textwrap
import warnings

from ._extras import MissingExtra, need
from .export import vector_rows
from .model import open_model

WIDTH = 100


def summary(model):
    """What `info` reports, as plain data (JSON-ready: NaN is None)."""
    def real(x):
        return None if math.isnan(x) else x

    h = model.header
    return {
        "file": model.path,
        "bytes": os.path.getsize(model.path),
        "header": None if h is None else {"title": h.title, "version": h.version, "version_text": h.version_text},
        "blocks": {str(k): {"blocks": n, "lines": lines} for k, (n, lines) in model.blocks.items()},
        "nodes": len(model.nodes),
        "elements": len(model.elements),
        "elements_by_topology": model.elements.count_by_topology(),
        "properties": [{"id": p.id, "title": p.title, "type": p.type, "material_id": p.material_id}
                       for p in model.properties.values()],
        "materials": [{"id": m.id, "title": m.title, "type": m.type, "values": m.named}
                      for m in model.materials.values()],
        "output_sets": [{"id": s.id, "title": s.title, "value": s.value, "analysis_type": s.analysis_type,
                         "analysis": s.analysis_name, "source_program": s.source_program,
                         "program": s.program_name, "notes": s.notes} for s in model.output_sets.values()],
        "vectors": [{"set_id": v.set_id, "vec_id": v.vec_id, "title": v.title, "output_type": v.output_type,
                     "output": v.output_name, "ent_type": v.ent_type, "entity": v.ent_name, "count": v.count,
                     "min": real(v.min), "max": real(v.max)} for v in model.vectors],
    }


def _table(header, rows, widths):
    """Lines of a table indented by 2; the last column takes what is left of WIDTH."""
    last = WIDTH - 2 - sum(w + 2 for w in widths)
    def line(cells):
        *fixed, tail = [str(c) for c in cells]
        tail = tail if len(tail) <= last else tail[:last - 3] + "..."
        return ("  " + "  ".join(c.rjust(w) for c, w in zip(fixed, widths)) + "  " + tail).rstrip()
    return [line(header)] + [line(r) for r in rows]


def _g(x):
    return "-" if x is None else f"{x:.6g}"


def render(s):
    """The summary as text lines, none longer than WIDTH."""
    def field(name, value):
        return textwrap.wrap(" ".join(str(value).split()), WIDTH, initial_indent=f"{name:<13}", subsequent_indent=" " * 13) or [name]

    out = field("file", f"{s['file']} ({s['bytes']:,} bytes)")
    h = s["header"]
    if h is not None:
        out += field("title", h["title"] or "-") + field("version", h["version_text"])
    out += field("blocks", ", ".join(f"{k} x{b['blocks']} ({b['lines']:,} lines)" for k, b in s["blocks"].items()))
    out += field("nodes", f"{s['nodes']:,}")
    by_topology = ", ".join(f"{name} {n:,}" for name, n in s["elements_by_topology"].items())
    out += field("elements", f"{s['elements']:,}" + (f" ({by_topology})" if by_topology else ""))
    out += field("properties", len(s["properties"]))
    if s["properties"]:
        out += _table(("id", "type", "material", "title"),
                      [(p["id"], p["type"], p["material_id"], p["title"]) for p in s["properties"]], (6, 5, 8))
    out += field("materials", len(s["materials"]))
    if s["materials"]:
        out += _table(("id", "type", "E", "nu", "density", "title"),
                      [(m["id"], m["type"], _g(m["values"].get("E")), _g(m["values"].get("nu")),
                        _g(m["values"].get("density")), m["title"]) for m in s["materials"]], (6, 5, 11, 8, 11))
    out += field("output sets", len(s["output_sets"]))
    if s["output_sets"]:
        out += _table(("id", "analysis", "program", "value", "title"),
                      [(o["id"], o["analysis"], o["program"], _g(o["value"]), o["title"]) for o in s["output_sets"]],
                      (6, 18, 12, 11))
    out += field("vectors", f"{len(s['vectors']):,} ({sum(v['count'] for v in s['vectors']):,} values)")
    if s["vectors"]:
        out += _table(("set", "vector", "entity", "output", "count", "min", "max", "title"),
                      [(v["set_id"], v["vec_id"], v["entity"], v["output"], f"{v['count']:,}", _g(v["min"]),
                        _g(v["max"]), v["title"]) for v in s["vectors"]], (5, 6, 9, 12, 8, 11, 11))
    return out


class _Failure(Exception):
    pass


class _Stages:
    """A tqdm bar on stderr over the named stages of work on a file over BIG bytes; nothing
    when the file is smaller or tqdm is not installed."""
    BIG = 100 * 2**20

    def __init__(self, path, names):
        self.names, self.bar, self.started = iter(names), None, False
        if os.path.isfile(path) and os.path.getsize(path) > self.BIG:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=len(names), desc=os.path.basename(path), unit="stage", file=sys.stderr)

    def next(self):
        """Marks the stage under way (if any) done and names the one that starts."""
        if self.bar is not None:
            if self.started:
                self.bar.update()
            self.started = True
            self.bar.set_postfix_str(next(self.names))

    def close(self):
        if self.bar is not None:
            self.bar.update()
            self.bar.close()


def _read(path, stages=None):
    if not os.path.exists(path):
        raise _Failure(f"{path}: no such file")
    if os.path.isdir(path):
        raise _Failure(f"{path}: is a directory, not a neutral file")
    if stages:
        stages.next()
    try:
        model = open_model(path)
    except (OSError, UnicodeError) as e:
        raise _Failure(f"{path}: cannot be read ({e})") from None
    if not model.blocks:
        raise _Failure(f"{path}: not a neutral file (no blocks found)")
    return model


def _size(text):
    match = re.fullmatch(r"(\d+)[xX](\d+)", text)
    if not match or not all(16 <= int(n) <= 20000 for n in match.groups()):
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT in pixels (16 to 20000 each)")
    return int(match[1]), int(match[2])


def _info(args):
    s = summary(_read(args.file))
    try:
        print(json.dumps(s, indent=1) if args.json else "\n".join(render(s)), flush=True)
    except BrokenPipeError:  # the reader went away (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


def _output_set(model, args):
    try:
        vector_rows(model, args.set)
    except KeyError as e:
        raise _Failure(f"{args.file}: {e.args[0]}") from None


def _convert(args):
    meshio = need("meshio", "mesh", "femap-neu convert")
    stages = _Stages(args.file, ["read", "mesh", "write"])
    model = _read(args.file, stages)
    _output_set(model, args)
    stages.next()
    mesh = model.to_meshio(args.set)
    if not mesh.cells:
        raise _Failure(f"{args.file}: no elements to convert")
    stages.next()
    try:
        meshio.write(args.out, mesh)
    except (meshio.ReadError, meshio.WriteError, OSError) as e:  # meshio tells an unknown suffix by ReadError
        raise _Failure(f"{args.out}: cannot be written ({e})") from None
    finally:
        stages.close()
    cells = ", ".join(f"{block.type} {len(block.data):,}" for block in mesh.cells)
    print(f"{args.out}: {len(mesh.points):,} points, {cells}; {len(mesh.point_data)} point and "
          f"{len(mesh.cell_data)} cell arrays")
    return 0


def _plot(args):
    need("matplotlib", "plot", "femap-neu plot")
    from .plot import draw
    stages = _Stages(args.file, ["read", "draw"])
    model = _read(args.file, stages)
    _output_set(model, args)
    stages.next()
    try:
        draw(model, args.set, args.vector, args.output, args.size)
    except KeyError as e:
        raise _Failure(f"{args.file}: {e.args[0]}") from None
    except ValueError as e:
        raise _Failure(f"{args.file}: {e}") from None
    except OSError as e:
        raise _Failure(f"{args.output}: cannot be written ({e})") from None
    finally:
        stages.close()
    print(args.output)
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(prog="femap-neu", description="Reads FEMAP Neutral files.")
    commands = ap.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="summary of what a file holds")
    info.add_argument("file", help="neutral file")
    info.add_argument("--json", action="store_true", help="print the summary as JSON")
    info.set_defaults(run=_info)
    convert = commands.add_parser("convert", help="mesh and results to any meshio format (by suffix: .vtu, ...)")
    convert.add_argument("file", help="neutral file")
    convert.add_argument("out", help="file to write; its suffix chooses the format")
    convert.add_argument("--set", type=int, help="only this output set's vectors (default: every set)")
    convert.set_defaults(run=_convert)
    plot = commands.add_parser("plot", help="picture of the outer faces coloured by one output vector")
    plot.add_argument("file", help="neutral file")
    plot.add_argument("--set", type=int, required=True, help="output set id")
    plot.add_argument("--vector", type=int, required=True, help="output vector id")
    plot.add_argument("-o", "--output", required=True, help="picture to write (.png, or any matplotlib format)")
    plot.add_argument("--size", type=_size, default=(1000, 800), metavar="WxH",
                      help="size in pixels (default 1000x800)")
    plot.set_defaults(run=_plot)
    args = ap.parse_args(argv)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            status = args.run(args)
    except (_Failure, MissingExtra) as e:
        print(f"femap-neu: error: {e}", file=sys.stderr)
        return 2
    finally:
        for w in caught:
            print(f"femap-neu: warning: {w.message}", file=sys.stderr)
    return status
