"""The residual histories of parareal and MGRIT, written as a PNG file.

    python examples/parallel_in_time_pictures.py [OUTPUT_DIR]

writes mgrit_residuals.png into OUTPUT_DIR, else into $PWPOLY_EXAMPLE_OUTPUT when set, else into
docs/images/ (as examples/pictures.py does): the relative residual per iteration of ``pn.mgrit``
with 2 to 5 levels (coarsening 4, F and FCF relaxation) and of ``pn.parareal`` on 8 slabs, for
dG(1) on the 1D heat equation, in one process (the histories are the same on any number). Runs
whose histories coincide on the plot are drawn as one line with one legend entry.
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
    method: str = "parareal"
    relaxation: str = ""
    levels: tuple[int, ...] = ()


def drawn_alike(a: History, b: History) -> bool:
    """Histories one line on the plot: at every iteration both have, the residuals within a tenth
    of a decade of each other (a few pixels), exact zeros alike."""
    shared = min(len(a.residuals), len(b.residuals))
    x, y = np.array(a.residuals[:shared]), np.array(b.residuals[:shared])
    if np.any((x > 0.0) != (y > 0.0)):
        return False
    positive = x > 0.0
    return bool(np.all(np.abs(np.log10(x[positive]) - np.log10(y[positive])) <= 0.1))


def merged(histories: list[History]) -> list[History]:
    """One history per visible line: MGRIT runs of one relaxation whose residuals coincide drawn
    once, labelled with all their level counts."""
    lines: list[History] = []
    for history in histories:
        same = next(
            (
                i
                for i, line in enumerate(lines)
                if line.method == history.method == "mgrit"
                and line.relaxation == history.relaxation
                and drawn_alike(line, history)
            ),
            None,
        )
        if same is None:
            lines.append(history)
            continue
        levels = (*lines[same].levels, *history.levels)
        counts = ", ".join(map(str, levels))
        if len(levels) > 2 and levels == tuple(range(levels[0], levels[-1] + 1)):
            counts = f"{levels[0]}\N{EN DASH}{levels[-1]}"
        longer = max(lines[same].residuals, history.residuals, key=len)
        lines[same] = History(
            f"mgrit, {counts} levels, {history.relaxation}", longer, "mgrit", history.relaxation, levels
        )
    return lines


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
            "mgrit",
            relaxation,
            (levels,),
        )
        for relaxation in ("FCF", "F")
        for levels in (2, 3, 4, 5)
    ]
    histories.append(History("parareal, 8 slabs", pn.parareal(V, A, u0, parts=8, tol=TOL).residuals))
    return histories


def draw_residuals(histories: list[History]) -> Figure:
    fig = Figure(figsize=(8.0, 3.6))
    ax = fig.add_subplot()
    markers = {2: "o", 3: "s", 4: "^", 5: "x"}
    for i, history in enumerate(merged(histories)):  # one legend entry per visible line
        mgrit = history.method == "mgrit"
        style = "-" if history.relaxation == "FCF" else "--" if mgrit else ":"
        marker = markers.get(history.levels[0], ".") if len(history.levels) == 1 else "."
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
