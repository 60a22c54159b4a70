"""Module surface: globals, docstrings, class identity and instance layout."""
import gc
import re
import typing
import weakref

import numpy
import pytest

import vexaro.core.femap_parser as fp
from vexaro.core.femap_parser import FEMAPBlock, FEMAPParser

METHOD_DOCS = {  # exact texts, indentation included
    "parse": (
        "\n        Public method to return parsed blocks (for API compatibility).\n        \n"
        "        Returns:\n            Dictionary mapping block IDs to lists of blocks\n        "),
    "get_header": (
        "\n        Extract header information from Block 100.\n\n        Returns:\n"
        "            Dictionary with 'title' and 'version' keys, or None if not found\n        "),
    "get_nodes": (
        "\n        Extract all nodes from Block 403.\n\n        Args:\n"
        "            force_2d: If True, skip nodes where z != 0.0\n\n        Returns:\n"
        "            Dictionary mapping node IDs to (x, y, z) coordinates\n        "),
    "get_elements": (
        "\n        Extract all elements from Block 404.\n\n        Returns:\n"
        "            List of element dictionaries with id, prop_id, topology, and nodes\n        "),
    "get_properties": (
        "\n        Extract all properties from Block 402.\n\n        Returns:\n"
        "            Dictionary mapping property IDs to property metadata\n        "),
    "get_materials": (
        "\n        Extract all materials from Block 601.\n\n        Returns:\n"
        "            Dictionary mapping material IDs to material metadata\n        "),
    "get_output_sets": (
        "\n        Extract all output sets from Block 450.\n\n        Returns:\n"
        "            Dictionary mapping output set IDs to metadata\n        "),
    "get_output_vectors": (
        "\n        Extract all output data vectors from Blocks 1051 and 451.\n\n        Returns:\n"
        "            List of output vector dictionaries with metadata and results\n        "),
    "get_nodes_arrays": (
        "\n        Extract all nodes from Block 403 as NumPy arrays (high performance).\n\n"
        "        Returns:\n"
        "            Tuple of (node_ids: np.ndarray[int32], coords: np.ndarray[float64, (n,3)])\n        "),
    "get_elements_arrays": (
        "\n        Extract all elements from Block 404 as NumPy arrays (high performance).\n\n"
        "        Returns:\n"
        "            Tuple of (element_ids, prop_ids, topologies, node_connectivity, offsets)\n"
        "            - element_ids: np.ndarray[int32] - element IDs\n"
        "            - prop_ids: np.ndarray[int32] - property IDs\n"
        "            - topologies: np.ndarray[int32] - topology codes\n"
        "            - connectivity: np.ndarray[int32] - flat node connectivity\n"
        "            - offsets: np.ndarray[int32] - offsets into connectivity for each element\n        "),
    "get_output_vectors_arrays": (
        "\n        Extract output vectors as NumPy arrays (high performance).\n        \n        Args:\n"
        "            set_id_filter: If >= 0, only extract vectors with this set_id\n"
        "            vec_id_filter: If >= 0, only extract vectors with this vec_id\n        \n"
        "        Returns:\n"
        "            Tuple of (entity_ids: np.ndarray[int32], values: np.ndarray[float64], \n"
        "                      set_id: int, vec_id: int, ent_type: int) for the first matching vector\n"
        "            Returns (None, None, -1, -1, -1) if no matching vectors found\n        "),
    "get_blocks": "Get all blocks with the specified ID.",
}
PARSER_DOC = ("\n    Parser for FEMAP Neutral files.\n\n"
              "    Handles blocks in any order and supports repeated blocks of the same type.\n    ")


def test_globals():
    assert fp.__name__ == "vexaro.core.femap_parser"
    assert fp.np is numpy
    assert (fp.Dict, fp.List, fp.Tuple, fp.Optional) == (typing.Dict, typing.List, typing.Tuple, typing.Optional)


def test_module_docstring():
    assert re.fullmatch(
        r"\nFEMAP Neutral File Parser [^\n]*\([^\n]+\)\n\n"
        r"This module parses FEMAP Neutral files and extracts structured data blocks\.\n"
        r"FEMAP files contain blocks identified by IDs, and blocks can appear in any order\.\n", fp.__doc__)


def test_class_docstrings():
    assert FEMAPBlock.__doc__ == "Represents a single FEMAP data block."
    assert FEMAPParser.__doc__ == PARSER_DOC


@pytest.mark.parametrize("name, doc", METHOD_DOCS.items(), ids=METHOD_DOCS)
def test_method_docstrings(name, doc):
    assert getattr(FEMAPParser, name).__doc__ == doc


@pytest.mark.parametrize("cls", [FEMAPBlock, FEMAPParser])
def test_class_identity(cls):
    assert f"{cls.__module__}.{cls.__qualname__}" == f"vexaro.core.femap_parser.{cls.__name__}"
    assert cls.__bases__ == (object,)

    class Sub(cls):
        extra = 1

    assert issubclass(Sub, cls) and Sub.extra == 1


BARE = FEMAPParser.__new__(FEMAPParser)


@pytest.mark.parametrize("call", [
    lambda: FEMAPBlock(), lambda: FEMAPBlock(1), lambda: FEMAPBlock(1, [], 2), lambda: FEMAPBlock(1, [], x=1),
    lambda: FEMAPBlock(1, block_id=1), lambda: FEMAPParser(), lambda: FEMAPParser("a", "b"),
    lambda: FEMAPParser(path="a"), lambda: BARE.parse_csv_line(), lambda: BARE.parse_csv_line("a", "b"),
    lambda: FEMAPParser.parse_csv_line(text="a"), lambda: BARE.parse(1), lambda: BARE.get_blocks(),
    lambda: BARE.get_blocks(1, 2), lambda: BARE.get_blocks(id=1),
])
def test_argument_count_errors(call):
    with pytest.raises(TypeError, match="argument"):
        call()


def test_public_and_hidden_names(write_file):
    parser = FEMAPParser(write_file(""))
    for name in ["filepath", "BLOCK_DELIMITER", "_parse", "_parse_csv_line_fast",
                 "_locate_output_vector_header", "_get_output_vector_blocks"]:
        assert not hasattr(parser, name)
        with pytest.raises(AttributeError):
            setattr(parser, name, "x")
    for name in [*METHOD_DOCS, "parse_csv_line"]:
        assert callable(getattr(parser, name))


def test_block_has_no_dict_and_no_weakref():
    block = FEMAPBlock(1, [])
    assert not hasattr(block, "__dict__")
    with pytest.raises(AttributeError):
        block.other = 1
    with pytest.raises(TypeError):
        weakref.ref(block)

    class Sub(FEMAPBlock):
        pass

    sub = Sub(1, [])
    sub.other = 2
    assert sub.__dict__ == {"other": 2} and weakref.ref(sub)() is sub


def test_fresh_parser_and_cycle_through_blocks():
    class Marker:
        pass

    parser = FEMAPParser.__new__(FEMAPParser)
    assert parser.blocks is None and gc.is_tracked(parser)
    marker = Marker()
    ref = weakref.ref(marker)
    parser.blocks = {1: [marker], 2: [parser]}
    del marker, parser
    gc.collect()
    assert ref() is None
