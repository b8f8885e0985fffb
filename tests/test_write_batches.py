"""Writes to indexed objects wait in batches until the next read: every search after
any mix of writes (the same object many times, kinds changing, empty strings, NaN,
removals between) answers what a scan of the current values answers."""
import math
import random

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Row(Indexable):
    pass


WORDS = ["", "a", "ab", "abc", "abd", "b", "ba", "bab", "xyz", "hello", "help", "yellow", "zz"]


def random_value(rng):
    r = rng.random()
    if r < 0.45:
        return rng.randrange(-50, 50)
    if r < 0.6:
        return rng.choice([0.5, -2.25, 1e9, 3.0, float("nan"), -0.0, 7.75])
    if r < 0.95:
        return rng.choice(WORDS)
    return rng.choice([True, None])


def scan(rows, test):
    out = set()
    for o in rows:
        v = getattr(o, "v")
        try:
            if test(v):
                out.add(id(o))
        except TypeError:
            pass
    return out


def is_num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


CHECKS = [
    (lambda: Q.eq("v", 7), lambda v: is_num(v) and v == 7),
    (lambda: Q.eq("v", 3.0), lambda v: is_num(v) and v == 3),
    (lambda: Q.bt("v", -10, 10), lambda v: is_num(v) and -10 <= v <= 10),
    (lambda: Q.gt("v", 20), lambda v: is_num(v) and v > 20),
    (lambda: Q.lt("v", -0.1), lambda v: is_num(v) and v < -0.1),
    (lambda: Q.eq("v", "abc"), lambda v: isinstance(v, str) and v == "abc"),
    (lambda: Q.starts_with("v", "ab"), lambda v: isinstance(v, str) and v.startswith("ab")),
    (lambda: Q.ends_with("v", "b"), lambda v: isinstance(v, str) and v.endswith("b")),
    (lambda: Q.contains("v", "el"), lambda v: isinstance(v, str) and "el" in v),
]


def check(index, rows):
    for make, test in CHECKS:
        got = {id(o) for o in index.reduced_query(make()).collect()}
        assert got == scan(rows, test), make()


@pytest.mark.parametrize("seed", range(4))
def test_batches_of_writes_against_a_scan(seed):
    rng = random.Random(seed)
    rows = [Row(v=random_value(rng), w=rng.randrange(5)) for _ in range(3000)]
    index = Index()
    index.add_object_many(rows)
    members = list(rows)
    for batch in (1, 5, 15, 17, 200, 3000, 40000):
        for _ in range(batch):
            o = rng.choice(members)
            o.v = random_value(rng)
            if rng.random() < 0.3:  # the same object again before any read
                o.v = random_value(rng)
        if rng.random() < 0.5:
            gone = rng.sample(members, 20)
            for o in gone:
                index.remove_object(o)
                members.remove(o)
            for o in gone[:10]:
                o.v = random_value(rng)  # written while outside: nothing may change
                index.add_object(o)
                members.append(o)
        check(index, members)


def test_values_written_back_and_forth_before_a_read():
    rows = [Row(v=k % 40, s=f"s{k % 7}") for k in range(2000)]
    index = Index()
    index.add_object_many(rows)
    for _ in range(3):
        for o in rows:
            o.v, o.s = o.v + 100, o.s + "x"
        for o in rows:
            o.v, o.s = o.v - 100, o.s[:-1]
    for o in rows[:500]:
        o.v, o.s = float("nan"), ""
    assert len(index.get_by_attribute(v=5)) == sum(1 for o in rows if o.v == 5)
    assert len(index.reduced_query(Q.eq("s", "s3")).collect()) == sum(1 for o in rows if o.s == "s3")
    assert len(index.reduced_query(Q.bt("v", 0, 39)).collect()) == 1500
    assert dict(index.count_by("s"))[""] == 500
    assert dict(index.count_by("s"))["s3"] == sum(1 for o in rows if o.s == "s3")
    assert not any(math.isnan(o.v) for o in index.reduced_query(Q.ge("v", 0)).collect())
