"""Pure-Python reference reader of FEMAP neutral files.

A literal, unoptimised reading of the rules the compiled module follows, used as the
oracle of the differential tests. It works on a list of (block_id, lines) blocks, so it
can read the result of its own `scan` or the blocks of a `FEMAPParser`.
"""
import numpy as np

DELIMITER = "   -1"
NO_MATCH = (None, None, -1, -1, -1)


# --- numbers ----------------------------------------------------------------------

def to_int32(value):
    """Narrows a Python int to a C int with the interpreter's two error texts."""
    if not -2**63 <= value < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    if not -2**31 <= value < 2**31:
        raise OverflowError("value too large to convert to int")
    return value


def int32_of(text):
    return to_int32(int(text))


def real_of(text):
    """float() of the text; a text with one Fortran exponent letter D/d reads as with E."""
    try:
        return float(text)
    except ValueError:
        if text.count("D") + text.count("d") != 1:
            raise
        return float(text.replace("D", "E").replace("d", "E"))


# --- lines ------------------------------------------------------------------------

def scan(path):
    """The constructor's scan: the blocks of the file as a list of (block_id, lines)."""
    with open(path, "r", errors="surrogateescape") as f:
        lines = f.readlines()
    if lines and lines[0].startswith("\ufeff"):
        lines[0] = lines[0][1:]
    blocks = []
    n_lines, i = len(lines), 0
    while i < n_lines:
        if lines[i].rstrip("\n") != DELIMITER:
            i += 1
            continue
        if i + 1 >= n_lines:
            break
        next_line = lines[i + 1].strip()
        if next_line == "-1":
            i += 1
            continue
        try:
            block_id = int32_of(next_line)   # OverflowError is not caught
        except ValueError:
            i += 1
            continue
        body = []
        i += 2
        while i < n_lines:
            line = lines[i].rstrip("\n")
            i += 1
            if line == DELIMITER:
                break
            body.append(line)
        blocks.append((block_id, body))
    return blocks


def block_map(blocks):
    """{block_id: [lines of each block]} in order of first occurrence."""
    out = {}
    for block_id, lines in blocks:
        out.setdefault(block_id, []).append(lines)
    return out


def split_fields(line):
    stripped = line.rstrip(",").strip()
    if "," in stripped:
        return [piece.strip() for piece in stripped.split(",") if piece.strip()]
    return stripped.split()


def clean_title(line):
    title = line.strip().rstrip(",")
    return "" if title == "<NULL>" else title


def is_terminator(parts):
    """The terminator as a continuation line of a range spells it."""
    return len(parts) >= 2 and parts[0] == "-1" and parts[1] == "0."


def ends_value_section(parts):
    """The terminator where an entry starts: fields 0 and 1 read as -1 and a real 0."""
    if len(parts) < 2:
        return False
    try:
        return int(parts[0]) == -1 and real_of(parts[1]) == 0.0
    except ValueError:
        return False


def count_of(lines, n_lines, i):
    """The count of line i when it is a count line (one field, an integer >= 0), else None."""
    if i >= n_lines:
        return None
    parts = split_fields(lines[i])
    if len(parts) != 1:
        return None
    try:
        count = int(parts[0])
    except ValueError:
        return None
    return count if count >= 0 else None


def lines_for(count, per_line):
    return -(-count // per_line)


def is_int(text):
    try:
        int(text)
    except ValueError:
        return False
    return True


# --- output vector layout -----------------------------------------------------------

class RecordDropped(Exception):
    """A conversion failed in a value section; `line` is the index of the failing line."""

    def __init__(self, line):
        super().__init__(line)
        self.line = line


def locate_output_vector_header(lines, start_index):
    search_index = start_index + 3
    while search_index + 1 < len(lines):
        header_parts = split_fields(lines[search_index])
        flag_parts = split_fields(lines[search_index + 1])
        if (len(header_parts), len(flag_parts)) in ((4, 3), (5, 4)):
            try:
                for text in header_parts[:3]:
                    int(text)
                ent_type_val = int32_of(header_parts[3])
                for text in header_parts[4:] + flag_parts:
                    int(text)
                return ent_type_val, True, search_index + 2
            except ValueError:
                pass
        search_index += 1
    return -1, False, len(lines)


def value_scan(lines, n_lines, k):
    """Pairs (entity_id, value) of the value section from line k, and the line after it."""
    pairs = []
    while k < n_lines:
        try:
            parts = split_fields(lines[k])
            if ends_value_section(parts):
                return pairs, k + 1
            if len(parts) == 2:
                pairs.append((int32_of(parts[0]), real_of(parts[1])))
                k += 1
            elif len(parts) < 2:
                k += 1
            else:
                start_id = int32_of(parts[0])
                end_id = int32_of(parts[1])
                values = [real_of(text) for text in parts[2:]]
                entity_count = range_count(start_id, end_id)
                k += 1
                while len(values) < entity_count and k < n_lines:
                    cont_parts = split_fields(lines[k])
                    if is_terminator(cont_parts):
                        break
                    for text in cont_parts:
                        values.append(real_of(text))
                    k += 1
                for offset in range(min(entity_count, len(values))):
                    pairs.append((start_id + offset, values[offset]))
        except (ValueError, IndexError):
            raise RecordDropped(k) from None
    return pairs, k


def range_count(start_id, end_id):
    count = end_id - start_id + 1
    return 0 if count > 2**31 - 1 else max(count, 0)


def skip_value_section(lines, n_lines, k):
    """Where the value scan would end, without converting a value."""
    while k < n_lines:
        parts = split_fields(lines[k])
        k += 1
        if ends_value_section(parts):
            break
        if len(parts) < 3:
            continue
        try:
            count = range_count(int32_of(parts[0]), int32_of(parts[1]))
        except (ValueError, OverflowError):
            continue
        have = len(parts) - 2
        while have < count and k < n_lines:
            cont_parts = split_fields(lines[k])
            if is_terminator(cont_parts):
                break
            have += len(cont_parts)
            k += 1
    return k


# --- the reader -------------------------------------------------------------------

class ReferenceReader:
    def __init__(self, blocks):
        self.records = [(block_id, lines) for block_id, lines in blocks]

    @classmethod
    def from_parser(cls, parser):
        """The blocks of a FEMAPParser (or any {id: [objects with block_id, lines]})."""
        return cls([(b.block_id, b.lines) for group in parser.blocks.values() for b in group])

    def get_blocks(self, block_id):
        return [lines for bid, lines in self.records if bid == block_id]

    def get_header(self):
        blocks = self.get_blocks(100)
        if not blocks or len(blocks[0]) < 2:
            return None
        title, version = blocks[0][0].strip(), blocks[0][1].strip()
        return {"title": "" if title == "<NULL>" else title, "version": version}

    def _node_rows(self):
        for lines in self.get_blocks(403):
            for line in lines:
                parts = split_fields(line)
                if len(parts) <= 13:
                    continue
                try:
                    node_id = int32_of(parts[0])
                    row = (node_id, real_of(parts[11]), real_of(parts[12]), real_of(parts[13]))
                except (ValueError, IndexError):
                    continue
                yield row

    def get_nodes(self, force_2d=False):
        nodes = {}
        for node_id, x, y, z in self._node_rows():
            if force_2d and z > 0.0:
                continue
            nodes[node_id] = (x, y, z)
        return nodes

    def get_nodes_arrays(self):
        rows = list(self._node_rows())
        node_ids = np.array([row[0] for row in rows], dtype=np.int32)
        coords = np.array([row[1:] for row in rows], dtype=np.float64).reshape(len(rows), 3)
        return node_ids, coords

    def _element_records(self):
        for lines in self.get_blocks(404):
            n_lines, i = len(lines), 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) <= 4:
                    i += 1
                    continue
                try:
                    elem_id = int32_of(parts[0])
                    prop_id = int32_of(parts[2])
                    topology = int32_of(parts[4])
                    nodes = []
                    for k in (i + 1, i + 2):
                        if k < n_lines:
                            for text in split_fields(lines[k]):
                                n = int32_of(text)
                                if n != 0:
                                    nodes.append(n)
                except (ValueError, IndexError):
                    i += 1
                    continue
                yield elem_id, prop_id, topology, nodes
                i += 7

    def get_elements(self):
        return [{"id": e, "prop_id": p, "topology": t, "nodes": nodes}
                for e, p, t, nodes in self._element_records()]

    def get_elements_arrays(self):
        ids, props, topos, connectivity, offsets = [], [], [], [], [0]
        for e, p, t, nodes in self._element_records():
            ids.append(e)
            props.append(p)
            topos.append(t)
            connectivity += nodes
            offsets.append(len(connectivity))
        return tuple(np.array(a, dtype=np.int32) for a in (ids, props, topos, connectivity, offsets))

    def get_properties(self):
        properties = {}
        for lines in self.get_blocks(402):
            n_lines, i = len(lines), 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) <= 2:
                    i += 1
                    continue
                try:
                    prop_id = int32_of(parts[0])
                    mat_id = int32_of(parts[2])
                except (ValueError, IndexError):
                    i += 1
                    continue
                title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                properties[prop_id] = {"material_id": mat_id, "title": title}
                i = self._after_property(lines, n_lines, i)
        return properties

    @staticmethod
    def _after_property(lines, n_lines, i):
        laminate = count_of(lines, n_lines, i + 3)
        if laminate is not None:
            at = i + 4 + lines_for(laminate, 8)
            values = count_of(lines, n_lines, at)
            if values is not None:
                return at + 1 + lines_for(values, 5)
        return i + 7

    def get_materials(self):
        materials = {}
        for lines in self.get_blocks(601):
            n_lines, i = len(lines), 0
            while i < n_lines:
                parts = split_fields(lines[i])
                try:
                    mat_id = int32_of(parts[0])
                except (ValueError, IndexError):
                    i += 1
                    continue
                materials[mat_id] = {"id": mat_id}
                j = i + 2
                while (count := count_of(lines, n_lines, j)) is not None:
                    j += 1 + lines_for(count, 10)
                i = j if j > i + 2 else i + 1
        return materials

    def get_output_sets(self):
        output_sets = {}
        for lines in self.get_blocks(450):
            n_lines, i = len(lines), 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if not parts:
                    i += 1
                    continue
                try:
                    set_id = int32_of(parts[0])
                    title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                    value = 0.0
                    if i + 3 < n_lines:
                        value_parts = split_fields(lines[i + 3])
                        if value_parts:
                            value = real_of(value_parts[0])
                except (ValueError, IndexError):
                    i += 1
                    continue
                output_sets[set_id] = {"title": title, "value": value}
                i = self._after_output_set(lines, n_lines, i)
        return output_sets

    @staticmethod
    def _after_output_set(lines, n_lines, i):
        notes = count_of(lines, n_lines, i + 4)
        if notes is None:
            return i + 6
        after = i + 5 + notes
        if after < n_lines:
            tail = split_fields(lines[after])
            if len(tail) == 3 and all(map(is_int, tail)):
                return after + 3
        return after

    def _get_output_vector_blocks(self):
        return self.get_blocks(1051) + self.get_blocks(451)

    def _vector_records(self, wanted):
        """Record walk: yields (set_id, vec_id, title, ent_type or None, pairs) of every
        record that `wanted(set_id, vec_id)` accepts and whose value section converts;
        other records are stepped over by the skip walk."""
        for lines in self._get_output_vector_blocks():
            n_lines, i = len(lines), 0
            while i < n_lines:
                parts = split_fields(lines[i])
                if len(parts) < 2:
                    i += 1
                    continue
                try:
                    set_id = int32_of(parts[0])
                    vec_id = int32_of(parts[1])
                except (ValueError, IndexError):
                    i += 1
                    continue
                title = clean_title(lines[i + 1]) if i + 1 < n_lines else ""
                ent_type_val, has_ent_type, start = locate_output_vector_header(lines, i)
                if not wanted(set_id, vec_id):
                    i = skip_value_section(lines, n_lines, start)
                    continue
                try:
                    pairs, i = value_scan(lines, n_lines, start)
                except RecordDropped as drop:
                    i = drop.line + 1
                    continue
                yield set_id, vec_id, title, ent_type_val if has_ent_type else None, pairs

    def get_output_vectors(self):
        return [{"set_id": s, "vec_id": v, "title": title, "ent_type": ent, "results": dict(pairs)}
                for s, v, title, ent, pairs in self._vector_records(lambda s, v: True)]

    def get_output_vectors_arrays(self, set_id_filter=-1, vec_id_filter=-1):
        set_id_filter, vec_id_filter = to_int32(int(set_id_filter)), to_int32(int(vec_id_filter))

        def wanted(set_id, vec_id):
            return ((set_id_filter < 0 or set_id == set_id_filter)
                    and (vec_id_filter < 0 or vec_id == vec_id_filter))

        for s, v, _, ent, pairs in self._vector_records(wanted):
            return (np.array([p[0] for p in pairs], dtype=np.int32),
                    np.array([p[1] for p in pairs], dtype=np.float64),
                    s, v, -1 if ent is None else ent)
        return NO_MATCH
