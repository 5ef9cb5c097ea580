"""Private kernels of pwpoly_numpy.

Every kernel reads and writes C-contiguous buffers of exactly the element type given here in
place; the Python layer allocates them with the right sizes. The index arrays of the ...32
kernels must be int32, those of the ...64 kernels int64 (TypeError otherwise); both are typed
as either, since the callers choose the kernel and the index dtype together at run time.
"""

import numpy as np
import numpy.typing as npt

__all__ = [
    "locate",
    "evaluate",
    "basis_matrix32",
    "basis_matrix64",
    "coordinate_times",
    "lagrange_points",
    "prolongation_room",
    "prolongation32",
    "prolongation64",
    "to_legendre32",
    "to_legendre64",
    "galerkin_nnz",
    "galerkin32",
    "galerkin64",
    "projection_room",
    "projection32",
    "projection64",
    "project_sums",
    "division_floor",
    "dense_steps",
    "banded_steps",
    "banded_factor_size",
    "internal_fault_type",
]

__version__: str

_F64 = npt.NDArray[np.float64]
_Index = npt.NDArray[np.int32 | np.int64]

# Every kernel on a partition takes it as (n_t, T, breakpoints): n_t + 1 breakpoints, or an empty
# array for n_t equal intervals of [0, T].
def locate(
    n_t: int, T: float, breakpoints: _F64, times: _F64, intervals: npt.NDArray[np.int64], xi: _F64, workers: int
) -> None: ...
def evaluate(
    degree: int,
    n_t: int,
    T: float,
    breakpoints: _F64,
    first: int,
    width: int,
    closed: int,
    coefficients: _F64,
    times: _F64,
    derivative: int,
    out: _F64,
    workers: int,
) -> int: ...
def basis_matrix32(
    degree: int,
    n_t: int,
    T: float,
    breakpoints: _F64,
    times: _F64,
    derivative: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def basis_matrix64(
    degree: int,
    n_t: int,
    T: float,
    breakpoints: _F64,
    times: _F64,
    derivative: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def coordinate_times(n_t: int, T: float, breakpoints: _F64, first: int, last: int, nodes: _F64, out: _F64) -> None: ...
def lagrange_points(degree: int, n_t: int, T: float, breakpoints: _F64, first: int, last: int, out: _F64) -> None: ...
def prolongation_room(
    degree: int,
    nt_coarse: int,
    T_coarse: float,
    coarse_breakpoints: _F64,
    nt_fine: int,
    T_fine: float,
    fine_breakpoints: _F64,
    first: int,
    last: int,
) -> int: ...
def prolongation32(
    degree: int,
    nt_coarse: int,
    T_coarse: float,
    coarse_breakpoints: _F64,
    nt_fine: int,
    T_fine: float,
    fine_breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> int: ...
def prolongation64(
    degree: int,
    nt_coarse: int,
    T_coarse: float,
    coarse_breakpoints: _F64,
    nt_fine: int,
    T_fine: float,
    fine_breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> int: ...
def to_legendre32(
    degree: int,
    n_t: int,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def to_legendre64(
    degree: int,
    n_t: int,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def galerkin_nnz(
    test_kind: int, test_degree: int, trial_kind: int, trial_degree: int, form: int, n_t: int, first: int, last: int
) -> int: ...
def galerkin32(
    test_kind: int,
    test_degree: int,
    trial_kind: int,
    trial_degree: int,
    form: int,
    n_t: int,
    T: float,
    breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def galerkin64(
    test_kind: int,
    test_degree: int,
    trial_kind: int,
    trial_degree: int,
    form: int,
    n_t: int,
    T: float,
    breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> None: ...
def projection_room(
    source_degree: int,
    source_n_t: int,
    source_T: float,
    source_breakpoints: _F64,
    target_degree: int,
    target_n_t: int,
    target_T: float,
    target_breakpoints: _F64,
    first: int,
    last: int,
) -> int: ...
def projection32(
    source_degree: int,
    source_n_t: int,
    source_T: float,
    source_breakpoints: _F64,
    target_degree: int,
    target_n_t: int,
    target_T: float,
    target_breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> int: ...
def projection64(
    source_degree: int,
    source_n_t: int,
    source_T: float,
    source_breakpoints: _F64,
    target_degree: int,
    target_n_t: int,
    target_T: float,
    target_breakpoints: _F64,
    first: int,
    last: int,
    indptr: _Index,
    indices: _Index,
    data: _F64,
    workers: int,
) -> int: ...
def project_sums(n_t: int, m: int, values: _F64, B: _F64, out: _F64, workers: int) -> None: ...
def division_floor(divisions: int, times: _F64, out: _F64) -> None: ...
def internal_fault_type() -> type[BaseException]: ...
def dense_steps(
    n: int,
    m: int,
    T1: _F64,
    T2: _F64,
    C1: _F64,
    C2: _F64,
    E: _F64,
    M: _F64,
    A: _F64,
    halves: _F64,
    factors: _F64,
    pivots: npt.NDArray[np.int64],
    factored: npt.NDArray[np.int64],
    slots: npt.NDArray[np.int64],
    loads: _F64,
    u: _F64,
    out: _F64,
) -> int: ...
def banded_steps(
    n: int,
    m: int,
    lower: int,
    upper: int,
    C1: _F64,
    C2: _F64,
    E: _F64,
    eigen_re: _F64,
    eigen_im: _F64,
    G_re: _F64,
    G_im: _F64,
    Wy: _F64,
    M_indptr: npt.NDArray[np.int64],
    M_indices: npt.NDArray[np.int64],
    M_data: _F64,
    A_indptr: npt.NDArray[np.int64],
    A_indices: npt.NDArray[np.int64],
    A_data: _F64,
    halves: _F64,
    factors: _F64,
    pivots: npt.NDArray[np.int64],
    factored: npt.NDArray[np.int64],
    slots: npt.NDArray[np.int64],
    loads: _F64,
    u: _F64,
    out: _F64,
) -> int: ...
def banded_factor_size(n: int, p: int, lower: int, upper: int) -> int: ...
