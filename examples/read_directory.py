"""Reads every neutral file of a directory in parallel, one worker process per file,
and prints what each holds. The models come back to this process by pickling.

    python examples/read_directory.py DIR
"""
import concurrent.futures
import functools
import pathlib
import sys

from vexaro.core.femap_model import open_model


def main(directory):
    paths = sorted(pathlib.Path(directory).glob("*.neu"))
    with concurrent.futures.ProcessPoolExecutor() as pool:
        # One thread per process: the processes already keep every processor busy.
        for path, model in zip(paths, pool.map(functools.partial(open_model, threads=1), paths)):
            values = int(model.vectors.count.sum())
            print(f"{path.name}: {len(model.nodes)} nodes, {len(model.elements)} elements, "
                  f"{len(model.output_sets)} output sets, {len(model.vectors)} vectors ({values} values)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent)
