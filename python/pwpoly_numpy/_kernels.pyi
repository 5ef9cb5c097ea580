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
    "steps",
    "step_factor_sizes",
    "step_right_side",
    "split_right_side",
    "join_solutions",
    "band_solve",
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
def steps(
    shape: npt.NDArray[np.int64],
    method: _F64,
    structure: npt.NDArray[np.int64],
    entries: _F64,
    halves: _F64,
    factors: _F64,
    pivots: npt.NDArray[np.int64],
    factored: npt.NDArray[np.int64],
    slots: npt.NDArray[np.int64],
    loads: _F64,
    corrections: _F64,
    u: _F64,
    out: _F64,
    stop: npt.NDArray[np.int64],
) -> int: ...
def step_factor_sizes(
    shape: npt.NDArray[np.int64],
    method: _F64,
    structure: npt.NDArray[np.int64],
    entries: _F64,
    sizes: npt.NDArray[np.int64],
) -> None: ...
def step_right_side(
    shape: npt.NDArray[np.int64],
    method: _F64,
    structure: npt.NDArray[np.int64],
    entries: _F64,
    half: float,
    load: _F64,
    u: _F64,
    rhs: _F64,
) -> None: ...
def split_right_side(
    shape: npt.NDArray[np.int64],
    method: _F64,
    structure: npt.NDArray[np.int64],
    entries: _F64,
    rhs: _F64,
    z_re: _F64,
    z_im: _F64,
) -> None: ...
def join_solutions(
    shape: npt.NDArray[np.int64],
    method: _F64,
    structure: npt.NDArray[np.int64],
    entries: _F64,
    y: _F64,
    x: _F64,
) -> None: ...
def band_solve(n: int, lower: int, upper: int, kind: int, band: _F64, x: _F64) -> int: ...
