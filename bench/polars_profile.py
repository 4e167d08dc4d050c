"""The profiler's job in polars, as a user of polars would write it: the file read, then per
numeric column its statistics and |z| > 4 count, per text column its value counts and rare
categories (by the profiler's rule), and Cramér's V of every pair of text columns over the
rows where both have a value. Prints a JSON summary.

    python bench/polars_profile.py FILE.csv|FILE.parquet
"""

import json
import os
import sys
import time

import numpy as np
import polars as pl

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from profiler import rules  # noqa: E402

# The profiler's fewest rows per cell of a pair's table for χ² (profiler.encoding's, which
# imports pyarrow: the bench checks that the two agree).
MIN_PER_CELL = 5


def polars_job(frame, measurements, categorical, z=4.0, codes=True):
    """Statistics and outlier counts, rare categories by the profiler's rule, and V of each
    pair over complete rows that is not too sparse, in polars expressions over categorical
    codes or the text."""
    stats = []
    for c in measurements:
        x = pl.col(c).fill_nan(None)
        mean, std = x.mean(), x.std(ddof=0)
        parts = [mean, std, x.min(), x.max(), ((x - mean).abs() > z * std).sum()]
        stats += [part.alias(f"{c} {k}") for k, part in enumerate(parts)]
    result = {"stats": frame.select(stats), "rare": {}, "v": {}}
    if codes:
        frame = frame.select(pl.col(c).cast(pl.Categorical).to_physical() for c in categorical)
    for c in categorical:
        counts = frame.get_column(c).drop_nulls().value_counts().get_column("count").sort()
        half = np.searchsorted(counts.cum_sum().to_numpy(), counts.sum() / 2)
        by_share = max(rules.RARE_SHARE * counts.sum(), rules.RARE_SMALL_COUNT)
        limit = min(by_share, rules.RARE_VS_TYPICAL * counts[int(half)])
        result["rare"][c] = int((counts < limit).sum())
    for i, a in enumerate(categorical):
        for b in categorical[i + 1 :]:
            # As the report: no V for a pair whose table has too few rows per cell for χ².
            both = frame.select(a, b).drop_nulls()
            kx, ky = both.get_column(a).n_unique(), both.get_column(b).n_unique()
            if both.height < MIN_PER_CELL * kx * ky:
                result["v"][a, b] = float("nan")
                continue
            cells = both.group_by(a, b).len()
            cells = cells.with_columns(pl.col("len").cast(pl.Float64))
            n = cells.get_column("len").sum()
            expected = pl.col("len").sum().over(a) * pl.col("len").sum().over(b) / n
            cells = cells.with_columns(e=expected)
            # Cells never seen add their expected count; all expected counts add up to n.
            chi2 = cells.select(((pl.col("len") - pl.col("e")) ** 2 / pl.col("e")).sum()).item()
            chi2 += n - cells.get_column("e").sum()
            k = min(cells.get_column(a).n_unique(), cells.get_column(b).n_unique())
            result["v"][a, b] = float(np.sqrt(chi2 / ((k - 1) * n)))
    return result


def main(path):
    start = time.perf_counter()
    frame = pl.read_parquet(path) if path.endswith(".parquet") else pl.read_csv(path)
    read_s = time.perf_counter() - start
    measurements = [c for c, kind in frame.schema.items() if kind.is_numeric()]
    categorical = [c for c, kind in frame.schema.items() if kind == pl.String]
    result = polars_job(frame, measurements, categorical)
    profile_s = time.perf_counter() - start - read_s
    print(
        json.dumps(
            {
                "outliers": {c: result["stats"].item(0, f"{c} 4") for c in measurements},
                "rare": result["rare"],
                "v": {" ".join(pair): v for pair, v in result["v"].items()},
                "seconds": {"read": read_s, "profile": profile_s},
            }
        )
    )


if __name__ == "__main__":
    main(sys.argv[1])
