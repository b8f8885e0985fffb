"""len(), `in` and iter() of Index and FilteredIndex, against a plain model of
what each admits, through adds, writes, narrowing and views."""
import gc
import random
import sys

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


class Plain:
    pass


def in_id_order(objs):
    """`objs` in the order collect() gives them: an index of them all tells it
    (ids freed by earlier tests are reused, so creation order need not be it)."""
    every = Index()
    every.add_object_many(list(objs))
    return every.collect()


def check(container, admitted, outsiders):
    """Everything the basics say agrees with `admitted`."""
    got = container.collect()
    assert got == in_id_order(admitted)
    assert len(container) == len(admitted)
    assert list(iter(container)) == got
    assert [o for o in container] == got
    for o in admitted:
        assert o in container
    for o in outsiders:
        assert o not in container


def test_basics_follow_a_plain_model_through_adds_writes_and_narrowing():
    rng = random.Random(5)
    objs = [Item(k=rng.randrange(6), n=i) for i in range(300)]
    index = Index()
    check(index, [], objs)
    index.add_object_many(objs[:100])
    for o in objs[100:150]:
        index.add_object(o)
    held = objs[:150]
    check(index, held, objs[150:])
    # Adding an object twice admits it once.
    index.add_object(objs[0])
    index.add_object_many(objs[:10])
    check(index, held, objs[150:])

    view = index.reduced(k=2)
    in_view = [o for o in held if o.k == 2]
    check(view, in_view, [o for o in objs if o not in in_view])
    # A view keeps the set it was made with: a write moves nothing in or out of it...
    moved = in_view[0]
    moved.k = 3
    check(view, in_view, [o for o in objs if o not in in_view])
    # ...but narrowing it again re-checks current values.
    check(view.reduced(k=2), in_view[1:], [moved])
    check(view.reduced_query(Q.eq("k", 2)), in_view[1:], [moved])

    # Narrowing the index in place drops what no longer matches.
    index.reduce(k=3)
    now = [o for o in held if o.k == 3]
    check(index, now, [o for o in objs if o not in now])
    # Views made before keep their own set.
    check(view, in_view, [o for o in objs if o not in in_view])


def test_membership_is_by_the_object_itself_and_refuses_nothing():
    a, b = Item(v=1), Item(v=1)
    index = Index()
    index.add_object(a)
    assert a in index and b not in index  # equal values, another object
    view = index.reduced(v=1)
    for outsider in (None, 1, "a", Plain(), [a], (a,), Item):
        assert outsider not in index
        assert outsider not in view
    assert len(Index().reduced(v=1)) == 0 and list(Index().reduced(v=1)) == []


def test_nested_objects_are_stored_but_are_not_members():
    inner = Item(v=1)
    holder = Item(n=1, inner=inner)
    index = Index()
    index.add_object(holder)
    check(index, [holder], [inner])
    check(index.reduced(**{"inner.v": 1}), [holder], [inner])


def test_iteration_takes_its_own_list_and_releases_every_object():
    objs = [Item(v=i % 3) for i in range(50)]
    index = Index()
    index.add_object_many(objs)
    order = index.collect()
    base = [sys.getrefcount(o) for o in objs]
    it = iter(index)
    first = next(it)
    extra = Item(v=9)
    index.add_object(extra)
    # An iteration under way walks the objects admitted when it began.
    assert [first] + list(it) == order
    del it, first
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == base
    del order
    base = [sys.getrefcount(o) for o in objs]
    for _ in range(3):
        len(index), objs[0] in index, list(index.reduced(v=1))
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == base
