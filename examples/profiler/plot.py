"""The Cramér's V matrix drawn as a picture (matplotlib, without pyplot)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from .encoding import MIN_PER_CELL, Table
from .format import count
from .profile import Profile
from .report import FEW_ROWS_SHARE

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def cramers_v_figure(table: Table, profile: Profile) -> Figure:
    # Drawn without pyplot, so no display or GUI backend is involved.
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    names, rows, sparse = profile.v_columns, profile.pair_rows, profile.sparse_pairs()
    v = np.where(sparse, np.nan, profile.cramers_v)
    size = 2.5 + 0.9 * len(names)
    fig = Figure(figsize=(size + 1.5, size + 0.5), layout="constrained")
    ax = fig.add_subplot()
    cmap = colormaps["viridis"].with_extremes(bad="lightgrey")  # undefined or not shown
    image = ax.imshow(v, vmin=0.0, vmax=1.0, cmap=cmap)
    ax.set_xticks(range(len(names)), names, rotation=45, ha="right")
    ax.set_yticks(range(len(names)), names)
    notes = set()
    for (i, j), value in np.ndenumerate(v):
        if profile.one_to_one[i, j]:
            text, color = "1:1", "black"
            notes.add("1:1: the two columns code the same thing (V = 1)")
        elif sparse[i, j]:
            text, color = "sparse", "black"
            notes.add(f"sparse: fewer rows than {MIN_PER_CELL} per cell of the pair's table")
        elif math.isnan(value):
            text, color = "n/a", "black"
            notes.add(
                "n/a: undefined, a column has one category in the rows where both have a value"
            )
        else:
            text, color = f"{value:.2f}", "black" if value > 0.6 else "white"
            if i != j and rows[i, j] < FEW_ROWS_SHARE * table.rows:
                text += f"\nn={rows[i, j]:,}"
                notes.add(
                    f"n=: rows where both have a value, where fewer than {FEW_ROWS_SHARE:.0%}"
                )
        ax.text(j, i, text, ha="center", va="center", color=color, fontsize=9)
    fig.colorbar(image, ax=ax, label="Cramér's V")
    ax.set_title(f"Cramér's V of the categorical columns\n{table.name}, {count(table.rows, 'row')}")
    if notes:
        fig.supxlabel("\n".join(sorted(notes)), fontsize=8)
    return fig
