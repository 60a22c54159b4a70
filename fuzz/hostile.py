"""Large and hostile inputs, one child process each: outcome, time and peak memory.

    python3 fuzz/hostile.py [CASE...]      (all cases by default)

The files are generated under the temporary directory and deleted afterwards. Each
case runs in a fresh interpreter, which reports its outcome, its peak RSS (VmHWM), its
RSS at the end, and whether a descriptor of the file is still open.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

MB = 1 << 20


def write(path, chunks):
    with open(path, "wb") as f:
        for chunk in chunks:
            f.write(chunk)


def long_line(path):
    # One 200 MB line inside a block 403, then a real node line.
    line = b"1,0,0,1,46,0,0,0,0,0,0," + b"7" * (200 * MB) + b",2.,3.,0,"
    write(path, [b"   -1\n   403\n", line, b"\n2,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,\n   -1\n"])


def empty_lines(path):
    # 50 million empty lines inside one block 450.
    write(path, [b"   -1\n   450\n"] + [b"\n" * (10 * MB)] * 5 + [b"   -1\n"])


def many_blocks(path):
    # 100,000 blocks 403 of one node each.
    write(path, [b"".join(b"   -1\n   403\n%d,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,\n   -1\n" % (k * 1000 + j)
                          for j in range(1000)) for k in range(100)])


def garbage(path):
    # 64 MB of random bytes with delimiter and identifier lines sprinkled in.
    rnd = open("/dev/urandom", "rb")
    chunks = []
    for k in range(64):
        chunks += [rnd.read(MB), b"\n   -1\n   %d\n" % [100, 403, 404, 450, 1051, 451, 402, 601][k % 8]]
    write(path, chunks)


def bad_utf8_at_end(path):
    # ~500 MB of valid lines, then one invalid UTF-8 byte.
    block = b"".join(b"%d,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,\n" % j for j in range(100_000))
    n = (500 * MB) // len(block)
    write(path, [b"   -1\n   403\n"] + [block] * n + [b"\xff\n   -1\n"])


def crlf_big(path):
    # ~300 MB with CR LF line ends: the scan's slow line-end path.
    block = b"".join(b"%d,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,\r\n" % j for j in range(100_000))
    write(path, [b"   -1\r\n   403\r\n"] + [block] * ((300 * MB) // len(block)) + [b"   -1\r\n"])


def over_2g_lines(path):
    # 2**31 + 2 lines in one block 403: two nodes with 2**31 empty lines between them.
    write(path, [b"   -1\n   403\n1,0,0,1,46,0,0,0,0,0,0,1.,2.,3.,0,\n"] + [b"\n" * (64 * MB)] * 32
          + [b"2,0,0,1,46,0,0,0,0,0,0,4.,5.,6.,0,\n   -1\n"])


CASES = {
    "long_line": (long_line, "p.get_nodes_arrays()[0].tolist(); p.get_nodes(); materialize(p)"),
    "empty_lines": (empty_lines, "p.get_output_sets(); p.get_output_vectors(); repr(p.blocks[450][0]); "
                                 "materialize(p)"),
    "many_blocks": (many_blocks, "p.get_nodes_arrays(); p.get_nodes(); len(p.blocks[403]); materialize(p); "
                                 "pickle.loads(pickle.dumps(p))"),
    "garbage": (garbage, "[getattr(p, n)() for n in NAMES]"),
    "bad_utf8_at_end": (bad_utf8_at_end, "p.get_nodes_arrays()"),
    "over_2g_lines": (over_2g_lines, "result['repr'] = repr(p.blocks[403][0]); "
                                     "result['ids'] = p.get_nodes_arrays()[0].tolist(); "
                                     "result['nodes'] = sorted(p.get_nodes())"),
    "crlf_big": (crlf_big, "p.get_nodes_arrays(); p.get_elements_arrays()"),
}

CHILD = r"""
import gc, json, os, pickle, sys, time
from vexaro.core.femap_parser import FEMAPParser
path, work = sys.argv[1], sys.argv[2]
NAMES = ["get_header", "get_nodes", "get_nodes_arrays", "get_elements", "get_elements_arrays",
         "get_properties", "get_materials", "get_output_sets", "get_output_vectors",
         "get_output_vectors_arrays"]
def materialize(p):
    for lst in p.blocks.values():
        for b in lst:
            b.lines
def status():
    out = {}
    for line in open("/proc/self/status"):
        if line.startswith(("VmHWM", "VmRSS")):
            out[line.split(":")[0]] = int(line.split()[1]) // 1024
    return out
t0 = time.time()
result = {}
try:
    p = FEMAPParser(path)
    result["constructed"] = round(time.time() - t0, 2)
    result["blocks"] = {k: len(v) for k, v in p.blocks.items()}
    exec(work)
    result["outcome"] = "ok"
except Exception as e:
    result["outcome"] = f"{type(e).__name__}: {str(e)[:120]}"
result["seconds"] = round(time.time() - t0, 2)
p = None
gc.collect()
result["open_fds_on_file"] = sum(os.path.realpath(os.path.join("/proc/self/fd", fd)) == os.path.realpath(path)
                                 for fd in os.listdir("/proc/self/fd"))
result.update(status())
print(json.dumps(result))
"""


def main():
    names = sys.argv[1:] or list(CASES)
    for name in names:
        make, work = CASES[name]
        fd, path = tempfile.mkstemp(prefix=f"hostile-{name}-", suffix=".neu")
        os.close(fd)
        try:
            t0 = time.time()
            make(path)
            size = os.path.getsize(path)
            gen = time.time() - t0
            run = subprocess.run([sys.executable, "-c", CHILD, path, work], capture_output=True, text=True)
            try:
                result = json.loads(run.stdout.strip().splitlines()[-1])
            except (IndexError, ValueError):
                result = {"outcome": f"child exited {run.returncode}", "stderr": run.stderr[-2000:]}
            result["returncode"] = run.returncode
            print(f"{name}: {size / MB:.0f} MB file (written in {gen:.1f} s): " + json.dumps(result), flush=True)
        finally:
            os.remove(path)


if __name__ == "__main__":
    main()
