"""PyVorlane demo: index a generated population and query it.

Generates PEOPLE objects of a Person(Indexable) class (reproducible from a seed),
indexes them in bulk, runs representative queries and prints, for each, the
number of hits and its time next to the same query as a list comprehension.

    ./scripts/demo.sh [--size N] [--seed S]
"""
import argparse
import random
import string
import sys
import time
from collections.abc import Callable
from typing import TypeVar

from PyVorlane import Index, Indexable, PyQueryExpr as Q

CITIES = ["Amsterdam", "Athens", "Auckland", "Bangkok", "Barcelona", "Berlin", "Bogota", "Boston", "Brisbane",
          "Brussels", "Budapest", "Buenos Aires", "Cairo", "Cape Town", "Chicago", "Copenhagen", "Delhi", "Dublin",
          "Edinburgh", "Helsinki", "Hong Kong", "Istanbul", "Jakarta", "Johannesburg", "Kyiv", "Lagos", "Lima",
          "Lisbon", "London", "Los Angeles", "Madrid", "Manila", "Melbourne", "Mexico City", "Montreal", "Mumbai",
          "Nairobi", "New York", "Osaka", "Oslo", "Paris", "Prague", "Rome", "Santiago", "Seoul", "Singapore",
          "Stockholm", "Sydney", "Tokyo", "Vienna"]
T = TypeVar("T")

TAGS = ["admin", "beta", "customer", "developer", "editor", "guest", "manager", "partner", "staff", "vip"]


class Person(Indexable):
    """A person; its attributes live natively in the Indexable base."""


def progress(label: str, done: int, total: int, started: float) -> None:
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    sys.stdout.write(f"\r{label} [{'#' * filled}{'.' * (width - filled)}] {done:,}/{total:,} ({rate:,.0f}/s)")
    sys.stdout.flush()


def generate(n: int, seed: int) -> list[Person]:
    rng = random.Random(seed)
    letters = string.ascii_lowercase
    people: list[Person] = []
    started = time.perf_counter()
    for i in range(n):
        people.append(Person(id=i, age=rng.randrange(18, 90), score=round(rng.uniform(0, 100), 2),
                             name="".join(rng.choice(letters) for _ in range(rng.randint(5, 12))).capitalize(),
                             city=rng.choice(CITIES), active=rng.random() < 0.7,
                             tags=rng.sample(TAGS, rng.randint(1, 3))))
        if i % 50_000 == 0 or i == n - 1:
            progress("generating", i + 1, n, started)
    print()
    return people


def index_in_bulk(people: list[Person]) -> tuple[Index, float]:
    idx = Index()
    step = max(1, len(people) // 20)
    started = time.perf_counter()
    for start in range(0, len(people), step):
        idx.add_object_many(people[start:start + step])
        progress("indexing  ", min(start + step, len(people)), len(people), started)
    print()
    return idx, time.perf_counter() - started


def timed(fn: Callable[[], T], repeat: int = 3) -> tuple[T, float]:
    t0 = time.perf_counter()
    result = fn()
    best = time.perf_counter() - t0
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return result, best * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="number of people (default 1,000,000)")
    parser.add_argument("--seed", type=int, default=42, help="random seed (default 42)")
    args = parser.parse_args()
    if args.size < 1:
        parser.error(f"--size must be at least 1 (got {args.size}): the demo indexes and queries that many people")

    print(f"PyVorlane demo: {args.size:,} people, seed {args.seed}\n")
    people = generate(args.size, args.seed)
    idx, seconds = index_in_bulk(people)
    print(f"indexed {len(people):,} people in {seconds:.2f} s ({len(people) / seconds:,.0f} objects/s)\n")

    seniors_in_tokyo = idx.reduced_query(Q.ge("age", 65)).reduced(city="Tokyo")
    queries = [
        ("city == 'Paris'", lambda: idx.get_by_attribute(city="Paris"),
         lambda: [p for p in people if p.city == "Paris"]),
        ("40 <= age <= 45", lambda: idx.reduced_query(Q.bt("age", 40, 45)).collect(),
         lambda: [p for p in people if 40 <= p.age <= 45]),
        ("score > 99.5 and active", lambda: idx.reduced_query(Q.and_(Q.gt("score", 99.5), Q.eq("active", True))).collect(),
         lambda: [p for p in people if p.score > 99.5 and p.active is True]),
        ("age 30, Berlin, active", lambda: idx.get_by_attribute(age=30, city="Berlin", active=True),
         lambda: [p for p in people if p.age == 30 and p.city == "Berlin" and p.active is True]),
        ("name starts with 'Ab'", lambda: idx.reduced_query(Q.starts_with("name", "Ab")).collect(),
         lambda: [p for p in people if p.name.startswith("Ab")]),
        ("name contains 'xyz'", lambda: idx.reduced_query(Q.contains("name", "xyz")).collect(),
         lambda: [p for p in people if "xyz" in p.name]),
        ("'vip' in tags", lambda: idx.reduced_query(Q.eq("tags", "vip")).collect(),
         lambda: [p for p in people if "vip" in p.tags]),
        ("city in (Oslo, Rome) not vip", lambda: idx.reduced_query(
            Q.and_(Q.in_("city", ["Oslo", "Rome"]), Q.not_(Q.eq("tags", "vip")))).collect(),
         lambda: [p for p in people if p.city in ("Oslo", "Rome") and "vip" not in p.tags]),
        ("view: 65+, Tokyo, then vip", lambda: seniors_in_tokyo.reduced_query(Q.eq("tags", "vip")).collect(),
         lambda: [p for p in people if p.age >= 65 and p.city == "Tokyo" and "vip" in p.tags]),
    ]
    print(f"{'query':<32}{'hits':>9}{'PyVorlane':>12}{'list comp':>12}{'speed-up':>10}")
    for label, fast, slow in queries:
        got, t_fast = timed(fast)
        want, t_slow = timed(slow, repeat=1)
        if sorted(map(id, got)) != sorted(map(id, want)):
            raise SystemExit(f"answers differ for {label!r}")
        print(f"{label:<32}{len(got):>9,}{t_fast:>10.2f}ms{t_slow:>10.1f}ms{t_slow / t_fast:>9.0f}x")

    someone = people[0]
    someone.city = "Reykjavik"  # assignments keep every index current
    assert idx.get_by_attribute(city="Reykjavik") == [someone]
    print("\nEvery answer matched the list comprehension. Assigning people[0].city = 'Reykjavik'"
          "\nupdated the index at once: get_by_attribute(city='Reykjavik') finds that person.")


if __name__ == "__main__":
    main()
