"""Faults the differential test (test_differential.py) found, one named test each:
every index and view answers from current values whatever road a value took."""
import gc
import sys

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class T(Indexable):
    pass


def owners_named(index, name):
    return index.reduced_query(Q.eq("owner.name", name)).collect()


def test_a_view_outliving_its_index_follows_writes():
    o = T(a=3)
    idx = Index()
    idx.add_object(o)
    view = idx.reduced_query(Q.and_())
    del idx
    gc.collect()
    o.a = 5
    assert view.reduced(a=5).collect() == [o]
    assert view.reduced(a=3).collect() == []
    assert view.reduced_query(Q.ne("a", 3)).collect() == [o]
    o.a = "now text"
    assert view.reduced_query(Q.starts_with("a", "now")).collect() == [o]
    assert view.collect() == [o]


def test_union_then_replacing_a_list_of_nested_objects():
    ann = T(name="Ann")
    h = T(owner=[ann])
    b = Index()
    b.add_object(h)
    a = Index()
    a.union_with(b)
    assert owners_named(a, "Ann") == [h]
    h.owner = 1
    assert owners_named(a, "Ann") == [] and owners_named(b, "Ann") == []


def test_holder_reaching_the_source_of_a_union_twice():
    # added twice to the source, rebased and added, merged and added: the merged
    # index ends with one pair per value, which the next write takes out
    for prepare in ("added twice", "rebased and added", "merged and added"):
        ann = T(name="Ann")
        h = T(owner=ann)
        b = Index()
        b.add_object(h)
        if prepare == "added twice":
            b.add_object(h)
        elif prepare == "rebased and added":
            b = b.reduced().rebase()
            b.add_object(h)
        else:
            c = Index()
            c.add_object(h)
            b.union_with(c)
            b.add_object(h)
        a = Index()
        a.union_with(b)
        h.owner = 1
        assert owners_named(a, "Ann") == [], prepare
        assert owners_named(b, "Ann") == [], prepare
        h.owner = ann
        assert owners_named(a, "Ann") == [h] and owners_named(b, "Ann") == [h], prepare


def test_bulk_add_with_repeats_and_objects_already_held():
    ann, bob = T(name="Ann"), T(name="Bob")
    h, k = T(owner=ann), T(owner=[ann, bob])
    idx = Index()
    idx.add_object(h)
    idx.add_object_many([h, k, k, h])
    merged = Index()
    merged.union_with(idx)  # takes one pair per value, not one per add
    h.owner = bob
    k.owner = 2
    for index in (idx, merged):
        assert owners_named(index, "Ann") == []
        assert owners_named(index, "Bob") == [h]


def test_reduce_then_add_again_then_replace_the_nested_list():
    ann = T(name="Ann")
    h = T(b=1, owner=[ann])
    i = Index()
    i.add_object(h)
    i.reduce(b=2)
    i.add_object(h)
    h.owner = 1
    assert owners_named(i, "Ann") == []


def test_narrowed_away_written_while_out_and_added_again_beside_another_holder():
    ann, bob = T(name="Ann"), T(name="Bob")
    h, other = T(b=1, owner=[ann]), T(b=2, owner=[ann])
    i = Index()
    i.add_object(h)
    i.reduce(b=2)
    h.owner = 1  # while out: the index does not take it
    i.add_object(other)
    i.add_object(h)
    assert owners_named(i, "Ann") == [other]
    h.owner = bob
    assert owners_named(i, "Ann") == [other] and owners_named(i, "Bob") == [h]


def test_writes_to_a_narrowed_away_object_stay_out_of_the_maps():
    kept, dropped = T(k=True, v=1), T(k=False, v=1)
    i = Index()
    i.add_object_many([kept, dropped])
    early = i.reduced()
    i.reduce(k=True)
    dropped.v = 7
    # the earlier view still collects it, but the maps hold nothing of it
    assert set(early.collect()) == {kept, dropped}
    assert early.reduced(v=7).collect() == [] and early.reduced(v=1).collect() == [kept]
    i.add_object(dropped)  # back, with its current value
    assert early.reduced(v=7).collect() == [dropped] and i.reduced(v=1).collect() == [kept]


def test_ne_on_a_dotted_path_is_the_complement_of_eq():
    ann, bob = T(name="Ann"), T(name="Bob")
    with_ann, with_bob, with_both, without = T(owner=ann), T(owner=bob), T(owner=[bob, ann]), T(x=1)
    idx = Index()
    idx.add_object_many([with_ann, with_bob, with_both, without])
    assert set(idx.reduced_query(Q.eq("owner.name", "Ann")).collect()) == {with_ann, with_both}
    assert set(idx.reduced_query(Q.ne("owner.name", "Ann")).collect()) == {with_bob, without}
    assert set(idx.reduced_query(Q.not_(Q.eq("owner.name", "Ann"))).collect()) == {with_bob, without}
    ann.name = "Anne"
    assert set(idx.reduced_query(Q.ne("owner.name", "Ann")).collect()) == {with_ann, with_bob, with_both, without}


def test_a_nested_object_no_holder_refers_to_is_let_go():
    h = T(owner=None)
    idx = Index()
    idx.add_object(h)
    first = T(name="first", inner=T(name="deep"))
    deep = first.inner
    before, deep_before = sys.getrefcount(first), sys.getrefcount(deep)
    h.owner = [first, first]
    h.owner = first
    assert owners_named(idx, "first") == [h]
    assert idx.reduced_query(Q.eq("owner.inner.name", "deep")).collect() == [h]
    h.owner = 1
    gc.collect()
    # the index let go of the nested object and of what it held in turn
    assert sys.getrefcount(first) == before and sys.getrefcount(deep) == deep_before
    assert owners_named(idx, "first") == []
    h.owner = first  # held again: entered again, with its current values
    first.name = "again"
    assert owners_named(idx, "again") == [h]
    assert idx.reduced_query(Q.eq("owner.inner.name", "deep")).collect() == [h]


def test_reduce_lets_go_of_nested_objects_of_holders_narrowed_away():
    bob = T(name="Bob")
    before = sys.getrefcount(bob)
    kept, dropped = T(k=1, owner=T(name="Ann")), T(k=2, owner=bob)
    idx = Index()
    idx.add_object_many([kept, dropped])
    idx.reduce(k=1)
    dropped.owner = 1  # the holder lets go; the index no longer holds bob either
    gc.collect()
    assert sys.getrefcount(bob) == before
    assert owners_named(idx, "Bob") == [] and owners_named(idx, "Ann") == [kept]


def test_moving_objects_that_hold_themselves_between_holders_ends():
    # a nested object on its way out must not be stored one level deeper in the
    # meantime, then let go of, then stored deeper again, without end
    first = T(b=["a"])
    first.a = first
    first.name = first
    second = T(name="abc")
    second.c = second
    second.b = second
    idx = Index()
    idx.add_object_many([first, second])
    first.a = second
    assert set(idx.reduced_query(Q.eq("a.name", "abc")).collect()) == {first}
    assert set(idx.reduced_query(Q.eq("c.name", "abc")).collect()) == {second}
    first.a = 1
    assert idx.reduced_query(Q.eq("a.name", "abc")).collect() == []
