"""A seeded table of web shop sessions, with what was planted in it."""

from __future__ import annotations

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from .format import count

# One planted outlier or missing value in so many rows of the built-in table.
SLOW_EVERY, UNRECORDED_EVERY, STUCK_EVERY = 4000, 1000, 25000


def builtin_frame(rows: int, seed: int = 2026) -> pd.DataFrame:
    """A seeded table of web shop sessions with planted outliers, rare categories, missing
    values, two associated pairs of categorical columns and one independent column."""
    rng = np.random.default_rng(seed)

    def planted(count: int) -> NDArray[np.intp]:
        return rng.choice(rows, size=count, replace=False)

    def categorical(labels: list[str], codes: NDArray[np.intp]) -> pd.Categorical[str]:
        return pd.Categorical.from_codes(codes, pd.Index(labels))

    def depending(parent: NDArray[np.intp], chances: list[list[float]]) -> NDArray[np.intp]:
        """A column whose category follows each parent category with its own chances."""
        cumulative = np.cumsum(np.array(chances), axis=1)
        cumulative /= cumulative[:, -1:]
        draw = rng.random(rows)[:, np.newaxis]
        chosen: NDArray[np.intp] = (draw > cumulative[parent]).sum(axis=1)
        return chosen

    latency = rng.lognormal(3.0, 0.25, rows)
    latency[planted(rows // SLOW_EVERY)] *= 8  # slow requests
    basket = rng.gamma(2.0, 20.0, rows).round(2)
    basket[planted(rows // UNRECORDED_EVERY)] = np.nan  # not recorded
    temperature = rng.normal(21.0, 2.5, rows)
    temperature[planted(rows // STUCK_EVERY)] = 85.0  # a stuck sensor

    countries = ["US", "DE", "FR", "GB", "ES", "IT", "NL", "PL", "SE", "BR", "JP", "IN", "IS", "LU"]
    weights = np.append(1 / np.arange(1, 13), [0.0012, 0.0012])  # Iceland and Luxembourg: rare
    country = rng.choice(len(countries), rows, p=weights / weights.sum())
    plans = ["free", "pro", "team", "enterprise"]
    plan = depending(country, rng.dirichlet([4.0, 2.0, 1.0, 0.5], len(countries)).tolist())
    device = rng.choice(3, rows, p=[0.6, 0.35, 0.05])
    systems = ["Android", "iOS", "Windows", "macOS", "Linux", "iPadOS", "HarmonyOS"]
    system = depending(
        device,
        [
            [0.55, 0.449, 0, 0, 0, 0, 0.001],  # phone
            [0, 0, 0.7, 0.25, 0.05, 0, 0],  # desktop
            [0.3, 0, 0, 0, 0, 0.7, 0],  # tablet
        ],
    )
    system[planted(rows * 3 // 1000)] = -1  # not reported by the browser
    channels = ["search", "ads", "social", "email", "referral"]
    channel = rng.choice(len(channels), rows, p=[0.4, 0.25, 0.15, 0.1, 0.1])

    return pd.DataFrame(
        {
            "latency_ms": latency,
            "basket_eur": basket,
            "temperature_c": temperature,
            "items": rng.poisson(3.0, rows),
            "country": categorical(countries, country),
            "plan": categorical(plans, plan),
            "device": categorical(["phone", "desktop", "tablet"], device),
            "os": categorical(systems, system),
            "channel": categorical(channels, channel),
        }
    )


def builtin_note(frame: pd.DataFrame) -> str:
    """What was planted in the built-in table, as far as its size has room for it."""
    rows = len(frame)
    planted = []
    if rows // SLOW_EVERY:
        planted.append(f"{count(rows // SLOW_EVERY, 'slow request')} in latency_ms")
    if rows // STUCK_EVERY:
        planted.append(
            f"{count(rows // STUCK_EVERY, 'stuck sensor reading')} of 85 in temperature_c"
        )
    gaps = [
        f"{int(frame[c].isna().sum()):,} in {c}"
        for c in ("basket_eur", "os")
        if frame[c].isna().any()
    ]
    if gaps:
        planted.append("missing values, " + " and ".join(gaps))
    rare = []
    for column, labels in (("country", ["IS", "LU"]), ("os", ["HarmonyOS"])):
        seen = [
            f"{label} ({n:,})" for label in labels if (n := int((frame[column] == label).sum()))
        ]
        if seen:
            rare.append(f"{' and '.join(seen)} in {column}")
    if rare:
        planted.append("the rare categories " + ", ".join(rare))
    if planted:
        text = "Planted: " + "; ".join(planted) + "."
    else:
        text = (
            f"Planted outliers, missing values and rare categories: none in {count(rows, 'row')}."
        )
    return text + " By design os depends on device, plan on country, and channel on nothing."
