"""Answers along dotted paths (count_by, order_by, min, max, sum, mean, group_by) against
a plain model: a Python loop over the current values, on random graphs with cycles,
self-references, shared objects and lists of objects, through writes, views, reduce and
removals, with values of mixed kinds."""
import math
import random
from fractions import Fraction

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


def _step(objs, attr):
    """The distinct objects one step leads to from `objs`: the attribute's object, or
    the objects in its list, tuple or set."""
    out = {}
    for o in objs:
        v = getattr(o, attr, None)
        for x in (v if isinstance(v, (list, tuple, set)) else [v]):
            if isinstance(x, Indexable):
                out[id(x)] = x
    return list(out.values())


def reached(obj, path):
    """The values `path` reaches from `obj`: the last attribute's value on each distinct
    object its steps lead to (a container's elements in its place)."""
    *steps, last = path.split(".")
    at = [obj]
    for s in steps:
        at = _step(at, s)
    out = []
    for o in at:
        if not hasattr(o, last):
            continue
        v = getattr(o, last)
        out.extend(v if isinstance(v, (list, tuple, set)) else [v])
    return out


def value_key(v):
    """How count_by tells values apart; None for values it leaves out."""
    if isinstance(v, bool):
        return ("b", v)
    if isinstance(v, (int, float)):
        return None if isinstance(v, float) and math.isnan(v) else ("n", v)
    if isinstance(v, str):
        return ("s", v)
    if isinstance(v, Indexable):
        return ("o", id(v))
    return None


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and not (isinstance(v, float) and math.isnan(v))


def model_counts(members, path):
    counts = {}
    for m in members:
        for k in {value_key(v) for v in reached(m, path)} - {None}:
            counts[k] = counts.get(k, 0) + 1
    return counts


def model_numbers(members, path):
    return [v for m in members for v in reached(m, path) if is_number(v)]


def check_sum(got, numbers):
    if all(isinstance(x, int) for x in numbers):
        assert got == sum(numbers) and isinstance(got, int)
        return
    want = math.fsum(numbers)
    assert got == want or abs(got - want) <= math.ulp(want), (got, want)


def check_mean(got, numbers):
    if not numbers:
        assert got is None
        return
    if all(isinstance(x, int) for x in numbers):
        assert got == sum(numbers) / len(numbers)
        return
    want = math.fsum(numbers) / len(numbers)
    assert math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-300), (got, want)


def order_value(v):
    """(kind, value) a value orders by, or None: numbers, then strings."""
    if is_number(v):
        return (0, Fraction(v))
    if isinstance(v, str):
        return (1, v)
    return None


def model_order(target, path, descending):
    members = target.collect()
    position = {id(m): i for i, m in enumerate(members)}
    placed, rest = [], []
    for m in members:
        # Containers at the end of the path order nowhere, as they do for a plain attribute.
        *steps, last = path.split(".")
        at = [m]
        for s in steps:
            at = _step(at, s)
        vals = [order_value(getattr(o, last)) for o in at if hasattr(o, last)
                and not isinstance(getattr(o, last), (list, tuple, set))]
        vals = [v for v in vals if v is not None]
        if not vals:
            rest.append(m)
            continue
        if descending:
            kind = min(v[0] for v in vals)
            best = max(v for v in vals if v[0] == kind)
        else:
            best = min(vals)
        placed.append((best, m))
    out = []
    for kind in (0, 1):  # kinds keep their order; descending reverses values within each
        part = sorted((p for p in placed if p[0][0] == kind), key=lambda p: position[id(p[1])])
        part.sort(key=lambda p: p[0][1], reverse=descending)  # stable: ties stay in set order
        out += [m for _, m in part]
    return out + rest


def check_all(target, paths):
    members = target.collect()
    for path in paths:
        counts = target.count_by(path)
        got = {value_key(v): n for v, n in counts}
        assert got == model_counts(members, path), path
        assert [n for _, n in counts] == sorted((n for _, n in counts), reverse=True)
        nums = model_numbers(members, path)
        check_sum(target.sum(path), nums)
        check_mean(target.mean(path), nums)
        assert target.min(path) == (min(nums) if nums else None), path
        assert target.max(path) == (max(nums) if nums else None), path
        for descending in (False, True):
            want = model_order(target, path, descending)
            assert target.order_by(path, descending=descending) == want, (path, descending)
            assert target.order_by(path, descending=descending, limit=3) == want[:3]
    # Groups by one path, answers along another.
    by, of = paths[0], paths[-1]
    g = target.group_by(by)
    groups = {}
    for m in members:
        for k in {value_key(v) for v in reached(m, by)} - {None}:
            groups.setdefault(k, []).append(m)
    got_counts = g.count()
    assert {value_key(v): n for v, n in got_counts} == {k: len(ms) for k, ms in groups.items()}
    assert [value_key(v) for v, _ in got_counts] == [value_key(v) for v, _ in target.count_by(by)]
    for (v, total), (_, mean), (_, low), (_, n) in zip(g.sum(of), g.mean(of), g.min(of), g.count(of)):
        nums = model_numbers(groups[value_key(v)], of)
        check_sum(total, nums)
        check_mean(mean, nums)
        assert low == (min(nums) if nums else None)
        assert n == len(nums)


LEAVES = [0, 1, 2, -3, 2.5, 3.0, -0.0, float("nan"), "a", "b", "", True, False, None,
          [1, 2], [2, "a"], (), 10**18, -(10**18), 1e300, 5e-324]


def random_leaf(rng):
    v = rng.choice(LEAVES)
    return list(v) if isinstance(v, list) else v


def build(rng, n):
    nodes = [Node(k=i, g=i % 2, v=random_leaf(rng)) for i in range(n)]
    for o in nodes:
        relink(rng, o, nodes)
    return nodes


def relink(rng, o, nodes):
    r = rng.random()
    if r < 0.5:
        o.n = rng.choice(nodes)  # itself now and then
    elif r < 0.75:
        o.n = [rng.choice(nodes) for _ in range(rng.randrange(4))]
    elif r < 0.85:
        o.n = None
    # else: keeps what it had, or has no `n` at all
    o.m = rng.choice(nodes) if rng.random() < 0.6 else 7


PATHS = ["n.v", "v", "n.n.v", "m.n.v", "n.m.m.v", "n.k"]


@pytest.mark.parametrize("seed", range(8))
def test_dotted_answers_match_a_loop_through_writes_views_and_removals(seed):
    rng = random.Random(seed)
    nodes = build(rng, 50)
    members = nodes[:35]
    idx = Index()
    idx.add_object_many(members)
    paths = rng.sample(PATHS, 3)
    check_all(idx, paths)
    for _ in range(4):
        for o in rng.sample(nodes, 12):
            if rng.random() < 0.5:
                o.v = random_leaf(rng)
            else:
                relink(rng, o, nodes)
        gone = rng.sample(members, 3)
        for o in gone:
            idx.remove_object(o)
            members.remove(o)
        back = rng.choice(gone)
        idx.add_object(back)
        members.append(back)
        check_all(idx, paths)
        check_all(idx.reduced_query(Q.lt("k", 25)), paths)
    # Narrowed in place: only what the kept members reach counts.
    idx.reduce(g=0)
    assert all(o.g == 0 for o in idx.collect())
    check_all(idx, paths)


def test_objects_reached_along_several_routes_count_once_per_member():
    shared = Node(v=5, w=2.5)
    other = Node(v=1, w=0.5)
    a = Node(n=[shared, shared, other], m=shared)
    b = Node(n=shared)
    c = Node(n=[other])
    idx = Index()
    idx.add_object_many([a, b, c])
    assert sorted(idx.count_by("n.v")) == [(1, 2), (5, 2)]
    assert idx.sum("n.v") == 5 + 1 + 5 + 1
    assert idx.sum("n.w") == 2.5 + 0.5 + 2.5 + 0.5
    assert idx.mean("n.v") == 3.0
    in_set_order = lambda *objs: [o for o in idx.collect() if any(o is x for x in objs)]  # noqa: E731
    assert idx.order_by("n.v") == in_set_order(a, c) + [b]  # a's least value is 1
    assert idx.order_by("n.v", descending=True) == in_set_order(a, b) + [c]  # a's greatest is 5
    assert dict(idx.group_by("n").count()) == {shared: 2, other: 2}
    assert dict(idx.group_by("n.v").sum("n.w")) == {5: 5.5, 1: 3.5}  # a reaches both


def test_a_cycle_reaches_back_to_the_member_itself():
    a, b = Node(x=1), Node(x=2)
    a.friend, b.friend = b, a
    idx = Index()
    idx.add_object(a)
    assert idx.count_by("friend.friend.x") == [(1, 1)]
    assert idx.sum("friend.friend.friend.x") == 2
    a.friend = a
    assert idx.count_by("friend.friend.x") == [(1, 1)]
    assert idx.order_by("friend.x") == [a]
    b.x = 10
    a.friend = [a, b]
    assert idx.sum("friend.x") == 11 and idx.max("friend.friend.x") == 10


def test_sums_along_paths_are_exact_with_large_weights():
    big = Node(x=2**62, f=0.1)
    members = [Node(c=big) for _ in range(64)]
    idx = Index()
    idx.add_object_many(members)
    assert idx.sum("c.x") == 64 * 2**62
    assert idx.sum("c.f") == math.fsum([0.1] * 64)
    assert idx.mean("c.x") == 2**62


def test_short_limits_along_a_path_agree_with_the_whole_order():
    """Limits are first served from the last attribute's ordered values; ties, objects
    reaching several values and values no member reaches must not change the answer."""
    rng = random.Random(11)
    leaves = [Node(v=rng.choice([rng.randrange(-20, 20), rng.random() * 40 - 20, "s", None]))
              for _ in range(3000)]
    members = [Node(k=i, n=rng.choice(leaves) if i % 5 else [rng.choice(leaves), rng.choice(leaves)])
               for i in range(4000)]
    idx = Index()
    idx.add_object_many(members)
    view = idx.reduced_query(Q.lt("k", 300))
    for target in (idx, view):
        for descending in (False, True):
            whole = model_order(target, "n.v", descending)
            for limit in (1, 7, 100, 1000):
                assert target.order_by("n.v", descending=descending, limit=limit) == whole[:limit]
    for o in leaves[:1500]:
        o.v = 3  # one value for many: a tie wider than any limit
    whole = model_order(idx, "n.v", False)
    assert idx.order_by("n.v", limit=50) == whole[:50]


def test_members_holding_one_object_each_through_writes():
    """Orders each holding one customer: the counts, sums and extremes come from how many
    links each customer has; a second link, a link held by a customer or a view must
    not change what they mean."""
    rng = random.Random(3)
    customers = [Node(k=i, v=rng.choice([1, 2, 2.5, -4, "x", None, True])) for i in range(300)]
    orders = [Node(k=i, c=rng.choice(customers)) for i in range(3000)]
    idx = Index()
    idx.add_object_many(orders)

    def check(target):
        members = target.collect()
        assert {value_key(v): n for v, n in target.count_by("c.v")} == model_counts(members, "c.v")
        assert {value_key(v): n for v, n in target.group_by("c.v").count()} == model_counts(members, "c.v")
        nums = model_numbers(members, "c.v")
        check_sum(target.sum("c.v"), nums)
        check_mean(target.mean("c.v"), nums)
        assert target.min("c.v") == (min(nums) if nums else None)
        assert target.max("c.v") == (max(nums) if nums else None)

    check(idx)
    for o in customers[:50]:
        o.v = 100  # the largest number now
    check(idx)
    for o in rng.sample(orders, 100):
        o.c = rng.choice(customers)
    for o in orders[:200]:
        idx.remove_object(o)
    check(idx)
    check(idx.reduced_query(Q.lt("k", 1000)))
    customers[0].c = customers[1]  # a customer holds a link too (it is no member)
    check(idx)
    customers[0].c = None
    orders[500].c = [customers[2], customers[2], customers[3]]  # one order, several links
    check(idx)


@pytest.mark.parametrize("kinds", ["numbers and strings", "with a container"])
def test_groups_of_a_plain_attribute_in_a_large_index(kinds):
    """Groups read off the value tables (many objects, values of every kind a count
    keeps) agree with a loop, over the index and a view, after writes."""
    rng = random.Random(7)
    choices = [1, 3, 3.0, -2.5, "", "a", "b", True, False, None, float("nan")]
    if kinds == "with a container":
        choices.append([1, "a"])
    objs = [Node(k=i, v=rng.choice(choices), w=rng.randrange(100)) for i in range(5000)]
    idx = Index()
    idx.add_object_many(objs)
    for o in rng.sample(objs, 500):
        o.v = rng.choice(choices)
    for target in (idx, idx.reduced_query(Q.lt("k", 2500))):
        members = target.collect()
        g = target.group_by("v")
        groups = {}
        for m in members:
            for k in {value_key(v) for v in reached(m, "v")} - {None}:
                groups.setdefault(k, []).append(m)
        assert [value_key(v) for v, _ in g.count()] == [value_key(v) for v, _ in target.count_by("v")]
        sums = g.sum("w")
        assert {value_key(v): s for v, s in sums} == {k: sum(m.w for m in ms) for k, ms in groups.items()}
        assert [value_key(v) for v, _ in sums] == [value_key(v) for v, _ in g.count()]
