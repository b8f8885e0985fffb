"""Index.remove_object: one object out of an index, against a plain model."""
import gc
import random
import sys
import threading

import pytest

from PyVorlane import Index, Indexable
from PyVorlane import PyQueryExpr as Q


class Item(Indexable):
    pass


def tags(objs):
    return sorted(o.n for o in objs)


def make(n):
    return Item(n=n, age=n % 7, name=f"name{n % 5}", tags=[f"t{n % 3}", n % 4], score=n / 2)


QUERIES = [
    (Q.eq("age", 3), lambda o: o.age == 3),
    (Q.bt("score", 2, 9), lambda o: 2 <= o.score <= 9),
    (Q.starts_with("name", "name1"), lambda o: o.name.startswith("name1")),
    (Q.contains("name", "e3"), lambda o: "e3" in o.name),
    (Q.eq("tags", "t1"), lambda o: "t1" in o.tags),
    (Q.in_("tags", [2, 3]), lambda o: 2 in o.tags or 3 in o.tags),
    (Q.not_(Q.eq("age", 3)), lambda o: o.age != 3),
    (Q.ne("tags", 0), lambda o: 0 not in o.tags),
]


def check(idx, model):
    assert tags(idx.collect()) == tags(model) and len(idx) == len(model)
    for q, test in QUERIES:
        assert tags(idx.reduced_query(q).collect()) == tags(o for o in model if test(o)), q


def test_random_removals_writes_and_readds_agree_with_a_model():
    rng = random.Random(5)
    objs = [make(n) for n in range(60)]
    idx, model = Index(), set()
    idx.add_object_many(objs[:40])
    model.update(objs[:40])
    for step in range(400):
        o = rng.choice(objs)
        r = rng.random()
        if r < 0.3:
            if o in model:
                idx.remove_object(o)
                model.discard(o)
            else:
                with pytest.raises(KeyError):
                    idx.remove_object(o)
        elif r < 0.45:
            idx.add_object(o)
            model.add(o)
        elif r < 0.8:  # writes to removed objects must not reach the index
            attr = rng.choice(["age", "name", "tags", "score"])
            setattr(o, attr, make(rng.randrange(100)).__getattribute__(attr))
        assert (o in idx) == (o in model)
        if step % 20 == 0:
            check(idx, model)
    check(idx, model)


def test_missing_objects_raise_key_error_and_other_arguments_type_error():
    idx, a, b = Index(), make(1), make(2)
    with pytest.raises(KeyError) as info:
        idx.remove_object(a)
    assert info.value.args == (a,)
    idx.add_object(a)
    idx.remove_object(a)
    with pytest.raises(KeyError):
        idx.remove_object(a)  # twice
    for bad in (None, 1, "x", idx):
        with pytest.raises(TypeError, match="obj"):
            idx.remove_object(bad)
    with pytest.raises(TypeError):
        idx.remove_object()
    idx.add_object(b)
    idx.remove_object(obj=b)
    assert Index.remove_object.__text_signature__ == "($self, obj)"


def test_other_indexes_keep_the_object_and_its_writes():
    o = make(1)
    first, second = Index(), Index()
    first.add_object(o)
    second.add_object(o)
    first.remove_object(o)
    o.age = 99
    assert first.reduced(age=99).collect() == [] and first.collect() == []
    assert second.reduced(age=99).collect() == [o]
    second.remove_object(o)
    assert second.collect() == []


def test_views_made_before_keep_their_set_but_do_not_match_it_again():
    objs = [make(n) for n in range(6)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced(age=3)
    gone = objs[3]
    idx.remove_object(gone)
    assert view.collect() == [gone] and len(view) == 1 and gone in view
    assert gone not in idx and len(idx) == 5
    assert view.reduced(age=3).collect() == [] and view.reduced_query(Q.eq("name", gone.name)).collect() == []
    # a rebased view holds the object afresh and follows its writes
    rebased = view.rebase()
    gone.age = 4
    assert rebased.reduced(age=4).collect() == [gone] and idx.reduced(age=4).collect() == [objs[4]]
    # added again, it is found by its current values
    idx.add_object(gone)
    assert tags(idx.reduced(age=4).collect()) == [3, 4]


def test_removed_holders_let_go_of_their_nested_objects():
    child, shared = Item(name="kid"), Item(name="both")
    a, b = Item(n=1, friend=child, pals=[shared]), Item(n=2, pals=[shared, 5])
    idx = Index()
    idx.add_object_many([a, b])
    assert tags(idx.reduced_query(Q.eq("pals.name", "both")).collect()) == [1, 2]
    idx.remove_object(a)
    assert idx.reduced_query(Q.eq("friend.name", "kid")).collect() == []
    assert idx.reduced_query(Q.eq("pals.name", "both")).collect() == [b]
    child.name = "other"  # no longer reaches the index
    assert idx.reduced_query(Q.eq("friend.name", "other")).collect() == []
    shared.name = "renamed"  # still held through b
    assert idx.reduced_query(Q.eq("pals.name", "renamed")).collect() == [b]
    idx.remove_object(b)
    assert idx.reduced_query(Q.eq("pals.name", "renamed")).collect() == []
    # the index lets go of the nested objects: no reference of the index is left
    gc.collect()
    before = sys.getrefcount(shared)
    del idx
    gc.collect()
    assert sys.getrefcount(shared) == before


def test_a_removed_object_nested_in_a_kept_holder_stays_reachable_through_it():
    child = Item(n=7, name="kid")
    holder = Item(n=1, friend=child)
    idx = Index()
    idx.add_object_many([holder, child])
    idx.remove_object(child)
    assert idx.collect() == [holder] and child not in idx
    child.name = "grown"
    assert idx.reduced_query(Q.eq("friend.name", "grown")).collect() == [holder]
    assert idx.reduced(name="grown").collect() == []


def test_removal_lets_go_of_the_object_once_no_view_can_collect_it():
    idx = Index()
    o, p = make(1), make(2)
    base_o, base_p = sys.getrefcount(o), sys.getrefcount(p)
    idx.add_object_many([o, p])
    assert sys.getrefcount(o) > base_o
    idx.remove_object(o)
    assert sys.getrefcount(o) == base_o  # no view: released at once
    idx.add_object(o)
    view = idx.reduced()
    idx.remove_object(o)
    assert sys.getrefcount(o) > base_o and set(view.collect()) == {o, p}
    del view
    idx.remove_object(p)  # no view any more: what was kept for one goes too
    assert sys.getrefcount(o) == base_o and sys.getrefcount(p) == base_p
    idx.add_object(o)  # re-added records are not let go of with the kept ones
    view = idx.reduced()
    idx.add_object(p)
    idx.remove_object(p)
    del view
    idx.reduce(n=1)
    assert idx.collect() == [o] and sys.getrefcount(p) == base_p


def test_reduce_lets_go_of_narrowed_away_objects_without_views():
    objs = [make(n) for n in range(4)]
    bases = [sys.getrefcount(objs[k]) for k in range(4)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced()
    idx.reduce(age=1)
    collected = view.collect()
    assert set(collected) == set(objs)  # kept for the view
    del view, collected
    idx.reduce(age=1)
    assert [sys.getrefcount(objs[k]) - bases[k] for k in range(4)] == [0, 1, 0, 0]
    assert idx.collect() == [objs[1]]


def test_removal_while_other_threads_write_and_query():
    objs = [make(n) for n in range(400)]
    idx = Index()
    idx.add_object_many(objs)
    errors = []

    def writer():
        try:
            for k in range(3000):
                objs[k % 400].age = k % 7
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    def reader():
        try:
            for _ in range(300):
                for o in idx.reduced_query(Q.eq("tags", "t1")).collect():
                    assert isinstance(o, Item)
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for o in objs[::2]:
        idx.remove_object(o)
    for t in threads:
        t.join()
    assert errors == []
    kept = objs[1::2]
    check(idx, set(kept))


def test_ids_of_removed_and_released_objects_are_reused_safely():
    """Removals wait in batches; the ids of removed objects that die are handed
    to new objects, which must not inherit anything of the old values."""
    keep = [Item(n=k, age=k % 3, name=f"s{k % 4}", tags=[k % 2, "t"]) for k in range(200)]
    idx = Index()
    idx.add_object_many(keep)
    for round_ in range(3):
        gone = [Item(n=1000 + k, age=7, name="gone", tags=[7, "g"], score=1.5) for k in range(100)]
        idx.add_object_many(gone)
        for o in gone:
            idx.remove_object(o)
        del gone, o
        gc.collect()
        # New objects take the freed ids: some without the attributes, some with new values.
        bare = [Item(n=2000 + k, other=k) for k in range(100)]
        idx.add_object_many(bare)
        if round_ == 1:  # a search before the new values arrive settles the batch first
            assert idx.reduced(age=7).collect() == []
        new = [Item(n=3000 + k, age=8, name="new", tags=[8], score=2.5) for k in range(60)]
        for o in new:
            idx.add_object(o)
        model = keep + bare + new
        for q, test in [(Q.eq("age", 7), lambda o: False), (Q.eq("name", "gone"), lambda o: False),
                        (Q.eq("tags", "g"), lambda o: False), (Q.ge("age", 7), lambda o: getattr(o, "age", 0) >= 7),
                        (Q.ends_with("name", "one"), lambda o: False), (Q.eq("score", 2.5), lambda o: o in new),
                        (Q.eq("tags", 8), lambda o: o in new), (Q.eq("age", 1), lambda o: getattr(o, "age", None) == 1)]:
            want = tags(o for o in model if test(o))
            assert tags(idx.reduced_query(q).collect()) == want, (round_, q)
            merged = Index()
            merged.union_with(idx)
            assert tags(merged.reduced_query(q).collect()) == want, (round_, q)
        for o in bare + new:
            idx.remove_object(o)
        del bare, new, model


class Holder(Indexable):
    pass


def mixed(n, inner):
    """An object whose containers hold every kind of element: strings, ints, floats,
    booleans, None, a nested list and a nested object."""
    return Holder(n=n, name=f"h{n % 11}", tags=[f"t{n % 5}", n % 6, n / 4, n % 2 == 0, None,
                                                 [f"in{n % 3}", 1000 + n % 7], inner[n % len(inner)]],
                  pair=(n % 9, f"p{n % 4}"))


MIXED_QUERIES = [
    (Q.eq("tags", "t2"), lambda o: "t2" in o.tags),
    (Q.eq("tags", 3), lambda o: 3 in o.tags),
    (Q.bt("tags", 10.0, 40.5), lambda o: any(type(v) in (int, float) and 10.0 <= v <= 40.5 for v in o.tags)),
    (Q.eq("tags", True), lambda o: True in [v for v in o.tags if type(v) is bool]),
    (Q.starts_with("tags", "t"), lambda o: any(isinstance(v, str) and v.startswith("t") for v in o.tags)),
    (Q.eq("pair", "p1"), lambda o: "p1" in o.pair),
    (Q.eq("name", "h3"), lambda o: o.name == "h3"),
]


def check_mixed(idx, model):
    assert sorted(o.n for o in idx.collect()) == sorted(o.n for o in model)
    for q, test in MIXED_QUERIES:
        assert sorted(o.n for o in idx.reduced_query(q).collect()) == sorted(o.n for o in model if test(o)), q


@pytest.mark.parametrize("between", [1, 7, 40, 10_000])
def test_removing_holders_of_every_kind_of_element_in_random_order_matches_a_scan(between):
    """Containers' elements leave with their holder however many removals wait
    between two reads (one, a few, more than a batch carried out id by id, all)."""
    inner = [Item(n=-k, age=k, name="inner", tags=[], score=0.0) for k in range(5)]
    objs = [mixed(n, inner) for n in range(900)]
    idx = Index()
    idx.add_object_many(objs)
    model = set(objs)
    order = list(objs)
    random.Random(between).shuffle(order)
    for k, o in enumerate(order):
        idx.remove_object(o)
        model.discard(o)
        if k % between == between - 1 or k in (0, len(order) - 1):
            check_mixed(idx, model)
    assert len(idx) == 0 and idx.collect() == []
    idx.add_object_many(objs[:50])  # the freed element ids serve new elements
    check_mixed(idx, set(objs[:50]))


def test_an_object_in_several_indexes_keeps_each_link_until_removed_from_it():
    o = make(1)
    indexes = [Index() for _ in range(5)]
    for idx in indexes:
        idx.add_object(o)
        idx.add_object(o)  # once more: still one link
    base = sys.getrefcount(o)
    del indexes[1]  # a dead index's link goes with the next change of the list
    indexes[2].remove_object(o)
    o.age = 5
    for k, idx in enumerate(indexes):
        assert idx.reduced(age=5).collect() == ([] if k == 2 else [o]), k
    for idx in indexes:
        if idx is not indexes[2]:
            idx.remove_object(o)
    o.age = 6
    assert all(idx.collect() == [] and idx.reduced(age=6).collect() == [] for idx in indexes)
    assert sys.getrefcount(o) < base
    indexes[0].add_object(o)
    o.age = 7
    assert indexes[0].reduced(age=7).collect() == [o] and indexes[3].reduced(age=7).collect() == []
