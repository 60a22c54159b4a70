"""A straightforward pure-Python reading of a neutral file: the reference for speed.

It does what the compiled reader does, the plain way: readlines() and one scan loop,
the field splitter with str methods, int()/float() per field, lists and dicts, then
np.array for the array forms. It is written literally, without optimisation, and it
is also the reference the benchmark compares results with.
"""
from __future__ import annotations

import numpy as np

BLOCK_DELIMITER = "   -1"
NO_MATCH = (None, None, -1, -1, -1)


def to_int32(text):
    value = int(text)
    if value < -2147483648 or value > 2147483647:
        raise OverflowError("value too large to convert to int")
    return value


def to_real(text):
    """float() of the text; a single Fortran 'D'/'d' exponent letter reads as 'E'."""
    if text.count("D") + text.count("d") == 1:
        return float(text.replace("D", "E").replace("d", "e"))
    return float(text)


def split_fields(line):
    stripped = line.rstrip(",").strip()
    if "," in stripped:
        parts = []
        for piece in stripped.split(","):
            if piece.strip():
                parts.append(piece.strip())
        return parts
    return stripped.split()


def clean_title(line):
    title = line.strip().rstrip(",")
    return "" if title == "<NULL>" else title


def is_terminator(parts):
    return len(parts) >= 2 and parts[0] == "-1" and parts[1] == "0."


class Block:
    __slots__ = ("block_id", "lines")

    def __init__(self, block_id, lines):
        self.block_id = block_id
        self.lines = lines


class _Failed(Exception):
    """A ValueError/IndexError inside a value section, with the failing line index."""

    def __init__(self, index):
        self.index = index


class BaselineParser:
    def __init__(self, filepath):
        self.filepath = filepath
        self.blocks = {}
        self._parse()

    def _parse(self):
        with open(self.filepath, "r") as f:
            lines = f.readlines()
        n_lines = len(lines)
        i = 0
        while i < n_lines:
            line = lines[i].rstrip("\n")
            if line != BLOCK_DELIMITER:
                i += 1
                continue
            if i + 1 >= n_lines:
                break
            next_line = lines[i + 1].strip()
            if next_line == "-1":
                i += 1
                continue
            try:
                block_id = int(next_line)
            except ValueError:
                i += 1
                continue
            if block_id < -2147483648 or block_id > 2147483647:
                raise OverflowError("value too large to convert to int")
            block_lines = []
            i += 2
            while i < n_lines:
                line = lines[i].rstrip("\n")
                if line == BLOCK_DELIMITER:
                    i += 1
                    break
                block_lines.append(line)
                i += 1
            if block_id not in self.blocks:
                self.blocks[block_id] = []
            self.blocks[block_id].append(Block(block_id, block_lines))

    def get_blocks(self, block_id):
        return self.blocks.get(block_id, [])

    # -- model -------------------------------------------------------------------

    def get_header(self):
        blocks = self.get_blocks(100)
        if not blocks or len(blocks[0].lines) < 2:
            return None
        title = blocks[0].lines[0].strip()
        return {"title": "" if title == "<NULL>" else title, "version": blocks[0].lines[1].strip()}

    def get_nodes(self, force_2d=False):
        nodes = {}
        for block in self.get_blocks(403):
            for line in block.lines:
                parts = split_fields(line)
                if len(parts) <= 13:
                    continue
                try:
                    node_id = to_int32(parts[0])
                    x = to_real(parts[11])
                    y = to_real(parts[12])
                    z = to_real(parts[13])
                except (ValueError, IndexError):
                    continue
                if force_2d and z > 0.0:
                    continue
                nodes[node_id] = (x, y, z)
        return nodes

    def get_nodes_arrays(self):
        node_list = []
        coord_list = []
        for block in self.get_blocks(403):
            for line in block.lines:
                parts = split_fields(line)
                if len(parts) <= 13:
                    continue
                try:
                    node_id = to_int32(parts[0])
                    x = to_real(parts[11])
                    y = to_real(parts[12])
                    z = to_real(parts[13])
                except (ValueError, IndexError):
                    continue
                node_list.append(node_id)
                coord_list.append((x, y, z))
        node_ids = np.array(node_list, dtype=np.int32)
        coords = np.array(coord_list, dtype=np.float64)
        if not coord_list:
            coords = coords.reshape(0, 3)
        return node_ids, coords

    def _element_records(self):
        """Yields (elem_id, prop_id, topology, nodes) by the element record rule."""
        for block in self.get_blocks(404):
            lines = block.lines
            n_lines = len(lines)
            i = 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) <= 4:
                    i += 1
                    continue
                try:
                    elem_id = to_int32(parts[0])
                    prop_id = to_int32(parts[2])
                    topology = to_int32(parts[4])
                    nodes = []
                    if i + 1 < n_lines:
                        for nstr in split_fields(lines[i + 1]):
                            n = to_int32(nstr)
                            if n != 0:
                                nodes.append(n)
                    if i + 2 < n_lines:
                        for nstr in split_fields(lines[i + 2]):
                            n = to_int32(nstr)
                            if n != 0:
                                nodes.append(n)
                except (ValueError, IndexError):
                    i += 1
                    continue
                yield elem_id, prop_id, topology, nodes
                i += 7

    def get_elements(self):
        elements = []
        for elem_id, prop_id, topology, nodes in self._element_records():
            elements.append({"id": elem_id, "prop_id": prop_id, "topology": topology, "nodes": nodes})
        return elements

    def get_elements_arrays(self):
        elem_ids_list, prop_ids_list, topo_list, connectivity_list = [], [], [], []
        offsets_list = [0]
        offset = 0
        for elem_id, prop_id, topology, nodes in self._element_records():
            elem_ids_list.append(elem_id)
            prop_ids_list.append(prop_id)
            topo_list.append(topology)
            for n in nodes:
                connectivity_list.append(n)
                offset += 1
            offsets_list.append(offset)
        return (
            np.array(elem_ids_list, dtype=np.int32),
            np.array(prop_ids_list, dtype=np.int32),
            np.array(topo_list, dtype=np.int32),
            np.array(connectivity_list, dtype=np.int32),
            np.array(offsets_list, dtype=np.int32),
        )

    def get_properties(self):
        properties = {}
        for block in self.get_blocks(402):
            lines = block.lines
            n_lines = len(lines)
            i = 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) <= 2:
                    i += 1
                    continue
                try:
                    prop_id = to_int32(parts[0])
                    mat_id = to_int32(parts[2])
                except (ValueError, IndexError):
                    i += 1
                    continue
                title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                properties[prop_id] = {"material_id": mat_id, "title": title}
                i += 7
        return properties

    def get_materials(self):
        materials = {}
        for block in self.get_blocks(601):
            for line in block.lines:
                parts = split_fields(line)
                if not parts:
                    continue
                try:
                    mat_id = to_int32(parts[0])
                except (ValueError, IndexError):
                    continue
                materials[mat_id] = {"id": mat_id}
        return materials

    def get_output_sets(self):
        output_sets = {}
        for block in self.get_blocks(450):
            lines = block.lines
            n_lines = len(lines)
            i = 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if not parts:
                    i += 1
                    continue
                try:
                    set_id = to_int32(parts[0])
                    title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                    value = 0.0
                    if i + 3 < n_lines:
                        value_parts = split_fields(lines[i + 3])
                        if value_parts:
                            value = to_real(value_parts[0])
                except (ValueError, IndexError):
                    i += 1
                    continue
                output_sets[set_id] = {"title": title, "value": value}
                i += 6
        return output_sets

    # -- output vectors ------------------------------------------------------------

    def _get_output_vector_blocks(self):
        return self.get_blocks(1051) + self.get_blocks(451)

    @staticmethod
    def _locate_output_vector_header(lines, start_index):
        search_index = start_index + 3
        while search_index + 1 < len(lines):
            header_parts = split_fields(lines[search_index])
            flag_parts = split_fields(lines[search_index + 1])
            if len(header_parts) == 4 and len(flag_parts) == 3:
                try:
                    int(header_parts[0])
                    int(header_parts[1])
                    int(header_parts[2])
                    ent_type_val = to_int32(header_parts[3])
                    int(flag_parts[0])
                    int(flag_parts[1])
                    int(flag_parts[2])
                    return ent_type_val, True, search_index + 2
                except ValueError:
                    pass
            search_index += 1
        return -1, False, len(lines)

    @staticmethod
    def _value_scan(lines, n_lines, k, deliver):
        """Delivers the pairs of a value section; returns where the walk goes on.
        Raises _Failed(index of the failing line) on ValueError/IndexError."""
        while k < n_lines:
            result_parts = split_fields(lines[k])
            if is_terminator(result_parts):
                return k + 1
            try:
                if len(result_parts) == 2:
                    deliver(to_int32(result_parts[0]), to_real(result_parts[1]))
                    k += 1
                    continue
                if len(result_parts) < 2:
                    k += 1
                    continue
                start_id = to_int32(result_parts[0])
                end_id = to_int32(result_parts[1])
                values = [to_real(v) for v in result_parts[2:]]
            except (ValueError, IndexError):
                raise _Failed(k)
            entity_count = end_id - start_id + 1
            if entity_count > 2147483647:
                entity_count = 0
            k += 1
            while len(values) < entity_count and k < n_lines:
                cont_parts = split_fields(lines[k])
                if is_terminator(cont_parts):
                    break
                try:
                    for v in cont_parts:
                        values.append(to_real(v))
                except (ValueError, IndexError):
                    raise _Failed(k)
                k += 1
            for offset in range(min(entity_count, len(values))):
                deliver(start_id + offset, values[offset])
        return k

    @staticmethod
    def _skip_walk(lines, n_lines, k):
        while k < n_lines:
            result_parts = split_fields(lines[k])
            k += 1
            if is_terminator(result_parts):
                break
        return k

    def get_output_vectors(self):
        output_vectors = []
        for block in self._get_output_vector_blocks():
            lines = block.lines
            n_lines = len(lines)
            i = 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) < 2:
                    i += 1
                    continue
                try:
                    set_id = to_int32(parts[0])
                    vec_id = to_int32(parts[1])
                except (ValueError, IndexError):
                    i += 1
                    continue
                title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                ent_type_val, has_ent_type, result_start_index = self._locate_output_vector_header(lines, i)
                results = {}

                def deliver(entity_id, value):
                    results[entity_id] = value

                try:
                    i = self._value_scan(lines, n_lines, result_start_index, deliver)
                except _Failed as failed:
                    i = failed.index + 1
                    continue
                output_vectors.append({
                    "set_id": set_id, "vec_id": vec_id, "title": title,
                    "ent_type": ent_type_val if has_ent_type else None, "results": results,
                })
        return output_vectors

    def get_output_vectors_arrays(self, set_id_filter=-1, vec_id_filter=-1):
        for block in self._get_output_vector_blocks():
            lines = block.lines
            n_lines = len(lines)
            i = 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) < 2:
                    i += 1
                    continue
                try:
                    set_id = to_int32(parts[0])
                    vec_id = to_int32(parts[1])
                except (ValueError, IndexError):
                    i += 1
                    continue
                ent_type_val, has_ent_type, result_start_index = self._locate_output_vector_header(lines, i)
                if (set_id_filter >= 0 and set_id != set_id_filter) or (
                        vec_id_filter >= 0 and vec_id != vec_id_filter):
                    i = self._skip_walk(lines, n_lines, result_start_index)
                    continue
                entity_ids_list = []
                values_list = []

                def deliver(entity_id, value):
                    entity_ids_list.append(entity_id)
                    values_list.append(value)

                try:
                    self._value_scan(lines, n_lines, result_start_index, deliver)
                except _Failed as failed:
                    i = failed.index + 1
                    continue
                return (
                    np.array(entity_ids_list, dtype=np.int32),
                    np.array(values_list, dtype=np.float64),
                    set_id, vec_id, ent_type_val if has_ent_type else -1,
                )
        return NO_MATCH
