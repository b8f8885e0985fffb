"""Queries on list attributes within small views of a large index: the view's
own elements are searched, not every element of the index."""

import random

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Row(Indexable):
    pass


def flat(v):
    for e in v:
        if isinstance(e, (list, tuple)):
            yield from flat(e)
        else:
            yield e


def nums(v):
    return [e for e in flat(v) if type(e) in (int, float)]


def strs(v):
    return [e for e in flat(v) if type(e) is str]


CASES = [
    (Q.eq("tags", "t3"), lambda v: "t3" in list(flat(v))),
    (Q.eq("tags", 7), lambda v: 7 in nums(v)),
    (Q.gt("tags", 17), lambda v: any(e > 17 for e in nums(v))),
    (Q.bt("tags", 3, 5), lambda v: any(3 <= e <= 5 for e in nums(v))),
    (Q.starts_with("tags", "t1"), lambda v: any(s.startswith("t1") for s in strs(v))),
    (Q.contains("tags", "2"), lambda v: any("2" in s for s in strs(v))),
    (Q.in_("tags", ["t5", 9]), lambda v: "t5" in strs(v) or 9 in nums(v)),
    (Q.ne("tags", "t3"), lambda v: "t3" not in list(flat(v))),
    (Q.not_(Q.gt("tags", 17)), lambda v: not any(e > 17 for e in nums(v))),
]


@pytest.mark.parametrize("seed", range(3))
def test_list_queries_in_small_views_match_a_scan(seed):
    rng = random.Random(seed)
    pool = [f"t{i}" for i in range(20)] + list(range(20))
    rows = [Row(group=rng.randrange(200),
                tags=[rng.choice(pool) for _ in range(rng.randint(0, 6))] + [(rng.choice(pool), [rng.choice(pool)])])
            for _ in range(6000)]
    idx = Index()
    idx.add_object_many(rows)
    for group in rng.sample(range(200), 6):
        view = idx.reduced(group=group)
        objs = view.collect()
        for query, matches in CASES:
            got = view.reduced_query(query).collect()
            want = [o for o in objs if matches(o.tags)]
            assert [id(o) for o in got] == [id(o) for o in want], (group, query)
        # Writes to the view's objects and to others reach the next narrowing.
        for o in rng.sample(objs, min(3, len(objs))) + rng.sample(rows, 20):
            o.tags = [rng.choice(pool) for _ in range(rng.randint(0, 8))]
        for query, matches in CASES:
            got = view.reduced_query(query).collect()
            want = [o for o in objs if matches(o.tags)]
            assert [id(o) for o in got] == [id(o) for o in want], (group, query)


def test_ranges_and_sets_of_values_in_narrow_views():
    """A narrow view meets each value's ids before joining them (its candidates are far
    fewer than the values' ids); the answers stay those of a scan, before and after
    writes, for ranges over many values and for sets of values."""
    rng = random.Random(5)
    rows = [Row(age=rng.randrange(100), city=f"c{rng.randrange(50)}") for _ in range(30_000)]
    index = Index()
    index.add_object_many(rows)
    checks = [
        (Q.gt("age", 89), lambda o: o.age > 89),
        (Q.lt("age", 12), lambda o: o.age < 12),
        (Q.bt("age", 20, 60), lambda o: 20 <= o.age <= 60),
        (Q.in_("age", [1, 5, 50, 99]), lambda o: o.age in (1, 5, 50, 99)),
    ]
    for round_ in range(2):
        view = index.reduced(city="c7")
        members = [o for o in rows if o.city == "c7"]
        for expr, test in checks:
            got = {id(o) for o in view.reduced_query(expr).collect()}
            assert got == {id(o) for o in members if test(o)}, (round_, expr)
        for o in rng.sample(rows, 3000):
            o.age = rng.randrange(100)
