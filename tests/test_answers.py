"""order_by, count_by, min and max against a plain Python model of the same rules."""

import math
import random
from collections import Counter

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


def is_number(v):
    return type(v) in (int, float) and not (type(v) is float and math.isnan(v))


def as_answer(v):
    """A number as the answers give it back: an int when integral."""
    if type(v) is float and v.is_integer():
        return int(v)
    return v


def model_order(objs, attr, descending=False, limit=None):
    numbers, strings, rest = [], [], []
    for pos, o in enumerate(objs):
        v = getattr(o, attr, None) if hasattr(o, attr) else None
        if is_number(v) and hasattr(o, attr):
            numbers.append((v, pos, o))
        elif type(v) is str:
            strings.append((v, pos, o))
        else:
            rest.append(o)
    # Ties keep collect() order in both directions: a stable sort on values only.
    numbers.sort(key=lambda t: t[0], reverse=descending)
    strings.sort(key=lambda t: t[0], reverse=descending)
    out = [t[2] for t in numbers] + [t[2] for t in strings] + rest
    return out if limit is None else out[:limit]


def distinct_values(v):
    if isinstance(v, (list, tuple, set, frozenset)):
        found = {}
        for e in v:
            if isinstance(e, (list, tuple, set, frozenset)):
                continue
            found.setdefault(value_key(e), e)
        return list(found.values())
    return [v]


def value_key(v):
    if type(v) is bool:
        return ("b", v)
    if is_number(v):
        return ("n", v)
    if type(v) is str:
        return ("s", v)
    if isinstance(v, Indexable):
        return ("o", id(v))
    return ("x", id(v))


def model_count(objs, attr):
    counts = Counter()
    first = {}
    for o in objs:
        if not hasattr(o, attr):
            continue
        for e in distinct_values(getattr(o, attr)):
            k = value_key(e)
            if k[0] == "x" or (k[0] == "n" and not is_number(e)):
                continue
            counts[k] += 1
            first.setdefault(k, e)
    kind_rank = {"n": 0, "s": 1, "b": 2, "o": 3}

    def tie_key(item):
        k, n = item
        return (-n, kind_rank[k[0]], k[1] if k[0] != "o" else 0)

    items = sorted(counts.items(), key=tie_key)
    return [(as_answer(first[k]) if k[0] == "n" else first[k], n) for k, n in items]


def model_extreme(objs, attr, largest):
    found = []
    for o in objs:
        if hasattr(o, attr):
            v = getattr(o, attr)
            found.extend(e for e in flatten(v) if is_number(e))
    if not found:
        return None
    return as_answer(max(found) if largest else min(found))


def same_counts(got, want):
    """Equal lists of (value, count), with objects compared by identity and
    ties between objects in any order."""
    assert len(got) == len(want), (got, want)
    assert [n for _, n in got] == [n for _, n in want]
    plain_got = [(v, n) for v, n in got if not isinstance(v, Indexable)]
    plain_want = [(v, n) for v, n in want if not isinstance(v, Indexable)]
    assert plain_got == plain_want
    for (gv, gn), (wv, wn) in zip(plain_got, plain_want):
        assert type(gv) is type(wv), (gv, wv)
    objs_got = sorted((id(v), n) for v, n in got if isinstance(v, Indexable))
    objs_want = sorted((id(v), n) for v, n in want if isinstance(v, Indexable))
    assert objs_got == objs_want


def random_value(rng, shared):
    r = rng.random()
    if r < 0.3:
        return rng.randint(-5, 5)
    if r < 0.45:
        return rng.choice([1.5, -2.25, 3.0, 0.0, -0.0, 1e300, float("inf"), -float("inf"), 2**62 + 0.0])
    if r < 0.65:
        return rng.choice(["", "a", "ab", "b", "é", "Z", "a\u0301", "zz" * 20])
    if r < 0.72:
        return rng.choice([True, False])
    if r < 0.82:
        return [rng.choice([1, 2.0, "a", "", True, 3]) for _ in range(rng.randint(0, 3))]
    if r < 0.86:
        return (rng.randint(0, 2), "b")
    if r < 0.92:
        return rng.choice(shared)
    if r < 0.95:
        return float("nan")
    return None


def check_all(target, objs, rng):
    for attr in ("v", "w", "missing"):
        for descending in (False, True):
            for limit in (None, 0, 1, 3, len(objs) // 2, len(objs) + 5):
                got = target.order_by(attr, descending=descending, limit=limit)
                want = model_order(objs, attr, descending, limit)
                assert [id(o) for o in got] == [id(o) for o in want], (attr, descending, limit)
        same_counts(target.count_by(attr), model_count(objs, attr))
        for largest in (False, True):
            got = target.max(attr) if largest else target.min(attr)
            want = model_extreme(objs, attr, largest)
            assert got == want and type(got) is type(want), (attr, largest, got, want)


@pytest.mark.parametrize("seed", range(6))
def test_answers_match_the_model_through_writes_views_and_removals(seed):
    rng = random.Random(seed)
    shared = [Item(tag=i) for i in range(3)]
    objs = []
    for _ in range(rng.choice([5, 40, 300])):
        o = Item()
        for attr in ("v", "w"):
            if rng.random() < 0.9:
                setattr(o, attr, random_value(rng, shared))
        objs.append(o)
    idx = Index()
    idx.add_object_many(objs)
    members = list(objs)
    for _round in range(4):
        check_all(idx, idx.collect(), rng)
        assert {id(o) for o in idx.collect()} == {id(o) for o in members}
        view = idx.reduced_query(Q.or_(Q.lt("v", 2), Q.eq("v", "a"), Q.eq("w", True)))
        check_all(view, view.collect(), rng)
        # Writes reach the answers of the index and of views made before.
        for o in rng.sample(members, min(len(members), 10)):
            o.v = random_value(rng, shared)
        check_all(view, view.collect(), rng)
        if rng.random() < 0.5 and members:
            gone = rng.choice(members)
            idx.remove_object(gone)
            members.remove(gone)
        else:
            idx.reduce(w=rng.choice([1, 2, "a", True]))
            members = idx.collect()
        added = Item(v=random_value(rng, shared), w=random_value(rng, shared))
        idx.add_object(added)
        members.append(added)


def test_large_sets_take_the_top_k_walk_and_the_keys_read_off_the_slices():
    rng = random.Random(7)
    # v spans both signs (too many key buckets between its ends: the walk over
    # the key bits), p is positive (answered from the buckets nearest an end).
    objs = [Item(v=rng.random() * 1000 - 500, p=rng.random() * 100, w=rng.randint(0, 20),
                 s=f"s{rng.randint(0, 99999):05d}")
            for _ in range(20000)]
    objs[5].v = "text"
    objs[6].v = [1, 2]
    idx = Index()
    idx.add_object_many(objs)
    everything = idx.collect()
    for attr in ("v", "p", "w", "s"):
        for descending in (False, True):
            for limit in (1, 10, 100, 3000, None):
                got = idx.order_by(attr, descending=descending, limit=limit)
                want = model_order(everything, attr, descending, limit)
                assert [id(o) for o in got] == [id(o) for o in want]
        same_counts(idx.count_by(attr), model_count(everything, attr))
    view = idx.reduced_query(Q.bt("w", 3, 4))
    for attr in ("v", "p", "w"):
        for target in (idx, view):
            assert target.min(attr) == model_extreme(target.collect(), attr, False)
            assert target.max(attr) == model_extreme(target.collect(), attr, True)
            for descending in (False, True):
                got = target.order_by(attr, descending=descending, limit=10)
                want = model_order(target.collect(), attr, descending, 10)
                assert [id(o) for o in got] == [id(o) for o in want]
    same_counts(view.count_by("s"), model_count(view.collect(), "s"))


def test_numbers_come_back_as_ints_when_integral():
    idx = Index()
    a, b, c = Item(x=3), Item(x=3.0), Item(x=2.5)
    d, e, f = Item(x=True), Item(x=1), Item(x=2**63 - 1)
    g = Item(x=-(2**63))
    idx.add_object_many([a, b, c, d, e, f, g])
    counts = idx.count_by("x")
    assert counts[0] == (3, 2) and type(counts[0][0]) is int
    assert (True, 1) in counts and (1, 1) in counts
    assert idx.max("x") == 2**63 - 1 and idx.min("x") == -(2**63)
    big = Item(x=1e300)
    idx.add_object(big)
    assert idx.max("x") == int(1e300) and type(idx.max("x")) is int
    assert type(idx.min(attr="x")) is int


def test_nested_objects_count_by_identity_and_order_last():
    idx = Index()
    shared = Item(name="shared")
    other = Item(name="other")
    objs = [Item(best=shared), Item(best=shared), Item(best=[shared, shared, other]), Item(best=other)]
    idx.add_object_many(objs)
    counts = idx.count_by("best")
    assert counts[0][0] is shared and counts[0][1] == 3
    assert counts[1][0] is other and counts[1][1] == 2
    assert [id(o) for o in idx.order_by("best")] == [id(o) for o in idx.collect()]
    # The nested objects are no members: their own values are not counted.
    assert idx.count_by("name") == []


def test_bad_arguments_get_clear_errors():
    idx = Index()
    idx.add_object(Item(x=1))
    view = idx.reduced(x=1)
    for target in (idx, view):
        with pytest.raises(TypeError, match="attr"):
            target.order_by(3)
        with pytest.raises(TypeError):
            target.count_by(None)
        with pytest.raises(TypeError):
            target.min(b"x")
        with pytest.raises(ValueError, match="negative"):
            target.order_by("x", limit=-1)
        with pytest.raises(TypeError, match="limit"):
            target.order_by("x", limit=1.5)
        with pytest.raises(TypeError, match="limit"):
            target.order_by("x", limit=True)
        with pytest.raises(TypeError):
            target.order_by("x", True)  # descending is keyword-only
        for bad in ("a..b", ".a", "a.", ""):
            with pytest.raises(ValueError, match="dotted path"):
                target.order_by(bad)
            with pytest.raises(ValueError, match="dotted path"):
                target.count_by(bad)
        assert target.order_by("a.b") == target.collect()
        assert target.order_by("unknown") == target.collect()
        assert target.count_by("unknown") == []
        assert target.max("unknown") is None
        assert target.order_by("x", limit=10**30) == target.collect()


def test_counts_of_container_elements_by_both_roads():
    # Long lists (more elements than eight per object) are counted from each
    # object's own elements, short ones by tracing each value's elements.
    rng = random.Random(11)
    pool = [1, 2, 2.0, 3.5, "a", "b", "", True, False, float("nan"), None]
    objs = [Item(long=[rng.choice(pool) for _ in range(12)] + [(rng.choice(pool), [rng.choice(pool)])],
                 short=[rng.choice(pool)], plain=rng.choice(pool))
            for _ in range(3000)]
    idx = Index()
    idx.add_object_many(objs)
    views = [idx, idx.reduced_query(Q.eq("short", "a")), idx.reduced_query(Q.eq("plain", 2))]
    for target in views:
        for attr in ("long", "short", "plain"):
            same_counts(target.count_by(attr), model_count_nested(target.collect(), attr))
            for largest in (False, True):
                got = target.max(attr) if largest else target.min(attr)
                assert got == model_extreme(target.collect(), attr, largest)
    for o in objs[:50]:
        o.long = ["z"] * 9 + [7]
    for target in views:
        same_counts(target.count_by("long"), model_count_nested(target.collect(), "long"))


def flatten(v):
    if isinstance(v, (list, tuple, set, frozenset)):
        for e in v:
            yield from flatten(e)
    else:
        yield v


def model_count_nested(objs, attr):
    """model_count, with the elements of containers inside containers counted too."""
    flat = [Item(**{attr: list(flatten(getattr(o, attr)))}) if isinstance(getattr(o, attr), (list, tuple, set))
            else o for o in objs]
    return model_count(flat, attr)


def test_answers_read_objects_while_other_threads_write_them():
    # Past a few thousand distinct strings the index keeps no table of them:
    # orders and counts read those strings from the objects, whose own locks
    # come before the index's. Writers on other threads must neither deadlock
    # with them nor be lost.
    import threading

    objs = [Item(name=f"n{i:06d}", n=i) for i in range(20000)]
    idx = Index()
    idx.add_object_many(objs)
    stop = threading.Event()
    errors = []

    def writer(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                o = rng.choice(objs)
                o.name = f"w{rng.randint(0, 10**6):07d}"
                o.n = rng.randint(0, 100)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(s,)) for s in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(20):
            assert len(idx.order_by("name", limit=5)) == 5
            # A write takes the old value out and puts the new one in: an
            # answer read in between misses the object (one per writer at most).
            assert len(objs) - len(threads) <= sum(n for _, n in idx.count_by("name")) <= len(objs)
            assert len(idx.order_by("name", descending=True)) == len(objs)
            assert idx.min("n") is not None
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == []
    everything = idx.collect()
    assert [id(o) for o in idx.order_by("name")] == [id(o) for o in model_order(everything, "name")]
    same_counts(idx.count_by("name"), model_count(everything, "name"))


def nested_value(rng, shared, rare):
    """An attribute value holding nested objects: alone, repeated in a list, inside
    containers inside containers, beside plain values, or none."""
    r = rng.random()
    if r < 0.45:
        return rng.choice(shared)
    if r < 0.6:
        return [rng.choice(shared) for _ in range(rng.randint(1, 4))]
    if r < 0.7:
        return (rng.choice(shared), [rng.choice(shared), (rng.choice(rare), [rng.choice(shared)])])
    if r < 0.8:
        return rng.choice(rare)
    if r < 0.9:
        return [1, "a", rng.choice(shared), True]
    return rng.randint(0, 3)


def check_nested_counts(targets):
    # A view still lists objects that left the index; its counts leave them out.
    members = {id(o) for o in targets[0].collect()}
    for target in targets:
        present = [o for o in target.collect() if id(o) in members]
        same_counts(target.count_by("o"), model_count_nested(present, "o"))


def test_nested_objects_counted_alike_for_wide_sets_and_narrow_ones():
    # A few objects shared by thousands of holders are counted from each one's
    # set of holders when the set asked is wide, by visiting the holders when
    # it is narrow; both roads through bulk and single adds, writes and removals.
    rng = random.Random(17)
    shared = [Item(name=i) for i in range(3)]
    rare = [Item(name=f"r{i}") for i in range(40)]
    objs = [Item(o=nested_value(rng, shared, rare), k=i % 10, j=i % 200) for i in range(3000)]
    idx = Index()
    idx.add_object_many(objs[:2000])
    for o in objs[2000:]:
        idx.add_object(o)
    wide = idx.reduced_query(Q.lt("k", 5))
    narrow = idx.reduced_query(Q.eq("j", 7))
    targets = [idx, wide, narrow]
    check_nested_counts(targets)
    # Writes: occurrences added and taken out one at a time, and objects
    # replaced by plain values.
    for o in rng.sample(objs, 300):
        o.o = nested_value(rng, shared, rare)
    check_nested_counts(targets)
    # A holder stays one while any occurrence is left, however deep.
    holder = objs[0]
    holder.o = [shared[0], [shared[0], (shared[0],)]]
    for value in ([shared[0]], [[shared[0]]], [], shared[1]):
        holder.o = value
        check_nested_counts(targets)
    # Objects that leave drop out of the index's counts and of the views'.
    for o in rng.sample(objs, 400):
        idx.remove_object(o)
    check_nested_counts(targets)
    assert sum(n for v, n in idx.count_by("o") if v is shared[0]) == \
        sum(1 for o in idx.collect() if any(e is shared[0] for e in flatten(o.o)))
    # Every holder of one object leaves: it is counted nowhere.
    for o in idx.collect():
        if any(e is shared[2] for e in flatten(o.o)):
            o.o = shared[0]
    for target in targets:
        assert all(v is not shared[2] for v, _ in target.count_by("o"))
    check_nested_counts(targets)
    # Indexes made from others enter the same links afresh.
    rebased = wide.rebase()
    merged = Index()
    merged.add_object_many(rng.sample(objs, 500))
    merged.union_with(idx)
    for made in (rebased, merged):
        check_nested_counts([made, made.reduced_query(Q.lt("k", 5)), made.reduced_query(Q.eq("j", 7))])


def test_nested_objects_counted_when_each_holder_has_its_own():
    # Thousands of objects held once each (too many for a set of holders each)
    # beside a few shared ones, then the distinct ones replaced by shared ones.
    rng = random.Random(19)
    shared = [Item(name=i) for i in range(3)]
    objs = [Item(o=Item(name=i) if i % 4 else [rng.choice(shared), rng.choice(shared)], k=i % 7)
            for i in range(6000)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.eq("k", 2))
    check_nested_counts([idx, view])
    for o in objs[: len(objs) // 2]:
        o.o = rng.choice(shared)
    check_nested_counts([idx, view])
    extra = [Item(o=[shared[0], shared[0]], k=2) for _ in range(200)]
    idx.add_object_many(extra)
    check_nested_counts([idx, view])
