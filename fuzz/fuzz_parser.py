"""Fuzz harness for vexaro.core.femap_parser and the readers of vexaro.core._femap_model.

Fuzz bytes become a neutral file (raw, or generated from a block grammar), caller-made
blocks, a FEMAPParser subclass with a get_blocks override, hostile line objects and a
replaced `np`; every public entry then runs on a fresh parser, on the same parser after
its lines are materialised, and on a pickled copy when pickling exists. Any Python
exception is an acceptable outcome except SystemError; the fresh and materialised
parsers must agree exactly (value or exception type and text).

    python3 fuzz/fuzz_parser.py [libFuzzer flags] [corpus dirs]    # atheris
    python3 fuzz/fuzz_parser.py --random SECONDS [corpus dirs]     # without atheris

`one_input(data)` is the entry point; tests replay tests/regressions/ through it.
"""
import builtins
import gc
import io
import math
import os
import pickle
import random
import sys
import tempfile
import time

import numpy

from vexaro.core import _femap_model
from vexaro.core import femap_parser as fp
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

# ---- Pools -----------------------------------------------------------------------

IDS = ["100", "402", "403", "404", "450", "451", "601", "1051", "413", "-1", "0100", "+7", "1_0",
       "abc", "", "10.0", "2147483647", "2147483648", "-2147483649", "99999999999999999999",
       "\uff14\uff10\uff13", "403 ", "\t451", "1051\x0c"]
HOT_IDS = [100, 402, 403, 404, 450, 451, 601, 1051]
FIELDS = ["0", "1", "-1", "2", "3", "4", "7", "+7", "0100", "1_0", "1__0", "_1", "1_", "2147483647",
          "2147483648", "-2147483648", "-2147483649", "9223372036854775807", "9223372036854775808",
          "-9223372036854775809", "99999999999999999999", "0.", "-0.0", "1.5", "-2.5e3", "1.5D+03",
          "1.5d3", "1.5DD3", "1.5E+03", "1e400", "1e-400", ".5", "5.", ".", "e5", "1.0e", "inf",
          "-Infinity", "nan", "NaN", "+nan", "infinity_", "1_000.5", "0x10", "<NULL>", "abc",
          "\uff11\uff12", "\u0661\u0662", "1\u00a0", "\u00e9", "9.9900002E+30", "-9.9900002E+30",
          "4.9e-324", "1.7976931348623157e308", "1" * 19, "-" + "9" * 25]
SEPS = [",", ",", ",", ", ", " ", "  ", "\t", ",,", " ,", "\x0b", "\x1c", "\u00a0", "\u3000", ", \r"]
WORDS = ["<NULL>", "  <NULL>  ", "Plate 1,", "Total Translation", "title,,,", "\u00c9t\u00e9 ,",
         "  padded  ", "", " ", "-1,0.", "   -1", "-1", "    -1", "   -1 ", "T\u2003x", "  -1, 0.0",
         "-1,   0.0000000000000000D+00,", "0,0,1,", "-1,-1,0.,", "0,0,1,7,0,", "1,1,1,0,", "   0,", "  10,"]
NEWLINES = [b"\n", b"\r\n", b"\r"]


class Stream:
    """Draws choices from the fuzz bytes; returns zeros once they run out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def int(self, n):
        """0 .. n-1"""
        if n <= 256:
            return self.byte() % n
        return (self.byte() << 8 | self.byte()) % n

    def pick(self, seq):
        return seq[self.int(len(seq))]

    def chance(self, k):
        """True with probability about 1/k."""
        return self.int(k) == 0

    def raw(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk

    def left(self):
        return len(self.data) - self.pos


def field(s):
    r = s.int(8)
    if r == 0:
        return str(s.int(70000) - 35000)
    if r == 1:
        return repr((s.int(60000) - 30000) / (1 + s.int(97)))
    if r == 2 and s.chance(16):
        return "9" * (4290 + s.int(30))  # around the int() digit limit
    return s.pick(FIELDS)


def number(s):
    """Mostly a well-formed number, sometimes any field."""
    r = s.int(10)
    if r < 4:
        return str(s.int(3000) - 10)
    if r < 7:
        return repr((s.int(60000) - 30000) / (1 + s.int(97)))
    if r == 7:
        return s.pick(["0.", "0", "1.5D+03", "-0.0", "1e-3", "2", "1,"])
    return field(s)


def int_line(s, n):
    """Mostly integer fields, sometimes any field."""
    sep = s.pick(SEPS[:5])
    return sep.join(str(s.int(600) - 50) if s.int(12) else field(s) for _ in range(n)) + "," * s.int(2)


def fields_line(s, n, first=None, numeric=None):
    sep = s.pick(SEPS)
    if numeric is None:
        numeric = s.int(3) != 0
    parts = [first] if first is not None else []
    parts += [number(s) if numeric else field(s) for _ in range(n - len(parts))]
    line = sep.join(parts)
    if s.chance(4):
        line += "," * s.int(4)
    if s.chance(6):
        line = s.pick([" ", "\t", "  "]) + line
    return line


KINDS = {403: 0, 404: 1, 402: 2, 450: 2, 1051: 3, 451: 3, 601: 4, 100: 5}


def record(s, kind=None):
    """Lines shaped like one record of some block."""
    k = s.int(9) if kind is None else kind
    if k == 0:  # node
        return [fields_line(s, 14 + s.int(3), str(s.int(5000)))]
    if k == 1:  # element: header, two node lists, four lines
        out = [int_line(s, 5 + s.int(12))]
        out += [int_line(s, s.int(12)) for _ in range(2)]
        out += [fields_line(s, s.int(6)) for _ in range(s.int(5))]
        return out
    if k == 2:  # property / output set
        out = [fields_line(s, 1 + s.int(7), str(s.int(50))), s.pick(WORDS)]
        out += [fields_line(s, s.int(5)) for _ in range(s.int(6))]
        return out
    if k == 3:  # output vector record
        out = [fields_line(s, 2 + s.int(3), str(s.int(5))), s.pick(WORDS), fields_line(s, 3)]
        out += [fields_line(s, s.int(10)) for _ in range(s.int(4))]
        out += [fields_line(s, 4, str(s.int(5))), fields_line(s, 3)]
        for _ in range(s.int(8)):
            r = s.int(4)
            if r == 0:
                a = s.int(100)
                out.append(f"{a},{a + s.int(12) - 2}," + ",".join(number(s) for _ in range(s.int(6))))
            elif r == 1:
                out.append(",".join(number(s) for _ in range(s.int(8))))
            else:
                out.append(f"{s.int(100)},{number(s)}")
        out.append(s.pick(["-1,0.", "-1,0.", "-1,0.,", "-1,0", "-1.,0.", " -1 , 0. ", "-1,0.,5"]))
        return out
    if k == 4:  # material
        return [fields_line(s, 1 + s.int(4)), s.pick(WORDS)]
    if k == 5:  # header
        return [s.pick(WORDS), s.pick(WORDS + ["11.2,", " 4.41 "])]
    return [fields_line(s, s.int(18))]


def generated_lines(s):
    """A list of lines, each str or bytes (bytes may be invalid UTF-8)."""
    lines = []
    for _ in range(1 + s.int(8)):
        r = s.int(16)
        if r == 0:
            lines.append(s.raw(s.int(24)))
        elif r == 1:
            lines.append(s.pick(WORDS))
        elif r == 2:
            lines += ["   -1"] * (1 + s.int(3))
        kind = None
        if r < 12:
            bid = s.pick(HOT_IDS)
            ident = str(bid).rjust(6) if s.int(6) else " " * s.int(4) + str(bid) + " " * s.int(3)
            kind = KINDS.get(bid)
        else:
            ident = " " * s.int(6) + s.pick(IDS)
        lines += ["   -1", ident]
        for _ in range(s.int(6)):
            lines += record(s, kind if s.int(5) else None)
            if s.chance(10):
                lines.append(s.raw(s.int(24)) if s.chance(2) else s.pick(WORDS))
        if s.int(5):
            lines.append("   -1")
    return lines


def file_bytes(s, lines):
    mode = s.int(5)
    out = []
    for line in lines:
        out.append(line if isinstance(line, bytes) else line.encode("utf-8", "surrogatepass"))
        out.append(NEWLINES[s.int(3)] if mode == 4 else NEWLINES[min(mode, 2)])
    if s.chance(3) and out:
        out.pop()  # no line end after the last line
    if s.chance(12):
        out.append(s.pick([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe0\x80\x80", b"\x00"]))
    return b"".join(out)


# ---- Hostile objects -------------------------------------------------------------

class Ctx:
    """What hostile callbacks may reach during one input."""
    parser = None
    block = None
    depth = 0
    action = 0
    gc_switched = False  # a callback switched the cyclic collector off or on


class StrSub(str):
    pass


HOSTILE_ACTIONS = 17


class HostileLine:
    """A line object whose strip() runs Python code mid-extraction."""

    def __init__(self, action, text="  t  "):
        self.action = action
        self.text = text

    def strip(self, *args):
        a = self.action
        p, b = Ctx.parser, Ctx.block
        if a == 0 and b is not None and isinstance(b.lines, list):
            b.lines.clear()
        elif a == 1 and b is not None:
            b.lines = None
        elif a == 2 and p is not None:
            p.blocks = None
        elif a == 3 and p is not None and isinstance(p.blocks, dict):
            p.blocks.clear()
        elif a == 4:
            Ctx.block = None
            Ctx.parser = None
            gc.collect()
        elif a == 5 and p is not None and Ctx.depth < 2:
            Ctx.depth += 1
            try:
                run_entries(p, Stream(b"\x01\x02"), quick=True)
            finally:
                Ctx.depth -= 1
        elif a == 6:
            return None
        elif a == 7:
            return 5
        elif a == 8:
            return StrSub(self.text.strip())
        elif a == 9:
            raise ValueError("strip")
        elif a == 10:
            raise IndexError("strip")
        elif a == 11 and b is not None and isinstance(b.lines, list):
            del b.lines[1:]
            b.lines.append(HostileLine(0))
        elif a == 12 and p is not None and has_pickling():
            p.__setstate__(("   -1", {}, None))
        elif a == 13 and b is not None and has_pickling():
            b.__setstate__((1, ["1,2", "x"]))
        elif a == 14 and p is not None:
            p.__init__(_PATH)
        elif a in (15, 16):
            Ctx.gc_switched = True
            gc.disable() if a == 15 else gc.enable()
        return self.text.strip(*args)

    def rstrip(self, *args):
        return self.text.rstrip(*args)


class Finalizer:
    """Runs a hostile action when the cyclic collector frees it."""

    def __init__(self, action):
        self.action = action
        self.cycle = self

    def __del__(self):
        try:
            HostileLine(self.action).strip()
        except Exception:
            pass


class FakeNp:
    """A replacement for the module global `np` whose array() runs Python code."""

    def __init__(self, s):
        self.mode = s.int(6)
        self.int32 = numpy.int32
        self.float64 = numpy.float64

    def array(self, values, dtype=None):
        m = self.mode
        p = Ctx.parser
        if m == 0 and p is not None:
            p.blocks = {}
        elif m == 1 and p is not None and isinstance(p.blocks, dict):
            for lst in p.blocks.values():
                if isinstance(lst, list):
                    lst.clear()
        elif m == 2:
            return values
        elif m == 3:
            return numpy.array(values, dtype=numpy.int64)
        elif m == 4:
            gc.collect()
        return numpy.array(values, dtype=dtype)


def caller_line(s, text, title_spot):
    r = s.int(8 if title_spot else 48)
    if r == 0:
        return None
    if r == 1:
        return s.int(10)
    if r == 2:
        return StrSub(text)
    if r == 3:
        return text.encode()
    if r < 7:
        return HostileLine(s.int(HOSTILE_ACTIONS), text)
    return text


def caller_blocks(s, lines):
    """A block map of caller-made FEMAPBlock records from generated lines."""
    texts = [ln if isinstance(ln, str) else ln.decode("utf-8", "replace") for ln in lines]
    out = {}
    while texts and s.left() > 0 and len(out) < 6:
        cut = s.int(len(texts) + 1)
        chunk, texts = texts[:cut], texts[cut:]
        body = []
        for j, t in enumerate(chunk):
            spot = j < 2 or chunk[j - 1][:1].isdigit()
            body.append(caller_line(s, t, spot) if s.chance(3) else t)
        bid = s.pick(HOT_IDS) if s.int(8) else s.int(3000) - 1500
        block = FEMAPBlock(bid, None if s.chance(24) else body)
        entry = out.setdefault(bid, [])
        if s.chance(16):
            entry.append(s.pick([None, 7, "x", block.lines]))
        entry.append(block)
        if Ctx.block is None:
            Ctx.block = block
    return out


def subclass_parser(s, path):
    mode = s.int(10)

    class Sub(FEMAPParser):
        def get_blocks(self, block_id):
            Ctx.depth += 1
            try:
                if Ctx.depth > 3:
                    return []
                own = FEMAPParser.get_blocks(self, block_id)
                if mode == 0:
                    return own
                if mode == 1:
                    return None
                if mode == 2:
                    return tuple(own or ())
                if mode == 3:
                    return list(own or ()) + [None]
                if mode == 4:
                    self.blocks = {}
                    return own
                if mode == 5 and isinstance(own, list):
                    copy = list(own)
                    own.clear()
                    return copy
                if mode == 6:
                    self.get_nodes()
                    return own
                if mode == 7:
                    return [FEMAPBlock(block_id, [HostileLine(a) for a in range(HOSTILE_ACTIONS)])]
                if mode == 8:
                    return type("L", (list,), {})(own or ())
                return list(reversed(own or []))
            finally:
                Ctx.depth -= 1

    return Sub(path)


# ---- Running every entry -------------------------------------------------------------

def run_entries(p, s, quick=False, steady=True):
    """Every public entry of p; each outcome is a value or (exception type, text).

    steady: nothing changes p between calls, so the threaded vector table must equal the
    one-thread table (hostile lines and finalizers change p mid-call: there both only run).
    """
    filters = [(-1, -1), (s.int(4) - 1, s.int(4) - 1), (1, 1), (0, -1)]
    calls = [
        ("parse", lambda: p.parse()),
        ("get_blocks", lambda: p.get_blocks(s.pick(HOT_IDS))),
        ("get_header", p.get_header),
        ("get_nodes", lambda: p.get_nodes(False)),
        ("get_nodes_2d", lambda: p.get_nodes(True)),
        ("get_nodes_arrays", p.get_nodes_arrays),
        ("get_elements", p.get_elements),
        ("get_elements_arrays", p.get_elements_arrays),
        ("get_properties", p.get_properties),
        ("get_materials", p.get_materials),
        ("get_output_sets", p.get_output_sets),
        ("get_output_vectors", p.get_output_vectors),
    ] + [(f"ova{f}", (lambda f=f: p.get_output_vectors_arrays(*f))) for f in filters]
    calls += [(name, (lambda name=name: getattr(_femap_model, name)(p)))
              for name in ("read_block_sizes", "read_output_sets", "read_properties", "read_materials")]
    # The vector table on one thread and in small parts on three: always the same table.
    part_bytes = 1 + s.int(300)
    calls += [("read_vectors", lambda: joined(_femap_model.read_vectors(p, 1))),
              ("read_vectors_parts", lambda: joined(_femap_model.read_vectors(p, 3, part_bytes))),
              ("read_arrays", lambda: _femap_model.read_arrays(p, 3, part_bytes))]
    if quick:
        calls = calls[2:4]
    results = {}
    for name, call in calls:
        results[name] = outcome(call)
    if steady and "read_vectors" in results:
        compare("in parts", {"read_vectors": results["read_vectors"]}, {"read_vectors": results["read_vectors_parts"]})
        # Nodes and elements read beside the table: the parser's calls, or their first error.
        names = ["get_nodes_arrays", "get_elements_arrays", "read_vectors"]
        got = results.pop("read_arrays")
        if got[0] == "ok":
            got = dict(zip(names, [("ok", got[1][0]), ("ok", got[1][1]), ("ok", joined(got[1][2]))]))
        else:
            got = {next((n for n in names if results[n][0] == "err"), names[0]): got}
        compare("beside the table", {n: results[n] for n in got}, got)
    return results


def joined(table):
    """The vector table with its chunks of pairs joined into one array each."""
    return table[:8] + tuple(numpy.concatenate(chunks) for chunks in table[8:])


def outcome(call):
    try:
        return ("ok", call())
    except SystemError:
        raise
    except RecursionError as e:
        return ("err", "RecursionError", "")
    except Exception as e:  # noqa: BLE001 - every Python exception is an outcome
        return ("err", type(e).__name__, str(e))


def same(a, b):
    if isinstance(a, numpy.ndarray) or isinstance(b, numpy.ndarray):
        return (isinstance(a, numpy.ndarray) and isinstance(b, numpy.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and numpy.array_equal(a, b, equal_nan=a.dtype.kind == "f"))
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or (a != a and b != b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, FEMAPBlock):
        return a.block_id == b.block_id and same(a.lines, b.lines)
    return a == b


def compare(label, first, second):
    if os.environ.get("FUZZ_DIFF", "1") == "0":
        return
    for name, r in first.items():
        if name in ("parse", "get_blocks"):
            continue  # these hand out the stored objects, which materialising changes
        if not same(r, second[name]):
            raise AssertionError(f"{label}: {name} differs:\n  {r!r}\n  {second[name]!r}")


REAL_OPEN = builtins.open


class Unseekable(io.BytesIO):
    def seekable(self):
        return False


class ListSub(list):
    pass


class FakeFile:
    """What a replaced open() may hand the constructor: readlines() of any kind."""
    encoding = None

    def __init__(self, lines):
        self.lines = lines

    def readlines(self):
        return self.lines

    def close(self):
        pass


class HostileRaw:
    """A readlines() item whose rstrip/strip run Python code on the list holding it."""

    def __init__(self, owner, action):
        self.owner, self.action = owner, action

    def rstrip(self, *args):
        if self.action == 0:
            self.owner.clear()
        elif self.action == 1:
            del self.owner[:2]
        elif self.action == 2:
            self.owner.append("   -1")
        elif self.action == 3:
            return None
        return "   -1" if self.action == 4 else "   403"

    def strip(self, *args):
        return self.rstrip()


def alt_open(kind, data):
    """A replacement for builtins.open: other codecs, an unseekable stream, odd lines."""
    def fake_open(path, mode="r", *args, **kwargs):
        if kind == 0:
            return REAL_OPEN(path, mode, encoding="utf-8-sig")  # read by readlines()
        if kind == 1:
            return io.TextIOWrapper(Unseekable(data), encoding="utf-8")
        if kind == 2:
            return REAL_OPEN(path, mode, encoding="latin-1")
        if kind == 3:
            return REAL_OPEN(path, mode, encoding="cp1252", errors="replace")
        text = data.decode("utf-8", "replace").splitlines(True)
        lines = ListSub(text)
        for k in range(0, len(lines), 3):
            lines.insert(k, HostileRaw(lines, (k + len(data)) % 6))
        return FakeFile(lines if kind == 4 else (tuple(text) if kind == 5 else lines))
    return fake_open


def other_reads(data, content, fresh):
    """The same file read through readlines() (other codecs, unseekable) must give the
    same results as the byte scan wherever the text is the same."""
    kind = data[1] % 7
    builtins.open = alt_open(kind, content)
    try:
        q = FEMAPParser(_PATH)
    except SystemError:
        raise
    except Exception:  # noqa: BLE001
        return
    finally:
        builtins.open = REAL_OPEN
    got = run_entries(q, Stream(data[-4:]))
    same_text = (kind < 2 and not content.startswith(b"\xef\xbb\xbf")) or (kind < 4 and content.isascii())
    if same_text and fresh is not None:
        compare(f"readlines({kind})", fresh, got)


def has_pickling():
    return "__reduce__" in FEMAPParser.__dict__


def materialize(p):
    blocks = p.blocks
    if isinstance(blocks, dict):
        for lst in list(blocks.values()):
            if isinstance(lst, list):
                for b in list(lst):
                    if isinstance(b, FEMAPBlock):
                        b.lines
                        repr(b) if b.lines is not None else None


_PATH = os.path.join(tempfile.gettempdir(), f"femap-fuzz-{os.getpid()}.neu")


def one_input(data):
    # A callback (maybe a finalizer left by an earlier input) may switch the collector
    # off or on; otherwise the module must leave it as it was.
    gc.enable()
    Ctx.gc_switched = False
    try:
        check_input(data)
    finally:
        collector_on = gc.isenabled()
        gc.enable()
        try:  # no file left behind by a run that ends without a crash
            os.unlink(_PATH)
        except OSError:
            pass
    if not collector_on and not Ctx.gc_switched:
        raise AssertionError("the cyclic collector was left switched off")


def check_input(data):
    if not data:
        return
    s = Stream(data)
    mode = s.byte() % 8
    if mode == 0:
        content, lines = data[1:], []
    else:
        lines = generated_lines(s)
        content = file_bytes(s, lines)
    with open(_PATH, "wb") as f:
        f.write(content)

    # The file as a parser reads it: fresh, then materialised, then pickled.
    try:
        p = FEMAPParser(_PATH)
    except SystemError:
        raise
    except Exception:  # noqa: BLE001 - decoding, overflow and the like
        p = None
    fresh = None
    if p is not None:
        fresh = run_entries(p, Stream(data[-4:]))
        again = run_entries(p, Stream(data[-4:]))
        compare("repeat", fresh, again)
        materialize(p)
        compare("materialised", fresh, run_entries(p, Stream(data[-4:])))
        if has_pickling():
            try:
                q = pickle.loads(pickle.dumps(p))
            except SystemError:
                raise
            except Exception:  # noqa: BLE001
                q = None
            if q is not None:
                compare("unpickled", fresh, run_entries(q, Stream(data[-4:])))
        for lst in (p.blocks or {}).values():
            for b in lst:
                for ln in b.lines:
                    outcome(lambda: FEMAPParser.parse_csv_line(ln))
    for ln in lines[:8]:
        outcome(lambda: FEMAPParser.parse_csv_line(ln if isinstance(ln, str) else ln.decode("latin-1")))

    if len(data) > 1 and data[1] % 2:
        other_reads(data, content, fresh)

    # Hostile variants: only when the input asks for them.
    if mode >= 4 or s.left() > 0:
        hostile(s, lines)


def hostile(s, lines):
    saved_np = fp.np
    Ctx.parser = Ctx.block = None
    Ctx.depth = 0
    try:
        kind = s.int(4)
        if kind == 0:
            p = FEMAPParser.__new__(FEMAPParser)
            p.blocks = caller_blocks(s, lines)
        elif kind == 1:
            p = subclass_parser(s, _PATH) if _try(lambda: FEMAPParser(_PATH)) else None
        elif kind == 2:
            p = _try(lambda: FEMAPParser(_PATH))
            if p is not None:
                p.blocks = caller_blocks(s, lines)
        else:
            p = _try(lambda: subclass_parser(s, _PATH))
            if p is not None and s.chance(2):
                p.blocks = caller_blocks(s, lines)
        if p is None:
            return
        Ctx.parser = p
        if s.chance(3):
            fp.np = FakeNp(s)
        if s.chance(4):
            for a in range(s.int(4)):
                Finalizer(s.int(HOSTILE_ACTIONS))
        run_entries(p, s, steady=False)
        if has_pickling() and s.chance(2):
            outcome(lambda: pickle.loads(pickle.dumps(p)))
        for lst in list((p.blocks or {}).values()):
            for b in list(lst) if isinstance(lst, list) else []:
                if isinstance(b, FEMAPBlock):
                    outcome(lambda: repr(b))
                    if has_pickling():
                        outcome(lambda: pickle.loads(pickle.dumps(b)))
        if s.chance(8):
            outcome(lambda: p.__init__(_PATH))
        if has_pickling() and s.chance(3):
            restore_states(s, p)
    finally:
        fp.np = saved_np
        Ctx.parser = Ctx.block = None
        Ctx.depth = 0


STATE_ITEMS = [None, "   -1", "", 0, 1, -1, 2**31, 2**63, 1.5, True, [], ["a", 1], (), {}, {1: []},
               {403: [None]}, {"k": 1}, b"x", object()]


def restore_states(s, p):
    """The restore functions and __setstate__ on fuzzed states (short, long, wrong types)."""
    def item():
        return s.pick(STATE_ITEMS) if s.int(4) else (p.blocks if s.int(2) else [FEMAPBlock(1, ["1,2"])])

    state = tuple(item() for _ in range(s.int(6)))
    arg = state if s.int(6) else s.pick([None, list(state), 5])
    checksum = s.pick([0x3F1D598, 0xC51E58, 0xA29F31B, 0x7EB2A63, 0xC7DD1C6, 0xDCF7CA8, -1, 2**64, "x"])
    kinds = [FEMAPParser, FEMAPBlock, type(p), int, StrSub]
    outcome(lambda: fp.__qel_unpickle_FEMAPParser(s.pick(kinds), checksum, arg))
    outcome(lambda: fp.__qel_unpickle_FEMAPBlock(s.pick(kinds), checksum, arg))
    outcome(lambda: p.__setstate__(arg))
    if isinstance(p.blocks, dict):
        for lst in list(p.blocks.values())[:2]:
            for b in list(lst)[:2] if isinstance(lst, list) else []:
                if isinstance(b, FEMAPBlock):
                    outcome(lambda: b.__setstate__(arg))
    run_entries(p, s, quick=True)


def _try(make):
    try:
        return make()
    except SystemError:
        raise
    except Exception:  # noqa: BLE001
        return None


# ---- Drivers ---------------------------------------------------------------------

class Watch:
    """Open file descriptors must not grow from one check to the next."""

    def __init__(self):
        self.n = 0
        self.fds = None

    def tick(self):
        self.n += 1
        if self.n % 500:
            return
        fds = len(os.listdir("/proc/self/fd"))
        if self.fds is None:
            self.fds = fds
        elif fds > self.fds + 2:
            raise AssertionError(f"open file descriptors grew from {self.fds} to {fds}")


def random_driver(seconds, corpus_dirs):
    """Mutation fuzzing without atheris: random inputs and byte mutations of the corpus."""
    rng = random.Random(int(os.environ.get("FUZZ_SEED", time.time())))
    corpus = []
    for d in corpus_dirs:
        for name in sorted(os.listdir(d)):
            with open(os.path.join(d, name), "rb") as f:
                corpus.append(f.read())
    watch, n, end = Watch(), 0, time.time() + seconds
    while time.time() < end:
        if corpus and rng.random() < 0.6:
            data = bytearray(rng.choice(corpus))
            for _ in range(rng.randint(1, 8)):
                op = rng.randint(0, 3)
                at = rng.randint(0, len(data)) if data else 0
                if op == 0 and data:
                    data[min(at, len(data) - 1)] = rng.randint(0, 255)
                elif op == 1:
                    data[at:at] = os.urandom(rng.randint(1, 16))
                elif op == 2:
                    del data[at:at + rng.randint(1, 32)]
                else:
                    other = rng.choice(corpus)
                    b = rng.randint(0, len(other))
                    data[at:at] = other[b:b + rng.randint(1, 200)]
            data = bytes(data)
        else:
            data = os.urandom(rng.randint(1, 600))
        try:
            one_input(data)
        except BaseException:
            path = f"crash-random-{os.getpid()}-{n}"
            with open(path, "wb") as f:
                f.write(data)
            print(f"crash input written to {path}", file=sys.stderr)
            raise
        watch.tick()
        n += 1
    print(f"random driver: {n} executions in {seconds} s, no crash")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--random":
        random_driver(float(sys.argv[2]), sys.argv[3:])
        return
    import atheris

    watch = Watch()

    def test_one_input(data):
        one_input(data)
        watch.tick()

    atheris.instrument_func(one_input)
    atheris.instrument_func(hostile)
    atheris.instrument_func(generated_lines)
    atheris.instrument_func(record)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
