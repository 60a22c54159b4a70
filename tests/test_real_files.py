"""Neutral files written by other programs (data/real/README.md): what each holds, read
through every extractor, with the dict and array forms agreeing."""
import numpy as np
import pytest

from conftest import REAL_DATA as REAL, materialize
from vexaro.core.femap_parser import FEMAPParser

ZAERO_PROPERTIES = {1: {"material_id": 1, "title": ""}}
EIGEN = "TEST OF ALL ELEMENTS. TRUSS SUPPORTED SHELF. EIGENVALUES"

# file: nodes, elements, properties, materials, output sets {id: (title, value)}, vectors
# (count, entity types, values per vector), spot values {(set, vec): (title, first pair, last pair)}
FILES = {
    "cofe_rt.neu": (0, 0, {}, [], {1: ("NX NASTRAN Case 1", 0.0), 2: ("NX NASTRAN Case 2", 0.0)},
                    (60, {7: 48, 8: 12}, {20, 72}),
                    {(1, 1): ("Total Translation", (1, 0.5469498), (20, 0.0)),
                     (1, 2): ("T1 Translation", (1, 0.3849385), (20, 0.0)),
                     (2, 3187): ("Rod Torsional Stress M.S.", (1, 0.0), (72, 0.0))}),
    "mode_anti1.neu": (4064, 1016, ZAERO_PROPERTIES, [1], {1: ("Mode     1    0.000 Hz", 0.0)},
                       (4, {7: 4}, {4064}),
                       {(1, 1): ("ZAERO Total Translation", (1, 24.295467748503594), (4064, 24.2954693274874)),
                        (1, 4): ("ZAERO T3 Translation", (1, 0.0), (4064, 9.743346858748176e-05))}),
    "cp2anti.neu": (1394, 1016, ZAERO_PROPERTIES, [1], {1: ("ZAERO Unsteady Pressure", 0.1)},
                    (4, {8: 4}, {1016}),
                    {(1, 1): ("CPRE:       2M= 0.9k= 0.1", (1001, 1.5713624074338103e-08),
                              (8508, -1.6083384507436766e-05)),
                     (1, 4): ("PHAS:       2M= 0.9k= 0.1", (1001, -89.3680182488266), (8508, -96.12719463146357))}),
    "f16-aero.neu": (3378, 1512, ZAERO_PROPERTIES, [1], {}, (0, {}, set()), {}),
    "all_elem_test_giv_eb.neu": (0, 0, {}, [], {k: (EIGEN, 0.0) for k in (1, 2, 3, 4)},
                                 (444, {7: 64, 8: 380}, {1, 2, 4, 6, 13, 14}),
                                 {(1, 10001): ("RSS translation", (1011, 0.0), (1051, 0.0)),
                                  (4, 60722): ("QUAD4 Bot YZ Shear Stress", (11, 0.509425), (12, 0.5094249))}),
}


@pytest.fixture(params=["bytes", "lists"])
def read(request):
    def load(name):
        parser = FEMAPParser(str(REAL / name))
        return materialize(parser) if request.param == "lists" else parser
    return load


@pytest.mark.skipif(not REAL.is_dir(), reason="real neutral files not present")
@pytest.mark.parametrize("name", FILES)
def test_real_file_contents(read, name):
    nodes, elements, properties, materials, sets, (n_vectors, ent_types, sizes), spots = FILES[name]
    p = read(name)
    assert (len(p.get_nodes()), len(p.get_elements())) == (nodes, elements)
    assert p.get_properties() == properties
    assert list(p.get_materials()) == materials
    assert p.get_output_sets() == {k: {"title": t, "value": v} for k, (t, v) in sets.items()}
    vectors = p.get_output_vectors()
    assert len(vectors) == n_vectors
    assert {t: sum(v["ent_type"] == t for v in vectors) for t in ent_types} == ent_types
    assert {len(v["results"]) for v in vectors} == sizes
    assert {v["set_id"] for v in vectors} <= set(sets)
    by_id = {(v["set_id"], v["vec_id"]): v for v in vectors}
    for key, (title, first, last) in spots.items():
        items = list(by_id[key]["results"].items())
        assert (by_id[key]["title"], items[0], items[-1]) == (title, first, last)
    for v in vectors[:8] + vectors[-4:]:  # the array form reads the same records
        ids, values, set_id, vec_id, ent_type = p.get_output_vectors_arrays(v["set_id"], v["vec_id"])
        assert (set_id, vec_id, ent_type) == (v["set_id"], v["vec_id"], v["ent_type"])
        assert ids.dtype == np.int32 and values.dtype == np.float64
        assert dict(zip(ids.tolist(), values.tolist())) == v["results"]
