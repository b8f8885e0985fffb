"""Indexable objects: construction, attribute storage, dir, repr, ids and release."""
import gc
import re
import sys
import threading

import pytest

import PyVorlane
from PyVorlane import Indexable, PyQueryExpr as Q


class Item(Indexable):
    def name(self):
        return "method"

    @property
    def prop(self):
        return "property"

    klass = "class attribute"


def object_id(obj):
    return int(re.search(r"owned_handle: IndexAPI \{ id: (\d+)", repr(Q.eq("a", obj))).group(1))


def test_construction_stores_keywords_and_ignores_positionals():
    obj = Item(1, 2, a=1, b="x")
    assert (obj.a, obj.b) == (1, "x")
    assert repr(obj) == "<Indexable with 2 attributes>"
    assert repr(Item()) == "<Indexable with 0 attributes>"
    assert repr(Item(1, 2, a=3)) == "<Indexable with 1 attributes>"
    assert repr(Indexable(z=None)) == "<Indexable with 1 attributes>"


def test_read_back_kinds():
    lst = [1, 2]
    obj = Item(i=5, f=2.5, s="abc", t=True, l=lst, n=None)
    assert obj.i == 5 and type(obj.i) is int
    assert obj.f == 2.5 and type(obj.f) is float
    assert obj.t is True
    assert obj.l is lst  # containers and unknown values give back the same object
    assert obj.n is None
    s = "abc" * 20
    obj.s = s
    assert obj.s == s


def test_missing_attribute_and_delete():
    obj = Item(a=1)
    with pytest.raises(AttributeError) as info:
        obj.colour
    assert info.value.args == ("colour",)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.a
    with pytest.raises(AttributeError, match="can't delete attribute"):
        delattr(obj, "nothing")
    assert obj.a == 1


def test_stored_attributes_shadow_class_attributes_and_any_name_is_stored():
    obj = Item()
    assert obj.name() == "method" and obj.prop == "property" and obj.klass == "class attribute"
    obj.name = "x"
    obj.prop = "stored"  # no property setter runs
    obj._private = 1
    obj.__weird__ = 2
    assert (obj.name, obj.prop, obj._private, obj.__weird__) == ("x", "stored", 1, 2)
    assert repr(obj) == "<Indexable with 4 attributes>"
    names = dir(obj)
    for n in ("name", "prop", "_private", "__weird__", "__class__", "klass"):
        assert n in names
    assert names.count("name") == 2  # stored attribute and the method
    assert obj.__dir__().count("name") == 2


def test_assigning_again_replaces_in_place_and_past_eight_attributes():
    obj = Item()
    for i in range(20):
        setattr(obj, f"a{i}", i)
        setattr(obj, f"a{i}", i * 10)
    assert repr(obj) == "<Indexable with 20 attributes>"
    assert [getattr(obj, f"a{i}") for i in range(20)] == [i * 10 for i in range(20)]
    # up to eight attributes, dir() lists them in insertion order, replacements in place
    small = Item(**{f"b{i}": i for i in range(8)})
    small.b3 = "again"
    assert small.__dir__()[:8] == [f"b{i}" for i in range(8)]


def test_failed_conversions_change_nothing():
    obj = Item(a=1)
    with pytest.raises(OverflowError, match="^attribute 'a'"):
        obj.a = 2**64
    assert obj.a == 1
    with pytest.raises(TypeError, match="^attribute 'a': unhashable"):
        obj.a = bytearray()
    assert obj.a == 1
    with pytest.raises(OverflowError, match="^attribute 'b'"):
        Item(a=1, b=2**64)


def test_subclasses_with_init_and_dict():
    class Person(Indexable):
        def __init__(self, name, age):
            self.name = name
            self.age = age

    p = Person("Ada", 36)
    assert (p.name, p.age) == ("Ada", 36)
    assert repr(p) == "<Indexable with 2 attributes>"
    assert p.__dict__ == {}  # assignments never reach the instance dictionary


def test_super_init_assigns_keywords_and_indexes_follow():
    class Person(Indexable):
        def __init__(self, name, **attrs):
            super().__init__(label=name.upper(), **attrs)

    class Plain(Indexable):
        pass

    p = Person("ada", age=36)
    assert (p.label, p.age) == ("ADA", 36)
    assert repr(p) == "<Indexable with 2 attributes>"
    assert p.__dict__ == {}
    with pytest.raises(AttributeError):
        p.name  # positional: ignored by the constructor, not passed on

    # Through the write path: an index that holds the object follows a later __init__.
    idx = PyVorlane.Index()
    idx.add_object(p)
    Indexable.__init__(p, age=40, note="x")
    assert (p.age, p.note) == (40, "x")
    assert idx.get_by_attribute(age=40) == [p] and idx.get_by_attribute(age=36) == []

    # Without an __init__ of its own the constructor's keywords are stored once;
    # calling __init__ again assigns.
    q = Plain(a=1, b=[1, 2])
    assert repr(q) == "<Indexable with 2 attributes>"
    q.__init__(a=2)
    assert (q.a, q.b) == (2, [1, 2])
    # __new__ called on its own, then __init__ with other values (a new dict,
    # possibly at the address of the one __new__ saw), or after a write.
    for cls in (Indexable, Plain):
        made = cls.__new__(cls, a=1)
        cls.__init__(made, a=2)
        assert made.a == 2
        again = cls.__new__(cls, a=1)
        again.a = 5
        again.__init__(a=1)
        assert again.a == 1

    # A failing assignment stops __init__ with the error; keys that cannot be
    # encoded are skipped, as the constructor skips them.
    class Big(Indexable):
        def __init__(self):
            super().__init__(ok=1, n=2**64)

    with pytest.raises(OverflowError, match="attribute 'n'"):
        Big()
    r = Person("r", **{"\ud800": 1})
    assert repr(r) == "<Indexable with 1 attributes>"


def test_init_keeps_references_exact():
    value = object()
    base = sys.getrefcount(value)

    class Holder(Indexable):
        def __init__(self, v):
            super().__init__(v=v)

    objs = [Holder(value) for _ in range(5)] + [Indexable(v=value) for _ in range(5)]
    assert sys.getrefcount(value) == base + 10
    del objs
    gc.collect()
    assert sys.getrefcount(value) == base


def test_values_are_released_with_the_object():
    value = object()
    base = sys.getrefcount(value)
    objs = [Item(v=value) for _ in range(10)]
    assert sys.getrefcount(value) == base + 10
    objs[0].v = 1  # replacing releases the old value
    assert sys.getrefcount(value) == base + 9
    del objs
    gc.collect()
    assert sys.getrefcount(value) == base


def test_ids_are_reused_last_freed_first():
    a, b = Item(), Item()
    ida, idb = object_id(a), object_id(b)
    assert ida != idb and ida > 0 and idb > 0
    del a
    del b
    gc.collect()
    c, d = Item(), Item()
    assert (object_id(c), object_id(d)) == (idb, ida)
    # a nested value keeps the object (and so its id) alive
    held = Q.eq("x", c)
    idc = object_id(c)
    del c
    e = Item()
    assert object_id(e) != idc
    del held
    f = Item()
    assert object_id(f) == idc


def test_free_list_reuses_memory_of_base_instances_only():
    a = Indexable(x=1)
    addr = id(a)
    del a
    b = Indexable()
    assert id(b) == addr
    assert repr(b) == "<Indexable with 0 attributes>"


def test_threads_write_and_read_one_object():
    obj = Item(n=0)

    def work(k):
        for i in range(2000):
            setattr(obj, f"t{k}", i)
            assert getattr(obj, f"t{k}") == i

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [getattr(obj, f"t{k}") for k in range(4)] == [1999] * 4


def test_attribute_names_that_cannot_be_encoded():
    obj = Item()
    with pytest.raises(AttributeError) as info:
        getattr(obj, "\ud800")
    assert info.value.args == ("\ud800",)
    with pytest.raises(UnicodeEncodeError):
        setattr(obj, "\ud800", 1)
    made = Item(**{"ok": 1, "\ud800": 2})
    assert repr(made) == "<Indexable with 1 attributes>"


def test_names_are_found_by_text_whatever_object_carries_them():
    """Reads and writes remember attribute ids by the name object: equal names built
    anew, a str subclass, and more distinct names than are remembered all reach the
    same storage, and remembering a name holds at most one reference to it."""
    class Name(str):
        pass

    obj = Item(age=1)
    for k in range(3000):  # far more names than are remembered at once
        setattr(obj, "".join(["attr", str(k)]), k)
    assert all(getattr(obj, f"attr{k}") == k for k in range(3000))
    assert getattr(obj, Name("age")) == 1
    setattr(obj, Name("age"), 2)
    assert obj.age == 2 and getattr(obj, "".join(["a", "ge"])) == 2

    name = "".join(["fresh", "_name"])
    before = sys.getrefcount(name)
    for _ in range(100):
        setattr(obj, name, 5)
        assert getattr(obj, name) == 5
    assert sys.getrefcount(name) - before <= 1
    with pytest.raises(AttributeError):
        getattr(obj, "".join(["fresh", "_other"]))


def test_reads_during_writes_in_other_threads_see_whole_values():
    """Reads take no lock while the interpreter lock keeps writers out: a reader sees
    one of the values written, never a torn or released one, also with an index."""
    objs = [Item(n=0, s="v0", xs=[0]) for _ in range(50)]
    index = PyVorlane.Index()
    index.add_object_many(objs[:25])
    stop = threading.Event()
    seen = []

    def write():
        k = 0
        while not stop.is_set():
            k += 1
            for o in objs:
                o.n, o.s, o.xs = k, f"v{k}", [k]

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(200):
            for o in objs:
                n, s, xs = o.n, o.s, o.xs
                seen.append((isinstance(n, int), s.startswith("v"), isinstance(xs, list) and len(xs) == 1))
    finally:
        stop.set()
        writer.join()
    assert seen and all(all(flags) for flags in seen)
    last = objs[0].n
    assert len(index.get_by_attribute(n=last)) == sum(1 for o in objs[:25] if o.n == last)
