"""count_by over nested objects against count_by over ints with as many groups.

Three sets of N `Indexable` objects, each built, measured and freed before the next:

- airlines: every object holds one of 3 shared objects (`carrier`) and an int 0..2 (`c`):
  the same 3 groups by two roads;
- customers: every object holds one of N/10 shared objects (`customer`) and an int
  0..N/10-1 (`c`);
- own: every object holds an object of its own (`own`) and its position (`c`).

Measured on the whole index and on the 2% view `idx.reduced_query(Q.eq("k", 7))`
(`k` = position % 50): count_by of the objects over count_by of the ints, best of several
runs, each answer checked against a Counter over the same objects. The bulk add of each
set is reported against the bulk add of the same objects' ints alone.

    .venv/bin/python bench/count_objects.py [--size 1000000] [--cases airlines customers own]
"""
import argparse
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from PyVorlane import Index, Indexable, PyQueryExpr as Q  # noqa: E402
from common import best, timed_once  # noqa: E402


class P(Indexable):
    pass


class Flat(Indexable):
    pass


def build(case, n):
    if case == "airlines":
        shared = [P(code=code) for code in "ABC"]
        return [P(nested=shared[i % 3], c=i % 3, k=i % 50) for i in range(n)]
    if case == "customers":
        groups = max(1, n // 10)
        shared = [P(name=i) for i in range(groups)]
        return [P(nested=shared[(i * 7919) % groups], c=(i * 7919) % groups, k=i % 50) for i in range(n)]
    return [P(nested=P(name=i), c=i, k=i % 50) for i in range(n)]


def check(got, objs):
    want = Counter(id(o.nested) for o in objs)
    assert sorted((id(v), n) for v, n in got) == sorted(want.items()), "wrong counts"


def measure(case, n):
    objs = build(case, n)
    flat = [Flat(c=o.c, k=o.k) for o in objs]
    add_flat, _ = timed_once(lambda: Index().add_object_many(flat))
    idx = Index()
    add_nested, _ = timed_once(lambda: idx.add_object_many(objs))
    del flat
    print(f"{case}: {n:,} objects; bulk add {add_nested * 1e3:.0f} ms, "
          f"{add_nested / add_flat:.2f}x the add of their ints alone ({add_flat * 1e3:.0f} ms)")
    view = idx.reduced_query(Q.eq("k", 7))
    for name, target, members in (("whole index", idx, objs), ("2% view", view, objs[7::50])):
        t_obj, got = best(lambda: target.count_by("nested"), min_runs=3, max_runs=20, budget=1.0)
        t_int, _ = best(lambda: target.count_by("c"), min_runs=3, max_runs=20, budget=1.0)
        check(got, members)
        print(f"  {name:11s}: objects {t_obj * 1e3:8.3f} ms, ints {t_int * 1e3:8.3f} ms, "
              f"ratio {t_obj / t_int:6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--cases", nargs="+", default=["airlines", "customers", "own"],
                        choices=["airlines", "customers", "own"])
    args = parser.parse_args()
    for case in args.cases:
        measure(case, args.size)


if __name__ == "__main__":
    main()
