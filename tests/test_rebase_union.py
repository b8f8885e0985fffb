"""FilteredIndex.rebase and Index.union_with."""
import gc
import random
import sys

import pytest

from PyVorlane import FilteredIndex, Index, Indexable, PyQueryExpr as Q
from test_index_model import INNER, build, model, random_expr, random_value


class Obj(Indexable):
    pass


def tags(objs):
    return sorted(o.tag for o in objs)


def test_rebase_empty_and_non_empty_views():
    objs = [Obj(tag=i, v=i % 3, s=f"s{i}") for i in range(30)]
    idx = Index()
    idx.add_object_many(objs)
    empty = idx.reduced(v=7).rebase()
    assert isinstance(empty, Index) and empty.collect() == []
    view = idx.reduced(v=1)
    rebased = view.rebase()
    assert rebased.collect() == view.collect()  # same objects, same order
    assert all(a is b for a, b in zip(rebased.collect(), view.collect()))
    assert tags(rebased.reduced_query(Q.starts_with("s", "s")).collect()) == tags(view.collect())
    assert rebased.get_by_attribute(v=0) == []  # never objects the view excluded
    assert FilteredIndex.rebase.__text_signature__ == "($self)"


def test_rebase_of_objects_with_late_attribute_names_and_nested_values():
    class Late(Indexable):
        pass

    inner = Obj(name="n")
    objs = [Late(**{f"late_attribute_{i}": i, "owner": inner, "tags": ["a", i]}) for i in range(5)]
    idx = Index()
    idx.add_object_many(objs)
    rebased = idx.reduced_query(Q.ge("late_attribute_3", 0)).rebase()
    assert rebased.collect() == [objs[3]]
    assert rebased.reduced_query(Q.eq("owner.name", "n")).collect() == [objs[3]]
    assert rebased.reduced_query(Q.eq("tags", 3)).collect() == [objs[3]]


def test_writes_after_rebase_reach_both_indexes():
    objs = [Obj(tag=i, v=i) for i in range(10)]
    idx = Index()
    idx.add_object_many(objs)
    rebased = idx.reduced_query(Q.lt("v", 5)).rebase()
    objs[2].v = 50
    objs[7].v = 1  # not in the rebased index: only the source sees it
    assert tags(idx.get_by_attribute(v=50)) == [2] and tags(rebased.get_by_attribute(v=50)) == [2]
    assert tags(idx.get_by_attribute(v=1)) == [1, 7] and tags(rebased.get_by_attribute(v=1)) == [1]
    del idx
    gc.collect()
    objs[3].v = 33
    assert tags(rebased.get_by_attribute(v=33)) == [3]


def test_union_of_disjoint_and_overlapping_indexes_with_different_attributes():
    inner = Obj(name="inner")
    a_objs = [Obj(tag=i, x=i, only_a="a", s=f"w{i}") for i in range(5)]
    b_objs = [Obj(tag=10 + i, x=i, only_b=None, t=("p", i), owner=inner) for i in range(5)]
    a, b = Index(), Index()
    a.add_object_many(a_objs)
    b.add_object_many(b_objs + a_objs[:2])  # two objects in both
    before_b = b.collect()
    assert a.union_with(b) is None
    assert b.collect() == before_b  # the other index is unchanged
    got = a.collect()
    assert len(got) == 10 and len(set(map(id, got))) == 10
    assert tags(a.get_by_attribute(x=1)) == [1, 11]
    assert tags(a.get_by_attribute(only_b=None)) == [10, 11, 12, 13, 14]
    assert tags(a.reduced_query(Q.eq("t", "p")).collect()) == [10, 11, 12, 13, 14]
    assert tags(a.reduced_query(Q.eq("t", 3)).collect()) == [13]
    assert tags(a.reduced_query(Q.eq("owner.name", "inner")).collect()) == [10, 11, 12, 13, 14]
    assert tags(a.reduced_query(Q.starts_with("s", "w")).collect()) == [0, 1, 2, 3, 4]
    # later writes on objects that came from b update a as well
    b_objs[0].x = 99
    b_objs[1].t = ["q"]
    inner.name = "renamed"
    assert tags(a.get_by_attribute(x=99)) == [10]
    assert tags(a.reduced_query(Q.eq("t", "p")).collect()) == [10, 12, 13, 14]
    assert tags(a.reduced_query(Q.eq("owner.name", "renamed")).collect()) == [10, 11, 12, 13, 14]
    assert tags(b.get_by_attribute(x=99)) == [10]


def test_self_union_and_bad_arguments():
    objs = [Obj(tag=i, v=[i]) for i in range(3)]
    a = Index()
    a.add_object_many(objs)
    before = a.collect()
    assert a.union_with(a) is None
    assert a.collect() == before
    assert tags(a.reduced_query(Q.eq("v", 1)).collect()) == [1]
    for bad in (None, 5, a.reduced()):
        with pytest.raises(TypeError, match="other"):
            a.union_with(bad)
    assert a.union_with(other=Index()) is None
    assert a.collect() == before


def test_union_releases_what_it_holds():
    marker = object()
    base = sys.getrefcount(marker)
    a, b = Index(), Index()
    b.add_object(Obj(tag=1, m=marker, l=[marker]))
    a.union_with(b)
    del a, b
    gc.collect()
    assert sys.getrefcount(marker) == base


def test_random_steps_with_rebase_and_union_agree_with_the_model():
    rng = random.Random(77)
    INNER[:] = [Obj(w=random_value(rng, 1)) for _ in range(10)]
    objs = [Obj(**{n: random_value(rng) for n in ("x", "y") if rng.random() < 0.9}) for _ in range(600)]
    left, right = Index(), Index()
    left.add_object_many(objs[:400])
    right.add_object_many(objs[200:])
    for o in rng.sample(objs, 50):
        o.x = random_value(rng)
    left.union_with(right)
    for _ in range(80):
        expr = random_expr(rng)
        assert set(left.reduced_query(build(expr)).collect()) == model(objs, expr), expr
    pivot = random_expr(rng)
    kept = model(objs, pivot)
    rebased = left.reduced_query(build(pivot)).rebase()
    for o in rng.sample(objs, 50):
        o.y = random_value(rng)
    for _ in range(80):
        expr = random_expr(rng)
        assert set(rebased.reduced_query(build(expr)).collect()) == model(kept, expr), expr
        assert set(left.reduced_query(build(expr)).collect()) == model(objs, expr), expr


def test_rebase_and_union_run_beside_adds_and_writes():
    import threading

    objs = [Obj(tag=i, v=i % 7, l=[i % 3]) for i in range(400)]
    src = Index()
    src.add_object_many(objs)
    stop = threading.Event()
    failures = []
    results = []

    def rebaser():
        try:
            while not stop.is_set():
                results.append(src.reduced(v=3).rebase())
                merged = Index()
                merged.union_with(src)
                results.append(merged)
                del results[:-4]
        except BaseException as e:  # pragma: no cover - reported below
            failures.append(repr(e))

    def adder_writer():
        r = random.Random(3)
        for _ in range(2000):
            o = r.choice(objs)
            o.v = r.randrange(7)
            src.add_object(o)

    threads = [threading.Thread(target=rebaser), threading.Thread(target=adder_writer)]
    for t in threads:
        t.start()
    threads[1].join(timeout=120)
    stop.set()
    threads[0].join(timeout=120)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not failures, failures
    final = src.reduced(v=3).rebase()
    assert set(final.collect()) == {o for o in objs if o.v == 3}
    merged = Index()
    merged.union_with(src)
    assert set(merged.get_by_attribute(v=3)) == {o for o in objs if o.v == 3}
