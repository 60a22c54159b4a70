"""Reads the small neutral file that ships with the project and prints what it holds."""
import pathlib
import sys

from vexaro.core.femap_parser import FEMAPParser

path = sys.argv[1] if len(sys.argv) > 1 else str(pathlib.Path(__file__).with_name("bracket.neu"))
parser = FEMAPParser(path)
print("blocks:", {block_id: len(blocks) for block_id, blocks in parser.blocks.items()})
print("header:", parser.get_header())
node_ids, coords = parser.get_nodes_arrays()
print("nodes:", node_ids.tolist(), "\n", coords)
print("elements:", parser.get_elements())
print("properties:", parser.get_properties())
print("output sets:", parser.get_output_sets())
for vector in parser.get_output_vectors():
    print("vector", vector["set_id"], vector["vec_id"], repr(vector["title"]), vector["results"])
