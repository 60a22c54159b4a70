"""Reader for FEMAP Neutral files: blocks, model records, result vectors and NumPy arrays."""
from typing import Any, Callable, Dict as Dict, List as List, Optional as Optional, SupportsInt, Tuple as Tuple
from typing import TypedDict, TypeVar, Union

import os
import numpy
import numpy.typing as npt

np = numpy

_Int32Array = npt.NDArray[numpy.int32]
_Float64Array = npt.NDArray[numpy.float64]
_State = Tuple[Any, ...]
_B = TypeVar("_B", bound=FEMAPBlock)
_P = TypeVar("_P", bound=FEMAPParser)
# (restore function, (class, checksum, None), state) or (restore function, (class, checksum, state))
_Reduce = Union[
    Tuple[Callable[..., Any], Tuple[type, int, None], _State],
    Tuple[Callable[..., Any], Tuple[type, int, Optional[_State]]],
]


class _Header(TypedDict):
    title: str
    version: str


class _Element(TypedDict):
    id: int
    prop_id: int
    topology: int
    nodes: List[int]


class _Property(TypedDict):
    material_id: int
    title: str


class _Material(TypedDict):
    id: int


class _OutputSet(TypedDict):
    title: str
    value: float


class _OutputVector(TypedDict):
    set_id: int
    vec_id: int
    title: str
    ent_type: Optional[int]
    results: Dict[int, float]


class FEMAPBlock:
    # block identifier, a 32-bit signed integer; it cannot be deleted
    @property
    def block_id(self) -> int: ...
    @block_id.setter
    def block_id(self, value: SupportsInt) -> None: ...
    # body lines without their newline, held by reference; None once deleted
    lines: Optional[List[str]]

    def __init__(self, block_id: SupportsInt, lines: Optional[List[str]]) -> None: ...
    def __reduce__(self) -> _Reduce: ...
    def __setstate__(self, state: _State, /) -> None: ...


class FEMAPParser:
    blocks: Optional[Dict[int, List[FEMAPBlock]]]

    def __init__(self, filepath: str | os.PathLike[str]) -> None: ...
    def parse(self) -> Optional[Dict[int, List[FEMAPBlock]]]: ...
    def get_blocks(self, block_id: SupportsInt) -> List[FEMAPBlock]: ...
    @staticmethod
    def parse_csv_line(line: str) -> List[str]: ...
    def get_header(self) -> Optional[_Header]: ...
    def get_nodes(self, force_2d: object = False) -> Dict[int, Tuple[float, float, float]]: ...
    def get_nodes_arrays(self) -> Tuple[_Int32Array, _Float64Array]: ...
    def get_properties(self) -> Dict[int, _Property]: ...
    def get_elements(self) -> List[_Element]: ...
    def get_elements_arrays(self) -> Tuple[_Int32Array, _Int32Array, _Int32Array, _Int32Array, _Int32Array]: ...
    def get_materials(self) -> Dict[int, _Material]: ...
    def get_output_sets(self) -> Dict[int, _OutputSet]: ...
    def get_output_vectors(self) -> List[_OutputVector]: ...
    def get_output_vectors_arrays(
        self, set_id_filter: SupportsInt = -1, vec_id_filter: SupportsInt = -1
    ) -> Union[Tuple[_Int32Array, _Float64Array, int, int, int], Tuple[None, None, int, int, int]]: ...
    def __reduce__(self) -> _Reduce: ...
    def __setstate__(self, state: _State, /) -> None: ...


def __qel_unpickle_FEMAPBlock(
    __qel_type: type[_B], __qel_checksum: SupportsInt, __qel_state: Optional[_State]
) -> _B: ...
def __qel_unpickle_FEMAPParser(
    __qel_type: type[_P], __qel_checksum: SupportsInt, __qel_state: Optional[_State]
) -> _P: ...
