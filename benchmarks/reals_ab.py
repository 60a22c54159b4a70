"""Compares the reader of lines of reals (read_real_lines, the bulk of a results block) of
two source trees, outside Python: on a shared virtual machine whose speed drifts by a third
within minutes, this and the instruction counts tell a change to the field reader apart
from the host.

    python benchmarks/reals_ab.py FILE [--a REV] [--b DIR] [--rounds N] [--instructions]

FILE is a neutral file written by benchmarks/generate.py: the value lines of its first
vector in block 1051 are read (its layout: eight header lines, then values up to "-1,").
A is a git revision (default HEAD), B a source tree's src/native (default the working
tree's). Both are compiled with the same flags as a release build, each in a namespace of
its own, and timed in alternating rounds over the same text; their values must be equal.
--instructions also counts the instructions a value takes in each (valgrind's cachegrind,
from Debian's valgrind package): exact, whatever the host's speed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DRIVER = r"""
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#define READER(NS) namespace NS { size_t read_real_lines(const char*&, const char*, const char*, size_t, size_t, \
    double*, size_t, size_t&, const char*&, bool&, uint32_t*, const char**) noexcept; }
VARIANTS
using Reader = size_t (*)(const char*&, const char*, const char*, size_t, size_t, double*, size_t, size_t&,
                          const char*&, bool&, uint32_t*, const char**) noexcept;
// All lines once: the plain lines of reals read in batches, any other line passed over.
static double read_all(Reader read, const char* b, const char* end, const char* readable, double* out, size_t& n) {
    auto t0 = std::chrono::steady_clock::now();
    const char* p = b;
    n = 0;
    while (p < end) {
        size_t lines; bool full; const char* last;
        n += read(p, end, readable, SIZE_MAX, 256, out + n, 4096, lines, last, full, nullptr, nullptr);
        if (!lines) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl) break;
            p = nl + 1;
        }
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}
int main(int argc, char** argv) {
    std::ifstream f(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    const size_t text = s.size();
    s.append(256, ' ');
    const char* b = s.data();
    const Reader readers[] = {READERS};
    const size_t n_readers = sizeof readers / sizeof readers[0];
    std::vector<std::vector<double>> outs(n_readers, std::vector<double>(text / 2 + 4096));
    std::vector<size_t> counts(n_readers);
    const int rounds = std::atoi(argv[2]);
    for (int r = 0; r < rounds; ++r) {
        std::printf("round");
        for (size_t v = 0; v < n_readers; ++v) {
            const size_t k = (v + size_t(r)) % n_readers;  // turns swap every round
            std::printf(" %zu:%.1f", k, read_all(readers[k], b, b + text, b + s.size(), outs[k].data(), counts[k]));
        }
        std::printf("\n");
    }
    for (size_t v = 1; v < n_readers; ++v)
        if (counts[v] != counts[0] || std::memcmp(outs[v].data(), outs[0].data(), counts[0] * sizeof(double)))
            return std::printf("values differ\n"), 3;
    std::printf("values %zu bytes %zu\n", counts[0], text);
}
"""


def value_lines(path):
    """The value lines of the first vector in block 1051 of a generated file."""
    out = []
    with open(path, "rb") as f:
        lines = iter(f)
        for line in lines:
            if line.strip() == b"1051":
                break
        else:
            sys.exit(f"{path}: no block 1051")
        for _ in range(8):
            next(lines)
        for line in lines:
            if line.startswith(b"-1,"):
                break
            out.append(line)
    return b"".join(out)


def compile_driver(cxx, variants, work, name, built):
    """A driver over the readers of `variants` (namespace index, source tree), built in
    `work`; each tree's objects are compiled once (`built`, by namespace index)."""
    objs = []
    for k, tree in variants:
        if k not in built:
            built[k] = []
            for src in sorted(os.listdir(os.path.join(tree, "text"))):
                if src.endswith(".cpp"):
                    obj = os.path.join(work, f"V{k}_{src}.o")
                    subprocess.run([cxx, "-std=c++20", "-O3", "-DNDEBUG", "-pthread", f"-Dfemap=V{k}", "-I", tree,
                                    "-c", os.path.join(tree, "text", src), "-o", obj], check=True)
                    built[k].append(obj)
        objs += built[k]
    driver = DRIVER.replace("VARIANTS", " ".join(f"READER(V{k})" for k, _ in variants))
    driver = driver.replace("READERS", ", ".join(f"V{k}::read_real_lines" for k, _ in variants))
    src = os.path.join(work, f"{name}.cpp")
    with open(src, "w") as f:
        f.write(driver)
    exe = os.path.join(work, name)
    subprocess.run([cxx, "-std=c++20", "-O3", "-pthread", src, *objs, "-o", exe], check=True)
    return exe


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file")
    ap.add_argument("--a", default="HEAD", help="git revision of A (default HEAD)")
    ap.add_argument("--b", default=os.path.join(ROOT, "src", "native"), help="src/native of B (default: the working tree)")
    ap.add_argument("--rounds", type=int, default=40)
    ap.add_argument("--instructions", action="store_true")
    a = ap.parse_args()
    cxx = shutil.which("c++") or shutil.which("g++") or sys.exit("needs a C++ compiler")
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(f"git -C {ROOT} archive {a.a} src/native | tar -x -C {work}", shell=True, check=True)
        trees = [os.path.join(work, "src", "native"), os.path.abspath(a.b)]
        text = os.path.join(work, "values.txt")
        with open(text, "wb") as f:
            f.write(value_lines(a.file))
        built = {}
        exe = compile_driver(cxx, list(enumerate(trees)), work, "ab", built)
        run = subprocess.run([exe, text, str(a.rounds)], capture_output=True, text=True)
        if run.returncode:
            sys.exit(run.stdout + run.stderr)
        times = [[], []]
        for line in run.stdout.splitlines():
            if line.startswith("round"):
                for item in line.split()[1:]:
                    k, t = item.split(":")
                    times[int(k)].append(float(t))
            else:
                values, n_bytes = int(line.split()[1]), int(line.split()[3])
        ratios = sorted(b / a_ for a_, b in zip(*times))
        med = [statistics.median(t) for t in times]
        print(f"{values} values, {n_bytes / 1e6:.2f} MB of value lines, {a.rounds} alternating rounds")
        for name, m, t in zip((f"A ({a.a})", f"B ({a.b})"), med, times):
            print(f"  {name}: median {m / 1e3:.3f} ms ({m * 1e3 / values:.2f} ns a value, {n_bytes / m:.0f} MB/s),"
                  f" min {min(t) / 1e3:.3f} ms")
        print(f"  B/A of the rounds: median {statistics.median(ratios):.3f},"
              f" middle half {ratios[len(ratios) // 4]:.3f}-{ratios[3 * len(ratios) // 4]:.3f}")
        if a.instructions:
            valgrind = shutil.which("valgrind")
            if not valgrind:
                sys.exit("--instructions needs valgrind (Debian's valgrind package)")
            for k, tree in enumerate(trees):
                one = compile_driver(cxx, [(k, tree)], work, f"one{k}", built)
                ir = []  # of one round and of two: their difference is a round's
                for rounds in (1, 2):
                    out = os.path.join(work, f"cg{k}_{rounds}.out")
                    subprocess.run([valgrind, "--tool=cachegrind", "--cache-sim=no", f"--cachegrind-out-file={out}",
                                    one, text, str(rounds)], check=True, capture_output=True)
                    with open(out) as f:
                        ir.append(int([ln for ln in f if ln.startswith("summary:")][0].split()[1]))
                print(f"  {'AB'[k]}: {(ir[1] - ir[0]) / values:.1f} instructions a value")


if __name__ == "__main__":
    main()
