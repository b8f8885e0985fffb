"""Index and FilteredIndex over plain values, checked against a plain-Python model."""
import gc
import math
import random
import sys
import threading

import pytest

import PyVorlane
from PyVorlane import FilteredIndex, Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


def names(objs):
    return sorted(o.tag for o in objs)


def object_id(obj):
    import re

    return int(re.search(r"owned_handle: IndexAPI \{ id: (\d+)", repr(Q.eq("a", obj))).group(1))


def numeric(v):
    return type(v) in (int, float) and not (isinstance(v, float) and math.isnan(v))


def model(objs, attr, pred):
    return [o for o in objs if attr in o.__dir__() and pred(getattr(o, attr))]


@pytest.fixture
def people():
    rows = [(30, "ann", 1.5, True), (40, "bob", 2.5, False), (30.0, "bella", 3.0, True), (50, "a", -1.0, False),
            (3, "ab", 3, True), (-7, "", float("nan"), False)]
    objs = [Item(tag=i, age=a, name=n, score=s, active=b) for i, (a, n, s, b) in enumerate(rows)]
    idx = Index()
    for o in objs:
        idx.add_object(o)
    return idx, objs


def test_collect_order_identity_and_duplicates(people):
    idx, objs = people
    assert Index().collect() == []
    got = idx.collect()
    by_id = sorted(objs, key=object_id)
    assert [id(o) for o in got] == [id(o) for o in by_id]  # ascending item id, the very objects
    idx.add_object(objs[2])
    assert idx.collect() == by_id
    with pytest.raises(TypeError, match="py_ref"):
        idx.add_object(5)
    with pytest.raises(TypeError):
        idx.add_object()
    assert Index.collect.__text_signature__ == "($self)"
    assert Index.add_object.__text_signature__ == "($self, py_ref)"
    assert Index.reduced.__text_signature__ == "($self, **kwargs)"
    assert FilteredIndex.reduced_query.__text_signature__ == "($self, query)"


def test_keyword_filters(people):
    idx, objs = people
    assert names(idx.get_by_attribute(age=30)) == [0, 2]  # 30 and 30.0 are one key
    assert names(idx.get_by_attribute(age=30, active=True)) == [0, 2]
    assert names(idx.get_by_attribute(age=30, name="bella")) == [2]
    assert names(idx.get_by_attribute(active=False)) == [1, 3, 5]
    assert names(idx.get_by_attribute(age=True)) == []  # True is not 1
    assert names(idx.get_by_attribute(name="")) == []  # the empty string is never stored
    assert names(idx.get_by_attribute(nothing=1)) == []
    assert names(idx.reduced().collect()) == names(objs)
    assert names(idx.reduced(age=30).collect()) == names(idx.get_by_attribute(age=30))
    assert names(idx.get_by_attribute(score=float("nan"))) == []
    with pytest.raises(TypeError):
        idx.reduced(1)
    with pytest.raises(OverflowError, match="^attribute 'age'"):
        idx.reduced(age=2**64)


def test_operators(people):
    idx, objs = people
    run = lambda q: names(idx.reduced_query(q).collect())
    assert run(Q.gt("age", 30)) == [1, 3]
    assert run(Q.ge("age", 30)) == [0, 1, 2, 3]
    assert run(Q.lt("age", 3)) == [5]
    assert run(Q.le("age", 3.0)) == [4, 5]
    assert run(Q.bt("score", 0, 3)) == [0, 1, 2, 4]
    assert run(Q.bt("score", 5, 5)) == []
    assert run(Q.bt("age", 40, 30)) == []
    assert run(Q.gt("age", "x")) == []
    assert run(Q.ne("age", 30)) == [1, 3, 4, 5]
    assert run(Q.ne("missing", 1)) == [0, 1, 2, 3, 4, 5]
    assert run(Q.not_(Q.eq("active", True))) == [1, 3, 5]
    assert run(Q.in_("age", [3, 50, 1000])) == [3, 4]
    assert run(Q.in_("age", [])) == []
    assert run(Q.and_()) == [0, 1, 2, 3, 4, 5]
    assert run(Q.or_()) == []
    assert run(Q.or_(Q.eq("name", "a"), Q.gt("score", 2.9))) == [2, 3, 4]
    assert run(Q.and_(Q.ge("age", 30), Q.eq("active", True), Q.starts_with("name", "b"))) == [2]
    assert run(Q.eq("tag", [1])) == []
    # A bound that is not a number matches nothing, as gt/ge/lt/le with one do.
    for low, high in (("a", 5), (0, "z"), ("a", "z"), ([1], 5)):
        assert run(Q.bt("age", low, high)) == []
        assert run(Q.bt("name", low, high)) == []
        assert run(Q.not_(Q.bt("age", low, high))) == [0, 1, 2, 3, 4, 5]
    # A bound without an order (matched by identity) is refused, not left to match nothing.
    for low, high in ((None, 5), (0, object()), (b"a", b"z")):
        with pytest.raises(TypeError, match="have no order"):
            Q.bt("age", low, high)
    assert run(Q.gt("age", "a")) == []
    assert run(Q.bt("missing", "a", 5)) == []  # no value map: no test at this level
    with pytest.raises(TypeError, match="query"):
        idx.reduced_query(5)


def test_string_searches(people):
    idx, objs = people
    run = lambda q: names(idx.reduced_query(q).collect())
    assert run(Q.starts_with("name", "b")) == [1, 2]
    assert run(Q.starts_with("name", "a")) == [0, 3, 4]
    assert run(Q.ends_with("name", "a")) == [2, 3]
    assert run(Q.ends_with("name", "b")) == [1, 4]
    assert run(Q.contains("name", "el")) == [2]
    assert run(Q.contains("name", "b")) == [1, 2, 4]
    assert run(Q.eq("name", "a")) == [3]
    assert run(Q.eq("name", "ab")) == [4]
    for search in (Q.starts_with, Q.ends_with, Q.contains):
        assert run(search("name", "")) == [0, 1, 2, 3, 4]
        assert run(search("name", 5)) == []


def test_strings_match_a_brute_force_model_across_growth():
    rng = random.Random(7)
    alphabet = "abé"
    idx = Index()
    objs = []
    for i in range(300):
        # lengths grow and shrink so the positional layout expands mid-way
        n = rng.choice([0, 1, 2, 3, 4, 7, 12, 25]) if i > 100 else rng.choice([0, 1, 2, 3])
        o = Item(tag=i, s="".join(rng.choice(alphabet) for _ in range(n)))
        objs.append(o)
        idx.add_object(o)
    needles = ["", "a", "b", "é", "ab", "ba", "aa", "abé", "bab", "aaaa"] + [o.s for o in objs[::37]]
    for needle in needles:
        for builder, pred in [(Q.eq, lambda s: s == needle and s != ""),
                              (Q.starts_with, lambda s: s != "" and s.startswith(needle)),
                              (Q.ends_with, lambda s: s != "" and s.endswith(needle)),
                              (Q.contains, lambda s: s != "" and needle in s)]:
            got = names(idx.reduced_query(builder("s", needle)).collect())
            want = [o.tag for o in objs if pred(o.s)]
            assert got == want, (builder, needle)


def test_numbers_match_a_brute_force_model():
    rng = random.Random(11)
    pool = [0, -0.0, 1, 1.0, -1, 2**53, 2**53 + 1, float(2**53), -(2**63), 2**63 - 1, 0.5, -2.5, 1e300, -1e-310,
            float("inf"), float("-inf"), 7, 7.25]
    objs = [Item(tag=i, v=rng.choice(pool)) for i in range(200)]
    idx = Index()
    for o in objs:
        idx.add_object(o)

    def exact_cmp(a, b):
        from fractions import Fraction

        fa = a if isinstance(a, int) else (a if math.isinf(a) else Fraction(a))
        fb = b if isinstance(b, int) else (b if math.isinf(b) else Fraction(b))
        return (fa > fb) - (fa < fb)

    for probe in pool:
        for builder, ok in [(Q.eq, lambda c: c == 0), (Q.gt, lambda c: c > 0), (Q.ge, lambda c: c >= 0),
                            (Q.lt, lambda c: c < 0), (Q.le, lambda c: c <= 0)]:
            got = names(idx.reduced_query(builder("v", probe)).collect())
            want = [o.tag for o in objs if ok(exact_cmp(o.v, probe))]
            assert got == want, (builder, probe)


def test_views_narrow_and_never_widen(people):
    idx, objs = people
    view = idx.reduced(active=True)
    assert isinstance(view, FilteredIndex)
    assert names(view.collect()) == [0, 2, 4]
    assert names(view.reduced(age=30).collect()) == [0, 2]
    # an Eq alone would reach objects outside the view; the view clips it
    assert names(view.reduced_query(Q.eq("age", 50)).collect()) == []
    assert names(view.reduced_query(Q.or_(Q.eq("name", "a"), Q.eq("name", "ab"))).collect()) == [4]
    other = idx.reduced(active=False)
    assert names(view.collect()) == [0, 2, 4] and names(other.collect()) == [1, 3, 5]
    assert names(view.reduced(nothing=1).collect()) == []
    with pytest.raises(TypeError, match="query"):
        view.reduced_query("x")


def test_attribute_writes_keep_every_index_current(people):
    idx, objs = people
    second = Index()
    second.add_object(objs[0])
    objs[0].age = 41
    for index in (idx, second):
        assert 0 in names(index.get_by_attribute(age=41))
        assert 0 not in names(index.get_by_attribute(age=30))
    objs[0].name = "zed"  # kind changes too
    objs[0].age = "forty"
    assert names(idx.reduced_query(Q.ge("age", 0)).collect()) == [1, 2, 3, 4]
    assert names(idx.get_by_attribute(age="forty")) == [0]
    assert names(idx.reduced_query(Q.starts_with("name", "z")).collect()) == [0]
    assert names(idx.reduced_query(Q.starts_with("name", "a")).collect()) == [3, 4]
    objs[1].new_attr = None  # an attribute the index had no map for
    assert names(idx.get_by_attribute(new_attr=None)) == [1]
    objs[1].new_attr = 5
    assert names(idx.get_by_attribute(new_attr=None)) == []
    # a view made earlier sees the live maps but keeps its own ids
    view = idx.reduced(active=True)
    objs[2].active = False
    assert names(view.reduced(active=True).collect()) == [0, 4]


def test_writes_after_the_index_is_gone_touch_nothing():
    o = Item(a=1)
    idx = Index()
    idx.add_object(o)
    del idx
    gc.collect()
    o.a = 2
    assert o.a == 2
    again = Index()
    again.add_object(o)
    assert again.get_by_attribute(a=2) == [o]


def test_reduce_narrows_in_place_and_earlier_views_keep_their_objects(people):
    idx, objs = people
    before = idx.reduced()
    idx.reduce()
    assert names(idx.collect()) == names(objs)
    idx.reduce(active=True)
    assert names(idx.collect()) == [0, 2, 4]
    assert names(idx.reduced_query(Q.gt("age", 0)).collect()) == [0, 2, 4]
    assert names(idx.get_by_attribute(active=False)) == []
    assert names(before.collect()) == [0, 1, 2, 3, 4, 5]
    idx.reduce(nothing=1)
    assert idx.collect() == []
    idx.add_object(objs[1])
    assert idx.collect() == [objs[1]]
    assert names(idx.get_by_attribute(active=False)) == [1]


def test_index_holds_objects_until_released():
    o = Item(a=1)
    base = sys.getrefcount(o)
    idx = Index()
    idx.add_object(o)
    view = idx.reduced(a=1)
    assert sys.getrefcount(o) == base + 1
    del idx
    gc.collect()
    assert view.collect() == [o]  # the view keeps the items alive
    del view
    gc.collect()
    assert sys.getrefcount(o) == base
    idx = Index()
    idx.add_object(o)
    early = idx.reduced()
    idx.reduce(a=2)
    assert idx.collect() == [] and early.collect() == [o]  # earlier views keep their objects
    del idx, early
    gc.collect()
    assert sys.getrefcount(o) == base


def test_threads_add_query_and_write():
    idx = Index()
    objs = [Item(tag=i, v=i % 10) for i in range(400)]
    errors = []

    def adder(chunk):
        for o in chunk:
            idx.add_object(o)

    def writer():
        for _ in range(3):
            for o in objs[:100]:
                o.v = o.v

    def reader():
        try:
            for _ in range(50):
                for o in idx.get_by_attribute(v=3):
                    assert o.v == 3 or o.tag < 100
        except AssertionError as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=adder, args=(objs[k::4],)) for k in range(4)]
    threads += [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert not errors
    assert names(idx.collect()) == names(objs)
    assert names(idx.get_by_attribute(v=3)) == [o.tag for o in objs if o.v == 3]


def test_assignments_racing_with_add_object_keep_the_object_usable():
    obj, other = Item(a=None), Item(a=1)
    stop = threading.Event()
    failures = []

    def writer():
        while not stop.is_set():
            obj.a = None

    indexes = []

    def adder():
        try:
            for _ in range(3000):
                idx = Index()
                idx.add_object(other)  # the map for "a" exists, None is not in it yet
                idx.add_object(obj)
                indexes.append(idx)
                del indexes[:-20]
        except BaseException as e:  # pragma: no cover - reported below
            failures.append(repr(e))
        finally:
            stop.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=writer), threading.Thread(target=adder)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures
    # once the writes stop, every index holds the object's current value
    for idx in indexes:
        assert idx.get_by_attribute(a=None) == [obj]
    obj.a = 5
    assert obj.a == 5
    assert all(idx.get_by_attribute(a=5) == [obj] for idx in indexes)
