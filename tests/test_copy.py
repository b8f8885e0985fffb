"""Indexable objects pickle and copy: same class, equal attributes (nested objects
and containers included), no index membership, exact reference counts."""
import copy
import gc
import pickle
import sys

import pytest

from PyVorlane import Index, Indexable, PyQueryExpr as Q


class Person(Indexable):
    def __init__(self, name, **attrs):  # a required argument: copies must not call __init__
        super().__init__(name=name, **attrs)


def make():
    mentor = Person("Ada", age=36)
    p = Person("Alan", age=41, score=2.5, tags=["math", mentor], pair=(1, "x"), group={3, 4},
               mentor=mentor, big=2**62, flag=True)
    p.me = p  # a cycle through the object itself
    return p, mentor


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_deep_round_trips_rebuild_the_whole_graph(how):
    p, mentor = make()
    index = Index()
    index.add_object(p)
    q = pickle.loads(pickle.dumps(p, protocol=pickle.HIGHEST_PROTOCOL)) if how == "pickle" else copy.deepcopy(p)
    assert type(q) is Person and q is not p
    assert (q.name, q.age, q.score, q.pair, q.group, q.big, q.flag) == ("Alan", 41, 2.5, (1, "x"), {3, 4}, 2**62, True)
    assert q.me is q
    assert q.mentor is not mentor and q.mentor.name == "Ada" and q.mentor.age == 36
    assert q.tags[0] == "math" and q.tags[1] is q.mentor  # shared once, as in the original
    # The copy belongs to no index; the original still does, and indexes follow only it.
    assert q not in index and p in index
    q.age = 99
    assert index.reduced(age=41).collect() == [p] and index.reduced(age=99).collect() == []
    fresh = Index()
    fresh.add_object(q)
    assert fresh.reduced_query(Q.eq("mentor.name", "Ada")).collect() == [q]


def test_shallow_copy_shares_the_values():
    p, mentor = make()
    c = copy.copy(p)
    assert type(c) is Person and c is not p
    assert c.mentor is mentor and c.tags is p.tags and c.me is p
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        q = pickle.loads(pickle.dumps(Indexable(a=1, b="s"), protocol=proto))
        assert type(q) is Indexable and (q.a, q.b) == (1, "s")


def test_copies_leak_nothing_and_bad_state_is_refused():
    p, mentor = make()
    p.me = None  # no cycle: reference counts tell all
    gc.collect()
    before = sys.getrefcount(p), sys.getrefcount(mentor), sys.getrefcount(p.tags)
    for _ in range(20):
        copy.copy(p)
        copy.deepcopy(p)
        pickle.loads(pickle.dumps(p))
        p.__reduce__()
    gc.collect()
    assert (sys.getrefcount(p), sys.getrefcount(mentor), sys.getrefcount(p.tags)) == before
    with pytest.raises(TypeError, match="state"):
        p.__setstate__([("age", 1)])
    with pytest.raises(TypeError):
        p.__setstate__({1: 2})
    assert p.age == 41
