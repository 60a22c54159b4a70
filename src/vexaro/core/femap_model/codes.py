"""Names of the codes a neutral file uses."""
from enum import IntEnum


class Topology(IntEnum):
    """Element shape (field 4 of an element record)."""
    LINE2 = 0
    TRI3 = 2
    TRI6 = 3
    QUAD4 = 4
    QUAD8 = 5
    TETRA4 = 6
    WEDGE6 = 7
    BRICK8 = 8
    POINT = 9
    TETRA10 = 10
    WEDGE15 = 11
    BRICK20 = 12
    RIGID = 13
    PYRAMID5 = 14
    MULTI_LIST = 15
    CONTACT = 16
    WELD = 17
    PYRAMID13 = 19


class EntityType(IntEnum):
    """What an output vector's ids name."""
    NODAL = 7
    ELEMENTAL = 8


class OutputType(IntEnum):
    """Physical kind of an output vector; other codes are user-defined."""
    ANY = 0
    DISPLACEMENT = 1
    ACCELERATION = 2
    FORCE = 3
    STRESS = 4
    STRAIN = 5
    TEMPERATURE = 6


class AnalysisType(IntEnum):
    """Analysis that produced an output set."""
    UNKNOWN = 0
    STATIC = 1
    MODES = 2
    TRANSIENT = 3
    FREQUENCY_RESPONSE = 4
    RESPONSE_SPECTRUM = 5
    RANDOM = 6
    LINEAR_BUCKLING = 7


class SourceProgram(IntEnum):
    """Program that wrote an output set."""
    UNKNOWN = 0
    FEMAP = 1
    MSC_NASTRAN = 4
    ANSYS = 5
    NE_NASTRAN = 31
    NX_NASTRAN = 36


def name_of(codes, code):
    """The lower-case name of `code` in the IntEnum `codes`, or the code as text."""
    try:
        return codes(code).name.lower()
    except ValueError:
        return str(int(code))
