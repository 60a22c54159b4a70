"""The model and its results in one call: a companion of vexaro.core.femap_parser.

    from vexaro.core.femap_model import open_model
    model = open_model("run.neu")
    ids, values = model.vector(1, 1)
"""
from .codes import AnalysisType, EntityType, OutputType, SourceProgram, Topology, name_of
from .model import (Elements, Header, Material, Model, Nodes, OutputSet, Property, VectorInfo,
                    VectorTable, open_model)

__all__ = ["open_model", "Model", "Header", "Nodes", "Elements", "Property", "Material", "OutputSet",
           "VectorTable", "VectorInfo", "Topology", "EntityType", "OutputType", "AnalysisType",
           "SourceProgram", "name_of"]
