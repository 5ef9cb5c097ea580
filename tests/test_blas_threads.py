"""The sparse LU on one BLAS thread: the count before is restored, whatever happens in the block
and however blocks overlap in several threads, and the factorisations still solve their systems."""

import threading

import numpy as np
import pytest
import scipy.sparse

from pwpoly_numpy._blas_threads import _setters, one_blas_thread
from pwpoly_numpy._solver import _default_factorize

needs_setter = pytest.mark.skipif(not _setters(), reason="no loaded BLAS limits the calling thread alone")


def local_count():
    """The calling thread's BLAS thread count (read by setting it to what it is)."""
    setter = _setters()[0]
    count = setter(1)
    setter(count)
    return count


class Raised(Exception):
    pass


@needs_setter
@pytest.mark.parametrize("former", [1, 2, 3])
@pytest.mark.parametrize("raises", [False, True])
def test_the_former_count_comes_back(former, raises):
    setter = _setters()[0]
    before = setter(former)
    try:
        with pytest.raises(Raised) if raises else _nothing():
            with one_blas_thread():
                assert local_count() == 1
                if raises:
                    raise Raised
        assert local_count() == former
    finally:
        setter(before)


@needs_setter
@pytest.mark.parametrize("last_out", ["first in", "second in"])
def test_overlapping_blocks_in_two_threads_restore_the_count_before_both(last_out):
    # Thread A enters, then B; one of them leaves first. Each block restoring what it saw on
    # entry left the count at 1 when A left before B.
    setter = _setters()[0]
    before = setter(2)
    a_in, b_in, first_out = threading.Event(), threading.Event(), threading.Event()
    counts = []

    def block(entered, wait_for, leaves_first):
        with one_blas_thread():
            entered.set()
            wait_for.wait()
            if not leaves_first:
                first_out.wait()
            counts.append(local_count())
        if leaves_first:
            first_out.set()

    try:
        a = threading.Thread(target=block, args=(a_in, b_in, last_out == "second in"))
        a.start()
        a_in.wait()
        b = threading.Thread(target=block, args=(b_in, a_in, last_out == "first in"))
        b.start()
        a.join()
        b.join()
        assert counts == [1, 1]  # one thread inside while the other is
        assert local_count() == 2
    finally:
        setter(before)


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def laplacian_2d(side):
    one = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(side, side))
    eye = scipy.sparse.identity(side)
    return scipy.sparse.csc_array(scipy.sparse.kron(one, eye) + scipy.sparse.kron(eye, one))


@pytest.mark.parametrize("shift", [2.0, 0.5 + 1.5j, -1.0 + 0.25j])
@pytest.mark.parametrize("side", [3, 40])
def test_sparse_lu_solves_the_step_systems(shift, side):
    # The complex step matrices of the decoupled stages, and a real one: beyond the band of the
    # banded LU at side 40 (the sparse LU), within it at side 3.
    A = laplacian_2d(side)
    K = scipy.sparse.csc_array(shift * scipy.sparse.identity(side * side) + 0.1 * A)
    rng = np.random.default_rng(side)
    rhs = rng.standard_normal(side * side) + (1j * rng.standard_normal(side * side) if np.iscomplexobj(K.data) else 0)
    x = _default_factorize(K)(rhs)
    assert np.linalg.norm(K @ x - rhs) <= 1e-13 * np.linalg.norm(rhs) * np.abs(K).sum(axis=1).max()
