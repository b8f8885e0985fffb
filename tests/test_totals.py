"""sum() and mean() over an index or a view: the numbers among an attribute's values
(container elements included), exactly as a Python loop over the current values finds
them, through writes, removals and views."""
import datetime
import math
import random
import struct
from fractions import Fraction

import pytest

import PyVorlane
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


def counts_as_int(x):
    """Ints, and floats that are ints within 64 bits: the keys do not tell 2.0 from 2."""
    return isinstance(x, int) or (x.is_integer() and -2**63 <= x < 2**63)


def rounded(exact):
    """A Fraction rounded once to the nearest float, infinite beyond the largest one."""
    try:
        return float(exact)
    except OverflowError:
        return math.inf if exact > 0 else -math.inf


def expected(nums):
    """What sum and mean give for these numbers: the exact int sum and its mean rounded
    once when all are ints; else the exact sum rounded once (as math.fsum rounds it,
    infinite where that overflows) and the exact mean rounded once; infinities summed
    as Python sums them. The mean of nothing is None."""
    infinities = [x for x in nums if isinstance(x, float) and math.isinf(x)]
    finite = [x for x in nums if not (isinstance(x, float) and math.isinf(x))]
    exact = sum(map(Fraction, finite), Fraction(0))
    if not nums:
        return 0, None
    if infinities:
        special = sum(infinities)
        return special, special
    if all(counts_as_int(x) for x in finite):
        return int(exact), rounded(exact / len(nums))
    return rounded(exact), rounded(exact / len(nums))


def same(got, want):
    return type(got) is type(want) and (got == want or (math.isnan(got) and math.isnan(want)))


def check(target, objs, attr):
    nums = numbers_of(objs, attr)
    want_sum, want_mean = expected(nums)
    got_sum, got_mean = target.sum(attr), target.mean(attr)
    assert same(got_sum, want_sum), (got_sum, want_sum)
    assert (got_mean is None and want_mean is None) or same(got_mean, want_mean), (got_mean, want_mean)
    if isinstance(want_sum, float) and math.isfinite(want_sum) and all(float(x) == x for x in nums):
        assert got_sum == math.fsum(nums)  # the exact sum, rounded as math.fsum rounds it


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


# ---------------------------------------------------------------- random values of every kind

def any_double(rng):
    """A double from its 64 random bits: any sign and magnitude, NaN and infinities too."""
    return struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]


PROFILES = {
    # Ints only: small ones, any of 64 bits, and the ends of the range (sums beyond 64 bits).
    "ints": lambda rng: rng.choice([rng.randrange(-100, 100), rng.randrange(-2**63, 2**63),
                                    2**63 - 1 - rng.randrange(3), -2**63 + rng.randrange(3)]),
    # Ints and floats that are ints, within 64 bits and beyond (2.0**63 and up are floats).
    "integral": lambda rng: rng.choice([rng.randrange(-10**6, 10**6), float(rng.randrange(-2**53, 2**53)),
                                        -2.0**63, 2.0**63, 1e20, -0.0, 0.0, rng.randrange(-2**63, 2**63)]),
    # Floats of moderate size, with ints among them.
    "mixed": lambda rng: rng.choice([rng.uniform(-1e6, 1e6), rng.randrange(-1000, 1000), rng.random() * 100,
                                     rng.uniform(-1, 1) * 2.0**rng.randrange(-60, 60)]),
    # Every magnitude: subnormals, huge floats (sums that overflow), infinities, NaN.
    "wild": lambda rng: rng.choice([any_double(rng), rng.randrange(1, 2**52) * 5e-324 * rng.choice([1, -1]),
                                    rng.choice([math.inf, -math.inf, math.nan, -0.0, 5e-324, 1.7e308, -1.7e308]),
                                    rng.uniform(-1, 1), rng.randrange(-2**63, 2**63)]),
}


def draw_value(rng, number):
    """An attribute value: mostly a number, else a list or tuple of them, or no number at all."""
    r = rng.random()
    if r < 0.75:
        return number(rng)
    if r < 0.85:
        return [number(rng) for _ in range(rng.randrange(4))] + rng.choice([[], ["s"], [True]])
    if r < 0.88:
        return tuple(number(rng) for _ in range(rng.randrange(1, 3)))
    return rng.choice([None, "7", True, False, datetime.date(2020, 1, rng.randrange(1, 28)),
                       datetime.timedelta(seconds=rng.randrange(100))])


@pytest.fixture(params=["small form first", "bitmaps from the start"])
def structures(request):
    """Value maps made in the default way, or with every id in the bitmaps at once."""
    previous = PyVorlane._set_small_structure_limit(0 if request.param == "bitmaps from the start" else previous_limit())
    yield
    PyVorlane._set_small_structure_limit(previous)


def previous_limit():
    limit = PyVorlane._set_small_structure_limit(0)
    PyVorlane._set_small_structure_limit(limit)
    return limit


@pytest.mark.parametrize("profile", sorted(PROFILES))
@pytest.mark.parametrize("seed", range(40))
def test_random_values_sum_as_python_does(structures, profile, seed):
    rng = random.Random(f"{profile}-{seed}")
    number = PROFILES[profile]
    size = rng.choice([5, 60, 400])
    objs = [Item(v=draw_value(rng, number), k=rng.randrange(10)) for _ in range(size)]
    idx = Index()
    idx.add_object_many(objs)
    members = list(objs)
    check(idx, members, "v")
    check(idx.reduced_query(Q.lt("k", 4)), [o for o in members if o.k < 4], "v")
    # Writes, removals and objects that come back.
    for _ in range(size // 2 + 3):
        o = rng.choice(objs)
        r = rng.random()
        if r < 0.6:
            o.v = draw_value(rng, number)
        elif o in members:
            idx.remove_object(o)
            members.remove(o)
        else:
            idx.add_object(o)
            members.append(o)
    check(idx, members, "v")
    check(idx.reduced_query(Q.ge("k", 3)), [o for o in members if o.k >= 3], "v")


@pytest.mark.parametrize("profile", sorted(PROFILES))
@pytest.mark.parametrize("seed", range(6))
def test_groups_total_as_each_group_alone(structures, profile, seed):
    # Many groups of a few dozen objects each: the groups' totals are read in one
    # pass over the keys when that costs less than asking group by group.
    rng = random.Random(f"groups-{profile}-{seed}")
    number = PROFILES[profile]
    tags = ["a", "b", "c", "d"]
    objs = [Item(v=draw_value(rng, number), g=rng.randrange(60), t=rng.sample(tags, rng.randrange(3)),
                 k=rng.randrange(4)) for _ in range(2500)]
    idx = Index()
    idx.add_object_many(objs)

    def check_groups(target, members):
        for attr in ("g", "t"):  # disjoint groups, and groups that share objects
            by_value = {}
            for o in members:
                value = getattr(o, attr)
                for group in set(value) if isinstance(value, list) else {value}:
                    by_value.setdefault(group, []).append(o)
            grouped = target.group_by(attr)
            sums, means, counts = grouped.sum("v"), grouped.mean("v"), grouped.count("v")
            assert [v for v, _ in sums] == [v for v, _ in target.count_by(attr)]
            for (value, got_sum), (_, got_mean), (_, got_count) in zip(sums, means, counts):
                nums = numbers_of(by_value[value], "v")
                want_sum, want_mean = expected(nums)
                assert same(got_sum, want_sum), (attr, value, got_sum, want_sum)
                assert (got_mean is None and want_mean is None) or same(got_mean, want_mean)
                assert got_count == len(nums)

    check_groups(idx, objs)
    view = idx.reduced_query(Q.lt("k", 2))
    check_groups(view, [o for o in objs if o.k < 2])
    for o in rng.sample(objs, 300):
        o.v = draw_value(rng, number)
    gone = rng.sample(objs, 200)
    for o in gone:
        idx.remove_object(o)
    check_groups(idx, [o for o in objs if o not in gone])


def test_overflowing_and_tiny_sums():
    big = Index()
    big.add_object_many([Item(x=1.7e308), Item(x=1.7e308), Item(x=-1.0)])
    assert big.sum("x") == math.inf  # the exact sum is beyond the largest float
    assert big.mean("x") == float(Fraction(1.7e308) * 2 / 3 - Fraction(1, 3))  # its mean is not
    back = Index()
    back.add_object_many([Item(x=1.7e308), Item(x=1.7e308), Item(x=-1.7e308)])
    assert back.sum("x") == 1.7e308  # no overflow on the way
    tiny = Index()
    tiny.add_object_many([Item(x=5e-324) for _ in range(3)] + [Item(x=-1e-320)])
    assert tiny.sum("x") == 3 * 5e-324 - 1e-320
    assert tiny.mean("x") == rounded((3 * Fraction(5e-324) - Fraction(1e-320)) / 4)
    ints = Index()
    ints.add_object_many([Item(x=-2**63) for _ in range(3)] + [Item(x=-2.0**63)])
    assert ints.sum("x") == -2**65 and type(ints.sum("x")) is int
    ints.add_object(Item(x=2.0**63))  # the first float beyond the ints
    assert ints.sum("x") == float(-2**65 + 2**63) and type(ints.sum("x")) is float
