"""Query benchmark: PyVorlane against a list comprehension over the same objects.

Each query is timed with collect() included, best of several runs, and reported
as a ratio to the list comprehension measured in the same run.

    .venv/bin/python bench/query_bench.py [--sizes 100000 1000000] [--seed 1]
"""
import argparse

from PyVorlane import PyQueryExpr as Q

from common import Person, best, one_by_one, six_attribute_rows, timed_once


def make_people(n, seed):
    """Each object made as its row is drawn (the objects and their values lie together in memory,
    which the answers' times depend on)."""
    return [Person(id=a, age=b, score=c, name=d, city=e, active=f) for a, b, c, d, e, f in six_attribute_rows(n, seed)]


QUERIES = [
    ("age == 42", lambda idx: idx.get_by_attribute(age=42), lambda ps: [p for p in ps if p.age == 42]),
    ("city == 'city07'", lambda idx: idx.get_by_attribute(city="city07"),
     lambda ps: [p for p in ps if p.city == "city07"]),
    ("30 <= score <= 31", lambda idx: idx.reduced_query(Q.bt("score", 30, 31)).collect(),
     lambda ps: [p for p in ps if 30 <= p.score <= 31]),
    ("age, city, active", lambda idx: idx.get_by_attribute(age=42, city="city07", active=True),
     lambda ps: [p for p in ps if p.age == 42 and p.city == "city07" and p.active is True]),
    ("name starts with 'ab'", lambda idx: idx.reduced_query(Q.starts_with("name", "ab")).collect(),
     lambda ps: [p for p in ps if p.name.startswith("ab")]),
    ("name contains 'xyz'", lambda idx: idx.reduced_query(Q.contains("name", "xyz")).collect(),
     lambda ps: [p for p in ps if "xyz" in p.name]),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    for n in args.sizes:
        people = make_people(n, args.seed)
        build, idx = timed_once(lambda: one_by_one(people), quiet=False)
        print(f"\n{n:,} objects (index built one by one in {build:.2f} s)")
        print(f"{'query':<24}{'hits':>9}{'PyVorlane ms':>15}{'list comp ms':>15}{'speed-up':>10}")
        for label, fast, slow in QUERIES:
            t_fast, got = best(lambda: fast(idx), args.repeat, args.repeat, 0, quiet=False)
            t_slow, want = best(lambda: slow(people), args.repeat, args.repeat, 0, quiet=False)
            if sorted(map(id, got)) != sorted(map(id, want)):
                raise SystemExit(f"wrong answer for {label}")
            print(f"{label:<24}{len(got):>9}{t_fast * 1e3:>15.2f}{t_slow * 1e3:>15.2f}{t_slow / t_fast:>9.1f}x")


if __name__ == "__main__":
    main()
