"""Draws the slab ownership rule into docs/images/slab_ownership.png (or the file given).

    python examples/draw_slab_ownership.py [FILE]

A degree 2 space of 7 intervals split into 3 slabs: which Lagrange nodes and which Legendre
coefficients each slab owns under the global numbering, as pwpoly_numpy's slabs report them.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pwpoly_numpy as pn  # noqa: E402

DEGREE, N_T, PARTS = 2, 7, 3
COLOURS = ["#1f77b4", "#d62728", "#2ca02c"]


def draw_lagrange(ax, W):
    """One line per slab: its intervals, the nodes it owns (filled) and its ghost (open)."""
    points = W.points
    for j, slab in enumerate(W.slabs(PARTS)):
        y = PARTS - 1 - j
        colour = COLOURS[j]
        ax.plot([slab.t0, slab.t1], [y, y], color=colour, lw=2, solid_capstyle="butt")
        for k in range(slab.k0, slab.k1 + 1):
            ax.plot([k * W.dt] * 2, [y - 0.12, y + 0.12], color=colour, lw=1)
        for r in slab.rows:
            ax.plot(points[r], y, "o", ms=9, color=colour)
            ax.annotate(str(r), (points[r], y), xytext=(0, -15), textcoords="offset points",
                        ha="center", va="center", fontsize=7)
        if slab.k1 < W.n_t:
            ghost = slab.k1 * W.degree
            ax.plot(points[ghost], y, "o", ms=9, mfc="white", mec=colour, mew=1.5)
            ax.annotate(f"{ghost}\nghost", (points[ghost], y), xytext=(0, 14), textcoords="offset points",
                        ha="center", va="center", fontsize=7, color=colour)
        ax.text(-0.04 * W.T, y, f"slab {j}\nk = {slab.k0}..{slab.k1 - 1}", ha="right", va="center", fontsize=8)
    ax.set_title(f"Lagrange nodes, degree {W.degree}: a node belongs to the interval on its right, "
                 "the last node to the last interval", fontsize=9)
    ax.set_xlim(-0.3 * W.T, 1.04 * W.T)
    ax.set_ylim(-0.7, PARTS - 0.3)
    ax.axis("off")


def draw_legendre(ax, V):
    """The degree-major vector as a grid: row i, column k holds position i*n_t + k."""
    owner = {}
    for j, slab in enumerate(V.slabs(PARTS)):
        for r in slab.rows:
            owner[int(r)] = j
    for i in range(V.degree + 1):
        for k in range(V.n_t):
            position = i * V.n_t + k
            colour = COLOURS[owner[position]]
            ax.add_patch(plt.Rectangle((k, V.degree - i), 0.94, 0.9, color=colour, alpha=0.8))
            ax.text(k + 0.47, V.degree - i + 0.45, str(position), ha="center", va="center", fontsize=8, color="white")
        ax.text(-0.15, V.degree - i + 0.45, f"P{i}", ha="right", va="center", fontsize=8)
    for k in range(V.n_t):
        ax.text(k + 0.47, V.degree + 1.15, f"k={k}", ha="center", va="center", fontsize=7)
    ax.set_title("Legendre coefficients, degree-major (position i*n_t + k): a slab owns one range per degree",
                 fontsize=9)
    ax.set_xlim(-2.0, V.n_t + 0.2)
    ax.set_ylim(-0.2, V.degree + 1.5)
    ax.set_aspect("equal")
    ax.axis("off")


def main():
    root = Path(__file__).resolve().parent.parent
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "docs" / "images" / "slab_ownership.png"
    W = pn.LagrangeSpace(DEGREE, N_T, 1.0)
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(7.5, 5.4), height_ratios=[1.3, 1.0])
    draw_lagrange(top, W)
    draw_legendre(bottom, W.legendre_space())
    figure.suptitle(f"{N_T} intervals in {PARTS} slabs (W.slabs({PARTS}), V.slabs({PARTS}))", fontsize=10)
    figure.tight_layout()
    target.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(target, dpi=110, metadata={"Software": None})  # no version stamp: same bytes each run
    print(target)


if __name__ == "__main__":
    main()
