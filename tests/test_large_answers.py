"""Large answers against a plain scan: collect() over most of an index (the list it
builds, the objects' reference counts), not_ and ne over the whole index and over views,
and dotted queries through a few objects each held by thousands, kept exact through
writes, removals and re-adds.

A view keeps the members it was made with: an object removed from the index stays in
it, found by negations (complements within the view) but by no positive test until it
is added again."""
import random
import sys

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


class Place(Indexable):
    pass


def ids(objs):
    return sorted(id(o) for o in objs)


def scan(objs, live, pred):
    """The objects of `objs` a positive test finds: live ones that pass."""
    return [o for o in objs if o in live and pred(o)]


def scan_not(objs, live, pred):
    """The complement of scan within `objs`."""
    return [o for o in objs if not (o in live and pred(o))]


def alt_of(item):
    """The altitude of the item's place when it is a number, else None."""
    alt = item.place.alt if isinstance(item.place, Place) else None
    return alt if isinstance(alt, int) else None


@pytest.fixture
def world():
    rng = random.Random(5)
    places = [Place(alt=a) for a in (3, 13, 18, 22, 40)]
    items = [Item(n=i, city=f"c{rng.randrange(8)}", place=rng.choice(places + [None])) for i in range(6000)]
    idx = Index()
    idx.add_object_many(items)
    return rng, places, items, idx


def test_collected_lists_are_ordinary_lists_and_counts_come_back():
    items = [Item(n=i, even=i % 2 == 0) for i in range(5000)]
    idx = Index()
    idx.add_object_many(items)
    before = [sys.getrefcount(o) for o in items]
    got = idx.reduced_query(Q.not_(Q.eq("even", True))).collect()
    assert ids(got) == ids(items[1::2])
    held = [sys.getrefcount(o) for o in items]
    assert [h - b for h, b in zip(held, before)] == [i % 2 for i in range(5000)]
    # The list grows, shrinks and sorts like any other.
    got.append(items[0])
    got.extend(items[2:6:2])
    assert len(got) == 2503 and got[-1] is items[4]
    del got[:100]
    got.sort(key=lambda o: -o.n)
    assert got[0] is items[4999] and len(got) == 2403
    assert sys.getsizeof(got) >= 2403 * 8
    del got
    assert [sys.getrefcount(o) for o in items] == before
    # Empty answers, and the whole index.
    assert idx.reduced_query(Q.eq("even", "no")).collect() == []
    assert ids(idx.collect()) == ids(items)


def test_negations_over_the_index_and_views_match_a_scan(world):
    rng, places, items, idx = world
    view = idx.reduced(city="c3")
    narrow = [o for o in items if o.city == "c3"]
    for step in range(6):
        live = set(items)
        for target, objs in ((idx, items), (view, narrow)):
            assert ids(target.reduced_query(Q.not_(Q.eq("city", "c1"))).collect()) == ids(
                scan_not(objs, live, lambda o: o.city == "c1"))
            assert ids(target.reduced_query(Q.ne("n", 17)).collect()) == ids(scan_not(objs, live, lambda o: o.n == 17))
            assert len(target.reduced_query(Q.not_(Q.gt("n", 2500)))) == len(scan_not(objs, live, lambda o: o.n > 2500))
            got = target.reduced_query(Q.not_(Q.gt("place.alt", 15))).collect()
            assert ids(got) == ids(scan_not(objs, live, lambda o: alt_of(o) is not None and alt_of(o) > 15))
        # Writes, removals and re-adds between the rounds.
        for o in rng.sample(items, 300):
            o.city = f"c{rng.randrange(8)}"
            o.n = rng.randrange(6000)
        gone = rng.sample(items, 200)
        for o in gone:
            idx.remove_object(o)
        gone_set = set(gone)
        items = [o for o in items if o not in gone_set]
        back = gone[: 100 * (step % 2)]
        for o in back:
            idx.add_object(o)
        items += back


def test_dotted_queries_through_popular_objects_match_a_scan(world):
    rng, places, items, idx = world
    view = idx.reduced(city="c5")
    narrow = [o for o in items if o.city == "c5"]
    queries = [
        (Q.gt("place.alt", 15), lambda a: a is not None and a > 15),
        (Q.le("place.alt", 13), lambda a: a is not None and a <= 13),
        (Q.eq("place.alt", 22), lambda a: a == 22),
        (Q.in_("place.alt", [3, 40]), lambda a: a in (3, 40)),
    ]
    for step in range(6):
        live = set(items)
        for target, objs in ((idx, items), (view, narrow)):
            for query, pred in queries:
                want = scan(objs, live, lambda o: pred(alt_of(o)))
                assert len(target.reduced_query(query)) == len(want)
                assert ids(target.reduced_query(query).collect()) == ids(want)
        # Items move between places, a place's altitude changes (to no number, too), items leave and come back.
        for o in rng.sample(items, 400):
            o.place = rng.choice(places + [None])
        p = rng.choice(places)
        p.alt = rng.choice([None, "high", 1, 14, 16, 22, 50])
        gone = rng.sample(items, 500)
        for o in gone:
            idx.remove_object(o)
        gone_set = set(gone)
        items = [o for o in items if o not in gone_set]
        if step % 2 == 1:
            idx.add_object_many(gone)
            items += gone
