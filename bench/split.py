"""Where PyVorlane's time goes in each query of the suite: finding the ids (the query
alone, which returns a view) against building the list of objects (`collect()`), on the
suite's data. Best of several runs each; the list slice `people[:]` (the same reference
increments and pointer copies, in list order) is the reference for `collect()`.

    .venv/bin/python bench/split.py [--sizes 1000000] [--seed 1]
"""
import argparse
import gc
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from PyVorlane import PyQueryExpr as Q  # noqa: E402
from common import best, bulk, make_people, make_rows  # noqa: E402
from peers import AGE, AGES5, CITY, INFIX, PREFIX, TAG, VIEW_AGE  # noqa: E402


RUNS = 15


def best_of(fn):
    """Best of RUNS runs, the collector off; freeing the answer is not part of its time."""
    return best(fn, RUNS, RUNS, 0)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    for n in args.sizes:
        people = make_people(make_rows(n, args.seed))
        idx = bulk(people)
        view = idx.reduced(city=CITY)
        cases = [
            (f"age == {AGE}", idx, Q.eq("age", AGE)),
            (f"city == '{CITY}'", idx, Q.eq("city", CITY)),
            ("score bt(30, 31)", idx, Q.bt("score", 30.0, 31.0)),
            ("age & city & active & group", idx,
             Q.and_(Q.eq("age", AGE), Q.eq("city", CITY), Q.eq("active", True), Q.eq("group", "member"))),
            (f"name starts_with '{PREFIX}'", idx, Q.starts_with("name", PREFIX)),
            (f"name contains '{INFIX}'", idx, Q.contains("name", INFIX)),
            ("age in_ 5 values", idx, Q.in_("age", AGES5)),
            (f"not_(city == '{CITY}')", idx, Q.not_(Q.eq("city", CITY))),
            (f"tags has '{TAG}'", idx, Q.eq("tags", TAG)),
            (f"view(city).reduced(age > {VIEW_AGE})", view, Q.gt("age", VIEW_AGE)),
        ]
        print(f"\n{n:,} objects: ms (best of {RUNS})\n")
        print("| query | hits | query alone | collect() | all | collect ns/object |")
        print("|---|---:|---:|---:|---:|---:|")
        for label, source, q in cases:
            found = source.reduced_query(q)
            hits = len(found.collect())
            alone = best_of(lambda: source.reduced_query(q))
            collect = best_of(lambda: found.collect())
            whole = best_of(lambda: source.reduced_query(q).collect())
            per = collect / hits * 1e9 if hits else 0.0
            print(f"| {label} | {hits:,} | {alone * 1e3:.3f} | {collect * 1e3:.3f} | {whole * 1e3:.3f} | {per:.1f} |")
        sliced = best_of(lambda: people[:])
        print(f"\n`people[:]`: {sliced * 1e3:.3f} ms, {sliced / n * 1e9:.1f} ns/object")
        del idx, view, people
        gc.collect()


if __name__ == "__main__":
    main()
