"""Times one parser method of two builds of the module in one process, alternating.

    python benchmarks/ab.py FILE METHOD BUILD_A BUILD_B [ARG ...] [--rounds N] [--warm-mib M]

BUILD_A and BUILD_B are stage directories (tools/dev-build prints one); ARGs are ints
passed to the method. Each round times both builds, in turns that swap every round, on
a parser of each over the same file: a sample repeats the call for 50 ms at least and
keeps the results until the clock stops, without collections, as benchmarks/run.py
does, after writing and freeing M MiB. On a shared virtual machine whose speed drifts
over seconds, the ratio B/A of each round is steadier than medians taken minutes apart.
"""
import argparse
import gc
import importlib
import statistics
import sys
import time

import numpy as np


def load(stage):
    """The module of one build: imported from its stage directory, then dropped from the
    import cache, so that the other build's file is loaded as a module of its own."""
    sys.path.insert(0, stage)
    try:
        return importlib.import_module("vexaro.core.femap_parser")
    finally:
        sys.path.remove(stage)
        for name in [n for n in sys.modules if n == "vexaro" or n.startswith("vexaro.")]:
            del sys.modules[name]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file")
    ap.add_argument("method")
    ap.add_argument("builds", nargs=2)
    ap.add_argument("args", nargs="*", type=int)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--warm-mib", type=int, default=1024)
    a = ap.parse_args()
    calls = [getattr(load(stage).FEMAPParser(a.file), a.method) for stage in a.builds]
    for call in calls:
        call(*a.args)
    t = time.perf_counter()
    calls[0](*a.args)
    inner = max(1, int(0.05 / (time.perf_counter() - t)))
    samples = [[], []]
    for r in range(a.rounds):
        for k in (0, 1) if r % 2 == 0 else (1, 0):
            gc.collect()
            if a.warm_mib:
                np.ones(a.warm_mib << 17)  # written, then freed
            gc.disable()  # as run.py times: no collection in a sample
            t = time.perf_counter()
            results = [calls[k](*a.args) for _ in range(inner)]
            samples[k].append((time.perf_counter() - t) / inner)
            gc.enable()
            del results
    for stage, s in zip(a.builds, samples):
        print(f"{stage}: median {statistics.median(s) * 1e3:.2f} ms (calls per sample: {inner})")
    print(f"B/A per round: median {statistics.median(b / a for a, b in zip(*samples)):.3f}")


if __name__ == "__main__":
    main()
