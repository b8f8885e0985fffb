"""sum() and mean() over an index or a view: the numbers among an attribute's values
(container elements included), exactly as a Python loop over the current values finds
them, through writes, removals and views."""
import datetime
import math
import random
from fractions import Fraction

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


def numbers_of(objs, attr):
    """The numbers a loop finds: ints and floats (not bools, not NaN), list, tuple and
    set elements included."""
    out = []
    for o in objs:
        v = getattr(o, attr, None)
        for x in (v if isinstance(v, (list, tuple, set)) else [v]):
            if isinstance(x, bool) or not isinstance(x, (int, float)):
                continue
            if isinstance(x, float) and math.isnan(x):
                continue
            out.append(x)
    return out


def check(target, objs, attr):
    nums = numbers_of(objs, attr)
    got_sum, got_mean = target.sum(attr), target.mean(attr)
    if all(float(x).is_integer() for x in nums if not math.isinf(x)) and not any(
            isinstance(x, float) and math.isinf(x) for x in nums):
        want = sum(int(x) for x in nums)
        assert type(got_sum) is int and got_sum == want
        if nums:
            assert got_mean == Fraction(want, len(nums)).__float__()
    else:
        want = math.fsum(nums) if not any(math.isinf(x) for x in nums) else sum(nums)
        assert type(got_sum) is float
        if math.isnan(want):
            assert math.isnan(got_sum)
        else:
            assert got_sum == want
            assert got_mean == pytest.approx(want / len(nums), rel=1e-15, abs=0)
    if not nums:
        assert got_mean is None


def test_sums_are_exact_and_means_round_once():
    big = 2**63 - 1
    objs = [Item(n=big) for _ in range(5)] + [Item(n=-3), Item(n=True), Item(n="7"), Item(n=None)]
    idx = Index()
    idx.add_object_many(objs)
    assert idx.sum("n") == 5 * big - 3  # beyond 64 bits, exactly
    assert idx.mean("n") == float(Fraction(5 * big - 3, 6))
    floats = [Item(x=v) for v in (1e16, 1.0, -1e16, 0.1, 0.2, math.nan, 2.5)]
    fidx = Index()
    fidx.add_object_many(floats)
    assert fidx.sum("x") == math.fsum([1e16, 1.0, -1e16, 0.1, 0.2, 2.5])
    check(fidx, floats, "x")
    assert Index().sum("x") == 0 and Index().mean("x") is None
    assert fidx.sum("missing") == 0 and fidx.mean("missing") is None
    inf = Index()
    inf.add_object_many([Item(x=math.inf), Item(x=1.0)])
    assert inf.sum("x") == math.inf
    inf.add_object(Item(x=-math.inf))
    assert math.isnan(inf.sum("x"))
    when = Index()
    when.add_object_many([Item(x=datetime.date(2020, 1, 1)), Item(x=4), Item(x=datetime.timedelta(3))])
    assert when.sum("x") == 4 and when.mean("x") == 4.0  # dates are not numbers
    for bad in (3, None):
        with pytest.raises(TypeError):
            fidx.sum(bad)
    with pytest.raises(ValueError, match="dotted path"):
        fidx.mean("a..b")
    assert fidx.mean("a.b") is None and fidx.sum("a.b") == 0


@pytest.mark.parametrize("seed", range(4))
def test_totals_follow_writes_views_and_removals(seed):
    rng = random.Random(seed)

    def value():
        r = rng.random()
        if r < 0.3:
            return rng.randrange(-10**12, 10**12)
        if r < 0.5:
            return rng.uniform(-1e6, 1e6)
        if r < 0.6:
            return [rng.randrange(-50, 50) for _ in range(rng.randrange(4))] + [rng.choice([0.5, "s", True])]
        if r < 0.7:
            return (rng.randrange(100), math.nan)
        return rng.choice([None, "x", False, 3, 2.0])

    # Many objects, so the number structures leave their small form.
    objs = [Item(v=value(), k=i % 7) for i in range(400)]
    idx = Index()
    idx.add_object_many(objs)
    members = list(objs)
    for step in range(60):
        o = rng.choice(objs)
        r = rng.random()
        if r < 0.6:
            o.v = value()
        elif r < 0.8 and o in members:
            idx.remove_object(o)
            members.remove(o)
        elif o not in members:
            idx.add_object(o)
            members.append(o)
        if step % 10 == 0:
            check(idx, members, "v")
            view = idx.reduced_query(Q.lt("k", 3))
            check(view, [m for m in members if m.k < 3], "v")
    check(idx, members, "v")


def test_group_by_answers_as_a_loop_over_each_group():
    rng = random.Random(11)
    objs = []
    for i in range(600):
        city = rng.choice(["a", "b", "c", "d"])
        tags = rng.sample(["x", "y", "z"], rng.randrange(3))
        objs.append(Item(city=city, tags=tags, n=rng.choice([rng.randrange(-100, 100), None, "s", True]),
                         f=rng.choice([rng.uniform(-5, 5), math.nan, 1.0]), k=i % 5))
    idx = Index()
    idx.add_object_many(objs)

    def groups_of(members, attr):
        # The groups count_by makes: a member in each distinct value it holds (list elements too).
        out = {}
        for o in members:
            v = getattr(o, attr)
            for g in set(v) if isinstance(v, list) else {v}:
                out.setdefault(g, []).append(o)
        return out

    def check_groups(target, members):
        for attr in ("city", "tags"):
            want = groups_of(members, attr)
            g = target.group_by(attr)
            counts = g.count()
            assert counts == target.count_by(attr)
            assert {v: n for v, n in counts} == {v: len(m) for v, m in want.items()}
            for (v, got_sum), (_, got_mean), (_, got_min), (_, got_max), (_, got_n) in zip(
                    g.sum("n"), g.mean("f"), g.min("n"), g.max("f"), g.count("f")):
                ns = numbers_of(want[v], "n")
                fs = numbers_of(want[v], "f")
                assert got_sum == sum(ns)
                assert got_min == (min(ns) if ns else None)
                assert got_max == (max(fs) if fs else None)
                assert got_n == len(fs)
                assert got_mean == (pytest.approx(math.fsum(fs) / len(fs), rel=1e-12) if fs else None)

    check_groups(idx, objs)
    view = idx.reduced_query(Q.lt("k", 2))
    check_groups(view, [o for o in objs if o.k < 2])
    # Writes and removals are seen by a GroupBy made before them.
    g = idx.group_by("city")
    for o in objs[:100]:
        o.city = "e"
        o.n = 5
    for o in objs[100:150]:
        idx.remove_object(o)
    members = objs[:100] + objs[150:]
    check_groups(idx, members)
    assert dict(g.count())["e"] == 100 and dict(g.sum("n"))["e"] == 500
    with pytest.raises(ValueError, match="dotted path"):
        idx.group_by("a.")
    with pytest.raises(ValueError, match="dotted path"):
        g.sum(".n")
    assert idx.group_by("a.b").count() == [] and g.sum("a.b") == [(c, 0) for c, _ in g.count()]
    with pytest.raises(TypeError):
        g.sum()
    assert repr(g) == "<GroupBy city>"
