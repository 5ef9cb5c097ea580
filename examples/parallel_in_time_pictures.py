"""The residual histories of parareal and MGRIT, written as a PNG file.

    python examples/parallel_in_time_pictures.py [OUTPUT_DIR]

writes mgrit_residuals.png into OUTPUT_DIR, else into $PWPOLY_EXAMPLE_OUTPUT when set, else into
docs/images/ (as examples/pictures.py does): the relative residual per iteration of ``pn.mgrit``
with 2 to 5 levels (coarsening 4, F and FCF relaxation) and of ``pn.parareal`` on 8 slabs, for
dG(1) on the 1D heat equation, in one process (the histories are the same on any number).
"""

import sys
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pictures
import scipy.sparse
from matplotlib.figure import Figure

import pwpoly_numpy as pn

N_X = 63  # interior points of the finite differences
N_T = 1024  # dG(1) intervals of [0, T]
T = 0.5
TOL = 1e-10


@dataclass(frozen=True)
class History:
    label: str
    residuals: tuple[float, ...]


def heat() -> tuple[scipy.sparse.csr_array, np.ndarray]:
    """u_t = u_xx on (0, 1) by second differences, and a hat as the initial value."""
    h = 1.0 / (N_X + 1)
    A = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(N_X, N_X), format="csr") / h**2
    x = np.arange(1, N_X + 1) * h
    return A, np.minimum(x, 1.0 - x)


def residual_histories() -> list[History]:
    A, u0 = heat()
    V = pn.LegendreSpace(1, N_T, T)
    histories = [
        History(
            f"mgrit, {levels} levels, {relaxation}",
            pn.mgrit(V, A, u0, levels=levels, coarsening=4, relaxation=relaxation, tol=TOL).residuals,
        )
        for relaxation in ("FCF", "F")
        for levels in (2, 3, 4, 5)
    ]
    histories.append(History("parareal, 8 slabs", pn.parareal(V, A, u0, parts=8, tol=TOL).residuals))
    return histories


def draw_residuals(histories: list[History]) -> Figure:
    fig = Figure(figsize=(8.0, 3.6))
    ax = fig.add_subplot()
    markers = {"2 levels": "o", "3 levels": "s", "4 levels": "^", "5 levels": "x"}
    for i, history in enumerate(histories):
        mgrit = history.label.startswith("mgrit")
        style = "-" if "FCF" in history.label else "--" if mgrit else ":"
        marker = next((m for key, m in markers.items() if key in history.label), ".")
        shown = [(k, r) for k, r in enumerate(history.residuals) if r > 0.0]  # exact zeros off the log scale
        ax.semilogy([k for k, _ in shown], [r for _, r in shown], style, marker=marker, markersize=4,
                    markerfacecolor="none", color=pictures.COLOURS[i % 4] if mgrit else "0.3",
                    label=history.label)  # fmt: skip
    ax.axhline(TOL, color="0.6", linewidth=0.6)
    ax.set_xlabel("iteration")
    ax.set_ylabel("relative residual (jumps at the C-points)")
    ax.grid(True, which="major", color="0.9", linewidth=0.6)
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)
    ax.set_title(f"dG(1), 1D heat equation, {N_X} unknowns, {N_T} intervals", fontsize=9.5)
    fig.tight_layout()
    return fig


def main() -> None:
    directory = pictures.output_directory(sys.argv)
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / "mgrit_residuals.png"
    histories = residual_histories()
    for history in histories:
        print(f"{history.label}: {len(history.residuals) - 1} iterations")
    with matplotlib.rc_context({"font.size": 9, "axes.spines.top": False, "axes.spines.right": False}):
        pictures.save(draw_residuals(histories), path)
    print(f"wrote {path} ({path.stat().st_size // 1024} kB)")


if __name__ == "__main__":
    main()
