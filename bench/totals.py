"""sum and mean over an index, a view and per group, against numpy, pandas and polars summing
the same values in the same run.

    python bench/totals.py [--size 1000000] [--seed 7]

The objects are the suite's (bench/common.py): age an int in 0..99, score a float in [0, 100),
city one of 50. The index answers over the objects' current values; the peers sum columns built
from the same rows. Each line gives the best of several runs and the index's time over the peer's.
"""
import argparse
import math
import statistics

import common
from PyVorlane import PyQueryExpr as Q


def peers(rows):
    """The peers' columns of the rows: numpy arrays, a pandas frame and a polars frame."""
    import numpy as np
    import pandas as pd
    import polars as pl
    age = np.fromiter((r[1] for r in rows), dtype=np.int64, count=len(rows))
    score = np.fromiter((r[2] for r in rows), dtype=np.float64, count=len(rows))
    city = [r[4] for r in rows]
    return {
        "numpy": {"age": age, "score": score},
        "pandas": pd.DataFrame({"age": age, "score": score, "city": city}),
        "polars": pl.DataFrame({"age": age, "score": score, "city": city}),
    }


def check(name, got, want):
    ok = got == want if isinstance(want, int) else math.isclose(got, want, rel_tol=1e-12)
    if not ok:
        raise SystemExit(f"FAIL: {name} gave {got!r}, the values give {want!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    n = args.size

    common.log(f"{n:,} objects (seed {args.seed})")
    rows = common.make_rows(n, args.seed)
    idx = common.bulk(common.make_people(rows))
    cols = peers(rows)
    view = idx.reduced_query(Q.lt("age", 50))
    ages = [r[1] for r in rows]
    scores = [r[2] for r in rows]

    # What the values give, computed once in Python.
    check("sum(age)", idx.sum("age"), sum(ages))
    check("mean(score)", idx.mean("score"), statistics.fmean(scores))
    check("view sum(score)", view.sum("score"), math.fsum(s for a, s in zip(ages, scores) if a < 50))
    by_city = dict(idx.group_by("city").mean("score"))
    want_city = {}
    for r in rows:
        want_city.setdefault(r[4], []).append(r[2])
    for c, vals in want_city.items():
        check(f"group mean(score) {c}", by_city[c], statistics.fmean(vals))

    np_, pd_, pl_ = cols["numpy"], cols["pandas"], cols["polars"]
    import polars as pl
    cases = [
        ("sum(age)", lambda: idx.sum("age"), {
            "numpy": lambda: int(np_["age"].sum()),
            "pandas": lambda: int(pd_["age"].sum()),
            "polars": lambda: pl_["age"].sum()}),
        ("mean(score)", lambda: idx.mean("score"), {
            "numpy": lambda: float(np_["score"].mean()),
            "pandas": lambda: float(pd_["score"].mean()),
            "polars": lambda: pl_["score"].mean()}),
        ("sum(score)", lambda: idx.sum("score"), {
            "numpy": lambda: float(np_["score"].sum()),
            "polars": lambda: pl_["score"].sum()}),
        ("view age<50: sum(score)", lambda: view.sum("score"), {
            "numpy": lambda: float(np_["score"][np_["age"] < 50].sum()),
            "polars": lambda: pl_.filter(pl.col("age") < 50)["score"].sum()}),
        ("group_by(city).sum(age)", lambda: idx.group_by("city").sum("age"), {
            "pandas": lambda: pd_.groupby("city")["age"].sum(),
            "polars": lambda: pl_.group_by("city").agg(pl.col("age").sum())}),
        ("group_by(city).mean(score)", lambda: idx.group_by("city").mean("score"), {
            "pandas": lambda: pd_.groupby("city")["score"].mean(),
            "polars": lambda: pl_.group_by("city").agg(pl.col("score").mean())}),
        # The groups alone (found by their equality queries), with nothing to total.
        ("group_by(city).count(absent)", lambda: idx.group_by("city").count("absent"), {}),
        ("group_by(city).count()", lambda: idx.group_by("city").count(), {
            "pandas": lambda: pd_.groupby("city").size(),
            "polars": lambda: pl_.group_by("city").len()}),
    ]
    common.log(f"{'answer':<28} {'index':>10}   " + "   ".join(f"{p:>16}" for p in ("numpy", "pandas", "polars")))
    for name, ours, theirs in cases:
        t, _ = common.best(ours, min_runs=5, max_runs=50, budget=1.0)
        cells = []
        for peer in ("numpy", "pandas", "polars"):
            if peer not in theirs:
                cells.append(f"{'-':>16}")
                continue
            tp, _ = common.best(theirs[peer], min_runs=5, max_runs=50, budget=1.0)
            cells.append(f"{common.fmt_ms(tp):>9} {t / tp:5.1f}x")
        common.log(f"{name:<28} {common.fmt_ms(t):>10}   " + "   ".join(cells))


if __name__ == "__main__":
    main()
