"""Pictures of pwpoly's bases and operators, written as PNG files.

    python examples/pictures.py [OUTPUT_DIR]

writes into OUTPUT_DIR, else into $PWPOLY_EXAMPLE_OUTPUT when set, else into docs/images/ of the
repository:

- legendre_basis.png   the discontinuous piecewise Legendre basis, degree 2 on 4 intervals
                       (legendre_basis_narrow.png: the same in two columns, for a phone)
- prolongation.png     a coarse continuous Lagrange function and its prolongation to a finer partition
- operator_sparsity.png  the prolongation and the Lagrange-to-Legendre transformation, entry by entry
- convergence.png      the demo's table (examples/demo.py): dG(q) and cG(q) errors for the heat
                       equation in L2 and at T, against n_t
- galerkin_orders.png  dG(q) and cG(q) for the heat equation (examples/galerkin_in_time.py): errors
                       at the interval ends and in L2 against n_t
- slab_ownership.png   which nodes and coefficients each time slab owns
- graded_mesh.png      sqrt(t) projected on equal and on graded intervals: the order comes back

The numbers of each picture come from a function that returns them (legendre_basis_functions,
prolongation_data, operator_matrices, the demo's table, ...), the drawing from another. The files
are the same bytes on every run with the same matplotlib: no time stamps or software versions in
them.
"""

import io
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import demo
import galerkin_in_time
import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.colors import TwoSlopeNorm
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle
from matplotlib.ticker import FixedLocator, NullLocator, ScalarFormatter
from PIL import Image

import pwpoly
import pwpoly_numpy as pn

Array = npt.NDArray[np.float64]

DPI = 100
COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b")


# ---------------------------------------------------------------------------------------------
# 1. The piecewise Legendre basis
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class BasisFunction:
    """Basis function ``index = i*n_t + k`` (P_i on interval k) on all of [0, T], interval by interval.

    ``times[m]`` run from the left end of interval m to its right end and ``values[m]`` are the
    function there. At an interior right end the last time is the largest float below the end, so
    the last value is the limit from the left: the end itself belongs to the interval on its right.
    The last interval is closed at both ends.
    """

    degree: int
    interval: int
    index: int
    times: tuple[Array, ...]
    values: tuple[Array, ...]


def legendre_basis_functions(degree: int = 2, n_t: int = 4, T: float = 1.0, samples: int = 41) -> list[BasisFunction]:
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    dt = T / n_t
    times, tables = [], []
    for m in range(n_t):
        times_m = np.linspace(m * dt, dt + m * dt, samples)  # the interval ends as the basis forms them
        if m < n_t - 1:
            times_m[-1] = np.nextafter(times_m[-1], -np.inf)
        times.append(times_m)
        # Row j: every basis function at times_m[j], degree-major.
        tables.append(np.array([basis.evaluate_all_basis_functions(t) for t in times_m.tolist()]))
    return [
        BasisFunction(i, k, i * n_t + k, tuple(times), tuple(table[:, i * n_t + k] for table in tables))
        for i in range(degree + 1)
        for k in range(n_t)
    ]


def draw_legendre_basis(functions: list[BasisFunction], narrow: bool = False) -> Figure:
    """One panel per basis function: a row per degree, a column per interval; narrow (for a
    phone's screen, at full size there), two columns, each degree's intervals over several rows."""
    degree = max(f.degree for f in functions)
    n_t = max(f.interval for f in functions) + 1
    columns = 2 if narrow else n_t
    per_degree = -(-n_t // columns)  # rows of one degree
    rows = (degree + 1) * per_degree
    size = (3.9, 1.3 * rows + 1.0) if narrow else (8.0, 1.45 * (degree + 1) + 0.8)
    fig = Figure(figsize=size, dpi=DPI, layout="constrained")
    axes = fig.subplots(rows, columns, sharex=True, sharey=True, squeeze=False)
    ends = [f_times[0] for f_times in functions[0].times] + [functions[0].times[-1][-1]]
    for f in functions:
        ax = axes[f.degree * per_degree + f.interval // columns, f.interval % columns]
        colour = COLOURS[f.degree % len(COLOURS)]
        for t in ends:
            ax.axvline(t, color="0.9", linewidth=0.8, zorder=0)
        for m, (t, v) in enumerate(zip(f.times, f.values)):
            # One line per interval, never joined across an interval end.
            ax.plot(t, v, color=colour, linewidth=1.6, solid_capstyle="butt")
            jump = m > 0 and f.values[m - 1][-1] != v[0]
            if m == 0 or jump:
                ax.plot(t[0], v[0], "o", markersize=4.5, color=colour, zorder=4)  # value taken
            if jump:
                ax.plot(
                    f.times[m - 1][-1],
                    f.values[m - 1][-1],
                    "o",
                    markersize=5,
                    markerfacecolor="white",
                    markeredgecolor=colour,
                    markeredgewidth=1.3,
                    zorder=3,
                )  # limit from the left
        ax.plot(f.times[-1][-1], f.values[-1][-1], "o", markersize=4.5, color=colour, zorder=4)
        ax.set_title(f"$\\varphi_{{{f.index}}}$: $P_{f.degree}$ on interval {f.interval}", fontsize=9)
        ax.set_ylim(-1.3, 1.3)
        ax.set_yticks([-1, 0, 1])
        ax.set_xticks(ends, [f"{t:g}" for t in ends])
        ax.tick_params(axis="x", labelsize=7)
    for k in range(columns):
        axes[-1, k].set_xlabel("t")
    if narrow:
        fig.suptitle(
            f"Piecewise Legendre basis, degree {degree},\n{n_t} intervals of [0, {ends[-1]:g}]: "
            "each function jumps\nat the ends of its interval. Filled dot: the\nvalue there; "
            "open circle: the left limit",
            fontsize=9.5,
        )
        return fig
    fig.suptitle(
        f"Piecewise Legendre basis, degree {degree}, {n_t} intervals of [0, {ends[-1]:g}] (index i·n_t + k): "
        "each function jumps at the ends of its interval\nfilled dot: the value there; open circle: the limit "
        "from the left (an interior end belongs to the interval on its right)",
        fontsize=9.5,
    )
    return fig


# ---------------------------------------------------------------------------------------------
# 2. Prolongation of a coarse Lagrange function
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Prolongation:
    degree: int
    nt_coarse: int
    nt_fine: int
    coarse_points: Array
    coarse_values: Array
    fine_points: Array
    fine_values: Array  # the prolongation matrix times coarse_values
    times: Array
    coarse_curve: Array  # the coarse Lagrange function at times
    fine_curve: Array  # the fine Lagrange function of fine_values at times


def sine_and_square(t: Array) -> Array:
    """The function of the prolongation picture: sin(2 pi t) + t**2."""
    return np.sin(2 * np.pi * t) + t * t


def prolongation_data(
    f: Callable[[Array], Array] = sine_and_square,
    degree: int = 2,
    nt_coarse: int = 2,
    nt_fine: int = 6,
    T: float = 1.0,
    samples: int = 481,
) -> Prolongation:
    coarse = pn.LagrangeSpace(degree, nt_coarse, T)
    fine = pn.LagrangeSpace(degree, nt_fine, T)
    u = coarse.interpolate(f)
    u_fine = coarse.prolongation_to(fine) @ u  # csr_array of shape (fine.size, coarse.size)
    times = np.linspace(0.0, T, samples)
    return Prolongation(
        degree,
        nt_coarse,
        nt_fine,
        coarse.points,
        u,
        fine.points,
        u_fine,
        times,
        coarse.evaluate(u, times),
        fine.evaluate(u_fine, times),
    )


def draw_prolongation(data: Prolongation) -> Figure:
    fig = Figure(figsize=(7.5, 3.6), dpi=DPI, layout="constrained")
    ax = fig.subplots()
    T = data.times[-1]
    for t in np.linspace(0.0, T, data.nt_fine + 1):
        ax.axvline(t, color="0.9", linewidth=0.8, zorder=0)
    for t in np.linspace(0.0, T, data.nt_coarse + 1):
        ax.axvline(t, color="0.6", linewidth=1.0, zorder=0)
    ax.plot(
        data.times,
        data.coarse_curve,
        color="#9ecae1",
        linewidth=5,
        label=f"coarse function: degree {data.degree}, {data.nt_coarse} intervals",
    )
    ax.plot(
        data.times,
        data.fine_curve,
        color="#08306b",
        linewidth=1.2,
        linestyle=(0, (4, 3)),
        label=f"its prolongation, {data.nt_fine} intervals",
    )
    ax.plot(
        data.coarse_points,
        data.coarse_values,
        "s",
        markersize=9,
        markerfacecolor="none",
        markeredgecolor="#d62728",
        markeredgewidth=1.6,
        label=f"coarse nodes ({data.coarse_points.size})",
    )
    ax.plot(
        data.fine_points,
        data.fine_values,
        "o",
        markersize=4,
        color="#08306b",
        label=f"fine nodes ({data.fine_points.size}): P @ coarse values",
    )
    ax.set_xlabel("t  (dark lines: coarse interval ends; light lines: fine interval ends)")
    ax.set_ylabel("u(t)")
    ax.set_title(
        f"Prolongation P = lagrange_prolongation_matrix({data.nt_coarse}, {data.nt_fine}, {data.degree}): "
        "coarse nodal values to fine nodal values.\nThe fine partition refines the coarse one, "
        "so the function stays the same.",
        fontsize=9.5,
    )
    ax.legend(loc="lower left", frameon=False)
    return fig


# ---------------------------------------------------------------------------------------------
# 3. The two operators entry by entry
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class SparseOperator:
    title: str
    rows: npt.NDArray[np.int64]
    cols: npt.NDArray[np.int64]
    values: Array
    shape: tuple[int, int]

    def dense(self) -> Array:
        matrix = np.zeros(self.shape)
        matrix[self.rows, self.cols] = self.values
        return matrix


def _operator(title: str, triplets: tuple[list[int], list[int], list[float]], shape: tuple[int, int]) -> SparseOperator:
    rows, cols, values = triplets
    return SparseOperator(
        title, np.array(rows, dtype=np.int64), np.array(cols, dtype=np.int64), np.array(values, dtype=np.float64), shape
    )


def operator_matrices(
    degree: int = 2, nt_coarse: int = 2, nt_fine: int = 6, n_t: int = 4
) -> tuple[SparseOperator, SparseOperator]:
    """The prolongation (nt_coarse -> nt_fine) and the Lagrange-to-Legendre transformation (n_t)."""
    prolongation = _operator(
        f"lagrange_prolongation_matrix({nt_coarse}, {nt_fine}, {degree})",
        pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
        (nt_fine * degree + 1, nt_coarse * degree + 1),
    )
    transformation = _operator(
        f"lagrange_to_legendre_basis_transformation({degree}, {n_t})",
        pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t),
        ((degree + 1) * n_t, n_t * degree + 1),
    )
    return prolongation, transformation


def _draw_entries(ax: Axes, op: SparseOperator, norm: TwoSlopeNorm) -> None:
    matrix = np.ma.masked_equal(np.zeros(op.shape), 0.0)
    matrix[op.rows, op.cols] = op.values
    image = ax.imshow(matrix, cmap="RdBu_r", norm=norm, aspect="equal", interpolation="nearest")
    for r, c, v in zip(op.rows.tolist(), op.cols.tolist(), op.values.tolist()):
        rgba = image.cmap(norm(v))
        light = 0.299 * rgba[0] + 0.587 * rgba[1] + 0.114 * rgba[2] > 0.55
        ax.text(c, r, f"{v:.3g}", ha="center", va="center", fontsize=6.5, color="black" if light else "white")
    rows, cols = op.shape
    ax.set_xticks(np.arange(cols + 1) - 0.5, minor=True)
    ax.set_yticks(np.arange(rows + 1) - 0.5, minor=True)
    ax.grid(which="minor", color="0.85", linewidth=0.5)
    ax.tick_params(which="minor", length=0)
    ax.set_xticks(range(cols))
    ax.set_yticks(range(rows))
    for spine in ax.spines.values():
        spine.set_visible(True)
        spine.set_color("0.6")
    ax.set_title(f"{op.title}\nshape {op.shape}, {op.values.size} stored entries", fontsize=9)


def draw_operators(prolongation: SparseOperator, transformation: SparseOperator, degree: int, n_t: int) -> Figure:
    largest = max(np.abs(prolongation.values).max(), np.abs(transformation.values).max())
    norm = TwoSlopeNorm(vcenter=0.0, vmin=-largest, vmax=largest)
    fig = Figure(figsize=(9.0, 5.4), dpi=DPI, layout="constrained")
    left, right = fig.subplots(1, 2, width_ratios=[prolongation.shape[1] + 2, transformation.shape[1] + 2])
    _draw_entries(left, prolongation, norm)
    left.set_xlabel("column c: coarse node\n(global Lagrange numbering)")
    left.set_ylabel("row r: fine node (global Lagrange numbering)")
    _draw_entries(right, transformation, norm)
    right.set_xlabel("column j: Lagrange node k·degree + local node\n(interval ends shared by two intervals)")
    right.set_ylabel("row i·n_t + k: coefficient of $P_i$ on interval k (degree-major)")
    for i in range(1, degree + 1):
        right.axhline(i * n_t - 0.5, color="0.3", linewidth=1.0)
    for i in range(degree + 1):
        right.annotate(
            f"$P_{i}$",
            xy=(1.0, 1.0 - (i + 0.5) / (degree + 1)),
            xycoords="axes fraction",
            xytext=(4, 0),
            textcoords="offset points",
            va="center",
            fontsize=9,
        )
    fig.suptitle("The operators entry by entry (blank: not stored)", fontsize=10)
    return fig


# ---------------------------------------------------------------------------------------------
# 4. Errors against n_t: the demo's table, the Galerkin example's
# ---------------------------------------------------------------------------------------------


def _n_t_axis(ax: Axes, counts: Sequence[int]) -> None:
    """A logarithmic n_t axis labelled with the counts used, in plain numbers, and nothing else."""
    ax.set_xscale("log")
    ax.xaxis.set_major_locator(FixedLocator([float(n) for n in counts]))
    ax.xaxis.set_major_formatter(ScalarFormatter())
    ax.xaxis.set_minor_locator(NullLocator())
    ax.set_xlim(counts[0] / 1.15, counts[-1] * 1.15)
    ax.set_xlabel("n_t")


@dataclass(frozen=True)
class Series:
    """One line of an error plot: errors against n_t."""

    label: str
    n_t: tuple[int, ...]
    errors: tuple[float, ...]
    dashed: bool


def draw_error_panels(panels: list[tuple[str, list[Series]]], title: str) -> Figure:
    """Side by side, one panel per (title, lines): errors against n_t on log axes, one colour per
    line, its label in the legend of its panel."""
    fig = Figure(figsize=(4.2 * len(panels), 3.8), dpi=DPI, layout="constrained")
    for ax, (heading, lines) in zip(fig.subplots(1, len(panels)), panels):
        for index, line in enumerate(lines):
            ax.plot(
                line.n_t,
                line.errors,
                "--" if line.dashed else "-",
                marker="o",
                markersize=3.5,
                color=COLOURS[index % len(COLOURS)],
                label=line.label,
            )
        ax.set_yscale("log")
        _n_t_axis(ax, sorted({n for line in lines for n in line.n_t}))
        low, high = ax.get_ylim()
        ax.set_ylim(low / (high / low) ** 0.45, high)  # room below the lowest line for the legend
        ax.set_title(heading, fontsize=9.5)
        ax.set_ylabel("error")
        ax.grid(True, which="major", color="0.9", linewidth=0.6)
        ax.legend(loc="lower left", frameon=False, fontsize=7.5)
    fig.suptitle(title, fontsize=10)
    return fig


def _series(rows: list[demo.Row], pick: Callable[[demo.Row], tuple[float, ...]], which: int) -> list[Series]:
    return [
        Series(
            f"{row.name}: {row.orders(pick(row))[-1]:.2f} (expected {row.expected[which]})",
            row.n_t,
            pick(row),
            row.method == "cG",
        )
        for row in rows
    ]


def draw_convergence(rows: list[demo.Row]) -> Figure:
    """The demo's table: errors of dG(q) and cG(q) for the heat equation in L2 over [0, T] and at T."""
    return draw_error_panels(
        [
            ("in L2 over [0, T]; observed order of the finest pair", _series(rows, lambda r: r.l2, 0)),
            ("at T; observed order of the finest pair", _series(rows, lambda r: r.end, 1)),
        ],
        "The heat equation (examples/demo.py): dG(q) solid, cG(q) dashed, linear finite elements in space",
    )


def _draw_lagrange_slabs(ax: Axes, W: pn.LagrangeSpace, parts: int) -> None:
    """One line per slab: its intervals, the nodes it owns (filled) and its ghost (open)."""
    points = W.points
    for j, slab in enumerate(W.slabs(parts)):
        y = parts - 1 - j
        colour = COLOURS[j % len(COLOURS)]
        ax.plot([slab.t0, slab.t1], [y, y], color=colour, lw=2, solid_capstyle="butt")
        for k in range(slab.k0, slab.k1 + 1):
            ax.plot([k * W.dt] * 2, [y - 0.12, y + 0.12], color=colour, lw=1)
        for r in slab.rows:
            ax.plot(points[r], y, "o", ms=9, color=colour)
            ax.annotate(
                str(r),
                (points[r], y),
                xytext=(0, -15),
                textcoords="offset points",
                ha="center",
                va="center",
                fontsize=7,
            )
        if slab.k1 < W.n_t:
            ghost = slab.k1 * W.degree
            ax.plot(points[ghost], y, "o", ms=9, mfc="white", mec=colour, mew=1.5)
            ax.annotate(
                f"{ghost}\nghost",
                (points[ghost], y),
                xytext=(0, 14),
                textcoords="offset points",
                ha="center",
                va="center",
                fontsize=7,
                color=colour,
            )
        ax.text(-0.04 * W.T, y, f"slab {j}\nk = {slab.k0}..{slab.k1 - 1}", ha="right", va="center", fontsize=8)
    ax.set_title(
        f"Lagrange nodes, degree {W.degree}: a node belongs to the interval on its right, "
        "the last node to the last interval",
        fontsize=9,
    )
    ax.set_xlim(-0.3 * W.T, 1.04 * W.T)
    ax.set_ylim(-0.7, parts - 0.3)
    ax.axis("off")


def _draw_legendre_slabs(ax: Axes, V: pn.LegendreSpace, parts: int) -> None:
    """The degree-major vector as a grid: row i, column k holds position i*n_t + k."""
    owner: dict[int, int] = {}
    for j, slab in enumerate(V.slabs(parts)):
        for r in slab.rows:
            owner[int(r)] = j
    for i in range(V.degree + 1):
        for k in range(V.n_t):
            position = i * V.n_t + k
            colour = COLOURS[owner[position] % len(COLOURS)]
            ax.add_patch(Rectangle((k, V.degree - i), 0.94, 0.9, color=colour, alpha=0.8))
            ax.text(k + 0.47, V.degree - i + 0.45, str(position), ha="center", va="center", fontsize=8, color="white")
        ax.text(-0.15, V.degree - i + 0.45, f"P{i}", ha="right", va="center", fontsize=8)
    for k in range(V.n_t):
        ax.text(k + 0.47, V.degree + 1.15, f"k={k}", ha="center", va="center", fontsize=7)
    ax.set_title(
        "Legendre coefficients, degree-major (position i*n_t + k): a slab owns one range per degree", fontsize=9
    )
    ax.set_xlim(-2.0, V.n_t + 0.2)
    ax.set_ylim(-0.2, V.degree + 1.5)
    ax.set_aspect("equal")
    ax.axis("off")


def draw_slab_ownership(degree: int = 2, n_t: int = 7, parts: int = 3) -> Figure:
    """Which Lagrange nodes and Legendre coefficients each slab of ``slabs(parts)`` owns under the
    global numbering, as pwpoly_numpy's slabs report them."""
    W = pn.LagrangeSpace(degree, n_t, 1.0)
    fig = Figure(figsize=(7.5, 5.4))
    top, bottom = fig.subplots(2, 1, height_ratios=[1.3, 1.0])
    _draw_lagrange_slabs(top, W, parts)
    _draw_legendre_slabs(bottom, W.legendre_space(), parts)
    fig.suptitle(f"{n_t} intervals in {parts} slabs (W.slabs({parts}), V.slabs({parts}))", fontsize=10)
    fig.tight_layout()
    return fig


def draw_galerkin_orders(rows: list[galerkin_in_time.OrderRow]) -> Figure:
    """Time errors of dG(q) and cG(q) against n_t: at the interval ends (superconvergent) and in L2."""

    def lines(pick: Callable[[galerkin_in_time.OrderRow], tuple[float, ...]]) -> list[Series]:
        return [Series(f"{row.method}({row.degree})", row.n_t, pick(row), row.method == "cG") for row in rows]

    return draw_error_panels(
        [
            ("at the interval ends: order 2q+1 (dG), 2q (cG)", lines(lambda r: r.nodal)),
            ("L2 over [0, T]: order q+1", lines(lambda r: r.l2)),
        ],
        "u_t = u_xx by second differences (examples/galerkin_in_time.py): dG(q) solid, cG(q) dashed",
    )


# ---------------------------------------------------------------------------------------------
# 6. A graded partition for a weak singularity
# ---------------------------------------------------------------------------------------------


def sqrt_t(t: Array) -> Array:
    return np.sqrt(np.maximum(t, 0.0))


def graded_space(degree: int, n_t: int, grading: int) -> pn.LegendreSpace:
    """The space on the breakpoints (k / n_t)**grading of [0, 1] (grading 1: equal intervals)."""
    if grading == 1:
        return pn.LegendreSpace(degree, n_t, 1.0)
    return pn.LegendreSpace(degree, breakpoints=(np.arange(n_t + 1) / n_t) ** grading)


def projection_error(V: pn.LegendreSpace, points: int = 12) -> float:
    """L2 error of the projection of sqrt(t) onto V, by Gauss rules of `points` points per interval."""
    t, weights = demo.gauss_times(V, points)
    error = V.evaluate(V.project(sqrt_t), t) - sqrt_t(t)
    return float(np.sqrt(np.sum(weights * error**2)))


@dataclass(frozen=True)
class GradedErrors:
    degree: int
    n_t: list[int]
    errors: dict[int, list[float]]  # by grading: 1 (equal intervals), 3 ((k/n)**3)

    def order(self, grading: int) -> float:
        """Observed order of the finest pair."""
        e = self.errors[grading]
        return float(np.log(e[-2] / e[-1]) / np.log(self.n_t[-1] / self.n_t[-2]))


def graded_mesh_errors(degree: int = 2, counts: tuple[int, ...] = (4, 8, 16, 32, 64, 128)) -> GradedErrors:
    return GradedErrors(
        degree, list(counts), {g: [projection_error(graded_space(degree, n, g)) for n in counts] for g in (1, 3)}
    )


def draw_graded_mesh(errors: GradedErrors, n_t: int = 8) -> Figure:
    fig = Figure(figsize=(9.0, 3.8), dpi=DPI, layout="constrained")
    left, right = fig.subplots(1, 2)
    zoom = 2.0 / n_t  # the first two equal intervals
    t = np.linspace(0.0, zoom, 801)
    left.plot(t, sqrt_t(t), color="0.75", lw=6, label="u = sqrt(t)")
    # Every curve over the whole axis, each piece cut at its interval's ends and at the axis's end;
    # each narrower than the one below it, so that all show where they lie close.
    for index, grading in enumerate((1, 3)):
        V = graded_space(errors.degree, n_t, grading)
        c = V.project(sqrt_t)
        ends = V.breakpoints
        for k in range(int(np.searchsorted(ends, zoom, side="left"))):
            right_end = np.nextafter(ends[k + 1], 0.0) if ends[k + 1] <= zoom else zoom
            local = np.linspace(ends[k], right_end, 60)
            left.plot(
                local,
                V.evaluate(c, local),
                color=COLOURS[index],
                lw=1.2 if grading == 1 else 3.0,
                zorder=3 if grading == 1 else 2,
                label=None if k else ("equal intervals" if grading == 1 else "breakpoints (k/n)³"),
            )
        shown = ends[ends <= zoom]
        left.plot(shown, np.full(shown.shape, -0.04 - 0.04 * index), "|", color=COLOURS[index], ms=8)
    left.set_xlim(-0.02 * zoom, zoom)
    left.set_ylim(-0.1, 1.1 * float(np.sqrt(zoom)))
    left.set_title(f"Projection onto degree {errors.degree}, n_t = {n_t}, near t = 0; ticks: breakpoints", fontsize=9.5)
    left.set_xlabel("t")
    left.legend(loc="lower right", frameon=False)
    for index, grading in enumerate((1, 3)):
        label = "equal intervals" if grading == 1 else "breakpoints (k/n)³"
        right.loglog(
            errors.n_t,
            errors.errors[grading],
            "o-",
            color=COLOURS[index],
            markersize=4,
            label=f"{label}: order {errors.order(grading):.2f}",
        )
    right.set_title("L2 error of the projection", fontsize=9.5)
    right.set_xlabel("n_t")
    right.set_xticks(errors.n_t, [str(n) for n in errors.n_t])
    right.minorticks_off()
    right.grid(True, which="major", color="0.9", linewidth=0.6)
    right.legend(loc="lower left", frameon=False)
    fig.suptitle("A weak singularity at t = 0: graded breakpoints restore the order of the degree", fontsize=10)
    return fig


# ---------------------------------------------------------------------------------------------


def save(fig: Figure, path: Path) -> None:
    """PNG with a palette of 256 colours and no metadata (no time stamp, no software version),
    so that the files are small and reruns give the same bytes."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=DPI, metadata={"Software": None})
    with Image.open(buffer) as image:
        palette = image.convert("RGB").quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette.save(path, optimize=True)


def render_all(directory: Path) -> list[Path]:
    directory.mkdir(parents=True, exist_ok=True)
    prolongation, transformation = operator_matrices()
    figures: dict[str, Callable[[], Figure]] = {
        "legendre_basis.png": lambda: draw_legendre_basis(legendre_basis_functions()),
        "legendre_basis_narrow.png": lambda: draw_legendre_basis(legendre_basis_functions(), narrow=True),
        "prolongation.png": lambda: draw_prolongation(prolongation_data()),
        "operator_sparsity.png": lambda: draw_operators(prolongation, transformation, degree=2, n_t=4),
        "convergence.png": lambda: draw_convergence(demo.table()),
        "slab_ownership.png": draw_slab_ownership,
        "galerkin_orders.png": lambda: draw_galerkin_orders(galerkin_in_time.order_table()),
        "graded_mesh.png": lambda: draw_graded_mesh(graded_mesh_errors()),
    }
    written = []
    with matplotlib.rc_context(
        {
            "font.size": 9,
            "axes.titlesize": 10,
            "axes.labelsize": 9,
            "legend.fontsize": 8,
            "xtick.labelsize": 8,
            "ytick.labelsize": 8,
            "axes.spines.top": False,
            "axes.spines.right": False,
        }
    ):
        for name, draw in figures.items():
            path = directory / name
            save(draw(), path)
            written.append(path)
    return written


def output_directory(argv: list[str]) -> Path:
    if len(argv) > 1:
        return Path(argv[1])
    if os.environ.get("PWPOLY_EXAMPLE_OUTPUT"):
        return Path(os.environ["PWPOLY_EXAMPLE_OUTPUT"])
    return Path(__file__).resolve().parent.parent / "docs" / "images"


def main() -> None:
    for path in render_all(output_directory(sys.argv)):
        print(f"wrote {path} ({path.stat().st_size // 1024} kB)")


if __name__ == "__main__":
    main()
