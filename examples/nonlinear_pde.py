"""The Allen-Cahn equation u_t = eps u_xx + u - u^3 on (-1, 1), u(-1) = -1, u(1) = 1, by dG(q)
and cG(q) in time with simplified Newton on every interval.

    python examples/nonlinear_pde.py [OUTPUT_DIR]

Space: second differences on N = 1000 interior points, eps = 0.02, so

    u' + A u = f + F(u),  A = eps * (second differences), F(u) = u - u^3,

f carrying the boundary values, and the Jacobian of F, diag(1 - 3 u^2), given as a sparse matrix.
From u0 = 0.53 x + 0.47 sin(-1.5 pi x) the solution settles into layers near -1 and 1; the two
inner bumps of opposite sign shrink and vanish near t = 4.5, leaving one interface. Prints the
end errors of dG(1), dG(2) and cG(2) against a reference (dG(3) on 4 times as many intervals)
with their observed orders, and the run's statistics; writes allen_cahn.png (the solution over x
and t, and the errors against n_t) into OUTPUT_DIR, else $PWPOLY_EXAMPLE_OUTPUT when set, else
docs/images/.
"""

from __future__ import annotations

import io
import os
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import scipy.sparse

import pwpoly_numpy as pn

Array = npt.NDArray[np.float64]

N = 1000
EPS = 0.02
T = 5.0
DX = 2.0 / (N + 1)
X = -1.0 + DX * np.arange(1, N + 1)
U0 = 0.53 * X + 0.47 * np.sin(-1.5 * np.pi * X)
A = scipy.sparse.csr_array(
    scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(N, N)) * (EPS / DX**2)
)
BOUNDARY = np.zeros(N)
BOUNDARY[0], BOUNDARY[-1] = -EPS / DX**2, EPS / DX**2  # the values -1 and 1 beyond the ends
N_TS = (25, 50, 100)
METHODS = (("dG", 1), ("dG", 2), ("cG", 2))


def boundary_load(t: Array) -> Array:
    """f(t), vectorised: the boundary values' share of the second differences, shape (N, len(t))."""
    return np.repeat(BOUNDARY[:, None], t.size, axis=1)


def reaction(t: object, u: Array) -> Array:
    return u - u**3


def reaction_jacobian(t: object, u: Array) -> scipy.sparse.csr_array[np.float64]:
    return scipy.sparse.csr_array(scipy.sparse.diags_array(1.0 - 3.0 * u**2))


def solve(kind: str, degree: int, n_t: int) -> pn.GalerkinSolution:
    space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(degree, n_t, T)
    return pn.solve_galerkin(space, A, U0, f=boundary_load, F=reaction, jac=reaction_jacobian, vectorized=True)


@dataclass
class Row:
    method: str
    degree: int
    n_t: tuple[int, ...]
    errors: tuple[float, ...]

    def orders(self) -> list[float]:
        return [float(np.log2(a / b)) for a, b in zip(self.errors, self.errors[1:], strict=False)]


def order_table() -> tuple[list[Row], pn.GalerkinSolution]:
    """The end errors (max norm) of each method against the reference, and the reference run."""
    reference = solve("dG", 3, 4 * N_TS[-1])
    rows = []
    for kind, degree in METHODS:
        errors = tuple(float(np.max(np.abs(solve(kind, degree, n_t).end - reference.end))) for n_t in N_TS)
        rows.append(Row(kind, degree, N_TS, errors))
    return rows, reference


def draw(rows: list[Row], reference: pn.GalerkinSolution, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from PIL import Image

    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 3.4), gridspec_kw={"width_ratios": [1.4, 1.0]})
    times = np.linspace(0.0, T, 201)
    values = reference(times)  # (N, len(times))
    image = left.pcolormesh(times, X[::4], values[::4], shading="auto", cmap="RdBu_r", vmin=-1.0, vmax=1.0)
    fig.colorbar(image, ax=left, label="u")
    left.set(xlabel="t", ylabel="x", title=f"Allen-Cahn, eps = {EPS}, {N} unknowns")
    for row in rows:
        label = f"{row.method}({row.degree}), order {row.orders()[-1]:.1f}"
        right.loglog(row.n_t, row.errors, "o-", label=label)
    right.set_xticks(N_TS, [str(n_t) for n_t in N_TS])
    right.minorticks_off()
    right.set(xlabel="intervals n_t", ylabel="max error at T", title="end errors against a dG(3) reference")
    right.legend()
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=90, metadata={"Software": None})
    plt.close(fig)
    with Image.open(buffer) as picture:
        palette = picture.convert("RGB").quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette.save(path, optimize=True)


def output_directory(argv: list[str]) -> Path:
    if len(argv) > 1:
        return Path(argv[1])
    if os.environ.get("PWPOLY_EXAMPLE_OUTPUT"):
        return Path(os.environ["PWPOLY_EXAMPLE_OUTPUT"])
    return Path(__file__).resolve().parent.parent / "docs" / "images"


def main() -> None:
    rows, reference = order_table()
    print(
        f"Allen-Cahn on {N} points, eps = {EPS}, T = {T}: end errors against dG(3) on {reference.n_intervals} intervals"
    )
    print("method  " + "".join(f"{n_t:>12}" for n_t in N_TS) + "   orders")
    for row in rows:
        errors = "".join(f"{e:12.2e}" for e in row.errors)
        print(f"{row.method}({row.degree})   {errors}   " + " ".join(f"{o:.2f}" for o in row.orders()))
    print(f"reference: {reference.n_newton_iterations} Newton iterations on {reference.n_intervals} intervals, "
          f"{reference.nfev} calls of F, {reference.njev} of jac, {reference.nlu} factorisations")  # fmt: skip
    directory = output_directory(sys.argv)
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / "allen_cahn.png"
    draw(rows, reference, path)
    print(f"wrote {path} ({path.stat().st_size // 1024} kB)")


if __name__ == "__main__":
    main()
