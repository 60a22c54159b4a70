"""The benchmark generator's files: the plain profile's bytes stay what they were, and each
profile reads alike in the module, the reference reader and open_model, as written."""
import hashlib
import sys
from pathlib import Path

import numpy as np
import pytest

from reference_reader import ReferenceReader, scan
from vexaro.core.femap_model import open_model
from vexaro.core.femap_parser import FEMAPParser

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import generate  # noqa: E402

ARGS = ["--nodes", "40", "--elements", "20", "--vectors", "9", "--values-per-vector", "700",
        "--output-sets", "4", "--properties", "3", "--materials", "2", "--quiet"]


def test_plain_profile_keeps_its_bytes(tmp_path):
    path = tmp_path / "plain.neu"
    generate.main([str(path), "--profile", "plain", *ARGS])
    assert hashlib.sha256(path.read_bytes()).hexdigest() == \
        "ce264c5e35ce2fb22ee9e4ad366a71169d94303fe28312b14ee540fbb2c54a62"


@pytest.mark.parametrize("profile, output_sets", [("femap", 4), ("plain", 3)])
def test_profile_reads_as_written(tmp_path, profile, output_sets):
    path = str(tmp_path / f"{profile}.neu")
    info = generate.main([path, "--profile", profile, *ARGS])
    parser, ref, model = FEMAPParser(path), ReferenceReader(scan(path)), open_model(path)
    for name in ("get_nodes", "get_elements", "get_output_sets", "get_output_vectors"):
        assert getattr(parser, name)() == getattr(ref, name)(), name
    pairs = [(v["set_id"], v["vec_id"]) for v in info["vector_list"]]
    for key in [(-1, -1), *pairs]:
        got, want = parser.get_output_vectors_arrays(*key), ref.get_output_vectors_arrays(*key)
        assert [np.asarray(x).tolist() for x in got] == [np.asarray(x).tolist() for x in want], key
        assert np.array_equal(got[1], model.vector(*got[2:4])[1])
    assert (len(model.nodes), len(model.elements), len(model.output_sets)) == (40, 20, output_sets)
    assert list(zip(model.vectors.set_id.tolist(), model.vectors.vec_id.tolist())) == pairs
    assert model.vectors.count.tolist() == [700] * 9
    # FEMAP's vectors of one entity type (and layout) list the same entities
    ids = {}
    for v, meta in zip(parser.get_output_vectors(), info["vector_list"]):
        ids.setdefault((meta["block"], v["ent_type"]), set()).add(tuple(v["results"]))
    assert (max(map(len, ids.values())) == 1) == (profile == "femap")
