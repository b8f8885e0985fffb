"""A first look at PyVorlane: index generated people, query them, and compare
each answer and its time with the same query as a list comprehension."""
import random
import sys
import time

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Person(Indexable):
    pass


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return result, (time.perf_counter() - t0) * 1e3


def main(n=200_000, seed=7):
    rng = random.Random(seed)
    cities = [f"city{i:02d}" for i in range(50)]
    people = [Person(id=i, age=rng.randrange(100), score=round(rng.random() * 100, 2),
                     name="".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(5, 12))),
                     city=rng.choice(cities), active=rng.random() < 0.5) for i in range(n)]
    idx = Index()
    _, build_ms = timed(lambda: [idx.add_object(p) for p in people])
    print(f"indexed {n:,} people in {build_ms / 1e3:.2f} s\n")
    queries = [
        ("age == 42", lambda: idx.get_by_attribute(age=42), lambda: [p for p in people if p.age == 42]),
        ("city == 'city07' and active", lambda: idx.get_by_attribute(city="city07", active=True),
         lambda: [p for p in people if p.city == "city07" and p.active is True]),
        ("50 <= score <= 51", lambda: idx.reduced_query(Q.bt("score", 50, 51)).collect(),
         lambda: [p for p in people if 50 <= p.score <= 51]),
        ("name starts with 'ab'", lambda: idx.reduced_query(Q.starts_with("name", "ab")).collect(),
         lambda: [p for p in people if p.name.startswith("ab")]),
        ("view: age > 90, then city07", lambda: idx.reduced_query(Q.gt("age", 90)).reduced(city="city07").collect(),
         lambda: [p for p in people if p.age > 90 and p.city == "city07"]),
    ]
    print(f"{'query':<30}{'hits':>8}{'index ms':>11}{'list comp ms':>14}")
    for label, fast, slow in queries:
        got, t_fast = timed(fast)
        want, t_slow = timed(slow)
        assert sorted(map(id, got)) == sorted(map(id, want)), label
        print(f"{label:<30}{len(got):>8}{t_fast:>11.2f}{t_slow:>14.2f}")
    people[0].age = 42  # the index follows assignments
    assert people[0] in idx.get_by_attribute(age=42)
    print("\nassigning people[0].age = 42 updates the index at once")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
