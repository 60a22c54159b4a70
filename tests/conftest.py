"""Shared helpers: neutral files written to tmp_path, parsers on both line paths."""
from pathlib import Path

import pytest

from vexaro.core.femap_parser import FEMAPParser


def neutral_text(blocks, newline="\n"):
    """Text of a neutral file holding `blocks`, a list of (block_id, [body lines])."""
    out = []
    for block_id, lines in blocks:
        out += ["   -1", f"   {block_id}", *lines, "   -1"]
    return newline.join(out) + newline


def materialize(parser):
    """Turns every block's lines into its Python list (the exact path of the walks)."""
    for blocks in parser.blocks.values():
        for block in blocks:
            block.lines
    return parser


@pytest.fixture
def write_file(tmp_path):
    """write_file(text_or_bytes, name=...) -> path of a new file in tmp_path."""
    counter = iter(range(10**9))

    def write(content, name=None):
        path = tmp_path / (name or f"f{next(counter)}.neu")
        if isinstance(content, str):
            path.write_bytes(content.encode("utf-8"))
        else:
            path.write_bytes(content)
        return str(path)

    return write


@pytest.fixture(params=["bytes", "lists"])
def line_path(request):
    """Which path the record walks take: lines read from the file's bytes, or from
    materialised lists of str."""
    return request.param


@pytest.fixture
def parser_of(write_file, line_path):
    """parser_of([(block_id, [lines...]), ...]) -> FEMAPParser, on both line paths."""

    def make(blocks, newline="\n"):
        parser = FEMAPParser(write_file(neutral_text(blocks, newline)))
        return materialize(parser) if line_path == "lists" else parser

    return make


# Neutral files written by other programs (see data/real/README.md).
REAL_DATA = Path(__file__).resolve().parent / "data" / "real"


def overriding_parser(answer=None):
    """A bare parser whose class overrides get_blocks: it returns `p.answer` and records
    the identifiers asked for in the returned list."""
    seen = []

    class Sub(FEMAPParser):
        def get_blocks(self, block_id):
            seen.append(block_id)
            return self.answer

    p = Sub.__new__(Sub)
    p.answer = answer
    return p, seen
