"""Memory follows what an index holds: many small indexes in a process with many
objects stay small, and cores, views and nested objects go with their last holder."""
import ctypes
import gc
import os
import random
import sys

from PyVorlane import Index, Indexable

PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in quarantine and the allocator's own
# bookkeeping is large: RSS says little there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class Obj(Indexable):
    pass


def rss():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def test_small_indexes_do_not_grow_with_the_largest_id_in_the_process():
    # 200,000 live objects: ids run that high. An index sized by the largest id
    # would take several MB each (a record slot per id); 100 of them, hundreds of MB.
    objs = [Obj(a=i % 100, f=i * 0.5, s=f"c{i % 50}", b=i % 2 == 0) for i in range(200_000)]
    rng = random.Random(3)
    groups = [rng.sample(objs, 10) + [objs[-1 - k]] for k in range(100)]
    before = rss()
    indexes = []
    for group in groups:
        index = Index()
        index.add_object_many(group)
        indexes.append(index)
    grown = rss() - before
    for group, index in zip(groups, indexes):
        assert sorted(map(id, index.collect())) == sorted(map(id, group))
    one = groups[0][0]
    assert one in indexes[0].reduced(a=one.a, s=one.s).collect()
    if not SANITIZED:
        assert grown < 60 * 2**20, f"100 indexes of 11 objects took {grown / 2**20:.1f} MB"


def test_nested_values_cost_nothing_in_indexes_that_never_hold_one():
    objs = [Obj(a=i, s="x") for i in range(200_000)]
    holders = [Obj(n=i, inner=Obj(v=i % 10)) for i in range(2_000)]
    before = rss()
    index = Index()
    index.add_object_many(holders)
    small = [Index() for _ in range(200)]
    for k, ix in enumerate(small):
        ix.add_object(objs[k * 997])
    grown = rss() - before
    assert len(index.reduced(**{"inner.v": 3}).collect()) == 200
    assert small[5].reduced(s="x").collect() == [objs[5 * 997]]
    if not SANITIZED:
        assert grown < 40 * 2**20, f"took {grown / 2**20:.1f} MB"


def test_index_view_and_nested_objects_release_their_objects_with_the_last_holder():
    inner = Obj(v=1)
    holder = Obj(n=1, inner=inner, tags=["a", inner])
    plain = Obj(n=2)
    base_inner, base_holder, base_plain = sys.getrefcount(inner), sys.getrefcount(holder), sys.getrefcount(plain)
    index = Index()
    index.add_object_many([holder, plain])
    view = index.reduced(n=1)
    assert view.reduced(**{"inner.v": 1}).collect() == [holder]
    # (`inner`'s count shows no change: every handle the engine holds on an
    # object, `holder`'s own value among them, shares one reference.)
    assert sys.getrefcount(holder) > base_holder
    del index
    # The view keeps the core, and with it every object the core stores.
    assert view.collect() == [holder]
    assert sys.getrefcount(plain) > base_plain
    del view
    gc.collect()
    assert (sys.getrefcount(inner), sys.getrefcount(holder), sys.getrefcount(plain)) == (
        base_inner, base_holder, base_plain)
    # Writes after the index is gone reach no core: replacing the attribute lets
    # go of the one reference it held (the list still holds the other).
    holder.inner = 3
    gc.collect()
    assert sys.getrefcount(inner) == base_inner - 1


def test_a_replaced_nested_object_is_released_by_the_index():
    index = Index()
    holder = Obj(n=1)
    index.add_object(holder)
    inner = Obj(v=1)
    base = sys.getrefcount(inner)
    holder.inner = inner
    assert sys.getrefcount(inner) > base
    holder.inner = 5
    gc.collect()
    assert sys.getrefcount(inner) == base
    assert index.reduced(**{"inner.v": 1}).collect() == []


def test_cores_holding_an_object_share_one_python_reference_and_give_it_back():
    obj = Obj(n=1, s="x")
    base = sys.getrefcount(obj)
    a, b = Index(), Index()
    a.add_object(obj)
    b.add_object_many([obj, obj])
    c = a.reduced(n=1).rebase()
    c.union_with(b)
    view = c.reduced(s="x")
    # Every core and view counts its hold natively; together they own one reference.
    assert sys.getrefcount(obj) == base + 1
    assert view.collect() == [obj]
    del a, b
    assert sys.getrefcount(obj) == base + 1
    del c, view
    gc.collect()
    assert sys.getrefcount(obj) == base
    # Held again after being let go of: the first hold takes the reference anew.
    d = Index()
    d.add_object(obj)
    assert sys.getrefcount(obj) == base + 1
    del d
    assert sys.getrefcount(obj) == base
