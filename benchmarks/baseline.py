"""A straightforward pure-Python reading of a neutral file: the reference for speed.

It is the test suite's reference reader (tests/reference_reader.py): readlines() and one
scan loop, the field splitter with str methods, int()/float() per field, lists and dicts,
then np.array for the array forms, written literally and without optimisation. The
benchmark also compares the module's results with it.
"""
from __future__ import annotations

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from reference_reader import (  # noqa: E402
    ReferenceReader, is_terminator, locate_output_vector_header, scan, split_fields)

__all__ = ["BaselineParser", "is_terminator", "split_fields"]


class Block:
    __slots__ = ("block_id", "lines")

    def __init__(self, block_id, lines):
        self.block_id = block_id
        self.lines = lines


class BaselineParser(ReferenceReader):
    """The reference reader on the blocks of a file, with a `blocks` map like the parser's."""

    _locate_output_vector_header = staticmethod(locate_output_vector_header)

    def __init__(self, filepath):
        super().__init__(scan(filepath))
        self.blocks = {}
        for block_id, lines in self.records:
            self.blocks.setdefault(block_id, []).append(Block(block_id, lines))
