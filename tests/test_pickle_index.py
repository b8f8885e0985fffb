"""Saving an index: pickle and deepcopy round trips, views refused."""

import copy
import gc
import pickle
import random
import sys

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Person(Indexable):
    pass


QUERIES = [
    Q.eq("age", 30),
    Q.bt("score", 10.0, 20.0),
    Q.starts_with("city", "Lo"),
    Q.contains("city", "on"),
    Q.eq("tags", "x"),
    Q.in_("age", [1, 2, 3, 30]),
    Q.not_(Q.eq("active", True)),
    Q.eq("friend.city", "Paris"),
    Q.gt("friend.friend.age", 40),
]


def fingerprint(idx):
    """Every query's answer as the ages and names of the objects found."""
    out = []
    for q in QUERIES:
        out.append(sorted(p.name for p in idx.reduced_query(q).collect()))
    out.append(sorted(p.name for p in idx.collect()))
    out.append([p.name for p in idx.order_by("score", limit=5)])
    out.append(idx.count_by("city"))
    return out


def make_people(seed, n=300):
    rng = random.Random(seed)
    people = [Person(name=f"p{i}", age=rng.randint(0, 60), score=rng.random() * 50,
                     city=rng.choice(["London", "Paris", "Lodz", "Bonn"]), active=rng.random() < 0.5,
                     tags=rng.sample(["x", "y", "z"], rng.randint(0, 2)))
              for i in range(n)]
    # A graph: friends (cycles and self-references included), some friends no members.
    outsiders = [Person(name=f"out{i}", age=rng.randint(0, 60), city="Paris") for i in range(20)]
    for p in people:
        p.friend = rng.choice(people + outsiders)
    people[0].friend = people[0]
    outsiders[0].friend = people[1]
    return people


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_a_loaded_index_answers_as_the_original(how):
    idx = Index()
    idx.add_object_many(make_people(1))
    idx.reduce(active=True)
    before = fingerprint(idx)
    if how == "pickle":
        loaded = pickle.loads(pickle.dumps(idx, protocol=pickle.HIGHEST_PROTOCOL))
    else:
        loaded = copy.deepcopy(idx)
    assert type(loaded) is Index
    assert fingerprint(loaded) == before
    # The copies are new objects, and the copy stays current under writes.
    assert not set(map(id, loaded.collect())) & set(map(id, idx.collect()))
    some = loaded.collect()[0]
    some.city = "Nowhere"
    assert loaded.get_by_attribute(city="Nowhere") == [some]
    assert idx.get_by_attribute(city="Nowhere") == []


def test_objects_shared_by_two_indexes_come_back_as_one():
    people = make_people(2, 50)
    a, b = Index(), Index()
    a.add_object_many(people[:30])
    b.add_object_many(people[20:])
    a2, b2 = pickle.loads(pickle.dumps((a, b)))
    shared_a = {p.name: p for p in a2.collect() if p.name in {f"p{i}" for i in range(20, 30)}}
    shared_b = {p.name: p for p in b2.collect() if p.name in shared_a}
    assert len(shared_a) == 10
    assert all(shared_a[n] is shared_b[n] for n in shared_a)
    # A write through one is seen by both indexes.
    obj = next(iter(shared_a.values()))
    obj.age = 999
    assert a2.get_by_attribute(age=999) == [obj] == b2.get_by_attribute(age=999)


def test_views_refuse_pickling_and_copying():
    idx = Index()
    idx.add_object(Person(age=1))
    view = idx.reduced(age=1)
    for attempt in (lambda: pickle.dumps(view), lambda: copy.deepcopy(view), lambda: copy.copy(view)):
        with pytest.raises(TypeError, match="rebase"):
            attempt()
    assert pickle.loads(pickle.dumps(view.rebase())).get_by_attribute(age=1)[0].age == 1


def test_loading_takes_an_empty_index_and_a_list():
    idx = Index()
    idx.add_object(Person(age=1))
    with pytest.raises(ValueError, match="empty"):
        idx.__setstate__([Person(age=2)])
    with pytest.raises(TypeError):
        Index().__setstate__("not a list")
    with pytest.raises(TypeError):
        Index().__setstate__([1, 2])


class Counted(Indexable):
    freed = 0

    def __del__(self):
        type(self).freed += 1


def test_a_loaded_index_holds_its_objects_and_lets_them_go():
    idx = Index()
    objs = [Counted(n=i, peer=None) for i in range(40)]
    for a, b in zip(objs, objs[1:]):
        a.peer = b  # a chain of nested objects
    idx.add_object_many(objs[::2])
    data = pickle.dumps(idx)
    del idx, objs, a, b
    gc.collect()
    Counted.freed = 0
    loaded = pickle.loads(data)
    probe = loaded.collect()[5]
    refs = sys.getrefcount(probe)
    again = pickle.loads(data)
    assert sys.getrefcount(probe) == refs
    del again
    gc.collect()
    assert Counted.freed == 40
    del probe, loaded
    gc.collect()
    assert Counted.freed == 80
